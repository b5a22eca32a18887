#pragma once

// A scriptable line server on loopback for the tests: it accepts TCP
// connections, cuts and decodes the client's frames, records every text and
// answers it through one hook. Everything the tests set is honoured by one
// background thread; every method is safe to call from the test thread
// while it runs.
//
// Scripting: `on_text(prefix, handler)` installs the standing handler for
// texts starting with prefix (the longest matching prefix wins);
// `on_text_once` queues a handler used for the next matching text only,
// before any standing one. A handler gets the received frame and returns the
// steps of its answer, run in order:
//     reply(text)   one frame (flags: set_reply_flags, or given)
//     raw(bytes)    bytes as they are
//     delay(ms)     the steps after it wait ms longer
//     close_line()  FIN, after what went before
//     reset_line()  RST, after what went before
// No steps: no answer. Defaults answer "login " (answer_login_ok),
// "line_login2 "/"line_login3 " ("line_login_res ok"), "line_ping:N"
// (answer_ping) and every "call " (CallScript::ok()). Handlers run on the
// server thread under its lock: they must not call the server's methods.
// Examples:
//     server.on_text("login ", answer({}));                 // login unanswered
//     server.on_text("line_ping:", after(120, answer_ping())); // late pongs
//     server.on_text_once("call channel_join ", [](const Received& r) {
//         return Steps{reply(call_ret_text("channel_join", parse_call(r)->id, "{}")), close_line()};
//     });

#include <json/json.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "peers/poll_server.h"

namespace nuvra_test {

constexpr uint8_t kFrameCompressed = 0x01;
constexpr uint8_t kFrameBatch = 0x02;
constexpr uint8_t kFrameClient = 0x80;

// Connection argument meaning "the most recently accepted connection".
constexpr int kLastConn = -1;
// Flags argument meaning "what the client's last frame carried" (0x80 or 0x81).
constexpr int kMirrorFlags = -1;
// Flags argument meaning "as set_reply_flags says".
constexpr int kReplyFlags = -2;

// Wire helpers, also for tests that build odd bytes themselves.
std::string deflate_bytes(const std::string& data);
// Inflates a zlib stream; false when it does not inflate.
bool inflate_bytes(const std::string& data, std::string* out);
// Header (flags, length = 4 + body) followed by the body as given.
std::string line_frame(uint8_t flags, const std::string& body);
// Like line_frame but with any value in the 24-bit length field.
std::string line_frame_with_length(uint8_t flags, uint32_t length, const std::string& body);
// A frame carrying text, deflated when bit 0 of flags is set.
std::string text_frame(uint8_t flags, const std::string& text);
// A batch frame (flags should have bit 1) around complete inner frames; the
// last inner frame loses its last cut_last bytes; deflated when bit 0 is set.
std::string batch_frame(uint8_t flags, const std::vector<std::string>& inner_frames,
                        size_t cut_last = 0);

// Line texts the server sends.
std::string json_text(const Json::Value& v);  // compact JSON, no trailing newline
std::string login_ok_text(uint32_t uid, const std::string& line,
                          const Json::Value& config = Json::Value(Json::objectValue));
std::string login_refused_text(const std::string& reason);
std::string call_ret_text(const std::string& method, uint32_t id, const std::string& answer);
// How a client tells the server's answers apart: a login or re-login
// accepted ("login_res ok ", "line_login_res ok"), and a pong ("line_pong:").
bool is_login_accepted(const std::string& text);
bool is_pong(const std::string& text);

// One frame received from a client.
struct Received {
    size_t index = 0;     // position in the server's record, from 0
    int conn = 0;         // connection index, from 0 in order of acceptance
    uint8_t flags = 0;    // flags byte as sent
    uint32_t length = 0;  // length field as sent
    std::string text;     // body, inflated when bit 0 was set
    int64_t time_ms = 0;  // steady-clock milliseconds at receipt
};

// A "call " text taken apart.
struct ReceivedCall {
    Received frame;
    std::string method;
    uint32_t id = 0;
    Json::Value request;  // null when the request is not JSON
};
std::optional<ReceivedCall> parse_call(const Received& r);

// One step of a scripted answer.
struct Step {
    enum Kind { REPLY, RAW, DELAY, CLOSE, RESET };
    Kind kind = REPLY;
    std::string bytes;        // REPLY: the text; RAW: the bytes
    int flags = kReplyFlags;  // REPLY: frame flags, or kMirrorFlags / kReplyFlags
    int delay_ms = 0;         // DELAY
};
using Steps = std::vector<Step>;

Step reply(const std::string& text, int flags = kReplyFlags);
Step raw(const std::string& bytes);
Step delay(int ms);
Step close_line();
Step reset_line();

// Gives the steps of the answer to one received frame.
using TextHandler = std::function<Steps(const Received&)>;

// The same steps whatever the text; answer({}) answers nothing.
TextHandler answer(const Steps& steps);
// The handler's answer, delay_ms later.
TextHandler after(int delay_ms, TextHandler handler);
// "login_res ok 0 {"line":"line1","uid":U}", U the request's uid, 0 too (1
// when the request carries none).
TextHandler answer_login_ok();
// "line_pong:N" for "line_ping:N".
TextHandler answer_ping();

// How one call of a method is answered.
struct CallScript {
    Json::Value answer;      // the answer object
    std::string raw_answer;  // sent in place of the JSON answer when not empty
    bool never = false;      // no answer at all
    int delay_ms = 0;
    int copies = 1;          // how many times the answer is sent
    int64_t id_offset = 0;   // added to the call id in the answer

    static CallScript ok(const Json::Value& members = Json::Value(Json::objectValue));
    static CallScript failed(const std::string& reason);
    static CallScript unknown(const std::string& reason);
    static CallScript malformed(const std::string& raw);
    static CallScript silent();

    // The answer to one call.
    Steps steps(const ReceivedCall& call) const;
    // A handler answering "call " texts with steps().
    TextHandler handler() const;
};

// How send_raw cuts its bytes: pieces of `piece` bytes (0: all at once),
// written gap_ms apart.
struct Chunking {
    size_t piece = 0;
    int gap_ms = 0;
};

enum class Match { PREFIX, SUBSTRING };

class LineServer {
public:
    // Listens on host ("127.0.0.1" or "::1") at an ephemeral port.
    explicit LineServer(const std::string& host = "127.0.0.1");
    // Stops the thread and closes every socket.
    ~LineServer();
    LineServer(const LineServer&) = delete;
    LineServer& operator=(const LineServer&) = delete;

    // True when the server listens.
    bool ok() const { return server_.listen_fd >= 0; }
    // The port it listens on.
    uint16_t port() const { return server_.port; }
    // The address it listens on.
    const std::string& host() const { return host_; }

    // Standing handler for texts starting with prefix, replacing the one
    // installed for the same prefix.
    void on_text(const std::string& prefix, TextHandler handler);
    // One-off handler for the next text starting with prefix; one-offs are
    // used in the order queued, before any standing handler.
    void on_text_once(const std::string& prefix, TextHandler handler);
    // on_text / on_text_once for "call <method> ".
    void set_call_script(const std::string& method, const CallScript& s);
    void queue_call_script(const std::string& method, const CallScript& s);
    // Flags of scripted replies; default kMirrorFlags.
    void set_reply_flags(int flags);

    // conn is an index or kLastConn; on a connection that is gone these do nothing.
    // Sends text in one frame; flags 0 deflates when the client's frames do.
    void push_text(int conn, const std::string& text, int flags = kMirrorFlags);
    // Sends bytes as they are, cut as chunking says.
    void send_raw(int conn, const std::string& bytes, Chunking chunking = {});
    // After what was queued before: FIN (reset false) or RST (reset true).
    void close_conn(int conn, bool reset = false);
    // Stops or resumes reading from the connection.
    void set_reading(int conn, bool reading);

    // Every frame received so far, in order.
    std::vector<Received> received() const;
    // The first frame from index `from` on whose text matches, waiting up to timeout_ms.
    std::optional<Received> wait_for(const std::string& pattern, int timeout_ms,
                                     Match match = Match::PREFIX, size_t from = 0) const;
    // The first "call <method> " from index `from` on, waiting up to timeout_ms.
    std::optional<ReceivedCall> wait_for_call(const std::string& method, int timeout_ms,
                                              size_t from = 0) const;
    // Number of frames received whose text matches.
    size_t count(const std::string& pattern, Match match = Match::PREFIX) const;
    // Client frames that broke the framing rules, one line each.
    std::vector<std::string> errors() const;
    // Connections accepted so far.
    int connection_count() const;
    // Waits until at least n connections were accepted.
    bool wait_for_connections(int n, int timeout_ms) const;
    // Waits until the connection is gone: closed by the client, broken, or reset here.
    bool wait_for_close(int conn, int timeout_ms) const;

private:
    struct Conn;
    using Clock = std::chrono::steady_clock;

    void run();
    void accept_all();
    void read_conn(Conn& c);
    void cut_frames(Conn& c);
    void handle_text(Conn& c, const Received& r);
    TextHandler take_handler(const std::string& text);
    std::string encode_text(const Conn& c, const std::string& text, int flags) const;
    void run_steps(Conn& c, const Steps& steps);
    void flush_conn(Conn& c, Clock::time_point now);
    void finish_conn(Conn& c);
    int poll_timeout_ms(Clock::time_point now) const;
    Conn* find_conn(int conn);

    std::string host_;

    mutable std::mutex mu_;
    mutable std::condition_variable changed_;
    std::vector<std::unique_ptr<Conn>> conns_;
    std::vector<Received> received_;
    std::vector<std::string> errors_;
    std::map<std::string, TextHandler> handlers_;
    std::vector<std::pair<std::string, TextHandler>> once_handlers_;
    int reply_flags_ = kMirrorFlags;

    PollServer server_;
};

}  // namespace nuvra_test
