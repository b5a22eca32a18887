// A small signaling service on loopback for trying the library offline:
// discovery, a line server and a telemetry collector behind the library's
// built-in addresses. Stops cleanly on SIGINT and SIGTERM.

#include <sys/signalfd.h>

#include <csignal>
#include <cstdio>

#include "server.h"
#include "service_options.h"

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
    // The stop signals are taken as readable data rather than by a handler:
    // nothing runs asynchronously, and no runtime can defer a handler and
    // lose the stop.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) != 0) return 1;
    int stop_fd = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (stop_fd < 0) return 1;
    signal(SIGPIPE, SIG_IGN);

    local_service::Server server(options);
    if (!server.open(&error)) {
        std::fprintf(stderr, "nuvra_local_service: cannot bind %s\n", error.c_str());
        return 1;
    }
    local_service::log_line(server.ready_line());
    server.run(stop_fd);
    local_service::log_line("stopped");
    return 0;
}
