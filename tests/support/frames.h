// Byte strings and MXX frames written out for tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "link/mxx_frame.h"
#include "records/wire.h"

using bytes = std::vector<uint8_t>;

inline bytes frame(uint16_t code, const bytes& payload, uint16_t timeout = 0, uint8_t status = 0) {
    bytes out(MXX_frame_size(payload.size()));
    MXX_build_frame(out.data(), code, payload.data(), static_cast<uint16_t>(payload.size()), timeout, status);
    return out;
}

inline bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Bytes first, first + step, first + 2 step, ... (mod 256).
inline bytes pattern(size_t n, size_t step, size_t first = 1) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * step + first);
    return b;
}

inline bytes u32(uint32_t v) {
    bytes b(4);
    put_u32le(b.data(), 0, v);
    return b;
}

// An assembler's frame callback gathering the frames into the vector<bytes> at `user`.
inline void collect_frames(const uint8_t* f, int32_t n, void* user) {
    static_cast<std::vector<bytes>*>(user)->emplace_back(f, f + n);
}

inline const bytes kSerial = {'A', '0', '0', '0', '1', '2', '3', '4'};
// The instrument's get-serial answer, code 9007, byte for byte.
inline const bytes kSerialAnswer = {0x42, 0x52, 0x4E, 0x4F, 0x2F, 0x23, 0x09, 0x00, 0x00, 0x00, 0x00,
                                    0x14, 0x41, 0x30, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34, 0x75};
