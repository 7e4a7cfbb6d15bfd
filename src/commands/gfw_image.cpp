#include "commands/gfw_image.h"

#include <cstring>

#include "records/wire.h"

void gfw_scramble(std::span<uint8_t> image) {
    const size_t words = image.size() / 4;
    for (size_t i = 0; i < words; ++i) {
        const uint32_t w = get_u32le(image.data(), 4 * i);
        put_u32le(image.data(), 4 * i, w ^ gfw_word_key(static_cast<uint32_t>(i)));
    }
}

uint32_t gfw_checksum(std::span<const uint8_t> image, bool unscramble) {
    const size_t words = image.size() / 4;
    uint32_t x = 0;
    for (size_t i = 0; i < words; ++i) {
        uint32_t w = get_u32le(image.data(), 4 * i);
        if (unscramble) w ^= gfw_word_key(static_cast<uint32_t>(i));
        x ^= w;
    }
    return x;
}

uint32_t gfw_version_word(int32_t major, int32_t minor) {
    return ((static_cast<uint32_t>(major) & 0xFF) << 8) | (static_cast<uint32_t>(minor) & 0xFF);
}

uint32_t gfw_date_word(const std::tm& t) {
    return ((static_cast<uint32_t>(t.tm_year + 1900) & 0xFFFF) << 16) |
           ((static_cast<uint32_t>(t.tm_mon + 1) & 0xFF) << 8) | (static_cast<uint32_t>(t.tm_mday) & 0xFF);
}

uint32_t gfw_time_word(const std::tm& t) {
    return ((static_cast<uint32_t>(t.tm_hour) & 0xFF) << 16) | ((static_cast<uint32_t>(t.tm_min) & 0xFF) << 8) |
           (static_cast<uint32_t>(t.tm_sec) & 0xFF);
}

int64_t gfw_image_length(int64_t bin_size, int32_t max_size) {
    const int64_t max = max_size == -1 ? bin_size : max_size;
    if (bin_size < 0 || bin_size > max) return -1;
    const int64_t length = (max + 3) / 4 * 4;
    // The length travels as a u32; larger images cannot be described.
    return length > static_cast<int64_t>(UINT32_MAX) ? -1 : length;
}

gfw_header_t gfw_build(std::span<uint8_t> file, const gfw_build_t& build) {
    const std::span<uint8_t> image = file.subspan(GFW_HEADER_SIZE);
    gfw_header_t h{};
    if (build.device_name) std::memcpy(h.name, build.device_name, strnlen(build.device_name, GFW_NAME_SIZE));
    h.image_length = static_cast<uint32_t>(image.size());
    h.dev_type = build.dev_type;
    h.version = gfw_version_word(build.major, build.minor);
    h.raw_checksum = gfw_checksum(image);
    if (build.scramble) gfw_scramble(image);
    h.stored_checksum = gfw_checksum(image);
    h.date = gfw_date_word(build.created);
    h.time = gfw_time_word(build.created);
    h.flags = build.scramble ? GFW_FLAG_SCRAMBLED : 0;
    gfw_header_encode(h, file.data());
    return h;
}
