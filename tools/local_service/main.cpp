// A small signaling service on loopback for trying the library offline:
// discovery, a line server and a telemetry collector behind the library's
// built-in addresses. Stops cleanly on SIGINT and SIGTERM.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "server.h"
#include "service_options.h"

namespace {

int g_stop_pipe[2] = {-1, -1};

void on_signal(int) {
    char c = 1;
    ssize_t ignored = write(g_stop_pipe[1], &c, 1);
    (void)ignored;
}

}  // namespace

int main(int argc, char** argv) {
    local_service::ServiceOptions options;
    std::string error;
    if (!local_service::parse_options(argc, argv, &options, &error)) {
        std::fprintf(stderr, "nuvra_local_service: %s\n%s", error.c_str(), local_service::kUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(local_service::kUsage, stdout);
        return 0;
    }
    if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    local_service::Server server(options);
    if (!server.open(&error)) {
        std::fprintf(stderr, "nuvra_local_service: cannot bind %s\n", error.c_str());
        return 1;
    }
    local_service::log_line(server.ready_line());
    server.run(g_stop_pipe[0]);
    local_service::log_line("stopped");
    return 0;
}
