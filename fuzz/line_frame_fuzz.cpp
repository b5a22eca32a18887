#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "line_frame.h"
#include "log.h"

namespace {

bool drop_line(const char*) { return true; }

}  // namespace

// The first byte is the connection flag, the rest arrives from the server.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    SetLogSink2(drop_line);
    const uint32_t conn_flag = data[0];
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    auto rx = std::make_shared<mynet::_ByteBuffer>(static_cast<int>(bytes.size()));
    rx->put(bytes);
    rx->flip();
    std::list<std::string> msgs;
    const int result = line_frame_cut(*rx, conn_flag, "tcp.1", msgs);
    if (result != 0 && result != -1) __builtin_trap();
    if (rx->m_position > rx->m_limit) __builtin_trap();
    // What is left is one incomplete frame at most.
    if (result == 0 && rx->remaining() >= 4) {
        const auto* p = reinterpret_cast<const unsigned char*>(rx->data());
        const uint32_t length = uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
        if (length <= rx->remaining()) __builtin_trap();
    }

    // Whatever this side writes, it reads back as the same text.
    mynet::ByteBuffer frame;
    if (line_frame_build(bytes, conn_flag, frame) == LINE_FRAME_BUILT) {
        std::list<std::string> back;
        if (line_frame_cut(*frame, conn_flag, "tcp.1", back) != 0) __builtin_trap();
        if (back.size() != 1 || back.front() != bytes || frame->remaining() != 0) __builtin_trap();
    }
    return 0;
}
