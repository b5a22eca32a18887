// Discovery, the login step "lbs": the discovery host's addresses and the
// built-in ones are asked over UDP which line servers to use.
#include <algorithm>

#include "if_linkd.h"
#include "lbs_wire.h"
#include "log.h"
#include "socks5.h"

namespace {

constexpr int kStepTimeoutMs = 10000;
constexpr int kDnsTimeoutMs = 6000;
constexpr int kDnsAddressesAsked = 2;
constexpr int kBuiltinAddressesAsked = 3;
constexpr size_t kResultLogChars = 128;
constexpr size_t kWrongJsonChars = 20;

}  // namespace

void InterfaceLinkD::login_mode2_step_12_lbs(int login_session) {
    if (!login_step_is_current(login_session, "lbs", "lbs")) return;
    m_last_t_login_info.clear(true);
    m_last_t_login_info.set("step", "lbs");
    m_last_t_login_info.set("retry", m_retry_count);

    auto start_branches = m_lifeline.guard([this, login_session](SPSimpleWork work) {
        uint64_t t0 = mynet::mono_time_ms();
        // An empty host name is refused without a callback: that branch then
        // never reports and the built-in one or the time-out decides.
        mynet::resolve_hostname(
            m_ulbs_host,
            m_lifeline.guard([this, login_session, work, t0](int code, std::string, std::list<std::string>& ips) {
                lbs_on_dns(login_session, work, t0, code, ips);
            }),
            kDnsTimeoutMs);
        if (_buildin_ulbs_time > 0) {
            mynet::Timer::call_later(_buildin_ulbs_time, m_lifeline.guard([this, login_session, work] {
                if (!work->isEnd()) _do_ulbs(login_session, work, kBuiltinAddressesAsked, m_ulbs_buildin);
            }));
        }
    });
    auto end_step = m_lifeline.guard(
        [this, login_session](SPSimpleWork, std::string result) { lbs_step_end(login_session, result); });
    auto work = std::make_shared<SimpleWork>(2, kStepTimeoutMs, start_branches, end_step);
    m_lbs_work = work;
    work->start();
}

bool InterfaceLinkD::lbs_is_current(int login_session) const {
    return login_session == m_login_session && m_login_session_step == "lbs";
}

void InterfaceLinkD::lbs_on_dns(int login_session, SPSimpleWork work, uint64_t t0, int code,
                                std::list<std::string>& ips) {
    if (!lbs_is_current(login_session)) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s ignore dns result %d : %d %s", mynet::log_time(), "lbs", login_session,
                 m_login_session, m_login_session_step.c_str());
        return;
    }
    m_last_t_login_info.set("h1t1", Json::UInt64(mynet::elapsed_ms(t0, mynet::mono_time_ms())));
    if (code == 0 && !ips.empty()) {
        parse_dns_result(ips);
        m_last_t_login_info.set("h1i1", join_list(m_lbs_ips));
        _do_ulbs(login_session, work, kDnsAddressesAsked, m_lbs_ips);
        return;
    }
    m_last_t_login_info.set("h1e1", code);
    work->end(std::string("ecode:") + code, false);
}

std::string InterfaceLinkD::join_list(const std::vector<std::string>& list) {
    std::string joined;
    for (const std::string& s : list) joined += s + ";";
    return joined;
}

void InterfaceLinkD::parse_dns_result(std::list<std::string>& ips) {
    lbs_wire::DnsResult result = lbs_wire::parse_dns_answers(ips, m_ulbs_host, m_ipv6_head, _force_ipv4);
    m_ipv6_mode = result.ipv6_mode;
    m_ipv6_head = result.ipv6_head;
    m_lbs_ips = result.ips;
}

void InterfaceLinkD::_do_ulbs(int login_session, SPSimpleWork work, int n, std::vector<std::string>& ips) {
    uint64_t t0 = mynet::mono_time_ms();
    size_t count = std::min(ips.size(), static_cast<size_t>(std::max(n, 0)));
    // A copy: the list may be replaced while the jobs start.
    std::vector<std::string> asked(ips.begin(), ips.begin() + count);
    for (const std::string& ip : asked) {
        do_ulbs(login_session, ip, choose_ulbs_port(), m_vid,
                m_lifeline.guard([this, login_session, work, t0, ip](std::string error, std::string json) {
                    lbs_on_job_result(login_session, work, t0, ip, error, json);
                }));
    }
}

void InterfaceLinkD::do_ulbs(int login_session, std::string ip, int port, std::string appid, UlbsResult cb) {
    // The relay's header holds only IPv4 destinations, so requests through a
    // proxy never take the NAT64 form.
    bool nat64 = mynet::my_proxy_host.empty() && mode2v6(m_ipv6_mode);
    std::string target = nat64 ? mynet::nat64_addr(ip, m_ipv6_head) : ip;
    auto job = std::make_shared<ULBS_Job>(this, login_session, target, port, appid);
    std::string bind_ip = nat64 ? "::" : "0.0.0.0";
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s bind %s", mynet::log_time(), "ulbs", bind_ip.c_str());
    job->udp->init();
    job->udp->bind(bind_ip, 0);
    // Weak: the job's timer owns it, and its socket must not keep it alive.
    std::weak_ptr<ULBS_Job> weak = job;
    job->udp->onData([weak, cb](const mynet::InetSocketAddress&, mynet::ByteBuffer& data) {
        std::shared_ptr<ULBS_Job> job = weak.lock();
        if (!job || job->is_end) return;
        job->is_end = true;
        lbs_wire::Reply reply =
            lbs_wire::decode_reply(std::string(data->data(), data->remaining()), job->is_socks5_connected);
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s data recv %s", mynet::log_time(), "ulbs", reply.text.c_str());
        cb(reply.error, reply.json);
    });
    job->start_timer();
    job->send();
}

void InterfaceLinkD::lbs_on_job_result(int login_session, SPSimpleWork work, uint64_t t0, const std::string& list_ip,
                                       const std::string& error, const std::string& json) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s result %s %s", mynet::log_time(), "ulbs", error.c_str(),
             json.substr(0, kResultLogChars).c_str());
    if (!lbs_is_current(login_session)) return;
    m_last_t_login_info.set("t2", Json::UInt64(mynet::elapsed_ms(t0, mynet::mono_time_ms())));
    m_last_t_login_info.set("i2", "udp:" + list_ip);
    if (error.empty() && parse_lbs_result(json)) {
        work->end("", false);
        return;
    }
    m_last_t_login_info.set("e2", error.empty() ? "wrongjson:" + json.substr(0, kWrongJsonChars) : "failed:" + error);
    work->end("failed", false);
}

bool InterfaceLinkD::parse_lbs_result(std::string json) {
    return lbs_wire::parse_server_lists(json, m_http_addrs, m_tcp_addrs);
}

void InterfaceLinkD::lbs_step_end(int login_session, const std::string& result) {
    if (!login_step_is_current(login_session, "lbs", "lbs")) return;
    if (result.empty()) m_login_session_step = "conn";
    // A copy: the hand-over may replace the member.
    LbsResultFunction hand_over = m_on_lbs_result;
    hand_over(login_session, result);
}

