#include "if_linkd.h"

#include <algorithm>

#include "line_frame.h"
#include "log.h"

namespace {

// Input not yet cut into frames that a line may hold.
constexpr uint32_t kReceiveBufferSize = 1048576;
constexpr int kWatchdogPeriodMs = 500;

}  // namespace

InterfaceLinkD::ConnInfo::ConnInfo() : in_buf(std::make_shared<mynet::_ByteBuffer>(0)) {}

void InterfaceLinkD::ConnInfo::init() {
    auto self = shared_from_this();
    timer.start(kWatchdogPeriodMs, [self] { self->watchdog_tick(); });
}

void InterfaceLinkD::ConnInfo::conn_send_msg(const std::string& s, const std::string& logged) {
    if (!conn) return;
    mynet::ByteBuffer frame;
    const int built = line_frame_build(s, flag, frame);
    if (built != LINE_FRAME_BUILT) {
        // An empty or cut frame would be read as a different message.
        PlatLog2(kLogError, kLogPlatform, "%llu : %-15s send error : %s [%u %u] %.100s", mynet::log_time(), tag().c_str(),
                 built == LINE_FRAME_COMPRESS_FAILED ? "compress failed" : "too long", flag,
                 static_cast<unsigned>(s.size()), logged.c_str());
        return;
    }
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s send : [%u %u] %.100s", mynet::log_time(), tag().c_str(), flag,
             frame->remaining() - kLineFrameHeader, logged.c_str());
    conn->send(frame);
}

int InterfaceLinkD::ConnInfo::unpack_msg(mynet::ByteBuffer& in_buf, std::list<std::string>& msgs) {
    return line_frame_cut(*in_buf, flag, tag(), msgs);
}

// Most pieces hold whole frames: with nothing held back they are cut where
// they lie, and only an unfinished frame is kept. The buffer grows with what
// it holds and is freed once that has been cut, so an idle line holds none.
int InterfaceLinkD::ConnInfo::receive(const mynet::ByteBuffer& piece, std::list<std::string>& msgs) {
    const uint32_t held = in_buf->remaining();
    if (kReceiveBufferSize - held < piece->remaining()) {
        PlatLog2(kLogError, kLogPlatform, "%llu : %-15s recv buffer overflow %u %u", mynet::log_time(), tag().c_str(),
                 kReceiveBufferSize - held, piece->remaining());
        return -2;
    }
    if (held == 0) {
        const int cut = line_frame_cut(*piece, flag, tag(), msgs);
        hold(*piece);
        return cut;
    }
    hold(*piece);
    const int cut = unpack_msg(in_buf, msgs);
    if (in_buf->remaining() == 0) in_buf->resize(0);
    return cut;
}

void InterfaceLinkD::ConnInfo::hold(mynet::_ByteBuffer& bytes) {
    const uint32_t n = bytes.remaining();
    if (n == 0) return;
    const uint32_t held = in_buf->remaining();
    if (in_buf->m_capacity - held < n) {
        // Doubling keeps a large frame arriving piece by piece from copying
        // everything held at every piece.
        in_buf->resize(std::min(std::max(held + n, 2 * in_buf->m_capacity), kReceiveBufferSize));
    }
    in_buf->compact();
    in_buf->put(bytes.data(), n);
    in_buf->flip();
    bytes.m_position = bytes.m_limit;
}

void InterfaceLinkD::ConnInfo::sendping() {
    ++ping_i;
    conn_send_msg("line_ping:" + itoa(ping_i));
    last_ping_send_time = mynet::mono_time_ms();
}

void InterfaceLinkD::ConnInfo::close() {
    timer.close();
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
