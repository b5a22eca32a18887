#include "udp.h"

#include <cstring>

#include "loop.h"
#include "log.h"

namespace mynet {

namespace {

NetworkUdp* owner(uv_handle_t* handle) { return static_cast<NetworkUdp*>(handle->data); }

// Each datagram is copied out before libuv asks for a buffer again, so one
// buffer serves every socket of the network thread.
char g_read_buf[2048];

void uv_on_udp_alloc(uv_handle_t*, size_t, uv_buf_t* buf) { *buf = uv_buf_init(g_read_buf, sizeof(g_read_buf)); }

void uv_on_udp_recv(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buf, const sockaddr* addr, unsigned) {
    NetworkUdp* self = owner(reinterpret_cast<uv_handle_t*>(handle));
    if (nread < 0) {
        self->close();
        return;
    }
    if (nread == 0) return;
    ByteBuffer data = std::make_shared<_ByteBuffer>(buf->base, static_cast<int>(nread));
    InetSocketAddress sender(addr);
    NetworkUdp::OnData f = self->m_onData;
    if (f) f(sender, data);
}

void uv_on_udp_send_done(uv_udp_send_t* req, int status) {
    auto* r = static_cast<NetworkUdp::my_send_req*>(req->data);
    if (status != 0)
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] send error. %d %s", log_time(), status,
                 uv_strerror_all(status));
    delete r;
}

void uv_on_udp_close(uv_handle_t* handle) {
    NetworkUdp* self = owner(handle);
    self->isClosed = true;
    // Declared first so that it goes last: the socket may die with it.
    std::shared_ptr<NetworkUdp> keep = std::move(self->udp.obj);
    NetworkUdp::OnClosed f = self->m_onClosed;
    if (f) f();
}

}  // namespace

NetworkUdp::NetworkUdp() {
    std::memset(&udp.handle, 0, sizeof(udp.handle));
    PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] uv_udp_init", log_time());
    int ret = uv_udp_init(uv_default_loop(), &udp.handle);
    if (ret != 0) {
        log_uv_fatal(__FILE__, __LINE__, ret);
        // Without a handle there is nothing to bind, send on or close.
        isClosed = true;
        return;
    }
    udp.handle.data = this;
}

void NetworkUdp::init() {
    if (!unusable()) udp.obj = shared_from_this();
}

bool NetworkUdp::unusable() const {
    return isClosed || uv_is_closing(reinterpret_cast<const uv_handle_t*>(&udp.handle));
}

int NetworkUdp::bind(const std::string& ip, int port) {
    Addr_IN addr;
    if (parse_ip(ip, port, "udp bind", &addr) != 0) return -1;
    // libuv would give a closed handle a new socket.
    int ret = unusable() ? UV_EBADF : uv_udp_bind(&udp.handle, reinterpret_cast<const sockaddr*>(&addr), 0);
    if (ret != 0) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] udp bind failed %d %s", log_time(), ret, uv_strerror_all(ret));
        return ret;
    }
    ret = uv_udp_recv_start(&udp.handle, uv_on_udp_alloc, uv_on_udp_recv);
    if (ret != 0) {
        log_uv_fatal(__FILE__, __LINE__, ret);
        return ret;
    }
    return 0;
}

void NetworkUdp::send(std::string host, int port, const ByteBuffer& bb) {
    auto* r = new my_send_req();
    r->req.data = r;
    r->bb = bb;
    r->buf = uv_buf_init(const_cast<char*>(bb->data()), bb->remaining());
    if (parse_ip(host, port, "udp send", &r->addr_in) != 0) {
        delete r;
        return;
    }
    // libuv aborts on a send to a closing handle and reopens a closed one.
    int ret = unusable() ? UV_EBADF
                         : uv_udp_send(&r->req, &udp.handle, &r->buf, 1,
                                       reinterpret_cast<const sockaddr*>(&r->addr_in), uv_on_udp_send_done);
    if (ret != 0) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] send udp error : %d %s ", log_time(), ret,
                 uv_strerror_all(ret));
        delete r;
    }
}

void NetworkUdp::close() {
    if (unusable()) return;
    uv_close(reinterpret_cast<uv_handle_t*>(&udp.handle), uv_on_udp_close);
}

}  // namespace mynet
