#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/nuvra_api.h"
#include "api_call.h"
#include "engine_text.h"
#include "json_text.h"
#include "lifeline.h"
#include "line_msg_wire.h"
#include "login_details.h"
#include "msg_id_buf.h"
#include "msg_wait_clear.h"
#include "msg_wire.h"
#include "network.h"
#include "reentry_guard.h"
#include "reporter2.h"
#include "server_addr.h"
#include "simple_work.h"

// The per-instance signaling engine. Built and used on the network thread
// only; it lives as long as its instance.
class InterfaceLinkD {
public:
    enum LOGIN_STATE {
        LOGIN_STATE_NOT_LOGIN = 0,
        LOGIN_STATE_LOGINING = 1,
        LOGIN_STATE_LOGINED = 2,
        LOGIN_STATE_RECONNECTING = 3,
    };

    // Line connection: the framed TCP line to the line server.
    enum CONN_STATE {
        CONN_STATE_CONNECTED = 0,  // TCP up, login request sent, no positive answer yet
        CONN_STATE_LOGINED = 1,    // the server accepted the login or the re-login
        CONN_STATE_CLOSED = 2,     // the stream has closed; nothing more happens here
    };

    // One line connection: its frame writer and reader, its ping counter and a
    // 500 ms watchdog. The watchdog holds the connection until close(), so
    // every connection the engine drops must be closed.
    struct ConnInfo : std::enable_shared_from_this<ConnInfo> {
        ConnInfo();
        ConnInfo(const ConnInfo&) = delete;
        ConnInfo& operator=(const ConnInfo&) = delete;

        // Starts the watchdog; on the network thread, on a shared connection.
        void init();
        // Frames s and sends it; nothing without a stream.
        void conn_send_msg(const std::string& s) { conn_send_msg(s, s); }
        // The same, the log showing `logged` in place of s (a text holding a
        // secret).
        void conn_send_msg(const std::string& s, const std::string& logged);
        // Cuts the complete frames of in_buf into msgs: 0, or -1 after an
        // undecodable frame (the caller closes the stream).
        int unpack_msg(mynet::ByteBuffer& in_buf, std::list<std::string>& msgs);
        // Takes one received piece (consuming it) and cuts the complete
        // frames into msgs, keeping an unfinished frame in in_buf (in read
        // mode): 0; -1 after an undecodable frame; -2 when in_buf would hold
        // more than 1 MiB (logged). After a negative result the caller closes
        // the stream.
        int receive(const mynet::ByteBuffer& piece, std::list<std::string>& msgs);
        // Appends what remains of bytes to in_buf, growing it, and consumes it.
        void hold(mynet::_ByteBuffer& bytes);
        void sendping();
        // Ends the watchdog and closes the stream; harmless twice.
        void close();

        void watchdog_tick();
        void close_stream();
        std::string tag() const;

        int ping_timeout = 8000;
        int login_timeout = 5000;
        uint32_t connid = 0;
        uint32_t flag = 0;
        uint64_t login_time = 0;
        int state = CONN_STATE_CONNECTED;
        // Not owned: the stream's life ends after its close callback, which
        // nulls this (so does every close from here).
        mynet::NetworkTcpStream* conn = nullptr;
        mynet::ByteBuffer in_buf;
        uint32_t ping_i = 0;
        uint64_t last_ping_send_time = 0;
        uint64_t last_pong_recv_time = 0;
        // On the process' shared 500 ms tick, holding the connection.
        mynet::SharedTick timer;
        InterfaceLinkD* this2 = nullptr;
    };

    // Closes the current line connection, if there is one.
    void stop_conn();

    // Call transport: the queue of server calls. Calls wait in `calls` until
    // the line is logged in and fewer than m_config_call_concurrent are in
    // flight; each ends exactly once, by its answer or by its time-out.
    class CallSlot {
    public:
        // How a call ended, as the telemetry record tells it.
        enum WAY {
            WAY_NONE = 0,
            WAY_HTTP = 1,
            WAY_TCP = 2,
        };

        void add_call(SP_ApiCall call);
        void do_call();
        void do_tcp_call(const SP_ApiCall& call);
        void check_timeout();
        void process_tcp_call_res(uint32_t call_id, const std::string& response, const std::string& ip);
        // The completion of one call; ofu is 0 for a line answer, -2 otherwise.
        void process_call_response(SP_ApiCall call, WAY way, const std::string& ip, int ofu, const std::string& _reason,
                                   const std::string& response);
        SP_ApiCall find_callling_call_by_id(uint32_t call_id);
        static void remove_call_by_id(std::list<SP_ApiCall>& calls, uint32_t call_id);
        void resend_call();
        void fail_all_call();
        void clear();

        InterfaceLinkD* this2 = nullptr;
        std::list<SP_ApiCall> calls;
        std::list<SP_ApiCall> calls_calling;
        int n_call_http = 0;
        int n_call_tcp = 0;
        // Held while a call's result runs: the queue neither sends nor
        // expires calls under it, so a result that calls, fails or ends calls
        // never nests a queue move; the outermost completion moves it after.
        ReentryGuard m_queue_guard;

    private:
        void complete(SP_ApiCall call, WAY way, const std::string& ip, int ofu, const std::string& _reason,
                      const std::string& response);
        // The call's result and reason, logged and recorded; `reason` is the out.
        int settle(ApiCall& call, WAY way, const std::string& ip, int ofu, const std::string& _reason,
                   const std::string& response, std::string& reason);
        void end_record(ApiCall& call, WAY way, const std::string& ip, int result, const std::string& reason);
        bool expired(const ApiCall& call, uint64_t now) const;
        // Fails a call whose text could never go in one frame with -1 and a
        // reason naming its request's size; true when it did.
        bool refused_too_long(const SP_ApiCall& call);
    };

    // Queues one server call; its result follows later, on the network thread.
    // A call whose text would not fit one frame (call_room) fails with -1 and
    // a reason naming its request's size, without waiting for its time-out.
    REQ_ID call_api(int slot, const std::string& method, Json::Value req, ApiCallResult onResult,
                    bool only_http);
    // How many bytes req may still grow by and its call go in one frame:
    // the whole "call <method> <id> 0 <json>" text is compressed in one
    // piece. 0 when req as it is leaves no room.
    static size_t call_room(const std::string& method, const Json::Value& req);
    // A call refused for one of these reasons ends the session: "kick" (103),
    // "TokenErrorExpired" (105), "wrong line" (100). Returns that logout code,
    // 0 for any other reason.
    int end_session_for_reason(const std::string& reason);

    // Commands: shared shape. A command refuses only while no login is
    // running or held; otherwise its call waits in the queue for the line.

    // True, after the refusal's events, when the engine is not logged in:
    // the command's own failure event (if any), then onError(name, 1003, reason).
    bool refused_logged_out(const char* name, const char* reason, const std::function<void()>& failure_event = nullptr);
    // Sends one command's call: on 0 `on_ok(answer)`; on -1/-2 `on_failed`
    // (the command's failure event, may be empty), then onError(name, 1001
    // after -1 / 1002 after -2, reason). `name` is a literal: it is kept, not
    // copied, until the result.
    void command_call(const char* name, const std::string& method, Json::Value req,
                      std::function<void(const Json::Value&)> on_ok,
                      std::function<void(int result, const std::string& reason)> on_failed);
    // A failed command's onError: 1001 after -1, 1002 after -2.
    void fire_command_error(const char* name, int result, const std::string& reason);
    // A written id's time: the wall clock, moved forward so that no two ids of
    // this engine share a millisecond.
    uint64_t next_id_time();
    // An application's JSON text that must be "" (out null) or an object.
    static bool parse_app_object(const std::string& text, Json::Value& out);
    uint64_t m_last_id_time = 0;

    // Channel commands.
    void user_channel_join(std::string channelID);
    void user_channel_leave(std::string channelID);
    void user_query_channel_user_isin(std::string channelID, std::string account);
    void user_channel_query_num(std::string channelID, std::string msgID);
    void user_channel_set_attr(std::string channelID, std::string name, std::string value);
    void user_channel_del_attr(std::string channelID, std::string name);
    void user_channel_clear_attr(std::string channelID);
    void on_channel_joined(const std::string& name, uint64_t join, const Json::Value& answer);
    void forget_current_channel();
    // The joins whose successful answer still records the current channel,
    // by join number, with their channel. Only a leave of that channel sent
    // after the join, or a new login, takes a join out before its answer;
    // reconnection attempts and login retries leave it in.
    std::map<uint64_t, std::string> m_pending_joins;
    uint64_t m_last_join = 0;
    void forget_pending_joins_of(const std::string& channelID);

    // Invitation commands.
    void user_invite_user(std::string channelID, std::string account, uint32_t uid, std::string _extra);
    void user_invite_phone(std::string channelID, std::string phoneNum, uint32_t uid);
    void user_invite_phone2(std::string channelID, std::string phoneNum, std::string sourceNum, std::string _extra);
    void user_invite_dtmf(std::string channelID, std::string peer, std::string dtmf);
    void user_invite_accept(std::string channelID, std::string peer, uint32_t peer_uid, std::string _extra);
    void user_invite_refuse(std::string channelID, std::string peer, uint32_t peer_uid, std::string _extra);
    void user_invite_end(std::string channelID, std::string peer, uint32_t peer_uid);
    // Sets the invitation extra's "start_time" and "callid"; returns the callid.
    std::string stamp_invite_extra(Json::Value& extra);
    // Keeps a telephone invitation's record under channel + number.
    void keep_invite_record(const std::string& key, Reporter2::SPT record);
    // Drops the record under key (only `only`, when given) without a report.
    void drop_invite_record(const std::string& key, const Reporter2::T* only = nullptr);
    static constexpr size_t kMaxInviteRecords = 1000;

    // Message commands.
    void user_send_instant_msg(std::string account, uint32_t uid, std::string msg, std::string msgID,
                               std::string options);
    void user_send_channel_msg(std::string channelID, std::string msg, std::string msgID, uint32_t type,
                               std::string _extra, bool force);
    void user_send_app_msg(std::string msg, std::string msgID);
    void user_send_push_msg(std::string account, uint32_t uid, std::string msg, std::string msgID);
    void user_send_chat_msg(std::string account, uint32_t uid, std::string msg, std::string msgID);
    void user_send_dtmf_msg(uint32_t uid, std::string msg, std::string msgID);
    // Logged out: the message fails with onMessageSendError, like any refused command.
    bool message_refused_logged_out(const char* name, const std::string& msgID);
    // Sends a message's call; reports with the caller's msgID.
    void message_call(const char* name, const std::string& method, Json::Value req, std::string msgID,
                      std::function<void(int result)> on_result = nullptr);
    std::string generate_msgid();
    void count_channel_answer(int result, uint64_t t0);
    static constexpr size_t kMaxMessageBytes = 16384;

    // Attribute, status, invoke and session-control commands.
    void user_set_attr(std::string name, std::string value);
    void user_get_attr(std::string account, std::string name);
    void user_get_attr_all(std::string account);
    void user_query_user_status(std::string account);
    void user_query_user_status_temp(std::string accounts);
    void user_set_background(bool is_background);
    void user_setNetworkStatus(bool isvalid);
    void user_ping();
    void user_invoke(std::string name, std::string _req, std::string callID);
    void user_bc_call(std::string func, std::string json_args, std::string callID);
    // Any thread: they read the published copies.
    bool user_isonline();
    int user_getStatus();
    int getSdkVersion();

    // Discovery: the UDP step that finds the line servers.

    // One request to one discovery address: its own socket, resends on a
    // fixed schedule until the first datagram comes back, and a life of
    // kLifeMs, at whose end (at the timer's last firing at the latest) the
    // socket, the timer and the proxy connections are closed and the job is
    // released.
    struct ULBS_Job : std::enable_shared_from_this<ULBS_Job> {
        static constexpr int kTickMs = 100;
        static constexpr uint64_t kLifeMs = 10000;
        static constexpr int kTicks = static_cast<int>(kLifeMs / kTickMs) + 1;

        ULBS_Job(InterfaceLinkD* ld, int login_session, std::string ip, int port, std::string appid);
        ULBS_Job(const ULBS_Job&) = delete;
        ULBS_Job& operator=(const ULBS_Job&) = delete;

        void send();
        void _send();
        void start_timer();
        // One firing of the job's tick: counts it and runs on_tick.
        void tick();
        void connect_socks5_proxy();
        void on_proxy_associated(int relay_port, std::shared_ptr<mynet::NetworkTcpStream> stream);
        void on_tick(bool last);
        void close();

        InterfaceLinkD* ld;
        Lifeline::Watch ld_alive;
        std::shared_ptr<mynet::NetworkUdp> udp;
        // On the process' shared 100 ms tick, holding the job until close().
        mynet::SharedTick m_timer;
        bool is_end = false;
        bool is_closed = false;
        bool is_socks5_connected = false;
        uint64_t t0;
        int n = 0;
        int login_session;
        std::string ip;
        int port;
        int udp_port = 0;
        std::string appid;
        int ticks = 0;
        // Proxy associations still open, closed with the job.
        std::vector<std::weak_ptr<mynet::NetworkTcpStream>> proxy_streams;
    };
    using LbsResultFunction = std::function<void(int login_session, const std::string& result)>;
    using UlbsResult = std::function<void(std::string error, std::string json)>;

    void login_mode2_step_12_lbs(int login_session);
    static std::string join_list(const std::vector<std::string>& list);
    void parse_dns_result(std::list<std::string>& ips);
    void _do_ulbs(int login_session, SPSimpleWork work, int n, std::vector<std::string>& ips);
    void do_ulbs(int login_session, std::string ip, int port, std::string appid, UlbsResult cb);
    bool parse_lbs_result(std::string json);
    // The attempt's discovery is still the running step.
    bool lbs_is_current(int login_session) const;
    void lbs_on_dns(int login_session, SPSimpleWork work, uint64_t t0, int code, std::list<std::string>& ips);
    void lbs_on_job_result(int login_session, SPSimpleWork work, uint64_t t0, const std::string& list_ip,
                           const std::string& error, const std::string& json);
    void lbs_step_end(int login_session, const std::string& result);

    // Login: the state machine over the attempts of one user_login, the
    // session it opens and the events that report both.
    enum LOGIN_EVENT {
        LOGIN_EVENT_CONN_FAILED = 0,
        LOGIN_EVENT_CONN_CLOSED = 1,
        LOGIN_EVENT_LOGIN_FAILED = 2,
        LOGIN_EVENT_LINE_LOGIN_FAILED = 3,
    };
    void user_login(const std::string& vid, const std::string& account, const std::string& token, uint32_t uid,
                    const std::string& deviceID, int retry_max_time, int retry_max_count);
    void try_login();
    void login_start(int login_session);
    void reconnect();
    void login_timeout();
    void login_step_4_failed(int login_session, int ecode, std::string reason);
    void login_event_process(int event, int ecode, std::string reason);
    void fire_onReconnecting(uint32_t nretry);
    void fire_onReconnected(int fd);
    void fire_onLoginSuccess(uint32_t uid, int fd);
    void fire_onLoginFailed(int ecode);
    void fire_onLogout(int ecode);
    void user_logout();
    // Whether the retry window and count still allow an attempt.
    bool retry_window_open(int32_t& elapsed) const;
    void reset_retry_window();
    // A new attempt number: every piece of the previous attempt is stale.
    void next_login_attempt(const char* step);
    // The step a "wrong state" line names last: the one the attempt is in
    // now, or the one the stale piece belongs to.
    enum STALE_STEP_NAMED { STALE_NAMES_CURRENT_STEP, STALE_NAMES_OWN_STEP };
    // Whether a piece of attempt login_session belonging to `step` is still
    // current; when not, logs "<prefix>wrong state" under tag.
    bool login_step_is_current(int login_session, const char* step, const std::string& tag,
                               const char* prefix = "", STALE_STEP_NAMED named = STALE_NAMES_CURRENT_STEP) const;
    // Closes the line connection and forgets it; its close raises nothing.
    void drop_conn();
    void idle_logout(uint64_t now);
    void hold_queue();
    void release_queue();

    // Connect step: up to two line servers raced, the first connection up
    // becomes the line and carries the login or re-login request.
    struct ConnBranch {
        int login_session = 0;
        int i = 0;
        uint64_t t0 = 0;
        std::string host;  // as offered, or the debug address
        int port = 0;
        std::string addr;  // what is connected to
        SPSimpleWork job;
        std::string tag() const;
    };
    void login_step_3_conn(int login_session);
    void conn_start_branches(int login_session, int n, SPSimpleWork job);
    void conn_start_branch(std::shared_ptr<ConnBranch> branch);
    void conn_on_failed(const ConnBranch& branch, int code, const std::string& text);
    void conn_on_connected(const ConnBranch& branch, mynet::NetworkTcpStream* stream);
    void conn_on_data(int login_session, const std::string& tag, const std::shared_ptr<ConnInfo>& info,
                      mynet::NetworkTcpStream* stream, mynet::ByteBuffer& data);
    void conn_on_closed(int login_session, const std::string& tag, const std::shared_ptr<ConnInfo>& info);
    void conn_step_end(int login_session, const std::string& result);
    // The login or re-login request, carrying token.
    std::string login_request(const std::string& token) const;

    // Line dispatcher: every text the line server sends, parsed by its
    // connection's state and handed to the handler of its kind.
    struct LineText {
        const std::shared_ptr<ConnInfo>& info;
        mynet::NetworkTcpStream* conn;
        const std::string& text;
        const line_msg::LineMsg& msg;
    };
    using LineHandler = void (InterfaceLinkD::*)(const LineText& t);
    void process_conn_msg(uint32_t connid, mynet::NetworkTcpStream* conn, std::shared_ptr<ConnInfo> info,
                          std::string msg);
    void on_login_answer(const LineText& t);
    void on_login_malformed(const LineText& t);
    void on_login_refused(const LineText& t);
    void on_relogin_answer(const LineText& t);
    void on_relogin_refused(const LineText& t);
    void on_notify_logout(const LineText& t);
    void on_notify_msg(const LineText& t);
    void on_notify_recvmsg(const LineText& t);
    void on_notify_recvmsg_by_msgid(const LineText& t);
    void on_notify_channel(const LineText& t);
    void on_notify_channel2(const LineText& t);
    void on_pong(const LineText& t);
    void on_call_ret(const LineText& t);
    void on_unknown_text(const LineText& t);
    void on_ignored_text(const LineText& t);
    // The connection takes the line flags and starts pinging.
    void adopt_logged_in_conn(ConnInfo& info);
    void apply_login_config(const line_msg::LineMsg& m);

    // Debug keys: engine settings changed at run time by key and value.
    void user_dbg(std::string a, std::string b);
    void use_slow_discovery();

    // Values that callers' threads read without going through the network
    // thread. m_login_state, m_line and m_channelName are written only on the
    // network thread and only through these setters, which also publish the
    // copies below.
    void set_login_state(int state);
    void set_line(const std::string& line);
    void set_channel_name(const std::string& name);
    // Any thread: the login state as last set.
    int published_login_state() const { return m_published_login_state.load(std::memory_order_acquire); }
    // Any thread: whether a line (session) id is held.
    bool published_has_line() const { return m_published_has_line.load(std::memory_order_acquire); }
    // Any thread: a copy of the current channel name.
    std::string published_channel_name() const;

    InterfaceLinkD(nuvra_sdk::ICallBack* cb, mynet::Async* async);
    ~InterfaceLinkD();
    InterfaceLinkD(const InterfaceLinkD&) = delete;
    InterfaceLinkD& operator=(const InterfaceLinkD&) = delete;

    // Shared helpers.
    std::string get_device_id() { return _device_id; }
    bool mode2v6(int mode);
    int choose_ulbs_port();
    void set_reporter_header();

    // Timers.
    void login_watchdog_tick();
    void housekeeping_tick();
    void report_channel_stats(uint64_t now);

    // Event delivery.
    void fire_onChannelJoined(std::string channelID);
    void fire_onChannelJoinFailed(std::string channelID, int ecode);
    void fire_onChannelLeaved(std::string channelID, int ecode);
    void fire_onChannelUserJoined(std::string account, uint32_t uid);
    void fire_onChannelUserLeaved(std::string account, uint32_t uid);
    void fire_onChannelUserList(int n, char** accounts, uint32_t* uids);
    void fire_onChannelQueryUserNumResult(std::string channelID, int ecode, int num);
    void fire_onChannelQueryUserIsIn(std::string channelID, std::string account, int result);
    void fire_onChannelAttrUpdated(std::string channelID, std::string name, std::string value, std::string type);
    void fire_onInviteReceived(std::string channelID, std::string account, uint32_t uid, std::string extra);
    void fire_onInviteReceivedByPeer(std::string channelID, std::string account, uint32_t uid);
    void fire_onInviteAcceptedByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra);
    void fire_onInviteRefusedByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra);
    void fire_onInviteFailed(std::string channelID, std::string account, uint32_t uid, int ecode, std::string reason,
                             std::string extra);
    void fire_onInviteEndByPeer(std::string channelID, std::string account, uint32_t uid, std::string extra);
    void fire_onInviteEndByMyself(std::string channelID, std::string account, uint32_t uid);
    void fire_onInviteMsg(std::string channelID, std::string account, uint32_t uid, std::string extra);
    void fire_onMessageSendError(std::string messageID, int ecode);
    void fire_onMessageSendProgress(std::string account, std::string messageID, std::string type, std::string info);
    void fire_onMessageSendSuccess(std::string messageID);
    void fire_onMessageAppReceived(std::string msg);
    void fire_onMessageInstantReceive(std::string account, uint32_t uid, std::string msg);
    void fire_onMessageChannelReceive(std::string channelID, std::string account, uint32_t uid, std::string msg);
    void fire_onInvokeRet(std::string callID, std::string error, std::string resp);
    void fire_onUserAttrResult(std::string account, std::string name, std::string value);
    void fire_onUserAttrAllResult(std::string account, std::string value);
    void fire_onError(std::string name, int ecode, std::string reason);
    void fire_onQueryUserStatusResult(std::string account, std::string value);
    void fire_onBCCall_result(std::string reason, std::string json_ret, std::string callID);
    void do_report_log();

    // Every time stamp below, here and in the nested types, is a reading of
    // mynet::mono_time_ms(): they serve time-outs, periods and durations.
    Reporter2 rp;
    int m_ipv6_mode = 0;
    std::string m_ipv6_head = "64:ff9b::";
    uint32_t m_tcp_conn_flag = 1;
    std::string m_lbs_host;
    std::string m_ulbs_host;
    std::vector<std::string> m_lbs_ips;
    std::vector<std::string> m_lbs_buildin;
    std::vector<std::string> m_ulbs_buildin;
    std::string m_channelName;
    std::string m_cid;
    int m_last_login_result = 0;
    uint64_t m_last_login_time = 0;
    std::string m_last_login_token;
    int m_config_call_mode = 0;
    int m_config_call_retry_time = 0;
    int m_config_call_timeout = 60000;
    int m_config_msg_set = 0;
    int m_config_channel_msgid = 0;
    int m_config_msg_v3 = 0;
    int m_config_call_concurrent = 60;
    int m_config_ping_time = 10000;
    int m_config_line_login3 = 0;
    int m_config_msgid_cache_time = 120000;
    int m_config_inst_msg_with_msgid = 0;
    int m_config_channel_extra = 0;
    std::string m_vid;
    uint32_t m_uid = 0;
    uint32_t m_uid_req = 0;
    uint32_t m_connid = 0;
    uint32_t m_retry = 0;
    uint64_t m_last_active_time = 0;
    std::string m_line;
    // Both ticks share the process' 100 ms tick; the watchdog runs first.
    mynet::SharedTick m_timer_poll;
    uint32_t m_ver_acked = 0;
    uint32_t m_ver_clear = 0;
    uint32_t m_ver_notify = 0;
    bool m_is_polling = false;
    int m_login_state = LOGIN_STATE_NOT_LOGIN;
    std::string m_deviceID;
    std::string m_token;
    int m_login_session = 0;
    std::string m_login_session_step;
    int m_retry_max_time = 0;
    int m_retry_max_count = 1;
    uint64_t m_retry_time_start = 0;
    int m_retry_count = 0;
    int m_retry_delay = 100;
    int m_retry_delay_min = 100;
    int m_retry_delay_max = 2000;
    std::vector<Addr> m_http_addrs;
    std::vector<Addr> m_tcp_addrs;
    bool m_sdkserver_mode = false;
    bool m_isbackground = false;
    bool m_tcp_connected = false;
    bool m_push_enable = false;
    bool m_network_enable = true;
    uint32_t m_tcp_call_id = 0;
    std::shared_ptr<ConnInfo> m_conn_info;
    std::string m_account;
    uint64_t m_time_poll_ack = 0;
    uint64_t m_time_poll_last = 0;
    bool m_poll_again = false;
    uint32_t m_msgid = 0;
    nuvra_sdk::ICallBack* m_callback;
    mynet::SharedTick m_timer;
    uint64_t m_channel_msgid = 0;
    std::map<std::string, Reporter2::SPT> m_invite_ts;
    Reporter2::SPT m_last_t_login;
    LoginDetails m_last_t_login_info;
    uint64_t m_channel_rp_time = 0;
    int m_chnanel_rp_count = 0;
    int m_chnanel_rp_count_success = 0;
    int m_chnanel_rp_count_failed = 0;
    uint64_t m_channel_rp_time_all_success = 0;
    uint64_t m_channel_rp_time_all_failed = 0;
    uint64_t m_last_t_login_t2 = 0;
    CallSlot m_main_slot;
    mynet::Async* async;
    std::string _device_id = "unknown_device_id";
    std::string _device_info = "unknown_device_info";
    bool _app_https = false;
    bool flag_app_lbs = false;
    bool _force_ipv4 = false;
    bool _slow_ulbs = false;
    int _buildin_ulbs_time = 500;
    int _ulbs_port_range = 2;
    std::string _fake_lbs_ip;
    int _log_report_rate = 100;
    int _info_report_rate = 100;
    std::string _dbg_ap_ip;
    int _dbg_ap_port = 0;

    // The published copies (see set_login_state).
    std::atomic<int> m_published_login_state{LOGIN_STATE_NOT_LOGIN};
    std::atomic<bool> m_published_has_line{false};
    mutable std::mutex m_published_channel_mtx;
    std::string m_published_channel_name;

    // Discovery's own state, declared last so that `rp` is still built first.

    // Where discovery hands its verdict over to the rest of the login, once
    // the step has ended for a current attempt: "" when m_tcp_addrs holds the
    // line servers to connect to (the step is then "conn"), else the failure.
    LbsResultFunction m_on_lbs_result = [](int, const std::string&) {};
    // The running or last discovery step.
    std::weak_ptr<SimpleWork> m_lbs_work;
    // Discovery's jobs, the connect step's clients and streams and delayed
    // retries outlive a step; they go through this before touching an engine
    // that may have been destroyed meanwhile.
    Lifeline m_lifeline;

    // Incoming messages: decoding, de-duplication, dispatch by type, polling.

    using Msg = IncomingMsg;
    using MsgBufTime = ::MsgBufTime;
    using MsgIDBuf = ::MsgIDBuf;

    // Decodes one message text. With process true dispatches the message,
    // frees it and returns null; otherwise returns it (never null) for the
    // caller to dispatch and delete.
    Msg* decode_msg(std::string text, bool process);
    // Dispatches one message by its type (to onMsg alone in server mode);
    // the caller keeps the message.
    void process_msg(Msg* msg);
    void dispatch_msg(const Msg& msg);
    void dispatch_voip(const Msg& msg);
    // Sends the oldest kept log lines that fit one frame; they are dropped
    // from the ring once the server has taken them.
    void upload_log();
    // Tells the server that an invitation has reached this client.
    void send_voip_ack(std::string channel, std::string peer, uint32_t uid);
    // Notes a message id for acknowledgement by the next message-id poll.
    void note_msg_wait_clear(const std::string& msgid);

    // Polls now, or once the poll in flight has been answered.
    void schedule_poll();
    // Arms the acknowledgement poll 500 ms from now unless it is armed.
    void schedule_poll_tail();
    void do_poll();
    // The waiting ids that one "user_getmsg2" request can carry.
    std::vector<std::string> clear_msgs_for_poll();
    // A poll answer belongs to the poll in flight: neither a newer poll nor
    // a new login has come since its request.
    bool poll_is_current(uint64_t poll_seq) const;
    void on_getmsg_answer(uint64_t poll_seq, const Json::Value& req, int result, const Json::Value& answer);
    void on_getmsg2_answer(uint64_t poll_seq, const Json::Value& req, const std::vector<std::string>& carried,
                           int result, const Json::Value& answer);
    void end_poll(bool more, bool took);
    // The poll-trigger step of the housekeeping tick.
    void poll_triggers(uint64_t now);
    bool ack_poll_due(uint64_t now) const;
    bool periodic_poll_due(uint64_t now) const;

    MsgIDBuf msgIDBuf;
    // Ids to acknowledge in the next message-id poll.
    MsgWaitClear m_msgs_wait_clear;
    // Numbers the polls, so that an answer to an earlier one changes nothing.
    uint64_t m_poll_seq = 0;
};
