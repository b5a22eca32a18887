#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "socks5_answer.h"

namespace {

// How a handshake ends, driven the way the proxy client drives it: the method
// answer, then the command answer, then tunnel bytes.
struct Outcome {
    mynet::Socks5Answer method;
    mynet::Socks5Answer command;
    bool refused = false;
    bool connected = false;
    int relay_port = 0;  // UDP ASSOCIATE only
    std::string tunnel;

    bool operator==(const Outcome& o) const {
        return method.complete == o.method.complete && method.ver == o.method.ver && method.code == o.method.code &&
               command.complete == o.command.complete && command.ver == o.command.ver &&
               command.code == o.command.code && command.port == o.command.port && refused == o.refused &&
               connected == o.connected && relay_port == o.relay_port && tunnel == o.tunnel;
    }
};

Outcome handshake(bool udp, const std::string& bytes, const std::vector<size_t>& sizes) {
    mynet::Socks5AnswerReader reader;
    Outcome out;
    size_t pos = 0;
    for (size_t size : sizes) {
        const std::string piece = bytes.substr(pos, size);
        pos += size;
        if (out.connected) {
            out.tunnel += piece;
            continue;
        }
        reader.append(piece.data(), piece.size());
        if (!out.method.complete) {
            out.method = reader.take_select_answer();
            if (!out.method.complete) continue;
            if (!out.method.ok()) {
                out.refused = true;
                break;
            }
        }
        out.command = reader.take_command_answer();
        if (!out.command.complete) continue;
        if (!out.command.ok()) {
            out.refused = true;
            break;
        }
        out.connected = true;
        if (udp) out.relay_port = out.command.port;
        out.tunnel = reader.take_rest();
    }
    return out;
}

int sbyte(const std::string& s, size_t i) { return static_cast<signed char>(s[i]); }

}  // namespace

// Byte 0 picks UDP ASSOCIATE (bit 0) or CONNECT, bytes 1-2 a split point and
// byte 3 the seed of random pieces; the rest is what the proxy sends. However
// the bytes are split, the handshake ends the same way, and that way is what
// the bytes say.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const bool udp = data[0] & 1;
    const std::string bytes(reinterpret_cast<const char*>(data) + 4, size - 4);
    const size_t n = bytes.size();
    const size_t split = (size_t{data[1]} << 8 | data[2]) % (n + 1);

    const Outcome whole = handshake(udp, bytes, {n});
    if (!(handshake(udp, bytes, std::vector<size_t>(n, 1)) == whole)) __builtin_trap();
    if (!(handshake(udp, bytes, {split, n - split}) == whole)) __builtin_trap();
    std::minstd_rand random(data[3] + 1u);
    std::vector<size_t> pieces;
    for (size_t left = n; left > 0;) {
        const size_t piece = std::min<size_t>(left, 1 + random() % 16);
        pieces.push_back(piece);
        left -= piece;
    }
    if (!(handshake(udp, bytes, pieces) == whole)) __builtin_trap();

    if (n < 2) {
        if (whole.method.complete) __builtin_trap();
        return 0;
    }
    if (whole.method.ver != sbyte(bytes, 0) || whole.method.code != sbyte(bytes, 1)) __builtin_trap();
    if (!whole.method.ok()) {
        if (!whole.refused || whole.command.complete) __builtin_trap();
        return 0;
    }
    if (n < 4) {
        if (whole.command.complete) __builtin_trap();
        return 0;
    }
    if (whole.command.ver != sbyte(bytes, 2) || whole.command.code != sbyte(bytes, 3)) __builtin_trap();
    if (!whole.command.ok()) {
        if (!whole.refused) __builtin_trap();
        return 0;
    }
    const size_t answer = mynet::socks5_command_answer_size(bytes.data() + 2, n - 2);
    if (whole.connected != (answer > 0)) __builtin_trap();
    if (!whole.connected) return 0;
    if (answer < 7 || whole.tunnel != bytes.substr(2 + answer)) __builtin_trap();
    const int port = static_cast<uint8_t>(bytes[answer]) << 8 | static_cast<uint8_t>(bytes[answer + 1]);
    if (whole.relay_port != (udp ? port : 0)) __builtin_trap();
    return 0;
}
