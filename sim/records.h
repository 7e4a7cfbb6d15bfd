// Packed instrument records as the simulator stores and answers them.
// Offsets are written once here; every access goes through records/wire.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// ---- dev_time_t: six int32 (year, month, day, hour, minute, second) ----
constexpr size_t DT_SIZE = 24;

// ---- Params: 319-byte settable head, answered with a tail behind it ----
constexpr size_t PAR_HEAD = 319;
constexpr size_t PAR_DEFAULT_SIZE = 400;  // answer size of the built-in instruments
constexpr size_t PAR_GPS_PIN = 71;        // char[8]
constexpr size_t PAR_MAX_STORED = 94;     // i32
constexpr size_t PAR_USE_LUT_COND = 98;   // u8
constexpr size_t PAR_EDIT_FLAG = 99;      // u8
constexpr size_t PAR_USE_LUT_SUSC = 100;  // u8
constexpr size_t PAR_DIAMETER = 101;      // u8
constexpr size_t PAR_CONTRAST = 102;      // u8
constexpr size_t PAR_MEAS_MODE = 103;     // u8
constexpr size_t PAR_SUSC_UNITS = 125;    // u8
constexpr size_t PAR_COND_UNITS = 126;    // u8

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

// ---- conc_lut: 116 bytes ----
constexpr size_t LUT_SIZE = 116;
constexpr size_t LUT_CHECK = 0;   // u32: XOR of the words at 4..112
constexpr size_t LUT_NAME = 4;    // char[12]
constexpr size_t LUT_COUNT = 16;  // i32
constexpr size_t LUT_VALUE = 20;  // f32[12]
constexpr size_t LUT_CONC = 68;   // f32[12]
constexpr int32_t LUT_PAIRS = 12;

// ---- file_req_t: 40-byte request head of the file services ----
constexpr size_t FR_NAME = 0;     // char[32]
constexpr size_t FR_PARAM = 32;   // u32: read offset / write operation
constexpr size_t FR_SIZE = 36;    // u32: bytes wanted / data bytes following
constexpr size_t FR_HEAD = 40;
constexpr size_t FR_NAME_MAX = 32;
constexpr uint32_t FILE_OP_MKDIR = 1;
constexpr uint32_t FILE_OP_CREATE = 2;
constexpr uint32_t FILE_OP_APPEND = 3;
constexpr uint32_t FILE_OP_DELETE = 4;
constexpr uint32_t FILE_READ_MAX = 3996;  // data bytes per read answer
constexpr size_t FILE_INFO_SIZE = 40;

// ---- live_event: 16-byte payload of frame code 0x2456 ----
constexpr uint16_t LIVE_CODE = 0x2456;
constexpr size_t LIVE_SIZE = 16;

// Named fields of a record, for scenario files. Arrays have count > 1.
enum class sim_ftype : uint8_t { u8, u16, i32, u32, f32, text };
struct sim_field_t {
    const char* name;
    uint16_t offset;
    sim_ftype type;
    uint16_t count;  // array elements; for text: bytes
};
std::span<const sim_field_t> SIMREC_params_fields();
std::span<const sim_field_t> SIMREC_status_fields();
std::span<const sim_field_t> SIMREC_meas_fields();
const sim_field_t* SIMREC_find(std::span<const sim_field_t> table, const std::string& name);
size_t SIMREC_ftype_size(sim_ftype t);

// Builders and helpers shared by the generators and the instrument.
std::vector<uint8_t> SIMREC_default_params(int32_t max_stored_meas);
std::vector<uint8_t> SIMREC_default_status();
uint32_t SIMREC_gps_raw(double degrees_abs);  // DDMM + fraction packing of |degrees|
void SIMREC_set_gps(uint8_t* record, double lat, double lon, bool valid, uint32_t sats, int32_t alt);
void SIMREC_set_mark(uint8_t* record, int32_t point, bool marked);
std::vector<uint8_t> SIMREC_make_lut(const std::string& name, const float values[12], const float conc[12]);
uint32_t SIMREC_lut_check(const uint8_t* lut);
// Small mono WAV file of `samples` 8-bit samples at 8000 Hz (a deterministic tone).
std::vector<uint8_t> SIMREC_make_wav(uint32_t samples, uint32_t seed);
// The 1060-byte screen picture: a frame and up to five text lines.
std::vector<uint8_t> SIMREC_render_screen(const std::vector<std::string>& lines);
