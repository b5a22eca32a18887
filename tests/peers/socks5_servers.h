#pragma once

#include <sys/types.h>

#include <string>

namespace nuvra_test {

// A real SOCKS5 server run as a child process on a free port of one of this
// process's own loopback addresses (host()), where no other process can take
// the port between its choice and the server's bind: danted (CONNECT and UDP
// ASSOCIATE, destinations limited to 127.0.0.0/8) or microsocks (CONNECT
// only); both connect out from 127.0.0.1. Its configuration and log live in a temporary
// directory that goes with it.
class Socks5Server {
public:
    enum Kind { DANTED, MICROSOCKS };

    explicit Socks5Server(Kind kind);
    ~Socks5Server();
    Socks5Server(const Socks5Server&) = delete;
    Socks5Server& operator=(const Socks5Server&) = delete;

    // Starts the server and waits until it listens; false with error() set
    // when it cannot run here.
    bool start();
    void stop();
    const std::string& host() const { return m_host; }
    int port() const { return m_port; }
    const std::string& error() const { return m_error; }

private:
    bool launch(int port);
    std::string read_log() const;

    Kind m_kind;
    std::string m_host;
    std::string m_dir;
    int m_port = 0;
    pid_t m_pid = -1;
    std::string m_error;
};

}  // namespace nuvra_test
