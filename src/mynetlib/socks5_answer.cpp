#include "socks5_answer.h"

namespace mynet {

namespace {

constexpr size_t kSelectAnswerSize = 2;
constexpr size_t kIPv4AnswerSize = 10;
constexpr size_t kIPv6AnswerSize = 22;
constexpr size_t kNameAnswerFixed = 7;

int sbyte(char c) { return static_cast<int>(static_cast<signed char>(c)); }

}  // namespace

size_t socks5_command_answer_size(const char* p, size_t n) {
    if (n < 4) return 0;
    size_t size = kIPv4AnswerSize;
    if (p[3] == 4) {
        size = kIPv6AnswerSize;
    } else if (p[3] == 3) {
        if (n < 5) return 0;
        size = kNameAnswerFixed + static_cast<unsigned char>(p[4]);
    }
    return n < size ? 0 : size;
}

int socks5_command_answer_port(const char* p, size_t size) {
    return (static_cast<unsigned char>(p[size - 2]) << 8) | static_cast<unsigned char>(p[size - 1]);
}

Socks5Answer Socks5AnswerReader::take_select_answer() {
    Socks5Answer a;
    if (pending.size() < kSelectAnswerSize) return a;
    a.complete = true;
    a.ver = sbyte(pending[0]);
    a.code = sbyte(pending[1]);
    pending.erase(0, kSelectAnswerSize);
    return a;
}

Socks5Answer Socks5AnswerReader::take_command_answer() {
    Socks5Answer a;
    if (pending.size() < 2) return a;
    a.ver = sbyte(pending[0]);
    a.code = sbyte(pending[1]);
    if (!a.ok()) {
        a.complete = true;
        pending.clear();
        return a;
    }
    const size_t size = socks5_command_answer_size(pending.data(), pending.size());
    if (size == 0) return a;
    a.complete = true;
    a.port = socks5_command_answer_port(pending.data(), size);
    pending.erase(0, size);
    return a;
}

std::string Socks5AnswerReader::take_rest() {
    std::string rest;
    rest.swap(pending);
    return rest;
}

}  // namespace mynet
