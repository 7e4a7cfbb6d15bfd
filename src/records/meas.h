// Measurement record with its GPS position, and the log entry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/wire.h"

// ---- meas_record: 4063 bytes ----
constexpr size_t MR_SIZE = 4063;
constexpr size_t MR_REC_NO = 4;        // i32
constexpr size_t MR_GROUP_NO = 8;      // i32
constexpr size_t MR_YEAR = 12;         // u16, then u8 month, day, hour, minute, second
constexpr size_t MR_MONTH = 14;
constexpr size_t MR_DAY = 15;
constexpr size_t MR_HOUR = 16;
constexpr size_t MR_MINUTE = 17;
constexpr size_t MR_SECOND = 18;
constexpr size_t MR_TYPE_WORD = 19;    // u32
constexpr size_t MR_PIN = 23;          // u8
constexpr size_t MR_ERROR = 24;        // u8
constexpr size_t MR_DIA = 25;          // u8
constexpr size_t MR_GPS = 26;          // gps_pos, 16 bytes
constexpr size_t MR_MEAS_MODE = 42;    // u8
constexpr size_t MR_SUSC = 43;         // f32
constexpr size_t MR_COND = 47;         // f32
constexpr size_t MR_SAMPLE_NO = 87;    // i32
constexpr size_t MR_MEAS_TIME = 91;    // i32 (scanner: number of points)
constexpr size_t MR_MARKS = 95;        // u8[60]
constexpr size_t MR_SUSC_POINTS = 155; // f32[480]
constexpr size_t MR_COND_POINTS = 2075;// f32[480]
constexpr size_t MR_BH_ID = 3995;      // i32
constexpr size_t MR_BH_DESC = 3999;    // char[16]
constexpr size_t MR_BH_FEET = 4015;    // u8
constexpr size_t MR_BH_DEPTH_FROM = 4019;
constexpr size_t MR_BH_DEPTH_TO = 4023;
constexpr size_t MR_BH_CORE_LEN = 4027;
constexpr size_t MR_BH_DEPTH_INT = 4031;
constexpr size_t MR_BH_CORES_PER_BOX = 4035;  // i32
constexpr size_t MR_BH_CORE_NUM = 4047;       // i32
constexpr size_t MR_BH_DISCRETE = 4055;       // i32
constexpr size_t MR_BH_DEPTH = 4059;          // f32
constexpr int32_t MR_POINTS = 480;

// Point i's values (i in 0..MR_POINTS - 1).
inline float meas_point_susc(const uint8_t* rec, int32_t i) {
    return get_f32le(rec, MR_SUSC_POINTS + 4 * static_cast<size_t>(i));
}
inline float meas_point_cond(const uint8_t* rec, int32_t i) {
    return get_f32le(rec, MR_COND_POINTS + 4 * static_cast<size_t>(i));
}
inline void meas_set_point(uint8_t* rec, int32_t i, float susc, float cond) {
    put_f32le(rec, MR_SUSC_POINTS + 4 * static_cast<size_t>(i), susc);
    put_f32le(rec, MR_COND_POINTS + 4 * static_cast<size_t>(i), cond);
}

// Point i's mark: bit i % 8 of marks byte i / 8. Points outside the record
// are never marked.
inline bool meas_point_marked(const uint8_t* rec, int32_t i) {
    if (i < 0 || i >= MR_POINTS) return false;
    return ((get_u8(rec, MR_MARKS + static_cast<size_t>(i / 8)) >> (i % 8)) & 1) != 0;
}
inline void meas_set_point_mark(uint8_t* rec, int32_t i, bool marked) {
    if (i < 0 || i >= MR_POINTS) return;
    const size_t off = MR_MARKS + static_cast<size_t>(i / 8);
    const auto bit = static_cast<uint8_t>(1u << (i % 8));
    put_u8(rec, off, static_cast<uint8_t>(marked ? (get_u8(rec, off) | bit) : (get_u8(rec, off) & ~bit)));
}

// type_word fields
constexpr uint32_t TW_TYPE_MASK = 0x3;        // 1 discrete, 2 scanner
constexpr uint32_t TW_CURVE_S_SHIFT = 8;
constexpr uint32_t TW_CURVE_C_SHIFT = 16;
constexpr uint32_t TW_BH_KIND_SHIFT = 24;     // 1 header, 2 core
constexpr uint32_t TW_SUSC_CGS = 1u << 26;
constexpr uint32_t TW_COND_OHM_M = 1u << 27;

// ---- gps_pos: 16 bytes inside the record ----
constexpr size_t GPS_FLAGS = 0;   // u32: bit 7 north, bit 8 east, bit 9 valid, bits 11-15 satellites
constexpr size_t GPS_LAT = 4;     // u32: bits 0-16 DDMM, bits 17-30 minute fraction / 10000
constexpr size_t GPS_LON = 8;     // u32: the same, DDDMM
constexpr size_t GPS_ALT = 12;    // i32
constexpr uint32_t GPS_NORTH = 1u << 7;
constexpr uint32_t GPS_EAST = 1u << 8;
constexpr uint32_t GPS_VALID = 1u << 9;

// ---- log_entry: 5 bytes, 32 per answer ----
constexpr size_t LE_SIZE = 5;
constexpr size_t LE_PER_ANSWER = 32;
constexpr uint8_t LE_NOTE = 0x01;
constexpr uint8_t LE_AUX = 0x02;

