// One discovery request to one address, directly or through a SOCKS5 UDP
// association.
#include "if_linkd.h"
#include "lbs_wire.h"
#include "log.h"
#include "socks5.h"
#include "zlib_helpers.h"

namespace {

constexpr int kProxyReleaseMs = 10000;

// Resends of an unanswered job: the send count it needs and the time after
// which it goes out; the slow profile skips every other one.
struct Resend {
    int n;
    uint64_t after_ms;
    bool skipped_when_slow;
};
constexpr Resend kResends[] = {
    {1, 200, true}, {2, 600, false}, {3, 1400, true}, {4, 3000, false}, {5, 4600, true}, {6, 6200, false},
};

}  // namespace

InterfaceLinkD::ULBS_Job::ULBS_Job(InterfaceLinkD* ld, int login_session, std::string ip, int port, std::string appid)
    : ld(ld),
      ld_alive(ld->m_lifeline.watch()),
      udp(std::make_shared<mynet::NetworkUdp>()),
      t0(mynet::mono_time_ms()),
      login_session(login_session),
      ip(std::move(ip)),
      port(port),
      appid(std::move(appid)) {}

void InterfaceLinkD::ULBS_Job::send() {
    n += 1;
    if (is_closed || !ld_alive.alive() || !ld->lbs_is_current(login_session)) return;
    if (!mynet::my_proxy_host.empty()) {
        connect_socks5_proxy();
    } else {
        _send();
    }
}

void InterfaceLinkD::ULBS_Job::_send() {
    std::string text = lbs_wire::request_text(appid, ld->_fake_lbs_ip);
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s send req %s %d : %s", mynet::log_time(), "ulbs", ip.c_str(), n,
             appid.c_str());
    std::string payload = zlib_compress(text);
    if (payload.empty()) return;
    if (!is_socks5_connected) {
        udp->send(ip, port, std::make_shared<mynet::_ByteBuffer>(payload));
        return;
    }
    std::string datagram = lbs_wire::socks5_udp_datagram(ip, port, payload);
    if (datagram.empty()) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] %s wrong addr : %s", mynet::log_time(), "socks5 udp", ip.c_str());
        return;
    }
    udp->send(mynet::my_proxy_host, udp_port, std::make_shared<mynet::_ByteBuffer>(datagram));
}

void InterfaceLinkD::ULBS_Job::start_timer() {
    // The tick owns the job until the job closes it.
    std::shared_ptr<ULBS_Job> self = shared_from_this();
    m_timer.start(kTickMs, [self] { self->tick(); });
}

void InterfaceLinkD::ULBS_Job::tick() {
    ticks += 1;
    on_tick(ticks >= kTicks);
}

void InterfaceLinkD::ULBS_Job::on_tick(bool last) {
    if (!ld_alive.alive()) {
        close();
        return;
    }
    uint64_t dt = mynet::elapsed_ms(t0, mynet::mono_time_ms());
    // Each test sees the count left by the one before, so a late tick may
    // send several times.
    for (const Resend& r : kResends) {
        if (!is_end && n == r.n && dt > r.after_ms && !(r.skipped_when_slow && ld->_slow_ulbs)) send();
    }
    if (!is_closed && (dt > kLifeMs || last)) close();
}

void InterfaceLinkD::ULBS_Job::close() {
    if (is_closed) return;
    is_closed = true;
    udp->close();
    for (const auto& weak : proxy_streams) {
        std::shared_ptr<mynet::NetworkTcpStream> stream = weak.lock();
        if (stream && !stream->isClosed) stream->close();
    }
    proxy_streams.clear();
    // Last: the tick's function holds the job, which may go with it.
    m_timer.close();
}

void InterfaceLinkD::ULBS_Job::connect_socks5_proxy() {
    auto client = std::make_shared<mynet::NetworkTcpClient>(mynet::my_proxy_host, mynet::my_proxy_port);
    if (client->s5) client->s5->set_socks5_udp_port(0);
    std::weak_ptr<ULBS_Job> weak = shared_from_this();
    client->onConnected([weak](mynet::NetworkTcpClient* c, mynet::NetworkTcpStream* stream) {
        std::shared_ptr<ULBS_Job> job = weak.lock();
        if (!job || job->is_closed || !job->ld_alive.alive() || !c->s5) {
            stream->close();
            return;
        }
        job->on_proxy_associated(c->s5->get_socks5_udp_port(), stream->shared_from_this());
    });
    client->onConnFail([weak](mynet::NetworkTcpClient*, int code, std::string reason) {
        if (std::shared_ptr<ULBS_Job> job = weak.lock()) job->is_socks5_connected = false;
        PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s socks5 tcp conn failed (%d: %s)", mynet::log_time(), "ulbs", code,
                 reason.c_str());
    });
    client->connect();
}

void InterfaceLinkD::ULBS_Job::on_proxy_associated(int relay_port, std::shared_ptr<mynet::NetworkTcpStream> stream) {
    is_socks5_connected = true;
    udp_port = relay_port;
    PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] socks5 proxy server connected, new assign port is %d", mynet::log_time(),
             relay_port);
    std::weak_ptr<ULBS_Job> weak = shared_from_this();
    stream->onClosed([weak](mynet::NetworkTcpStream*) {
        if (std::shared_ptr<ULBS_Job> job = weak.lock()) job->is_socks5_connected = false;
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] socks5 proxy tcp closed", mynet::log_time());
    });
    proxy_streams.push_back(stream);
    _send();
    // The delayed close holds the stream, so a stream closed meanwhile (by
    // the proxy or by the job) is only looked at, never freed under it.
    mynet::do_later(kProxyReleaseMs, [stream] {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] release proxy tcp connection", mynet::log_time());
        if (!stream->isClosed) stream->close();
    });
}
