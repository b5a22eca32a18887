// The connect step, the login step "conn": up to two line servers raced, the
// first connection up becomes the line and carries the login or re-login
// request; its bytes go through the read path to the dispatcher.
#include <cstdlib>
#include <utility>

#include "if_linkd.h"
#include "log.h"
#include "net_util.h"
#include "sdk_version.h"

namespace {

constexpr int kStepTimeoutMs = 10000;
constexpr uint32_t kConnectTimeoutMs = 10000;
constexpr size_t kRecvLogChars = 100;

std::string branch_key(const char* head, int i, const char* tail) { return std::string(head) + i + tail; }

}  // namespace

std::string InterfaceLinkD::ConnBranch::tag() const { return std::string("tcp.") + login_session + "." + i; }

void InterfaceLinkD::login_step_3_conn(int login_session) {
    if (!login_step_is_current(login_session, "conn", "conn", "", STALE_NAMES_OWN_STEP)) return;
    m_last_t_login_info.set("step", "conn");
    int n = static_cast<int>(std::min<size_t>(m_tcp_addrs.size(), 2));
    if (n == 0) {
        login_event_process(LOGIN_EVENT_CONN_FAILED, 0, "");
        return;
    }
    if (!_dbg_ap_ip.empty()) n = 1;
    auto work = m_lifeline.guard(
        [this, login_session, n](SPSimpleWork job) { conn_start_branches(login_session, n, job); });
    auto end = m_lifeline.guard(
        [this, login_session](SPSimpleWork, std::string result) { conn_step_end(login_session, result); });
    std::make_shared<SimpleWork>(n, kStepTimeoutMs, work, end)->start();
}

void InterfaceLinkD::conn_start_branches(int login_session, int n, SPSimpleWork job) {
    for (size_t k = 1; k < m_tcp_addrs.size(); ++k) std::swap(m_tcp_addrs[k], m_tcp_addrs[std::rand() % (k + 1)]);
    for (int i = 0; i < n; ++i) {
        auto branch = std::make_shared<ConnBranch>();
        branch->login_session = login_session;
        branch->i = i;
        branch->job = job;
        Addr server = m_tcp_addrs[i];
        // The second branch tries another host when there is one.
        if (i == 1 && server.host == m_tcp_addrs[0].host) {
            for (size_t k = 2; k < m_tcp_addrs.size(); ++k) {
                if (m_tcp_addrs[k].host == m_tcp_addrs[0].host) continue;
                PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s replace %s %s", mynet::log_time(), branch->tag().c_str(),
                         m_tcp_addrs[k].host.c_str(), server.host.c_str());
                server = m_tcp_addrs[k];
                break;
            }
        }
        branch->t0 = mynet::mono_time_ms();
        branch->host = server.host;
        branch->port = server.port;
        branch->addr = mode2v6(m_ipv6_mode) ? mynet::nat64_addr(server.host, m_ipv6_head) : server.host;
        const bool debug_server = !_dbg_ap_ip.empty();
        if (debug_server) {
            branch->host = branch->addr = _dbg_ap_ip;
            branch->port = _dbg_ap_port;
        }
        m_last_t_login_info.set(branch_key("i3_", i, "_ip"), branch->addr);
        m_last_t_login_info.set(branch_key("i3_", i, "_port"), branch->port);
        conn_start_branch(branch);
        if (debug_server) break;
    }
}

void InterfaceLinkD::conn_start_branch(std::shared_ptr<ConnBranch> branch) {
    auto client = std::make_shared<mynet::NetworkTcpClient>(branch->addr, branch->port, kConnectTimeoutMs);
    // A connection that comes up after the engine is gone is closed at once.
    client->onConnected(m_lifeline.guard(
        [this, branch](mynet::NetworkTcpClient*, mynet::NetworkTcpStream* stream) {
            conn_on_connected(*branch, stream);
        },
        [](mynet::NetworkTcpClient*, mynet::NetworkTcpStream* stream) { stream->close(); }));
    client->onConnFail(m_lifeline.guard([this, branch](mynet::NetworkTcpClient*, int code, std::string text) {
        conn_on_failed(*branch, code, text);
    }));
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s connecting %s:%d", mynet::log_time(), branch->tag().c_str(),
             branch->host.c_str(), branch->port);
    client->connect();
}

void InterfaceLinkD::conn_on_failed(const ConnBranch& branch, int code, const std::string& text) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s conn failed", mynet::log_time(), branch.tag().c_str());
    if (!login_step_is_current(branch.login_session, "conn", branch.tag(), "", STALE_NAMES_OWN_STEP)) return;
    m_last_t_login_info.set(branch_key("t_tcp", branch.i, ""), Json::UInt64(mynet::elapsed_ms(branch.t0, mynet::mono_time_ms())));
    m_last_t_login_info.set(branch_key("tcp", branch.i, "_result"), std::to_string(code) + ":" + text.substr(0, 10));
    branch.job->end("conn failed", false);
}

void InterfaceLinkD::conn_on_connected(const ConnBranch& branch, mynet::NetworkTcpStream* stream) {
    const mynet::InetSocketAddress peer = stream->getRemoteAddr();
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s connected %s:%u %u", mynet::log_time(), branch.tag().c_str(),
             peer.getHostString().c_str(), static_cast<unsigned>(peer.getPort()), m_connid);
    if (!login_step_is_current(branch.login_session, "conn", branch.tag(), "close on connected : ",
                               STALE_NAMES_OWN_STEP)) {
        stream->close();
        return;
    }
    const uint64_t t2 = mynet::mono_time_ms();
    m_last_t_login_t2 = t2;
    const Json::UInt64 took = mynet::elapsed_ms(branch.t0, t2);
    m_last_t_login_info.set(branch_key("i3_", branch.i, "_t"), took);
    m_last_t_login_info.set(branch_key("i3_", branch.i, ""), "connected");
    if (branch.job->isEnd()) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s close on connected : work end %d ", mynet::log_time(),
                 branch.tag().c_str(), branch.login_session);
        stream->close();
        return;
    }
    m_last_t_login_info.set("t3", took);
    m_last_t_login_info.set("i3", branch.addr + ":" + std::to_string(branch.port));
    branch.job->end("", false);
    m_last_t_login_info.set("step", "login");

    auto info = std::make_shared<ConnInfo>();
    info->init();
    info->conn = stream;
    info->connid = static_cast<uint32_t>(branch.login_session);
    info->in_buf->flip();
    info->this2 = this;
    // The line it replaces is closed, and its close raises nothing.
    drop_conn();
    m_conn_info = info;
    // The log shows the token cut, as the login line does.
    info->conn_send_msg(login_request(m_token), login_request(token_for_log(m_token)));
    info->login_time = mynet::mono_time_ms();

    const int login_session = branch.login_session;
    const std::string tag = branch.tag();
    // Once the engine is gone, data only closes the stream and the close
    // only releases the connection.
    stream->onData(m_lifeline.guard(
        [this, login_session, tag, info](mynet::NetworkTcpStream* s, mynet::ByteBuffer& data) {
            conn_on_data(login_session, tag, info, s, data);
        },
        [](mynet::NetworkTcpStream* s, mynet::ByteBuffer&) { s->close(); }));
    stream->onClosed(m_lifeline.guard(
        [this, login_session, tag, info](mynet::NetworkTcpStream*) { conn_on_closed(login_session, tag, info); },
        [info](mynet::NetworkTcpStream*) {
            info->conn = nullptr;
            info->close();
        }));
}

std::string InterfaceLinkD::login_request(const std::string& token) const {
    if (m_line.empty()) {
        Json::Value req(Json::objectValue);
        req["account"] = m_account;
        req["device"] = m_deviceID;
        req["ip"] = "";
        req["token"] = token;
        req["uid"] = m_uid_req;
        req["ver"] = NUVRA_SDK_VERSION;
        req["vid"] = m_vid;
        return "login " + JSON2STRING(req);
    }
    const std::string relogin = "line_login2 " + m_line + " 2 " + std::to_string(m_channel_msgid);
    if (m_config_line_login3 == 0) return relogin;
    return "line_login3 " + m_line + " 2 " + std::to_string(m_channel_msgid) + " " + std::to_string(m_login_session) +
           " " + m_vid + " " + m_account;
}

void InterfaceLinkD::conn_on_data(int login_session, const std::string& tag, const std::shared_ptr<ConnInfo>& info,
                                  mynet::NetworkTcpStream* stream, mynet::ByteBuffer& data) {
    if (login_session != m_login_session || m_login_session_step != "conn") {
        PlatLog2(kLogError, kLogPlatform, "%llu : %-15s close on data %u %s", mynet::log_time(), tag.c_str(),
                 static_cast<unsigned>(m_login_session), m_login_session_step.c_str());
        info->close();
        return;
    }
    std::list<std::string> msgs;
    if (info->receive(data, msgs) < 0) {
        info->close_stream();
        return;
    }
    for (std::string& msg : msgs) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s recv : [%llu, %llu] %.*s", mynet::log_time(), tag.c_str(), static_cast<unsigned long long>(msg.size()),
                 static_cast<unsigned long long>(info->in_buf->remaining()), static_cast<int>(kRecvLogChars),
                 msg.c_str());
        process_conn_msg(static_cast<uint32_t>(login_session), stream, info, std::move(msg));
    }
}

// Only the engine's current line reports its close: a line the engine itself
// dropped has already been accounted for.
void InterfaceLinkD::conn_on_closed(int login_session, const std::string& tag,
                                    const std::shared_ptr<ConnInfo>& info) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s closed", mynet::log_time(), tag.c_str());
    info->state = CONN_STATE_CLOSED;
    info->conn = nullptr;
    info->close();
    if (login_session == m_login_session && m_login_session_step == "conn" && info == m_conn_info)
        login_event_process(LOGIN_EVENT_CONN_CLOSED, 0, "");
}

void InterfaceLinkD::conn_step_end(int login_session, const std::string& result) {
    if (!login_step_is_current(login_session, "conn", "conn")) return;
    if (!result.empty()) login_event_process(LOGIN_EVENT_CONN_FAILED, 0, "");
}
