#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "json_text.h"
#include "log.h"
#include "report_ack.h"
#include "zlib_helpers.h"

namespace {

bool drop_line(const char*) { return true; }

}  // namespace

// Bytes 0-3: the seq of the report in flight (big-endian); the rest is a
// datagram from the collector, inflated as the reporter inflates it and also
// read as the text itself. Whatever it holds, a JSON object that carries the
// seq in flight acknowledges it and one carrying the next seq does not.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    SetLogSink2(drop_line);
    const uint32_t seq = uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16 | uint32_t{data[2]} << 8 | data[3];
    const std::string datagram(reinterpret_cast<const char*>(data) + 4, size - 4);

    const std::string inflated = zlib_uncompress(datagram, kReportAckMaxSize);
    if (inflated.size() > static_cast<size_t>(kReportAckMaxSize)) __builtin_trap();
    for (const std::string* text : {&inflated, &datagram}) {
        const ReportAck said = read_report_ack(*text, seq);
        if (said != REPORT_ACK_MALFORMED && said != REPORT_ACK_OTHER && said != REPORT_ACK_MATCHES) __builtin_trap();
        Json::Value v;
        if (!parse_json(*text, v) || !v.isObject()) {
            if (said != REPORT_ACK_MALFORMED) __builtin_trap();
            continue;
        }
        if ((said == REPORT_ACK_MALFORMED) == v.isMember("seq")) __builtin_trap();
        v["seq"] = Json::UInt(seq);
        if (read_report_ack(JSON2STRING(v), seq) != REPORT_ACK_MATCHES) __builtin_trap();
        v["seq"] = Json::UInt64(uint64_t{seq} + 1);
        if (read_report_ack(JSON2STRING(v), seq) != REPORT_ACK_OTHER) __builtin_trap();
        v["seq"] = "0";
        if (read_report_ack(JSON2STRING(v), 0) != REPORT_ACK_OTHER) __builtin_trap();
    }
    return 0;
}
