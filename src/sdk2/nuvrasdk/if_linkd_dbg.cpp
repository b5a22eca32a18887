// Debug keys: settings an application or a support engineer changes at run
// time, tested in a fixed order.
#include <cstdlib>

#include "builtin_hosts.h"
#include "if_linkd.h"
#include "log.h"
#include "net_util.h"
#include "socks5.h"

namespace {

// "host:port" split at the first ':'; without one the whole text is the host
// and the port is 0.
void split_host_port(const std::string& value, std::string& host, int& port) {
    const size_t colon = value.find(':');
    if (colon == std::string::npos) {
        host = value;
        port = 0;
        return;
    }
    host = value.substr(0, colon);
    port = std::atoi(value.c_str() + colon + 1);
}

}  // namespace

void InterfaceLinkD::user_dbg(std::string a, std::string b) {
    if (a == "_device_id") {
        _device_id = b;
        set_reporter_header();
        return;
    }
    if (a == "_device_info") {
        _device_info = b;
        set_reporter_header();
        return;
    }
    if (a == "app_https") _app_https = !b.empty();
    if (a == "force_ipv4") _force_ipv4 = b == "1";
    if (a == "flag_app_lbs") flag_app_lbs = !b.empty();
    if (a == "lbs_100") use_slow_discovery();
    if (a == "fake_lbs_ip") _fake_lbs_ip = b;
    if (a == "lbs_result") return;
    if (a == "mode" && b == "sdkserver") {
        m_sdkserver_mode = true;
        return;
    }
    if (a == "_vid") {
        m_vid = b;
        set_reporter_header();
        return;
    }
    if (a == "_dbg_ap") {
        split_host_port(b, _dbg_ap_ip, _dbg_ap_port);
        return;
    }

    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_dbg a=\"%s\" b=\"%s\"", mynet::log_time(), "usr", a.c_str(),
             b.c_str());

    if (a == "tcpflag") m_tcp_conn_flag = static_cast<uint32_t>(std::atoi(b.c_str()));
    if (a == "lbss") {
        m_lbs_host = b;
        m_ulbs_host = b;
        m_ulbs_buildin = {b};
        m_lbs_buildin = {b};
        _log_report_rate = 0;
        _info_report_rate = 0;
    }
    if (a == "norpt") rp.m_enable = b.empty();
    if (a == "query_user_status") user_query_user_status_temp(b);
    if (a == "use_proxy_socks5") {
        if (b.empty()) {
            mynet::my_proxy_host = "";
            mynet::my_proxy_port = 0;
        } else {
            split_host_port(b, mynet::my_proxy_host, mynet::my_proxy_port);
        }
        return;
    }
}

void InterfaceLinkD::use_slow_discovery() {
    _slow_ulbs = true;
    _buildin_ulbs_time = 6000;
    _ulbs_port_range = 8;
    m_ulbs_host = builtin_hosts::kAltDiscoveryHost;
    m_ulbs_buildin = builtin_hosts::kAltDiscoveryAddresses;
    _log_report_rate = 5;
    _info_report_rate = 5;
    rp.m_enable = mynet::get_randint() % 100 < static_cast<uint32_t>(_info_report_rate);
}
