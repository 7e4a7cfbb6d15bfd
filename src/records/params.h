// The instrument's parameter record (packed, little-endian).
#pragma once

#include <cstddef>
#include <cstdint>

// Params: R62_PARAMS_BUF bytes fetched; the head of PARAMS_SET_SIZE bytes is
// settable and is what goes back. Packed, little-endian.
constexpr size_t PARAMS_OFF_USE_LP = 0;              // u8
constexpr size_t PARAMS_OFF_AUDIO_VOL = 1;           // u8
constexpr size_t PARAMS_OFF_DEMAG_CORR = 2;          // u8
constexpr size_t PARAMS_OFF_CALIB_MODE = 3;          // u8
constexpr size_t PARAMS_OFF_CALIB = 4;               // calibration set, first stretch (32 bytes)
constexpr size_t PARAMS_OFF_CALIB_PIN = 36;          // calibration set, first stretch (32 bytes)
constexpr size_t PARAMS_OFF_PC_AUTH = 68;            // u8
constexpr size_t PARAMS_OFF_GPS_PIN_ENABLE = 69;     // u8
constexpr size_t PARAMS_OFF_GPS_ON = 70;             // u8
constexpr size_t PARAMS_OFF_GPS_PIN = 71;            // char[8], NUL-terminated when shorter
constexpr size_t PARAMS_GPS_PIN_SIZE = 8;
constexpr size_t PARAMS_OFF_GPS_PAIRED = 79;         // u8
constexpr size_t PARAMS_OFF_GPS_UUID = 80;           // u16
constexpr size_t PARAMS_OFF_GPS_ADDR = 82;           // u8[6]
constexpr size_t PARAMS_GPS_ADDR_SIZE = 6;
//                                       88             1 byte, not named
constexpr size_t PARAMS_OFF_SD_TIMEOUT = 89;         // u16
constexpr size_t PARAMS_OFF_REPLAY_NOTE = 91;        // u8
constexpr size_t PARAMS_OFF_SAVE_ERROR_MEAS = 92;    // u8
constexpr size_t PARAMS_OFF_BATTERY_TYPE = 93;       // u8
constexpr size_t PARAMS_OFF_MAX_STORED_MEAS = 94;    // i32
constexpr size_t PARAMS_OFF_USE_CONC_LUT_COND = 98;  // u8
constexpr size_t PARAMS_OFF_EDIT_FLAG = 99;          // u8
constexpr size_t PARAMS_OFF_USE_CONC_LUT_SUSC = 100; // u8
constexpr size_t PARAMS_OFF_DIAMETER = 101;          // u8
constexpr size_t PARAMS_OFF_CONTRAST = 102;          // u8
constexpr size_t PARAMS_OFF_MEAS_MODE = 103;         // u8
//                                       104            1 byte, not named
constexpr size_t PARAMS_OFF_BT_BAUD_RATE = 105;      // i32
constexpr size_t PARAMS_OFF_BH_UNITS = 109;          // i32
constexpr size_t PARAMS_OFF_BH_MODE = 113;           // i32
constexpr size_t PARAMS_OFF_COND_CORR = 117;         // i32
constexpr size_t PARAMS_OFF_ADV_MODE = 121;          // i32
constexpr size_t PARAMS_OFF_SUSC_UNITS = 125;        // u8
constexpr size_t PARAMS_OFF_COND_UNITS = 126;        // u8
constexpr size_t PARAMS_OFF_CALIB_EXT = 127;         // calibration set, second stretch (96 bytes)
constexpr size_t PARAMS_OFF_CALIB_PIN_EXT = 223;     // calibration set, second stretch (96 bytes)
//                                       319..4318      further received bytes, never sent back

// Calibration set, first stretch (offsets from its start; f32 each).
constexpr size_t CALIB_OFF_NOM_SUSC = 0;   // f32[2]
constexpr size_t CALIB_OFF_NOM_COND = 8;   // f32[2]
constexpr size_t CALIB_OFF_FS = 16;
constexpr size_t CALIB_OFF_FC = 20;
constexpr size_t CALIB_OFF_US = 24;
constexpr size_t CALIB_OFF_UC = 28;
// Calibration set, second stretch (offsets from its start; f32 each).
constexpr size_t CALIB_OFF_A = 0;
constexpr size_t CALIB_OFF_B = 4;
constexpr size_t CALIB_OFF_C = 8;
constexpr size_t CALIB_OFF_D = 12;
constexpr size_t CALIB_OFF_EXP_A = 16;
constexpr size_t CALIB_OFF_EXP_B = 20;
constexpr size_t CALIB_OFF_EXP_C = 24;
constexpr size_t CALIB_OFF_EXP_D = 28;
constexpr size_t CALIB_OFF_COND_NOM = 32;   // f32[7], then 4 bytes not named
constexpr size_t CALIB_OFF_COND_MEAS = 64;  // f32[7], then 4 bytes not named
constexpr size_t CALIB_COND_POINTS = 7;


constexpr size_t PARAMS_SET_SIZE = 319;  // settable head, what a set request carries
