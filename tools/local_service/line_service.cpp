#include "line_service.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "wire.h"

namespace local_service {

namespace {

constexpr size_t kMailboxLimit = 1000;
constexpr uint32_t kMaxPoll = 100;

std::string key_of(const std::string& vid, const std::string& name) { return vid + "\n" + name; }

Json::Value ok() {
    Json::Value v(Json::objectValue);
    v["result"] = "ok";
    return v;
}

Json::Value failed(const std::string& reason) {
    Json::Value v(Json::objectValue);
    v["result"] = "failed";
    v["reason"] = reason;
    return v;
}

Json::Value unknown(const std::string& reason) {
    Json::Value v(Json::objectValue);
    v["result"] = "unknown";
    v["reason"] = reason;
    return v;
}

uint64_t wall_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Fields of message texts are blank-separated, so a blank would shift them.
bool usable_word(const std::string& s) { return !s.empty() && s.find(' ') == std::string::npos; }

}  // namespace

LineService::LineService(LineConfig config, LinePorts ports) : m_config(std::move(config)), m_ports(std::move(ports)) {
    m_msgid_mode = uint_member(m_config.login_config, "config_msg_set") != 0;
    std::random_device rd;
    char epoch[16];
    snprintf(epoch, sizeof epoch, "%08x", static_cast<unsigned>(rd()));
    m_epoch = epoch;
    m_handlers = {
        {"channel_join", &LineService::channel_join},
        {"channel_leave", &LineService::channel_leave},
        {"channel_query_user_isin", &LineService::channel_query_user_isin},
        {"channel_query_num", &LineService::channel_query_num},
        {"channel_set_attr", &LineService::channel_set_attr},
        {"channel_del_attr", &LineService::channel_del_attr},
        {"channel_clear_attr", &LineService::channel_clear_attr},
        {"channel_sendmsg", &LineService::channel_sendmsg},
        {"user_sendmsg", &LineService::user_sendmsg},
        {"appmsg_send", &LineService::appmsg_send},
        {"appmsg_send2", &LineService::accepted},
        {"push_sendmsg", &LineService::accepted},
        {"user_setfg", &LineService::accepted},
        {"pstn_invite", &LineService::no_telephony},
        {"pstn_dtmf", &LineService::no_telephony},
        {"voip_invite", &LineService::invite_relay},
        {"voip_invite_ack", &LineService::invite_relay},
        {"voip_invite_accept", &LineService::invite_relay},
        {"voip_invite_refuse", &LineService::invite_relay},
        {"voip_invite_msg", &LineService::invite_relay},
        {"call_bye", &LineService::invite_relay},
        {"user_set_attr", &LineService::user_set_attr},
        {"user_get_attr", &LineService::user_get_attr},
        {"user_get_attr_all", &LineService::user_get_attr_all},
        {"user_query_user_status", &LineService::user_query_user_status},
        {"user_query_user_status2", &LineService::user_query_user_status2},
        {"user_ext_call", &LineService::user_ext_call},
        {"user_logout", &LineService::user_logout},
        {"log_put", &LineService::log_put},
        {"user_getmsg", &LineService::user_getmsg},
        {"user_getmsg2", &LineService::user_getmsg2},
    };
}

void LineService::on_open(int conn, const std::string& peer) {
    m_conns[conn].peer = peer;
    log(conn, "connected from " + peer);
}

void LineService::on_text(int conn, const std::string& text, uint64_t now_ms) {
    if (!m_conns.count(conn)) return;
    if (starts_with(text, "login ")) {
        handle_login(conn, text, now_ms);
    } else if (starts_with(text, "line_login2 ") || starts_with(text, "line_login3 ")) {
        handle_relogin(conn, text, now_ms);
    } else if (starts_with(text, "line_ping:")) {
        log(conn, "ping " + head(text.substr(10), 12));
        m_ports.send(conn, "line_pong:" + text.substr(10));
    } else if (starts_with(text, "channel_sub ")) {
        handle_channel_sub(conn, text);
    } else if (starts_with(text, "call ")) {
        handle_call(conn, text);
    } else {
        log(conn, "unknown text: " + head(text, 60));
    }
}

void LineService::on_close(int conn, uint64_t now_ms) {
    auto it = m_conns.find(conn);
    if (it == m_conns.end()) return;
    std::string line = it->second.line;
    m_conns.erase(it);
    auto s = m_sessions.find(line);
    if (s != m_sessions.end() && s->second.conn == conn) {
        s->second.conn = -1;
        s->second.detached_at = now_ms;
        log(conn, "closed; session " + line + " waits " + std::to_string(m_config.session_grace_ms) + " ms");
    } else {
        log(conn, "closed");
    }
}

void LineService::tick(uint64_t now_ms) {
    std::vector<std::string> expired;
    for (const auto& [line, s] : m_sessions) {
        if (s.conn < 0 && now_ms - s.detached_at >= static_cast<uint64_t>(m_config.session_grace_ms))
            expired.push_back(line);
    }
    for (const auto& line : expired) end_session(line, "expired");
    for (auto& [conn, c] : m_conns) {
        if (c.drop_at == 0 || now_ms < c.drop_at) continue;
        c.drop_at = 0;
        log(conn, "dropped (--drop-lines)");
        m_ports.close(conn);
    }
}

void LineService::plan_drop(int conn, const std::string& account, uint64_t now_ms) {
    if (m_config.drop_prefix.empty() || !starts_with(account, m_config.drop_prefix)) return;
    m_conns[conn].drop_at = now_ms + static_cast<uint64_t>(m_config.drop_after_ms) + 1;
}

void LineService::log(int conn, const std::string& what) { m_ports.log("line #" + std::to_string(conn) + " " + what); }

void LineService::handle_login(int conn, const std::string& text, uint64_t now_ms) {
    Json::Value req = parse_object(text.substr(6));
    std::string account = text_member(req, "account");
    std::string vid = text_member(req, "vid");
    auto refuse = [&](const std::string& reason) {
        Json::Value body(Json::objectValue);
        body["reason"] = reason;
        log(conn, "login account=" + head(account, 40) + " refused: " + reason);
        m_ports.send(conn, "login_res failed " + to_json(body));
    };
    if (!req.isObject()) return refuse("wrong request");
    if (!usable_word(account)) return refuse("wrong account: empty or with blanks");
    if (!m_conns[conn].line.empty()) return refuse("already logged in on this connection");

    uint32_t& known_uid = m_uids[key_of(vid, account)];
    uint32_t uid = uint_member(req, "uid");
    if (uid == 0) uid = known_uid ? known_uid : m_next_uid++;
    known_uid = uid;

    std::string line = "L" + m_epoch + "." + std::to_string(++m_next_line);
    Session& s = m_sessions[line];
    s.line = line;
    s.vid = vid;
    s.account = account;
    s.uid = uid;
    s.conn = conn;
    m_conns[conn].line = line;

    Json::Value body = m_config.login_config;
    body["uid"] = uid;
    body["line"] = line;
    log(conn, "login account=" + account + " uid=" + std::to_string(uid) + " vid=" + head(vid, 40) + " -> " + line);
    m_ports.send(conn, "login_res ok 0 " + to_json(body));
    plan_drop(conn, account, now_ms);

    auto waiting = m_offline.find(key_of(vid, account));
    if (waiting == m_offline.end()) return;
    for (const Pending& p : waiting->second) deliver_to(s, p.from, p.type, p.content);
    m_offline.erase(waiting);
}

void LineService::handle_relogin(int conn, const std::string& text, uint64_t now_ms) {
    std::vector<std::string> f = split_fields(text, 3);
    std::string line = field(f, 1);
    auto it = m_sessions.find(line);
    if (it == m_sessions.end() || !m_conns[conn].line.empty()) {
        log(conn, field(f, 0) + " " + head(line, 40) + " refused: no such session");
        m_ports.send(conn, "line_login_res expired");
        return;
    }
    Session& s = it->second;
    auto old = m_conns.find(s.conn);
    if (old != m_conns.end() && s.conn != conn) {
        // The client gave up on its old line before we noticed it was gone.
        old->second.line.clear();
        m_ports.close(s.conn);
    }
    s.conn = conn;
    m_conns[conn].line = line;
    log(conn, field(f, 0) + " " + line + " account=" + s.account + " -> ok");
    m_ports.send(conn, "line_login_res ok");
    plan_drop(conn, s.account, now_ms);
}

void LineService::handle_channel_sub(int conn, const std::string& text) {
    Json::Value req = parse_object(text.substr(12));
    Session* s = session_of(conn);
    std::string name = text_member(req, "cname");
    if (!s || !req.isObject()) {
        log(conn, "channel_sub ignored: " + std::string(s ? "no JSON object" : "not logged in"));
        return;
    }
    log(conn, "channel_sub " + head(name, 40) + " msgid=" + text_member(req, "msgid"));
    enter_channel(*s, name);
}

void LineService::handle_call(int conn, const std::string& text) {
    std::vector<std::string> f = split_fields(text, 4);
    std::string method = field(f, 1);
    std::string id = field(f, 2);
    Json::Value req = parse_object(field(f, 4));
    Session* s = session_of(conn);
    Json::Value answer;
    if (!s) {
        answer = unknown("not logged in");
    } else if (!req.isObject()) {
        answer = failed("request is not a JSON object");
    } else if (req["line"].isString() && !req["line"].asString().empty() && req["line"].asString() != s->line) {
        answer = failed("wrong line");
    } else {
        auto h = m_handlers.find(method);
        answer = (this->*(h == m_handlers.end() ? &LineService::invoke_echo : h->second))(*s, method, req);
    }
    std::string outcome = text_member(answer, "result");
    if (outcome != "ok") outcome += " " + text_member(answer, "reason");
    log(conn, "call " + head(method, 40) + " id=" + head(id, 12) + " -> " + outcome);
    m_ports.send(conn, "call_ret " + method + " " + id + " 0 " + to_json(answer));
}

LineService::Session* LineService::session_of(int conn) {
    auto c = m_conns.find(conn);
    if (c == m_conns.end()) return nullptr;
    auto s = m_sessions.find(c->second.line);
    return s == m_sessions.end() ? nullptr : &s->second;
}

std::vector<LineService::Session*> LineService::sessions_of(const std::string& vid, const std::string& account) {
    std::vector<Session*> out;
    for (auto& [line, s] : m_sessions)
        if (s.vid == vid && s.account == account) out.push_back(&s);
    return out;
}

LineService::Channel& LineService::enter_channel(Session& s, const std::string& name) {
    std::string key = key_of(s.vid, name);
    Channel& ch = m_channels[key];
    if (ch.cid.empty()) {
        ch.name = name;
        ch.cid = "c" + std::to_string(++m_next_cid);
    }
    if (s.channels.insert(key).second) {
        ch.members.push_back(s.line);
        Json::Value event(Json::objectValue);
        event["account"] = s.account;
        event["uid"] = s.uid;
        push_channel(ch, s.line, "notify channel " + message_text({s.account, s.uid}, "channel_user_join", to_json(event), ""));
    }
    return ch;
}

void LineService::leave_channel(Session& s, const std::string& key) {
    auto it = m_channels.find(key);
    s.channels.erase(key);
    if (it == m_channels.end()) return;
    Channel& ch = it->second;
    ch.members.erase(std::remove(ch.members.begin(), ch.members.end(), s.line), ch.members.end());
    Json::Value event(Json::objectValue);
    event["account"] = s.account;
    event["uid"] = s.uid;
    push_channel(ch, s.line, "notify channel " + message_text({s.account, s.uid}, "channel_user_leave", to_json(event), ""));
    // An empty channel is forgotten with its attributes, as a fresh one would start.
    if (ch.members.empty()) m_channels.erase(it);
}

void LineService::end_session(const std::string& line, const std::string& why) {
    auto it = m_sessions.find(line);
    if (it == m_sessions.end()) return;
    Session& s = it->second;
    std::set<std::string> channels = s.channels;
    for (const auto& key : channels) leave_channel(s, key);
    auto c = m_conns.find(s.conn);
    if (c != m_conns.end()) c->second.line.clear();
    m_ports.log("session " + line + " account=" + s.account + " ended: " + why);
    m_sessions.erase(it);
}

void LineService::push_channel(const Channel& ch, const std::string& except, const std::string& text) {
    for (const auto& line : ch.members) {
        auto s = m_sessions.find(line);
        if (line != except && s != m_sessions.end() && s->second.conn >= 0) m_ports.send(s->second.conn, text);
    }
}

std::string LineService::message_text(const Sender& from, const std::string& type, const std::string& content,
                                      const std::string& msgid) const {
    std::string common = from.account + " " + std::to_string(from.uid) + " " + std::to_string(wall_seconds()) + " " + type;
    if (msgid.empty()) return "msg " + common + " " + content;
    return "msg-v3 " + msgid + " " + common + " 0 " + content;
}

bool LineService::deliver(const std::string& vid, const std::string& account, const Sender& from,
                          const std::string& type, const std::string& content) {
    std::vector<Session*> to = sessions_of(vid, account);
    for (Session* s : to) deliver_to(*s, from, type, content);
    return !to.empty();
}

void LineService::deliver_to(Session& to, const Sender& from, const std::string& type, const std::string& content) {
    Mail mail;
    mail.ver = ++to.next_ver;
    if (m_msgid_mode) mail.msgid = "m" + m_epoch + "." + std::to_string(++m_next_msgid);
    mail.text = message_text(from, type, content, mail.msgid);
    if (to.mailbox.size() >= kMailboxLimit) {
        m_ports.log("session " + to.line + " mailbox full: oldest message dropped");
        to.mailbox.pop_front();
    }
    to.mailbox.push_back(mail);
    if (to.conn < 0) return;
    if (m_msgid_mode) {
        m_ports.send(to.conn, "notify recvmsg_by_msgid " + mail.text);
    } else {
        Json::Value note(Json::arrayValue);
        note.append(mail.ver);
        note.append(mail.text);
        m_ports.send(to.conn, "notify recvmsg " + to_json(note));
    }
}

Json::Value LineService::channel_join(Session& s, const std::string&, const Json::Value& req) {
    Channel& ch = enter_channel(s, text_member(req, "name"));
    Json::Value answer = ok();
    answer["cid"] = ch.cid;
    answer["msgid"] = ch.msgid;
    answer["list"] = Json::Value(Json::arrayValue);
    for (const auto& line : ch.members) {
        auto m = m_sessions.find(line);
        if (m == m_sessions.end()) continue;
        Json::Value entry(Json::arrayValue);
        entry.append(m->second.account);
        entry.append(m->second.uid);
        answer["list"].append(entry);
    }
    answer["attrs"] = Json::Value(Json::objectValue);
    for (const auto& [name, value] : ch.attrs) answer["attrs"][name] = value;
    return answer;
}

Json::Value LineService::channel_leave(Session& s, const std::string&, const Json::Value& req) {
    leave_channel(s, key_of(s.vid, text_member(req, "name")));
    return ok();
}

Json::Value LineService::channel_query_user_isin(Session& s, const std::string&, const Json::Value& req) {
    auto it = m_channels.find(key_of(s.vid, text_member(req, "name")));
    std::string account = text_member(req, "account");
    int isin = 0;
    if (it != m_channels.end()) {
        for (const auto& line : it->second.members) {
            auto m = m_sessions.find(line);
            if (m != m_sessions.end() && m->second.account == account) isin = 1;
        }
    }
    Json::Value answer = ok();
    answer["isin"] = isin;
    return answer;
}

Json::Value LineService::channel_query_num(Session& s, const std::string&, const Json::Value& req) {
    auto it = m_channels.find(key_of(s.vid, text_member(req, "name")));
    Json::Value answer = ok();
    answer["num"] = it == m_channels.end() ? 0 : static_cast<int>(it->second.members.size());
    return answer;
}

namespace {

Json::Value attr_event(const std::string& channel, const std::string& type, const std::string& name,
                       const std::string& value) {
    Json::Value event(Json::objectValue);
    event["channel"] = channel;
    event["type"] = type;
    event["name"] = name;
    event["value"] = value;
    return event;
}

}  // namespace

Json::Value LineService::channel_set_attr(Session& s, const std::string&, const Json::Value& req) {
    std::string key = key_of(s.vid, text_member(req, "channel"));
    if (!s.channels.count(key)) return failed("not in channel");
    Channel& ch = m_channels[key];
    std::string name = text_member(req, "name");
    std::string value = text_member(req, "value");
    ch.attrs[name] = value;
    push_channel(ch, "", "notify channel " + message_text({s.account, s.uid}, "channel_attr_update",
                                                          to_json(attr_event(ch.name, "update", name, value)), ""));
    return ok();
}

Json::Value LineService::channel_del_attr(Session& s, const std::string&, const Json::Value& req) {
    std::string key = key_of(s.vid, text_member(req, "channel"));
    if (!s.channels.count(key)) return failed("not in channel");
    Channel& ch = m_channels[key];
    std::string name = text_member(req, "name");
    if (ch.attrs.erase(name)) {
        push_channel(ch, "", "notify channel " + message_text({s.account, s.uid}, "channel_attr_update",
                                                              to_json(attr_event(ch.name, "del", name, "")), ""));
    }
    return ok();
}

Json::Value LineService::channel_clear_attr(Session& s, const std::string&, const Json::Value& req) {
    std::string key = key_of(s.vid, text_member(req, "channel"));
    if (!s.channels.count(key)) return failed("not in channel");
    Channel& ch = m_channels[key];
    ch.attrs.clear();
    push_channel(ch, "", "notify channel " + message_text({s.account, s.uid}, "channel_attr_update",
                                                          to_json(attr_event(ch.name, "clear", "", "")), ""));
    return ok();
}

Json::Value LineService::channel_sendmsg(Session& s, const std::string&, const Json::Value& req) {
    std::string key = key_of(s.vid, text_member(req, "name"));
    if (!s.channels.count(key)) return failed("not in channel");
    Channel& ch = m_channels[key];
    uint32_t id = ++ch.msgid;
    Json::Value content(Json::objectValue);
    content["channel"] = ch.name;
    content["account"] = s.account;
    content["uid"] = s.uid;
    content["msg"] = text_member(req, "msg");
    std::string text = message_text({s.account, s.uid}, "channel_msg", to_json(content), ch.cid + "." + std::to_string(id));
    push_channel(ch, s.line, "notify channel2 " + std::to_string(id) + " " + text);
    return ok();
}

Json::Value LineService::user_sendmsg(Session& s, const std::string&, const Json::Value& req) {
    std::string peer = text_member(req, "peer");
    std::string type = text_member(req, "t");
    if (!usable_word(type)) type = "instant";
    Sender from{s.account, s.uid};
    if (!deliver(s.vid, peer, from, type, text_member(req, "content"))) {
        std::deque<Pending>& box = m_offline[key_of(s.vid, peer)];
        if (box.size() >= kMailboxLimit) box.pop_front();
        box.push_back({from, type, text_member(req, "content")});
    }
    Json::Value answer = ok();
    answer["msgid"] = "s" + m_epoch + "." + std::to_string(++m_next_msgid);
    return answer;
}

Json::Value LineService::appmsg_send(Session& s, const std::string&, const Json::Value& req) {
    Sender from{s.account, s.uid};
    std::string msg = text_member(req, "msg");
    for (auto& [line, other] : m_sessions)
        if (other.vid == s.vid && line != s.line) deliver_to(other, from, "appmsg", msg);
    return ok();
}

Json::Value LineService::accepted(Session&, const std::string&, const Json::Value&) { return ok(); }

Json::Value LineService::no_telephony(Session&, const std::string&, const Json::Value&) {
    return failed("telephone calls are not served here");
}

Json::Value LineService::invite_relay(Session& s, const std::string& method, const Json::Value& req) {
    bool bye = method == "call_bye";
    std::string peer = text_member(req, bye ? "destNum" : "peer");
    Json::Value content(Json::objectValue);
    content["channel"] = text_member(req, "channelName");
    content["peer"] = s.account;
    content["extra"] = text_member(req, "extra");
    content["peeruid"] = s.uid;
    if (!deliver(s.vid, peer, {s.account, s.uid}, bye ? "voip_invite_bye" : method, to_json(content)))
        return failed("peer is not online");
    return ok();
}

Json::Value LineService::user_set_attr(Session& s, const std::string&, const Json::Value& req) {
    m_user_attrs[key_of(s.vid, s.account)][text_member(req, "name")] = text_member(req, "value");
    return ok();
}

Json::Value LineService::user_get_attr(Session& s, const std::string&, const Json::Value& req) {
    Json::Value answer = ok();
    const auto& attrs = m_user_attrs[key_of(s.vid, text_member(req, "account"))];
    auto it = attrs.find(text_member(req, "name"));
    answer["value"] = it == attrs.end() ? "" : it->second;
    return answer;
}

Json::Value LineService::user_get_attr_all(Session& s, const std::string&, const Json::Value& req) {
    Json::Value all(Json::objectValue);
    for (const auto& [name, value] : m_user_attrs[key_of(s.vid, text_member(req, "account"))]) all[name] = value;
    Json::Value answer = ok();
    answer["json"] = to_json(all);
    return answer;
}

Json::Value LineService::user_query_user_status(Session& s, const std::string&, const Json::Value& req) {
    bool online = false;
    for (Session* other : sessions_of(s.vid, text_member(req, "account"))) online = online || other->conn >= 0;
    Json::Value answer = ok();
    answer["status"] = online ? "1" : "0";
    return answer;
}

Json::Value LineService::user_query_user_status2(Session& s, const std::string&, const Json::Value& req) {
    Json::Value status(Json::objectValue);
    std::vector<std::string> accounts;
    std::string list = text_member(req, "accounts");
    for (size_t start = 0; start <= list.size();) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string account = list.substr(start, comma - start);
        if (!account.empty()) {
            bool online = false;
            for (Session* other : sessions_of(s.vid, account)) online = online || other->conn >= 0;
            status[account] = online ? 1 : 0;
        }
        start = comma + 1;
    }
    Json::Value answer = ok();
    answer["status"] = to_json(status);
    return answer;
}

Json::Value LineService::user_ext_call(Session&, const std::string&, const Json::Value& req) {
    Json::Value answer = ok();
    answer["ret"] = text_member(req, "args");
    return answer;
}

Json::Value LineService::user_logout(Session& s, const std::string&, const Json::Value&) {
    end_session(s.line, "logout");
    return ok();
}

Json::Value LineService::log_put(Session& s, const std::string&, const Json::Value& req) {
    m_ports.log("session " + s.line + " uploaded " + std::to_string(text_member(req, "log").size() / 2) +
                " bytes of log");
    return ok();
}

Json::Value LineService::user_getmsg(Session& s, const std::string&, const Json::Value& req) {
    uint32_t ver_clear = uint_member(req, "ver_clear");
    uint32_t max = std::min(req["max"].isUInt() ? req["max"].asUInt() : 30u, kMaxPoll);
    while (!s.mailbox.empty() && s.mailbox.front().ver <= ver_clear) s.mailbox.pop_front();
    Json::Value answer = ok();
    answer["ver_clear"] = ver_clear;
    answer["msgs"] = Json::Value(Json::arrayValue);
    for (const Mail& m : s.mailbox) {
        if (answer["msgs"].size() >= max) break;
        Json::Value entry(Json::arrayValue);
        entry.append(m.ver);
        entry.append(m.text);
        answer["msgs"].append(entry);
    }
    return answer;
}

Json::Value LineService::user_getmsg2(Session& s, const std::string&, const Json::Value& req) {
    std::set<std::string> cleared;
    const Json::Value& list = req["clear_msgs"];
    if (list.isArray()) {
        for (const auto& id : list)
            if (id.isString()) cleared.insert(id.asString());
    }
    s.mailbox.erase(std::remove_if(s.mailbox.begin(), s.mailbox.end(),
                                   [&](const Mail& m) { return cleared.count(m.msgid) > 0; }),
                    s.mailbox.end());
    uint32_t max = std::min(req["max"].isUInt() ? req["max"].asUInt() : 30u, kMaxPoll);
    Json::Value answer = ok();
    answer["msgs"] = Json::Value(Json::arrayValue);
    for (const Mail& m : s.mailbox) {
        if (answer["msgs"].size() >= max) break;
        answer["msgs"].append(m.text);
    }
    return answer;
}

Json::Value LineService::invoke_echo(Session&, const std::string& method, const Json::Value& req) {
    Json::Value args = req;
    args.removeMember("line");
    Json::Value answer = ok();
    answer["method"] = method;
    answer["args"] = args;
    return answer;
}

}  // namespace local_service
