#include "byte_buffer.h"

#include <algorithm>
#include <cstring>

#include "log.h"
#include "loop.h"

namespace mynet {

_ByteBuffer::_ByteBuffer(int n)
    : m_limit(static_cast<uint32_t>(std::max(n, 0))),
      m_capacity(m_limit),
      m_buf(new char[m_capacity]),
      m_isCPUBigEndiam(getCPUBigEndiam()) {}

_ByteBuffer::_ByteBuffer(const char* p, int n) : _ByteBuffer(n) {
    if (m_capacity) memcpy(m_buf.get(), p, m_capacity);
}

_ByteBuffer::_ByteBuffer(const std::string& s) : _ByteBuffer(s.data(), static_cast<int>(s.size())) {}

void _ByteBuffer::reset() {
    if (m_mark == NO_MARK) return;
    m_position = m_mark;
    m_mark = NO_MARK;
}

void _ByteBuffer::flip() {
    m_limit = m_position;
    m_position = 0;
    m_mark = NO_MARK;
}

void _ByteBuffer::compact() {
    uint32_t n = m_limit - m_position;
    // Nothing consumed: the bytes are at the front already.
    if (m_position != 0 && n != 0) memmove(m_buf.get(), m_buf.get() + m_position, n);
    m_position = n;
    m_limit = m_capacity;
    m_mark = NO_MARK;
}

void _ByteBuffer::resize(uint32_t capacity) {
    const uint32_t n = remaining();
    if (capacity < n) capacity = n;
    std::unique_ptr<char[]> storage(capacity ? new char[capacity] : nullptr);
    if (n != 0) memcpy(storage.get(), m_buf.get() + m_position, n);
    m_buf = std::move(storage);
    m_capacity = capacity;
    m_position = 0;
    m_limit = n;
    m_mark = NO_MARK;
}

std::string _ByteBuffer::getString() {
    std::string s(m_buf.get() + m_position, remaining());
    m_position = m_limit;
    return s;
}

std::string _ByteBuffer::getString(uint32_t n) {
    if (remaining() < n) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] wrong size 3.\n", log_time());
        return "";
    }
    std::string s(m_buf.get() + m_position, n);
    m_position += n;
    return s;
}

void _ByteBuffer::put(const void* p, uint32_t n) {
    if (remaining() < n) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] wrong size 5.\n", log_time());
        return;
    }
    if (n) memcpy(m_buf.get() + m_position, p, n);
    m_position += n;
}

void _ByteBuffer::put(const std::shared_ptr<_ByteBuffer>& other) { put(other->data(), other->remaining()); }

bool _ByteBuffer::getCPUBigEndiam() {
    const uint32_t one = 1;
    unsigned char first;
    memcpy(&first, &one, 1);
    return first == 0;
}

void _ByteBuffer::reverse(char* p, int n) { std::reverse(p, p + n); }

template <typename T> T _ByteBuffer::_get() {
    if (remaining() < sizeof(T)) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] wrong size 2.\n", log_time());
        return 0;
    }
    char bytes[sizeof(T)];
    memcpy(bytes, m_buf.get() + m_position, sizeof(T));
    m_position += sizeof(T);
    if (m_isBigEndiam != m_isCPUBigEndiam) reverse(bytes, sizeof(T));
    T v;
    memcpy(&v, bytes, sizeof(T));
    return v;
}

template <typename T> void _ByteBuffer::_put(T v) {
    if (remaining() < sizeof(T)) {
        PlatLog2(kLogInfo, kLogPlatform, "%llu : [ net  ] wrong size 1.\n", log_time());
        return;
    }
    char bytes[sizeof(T)];
    memcpy(bytes, &v, sizeof(T));
    if (m_isBigEndiam != m_isCPUBigEndiam) reverse(bytes, sizeof(T));
    memcpy(m_buf.get() + m_position, bytes, sizeof(T));
    m_position += sizeof(T);
}

template uint32_t _ByteBuffer::_get<uint32_t>();
template void _ByteBuffer::_put<uint32_t>(uint32_t);

}  // namespace mynet
