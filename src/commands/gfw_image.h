// Firmware image format: header fields, scrambling and checksums, and the
// building of a GFW file's bytes. Pure: no files, no console, no link.
//
// The image is a sequence of little-endian 32-bit words, word i at byte
// 4*i; checksums and scrambling cover the whole words only.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>

#include "records/gfw.h"

// Scrambling key of word i: i to the fourth power, wrapping in 32 bits.
constexpr uint32_t gfw_word_key(uint32_t i) { return i * i * i * i; }

// XORs every whole word with its key; applying it twice restores the image.
void gfw_scramble(std::span<uint8_t> image);
// XOR of the whole words; `unscramble` takes each word's key off first, so a
// scrambled image gives the plain image's checksum.
uint32_t gfw_checksum(std::span<const uint8_t> image, bool unscramble = false);

uint32_t gfw_version_word(int32_t major, int32_t minor);
inline int32_t gfw_version_major(uint32_t word) { return static_cast<int32_t>((word >> 8) & 0xFF); }
inline int32_t gfw_version_minor(uint32_t word) { return static_cast<int32_t>(word & 0xFF); }
uint32_t gfw_date_word(const std::tm& t);
uint32_t gfw_time_word(const std::tm& t);

// Image bytes of a GFW file for a BIN of `bin_size` bytes and the caller's
// maximum size (-1: the BIN's own size), rounded up to whole words; -1 when
// the BIN is longer than the maximum or the length does not fit the header.
int64_t gfw_image_length(int64_t bin_size, int32_t max_size);

struct gfw_build_t {
    const char* device_name;
    int32_t dev_type;
    int32_t major;
    int32_t minor;
    bool scramble;
    std::tm created;  // local time
};

// `file` is the GFW file's bytes: GFW_HEADER_SIZE bytes of room, then the
// plain image (BIN bytes and zero padding, whole words). Scrambles the image
// in place when asked, writes the header and returns it.
gfw_header_t gfw_build(std::span<uint8_t> file, const gfw_build_t& build);
