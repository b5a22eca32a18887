#include "if_linkd.h"

#include "builtin_hosts.h"
#include "sdk_version.h"

InterfaceLinkD::InterfaceLinkD(nuvra_sdk::ICallBack* cb, mynet::Async* queue) : m_callback(cb), async(queue) {
    m_main_slot.this2 = this;
    m_timer.start(100, [this] { login_watchdog_tick(); });
    m_lbs_host = builtin_hosts::kLbsHost;
    m_ulbs_host = builtin_hosts::kDiscoveryHost;
    m_lbs_buildin = builtin_hosts::kLbsAddresses;
    m_ulbs_buildin = builtin_hosts::kDiscoveryAddresses;
    m_timer_poll.start(100, [this] { housekeeping_tick(); });
    m_on_lbs_result = [this](int login_session, const std::string& result) {
        if (result.empty()) {
            login_step_3_conn(login_session);
        } else {
            login_step_4_failed(login_session, nuvra_sdk::LOGIN_E_NET, "lbs failed");
        }
    };
}

InterfaceLinkD::~InterfaceLinkD() {
    // The line's watchdog and stream callbacks point back at this engine.
    stop_conn();
    m_timer.close();
    m_timer_poll.close();
}

bool InterfaceLinkD::mode2v6(int mode) {
    if (mode == 2) return true;
    if (mode == 1) return mynet::get_randint() % 100 <= 49;
    return false;
}

int InterfaceLinkD::choose_ulbs_port() {
    if (_ulbs_port_range <= 0) return 8180;
    return 8180 + static_cast<int>(mynet::get_randint() % static_cast<uint32_t>(_ulbs_port_range));
}

void InterfaceLinkD::set_reporter_header() {
    Json::Value common(Json::objectValue);
    common["sdk"] = NUVRA_SDK_VERSION;
    common["deviceid"] = _device_id;
    common["deviceinfo"] = _device_info;
    common["vid"] = m_vid;
    common["account"] = m_account;
    common["uid"] = m_uid;
    rp.set_common_fields(common);
}

void InterfaceLinkD::login_watchdog_tick() { login_timeout(); }

void InterfaceLinkD::housekeeping_tick() {
    const uint64_t now = mynet::mono_time_ms();
    m_main_slot.check_timeout();
    msgIDBuf.tick(now, m_config_msgid_cache_time);
    rp.tick();
    idle_logout(now);
    poll_triggers(now);
    report_channel_stats(now);
}

void InterfaceLinkD::report_channel_stats(uint64_t now) {
    if (mynet::elapsed_ms(m_channel_rp_time, now) <= 59999) return;
    if (m_chnanel_rp_count <= 0 && m_chnanel_rp_count_failed <= 0 && m_chnanel_rp_count_success <= 0) return;
    auto average = [](uint64_t sum, int count) -> uint64_t { return count > 0 ? sum / uint64_t(count) : 0; };
    Json::Value params(Json::objectValue);
    params["c"] = m_chnanel_rp_count;
    params["cs"] = m_chnanel_rp_count_success;
    params["cf"] = m_chnanel_rp_count_failed;
    params["cts"] = Json::UInt64(average(m_channel_rp_time_all_success, m_chnanel_rp_count_success));
    params["ctf"] = Json::UInt64(average(m_channel_rp_time_all_failed, m_chnanel_rp_count_failed));
    m_channel_rp_time = now;
    m_chnanel_rp_count = m_chnanel_rp_count_success = m_chnanel_rp_count_failed = 0;
    m_channel_rp_time_all_success = m_channel_rp_time_all_failed = 0;
    Json::Value none;
    rp.t_start("chrp", get_device_id() + static_cast<unsigned long>(mynet::get_time_in_ms()), params)
        ->end(true, "ok", none);
}

void InterfaceLinkD::set_login_state(int state) {
    m_login_state = state;
    m_published_login_state.store(state, std::memory_order_release);
}

void InterfaceLinkD::set_line(const std::string& line) {
    m_line = line;
    m_published_has_line.store(!line.empty(), std::memory_order_release);
}

void InterfaceLinkD::set_channel_name(const std::string& name) {
    m_channelName = name;
    std::lock_guard<std::mutex> lock(m_published_channel_mtx);
    m_published_channel_name = name;
}

std::string InterfaceLinkD::published_channel_name() const {
    std::lock_guard<std::mutex> lock(m_published_channel_mtx);
    return m_published_channel_name;
}
