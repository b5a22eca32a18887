#include "if_linkd.h"

#include <algorithm>

#include "line_frame.h"
#include "log.h"

namespace {

constexpr int kReceiveBufferSize = 1048576;
constexpr int kWatchdogPeriodMs = 500;

}  // namespace

InterfaceLinkD::ConnInfo::ConnInfo() : in_buf(std::make_shared<mynet::_ByteBuffer>(kReceiveBufferSize)) {}

void InterfaceLinkD::ConnInfo::init() {
    timer = std::make_shared<mynet::Timer>();
    auto self = shared_from_this();
    timer->start(kWatchdogPeriodMs, -1, [self](mynet::Timer*) { self->watchdog_tick(); });
}

void InterfaceLinkD::ConnInfo::conn_send_msg(const std::string& s) {
    if (!conn) return;
    mynet::ByteBuffer frame;
    const int built = line_frame_build(s, flag, frame);
    if (built != LINE_FRAME_BUILT) {
        // An empty or cut frame would be read as a different message.
        PlatLog2(kLogError, kLogPlatform, "%llu : %-15s send error : %s [%u %u] %.100s", mynet::log_time(), tag().c_str(),
                 built == LINE_FRAME_COMPRESS_FAILED ? "compress failed" : "too long", flag,
                 static_cast<unsigned>(s.size()), s.c_str());
        return;
    }
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s send : [%u %u] %.100s", mynet::log_time(), tag().c_str(), flag,
             frame->remaining() - kLineFrameHeader, s.c_str());
    conn->send(frame);
}

int InterfaceLinkD::ConnInfo::unpack_msg(mynet::ByteBuffer& in_buf, std::list<std::string>& msgs) {
    return line_frame_cut(*in_buf, flag, tag(), msgs);
}

int InterfaceLinkD::ConnInfo::receive(const mynet::ByteBuffer& piece, std::list<std::string>& msgs) {
    in_buf->compact();
    if (in_buf->remaining() < piece->remaining()) {
        PlatLog2(kLogError, kLogPlatform, "%llu : %-15s recv buffer overflow %u %u", mynet::log_time(), tag().c_str(),
                 in_buf->remaining(), piece->remaining());
        in_buf->flip();
        return -2;
    }
    in_buf->put(piece);
    in_buf->flip();
    return unpack_msg(in_buf, msgs);
}

void InterfaceLinkD::ConnInfo::sendping() {
    ++ping_i;
    conn_send_msg("line_ping:" + itoa(ping_i));
    last_ping_send_time = mynet::mono_time_ms();
}

void InterfaceLinkD::ConnInfo::close() {
    if (timer) {
        timer->close();
        timer.reset();
    }
    close_stream();
}

// A pong stamped in the same millisecond as its ping answers it.
void InterfaceLinkD::ConnInfo::watchdog_tick() {
    if (!conn) return;
    const uint64_t now = mynet::mono_time_ms();
    if (state == CONN_STATE_CONNECTED) {
        if (mynet::elapsed_ms(login_time, now) > static_cast<uint64_t>(std::max(login_timeout, 0))) {
            PlatLog2(kLogInfo, kLogPlatform, "%llu : line login timeout %u", mynet::log_time(), connid);
            close_stream();
        }
    } else if (state == CONN_STATE_LOGINED) {
        const bool answered = last_pong_recv_time >= last_ping_send_time;
        const uint64_t ping_time = static_cast<uint64_t>(std::max(this2->m_config_ping_time, 0));
        if (!this2->m_isbackground && answered && mynet::elapsed_ms(last_pong_recv_time, now) > ping_time) {
            sendping();
        } else if (!answered &&
                   mynet::elapsed_ms(last_ping_send_time, now) > static_cast<uint64_t>(std::max(ping_timeout, 0))) {
            close_stream();
        }
    }
}

// The stream reports its close later, through the connect step's callback.
void InterfaceLinkD::ConnInfo::close_stream() {
    if (!conn) return;
    mynet::NetworkTcpStream* stream = conn;
    conn = nullptr;
    stream->close();
}

std::string InterfaceLinkD::ConnInfo::tag() const { return std::string("tcp.") + connid; }

void InterfaceLinkD::stop_conn() {
    if (m_conn_info) m_conn_info->close();
}

void InterfaceLinkD::on_pong(const LineText& t) {
    const uint64_t now = mynet::mono_time_ms();
    t.info->last_pong_recv_time = now;
    m_last_active_time = now;
}
