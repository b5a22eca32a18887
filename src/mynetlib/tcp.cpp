#include "tcp.h"

#include <netdb.h>

#include <algorithm>
#include <cstring>

#include "log.h"
#include "loop.h"
#include "socks5.h"

namespace mynet {

namespace {


NetworkTcpStream::tcp_t* record_of(void* handle) { return reinterpret_cast<NetworkTcpStream::tcp_t*>(handle); }

void uv_on_getaddrinfo_done(uv_getaddrinfo_t* req, int status, addrinfo* res) {
    auto* r = reinterpret_cast<NetworkTcpClient::tcp_addr_t*>(req);
    std::shared_ptr<NetworkTcpClient> client = std::move(r->obj);
    client->tcp_addr = nullptr;
    delete r;
    client->on_resolved(status, res);
}

void uv_on_tcp_connect_done(uv_connect_t* req, int status) {
    auto* r = reinterpret_cast<NetworkTcpClient::tcp_conn_t*>(req);
    std::shared_ptr<NetworkTcpClient> client = std::move(r->obj);
    client->tcp_conn = nullptr;
    delete r;
    client->on_connect_done(status);
}

// The attempt's handle has closed: free the record (and a handshake's
// stream with it), then report the failure.
void uv_on_tcp_client_close(uv_handle_t* handle) {
    NetworkTcpStream::tcp_t* rec = record_of(handle);
    std::shared_ptr<NetworkTcpClient> client = std::move(rec->client);
    std::shared_ptr<NetworkTcpStream> stream = std::move(rec->stream);
    if (stream) stream->tcp = nullptr;
    client->tcp = nullptr;
    delete rec;
    stream.reset();
    NetworkTcpClient::OnConnFail f = client->m_onConnFail;
    if (f) f(client.get(), client->m_fail_code, client->m_fail_str);
}

void uv_on_tcp_close(uv_handle_t* handle) {
    NetworkTcpStream::tcp_t* rec = record_of(handle);
    std::shared_ptr<NetworkTcpStream> stream = std::move(rec->stream);
    stream->tcp = nullptr;
    delete rec;
    stream->isClosed = true;
    NetworkTcpStream::OnClosed f = stream->m_onClosed;
    if (f) f(stream.get());
}

// libuv reads into the buffer and hands the bytes over before it asks for a
// buffer again, and every read copies them out: one buffer serves every
// stream of the network thread, so an idle connection holds none.
char g_read_buf[2048];

void uv_on_tcp_alloc(uv_handle_t*, size_t, uv_buf_t* buf) {
    buf->base = g_read_buf;
    buf->len = sizeof(g_read_buf);
}

void uv_on_tcp_recv(uv_stream_t* handle, ssize_t nread, const uv_buf_t*) {
    NetworkTcpStream::tcp_t* rec = record_of(handle);
    std::shared_ptr<NetworkTcpStream> stream = rec->stream;
    if (nread < 0) {
        // During a handshake the attempt fails as a whole, with this code.
        if (rec->client) rec->client->m_fail_code = static_cast<int>(nread);
        stream->close();
        return;
    }
    if (nread == 0) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : todo %s : %d \n", log_time(), source_file_name(__FILE__), __LINE__);
        return;
    }
    ByteBuffer bb = std::make_shared<_ByteBuffer>(g_read_buf, static_cast<int>(nread));
    // Held: the callback may replace itself (the handshake hands over).
    std::shared_ptr<const NetworkTcpStream::OnData> f = stream->m_ondata;
    if (f && *f) (*f)(stream.get(), bb);
}

// Requests of finished writes, kept for the next ones: a busy line writes
// once a loop turn, and a kept request brings its buffer lists' room along.
// A few are kept for the whole network thread, so an idle line holds none.
constexpr size_t kKeptRequests = 16;

std::vector<NetworkTcpStream::my_send_req*>& kept_requests() {
    // Never destroyed: the network thread may still write while the process exits.
    static auto* kept = new std::vector<NetworkTcpStream::my_send_req*>();
    return *kept;
}

NetworkTcpStream::my_send_req* take_request() {
    std::vector<NetworkTcpStream::my_send_req*>& kept = kept_requests();
    if (kept.empty()) return new NetworkTcpStream::my_send_req();
    NetworkTcpStream::my_send_req* r = kept.back();
    kept.pop_back();
    return r;
}

void give_back(NetworkTcpStream::my_send_req* r) {
    r->bufs.clear();
    r->bbs.clear();
    std::vector<NetworkTcpStream::my_send_req*>& kept = kept_requests();
    if (kept.size() < kKeptRequests) {
        kept.push_back(r);
    } else {
        delete r;
    }
}

// Each buffer of the write is accounted and reported on its own, in order, as
// if it had been written alone: the marks fire at the same byte counts.
void report_write(NetworkTcpStream& stream, NetworkTcpStream::my_send_req& r, int status) {
    if (status != 0) {
        for (const uv_buf_t& b : r.bufs) stream.buf_size -= static_cast<uint32_t>(b.len);
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] send error. %d %s", log_time(), status, uv_strerror_all(status));
        stream.close();
        return;
    }
    for (size_t i = 0; i < r.bufs.size(); ++i) {
        stream.buf_size -= static_cast<uint32_t>(r.bufs[i].len);
        NetworkTcpStream::OnDataSent sent = stream.m_onsent;
        if (sent) sent(&stream, r.bbs[i]);
        if (stream.buf_size < stream.buf_low && !stream.isLowed) {
            stream.isLowed = true;
            stream.isHighed = false;
            NetworkTcpStream::OnBufLow low = stream.m_onbuflow;
            if (low) low(&stream, stream.buf_size);
        }
    }
}

// The request is done with before it is kept again: what the reports start
// (a new write, a close) takes a request of its own.
void uv_on_tcp_send_done(uv_write_t* req, int status) {
    auto* r = reinterpret_cast<NetworkTcpStream::my_send_req*>(req);
    std::shared_ptr<NetworkTcpStream> stream = std::move(r->obj);
    report_write(*stream, *r, status);
    give_back(r);
}

// Streams holding a gathered write. The prepare handle runs right before the
// loop polls, so a send from any callback (timer, posted work, read) still
// leaves in the turn it was made; it is armed only while streams wait.
struct Flusher {
    uv_prepare_t handle;
    std::vector<std::shared_ptr<NetworkTcpStream>> streams;
    // The streams being flushed; kept with its room from turn to turn.
    std::vector<std::shared_ptr<NetworkTcpStream>> flushing;
};

void uv_on_flush(uv_prepare_t* handle);

Flusher& flusher() {
    static Flusher* f = [] {
        auto* created = new Flusher();
        uv_prepare_init(uv_default_loop(), &created->handle);
        created->handle.data = created;
        // The streams' own handles keep the loop alive, not this one.
        uv_unref(reinterpret_cast<uv_handle_t*>(&created->handle));
        return created;
    }();
    return *f;
}

void queue_flush(std::shared_ptr<NetworkTcpStream> stream) {
    Flusher& f = flusher();
    if (f.streams.empty()) uv_prepare_start(&f.handle, uv_on_flush);
    f.streams.push_back(std::move(stream));
}

void uv_on_flush(uv_prepare_t* handle) {
    auto* f = static_cast<Flusher*>(handle->data);
    while (!f->streams.empty()) {
        f->flushing.swap(f->streams);
        for (const std::shared_ptr<NetworkTcpStream>& s : f->flushing) s->flush();
        f->flushing.clear();
    }
    uv_prepare_stop(handle);
}

}  // namespace

NetworkTcpClient::NetworkTcpClient(const std::string& host, int port, uint32_t timeout)
    : tcp(new NetworkTcpStream::tcp_t()), peer_host(host), m_peer_port(port), m_timeout(timeout) {
    if (!my_proxy_host.empty()) {
        proxy_host = my_proxy_host;
        m_proxy_port = my_proxy_port;
        s5 = std::make_shared<Socks5Proxy>(proxy_host, m_proxy_port, host, port);
        m_timeout *= 3;
    }
}

NetworkTcpClient::~NetworkTcpClient() {
    // An initialised handle's record is freed by its close callback only.
    if (tcp && !m_handle_inited) delete tcp;
}

void NetworkTcpClient::connect() {
    if (m_handle_inited || isClosed) return;
    std::shared_ptr<NetworkTcpClient> self = shared_from_this();
    int ret = uv_tcp_init(uv_default_loop(), &tcp->handle);
    if (ret != 0) {
        log_uv_fatal(__FILE__, __LINE__, ret);
        m_fail_code = ret;
        m_fail_str = uv_err_name_all(ret);
        isClosed = true;
        report_fail_later();
        return;
    }
    m_handle_inited = true;
    tcp->client = self;
    // Weak: the record holds the client until the attempt ends, and the end
    // stops the time-out.
    std::weak_ptr<NetworkTcpClient> weak = self;
    m_timeout_timer = std::make_shared<Timer>();
    m_timeout_timer->start(static_cast<int>(m_timeout), 1, [weak](Timer* t) {
        t->close();
        if (std::shared_ptr<NetworkTcpClient> client = weak.lock()) client->on_timeout();
    });
    if (isIP(peer_host)) {
        connect_literal();
    } else {
        resolve_host();
    }
}

void NetworkTcpClient::stop_timeout() {
    if (m_timeout_timer) m_timeout_timer->close();
    m_timeout_timer.reset();
}

void NetworkTcpClient::on_timeout() {
    m_timeout_timer.reset();
    if (isConnected || isClosed) return;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] tcp connect timeout to %s:%d", log_time(), peer_host.c_str(),
             m_peer_port);
    m_fail_code = UV_ETIMEDOUT;
    close();
}

void NetworkTcpClient::connect_literal() {
    if (peer_host.find(':') != std::string::npos) {
        isipv6 = true;
        int ret = uv_ip6_addr(peer_host.c_str(), m_peer_port, &peer_addr.v6);
        if (ret != 0) {
            PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] wrong ipv6 addr %s", log_time(), peer_host.c_str());
            m_fail_code = ret;
            close();
            return;
        }
    } else {
        int ret = uv_ip4_addr(peer_host.c_str(), m_peer_port, &peer_addr.v4);
        if (ret != 0) {
            PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] wrong ipv4 addr %s", log_time(), peer_host.c_str());
            m_fail_code = ret;
            close();
            return;
        }
    }
    if (prepare_proxy_addr() != 0) return;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] connect to %s", log_time(), peer_host.c_str());
    _do_connect();
}

// With a proxy, its address must be usable before anything is connected.
int NetworkTcpClient::prepare_proxy_addr() {
    if (!s5) return 0;
    int ret = s5->build_proxy_addr();
    if (ret != 0) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] wrong proxy ipv4 addr %s", log_time(), proxy_host.c_str());
        m_fail_code = ret;
        close();
    }
    return ret;
}

void NetworkTcpClient::resolve_host() {
    if (prepare_proxy_addr() != 0) return;
    peer_addr.v4.sin_family = AF_INET;
    peer_addr.v4.sin_port = htons(static_cast<uint16_t>(m_peer_port));
    tcp_addr = new tcp_addr_t();
    tcp_addr->obj = shared_from_this();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // A name with a NUL in it would be resolved as its first part.
    int ret = peer_host.find('\0') != std::string::npos
                  ? UV_EINVAL
                  : uv_getaddrinfo(uv_default_loop(), &tcp_addr->req_addr, uv_on_getaddrinfo_done, peer_host.c_str(),
                                   nullptr, &hints);
    if (ret != 0) {
        delete tcp_addr;
        tcp_addr = nullptr;
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] getaddrinfo error: %s %d %s ", log_time(), peer_host.c_str(),
                 ret, uv_err_name_all(ret));
        m_fail_code = ret;
        close();
    }
}

void NetworkTcpClient::on_resolved(int status, addrinfo* res) {
    if (status != 0) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] on get addr error :", log_time());
        if (!isClosed) {
            m_fail_code = status;
            close();
        }
        return;
    }
    if (isClosed) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] Client Closed before getaddrinfo", log_time());
    } else if (res && res->ai_family == AF_INET) {
        peer_addr.v4.sin_addr = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
        if (s5) {
            // The proxy is asked for the resolved address, never for the name.
            char ip[INET_ADDRSTRLEN] = {0};
            uv_ip4_name(&peer_addr.v4, ip, sizeof(ip));
            s5->peer_host = ip;
        }
        _do_connect();
    } else {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] UNREACHABLE", log_time());
        m_fail_code = UV_EAI_FAMILY;
        close();
    }
    uv_freeaddrinfo(res);
}

void NetworkTcpClient::_do_connect() {
    tcp_conn = new tcp_conn_t();
    tcp_conn->obj = shared_from_this();
    const sockaddr* dst = s5 ? reinterpret_cast<const sockaddr*>(&s5->proxy_addr)
                             : reinterpret_cast<const sockaddr*>(&peer_addr);
    int ret = uv_tcp_connect(&tcp_conn->req_conn, &tcp->handle, dst, uv_on_tcp_connect_done);
    if (ret != 0) {
        // The local reference keeps this client alive past the request.
        std::shared_ptr<NetworkTcpClient> self = std::move(tcp_conn->obj);
        delete tcp_conn;
        tcp_conn = nullptr;
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] on tcp connect failed1 : %d %s", log_time(), ret,
                 uv_err_name_all(ret));
        m_fail_code = ret;
        m_fail_str = uv_err_name_all(ret);
        close();
    }
}

void NetworkTcpClient::on_connect_done(int status) {
    if (status != 0) {
        m_fail_code = status;
        m_fail_str = uv_strerror_all(status);
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] on tcp connect failed2 : %s:%u %d %s", log_time(),
                 peer_host.c_str(), static_cast<unsigned>(m_peer_port), status, m_fail_str.c_str());
        if (!isClosed) close();
        return;
    }
    if (isClosed) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] tcp conntected when close", log_time());
        return;
    }
    tcp->stream = std::make_shared<NetworkTcpStream>(tcp);
    NetworkTcpStream* stream = tcp->stream.get();
    stream->resume();
    if (!s5) {
        hand_over();
        return;
    }
    // Weak: the stream must not keep its client alive once handed over.
    std::weak_ptr<NetworkTcpClient> weak = shared_from_this();
    stream->onData([weak](NetworkTcpStream* conn, ByteBuffer& bb) {
        std::shared_ptr<NetworkTcpClient> client = weak.lock();
        if (!client) return;
        std::shared_ptr<Socks5Proxy> proxy = client->s5;
        proxy->handle_socks5_connect(client.get(), conn, bb);
    });
    s5->start_socks5_connect(stream);
}

void NetworkTcpClient::proxy_connected() { hand_over(); }

// From here on the record, and through it the stream, belongs to the stream
// until its own close callback.
void NetworkTcpClient::hand_over() {
    // A client closed during its handshake reports through its close instead.
    if (isClosed) return;
    isConnected = true;
    stop_timeout();
    NetworkTcpStream::tcp_t* rec = tcp;
    tcp = nullptr;
    std::shared_ptr<NetworkTcpClient> self = std::move(rec->client);
    NetworkTcpStream* stream = rec->stream.get();
    OnConnected f = m_onConnected;
    if (f) f(this, stream);
}

void NetworkTcpClient::close() {
    if (isClosed || isConnected) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] close when closed", log_time());
        return;
    }
    isClosed = true;
    stop_timeout();
    if (!m_handle_inited) {
        report_fail_later();
        return;
    }
    // A handshake's stream goes down with the attempt.
    if (tcp->stream) {
        tcp->stream->isClosed = true;
        tcp->stream->issue_write(true);
    }
    uv_close(reinterpret_cast<uv_handle_t*>(&tcp->handle), uv_on_tcp_client_close);
}

// Without a handle there is no close callback to report from.
void NetworkTcpClient::report_fail_later() {
    std::shared_ptr<NetworkTcpClient> self = shared_from_this();
    do_later(0, [self] {
        OnConnFail f = self->m_onConnFail;
        if (f) f(self.get(), self->m_fail_code, self->m_fail_str);
    });
}

NetworkTcpStream::NetworkTcpStream(tcp_t* record) : tcp(record) {
    int len = sizeof(m_peer);
    uv_tcp_getpeername(&record->handle, reinterpret_cast<sockaddr*>(&m_peer), &len);
    m_remote_ip = getRemoteAddr().getHostString();
}

void NetworkTcpStream::resume() {
    if (isReading) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] resume when reading", log_time());
        return;
    }
    if (isClosed) return;
    isReading = true;
    int ret = uv_read_start(reinterpret_cast<uv_stream_t*>(&tcp->handle), uv_on_tcp_alloc, uv_on_tcp_recv);
    if (ret != 0) log_uv_fatal(__FILE__, __LINE__, ret);
}

void NetworkTcpStream::send(const ByteBuffer& bb) {
    if (isClosed) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] %p is closed", log_time(), static_cast<void*>(this));
        return;
    }
    if (!m_gathered) {
        m_gathered = take_request();
        m_gathered->obj = shared_from_this();
        queue_flush(m_gathered->obj);
    }
    m_gathered->bufs.push_back(uv_buf_init(const_cast<char*>(bb->data()), bb->remaining()));
    m_gathered->bbs.push_back(bb);
    buf_size += bb->remaining();
    if (buf_size > buf_high && !isHighed) {
        isHighed = true;
        isLowed = false;
        OnBufHigh f = m_onbufhigh;
        if (f) f(this, buf_size);
    }
}

void NetworkTcpStream::send(const char* p, int len) { send(std::make_shared<_ByteBuffer>(p, len)); }

void NetworkTcpStream::close() {
    if (isClosed) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] close when closed", log_time());
        return;
    }
    if (tcp->client) {
        // Still handshaking: the attempt fails as a whole, reported once.
        std::shared_ptr<NetworkTcpClient> client = tcp->client;
        client->close();
        return;
    }
    isClosed = true;
    // Written as far as the socket takes it now; libuv cancels the rest.
    issue_write(true);
    uv_close(reinterpret_cast<uv_handle_t*>(&tcp->handle), uv_on_tcp_close);
}

void NetworkTcpStream::flush() { issue_write(false); }

// What the socket takes at once is written here and now; a write that
// leaves whole is reported at once too, sparing libuv's request, its later
// callback and a change of the poll set. Only the rest goes through
// uv_write. A close writes through uv_write alone, so that nothing is
// reported inside close().
void NetworkTcpStream::issue_write(bool closing) {
    my_send_req* req = m_gathered;
    if (!req) return;
    m_gathered = nullptr;
    ++m_writes_issued;
    auto* handle = reinterpret_cast<uv_stream_t*>(&tcp->handle);
    size_t written = 0;
    if (!closing && uv_stream_get_write_queue_size(handle) == 0) {
        const int n = uv_try_write(handle, req->bufs.data(), static_cast<unsigned>(req->bufs.size()));
        if (n > 0) written = static_cast<size_t>(n);
    }
    // The request keeps the whole buffer list for the accounting; libuv
    // copies the list of what is left.
    std::vector<uv_buf_t> rest;
    for (const uv_buf_t& b : req->bufs) {
        const size_t used = std::min(written, b.len);
        written -= used;
        if (used < b.len) rest.push_back(uv_buf_init(b.base + used, static_cast<unsigned>(b.len - used)));
    }
    if (rest.empty()) {
        uv_on_tcp_send_done(&req->req, 0);
        return;
    }
    int ret = uv_write(&req->req, handle, rest.data(), static_cast<unsigned>(rest.size()), uv_on_tcp_send_done);
    // Refused at once: reported like a write that failed.
    if (ret != 0) uv_on_tcp_send_done(&req->req, ret);
}

InetSocketAddress NetworkTcpStream::getRemoteAddr() const {
    return InetSocketAddress(reinterpret_cast<const sockaddr*>(&m_peer));
}

}  // namespace mynet
