#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "byte_buffer.h"
#include "net_util.h"
#include "socks5_answer.h"

namespace mynet {

class NetworkTcpClient;
class NetworkTcpStream;

// The process-wide proxy: "" means none. Clients copy it when created.
extern std::string my_proxy_host;
extern int my_proxy_port;

// Wire structures of the no-authentication, IPv4 subset of SOCKS5; multi-byte
// fields in network byte order. Packed: they are copied to and from the wire
// as they lie.
#pragma pack(push, 1)
struct SOCKS5SELECTREQUEST {
    uint8_t ver;
    uint8_t nmethods;
    uint8_t method;
};
struct SOCKS5SELECTANSWER {
    uint8_t ver;
    uint8_t method;
};
struct SOCKS5COMMANDREQUEST {
    uint8_t ver;
    uint8_t cmd;
    uint8_t rsv;
    uint8_t type;
    uint32_t addr;
    uint16_t port;
};
struct SOCK5COMMANDANSWER {
    uint8_t ver;
    uint8_t rep;
    uint8_t rsv;
    uint8_t type;
    uint32_t addr;
    uint16_t port;
};
// Before every datagram to and from the UDP relay.
struct SOCKS5UDPHEADER {
    uint16_t rsv;
    uint8_t frag;
    uint8_t type;
    uint32_t addr;
    uint16_t port;
};
#pragma pack(pop)

static_assert(sizeof(SOCKS5SELECTREQUEST) == 3, "wire layout");
static_assert(sizeof(SOCKS5SELECTANSWER) == 2, "wire layout");
static_assert(sizeof(SOCKS5COMMANDREQUEST) == 10, "wire layout");
static_assert(sizeof(SOCK5COMMANDANSWER) == 10, "wire layout");
static_assert(sizeof(SOCKS5UDPHEADER) == 10, "wire layout");

// The state of one handshake on one TCP connection to the proxy.
class Socks5Proxy {
public:
    enum proxy_conn_status {
        PROXY_STATUS_INIT = 0,
        PROXY_STATUS_WAIT = 1,
        PROXY_STATUS_AUTH = 2,
        PROXY_STATUS_CONNECT = 3,
        PROXY_STATUS_CONNECTED = 4,
        PROXY_STATUS_DISCONNECT = 5,
    };
    enum socks5_type {
        SOCKS5_TCP = 0,
        SOCKS5_UDP = 1,
    };

    Socks5Proxy(std::string proxy_host, int proxy_port, std::string peer_host, int peer_port);

    // Makes the handshake a UDP ASSOCIATE announcing the local port.
    void set_socks5_udp_port(int port);
    // The relay port from the proxy's answer to a UDP ASSOCIATE.
    int get_socks5_udp_port() const { return udp_send_port; }
    // 0, or libuv's code when proxy_host is not an IPv4 literal.
    int build_proxy_addr();
    void build_select_request(char* buf) const;
    void build_command_request(char* buf) const;
    void start_socks5_connect(NetworkTcpStream* conn);
    // Takes one received piece; answers may arrive split or followed by
    // tunnel data, which goes on to the stream's new owner.
    void handle_socks5_connect(NetworkTcpClient* tcp, NetworkTcpStream* conn, const ByteBuffer& bb);

    Addr_IN proxy_addr{};
    std::string proxy_host;
    int proxy_port;
    std::string peer_host;
    int peer_port;
    proxy_conn_status m_proxy_status = PROXY_STATUS_INIT;
    socks5_type m_socks5_type = SOCKS5_TCP;
    int udp_recv_port = 0;
    int udp_send_port = 0;
    // Bytes received in the current state and not yet consumed.
    Socks5AnswerReader m_answers;

    void on_select_answer(NetworkTcpClient* tcp, NetworkTcpStream* conn, const Socks5Answer& ans);
    void on_command_answer(NetworkTcpClient* tcp, NetworkTcpStream* conn, const Socks5Answer& ans);
    void fail(NetworkTcpClient* tcp, int code);
};

}  // namespace mynet
