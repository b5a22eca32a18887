#include "discovery_answer.h"

#include "wire.h"

namespace local_service {

namespace {

constexpr size_t kMaxRequest = 65536;

DiscoveryAnswer refuse(const std::string& why) { return {deflate_bytes("bad request"), "refused: " + why}; }

}  // namespace

DiscoveryAnswer answer_discovery(const std::string& datagram, const std::string& line_host, int line_port) {
    std::string text;
    if (!inflate_bytes(datagram, kMaxRequest, &text)) return refuse("not a zlib stream");
    if (!starts_with(text, "getaddr ")) return refuse(head(text, 40));
    Json::Value request = parse_object(text.substr(8));
    if (!request.isObject()) return refuse("getaddr without a JSON object");
    Json::Value server(Json::arrayValue);
    server.append(line_host);
    server.append(line_port);
    Json::Value answer(Json::objectValue);
    answer["http"] = Json::Value(Json::arrayValue);
    answer["tcp"].append(server);
    std::string log = "getaddr appid=" + head(text_member(request, "appid"), 40);
    if (request.isMember("ip")) log += " ip=" + head(text_member(request, "ip"), 40);
    log += " -> " + line_host + ":" + std::to_string(line_port);
    return {deflate_bytes("ok " + to_json(answer)), log};
}

}  // namespace local_service
