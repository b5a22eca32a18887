#pragma once

// A line server on loopback that misbehaves at random, for soak tests: it
// logs clients in and answers their pings and calls like a real one, but
// delays, withholds, duplicates, splits and batches answers, answers with
// refusals and malformed JSON, refuses re-logins, drops lines with FIN or
// RST, kicks, sends malformed frames and restarts itself on the same port.
// Every choice comes from one generator seeded by the caller, so a run can
// be replayed with its seed (timing still varies). Built on POSIX sockets,
// zlib and jsoncpp only, on a thread of its own.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "peers/poll_server.h"

namespace nuvra_test {

// How often each fault is chosen. Answers: per mille of the texts that get
// one (the rest are answered at once and plainly). Line faults: expected
// number per second over the whole server.
struct ChaosOdds {
    int delay_answer = 100;       // an answer 1..400 ms late
    int withhold_answer = 15;     // a call never answered
    int duplicate_answer = 25;    // a call answered twice
    int split_answer = 40;        // an answer written in pieces a few ms apart
    int batch_answer = 30;        // an answer inside a batch frame
    int refuse_call = 40;         // "failed" with a reason
    int unknown_call = 25;        // "unknown" with a reason
    int malformed_call = 20;      // an answer that is not a valid result object
    int kick_call = 2;            // "failed" with the reason "kick"
    int refuse_relogin = 60;      // "line_login_res kick" or "line_login_res failed"
    int withhold_login = 10;      // a login or re-login never answered
    int withhold_pong = 3;        // a ping never answered
    double drop_fin_per_s = 1.0;  // a logged-in line closed with FIN
    double drop_rst_per_s = 1.0;  // a logged-in line reset
    double kick_per_s = 0.3;      // "notify kick" on a logged-in line
    double bad_frame_per_s = 0.5;   // a frame whose length field is below 4
    double junk_text_per_s = 1.0;   // an unknown text, or a body that does not inflate
    double restart_per_s = 0.05;    // every line closed and the port shut for 0.2..1.5 s
};

// What the server did so far.
struct ChaosCounts {
    uint64_t logins = 0;             // "login " answered ok
    uint64_t relogins = 0;           // re-logins answered ok
    uint64_t relogins_refused = 0;
    uint64_t logins_withheld = 0;
    uint64_t calls = 0;              // "call " texts received
    uint64_t answers_delayed = 0;
    uint64_t answers_withheld = 0;
    uint64_t answers_duplicated = 0;
    uint64_t answers_split = 0;
    uint64_t answers_batched = 0;
    uint64_t calls_refused = 0;
    uint64_t calls_unknown = 0;
    uint64_t calls_malformed = 0;
    uint64_t calls_kicked = 0;
    uint64_t pongs_withheld = 0;
    uint64_t drops_fin = 0;
    uint64_t drops_rst = 0;
    uint64_t kicks = 0;
    uint64_t bad_frames = 0;
    uint64_t junk_texts = 0;
    uint64_t restarts = 0;
    uint64_t client_errors = 0;  // client frames that broke the framing rules
};

class ChaosLineServer {
public:
    // Listens on host ("127.0.0.1") at an ephemeral port, kept across restarts.
    ChaosLineServer(const std::string& host, uint64_t seed, const ChaosOdds& odds = ChaosOdds());
    ~ChaosLineServer();
    ChaosLineServer(const ChaosLineServer&) = delete;
    ChaosLineServer& operator=(const ChaosLineServer&) = delete;

    bool ok() const { return server_.port != 0; }
    uint16_t port() const { return server_.port; }

    // Off: every text is answered at once and plainly, nothing is dropped and
    // a server that is down comes back at once. Answers already withheld stay so.
    void set_chaos(bool on);
    ChaosCounts counts() const;
    // Client connections open on the server side.
    int open_connections() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Conn;

    void run();
    void accept_all();
    void read_conn(Conn& c);
    void handle_text(Conn& c, const std::string& text);
    void answer_login(Conn& c, const std::string& text);
    void answer_relogin(Conn& c);
    void answer_call(Conn& c, const std::string& text);
    void send_answer(Conn& c, const std::string& text);
    void inject_faults(Clock::time_point now, double seconds);
    void restart(Clock::time_point now);
    Conn* random_logged_in();
    void queue(Conn& c, std::string bytes, Clock::time_point at);
    void queue_later(Conn& c, std::string bytes, Clock::time_point at);
    std::string frame_for(const Conn& c, const std::string& text);
    void flush_conn(Conn& c, Clock::time_point now);
    void drop_conn(Conn& c, bool reset);
    int poll_timeout_ms(Clock::time_point now) const;
    bool roll(int per_mille);
    int uniform(int lo, int hi);

    const std::string host_;
    const ChaosOdds odds_;

    mutable std::mutex mu_;
    bool chaos_ = true;
    Clock::time_point down_until_{};
    std::mt19937_64 rng_;
    ChaosCounts counts_;
    uint64_t next_line_ = 0;
    std::vector<std::unique_ptr<Conn>> conns_;

    PollServer server_;
};

}  // namespace nuvra_test
