// Firmware image file (GFW): a 72-byte header, then the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "records/wire.h"

// Header, little-endian:
//    0  char[20] magic       "ZORVANIK FIRMWARE", zero-padded
//   20  char[20] name        device name, zero-padded; 20 characters or more: cut, no terminator
//   40  u32 image_length     image bytes after the header
//   44  i32 dev_type         device type code
//   48  u32 version          bits 15-8 major, 7-0 minor
//   52  u32 raw_checksum     XOR of the plain image's words
//   56  u32 stored_checksum  XOR of the words as stored (after scrambling)
//   60  u32 date             bits 31-16 year, 15-8 month, 7-0 day
//   64  u32 time             bits 23-16 hour, 15-8 minute, 7-0 second
//   68  u32 flags            GFW_FLAG_*
//   72  image
constexpr size_t GFW_OFF_MAGIC = 0;
constexpr size_t GFW_MAGIC_SIZE = 20;
constexpr size_t GFW_OFF_NAME = 20;
constexpr size_t GFW_NAME_SIZE = 20;
constexpr size_t GFW_OFF_LENGTH = 40;
constexpr size_t GFW_OFF_DEV_TYPE = 44;
constexpr size_t GFW_OFF_VERSION = 48;
constexpr size_t GFW_OFF_RAW_SUM = 52;
constexpr size_t GFW_OFF_STORED_SUM = 56;
constexpr size_t GFW_OFF_DATE = 60;
constexpr size_t GFW_OFF_TIME = 64;
constexpr size_t GFW_OFF_FLAGS = 68;
constexpr size_t GFW_HEADER_SIZE = 72;

constexpr char GFW_MAGIC_TEXT[] = "ZORVANIK FIRMWARE";
constexpr uint32_t GFW_FLAG_SCRAMBLED = 0x1;

struct gfw_header_t {
    char name[GFW_NAME_SIZE + 1];  // terminated here, also when the file's field is full
    uint32_t image_length;
    int32_t dev_type;
    uint32_t version;
    uint32_t raw_checksum;
    uint32_t stored_checksum;
    uint32_t date;
    uint32_t time;
    uint32_t flags;
};

// Writes all 72 bytes: the magic, the fields, zeros elsewhere.
inline void gfw_header_encode(const gfw_header_t& h, uint8_t out[GFW_HEADER_SIZE]) {
    std::memset(out, 0, GFW_HEADER_SIZE);
    std::memcpy(out + GFW_OFF_MAGIC, GFW_MAGIC_TEXT, sizeof GFW_MAGIC_TEXT - 1);
    std::memcpy(out + GFW_OFF_NAME, h.name, strnlen(h.name, GFW_NAME_SIZE));
    put_u32le(out, GFW_OFF_LENGTH, h.image_length);
    put_i32le(out, GFW_OFF_DEV_TYPE, h.dev_type);
    put_u32le(out, GFW_OFF_VERSION, h.version);
    put_u32le(out, GFW_OFF_RAW_SUM, h.raw_checksum);
    put_u32le(out, GFW_OFF_STORED_SUM, h.stored_checksum);
    put_u32le(out, GFW_OFF_DATE, h.date);
    put_u32le(out, GFW_OFF_TIME, h.time);
    put_u32le(out, GFW_OFF_FLAGS, h.flags);
}

inline gfw_header_t gfw_header_decode(const uint8_t in[GFW_HEADER_SIZE]) {
    gfw_header_t h{};
    std::memcpy(h.name, in + GFW_OFF_NAME, GFW_NAME_SIZE);
    h.image_length = get_u32le(in, GFW_OFF_LENGTH);
    h.dev_type = get_i32le(in, GFW_OFF_DEV_TYPE);
    h.version = get_u32le(in, GFW_OFF_VERSION);
    h.raw_checksum = get_u32le(in, GFW_OFF_RAW_SUM);
    h.stored_checksum = get_u32le(in, GFW_OFF_STORED_SUM);
    h.date = get_u32le(in, GFW_OFF_DATE);
    h.time = get_u32le(in, GFW_OFF_TIME);
    h.flags = get_u32le(in, GFW_OFF_FLAGS);
    return h;
}
