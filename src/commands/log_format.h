// The measurement log as text: the fields of a packed record, the record
// lines of the console and of the table file, group statistics, the GPS
// position in decimal degrees, the raw data file, and the download order of
// the entry table. Pure: nothing here prints or touches a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "records/meas.h"

// The local entry table: 65536 log entries of LE_SIZE bytes.
constexpr uint32_t LOG_TABLE_SLOTS = 65536;
constexpr size_t LOG_TABLE_SIZE = LOG_TABLE_SLOTS * LE_SIZE;
// An entry value that is never downloaded.
constexpr uint32_t LOG_ENTRY_NEVER = 0xFFFFFFFFu;

// The named fields of a measurement record (the point arrays stay in the
// record: meas_point_* of records/meas.h).
struct meas_t {
    int32_t rec_no, group_no;
    int32_t year, month, day, hour, minute, second;
    uint32_t type_word;
    int32_t type, curve_s, curve_c, bh_kind;
    bool susc_cgs, cond_ohm_m;
    int32_t pin, error, dia, meas_mode;
    float susc, cond;
    int32_t sample_no, meas_time;
    uint32_t gps_flags, lat_raw, lon_raw;
    int32_t alt;
    int32_t bh_id;
    std::string bh_desc;  // up to 16 characters, cut at the first NUL
    bool bh_feet;
    float bh_depth_from, bh_depth_to, bh_core_len, bh_depth_int;
    int32_t bh_cores_per_box, bh_core_num, bh_discrete;
    float bh_depth;
};
meas_t meas_decode(const uint8_t* rec);

enum class log_kind_t { discrete, scanner, header, unknown };
log_kind_t log_kind(const meas_t& m);
const char* log_kind_name(log_kind_t kind);  // "discrete", "scanner", "borehole header", "unknown"

const char* log_susc_unit(const meas_t& m);    // "SI", "CGS" or "%"
const char* log_cond_unit(const meas_t& m);    // "S/m", "Ohm.m" or "%"
const char* log_length_unit(const meas_t& m);  // "m" or "ft"

// Points a scanner record lists: meas_time within 0..MR_POINTS.
int32_t log_point_count(const meas_t& m);

// Console and table lines of one record, each as printed or written.
std::string log_discrete_line(const meas_t& m);        // console, with units
std::string log_discrete_table_line(const meas_t& m);  // table, no line end
std::string log_scanner_line(const meas_t& m);
std::string log_scanner_table_line(const meas_t& m);
std::string log_core_line(const meas_t& m);            // "   Borehole core. ..."
std::string log_header_lines(const meas_t& m);         // "Borehole header:\n" and its seven lines
std::string log_point_lines(const uint8_t* rec);       // the point listing and its closing "\n"

// Statistics of a group: the average and standard-deviation line (n > 1),
// the dashed line (n = 1) or nothing.
std::string log_stats_text(float sum, float sum_sq, int32_t n);

// Latitude and longitude of the positions in decimal degrees, interpolated
// at num/den between two valid ones, formatted with `fmt` (two double
// conversions) into `out` of `out_size` bytes. Returns the length written.
int32_t format_gpx_coords(const uint8_t* first, const uint8_t* second, int32_t num, int32_t den, const char* fmt,
                          char* out, size_t out_size = 1000);
bool log_gps_valid(const meas_t& m);
uint32_t log_gps_sats(const meas_t& m);
// Signed decimal degrees of the gps_pos at `gps`; false (and zeros) when
// the position is not valid.
bool log_gps_position(const uint8_t* gps, double* lat, double* lon);
std::string log_gps_line(const uint8_t* rec);        // "lat=... lon=... alt=... num_sat=..\n"
std::string log_gps_table_text(const uint8_t* rec);  // "lat lon alt sats     "

// The raw data file of a record.
std::string log_raw_text(const uint8_t* rec);

// Slots below `slots` in download order: ascending entry value under
// unsigned comparison, equal values lowest slot first, 0 and LOG_ENTRY_NEVER
// left out. O(n log n).
std::vector<uint32_t> log_download_order(const uint8_t* table, uint32_t slots);
// The same order the plain way, one scan of the table per record: kept as
// the reference the order above is measured and checked against. Returns
// the next slot, or -1, and clears the chosen entry's value.
int64_t log_next_slot_scan(uint8_t* table, uint32_t slots);
