// The line dispatcher: each text is parsed by its connection's state and
// handed to the handler of its kind; the handlers live with their concerns.
#include "if_linkd.h"
#include "log.h"

namespace {

using line_msg::KIND_COUNT;

// Indexed by line_msg::Kind.
const InterfaceLinkD::LineHandler kHandlers[KIND_COUNT] = {
    &InterfaceLinkD::on_login_answer,             // LOGIN_OK
    &InterfaceLinkD::on_login_malformed,          // LOGIN_MALFORMED
    &InterfaceLinkD::on_login_refused,            // LOGIN_REFUSED
    &InterfaceLinkD::on_relogin_answer,           // RELOGIN_OK
    &InterfaceLinkD::on_relogin_refused,          // RELOGIN_REFUSED
    &InterfaceLinkD::on_pong,                     // PONG
    &InterfaceLinkD::on_notify_msg,               // NOTIFY_MSG
    &InterfaceLinkD::on_notify_recvmsg,           // NOTIFY_RECVMSG
    &InterfaceLinkD::on_notify_recvmsg_by_msgid,  // NOTIFY_RECVMSG_BY_MSGID
    &InterfaceLinkD::on_notify_channel,           // NOTIFY_CHANNEL
    &InterfaceLinkD::on_notify_channel2,          // NOTIFY_CHANNEL2
    &InterfaceLinkD::on_notify_logout,            // NOTIFY_OUTOFSYNC
    &InterfaceLinkD::on_notify_logout,            // NOTIFY_KICK
    &InterfaceLinkD::on_notify_logout,            // NOTIFY_TOKEN_EXPIRED
    &InterfaceLinkD::on_notify_logout,            // NOTIFY_WRONG_LINE
    &InterfaceLinkD::on_ignored_text,             // NOTIFY_IGNORED
    &InterfaceLinkD::on_call_ret,                 // CALL_RET
    &InterfaceLinkD::on_unknown_text,             // UNKNOWN
    &InterfaceLinkD::on_ignored_text,             // IGNORED
};

}  // namespace

void InterfaceLinkD::process_conn_msg(uint32_t, mynet::NetworkTcpStream* conn, std::shared_ptr<ConnInfo> info,
                                      std::string msg) {
    const line_msg::LineMsg parsed = line_msg::parse_line_msg(info->state, msg);
    (this->*kHandlers[parsed.kind])(LineText{info, conn, msg, parsed});
}

void InterfaceLinkD::on_unknown_text(const LineText& t) {
    PlatLog2(kLogError, kLogPlatform, "%llu : %-15s error : unknown msg : %s", mynet::log_time(),
             t.info->tag().c_str(), t.text.c_str());
}

void InterfaceLinkD::on_ignored_text(const LineText&) {}
