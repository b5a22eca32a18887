#pragma once

#include <json/value.h>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "builtin_hosts.h"
#include "lifeline.h"
#include "udp.h"
#include "work_manager.h"

// Telemetry: timed records whose phases and ends become JSON reports, sent
// one at a time as zlib datagrams to a UDP collector that acknowledges each
// by its "seq". Reports older than 60 s are dropped unsent. Network thread
// only.
class Reporter2 {
public:
    // One timed record, from t_start to its end.
    struct T {
        void phase(std::string phase, const Json::Value& value);
        void end(bool isSuccess, std::string result, const Json::Value& value);
        // end with the end parameters given as their compact JSON text.
        void end_text(bool isSuccess, const std::string& result, const std::string& value_text);

        Reporter2* rp = nullptr;
        std::string type;
        std::string key;
        // When the record was opened (monotonic): the reports' "duration".
        uint64_t t0 = 0;
        // The start parameters, as their compact JSON text: open records
        // wait for their end, some for the engine's life.
        std::string value;
        bool isdone = false;
        // Whether rp is still there.
        Lifeline::Watch m_alive;
    };
    using SPT = std::shared_ptr<T>;

    // A queued report, kept as its compact JSON text: a tree of its members
    // would cost several times the text for every report held for a minute.
    // "common" and "now" join the text when it is sent, each before the
    // member at its offset, so the text stays that of JSON2STRING.
    struct Queued {
        std::string text;
        size_t common_at = 0;
        size_t now_at = 0;
        uint32_t seq = 0;
        // When it was made on the monotonic clock, which its age counts from.
        uint64_t made_at = 0;
        // The common fields' text when it was made, shared with every other
        // report made since they were set.
        std::shared_ptr<const std::string> common;

        // The common fields' text; "null" when none were given.
        const std::string& common_text() const;
        // The text of the datagram sent at wall time now_ms.
        std::string sent_text(uint64_t now_ms) const;
        // The report with its common fields and without "now".
        Json::Value body() const;
    };

    static constexpr uint64_t kReportMaxAgeMs = 59999;

    Reporter2();
    // Stops both jobs and closes the socket; pending callbacks find the
    // reporter gone and do nothing.
    ~Reporter2();
    Reporter2(const Reporter2&) = delete;
    Reporter2& operator=(const Reporter2&) = delete;

    void set_common_fields(const Json::Value& value);
    // Opens a record (replacing one open under the same type and key); sends nothing.
    SPT t_start(std::string type, std::string key, const Json::Value& value);
    // t_start with the start parameters given as their compact JSON text.
    SPT t_start_text(std::string type, std::string key, std::string value_text);
    void t_phase(std::string type, std::string key, std::string phase, const Json::Value& value);
    void t_end(std::string type, std::string key, bool isSuccess, std::string result, const Json::Value& value);
    // Forgets an open record without reporting it.
    void forget(const SPT& t);
    // Drops reports older than 60 s; driven by the engine's housekeeping tick.
    void tick();

    void proc_ack(const std::string& ack);
    void new_udp();
    void close_udp();
    std::string choose_report_addr();

    bool m_isipv6 = false;
    bool m_enable = true;
    // The common fields' compact text. Never changed in place: setting them
    // makes a new text, so reports queued before keep the fields they were
    // made with.
    std::shared_ptr<const std::string> m_common_fields = std::make_shared<const std::string>("null");
    std::map<std::string, SPT> ts;
    // Queued reports, oldest first; the head is the one sent.
    std::list<Queued> reports;
    std::unique_ptr<WorkManager> m_wm_dns;
    std::unique_ptr<WorkManager> m_wm_send;
    std::shared_ptr<mynet::NetworkUdp> m_udp;
    std::vector<std::string> m_host_ips;
    // The collector; the engine may point it elsewhere before the first run.
    std::string m_hostname = builtin_hosts::kCollectorHost;
    int m_port = 8000;
    uint32_t m_seq = 0;
    WorkManager::SPWork m_last_send_work;

private:
    // The record open under type and key, or ts.end(); when `only` is given
    // it must be that very record (a record replaced by a newer one with the
    // same key is no longer open).
    std::map<std::string, SPT>::const_iterator find_record(const std::string& type, const std::string& key,
                                                           const T* only) const;
    // Queues a report of record t. Its members in key order: "cmd", "duration",
    // "isok" unless null, "key", param_key with the text param, "param_start",
    // last_key with last, "seq", "time", "type".
    void queue_report(const T& t, const char* cmd, const char* isok, const char* param_key, const std::string& param,
                      const char* last_key, const std::string& last);
    void phase_of(const std::string& type, const std::string& key, const std::string& phase,
                  const std::string& value_text, const T* only);
    void end_of(const std::string& type, const std::string& key, bool isSuccess, const std::string& result,
                const std::string& value_text, const T* only);
    void resolve_collector(WorkManager::SPWork work);
    void on_resolved(WorkManager::SPWork work, int code, const std::list<std::string>& addresses);
    void send_head(WorkManager::SPWork work);

    std::string m_scratch;
    // Records, name resolutions and socket callbacks outlive the reporter;
    // they go through this before touching it.
    Lifeline m_lifeline;
};
