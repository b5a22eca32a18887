#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace mynet {

// A fixed-capacity byte buffer with limit, position and mark; integers are
// big-endian. A write that does not fit is refused, never extended.
class _ByteBuffer {
public:
    static constexpr uint32_t NO_MARK = 0xFFFFFFFF;

    explicit _ByteBuffer(int n);
    _ByteBuffer(const char* p, int n);
    explicit _ByteBuffer(const std::string& s);
    _ByteBuffer(const _ByteBuffer&) = delete;
    _ByteBuffer& operator=(const _ByteBuffer&) = delete;

    uint32_t remaining() const { return m_limit - m_position; }
    void mark() { m_mark = m_position; }
    void reset();
    void flip();
    void compact();
    // Moves the bytes from position to limit to the front of new storage of
    // `capacity` bytes (raised to remaining() if smaller), in read mode; 0
    // with nothing remaining frees the storage.
    void resize(uint32_t capacity);

    uint32_t getUInt32() { return _get<uint32_t>(); }
    std::string getString();
    std::string getString(uint32_t n);
    void putInt(uint32_t v) { _put<uint32_t>(v); }
    void put(const void* p, uint32_t n);
    void put(const std::string& s) { put(s.data(), static_cast<uint32_t>(s.size())); }
    void put(const std::shared_ptr<_ByteBuffer>& other);

    // The bytes from position to limit, without copying.
    const char* data() const { return m_buf.get() + m_position; }

    static bool getCPUBigEndiam();
    static void reverse(char* p, int n);

    template <typename T> T _get();
    template <typename T> void _put(T v);

    uint32_t m_limit;
    uint32_t m_position = 0;
    uint32_t m_mark = 0;
    uint32_t m_capacity;
    // Left uninitialised so that a large receive buffer costs resident memory
    // only for the pages actually written.
    std::unique_ptr<char[]> m_buf;
    bool m_isBigEndiam = true;
    bool m_isCPUBigEndiam;
};

using ByteBuffer = std::shared_ptr<_ByteBuffer>;

}  // namespace mynet
