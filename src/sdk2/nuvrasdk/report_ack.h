#pragma once

#include <cstdint>
#include <string>

// The collector acknowledges a report with a datagram whose payload inflates
// (to at most kReportAckMaxSize bytes) to a JSON object with "seq", an
// unsigned number; only the report in flight can be acknowledged.
constexpr int kReportAckMaxSize = 2048;

enum ReportAck {
    REPORT_ACK_MALFORMED = -1,  // not a JSON object with "seq"
    REPORT_ACK_OTHER = 0,       // a "seq" that is not the one in flight
    REPORT_ACK_MATCHES = 1,     // acknowledges the report numbered seq
};

// What the inflated text of one acknowledgement says about report seq.
ReportAck read_report_ack(const std::string& text, uint32_t seq);
