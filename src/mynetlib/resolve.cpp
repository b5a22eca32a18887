#include "resolve.h"

#include <netdb.h>
#include <uv.h>

#include <memory>

#include "loop.h"
#include "log.h"
#include "net_util.h"

namespace mynet {

namespace {

// One resolution in flight. The first of libuv's answer (or the immediate
// failure that stands for it) and the time-out gives the result. An answer
// stops the time-out and frees the record; after a time-out the record waits
// for libuv's late answer, which frees it.
struct tcp_getaddrinfo_t {
    uv_getaddrinfo_t req_addr;
    std::string hostname;
    OnResolveResult f;
    int nEnd = 0;  // 1 once f has been called
    std::shared_ptr<Timer> timeout;
};

// The answer came: the time-out has nothing left to do.
void stop_timeout(tcp_getaddrinfo_t* r) {
    if (r->timeout) r->timeout->close();
    r->timeout.reset();
}

// Marks the result as given and hands over f; the caller calls it last.
OnResolveResult take_result_function(tcp_getaddrinfo_t* r) {
    r->nEnd = 1;
    OnResolveResult f = std::move(r->f);
    r->f = nullptr;
    return f;
}

void call(const OnResolveResult& f, int code, const std::string& error, std::list<std::string>& addresses) {
    if (f) f(code, error, addresses);
}

std::list<std::string> address_texts(const addrinfo* res) {
    std::list<std::string> out;
    for (const addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
        char text[INET6_ADDRSTRLEN] = {0};
        if (ai->ai_family == AF_INET) {
            uv_inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr, text, sizeof(text));
        } else if (ai->ai_family == AF_INET6) {
            uv_inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr, text, sizeof(text));
        } else {
            PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] UNREACHABLE uv_on_getaddrinfo_done2 ai_family %d",
                     log_time(), ai->ai_family);
            continue;
        }
        out.emplace_back(text);
    }
    return out;
}

void uv_on_getaddrinfo_done2(uv_getaddrinfo_t* req, int status, addrinfo* res) {
    auto* r = static_cast<tcp_getaddrinfo_t*>(req->data);
    PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] uv_on_getaddrinfo_done2 status: %s %d", log_time(),
             r->hostname.c_str(), status);
    if (r->nEnd == 1) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] uv_on_getaddrinfo_done2 already timeout: %s", log_time(),
                 r->hostname.c_str());
        uv_freeaddrinfo(res);
        delete r;
        return;
    }
    std::list<std::string> addresses;
    std::string error;
    if (status == 0) {
        addresses = address_texts(res);
    } else {
        error = uv_strerror_all(status);
    }
    uv_freeaddrinfo(res);
    stop_timeout(r);
    OnResolveResult f = take_result_function(r);
    delete r;
    call(f, status, error, addresses);
}

void on_resolve_timeout(tcp_getaddrinfo_t* r) {
    r->timeout.reset();
    PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] getaddrinfo timeout: %s ", log_time(), r->hostname.c_str());
    OnResolveResult f = take_result_function(r);
    std::list<std::string> none;
    call(f, -1, "timeout", none);
}

}  // namespace

int resolve_hostname(std::string host, OnResolveResult f, int timeout_ms) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] resolve_hostname : \"%s\" ", log_time(), host.c_str());
    if (host.empty()) return -1;

    auto* r = new tcp_getaddrinfo_t();
    r->hostname = host;
    r->f = std::move(f);
    r->req_addr.data = r;
    r->timeout = std::make_shared<Timer>();
    r->timeout->start(timeout_ms, 1, [r](Timer* t) {
        t->close();
        on_resolve_timeout(r);
    });

    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = 0;
    int ret = uv_getaddrinfo(uv_default_loop(), &r->req_addr, uv_on_getaddrinfo_done2, host.c_str(), nullptr, &hints);
    if (ret != 0) {
        const char* name = uv_err_name_all(ret);
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] getaddrinfo error: %s %d %s ", log_time(), host.c_str(), ret,
                 name);
        // libuv will never answer.
        stop_timeout(r);
        OnResolveResult failed = take_result_function(r);
        delete r;
        std::list<std::string> none;
        call(failed, ret, name, none);
        return ret;
    }
    return 0;
}

}  // namespace mynet
