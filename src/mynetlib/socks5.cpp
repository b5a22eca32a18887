#include "socks5.h"

#include <arpa/inet.h>
#include <uv.h>

#include <cstring>

#include "log.h"
#include "loop.h"
#include "tcp.h"

namespace mynet {

std::string my_proxy_host;
int my_proxy_port = 0;

Socks5Proxy::Socks5Proxy(std::string proxy_host_, int proxy_port_, std::string peer_host_, int peer_port_)
    : proxy_host(std::move(proxy_host_)),
      proxy_port(proxy_port_),
      peer_host(std::move(peer_host_)),
      peer_port(peer_port_) {}

void Socks5Proxy::set_socks5_udp_port(int port) {
    m_socks5_type = SOCKS5_UDP;
    udp_recv_port = port;
}

int Socks5Proxy::build_proxy_addr() {
    // The text must be the literal as a whole, not a prefix before a NUL.
    if (proxy_host.find('\0') != std::string::npos) return UV_EINVAL;
    return uv_ip4_addr(proxy_host.c_str(), proxy_port, &proxy_addr.v4);
}

void Socks5Proxy::build_select_request(char* buf) const {
    SOCKS5SELECTREQUEST req{5, 1, 0};
    memcpy(buf, &req, sizeof(req));
}

void Socks5Proxy::build_command_request(char* buf) const {
    SOCKS5COMMANDREQUEST req{};
    req.ver = 5;
    req.rsv = 0;
    req.type = 1;
    if (m_socks5_type == SOCKS5_TCP) {
        req.cmd = 1;
        req.addr = inet_addr(peer_host.c_str());
        req.port = htons(static_cast<uint16_t>(peer_port));
    } else {
        req.cmd = 3;
        req.addr = 0;
        req.port = htons(static_cast<uint16_t>(udp_recv_port));
    }
    memcpy(buf, &req, sizeof(req));
}

void Socks5Proxy::start_socks5_connect(NetworkTcpStream* conn) {
    m_proxy_status = PROXY_STATUS_WAIT;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] start auth socks5, %s:%d", log_time(), proxy_host.c_str(),
             proxy_port);
    std::string greeting(sizeof(SOCKS5SELECTREQUEST), '\0');
    build_select_request(&greeting[0]);
    std::shared_ptr<NetworkTcpStream> stream = conn->shared_from_this();
    do_later(0, [stream, greeting] { stream->send(greeting.data(), static_cast<int>(greeting.size())); });
    m_proxy_status = PROXY_STATUS_AUTH;
}

void Socks5Proxy::handle_socks5_connect(NetworkTcpClient* tcp, NetworkTcpStream* conn, const ByteBuffer& bb) {
    if (m_proxy_status != PROXY_STATUS_AUTH && m_proxy_status != PROXY_STATUS_CONNECT) return;
    m_answers.append(bb->data(), bb->remaining());
    bb->m_position = bb->m_limit;
    if (m_proxy_status == PROXY_STATUS_AUTH) {
        Socks5Answer ans = m_answers.take_select_answer();
        if (!ans.complete) return;
        on_select_answer(tcp, conn, ans);
    }
    if (m_proxy_status == PROXY_STATUS_CONNECT) {
        Socks5Answer ans = m_answers.take_command_answer();
        if (!ans.complete) return;
        on_command_answer(tcp, conn, ans);
    }
}

void Socks5Proxy::on_select_answer(NetworkTcpClient* tcp, NetworkTcpStream* conn, const Socks5Answer& ans) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] proxy server auth answer ack, ver is %d, method is %d: %s, %d",
             log_time(), ans.ver, ans.code, proxy_host.c_str(), proxy_port);
    if (!ans.ok()) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] socks5 auth is not allowed %s", log_time(),
                 proxy_host.c_str());
        m_proxy_status = PROXY_STATUS_DISCONNECT;
        fail(tcp, UV_ECONNREFUSED);
        return;
    }
    if (tcp->isipv6) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] socks5 does not support peer ipv4 addr temporary %s",
                 log_time(), peer_host.c_str());
        m_proxy_status = PROXY_STATUS_DISCONNECT;
        fail(tcp, UV_EAFNOSUPPORT);
        return;
    }
    char req[sizeof(SOCKS5COMMANDREQUEST)];
    build_command_request(req);
    conn->send(req, sizeof(req));
    m_proxy_status = PROXY_STATUS_CONNECT;
}

void Socks5Proxy::on_command_answer(NetworkTcpClient* tcp, NetworkTcpStream* conn, const Socks5Answer& ans) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] proxy server cmd answer ack, ver is %d, rep is %d", log_time(),
             ans.ver, ans.code);
    if (!ans.ok()) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] connection cannot be established, error: %d", log_time(),
                 ans.code);
        m_proxy_status = PROXY_STATUS_INIT;
        fail(tcp, UV_ECONNREFUSED);
        return;
    }
    m_proxy_status = PROXY_STATUS_CONNECTED;
    if (m_socks5_type == SOCKS5_UDP) udp_send_port = ans.port;
    std::string rest = m_answers.take_rest();
    tcp->proxy_connected();
    // Tunnel bytes that came with the answer belong to the new owner.
    if (rest.empty() || conn->isClosed) return;
    ByteBuffer data = std::make_shared<_ByteBuffer>(rest);
    std::shared_ptr<const NetworkTcpStream::OnData> f = conn->m_ondata;
    if (f && *f) (*f)(conn, data);
}

void Socks5Proxy::fail(NetworkTcpClient* tcp, int code) {
    tcp->m_fail_code = code;
    tcp->close();
}

}  // namespace mynet
