#include "peers/line_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace nuvra_test {

namespace {

constexpr int kBacklog = 16;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool matches(const std::string& text, const std::string& pattern, Match match) {
    return match == Match::PREFIX ? starts_with(text, pattern)
                                  : text.find(pattern) != std::string::npos;
}

bool parse_json(const std::string& text, Json::Value* out) {
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    std::string errs;
    return reader->parse(text.data(), text.data() + text.size(), out, &errs);
}

std::string hex_flags(uint8_t flags) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", flags);
    return buf;
}

}  // namespace

std::string deflate_bytes(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
              reinterpret_cast<const Bytef*>(data.data()), data.size(), Z_DEFAULT_COMPRESSION);
    out.resize(size);
    return out;
}

bool inflate_bytes(const std::string& data, std::string* out) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return false;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    out->clear();
    char chunk[65536];
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(chunk);
        zs.avail_out = sizeof chunk;
        rc = inflate(&zs, Z_NO_FLUSH);
        out->append(chunk, sizeof chunk - zs.avail_out);
    }
    inflateEnd(&zs);
    return rc == Z_STREAM_END;
}

std::string line_frame_with_length(uint8_t flags, uint32_t length, const std::string& body) {
    std::string f(4, '\0');
    f[0] = static_cast<char>(flags);
    f[1] = static_cast<char>((length >> 16) & 0xff);
    f[2] = static_cast<char>((length >> 8) & 0xff);
    f[3] = static_cast<char>(length & 0xff);
    return f + body;
}

std::string line_frame(uint8_t flags, const std::string& body) {
    return line_frame_with_length(flags, static_cast<uint32_t>(body.size() + 4), body);
}

std::string text_frame(uint8_t flags, const std::string& text) {
    return line_frame(flags, (flags & kFrameCompressed) ? deflate_bytes(text) : text);
}

std::string batch_frame(uint8_t flags, const std::vector<std::string>& inner_frames,
                        size_t cut_last) {
    std::string body;
    for (const auto& f : inner_frames) body += f;
    if (!inner_frames.empty()) body.resize(body.size() - std::min(cut_last, inner_frames.back().size()));
    return line_frame(flags, (flags & kFrameCompressed) ? deflate_bytes(body) : body);
}

std::string json_text(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}

std::string login_ok_text(uint32_t uid, const std::string& line, const Json::Value& config) {
    Json::Value body = config.isObject() ? config : Json::Value(Json::objectValue);
    body["uid"] = uid;
    body["line"] = line;
    return "login_res ok 0 " + json_text(body);
}

std::string login_refused_text(const std::string& reason) {
    Json::Value body(Json::objectValue);
    body["reason"] = reason;
    return "login_res failed " + json_text(body);
}

bool is_login_accepted(const std::string& text) {
    return starts_with(text, "login_res ok ") || starts_with(text, "line_login_res ok");
}

bool is_pong(const std::string& text) { return starts_with(text, "line_pong:"); }

std::string call_ret_text(const std::string& method, uint32_t id, const std::string& answer) {
    return "call_ret " + method + " " + std::to_string(id) + " 0 " + answer;
}

std::optional<ReceivedCall> parse_call(const Received& r) {
    if (!starts_with(r.text, "call ")) return std::nullopt;
    size_t m = 5;
    size_t m_end = r.text.find(' ', m);
    if (m_end == std::string::npos) return std::nullopt;
    size_t id_end = r.text.find(' ', m_end + 1);
    std::string id = r.text.substr(m_end + 1, id_end == std::string::npos ? std::string::npos
                                                                          : id_end - m_end - 1);
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    ReceivedCall call;
    call.frame = r;
    call.method = r.text.substr(m, m_end - m);
    call.id = static_cast<uint32_t>(std::strtoul(id.c_str(), nullptr, 10));
    size_t req_start = id_end == std::string::npos ? std::string::npos : r.text.find(' ', id_end + 1);
    if (req_start != std::string::npos && !parse_json(r.text.substr(req_start + 1), &call.request))
        call.request = Json::Value();
    return call;
}

CallScript CallScript::ok(const Json::Value& members) {
    CallScript s;
    s.answer = members.isObject() ? members : Json::Value(Json::objectValue);
    s.answer["result"] = "ok";
    return s;
}

CallScript CallScript::failed(const std::string& reason) {
    CallScript s;
    s.answer["result"] = "failed";
    s.answer["reason"] = reason;
    return s;
}

CallScript CallScript::unknown(const std::string& reason) {
    CallScript s;
    s.answer["result"] = "unknown";
    s.answer["reason"] = reason;
    return s;
}

CallScript CallScript::malformed(const std::string& raw) {
    CallScript s;
    s.raw_answer = raw;
    return s;
}

CallScript CallScript::silent() {
    CallScript s;
    s.never = true;
    return s;
}

Steps CallScript::steps(const ReceivedCall& call) const {
    if (never) return {};
    Steps out;
    if (delay_ms > 0) out.push_back(delay(delay_ms));
    std::string text = raw_answer.empty() ? json_text(answer) : raw_answer;
    auto id = static_cast<uint32_t>(call.id + id_offset);
    for (int i = 0; i < copies; ++i) out.push_back(reply(call_ret_text(call.method, id, text)));
    return out;
}

TextHandler CallScript::handler() const {
    CallScript script = *this;
    return [script](const Received& r) {
        auto call = parse_call(r);
        return call ? script.steps(*call) : Steps{};
    };
}

Step reply(const std::string& text, int flags) {
    Step s;
    s.kind = Step::REPLY;
    s.bytes = text;
    s.flags = flags;
    return s;
}

Step raw(const std::string& bytes) {
    Step s;
    s.kind = Step::RAW;
    s.bytes = bytes;
    return s;
}

Step delay(int ms) {
    Step s;
    s.kind = Step::DELAY;
    s.delay_ms = ms;
    return s;
}

Step close_line() {
    Step s;
    s.kind = Step::CLOSE;
    return s;
}

Step reset_line() {
    Step s;
    s.kind = Step::RESET;
    return s;
}

TextHandler answer(const Steps& steps) {
    return [steps](const Received&) { return steps; };
}

TextHandler after(int delay_ms, TextHandler handler) {
    return [delay_ms, handler](const Received& r) {
        Steps steps = handler(r);
        if (!steps.empty()) steps.insert(steps.begin(), delay(delay_ms));
        return steps;
    };
}

TextHandler answer_login_ok() {
    return [](const Received& r) {
        Json::Value req;
        uint32_t uid = 1;
        if (parse_json(r.text.substr(r.text.find(' ') + 1), &req) && req.isObject() && req["uid"].isUInt())
            uid = req["uid"].asUInt();
        return Steps{reply(login_ok_text(uid, "line1"))};
    };
}

TextHandler answer_ping() {
    return [](const Received& r) { return Steps{reply("line_pong:" + r.text.substr(r.text.find(':') + 1))}; };
}

struct LineServer::Conn {
    enum Action { DATA, FIN, RESET };
    struct Piece {
        std::string bytes;
        Clock::time_point not_before;
        Action action = DATA;
    };

    int fd = -1;
    int index = 0;
    std::string in;
    bool framing_broken = false;  // a length below 4 leaves nothing to cut by
    uint8_t client_flags = kFrameClient;
    bool reading = true;
    bool closed = false;
    std::deque<Piece> out;
    size_t out_pos = 0;  // bytes of out.front() already written
    // Scripted pieces waiting for their time; equal times keep their order.
    std::multimap<Clock::time_point, Piece> delayed;
};

LineServer::LineServer(const std::string& host) : host_(host) {
    handlers_["login "] = answer_login_ok();
    handlers_["line_login2 "] = answer({reply("line_login_res ok")});
    handlers_["line_login3 "] = answer({reply("line_login_res ok")});
    handlers_["line_ping:"] = answer_ping();
    handlers_["call "] = CallScript::ok().handler();
    if (server_.open(host, kBacklog)) server_.thread = std::thread([this] { run(); });
}

LineServer::~LineServer() {
    server_.stop(mu_);
    for (auto& c : conns_)
        if (c->fd >= 0) close(c->fd);
}

void LineServer::on_text(const std::string& prefix, TextHandler handler) {
    std::lock_guard<std::mutex> lock(mu_);
    handlers_[prefix] = std::move(handler);
}

void LineServer::on_text_once(const std::string& prefix, TextHandler handler) {
    std::lock_guard<std::mutex> lock(mu_);
    once_handlers_.emplace_back(prefix, std::move(handler));
}

void LineServer::set_call_script(const std::string& method, const CallScript& s) {
    on_text("call " + method + " ", s.handler());
}

void LineServer::queue_call_script(const std::string& method, const CallScript& s) {
    on_text_once("call " + method + " ", s.handler());
}

void LineServer::set_reply_flags(int flags) {
    std::lock_guard<std::mutex> lock(mu_);
    reply_flags_ = flags;
}

void LineServer::push_text(int conn, const std::string& text, int flags) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        Conn* c = find_conn(conn);
        if (!c) return;
        c->out.push_back({encode_text(*c, text, flags), Clock::now(), Conn::DATA});
    }
    server_.wake();
}

void LineServer::send_raw(int conn, const std::string& bytes, Chunking chunking) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        Conn* c = find_conn(conn);
        if (!c) return;
        size_t piece = chunking.piece ? chunking.piece : bytes.size();
        auto at = Clock::now();
        for (size_t pos = 0; pos < bytes.size(); pos += piece) {
            c->out.push_back({bytes.substr(pos, piece), at, Conn::DATA});
            at += std::chrono::milliseconds(chunking.gap_ms);
        }
    }
    server_.wake();
}

void LineServer::close_conn(int conn, bool reset) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        Conn* c = find_conn(conn);
        if (!c) return;
        Clock::time_point at = c->out.empty() ? Clock::now() : c->out.back().not_before;
        c->out.push_back({"", at, reset ? Conn::RESET : Conn::FIN});
    }
    server_.wake();
}

void LineServer::set_reading(int conn, bool reading) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        Conn* c = find_conn(conn);
        if (!c) return;
        c->reading = reading;
    }
    server_.wake();
}

std::vector<Received> LineServer::received() const {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
}

std::optional<Received> LineServer::wait_for(const std::string& pattern, int timeout_ms,
                                             Match match, size_t from) const {
    std::unique_lock<std::mutex> lock(mu_);
    std::optional<Received> found;
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        for (size_t i = from; i < received_.size(); ++i) {
            if (matches(received_[i].text, pattern, match)) {
                found = received_[i];
                return true;
            }
        }
        from = received_.size();
        return false;
    });
    return found;
}

std::optional<ReceivedCall> LineServer::wait_for_call(const std::string& method, int timeout_ms,
                                                      size_t from) const {
    auto r = wait_for("call " + method + " ", timeout_ms, Match::PREFIX, from);
    if (!r) return std::nullopt;
    return parse_call(*r);
}

size_t LineServer::count(const std::string& pattern, Match match) const {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const auto& r : received_) n += matches(r.text, pattern, match) ? 1 : 0;
    return n;
}

std::vector<std::string> LineServer::errors() const {
    std::lock_guard<std::mutex> lock(mu_);
    return errors_;
}

int LineServer::connection_count() const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(conns_.size());
}

bool LineServer::wait_for_connections(int n, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return static_cast<int>(conns_.size()) >= n; });
}

bool LineServer::wait_for_close(int conn, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        size_t i = conn == kLastConn ? conns_.size() - 1 : static_cast<size_t>(conn);
        return i < conns_.size() && conns_[i]->closed;
    });
}

// The server thread: polls the wake pipe, the listener and every open
// connection, and between polls releases due answers and writes.
void LineServer::run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!server_.stopping) {
        std::vector<pollfd> fds = server_.round_fds();
        std::vector<Conn*> polled;
        // One clock reading for the whole round, so a piece that falls due
        // meanwhile is either written now or sets the poll time-out.
        auto now = Clock::now();
        for (auto& c : conns_) {
            if (c->closed) continue;
            flush_conn(*c, now);
            if (c->closed) continue;
            short events = c->reading ? POLLIN : 0;
            if (!c->out.empty() && c->out.front().not_before <= now) events |= POLLOUT;
            fds.push_back({c->fd, events, 0});
            polled.push_back(c.get());
        }
        int timeout = poll_timeout_ms(now);
        lock.unlock();
        server_.poll(fds, timeout);
        lock.lock();
        if (server_.listener_ready(fds)) accept_all();
        for (size_t i = 0; i < polled.size(); ++i) {
            Conn& c = *polled[i];
            short rev = fds[PollServer::kFirstConnFd + i].revents;
            if (c.closed || rev == 0) continue;
            if ((rev & POLLIN) && c.reading) {
                read_conn(c);
            } else if (rev & (POLLERR | POLLHUP)) {
                finish_conn(c);
            }
        }
    }
}

void LineServer::accept_all() {
    for (int fd; (fd = server_.accept_conn()) >= 0;) {
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        c->index = static_cast<int>(conns_.size());
        conns_.push_back(std::move(c));
        changed_.notify_all();
    }
}

void LineServer::read_conn(Conn& c) {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n > 0) {
            c.in.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0 && errno == EINTR) continue;
        cut_frames(c);
        finish_conn(c);
        return;
    }
    cut_frames(c);
}

// Cuts every complete frame from the connection's input, records it and
// lets the script answer it.
void LineServer::cut_frames(Conn& c) {
    size_t pos = 0;
    const std::string who = "conn " + std::to_string(c.index) + ": ";
    while (!c.framing_broken && c.in.size() - pos >= 4) {
        auto flags = static_cast<uint8_t>(c.in[pos]);
        uint32_t length = (static_cast<uint8_t>(c.in[pos + 1]) << 16) |
                          (static_cast<uint8_t>(c.in[pos + 2]) << 8) |
                          static_cast<uint8_t>(c.in[pos + 3]);
        if (length < 4) {
            errors_.push_back(who + "length field " + std::to_string(length) + " below 4");
            c.framing_broken = true;
            break;
        }
        if (c.in.size() - pos < length) break;
        Received r;
        r.index = received_.size();
        r.conn = c.index;
        r.flags = flags;
        r.length = length;
        r.time_ms = now_ms();
        r.text = c.in.substr(pos + 4, length - 4);
        pos += length;
        if (!(flags & kFrameClient)) errors_.push_back(who + "flags " + hex_flags(flags) + " without bit 7");
        if (flags & kFrameBatch) errors_.push_back(who + "flags " + hex_flags(flags) + " batch from a client");
        std::string inflated;
        if (flags & kFrameCompressed) {
            if (inflate_bytes(r.text, &inflated))
                r.text = inflated;
            else
                errors_.push_back(who + "body of frame " + std::to_string(r.index) + " does not inflate");
        }
        c.client_flags = static_cast<uint8_t>(kFrameClient | (flags & kFrameCompressed));
        received_.push_back(r);
        changed_.notify_all();
        handle_text(c, r);
    }
    c.in.erase(0, c.framing_broken ? c.in.size() : pos);
}

void LineServer::handle_text(Conn& c, const Received& r) {
    TextHandler handler = take_handler(r.text);
    if (handler) run_steps(c, handler(r));
}

// The first queued one-off whose prefix matches, else the standing handler
// with the longest matching prefix.
TextHandler LineServer::take_handler(const std::string& text) {
    for (auto it = once_handlers_.begin(); it != once_handlers_.end(); ++it) {
        if (!starts_with(text, it->first)) continue;
        TextHandler h = std::move(it->second);
        once_handlers_.erase(it);
        return h;
    }
    const TextHandler* best = nullptr;
    size_t best_len = 0;
    for (const auto& [prefix, handler] : handlers_) {
        if (starts_with(text, prefix) && (!best || prefix.size() > best_len)) {
            best = &handler;
            best_len = prefix.size();
        }
    }
    return best ? *best : TextHandler();
}

// Steps due now join the output at once, the others wait in `delayed`.
void LineServer::run_steps(Conn& c, const Steps& steps) {
    auto now = Clock::now();
    auto at = now;
    for (const Step& step : steps) {
        Conn::Piece piece{"", at, Conn::DATA};
        switch (step.kind) {
        case Step::DELAY:
            at += std::chrono::milliseconds(step.delay_ms);
            continue;
        case Step::REPLY:
            piece.bytes = encode_text(c, step.bytes, step.flags == kReplyFlags ? reply_flags_ : step.flags);
            break;
        case Step::RAW:
            piece.bytes = step.bytes;
            break;
        case Step::CLOSE:
            piece.action = Conn::FIN;
            break;
        case Step::RESET:
            piece.action = Conn::RESET;
            break;
        }
        if (at <= now)
            c.out.push_back(std::move(piece));
        else
            c.delayed.emplace(at, std::move(piece));
    }
}

// Flags kMirrorFlags take the client's; flags 0 deflate when the client's
// frames are deflated, since that is what the client reads 0 as.
std::string LineServer::encode_text(const Conn& c, const std::string& text, int flags) const {
    uint8_t f = flags == kMirrorFlags ? c.client_flags : static_cast<uint8_t>(flags);
    bool deflate = f == 0 ? (c.client_flags & kFrameCompressed) : (f & kFrameCompressed);
    return line_frame(f, deflate ? deflate_bytes(text) : text);
}

// Moves due delayed answers to the output, then writes what is due until
// the socket would block.
void LineServer::flush_conn(Conn& c, Clock::time_point now) {
    while (!c.delayed.empty() && c.delayed.begin()->first <= now) {
        Conn::Piece piece = std::move(c.delayed.begin()->second);
        piece.not_before = now;
        c.out.push_back(std::move(piece));
        c.delayed.erase(c.delayed.begin());
    }
    while (!c.out.empty() && c.out.front().not_before <= now) {
        Conn::Piece& p = c.out.front();
        if (p.action == Conn::RESET) {
            linger lg{1, 0};
            setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            finish_conn(c);
            return;
        }
        if (p.action == Conn::FIN) {
            shutdown(c.fd, SHUT_WR);
            c.delayed.clear();
        }
        while (c.out_pos < p.bytes.size()) {
            ssize_t n = send(c.fd, p.bytes.data() + c.out_pos, p.bytes.size() - c.out_pos,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                finish_conn(c);
                return;
            }
            c.out_pos += static_cast<size_t>(n);
        }
        c.out_pos = 0;
        c.out.pop_front();
    }
}

void LineServer::finish_conn(Conn& c) {
    close(c.fd);
    c.fd = -1;
    c.closed = true;
    c.out.clear();
    c.out_pos = 0;
    c.delayed.clear();
    changed_.notify_all();
}

// Milliseconds until the next delayed answer or paced piece falls due; -1 when none.
int LineServer::poll_timeout_ms(Clock::time_point now) const {
    std::optional<Clock::time_point> next;
    for (const auto& c : conns_) {
        if (c->closed) continue;
        if (!c->delayed.empty() && (!next || c->delayed.begin()->first < *next))
            next = c->delayed.begin()->first;
        // A due piece waits for POLLOUT, not for the clock.
        auto head = c->out.empty() ? now : c->out.front().not_before;
        if (head > now && (!next || head < *next)) next = head;
    }
    if (!next) return -1;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*next - now).count();
    return static_cast<int>(ms) + 1;
}

LineServer::Conn* LineServer::find_conn(int conn) {
    if (conns_.empty()) return nullptr;
    size_t i = conn == kLastConn ? conns_.size() - 1 : static_cast<size_t>(conn);
    if (i >= conns_.size() || conns_[i]->closed) return nullptr;
    return conns_[i].get();
}

}  // namespace nuvra_test
