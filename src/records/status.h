// Status record, model word bits and the screen buffer.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Status: 20 bytes ----
constexpr size_t ST_SIZE = 20;
constexpr size_t ST_ERROR = 0;        // u32
constexpr size_t ST_BAT_VOLTAGE = 4;  // i32, mV
constexpr size_t ST_BAT_PERC = 8;     // u16
constexpr size_t ST_CONTRAST = 10;    // u16
constexpr size_t ST_BT_STATUS = 12;   // u16
constexpr size_t ST_GPS_STATUS = 14;  // u16
constexpr size_t ST_FLASH_SIZE = 16;  // u32, bytes

// ---- Model word bits ----
constexpr uint32_t MODEL_LOGO = 0x0100;
constexpr uint32_t MODEL_BT_OFF = 0x0200;
constexpr uint32_t MODEL_ADC24 = 0x1000;
constexpr uint32_t MODEL_RECT_COIL = 0x4000;

// ---- Screen: 81 rows of 13 bytes, leftmost pixel in the MSB, 7 unused ----
constexpr size_t SCR_ROWS = 81;
constexpr size_t SCR_ROW_BYTES = 13;
constexpr size_t SCR_SIZE = 1060;

