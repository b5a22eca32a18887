#include "report_ack.h"

#include <json/value.h>

#include "json_text.h"

ReportAck read_report_ack(const std::string& text, uint32_t seq) {
    Json::Value v;
    if (!parse_json(text, v) || !v.isObject() || !v.isMember("seq")) return REPORT_ACK_MALFORMED;
    // A "seq" that is not a number matches no report.
    return json_number_equals(json_member(v, "seq"), seq) ? REPORT_ACK_MATCHES : REPORT_ACK_OTHER;
}
