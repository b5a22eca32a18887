#pragma once

#include <cstddef>
#include <string>

namespace mynet {

// Length of the complete command answer at the start of the n bytes at p, by
// its address type (IPv4 10, IPv6 22, name 7 plus its length; any other type
// counts as IPv4); 0 while too few bytes have arrived to tell.
size_t socks5_command_answer_size(const char* p, size_t n);
// The port (host order) in the last two bytes of a complete command answer.
int socks5_command_answer_port(const char* p, size_t size);

// One answer of the proxy, read from the front of the bytes received in its
// state.
struct Socks5Answer {
    // False while more bytes must arrive first.
    bool complete = false;
    // The version byte and the method (method answer) or the reply code
    // (command answer), as signed bytes: that is how they are logged.
    int ver = 0;
    int code = 0;
    // The port of a complete, successful command answer, host order.
    int port = 0;

    bool ok() const { return ver == 5 && code == 0; }
};

// The bytes of one handshake received and not yet consumed: the method
// answer, then the command answer, each of which may arrive split anywhere;
// bytes after the command answer already belong to the tunnel.
struct Socks5AnswerReader {
    void append(const char* p, size_t n) { pending.append(p, n); }
    // The 2-byte method answer, consumed once complete.
    Socks5Answer take_select_answer();
    // A refusal is known from its first two bytes and consumes everything;
    // success needs the whole answer, whose length depends on its address
    // type, and consumes only it.
    Socks5Answer take_command_answer();
    // Everything not consumed, leaving the reader empty.
    std::string take_rest();

    std::string pending;
};

}  // namespace mynet
