// Device date/time record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "records/wire.h"

// 24 bytes on the wire: six little-endian int32.
struct dev_time_t {
    int32_t year;    // full year, e.g. 2026
    int32_t month;   // 1..12
    int32_t day;     // 1..31
    int32_t hour;    // 0..23
    int32_t minute;  // 0..59
    int32_t second;  // 0..59
};
constexpr size_t DEV_TIME_OFF_YEAR = 0;
constexpr size_t DEV_TIME_OFF_MONTH = 4;
constexpr size_t DEV_TIME_OFF_DAY = 8;
constexpr size_t DEV_TIME_OFF_HOUR = 12;
constexpr size_t DEV_TIME_OFF_MINUTE = 16;
constexpr size_t DEV_TIME_OFF_SECOND = 20;
constexpr size_t DEV_TIME_SIZE = 24;

inline void dev_time_encode(const dev_time_t& t, uint8_t out[DEV_TIME_SIZE]) {
    put_i32le(out, DEV_TIME_OFF_YEAR, t.year);
    put_i32le(out, DEV_TIME_OFF_MONTH, t.month);
    put_i32le(out, DEV_TIME_OFF_DAY, t.day);
    put_i32le(out, DEV_TIME_OFF_HOUR, t.hour);
    put_i32le(out, DEV_TIME_OFF_MINUTE, t.minute);
    put_i32le(out, DEV_TIME_OFF_SECOND, t.second);
}

inline dev_time_t dev_time_decode(const uint8_t in[DEV_TIME_SIZE]) {
    dev_time_t t;
    t.year = get_i32le(in, DEV_TIME_OFF_YEAR);
    t.month = get_i32le(in, DEV_TIME_OFF_MONTH);
    t.day = get_i32le(in, DEV_TIME_OFF_DAY);
    t.hour = get_i32le(in, DEV_TIME_OFF_HOUR);
    t.minute = get_i32le(in, DEV_TIME_OFF_MINUTE);
    t.second = get_i32le(in, DEV_TIME_OFF_SECOND);
    return t;
}

// This computer's local time now: what the instrument's clock is set from,
// and the date a firmware image carries.
inline std::tm local_time_now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return tm;
}
