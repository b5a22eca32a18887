#include "peers/chaos_line_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "peers/line_server.h"
#include "peers/udp_peer_util.h"

namespace nuvra_test {

namespace {

constexpr int kTickMs = 20;
// A soak's instances all connect at once, and again after every restart.
constexpr int kBacklog = 256;

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Answers that are not a valid result object, each a different way.
const char* const kMalformedAnswers[] = {
    "{not json",                             // does not parse
    "[1,2]",                                 // not an object
    "{\"reason\":\"no result\"}",            // no "result"
    "{\"result\":\"maybe\"}",                // a result outside the table
    "{\"result\":\"failed\"}",               // a refusal without its reason
    "{\"result\":[\"ok\"]}",                 // a result that is no text
    "{\"result\":\"failed\",\"reason\":{}}", // a reason that is no text
    "",                                      // nothing at all
};

}  // namespace

struct ChaosLineServer::Conn {
    enum Action { DATA, FIN, RESET };
    struct Piece {
        std::string bytes;
        Clock::time_point not_before;
        Action action = DATA;
    };

    int fd = -1;
    std::string in;
    bool logged_in = false;  // the login answer went out
    bool closed = false;
    std::deque<Piece> out;  // in order; the head waits for its time
    size_t out_pos = 0;
    std::multimap<Clock::time_point, Piece> delayed;  // whole frames due later
};

ChaosLineServer::ChaosLineServer(const std::string& host, uint64_t seed, const ChaosOdds& odds)
    : host_(host), odds_(odds), rng_(seed) {
    if (server_.open(host, kBacklog)) server_.thread = std::thread([this] { run(); });
}

ChaosLineServer::~ChaosLineServer() {
    server_.stop(mu_);
    for (auto& c : conns_)
        if (c->fd >= 0) close(c->fd);
}

void ChaosLineServer::set_chaos(bool on) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        chaos_ = on;
    }
    server_.wake();
}

ChaosCounts ChaosLineServer::counts() const {
    std::lock_guard<std::mutex> lock(mu_);
    return counts_;
}

int ChaosLineServer::open_connections() const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(std::count_if(conns_.begin(), conns_.end(), [](const auto& c) { return !c->closed; }));
}

// The server thread: faults are injected once per tick, between polls of
// the listener and the connections.
void ChaosLineServer::run() {
    std::unique_lock<std::mutex> lock(mu_);
    Clock::time_point last_tick = Clock::now();
    while (!server_.stopping) {
        auto now = Clock::now();
        if (server_.listen_fd < 0 && (now >= down_until_ || !chaos_) && !server_.listen_again(host_, kBacklog))
            down_until_ = now + std::chrono::milliseconds(50);
        if (now - last_tick >= std::chrono::milliseconds(kTickMs)) {
            double seconds = std::chrono::duration<double>(now - last_tick).count();
            last_tick = now;
            if (chaos_) inject_faults(now, seconds);
        }
        conns_.erase(std::remove_if(conns_.begin(), conns_.end(), [](const auto& c) { return c->closed; }),
                     conns_.end());
        std::vector<pollfd> fds = server_.round_fds();
        std::vector<Conn*> polled;
        for (auto& c : conns_) {
            flush_conn(*c, now);
            if (c->closed) continue;
            short events = POLLIN;
            if (!c->out.empty() && c->out.front().not_before <= now) events |= POLLOUT;
            fds.push_back({c->fd, events, 0});
            polled.push_back(c.get());
        }
        int timeout = std::min(poll_timeout_ms(now), kTickMs);
        lock.unlock();
        server_.poll(fds, timeout);
        lock.lock();
        if (server_.listener_ready(fds)) accept_all();
        for (size_t i = 0; i < polled.size(); ++i) {
            Conn& c = *polled[i];
            short rev = fds[PollServer::kFirstConnFd + i].revents;
            if (c.closed || rev == 0) continue;
            if (rev & POLLIN)
                read_conn(c);
            else if (rev & (POLLERR | POLLHUP))
                drop_conn(c, false);
        }
    }
}

void ChaosLineServer::accept_all() {
    for (int fd; (fd = server_.accept_conn()) >= 0;) {
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        conns_.push_back(std::move(c));
    }
}

// Cuts the client's frames and answers each text; a client frame that
// breaks the framing rules is counted and ends the line.
void ChaosLineServer::read_conn(Conn& c) {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n > 0) {
            c.in.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            drop_conn(c, false);
            return;
        }
        break;
    }
    size_t pos = 0;
    while (!c.closed && c.in.size() - pos >= 4) {
        auto flags = static_cast<uint8_t>(c.in[pos]);
        uint32_t length = (static_cast<uint8_t>(c.in[pos + 1]) << 16) | (static_cast<uint8_t>(c.in[pos + 2]) << 8) |
                          static_cast<uint8_t>(c.in[pos + 3]);
        if (length < 4 || !(flags & kFrameClient) || (flags & kFrameBatch)) {
            ++counts_.client_errors;
            drop_conn(c, true);
            return;
        }
        if (c.in.size() - pos < length) break;
        std::string text = c.in.substr(pos + 4, length - 4);
        pos += length;
        if (flags & kFrameCompressed) {
            std::string inflated;
            if (!inflate_bytes(text, &inflated)) {
                ++counts_.client_errors;
                drop_conn(c, true);
                return;
            }
            text.swap(inflated);
        }
        handle_text(c, text);
    }
    c.in.erase(0, pos);
}

void ChaosLineServer::handle_text(Conn& c, const std::string& text) {
    if (starts_with(text, "login ")) {
        answer_login(c, text);
    } else if (starts_with(text, "line_login2 ") || starts_with(text, "line_login3 ")) {
        answer_relogin(c);
    } else if (starts_with(text, "line_ping:")) {
        if (chaos_ && roll(odds_.withhold_pong)) {
            ++counts_.pongs_withheld;
            return;
        }
        send_answer(c, "line_pong:" + text.substr(10));
    } else if (starts_with(text, "call ")) {
        answer_call(c, text);
    }
}

// Each login gets a line id of its own.
void ChaosLineServer::answer_login(Conn& c, const std::string& text) {
    if (chaos_ && roll(odds_.withhold_login)) {
        ++counts_.logins_withheld;
        return;
    }
    Json::Value req = parse_json_object(text.substr(6));
    uint32_t uid = req["uid"].isUInt() ? req["uid"].asUInt() : 1;
    std::string account = req["account"].isString() ? req["account"].asString() : "";
    ++counts_.logins;
    // Framed before the line counts as logged in: flags 0 still mean plain.
    queue(c, frame_for(c, login_ok_text(uid ? uid : 1, account + "." + std::to_string(++next_line_))),
          Clock::now());
    c.logged_in = true;
}

void ChaosLineServer::answer_relogin(Conn& c) {
    if (chaos_ && roll(odds_.withhold_login)) {
        ++counts_.logins_withheld;
        return;
    }
    if (chaos_ && roll(odds_.refuse_relogin)) {
        ++counts_.relogins_refused;
        queue(c, frame_for(c, roll(500) ? "line_login_res kick" : "line_login_res failed"), Clock::now());
        return;
    }
    ++counts_.relogins;
    queue(c, frame_for(c, "line_login_res ok"), Clock::now());
    c.logged_in = true;
}

// "call <method> <id> 0 <request>": the outcome first, then how it travels.
void ChaosLineServer::answer_call(Conn& c, const std::string& text) {
    ++counts_.calls;
    size_t method_end = text.find(' ', 5);
    size_t id_end = method_end == std::string::npos ? std::string::npos : text.find(' ', method_end + 1);
    if (id_end == std::string::npos) return;
    std::string method = text.substr(5, method_end - 5);
    std::string id = text.substr(method_end + 1, id_end - method_end - 1);
    std::string answer = "{\"result\":\"ok\",\"echo\":" + std::to_string(text.size()) + "}";
    if (chaos_) {
        int r = uniform(0, 999);
        int edge = odds_.kick_call;
        if (r < edge) {
            ++counts_.calls_kicked;
            answer = "{\"result\":\"failed\",\"reason\":\"kick\"}";
        } else if (r < (edge += odds_.refuse_call)) {
            ++counts_.calls_refused;
            answer = "{\"result\":\"failed\",\"reason\":\"busy\"}";
        } else if (r < (edge += odds_.unknown_call)) {
            ++counts_.calls_unknown;
            answer = "{\"result\":\"unknown\",\"reason\":\"later\"}";
        } else if (r < (edge += odds_.malformed_call)) {
            ++counts_.calls_malformed;
            answer = kMalformedAnswers[uniform(0, std::size(kMalformedAnswers) - 1)];
        } else if (r < (edge += odds_.withhold_answer)) {
            ++counts_.answers_withheld;
            return;
        }
    }
    send_answer(c, "call_ret " + method + " " + id + " 0 " + answer);
}

// One answer, sent at once or, under chaos, late, twice, in pieces or in a batch.
void ChaosLineServer::send_answer(Conn& c, const std::string& text) {
    auto now = Clock::now();
    if (!chaos_) {
        queue(c, frame_for(c, text), now);
        return;
    }
    int r = uniform(0, 999);
    int edge = odds_.delay_answer;
    if (r < edge) {
        ++counts_.answers_delayed;
        queue_later(c, frame_for(c, text), now + std::chrono::milliseconds(uniform(1, 400)));
    } else if (r < (edge += odds_.duplicate_answer)) {
        ++counts_.answers_duplicated;
        queue(c, frame_for(c, text), now);
        queue_later(c, frame_for(c, text), now + std::chrono::milliseconds(uniform(0, 50)));
    } else if (r < (edge += odds_.split_answer)) {
        ++counts_.answers_split;
        std::string bytes = frame_for(c, text);
        size_t pos = 0;
        auto at = now;
        while (pos < bytes.size()) {
            size_t piece = std::min(bytes.size() - pos, static_cast<size_t>(uniform(1, 8)));
            queue(c, bytes.substr(pos, piece), at);
            pos += piece;
            at += std::chrono::milliseconds(uniform(0, 3));
        }
    } else if (r < (edge += odds_.batch_answer)) {
        ++counts_.answers_batched;
        uint8_t outer = roll(500) ? (kFrameBatch | kFrameCompressed) : kFrameBatch;
        queue(c, batch_frame(outer, {text_frame(kFrameClient, text)}), now);
    } else {
        queue(c, frame_for(c, text), now);
    }
}

// Line faults, each a Poisson process at its rate per second.
void ChaosLineServer::inject_faults(Clock::time_point now, double seconds) {
    auto happens = [&](double per_s) {
        return std::uniform_real_distribution<double>(0, 1)(rng_) < per_s * seconds;
    };
    if (server_.listen_fd >= 0 && happens(odds_.restart_per_s)) {
        restart(now);
        return;
    }
    if (happens(odds_.drop_fin_per_s))
        if (Conn* c = random_logged_in()) {
            ++counts_.drops_fin;
            c->out.push_back({"", now, Conn::FIN});
        }
    if (happens(odds_.drop_rst_per_s))
        if (Conn* c = random_logged_in()) {
            ++counts_.drops_rst;
            drop_conn(*c, true);
        }
    if (happens(odds_.kick_per_s))
        if (Conn* c = random_logged_in()) {
            ++counts_.kicks;
            queue(*c, frame_for(*c, "notify kick"), now);
        }
    if (happens(odds_.bad_frame_per_s))
        if (Conn* c = random_logged_in()) {
            ++counts_.bad_frames;
            queue(*c, line_frame_with_length(kFrameClient, static_cast<uint32_t>(uniform(0, 3)), "bad"), now);
        }
    if (happens(odds_.junk_text_per_s))
        if (Conn* c = random_logged_in()) {
            ++counts_.junk_texts;
            if (roll(500))
                queue(*c, frame_for(*c, "notify nothing_known " + std::to_string(uniform(0, 1 << 20))), now);
            else
                queue(*c, line_frame(kFrameClient | kFrameCompressed, "not a zlib stream"), now);
        }
}

// Every line goes (half of them reset), and the port stays shut a while.
void ChaosLineServer::restart(Clock::time_point now) {
    ++counts_.restarts;
    for (auto& c : conns_)
        if (!c->closed) drop_conn(*c, roll(500));
    close_fd(server_.listen_fd);
    down_until_ = now + std::chrono::milliseconds(uniform(200, 1500));
}

ChaosLineServer::Conn* ChaosLineServer::random_logged_in() {
    std::vector<Conn*> candidates;
    for (auto& c : conns_)
        if (!c->closed && c->logged_in) candidates.push_back(c.get());
    if (candidates.empty()) return nullptr;
    return candidates[static_cast<size_t>(uniform(0, static_cast<int>(candidates.size()) - 1))];
}

void ChaosLineServer::queue(Conn& c, std::string bytes, Clock::time_point at) {
    c.out.push_back({std::move(bytes), at, Conn::DATA});
}

void ChaosLineServer::queue_later(Conn& c, std::string bytes, Clock::time_point at) {
    c.delayed.emplace(at, Conn::Piece{std::move(bytes), at, Conn::DATA});
}

// Deflated with flags 0x81, plain with 0x80, or flags 0, which the client
// reads as deflated once its login is answered.
std::string ChaosLineServer::frame_for(const Conn& c, const std::string& text) {
    switch (uniform(0, 2)) {
    case 0:
        return text_frame(kFrameClient | kFrameCompressed, text);
    case 1:
        return text_frame(kFrameClient, text);
    default:
        return c.logged_in ? line_frame(0, deflate_bytes(text)) : line_frame(0, text);
    }
}

// Moves due delayed frames behind what is queued, then writes what is due.
void ChaosLineServer::flush_conn(Conn& c, Clock::time_point now) {
    while (!c.delayed.empty() && c.delayed.begin()->first <= now) {
        Conn::Piece piece = std::move(c.delayed.begin()->second);
        piece.not_before = now;
        c.out.push_back(std::move(piece));
        c.delayed.erase(c.delayed.begin());
    }
    while (!c.closed && !c.out.empty() && c.out.front().not_before <= now) {
        Conn::Piece& p = c.out.front();
        if (p.action == Conn::FIN) {
            shutdown(c.fd, SHUT_WR);
            c.out.clear();
            c.delayed.clear();
            c.logged_in = false;
            return;
        }
        while (c.out_pos < p.bytes.size()) {
            ssize_t n = send(c.fd, p.bytes.data() + c.out_pos, p.bytes.size() - c.out_pos, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                drop_conn(c, false);
                return;
            }
            c.out_pos += static_cast<size_t>(n);
        }
        c.out_pos = 0;
        c.out.pop_front();
    }
}

void ChaosLineServer::drop_conn(Conn& c, bool reset) {
    if (c.closed) return;
    if (reset) {
        linger lg{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    close(c.fd);
    c.fd = -1;
    c.closed = true;
    c.out.clear();
    c.delayed.clear();
}

int ChaosLineServer::poll_timeout_ms(Clock::time_point now) const {
    int timeout = -1;
    auto consider = [&](Clock::time_point at) {
        auto ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(at - now).count()) + 1;
        if (ms > 0 && (timeout < 0 || ms < timeout)) timeout = ms;
    };
    for (const auto& c : conns_) {
        if (c->closed) continue;
        if (!c->delayed.empty()) consider(c->delayed.begin()->first);
        if (!c->out.empty() && c->out.front().not_before > now) consider(c->out.front().not_before);
    }
    return timeout < 0 ? kTickMs : timeout;
}

bool ChaosLineServer::roll(int per_mille) { return uniform(0, 999) < per_mille; }

int ChaosLineServer::uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

}  // namespace nuvra_test
