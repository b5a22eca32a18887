#include "telemetry_ack.h"

#include "wire.h"

namespace local_service {

namespace {
constexpr size_t kMaxReport = 1u << 20;
}

TelemetryAck acknowledge_report(const std::string& datagram) {
    std::string text;
    if (!inflate_bytes(datagram, kMaxReport, &text)) return {"", "dropped: not a zlib stream"};
    Json::Value report = parse_object(text);
    if (!report.isObject() || !report["seq"].isUInt()) return {"", "dropped: no report seq in " + head(text, 40)};
    Json::Value ack(Json::objectValue);
    ack["seq"] = report["seq"];
    std::string log = "report seq=" + std::to_string(report["seq"].asUInt()) +
                      " type=" + head(text_member(report, "type"), 20) + " cmd=" + head(text_member(report, "cmd"), 20);
    std::string result = text_member(report, "result");
    if (!result.empty()) log += " result=" + head(result, 20);
    return {deflate_bytes(to_json(ack)), log};
}

}  // namespace local_service
