#include <cstdint>
#include <string>

#include "call_answer.h"
#include "if_linkd.h"
#include "log.h"
#include "zlib_helpers.h"

namespace {

constexpr uint64_t kCallTimeoutMs = 10000;

bool opens_record(const std::string& method) { return method == "user_ext_call" || method == "user_sendmsg"; }

// "call <method> <id> 0 ": what every call's text carries before its request.
void append_call_head(std::string& msg, const std::string& method, const std::string& id) {
    msg.append("call ").append(method).append(" ").append(id).append(" 0 ");
}

// A call is judged with the widest id, so that whether a request fits does
// not depend on the id it happens to draw.
constexpr size_t kWidestCallId = 10;  // the digits of 4294967295

size_t widest_head_size(const std::string& method) { return 5 + method.size() + 1 + kWidestCallId + 3; }

// "" when the whole text of a call of method whose request takes json_size
// bytes stays within what one frame can compress; otherwise the reason the
// call fails with.
std::string too_long_reason(const std::string& method, size_t json_size) {
    const size_t head = widest_head_size(method);
    if (head + json_size <= kZlibCompressMaxInput) return "";
    const size_t most = head < kZlibCompressMaxInput ? kZlibCompressMaxInput - head : 0;
    return "request too long : " + std::to_string(json_size) + " bytes, at most " + std::to_string(most);
}

}  // namespace

REQ_ID InterfaceLinkD::call_api(int slot, const std::string& method, Json::Value req,
                                ApiCallResult onResult, bool only_http) {
    const REQ_ID id = ++m_tcp_call_id;
    PlatLog2(kLogDebug, kLogPlatform, "%llu : call_api %d %d %s %d", mynet::log_time(), slot, static_cast<int>(id),
             method.c_str(), only_http ? 1 : 0);
    if (slot != 0) {
        // There is no other slot; the caller still gets its one result, later.
        if (onResult) mynet::do_later(0, [onResult] { onResult(-2, "time out", Json::Value()); });
        return 0;
    }
    auto call = std::make_shared<ApiCall>();
    call->call_id.reqid = id;
    call->method = method;
    call->req = std::move(req);
    call->onResult = std::move(onResult);
    call->only_http = only_http;
    m_main_slot.add_call(call);
    return id;
}

size_t InterfaceLinkD::call_room(const std::string& method, const Json::Value& req) {
    const size_t size = widest_head_size(method) + JSON2STRING(req).size();
    return size >= kZlibCompressMaxInput ? 0 : kZlibCompressMaxInput - size;
}

// The one place where a refused call ends the session; returns the logout
// code, 0 when the reason ends nothing.
int InterfaceLinkD::end_session_for_reason(const std::string& reason) {
    int code = 0;
    if (reason == "kick") code = nuvra_sdk::LOGOUT_E_KICKED;
    if (reason == "TokenErrorExpired") code = nuvra_sdk::LOGOUT_E_TOKENEXPIRED;
    if (reason == "wrong line") code = nuvra_sdk::LOGOUT_E_OTHER;
    if (code != 0) fire_onLogout(code);
    return code;
}

void InterfaceLinkD::CallSlot::add_call(SP_ApiCall call) {
    if (opens_record(call->method)) {
        std::string params = "{\"method\":";
        json_append_string(params, call->method);
        params += '}';
        // Named by the uid once a session has one, 0 too; before, by the device.
        std::string key = this2->m_line.empty() ? this2->get_device_id() : std::to_string(this2->m_uid);
        // Keys of calls made in one millisecond stay distinct.
        key += std::to_string(this2->next_id_time());
        call->spt = this2->rp.t_start_text("call", std::move(key), std::move(params));
    }
    call->starttime = mynet::mono_time_ms();
    call->text = JSON2STRING(call->req);
    // Judged now rather than when its turn comes: waiting would only end it
    // by its time-out.
    if (refused_too_long(call)) return;
    calls.push_back(std::move(call));
    do_call();
}

// The failure comes like every result, after call_api has returned. The
// call is then on no list, or still counted in flight when it was refused
// on its way out.
bool InterfaceLinkD::CallSlot::refused_too_long(const SP_ApiCall& call) {
    std::string reason = too_long_reason(call->method, call->text.size());
    if (reason.empty()) return false;
    mynet::do_later(0, this2->m_lifeline.guard([this, call, reason = std::move(reason)] {
        process_call_response(call, WAY_NONE, "", -1, reason, "");
    }));
    return true;
}

void InterfaceLinkD::CallSlot::do_call() {
    if (m_queue_guard.held()) return;
    check_timeout();
    while (!calls.empty() && n_call_tcp < this2->m_config_call_concurrent) {
        if (!this2->m_tcp_connected || !this2->m_conn_info || calls.front()->only_http) break;
        SP_ApiCall call = std::move(calls.front());
        calls.pop_front();
        calls_calling.push_back(call);
        call->state = ApiCall::STATE_SENT;
        ++n_call_tcp;
        do_tcp_call(call);
    }
}

void InterfaceLinkD::CallSlot::do_tcp_call(const SP_ApiCall& call) {
    call->by_http = false;
    // A call queued before the login learnt its line id carries it now,
    // which may take it past the limit.
    if (!this2->m_line.empty() && call->req.isObject() && call->req.isMember("line") &&
        json_string(call->req, "line").empty()) {
        call->req["line"] = this2->m_line;
        call->text = JSON2STRING(call->req);
        if (refused_too_long(call)) return;
    }
    const std::string id = std::to_string(call->call_id.reqid);
    std::string msg;
    msg.reserve(5 + call->method.size() + 1 + id.size() + 3 + call->text.size());
    append_call_head(msg, call->method, id);
    msg += call->text;
    PlatLog2(kLogDebug, kLogPlatform, "%llu : tcp_call %u %s %.100s", mynet::log_time(), call->call_id.reqid,
             call->method.c_str(), call->text.c_str());
    if (!this2->m_conn_info) return;
    this2->m_conn_info->conn_send_msg(msg);
}

// Completes the expired heads one after another, then lets the queue move
// once: however many calls expire together, the stack stays flat.
void InterfaceLinkD::CallSlot::check_timeout() {
    if (m_queue_guard.held()) return;
    const uint64_t now = mynet::mono_time_ms();
    bool expired_any = false;
    while (!calls_calling.empty() && expired(*calls_calling.front(), now)) {
        complete(calls_calling.front(), WAY_NONE, "", -2, "time out", "");
        expired_any = true;
    }
    while (!calls.empty() && expired(*calls.front(), now)) {
        complete(calls.front(), WAY_NONE, "", -2, "time out", "");
        expired_any = true;
    }
    if (expired_any) do_call();
}

// Counted from queueing.
// In call mode 1 a negative time-out, taken as unsigned, never expires.
bool InterfaceLinkD::CallSlot::expired(const ApiCall& call, uint64_t now) const {
    const uint64_t limit = this2->m_config_call_mode == 1
                               ? static_cast<uint64_t>(static_cast<int64_t>(this2->m_config_call_timeout))
                               : kCallTimeoutMs;
    return mynet::elapsed_ms(call.starttime, now) > limit;
}

void InterfaceLinkD::CallSlot::process_tcp_call_res(uint32_t call_id, const std::string& response,
                                                    const std::string& ip) {
    SP_ApiCall call = find_callling_call_by_id(call_id);
    if (!call) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : res : can't find call %d ", mynet::log_time(), static_cast<int>(call_id));
        return;
    }
    process_call_response(std::move(call), WAY_TCP, ip, 0, "", response);
}

void InterfaceLinkD::CallSlot::process_call_response(SP_ApiCall call, WAY way, const std::string& ip, int ofu,
                                                     const std::string& _reason, const std::string& response) {
    complete(std::move(call), way, ip, ofu, _reason, response);
    do_call();
}

// Everything of a completion but the queue's next move; the result function
// and the session end it may bring run last, under the queue's guard.
void InterfaceLinkD::CallSlot::complete(SP_ApiCall call, WAY way, const std::string& ip, int ofu,
                                        const std::string& _reason, const std::string& response) {
    if (!call) return;
    // A call's state tells its list (do_call moves it and sets the state
    // together): a queued one is only in `calls`, a sent one only in
    // `calls_calling`, so an answer never walks the queue behind it.
    const int state = call->state;
    if (state != ApiCall::STATE_SENT) remove_call_by_id(calls, call->call_id.reqid);
    if (state != ApiCall::STATE_QUEUED) remove_call_by_id(calls_calling, call->call_id.reqid);
    if (state == ApiCall::STATE_DONE) return;
    std::string reason;
    const int result = settle(*call, way, ip, ofu, _reason, response, reason);
    m_queue_guard.run_user_code([&] {
        if (call->onResult) call->onResult(result, reason, call->resp);
        if (result == -1) this2->end_session_for_reason(reason);
    });
}

int InterfaceLinkD::CallSlot::settle(ApiCall& call, WAY way, const std::string& ip, int ofu,
                                     const std::string& _reason, const std::string& response, std::string& reason) {
    const int old_state = call.state;
    call.state = ApiCall::STATE_DONE;
    int result = ofu;
    reason = _reason;
    if (old_state == ApiCall::STATE_SENT && --n_call_tcp < 0) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : error, n_call_tcp<0 %d", mynet::log_time(), n_call_tcp);
        n_call_tcp = 0;
    }
    if (ofu == 0) {
        CallAnswer answer = parse_call_answer(response);
        call.resp.swap(answer.resp);
        result = answer.result;
        reason.swap(answer.reason);
    }

    const std::string resp_head = JSON2STRING_head(call.resp, 100);
    PlatLog2(kLogDebug, kLogPlatform, "%llu : call_ret %d %d %s %s ", mynet::log_time(), static_cast<int>(call.call_id.reqid),
             result, reason.c_str(), resp_head.c_str());
    if (result != 0)
        PlatLog2(kLogInfo, kLogPlatform, "%llu : call_ret %d %d %s %s ", mynet::log_time(),
                 static_cast<int>(call.call_id.reqid), result, reason.c_str(), resp_head.c_str());

    if (call.spt) end_record(call, way, ip, result, reason);
    return result;
}

void InterfaceLinkD::CallSlot::end_record(ApiCall& call, WAY way, const std::string& ip, int result,
                                          const std::string& reason) {
    // Written as text, keys in order: the record is on the path of every message.
    std::string params = "{\"callip\":";
    json_append_string(params, ip);
    std::string msgid;
    if (result != 0) {
        params += ",\"error\":";
        json_append_string(params, reason);
    } else if (call.method == "user_sendmsg" && answer_member_text(call.resp, "msgid", msgid)) {
        params += ",\"msgid\":";
        json_append_string(params, msgid);
    }
    params += ",\"way\":";
    params += std::to_string(static_cast<int>(way));
    params += '}';
    if (result == 0) {
        call.spt->end_text(true, "success", params);
    } else {
        call.spt->end_text(false, result == -2 ? "timeout" : "failed", params);
    }
    call.spt.reset();
}

SP_ApiCall InterfaceLinkD::CallSlot::find_callling_call_by_id(uint32_t call_id) {
    for (const SP_ApiCall& call : calls_calling)
        if (call->call_id.reqid == call_id) return call;
    return SP_ApiCall();
}

void InterfaceLinkD::CallSlot::remove_call_by_id(std::list<SP_ApiCall>& calls, uint32_t call_id) {
    for (auto it = calls.begin(); it != calls.end(); ++it) {
        if ((*it)->call_id.reqid == call_id) {
            calls.erase(it);
            return;
        }
    }
}

void InterfaceLinkD::CallSlot::resend_call() {
    for (const SP_ApiCall& call : calls_calling) do_tcp_call(call);
}

void InterfaceLinkD::CallSlot::fail_all_call() {
    while (!calls_calling.empty()) complete(calls_calling.front(), WAY_NONE, "", -2, "time out", "");
    while (!calls.empty()) complete(calls.front(), WAY_NONE, "", -2, "time out", "");
    do_call();
}

void InterfaceLinkD::CallSlot::clear() {
    while (!calls.empty()) complete(calls.front(), WAY_NONE, "", -2, "time out", "");
    do_call();
}

void InterfaceLinkD::on_call_ret(const LineText& t) {
    m_main_slot.process_tcp_call_res(t.msg.call_id, t.msg.text, t.conn->getRemoteIP());
}
