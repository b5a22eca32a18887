#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "if_linkd.h"
#include "socks5.h"
#include "support/engine_fixture.h"
#include "support/log_capture.h"
#include "support/loop_thread.h"

using nuvra_test::run_on_loop;

namespace {

// The keys may set the process-wide proxy: the guard puts it back.
class DbgKeys : public nuvra_test::EngineFixture {
protected:
    void dbg(const std::string& a, const std::string& b) {
        run_on_loop([&] { ld->user_dbg(a, b); });
    }
    template <typename T> T read(const std::function<T(InterfaceLinkD&)>& f) {
        T value{};
        run_on_loop([&] { value = f(*ld); });
        return value;
    }

    nuvra_test::ProxyGuard proxy;
    InterfaceLinkD* ld = engine.get();
};

struct KeyCase {
    const char* key;
    const char* value;
    bool logged;
    // The setting the key changes, read back as text.
    std::function<std::string(InterfaceLinkD&)> setting;
    const char* expected;
};

std::ostream& operator<<(std::ostream& os, const KeyCase& c) { return os << c.key << "=" << c.value; }

class DbgKeyTable : public DbgKeys, public ::testing::WithParamInterface<KeyCase> {};

std::string yes_no(bool b) { return b ? "yes" : "no"; }

const KeyCase kKeys[] = {
    {"_device_id", "dev-9", false, [](InterfaceLinkD& l) { return l._device_id; }, "dev-9"},
    {"_device_info", "box", false, [](InterfaceLinkD& l) { return l._device_info; }, "box"},
    {"app_https", "x", true, [](InterfaceLinkD& l) { return yes_no(l._app_https); }, "yes"},
    {"force_ipv4", "1", true, [](InterfaceLinkD& l) { return yes_no(l._force_ipv4); }, "yes"},
    {"force_ipv4", "true", true, [](InterfaceLinkD& l) { return yes_no(l._force_ipv4); }, "no"},
    {"flag_app_lbs", "", true, [](InterfaceLinkD& l) { return yes_no(l.flag_app_lbs); }, "no"},
    {"fake_lbs_ip", "10.1.2.3", true, [](InterfaceLinkD& l) { return l._fake_lbs_ip; }, "10.1.2.3"},
    {"lbs_result", "x", false, [](InterfaceLinkD&) { return std::string(); }, ""},
    {"mode", "sdkserver", false, [](InterfaceLinkD& l) { return yes_no(l.m_sdkserver_mode); }, "yes"},
    {"mode", "other", true, [](InterfaceLinkD& l) { return yes_no(l.m_sdkserver_mode); }, "no"},
    {"_vid", "v-1", false, [](InterfaceLinkD& l) { return l.m_vid; }, "v-1"},
    {"_dbg_ap", "127.0.0.1:4321", false,
     [](InterfaceLinkD& l) { return l._dbg_ap_ip + "|" + std::to_string(l._dbg_ap_port); }, "127.0.0.1|4321"},
    {"_dbg_ap", "127.0.0.1", false,
     [](InterfaceLinkD& l) { return l._dbg_ap_ip + "|" + std::to_string(l._dbg_ap_port); }, "127.0.0.1|0"},
    {"_dbg_ap", "", false, [](InterfaceLinkD& l) { return l._dbg_ap_ip + "|" + std::to_string(l._dbg_ap_port); },
     "|0"},
    {"tcpflag", "0", true, [](InterfaceLinkD& l) { return std::to_string(l.m_tcp_conn_flag); }, "0"},
    {"norpt", "1", true, [](InterfaceLinkD& l) { return yes_no(l.rp.m_enable); }, "no"},
    {"use_proxy_socks5", "127.0.0.1:1080", true,
     [](InterfaceLinkD&) { return mynet::my_proxy_host + "|" + std::to_string(mynet::my_proxy_port); },
     "127.0.0.1|1080"},
    {"use_proxy_socks5", "proxyhost", true,
     [](InterfaceLinkD&) { return mynet::my_proxy_host + "|" + std::to_string(mynet::my_proxy_port); },
     "proxyhost|0"},
    {"no_such_key", "1", true, [](InterfaceLinkD&) { return std::string(); }, ""},
};

TEST_P(DbgKeyTable, ChangesItsSettingAndLogsFromTcpflagOn) {
    const KeyCase& c = GetParam();
    nuvra_test::LogCapture log;
    dbg(c.key, c.value);
    EXPECT_EQ(read<std::string>(c.setting), c.expected);
    const std::string line = std::string("user_dbg a=\"") + c.key + "\" b=\"" + c.value + "\"";
    EXPECT_EQ(log.contains(line), c.logged) << line;
}

INSTANTIATE_TEST_SUITE_P(Keys, DbgKeyTable, ::testing::ValuesIn(kKeys));

TEST_F(DbgKeys, LbssPointsDiscoveryAtOneHostAndStopsTheLogHandOver) {
    dbg("lbss", "127.0.0.9");
    run_on_loop([&] {
        EXPECT_EQ(ld->m_lbs_host, "127.0.0.9");
        EXPECT_EQ(ld->m_ulbs_host, "127.0.0.9");
        EXPECT_EQ(ld->m_lbs_buildin, std::vector<std::string>{"127.0.0.9"});
        EXPECT_EQ(ld->m_ulbs_buildin, std::vector<std::string>{"127.0.0.9"});
        EXPECT_EQ(ld->_log_report_rate, 0);
        EXPECT_EQ(ld->_info_report_rate, 0);
    });
}

TEST_F(DbgKeys, Lbs100SwitchesToTheSlowLoopbackProfile) {
    dbg("lbs_100", "");
    run_on_loop([&] {
        EXPECT_TRUE(ld->_slow_ulbs);
        EXPECT_EQ(ld->_buildin_ulbs_time, 6000);
        EXPECT_EQ(ld->_ulbs_port_range, 8);
        EXPECT_EQ(ld->_log_report_rate, 5);
        EXPECT_EQ(ld->_info_report_rate, 5);
        ASSERT_EQ(ld->m_ulbs_buildin.size(), 1u);
        EXPECT_EQ(ld->m_ulbs_buildin[0].rfind("127.", 0), 0u);
        for (int i = 0; i < 50; ++i) {
            const int port = ld->choose_ulbs_port();
            EXPECT_GE(port, 8180);
            EXPECT_LE(port, 8187);
        }
    });
}

TEST_F(DbgKeys, NorptEmptySwitchesTelemetryBackOnAndAnEmptyProxyClearsIt) {
    dbg("norpt", "1");
    dbg("norpt", "");
    EXPECT_TRUE(read<bool>([](InterfaceLinkD& l) { return l.rp.m_enable; }));
    dbg("use_proxy_socks5", "127.0.0.1:1080");
    dbg("use_proxy_socks5", "");
    run_on_loop([&] {
        EXPECT_EQ(mynet::my_proxy_host, "");
        EXPECT_EQ(mynet::my_proxy_port, 0);
    });
}

TEST_F(DbgKeys, DeviceIdReachesTheTelemetryHeader) {
    dbg("_device_id", "dev-42");
    EXPECT_EQ(read<std::string>([](InterfaceLinkD& l) {
                  Json::Value common;
                  parse_json(*l.rp.m_common_fields, common);
                  return common["deviceid"].asString();
              }),
              "dev-42");
}

}  // namespace
