#include "reporter2.h"

#include <algorithm>

#include "json_text.h"
#include "log.h"
#include "loop.h"
#include "net_util.h"
#include "report_ack.h"
#include "resolve.h"
#include "zlib_helpers.h"

namespace {

constexpr int kFirstRunMs = 1000;
constexpr int kExpiredMs = 86400000;
constexpr int kRetryMinMs = 200;
constexpr int kRetryMaxMs = 5000;
constexpr int kResolveRunTimeoutMs = 10000;
constexpr int kSendRunTimeoutMs = 5000;
constexpr int kResolveTimeoutMs = 6000;

}  // namespace

void Reporter2::T::phase(std::string phase, const Json::Value& value) {
    if (!m_alive.alive()) return;
    rp->phase_of(type, key, phase, JSON2STRING(value), this);
}

void Reporter2::T::end(bool isSuccess, std::string result, const Json::Value& value) {
    end_text(isSuccess, result, JSON2STRING(value));
}

void Reporter2::T::end_text(bool isSuccess, const std::string& result, const std::string& value_text) {
    if (!m_alive.alive()) return;
    rp->end_of(type, key, isSuccess, result, value_text, this);
}

Reporter2::Reporter2() {
    m_wm_dns = std::make_unique<WorkManager>(
        "rp_dns", kFirstRunMs, kExpiredMs, kRetryMinMs, kRetryMaxMs, kResolveRunTimeoutMs, 1,
        [this](WorkManager::SPWork work, WorkManager*) { resolve_collector(work); });
    m_wm_send = std::make_unique<WorkManager>(
        "rp_send", kFirstRunMs, kExpiredMs, kRetryMinMs, kRetryMaxMs, kSendRunTimeoutMs, 1,
        [this](WorkManager::SPWork work, WorkManager*) { send_head(work); },
        [this](WorkManager::SPWork, WorkManager*) { close_udp(); });
    m_wm_dns->m_nolog = true;
    m_wm_send->m_nolog = true;
}

Reporter2::~Reporter2() { close_udp(); }

void Reporter2::set_common_fields(const Json::Value& value) {
    m_common_fields = std::make_shared<const std::string>(JSON2STRING(value));
}

Reporter2::SPT Reporter2::t_start(std::string type, std::string key, const Json::Value& value) {
    return t_start_text(std::move(type), std::move(key), JSON2STRING(value));
}

Reporter2::SPT Reporter2::t_start_text(std::string type, std::string key, std::string value_text) {
    auto t = std::make_shared<T>();
    t->rp = this;
    t->t0 = mynet::mono_time_ms();
    t->value = std::move(value_text);
    t->m_alive = m_lifeline.watch();
    std::string at = type + "_" + key;
    t->type = std::move(type);
    t->key = std::move(key);
    ts[std::move(at)] = t;
    return t;
}

void Reporter2::t_phase(std::string type, std::string key, std::string phase, const Json::Value& value) {
    phase_of(type, key, phase, JSON2STRING(value), nullptr);
}

void Reporter2::t_end(std::string type, std::string key, bool isSuccess, std::string result,
                      const Json::Value& value) {
    end_of(type, key, isSuccess, result, JSON2STRING(value), nullptr);
}

void Reporter2::forget(const SPT& t) {
    if (!t) return;
    auto it = find_record(t->type, t->key, t.get());
    if (it != ts.end()) ts.erase(it);
}

std::map<std::string, Reporter2::SPT>::const_iterator Reporter2::find_record(const std::string& type,
                                                                            const std::string& key,
                                                                            const T* only) const {
    auto it = ts.find(type + "_" + key);
    if (it != ts.end() && only && it->second.get() != only) return ts.end();
    return it;
}

void Reporter2::phase_of(const std::string& type, const std::string& key, const std::string& phase,
                         const std::string& value_text, const T* only) {
    auto it = find_record(type, key, only);
    if (it == ts.end()) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : phase : can't find k %s %s %s", mynet::log_time(), key.c_str(),
                 type.c_str(), phase.c_str());
        return;
    }
    queue_report(*it->second, "phase", nullptr, "param_phase", value_text, "phase", phase);
}

void Reporter2::end_of(const std::string& type, const std::string& key, bool isSuccess, const std::string& result,
                       const std::string& value_text, const T* only) {
    auto it = find_record(type, key, only);
    if (it == ts.end()) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : end : can't find k %s %s ", mynet::log_time(), key.c_str(), type.c_str());
        return;
    }
    const SPT t = it->second;
    t->isdone = true;
    ts.erase(it);
    queue_report(*t, "end", isSuccess ? "true" : "false", "param_end", value_text, "result", result);
}

namespace {

void append_key(std::string& out, const char* key) {
    out += '"';
    out += key;
    out += "\":";
}

}  // namespace

void Reporter2::queue_report(const T& t, const char* cmd, const char* isok, const char* param_key,
                             const std::string& param, const char* last_key, const std::string& last) {
    const uint64_t now = mynet::mono_time_ms();
    Queued q;
    q.seq = m_seq++;
    q.made_at = now;
    q.common = m_common_fields;
    // Written into the scratch text, so the report holds only its own bytes
    // for the minute it may wait. Every message makes a report: the fixed
    // keys go in with their separators as one piece each.
    std::string& out = m_scratch;
    out.assign("{\"cmd\":");
    json_append_string(out, cmd);
    out += ',';
    q.common_at = out.size();
    out += "\"duration\":";
    out += std::to_string(mynet::elapsed_ms(t.t0, now));
    if (isok) {
        out += ",\"isok\":";
        out += isok;
    }
    out += ",\"key\":";
    json_append_string(out, t.key);
    out += ',';
    q.now_at = out.size();
    append_key(out, param_key);
    out += param;
    out += ",\"param_start\":";
    out += t.value;
    out += ',';
    append_key(out, last_key);
    json_append_string(out, last);
    out += ",\"seq\":";
    out += std::to_string(q.seq);
    out += ",\"time\":";
    out += std::to_string(mynet::get_time_in_ms());
    out += ",\"type\":";
    json_append_string(out, t.type);
    out += '}';
    q.text = out;
    reports.push_back(std::move(q));
    m_wm_send->update();
}

const std::string& Reporter2::Queued::common_text() const {
    static const std::string kNone = "null";
    return common ? *common : kNone;
}

std::string Reporter2::Queued::sent_text(uint64_t now_ms) const {
    std::string out;
    out.reserve(text.size() + common_text().size() + 32);
    out.append(text, 0, common_at);
    append_key(out, "common");
    out += common_text();
    out += ',';
    out.append(text, common_at, now_at - common_at);
    append_key(out, "now");
    out += std::to_string(now_ms);
    out += ',';
    out.append(text, now_at, std::string::npos);
    return out;
}

Json::Value Reporter2::Queued::body() const {
    std::string with_common = text;
    with_common.insert(common_at, "\"common\":" + common_text() + ",");
    Json::Value out;
    parse_json(with_common, out);
    return out;
}

void Reporter2::tick() {
    const uint64_t now = mynet::mono_time_ms();
    while (!reports.empty() && mynet::elapsed_ms(reports.front().made_at, now) > kReportMaxAgeMs) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : clear rp %d", mynet::log_time(), static_cast<int>(reports.front().seq));
        reports.pop_front();
    }
}

void Reporter2::resolve_collector(WorkManager::SPWork work) {
    if (!m_enable) {
        m_wm_dns->done(work, true, true);
        return;
    }
    mynet::resolve_hostname(
        m_hostname,
        m_lifeline.guard([this, work](int code, std::string, std::list<std::string>& addresses) {
            on_resolved(work, code, addresses);
        }),
        kResolveTimeoutMs);
}

void Reporter2::on_resolved(WorkManager::SPWork work, int code, const std::list<std::string>& addresses) {
    if (code != 0) {
        m_wm_dns->done(work, false, true);
        return;
    }
    bool isipv6 = std::any_of(addresses.begin(), addresses.end(), [](const std::string& a) { return mynet::isIP6(a); });
    // A socket of the other family cannot reach the new addresses.
    if (isipv6 != m_isipv6) close_udp();
    m_isipv6 = isipv6;
    m_host_ips.clear();
    for (const std::string& address : addresses) {
        if (isipv6 && !mynet::isIP6(address)) {
            PlatLog2(kLogInfo, kLogPlatform, "%llu : rpt host ignore %s %s", mynet::log_time(), m_hostname.c_str(),
                     address.c_str());
            continue;
        }
        m_host_ips.push_back(address);
        PlatLog2(kLogInfo, kLogPlatform, "%llu : rpt host %s %s", mynet::log_time(), m_hostname.c_str(), address.c_str());
    }
    m_wm_dns->done(work, true, true);
}

void Reporter2::send_head(WorkManager::SPWork work) {
    if (!m_enable) {
        m_wm_send->done(work, true, true);
        return;
    }
    if (!m_udp) new_udp();
    if (reports.empty()) {
        m_wm_send->done(work, true, true);
        return;
    }
    if (!m_udp || m_host_ips.empty()) {
        m_wm_send->done(work, false, true);
        return;
    }
    const Queued& head = reports.front();
    auto datagram = std::make_shared<mynet::_ByteBuffer>(zlib_compress(head.sent_text(mynet::get_time_in_ms())));
    std::string address = choose_report_addr();
    PlatLog2(kLogInfo, kLogPlatform, "%llu : send rp %d %s", mynet::log_time(), static_cast<int>(head.seq),
             address.c_str());
    m_udp->send(address, m_port, datagram);
    // The run stays open until the acknowledgement or the run's time-out.
    m_last_send_work = work;
}

std::string Reporter2::choose_report_addr() {
    return m_host_ips[mynet::get_randint() % m_host_ips.size()];
}

void Reporter2::new_udp() {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : new rpt udp", mynet::log_time());
    auto udp = std::make_shared<mynet::NetworkUdp>();
    udp->init();
    udp->onData(m_lifeline.guard([this](const mynet::InetSocketAddress&, mynet::ByteBuffer& data) {
        proc_ack(zlib_uncompress(data->getString(), kReportAckMaxSize));
    }));
    // Compared by address only: the socket is alive during its own close callback.
    const mynet::NetworkUdp* closing = udp.get();
    udp->onClosed(m_lifeline.guard([this, closing] {
        if (m_udp.get() == closing) m_udp.reset();
        m_wm_dns->update();
    }));
    udp->bind(m_isipv6 ? "::" : "0.0.0.0", 0);
    m_udp = udp;
}

void Reporter2::close_udp() {
    if (!m_udp) return;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : close rpt udp", mynet::log_time());
    m_udp->close();
    m_udp.reset();
}

void Reporter2::proc_ack(const std::string& ack) {
    if (reports.empty()) return;
    const ReportAck said = read_report_ack(ack, reports.front().seq);
    if (said == REPORT_ACK_MALFORMED) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : error wrong json", mynet::log_time());
        return;
    }
    // Nothing sent yet: whatever this acknowledges is not ours.
    if (!m_last_send_work || said != REPORT_ACK_MATCHES) return;
    reports.pop_front();
    m_wm_send->done(m_last_send_work, true, true);
    m_wm_send->update();
}
