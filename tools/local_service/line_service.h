#pragma once

// The line server's behaviour, apart from sockets and frames: sessions,
// channels with members and attributes, user attributes, message delivery by
// push and by polling, invitation relay and the answers to every call. The
// transport hands in the texts of each connection and carries out what the
// service asks through LinePorts.

#include <json/json.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace local_service {

struct LinePorts {
    std::function<void(int conn, const std::string& text)> send;
    std::function<void(int conn)> close;
    std::function<void(const std::string& line)> log;
};

struct LineConfig {
    Json::Value login_config = Json::Value(Json::objectValue);
    int session_grace_ms = 60000;
    std::string drop_prefix;  // "": no line is dropped
    int drop_after_ms = 300;
};

class LineService {
public:
    LineService(LineConfig config, LinePorts ports);

    void on_open(int conn, const std::string& peer);
    // now_ms is a monotonic time; it only measures how long a session waited.
    void on_text(int conn, const std::string& text, uint64_t now_ms);
    void on_close(int conn, uint64_t now_ms);
    // Ends the sessions whose line dropped longer than the grace time ago.
    void tick(uint64_t now_ms);

    size_t session_count() const { return m_sessions.size(); }

private:
    struct Mail {
        uint32_t ver = 0;
        std::string msgid;
        std::string text;
    };
    struct Session {
        std::string line;
        std::string vid;
        std::string account;
        uint32_t uid = 0;
        int conn = -1;  // -1 while the line is down
        uint64_t detached_at = 0;
        uint32_t next_ver = 0;
        std::deque<Mail> mailbox;
        std::set<std::string> channels;  // channel keys
    };
    struct Sender {
        std::string account;
        uint32_t uid = 0;
    };
    struct Pending {
        Sender from;
        std::string type;
        std::string content;
    };
    struct Channel {
        std::string name;
        std::string cid;
        uint32_t msgid = 0;
        std::vector<std::string> members;  // session lines, in joining order
        std::map<std::string, std::string> attrs;
    };
    struct Conn {
        std::string peer;
        std::string line;  // the session logged in on it; "" before
        uint64_t drop_at = 0;  // when the service closes it; 0: never
    };
    using Handler = Json::Value (LineService::*)(Session& s, const std::string& method, const Json::Value& req);

    void handle_login(int conn, const std::string& text, uint64_t now_ms);
    void handle_relogin(int conn, const std::string& text, uint64_t now_ms);
    // Schedules the close of a line that the options drop.
    void plan_drop(int conn, const std::string& account, uint64_t now_ms);
    void handle_channel_sub(int conn, const std::string& text);
    void handle_call(int conn, const std::string& text);
    void log(int conn, const std::string& what);

    Json::Value channel_join(Session& s, const std::string& method, const Json::Value& req);
    Json::Value channel_leave(Session& s, const std::string& method, const Json::Value& req);
    Json::Value channel_query_user_isin(Session& s, const std::string& method, const Json::Value& req);
    Json::Value channel_query_num(Session& s, const std::string& method, const Json::Value& req);
    Json::Value channel_set_attr(Session& s, const std::string& method, const Json::Value& req);
    Json::Value channel_del_attr(Session& s, const std::string& method, const Json::Value& req);
    Json::Value channel_clear_attr(Session& s, const std::string& method, const Json::Value& req);
    Json::Value channel_sendmsg(Session& s, const std::string& method, const Json::Value& req);
    Json::Value user_sendmsg(Session& s, const std::string& method, const Json::Value& req);
    Json::Value appmsg_send(Session& s, const std::string& method, const Json::Value& req);
    Json::Value accepted(Session& s, const std::string& method, const Json::Value& req);
    Json::Value no_telephony(Session& s, const std::string& method, const Json::Value& req);
    Json::Value invite_relay(Session& s, const std::string& method, const Json::Value& req);
    Json::Value user_set_attr(Session& s, const std::string& method, const Json::Value& req);
    Json::Value user_get_attr(Session& s, const std::string& method, const Json::Value& req);
    Json::Value user_get_attr_all(Session& s, const std::string& method, const Json::Value& req);
    Json::Value user_query_user_status(Session& s, const std::string& method, const Json::Value& req);
    Json::Value user_query_user_status2(Session& s, const std::string& method, const Json::Value& req);
    Json::Value user_ext_call(Session& s, const std::string& method, const Json::Value& req);
    Json::Value user_logout(Session& s, const std::string& method, const Json::Value& req);
    Json::Value log_put(Session& s, const std::string& method, const Json::Value& req);
    Json::Value user_getmsg(Session& s, const std::string& method, const Json::Value& req);
    Json::Value user_getmsg2(Session& s, const std::string& method, const Json::Value& req);
    Json::Value invoke_echo(Session& s, const std::string& method, const Json::Value& req);

    // Joins without an answer: the join itself, and a channel taken up again after a re-login.
    Channel& enter_channel(Session& s, const std::string& name);
    void leave_channel(Session& s, const std::string& key);
    void end_session(const std::string& line, const std::string& why);
    // Puts a message in each session of the account; the sessions on line get it pushed.
    bool deliver(const std::string& vid, const std::string& account, const Sender& from, const std::string& type,
                 const std::string& content);
    void deliver_to(Session& to, const Sender& from, const std::string& type, const std::string& content);
    // Pushes a channel event to the members on line, but not to `except`.
    void push_channel(const Channel& ch, const std::string& except, const std::string& text);
    std::string message_text(const Sender& from, const std::string& type, const std::string& content,
                             const std::string& msgid) const;
    std::vector<Session*> sessions_of(const std::string& vid, const std::string& account);
    Session* session_of(int conn);

    LineConfig m_config;
    LinePorts m_ports;
    bool m_msgid_mode = false;
    std::string m_epoch;  // makes line ids of different runs differ
    uint64_t m_next_line = 0;
    uint64_t m_next_msgid = 0;
    uint64_t m_next_cid = 0;
    uint32_t m_next_uid = 1000;
    std::map<int, Conn> m_conns;
    std::map<std::string, Session> m_sessions;  // by line id
    std::map<std::string, Channel> m_channels;  // by application id + "\n" + name
    std::map<std::string, uint32_t> m_uids;     // by application id + "\n" + account
    std::map<std::string, std::map<std::string, std::string>> m_user_attrs;
    // Messages for accounts without a session, handed to their next session.
    std::map<std::string, std::deque<Pending>> m_offline;
    std::map<std::string, Handler> m_handlers;
};

}  // namespace local_service
