#pragma once

#include <uv.h>

#include <functional>
#include <memory>
#include <string>

#include "byte_buffer.h"
#include "net_util.h"

namespace mynet {

// A UDP socket; after init() it keeps itself alive until its close completes.
// Callers call init() right after std::make_shared.
class NetworkUdp : public std::enable_shared_from_this<NetworkUdp> {
public:
    using OnData = std::function<void(const InetSocketAddress& sender, ByteBuffer& data)>;
    using OnClosed = std::function<void()>;

    struct udp_t {
        uv_udp_t handle;
        std::shared_ptr<NetworkUdp> obj;
    };
    struct my_send_req {
        uv_udp_send_t req;
        uv_buf_t buf;
        ByteBuffer bb;
        Addr_IN addr_in;
    };

    NetworkUdp();
    NetworkUdp(const NetworkUdp&) = delete;
    NetworkUdp& operator=(const NetworkUdp&) = delete;

    void init();
    void onData(const OnData& f) { m_onData = f; }
    void onClosed(const OnClosed& f) { m_onClosed = f; }
    // 0, -1 for an address text that does not parse, else the libuv code.
    int bind(const std::string& ip, int port);
    // One datagram of bb's bytes [position, limit) to an IP literal.
    void send(std::string host, int port, const ByteBuffer& bb);
    void close();
    // Closed, closing, or without a handle: nothing may reach libuv.
    bool unusable() const;

    bool m_start_recv = false;
    udp_t udp;
    OnData m_onData = [](const InetSocketAddress&, ByteBuffer&) {};
    OnClosed m_onClosed = [] {};
    bool isClosed = false;
};

}  // namespace mynet
