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


// ---- Screen image file: 1-bit BMP, bottom row first ----
// File header (14 bytes), information header (40), two palette entries,
// then 81 rows of 16 bytes: a display row's 13 bytes and 3 zero bytes.
constexpr size_t BMP_OFF_MAGIC = 0;        // "BM"
constexpr size_t BMP_OFF_FILE_SIZE = 2;    // u32
constexpr size_t BMP_OFF_RESERVED = 6;     // u16[2]
constexpr size_t BMP_OFF_DATA = 10;        // u32: offset of the pixel rows
constexpr size_t BMP_OFF_INFO_SIZE = 14;   // u32: 40
constexpr size_t BMP_OFF_WIDTH = 18;       // i32
constexpr size_t BMP_OFF_HEIGHT = 22;      // i32, positive: bottom row first
constexpr size_t BMP_OFF_PLANES = 26;      // u16
constexpr size_t BMP_OFF_BPP = 28;         // u16
constexpr size_t BMP_OFF_COMPRESSION = 30; // u32
constexpr size_t BMP_OFF_IMAGE_SIZE = 34;  // u32
constexpr size_t BMP_OFF_XRES = 38;        // i32
constexpr size_t BMP_OFF_YRES = 42;        // i32
constexpr size_t BMP_OFF_COLOURS = 46;     // u32
constexpr size_t BMP_OFF_IMPORTANT = 50;   // u32
constexpr size_t BMP_OFF_PALETTE = 54;     // 2 x (blue, green, red, reserved)
constexpr size_t BMP_INFO_SIZE = 40;
constexpr size_t BMP_HEADER_SIZE = 62;     // headers and palette
constexpr size_t BMP_ROW_BYTES = 16;       // 128 pixels
constexpr int32_t BMP_WIDTH = 128;
constexpr size_t BMP_IMAGE_SIZE = BMP_ROW_BYTES * SCR_ROWS;      // 1296
constexpr size_t BMP_SIZE = BMP_HEADER_SIZE + BMP_IMAGE_SIZE;    // 1358
