#pragma once

#include <sys/socket.h>
#include <uv.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "byte_buffer.h"
#include "net_util.h"

namespace mynet {

class NetworkTcpClient;
class Socks5Proxy;
class Timer;

// A connected TCP stream: reads in pieces of at most 2048 bytes (through one
// read buffer shared by every stream), queues
// writes without copying and reports its own close exactly once. Everything
// sent during one loop turn goes out as one write request (one writev), issued
// right before the loop next waits for events.
class NetworkTcpStream : public std::enable_shared_from_this<NetworkTcpStream> {
public:
    using OnData = std::function<void(NetworkTcpStream*, ByteBuffer&)>;
    using OnDataSent = std::function<void(NetworkTcpStream*, ByteBuffer&)>;
    using OnClosed = std::function<void(NetworkTcpStream*)>;
    using OnBufLow = std::function<void(NetworkTcpStream*, unsigned int queued)>;
    using OnBufHigh = std::function<void(NetworkTcpStream*, unsigned int queued)>;

    // The connection record. While an attempt runs it holds the client; once
    // the connection is handed over it holds the stream instead, until the
    // close callback frees it. The handle comes first: its address is the
    // record's.
    struct tcp_t {
        uv_tcp_t handle;
        std::shared_ptr<NetworkTcpClient> client;
        std::shared_ptr<NetworkTcpStream> stream;
    };
    // One write of the buffers sent during one loop turn, in order; bufs[i]
    // covers bbs[i]'s bytes as they were accounted when sent.
    struct my_send_req {
        uv_write_t req;
        std::vector<uv_buf_t> bufs;
        std::vector<ByteBuffer> bbs;
        std::shared_ptr<NetworkTcpStream> obj;
    };

    explicit NetworkTcpStream(tcp_t* record);
    NetworkTcpStream(const NetworkTcpStream&) = delete;
    NetworkTcpStream& operator=(const NetworkTcpStream&) = delete;

    void onData(const OnData& f) { m_ondata = f; }
    void onClosed(const OnClosed& f) { m_onClosed = f; }
    void onSent(const OnDataSent& f) { m_onsent = f; }
    void onBufLow(const OnBufLow& f) { m_onbuflow = f; }
    void onBufHigh(const OnBufHigh& f) { m_onbufhigh = f; }
    void setBufHigh(uint32_t n) { buf_high = n; }
    void setBufLow(uint32_t n) { buf_low = n; }

    // Queues bb's bytes [position, limit); bb must stay unchanged until written.
    void send(const ByteBuffer& bb);
    void send(const char* p, int len);
    void close();
    // Issues the write gathered during this loop turn, if any.
    void flush();
    void resume();
    // The peer as it was when the connection came up; valid after close too.
    InetSocketAddress getRemoteAddr() const;
    std::string getRemoteIP() const { return m_remote_ip; }
    int getFD() const { return 0; }

    // Null once the close callback has freed the record.
    tcp_t* tcp;
    OnData m_ondata = [](NetworkTcpStream*, ByteBuffer&) {};
    OnClosed m_onClosed = [](NetworkTcpStream*) {};
    OnDataSent m_onsent = [](NetworkTcpStream*, ByteBuffer&) {};
    OnBufLow m_onbuflow = [](NetworkTcpStream*, unsigned int) {};
    OnBufHigh m_onbufhigh = [](NetworkTcpStream*, unsigned int) {};
    bool isClosed = false;
    bool isReading = false;
    bool isHighed = false;
    bool isLowed = true;
    uint32_t buf_size = 0;
    uint32_t buf_high = 0x100000;
    uint32_t buf_low = 0x8000;
    sockaddr_storage m_peer{};
    // m_peer as text, made once: every answer on a line reports it.
    std::string m_remote_ip;
    void issue_write(bool closing);

    // The write being gathered during this loop turn; null when none.
    my_send_req* m_gathered = nullptr;
    // Write requests issued so far, one per loop turn that sent anything.
    uint64_t m_writes_issued = 0;
};

// One outgoing connection attempt with its own time-out, optionally through
// the process-wide SOCKS5 proxy. Reports exactly one of OnConnected and
// OnConnFail, never inside connect().
class NetworkTcpClient : public std::enable_shared_from_this<NetworkTcpClient> {
public:
    using OnConnected = std::function<void(NetworkTcpClient*, NetworkTcpStream*)>;
    using OnConnFail = std::function<void(NetworkTcpClient*, int code, std::string reason)>;

    struct tcp_conn_t {
        uv_connect_t req_conn;
        std::shared_ptr<NetworkTcpClient> obj;
    };
    struct tcp_addr_t {
        uv_getaddrinfo_t req_addr;
        std::shared_ptr<NetworkTcpClient> obj;
    };

    // Through a proxy the time-out covers the handshake too and is tripled.
    NetworkTcpClient(const std::string& host, int port, uint32_t timeout = 6000);
    ~NetworkTcpClient();
    NetworkTcpClient(const NetworkTcpClient&) = delete;
    NetworkTcpClient& operator=(const NetworkTcpClient&) = delete;

    void onConnected(const OnConnected& f) { m_onConnected = f; }
    void onConnFail(const OnConnFail& f) { m_onConnFail = f; }
    // Starts the one attempt of this client; later calls do nothing.
    void connect();
    // Ends the attempt before the hand-over; OnConnFail follows later.
    void close();
    // The SOCKS5 handshake succeeded: hand the stream over.
    void proxy_connected();
    void _do_connect();

    std::shared_ptr<Socks5Proxy> s5;
    bool isipv6 = false;
    // Null once the record belongs to the stream or has been freed.
    NetworkTcpStream::tcp_t* tcp;
    tcp_conn_t* tcp_conn = nullptr;
    tcp_addr_t* tcp_addr = nullptr;
    Addr_IN peer_addr{};
    std::string peer_host;
    int m_peer_port;
    std::string proxy_host;
    int m_proxy_port = 0;
    bool isClosed = false;
    bool isConnected = false;
    OnConnected m_onConnected = [](NetworkTcpClient*, NetworkTcpStream*) {};
    OnConnFail m_onConnFail = [](NetworkTcpClient*, int, std::string) {};
    // Failures without a libuv code of their own keep this one.
    int m_fail_code = UV_ECONNABORTED;
    std::string m_fail_str;
    uint32_t m_timeout;
    // Runs from connect() until the attempt connects or ends.
    std::shared_ptr<Timer> m_timeout_timer;
    // The handle was initialised, so only a close callback may free the record.
    bool m_handle_inited = false;

    // Internal steps, driven by libuv's callbacks.
    void on_timeout();
    void stop_timeout();
    void connect_literal();
    void resolve_host();
    void on_resolved(int status, addrinfo* res);
    void on_connect_done(int status);
    int prepare_proxy_addr();
    void hand_over();
    void report_fail_later();
};

}  // namespace mynet
