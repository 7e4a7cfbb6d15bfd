// Little-endian accessors for packed wire and file records.
// Every packed field is read and written through memcpy, never through a
// (possibly misaligned) pointer cast.
#pragma once

#include <cstdint>
#include <cstring>

inline uint8_t get_u8(const void* buf, size_t off) {
    return static_cast<const uint8_t*>(buf)[off];
}
inline uint16_t get_u16le(const void* buf, size_t off) {
    const uint8_t* p = static_cast<const uint8_t*>(buf) + off;
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_u32le(const void* buf, size_t off) {
    const uint8_t* p = static_cast<const uint8_t*>(buf) + off;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t get_i32le(const void* buf, size_t off) {
    return static_cast<int32_t>(get_u32le(buf, off));
}
inline int16_t get_i16le(const void* buf, size_t off) {
    return static_cast<int16_t>(get_u16le(buf, off));
}
inline float get_f32le(const void* buf, size_t off) {
    uint32_t u = get_u32le(buf, off);
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

inline void put_u8(void* buf, size_t off, uint8_t v) { static_cast<uint8_t*>(buf)[off] = v; }
inline void put_u16le(void* buf, size_t off, uint16_t v) {
    uint8_t* p = static_cast<uint8_t*>(buf) + off;
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32le(void* buf, size_t off, uint32_t v) {
    uint8_t* p = static_cast<uint8_t*>(buf) + off;
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void put_i32le(void* buf, size_t off, int32_t v) { put_u32le(buf, off, static_cast<uint32_t>(v)); }
inline void put_i16le(void* buf, size_t off, int16_t v) { put_u16le(buf, off, static_cast<uint16_t>(v)); }
inline void put_f32le(void* buf, size_t off, float v) {
    uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    put_u32le(buf, off, u);
}
