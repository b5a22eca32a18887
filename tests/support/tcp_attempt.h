#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "network.h"
#include "support/loop_thread.h"

namespace nuvra_test {

// What one client attempt and its stream reported. Touched on the network
// thread only (read it through run_on_loop / wait_on_loop).
struct TcpAttempt {
    std::shared_ptr<mynet::NetworkTcpStream> stream;
    int connected = 0;
    int failed = 0;
    int closed = 0;
    int code = 0;
    std::string reason;
    bool isipv6 = false;
    int udp_port = 0;
    bool reported_inside_connect = false;
    std::string data;
    std::vector<size_t> pieces;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point ended;

    long long elapsed_ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(ended - started).count();
    }
};

// Creates a client (through proxy_host:proxy_port when proxy_host is not
// empty), lets prepare adjust it and connects. Call on the network thread.
// The attempt does not own the client: the library keeps it alive itself.
inline std::shared_ptr<TcpAttempt> start_tcp_attempt(
    const std::string& host, int port, uint32_t timeout_ms, const std::string& proxy_host = "", int proxy_port = 0,
    const std::function<void(mynet::NetworkTcpClient&)>& prepare = {}) {
    auto attempt = std::make_shared<TcpAttempt>();
    std::weak_ptr<TcpAttempt> weak = attempt;
    mynet::my_proxy_host = proxy_host;
    mynet::my_proxy_port = proxy_port;
    auto client = std::make_shared<mynet::NetworkTcpClient>(host, port, timeout_ms);
    mynet::my_proxy_host = "";
    mynet::my_proxy_port = 0;
    client->onConnected([weak](mynet::NetworkTcpClient* c, mynet::NetworkTcpStream* s) {
        auto a = weak.lock();
        if (!a) return;
        ++a->connected;
        a->ended = std::chrono::steady_clock::now();
        a->isipv6 = c->isipv6;
        if (c->s5) a->udp_port = c->s5->get_socks5_udp_port();
        a->stream = s->shared_from_this();
        s->onData([weak](mynet::NetworkTcpStream*, mynet::ByteBuffer& bb) {
            if (auto a2 = weak.lock()) {
                a2->pieces.push_back(bb->remaining());
                a2->data += bb->getString();
            }
        });
        s->onClosed([weak](mynet::NetworkTcpStream*) {
            if (auto a2 = weak.lock()) ++a2->closed;
        });
    });
    client->onConnFail([weak](mynet::NetworkTcpClient*, int code, std::string reason) {
        auto a = weak.lock();
        if (!a) return;
        ++a->failed;
        a->ended = std::chrono::steady_clock::now();
        a->code = code;
        a->reason = reason;
    });
    if (prepare) prepare(*client);
    attempt->started = std::chrono::steady_clock::now();
    client->connect();
    attempt->reported_inside_connect = attempt->failed + attempt->connected > 0;
    return attempt;
}

// Closes the attempt's stream, if any, and lets go of it. Call on the
// network thread.
inline void finish_tcp_attempt(TcpAttempt& a) {
    if (a.stream && !a.stream->isClosed) a.stream->close();
    a.stream.reset();
}

// start_tcp_attempt called from a test thread: runs it on the network thread.
inline std::shared_ptr<TcpAttempt> connect_on_loop(
    const std::string& host, int port, uint32_t timeout_ms, const std::string& proxy_host = "", int proxy_port = 0,
    const std::function<void(mynet::NetworkTcpClient&)>& prepare = {}) {
    std::shared_ptr<TcpAttempt> a;
    run_on_loop([&] { a = start_tcp_attempt(host, port, timeout_ms, proxy_host, proxy_port, prepare); });
    return a;
}

// finish_tcp_attempt called from a test thread.
inline void finish_on_loop(const std::shared_ptr<TcpAttempt>& a) {
    run_on_loop([&] { finish_tcp_attempt(*a); });
}

}  // namespace nuvra_test
