#pragma once

// The sockets of the local service and the one thread that serves them: the
// line server's TCP listener and connections, the discovery ports and the
// telemetry collector, all on one loopback address, driven by poll().

#include <sys/socket.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "line_service.h"
#include "service_options.h"
#include "wire.h"

namespace local_service {

class Server {
public:
    explicit Server(ServiceOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds every socket; false with the reason when one cannot be bound.
    bool open(std::string* error);
    // "ready ..." naming every address served, once open succeeded.
    std::string ready_line() const;
    // Serves until stop_fd becomes readable.
    void run(int stop_fd);

private:
    struct Conn {
        int fd = -1;
        FrameReader reader;
        std::string out;
        bool doomed = false;  // closed once the current event is handled
    };

    void accept_all();
    void read_conn(int id);
    void write_conn(Conn& c);
    void send_text(int id, const std::string& text);
    void close_doomed();
    void serve_discovery(int fd);
    void serve_telemetry(int fd);
    std::string endpoint(uint16_t port) const;

    ServiceOptions m_options;
    uint16_t m_line_port = 0;
    int m_listen_fd = -1;
    std::vector<int> m_discovery_fds;
    int m_telemetry_fd = -1;
    int m_next_conn = 0;
    std::map<int, Conn> m_conns;
    std::unique_ptr<LineService> m_line;
};

// Writes one time-stamped line to standard output at once.
void log_line(const std::string& line);

}  // namespace local_service
