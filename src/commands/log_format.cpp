#include "commands/log_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "libcomm/text.h"
#include "records/wire.h"

namespace {

constexpr uint32_t GPS_DDMM_MASK = 0x1FFFF;
constexpr uint32_t GPS_FRACTION_SHIFT = 17;
constexpr uint32_t GPS_FRACTION_MASK = 0x3FFF;
constexpr uint32_t GPS_SATS_SHIFT = 11;
constexpr uint32_t GPS_SATS_MASK = 0x1F;
constexpr const char* SPACES16 = "                ";

// Decimal degrees of one packed coordinate, sign not applied.
double gps_degrees(uint32_t raw) {
    const uint32_t v = raw & GPS_DDMM_MASK;
    const uint32_t f = (raw >> GPS_FRACTION_SHIFT) & GPS_FRACTION_MASK;
    const double degrees = static_cast<double>(v / 100);
    return degrees + (static_cast<double>(v % 100) / 100.0 + static_cast<double>(f) / 1000000.0) / 60.0 * 100.0;
}

}  // namespace

meas_t meas_decode(const uint8_t* r) {
    meas_t m{};
    m.rec_no = get_i32le(r, MR_REC_NO);
    m.group_no = get_i32le(r, MR_GROUP_NO);
    m.year = get_u16le(r, MR_YEAR);
    m.month = get_u8(r, MR_MONTH);
    m.day = get_u8(r, MR_DAY);
    m.hour = get_u8(r, MR_HOUR);
    m.minute = get_u8(r, MR_MINUTE);
    m.second = get_u8(r, MR_SECOND);
    m.type_word = get_u32le(r, MR_TYPE_WORD);
    m.type = static_cast<int32_t>(m.type_word & TW_TYPE_MASK);
    m.curve_s = static_cast<int32_t>((m.type_word >> TW_CURVE_S_SHIFT) & 0xFF);
    m.curve_c = static_cast<int32_t>((m.type_word >> TW_CURVE_C_SHIFT) & 0xFF);
    m.bh_kind = static_cast<int32_t>((m.type_word >> TW_BH_KIND_SHIFT) & 0xFF);
    m.susc_cgs = (m.type_word & TW_SUSC_CGS) != 0;
    m.cond_ohm_m = (m.type_word & TW_COND_OHM_M) != 0;
    m.pin = get_u8(r, MR_PIN);
    m.error = get_u8(r, MR_ERROR);
    m.dia = get_u8(r, MR_DIA);
    m.meas_mode = get_u8(r, MR_MEAS_MODE);
    m.susc = get_f32le(r, MR_SUSC);
    m.cond = get_f32le(r, MR_COND);
    m.sample_no = get_i32le(r, MR_SAMPLE_NO);
    m.meas_time = get_i32le(r, MR_MEAS_TIME);
    m.gps_flags = get_u32le(r, MR_GPS + GPS_FLAGS);
    m.lat_raw = get_u32le(r, MR_GPS + GPS_LAT);
    m.lon_raw = get_u32le(r, MR_GPS + GPS_LON);
    m.alt = get_i32le(r, MR_GPS + GPS_ALT);
    m.bh_id = get_i32le(r, MR_BH_ID);
    const char* desc = reinterpret_cast<const char*>(r + MR_BH_DESC);
    m.bh_desc.assign(desc, strnlen(desc, 16));
    m.bh_feet = get_u8(r, MR_BH_FEET) != 0;
    m.bh_depth_from = get_f32le(r, MR_BH_DEPTH_FROM);
    m.bh_depth_to = get_f32le(r, MR_BH_DEPTH_TO);
    m.bh_core_len = get_f32le(r, MR_BH_CORE_LEN);
    m.bh_depth_int = get_f32le(r, MR_BH_DEPTH_INT);
    m.bh_cores_per_box = get_i32le(r, MR_BH_CORES_PER_BOX);
    m.bh_core_num = get_i32le(r, MR_BH_CORE_NUM);
    m.bh_discrete = get_i32le(r, MR_BH_DISCRETE);
    m.bh_depth = get_f32le(r, MR_BH_DEPTH);
    return m;
}

log_kind_t log_kind(const meas_t& m) {
    if (m.type == 1) return log_kind_t::discrete;
    if (m.type == 2) return log_kind_t::scanner;
    if (m.bh_kind == 1) return log_kind_t::header;
    return log_kind_t::unknown;
}

const char* log_kind_name(log_kind_t kind) {
    switch (kind) {
        case log_kind_t::discrete: return "discrete";
        case log_kind_t::scanner: return "scanner";
        case log_kind_t::header: return "borehole header";
        case log_kind_t::unknown: break;
    }
    return "unknown";
}

const char* log_susc_unit(const meas_t& m) {
    if (m.curve_s != 0) return "%";
    return m.susc_cgs ? "CGS" : "SI";
}

const char* log_cond_unit(const meas_t& m) {
    if (m.curve_c != 0) return "%";
    return m.cond_ohm_m ? "Ohm.m" : "S/m";
}

const char* log_length_unit(const meas_t& m) { return m.bh_feet ? "ft" : "m"; }

int32_t log_point_count(const meas_t& m) { return std::clamp(m.meas_time, 0, MR_POINTS); }


std::string log_discrete_line(const meas_t& m) {
    return text_format("%d: %d %d %.4d/%.2d/%.2d %.2d:%.2d:%.2d Type=%d,CurveS=%d,CurveC=%d,Pin=%d,Error=%d,Dia=%2d    "
                       "Susc=%6.3f%s Cond=%6.1f%s [%2d/%2d]\n",
                       m.rec_no, m.meas_mode, m.group_no, m.year, m.month, m.day, m.hour, m.minute, m.second, m.type,
                       m.curve_s, m.curve_c, m.pin, m.error, m.dia, static_cast<double>(m.susc), log_susc_unit(m),
                       static_cast<double>(m.cond), log_cond_unit(m), m.sample_no, m.meas_time);
}

std::string log_discrete_table_line(const meas_t& m) {
    return text_format("%d %d %.4d/%.2d/%.2d %.2d:%.2d:%.2d %d,%d,%d,%d,%d,%2d %6.3f %6.1f [%2d/%2d]", m.rec_no,
                       m.meas_mode, m.year, m.month, m.day, m.hour, m.minute, m.second, m.type, m.curve_s, m.curve_c,
                       m.pin, m.error, m.dia, static_cast<double>(m.susc), static_cast<double>(m.cond), m.sample_no,
                       m.meas_time);
}

std::string log_scanner_line(const meas_t& m) {
    return text_format("%d: %d %.4d/%.2d/%.2d %.2d:%.2d:%.2d Type=%d,CurveS=%d,CurveC=%d [%2d]\n", m.rec_no,
                       m.meas_mode, m.year, m.month, m.day, m.hour, m.minute, m.second, m.type, m.curve_s, m.curve_c,
                       m.meas_time);
}

std::string log_scanner_table_line(const meas_t& m) {
    return text_format("%d %d %.4d/%.2d/%.2d %.2d:%.2d:%.2d %d %d %d %2d\n", m.rec_no, m.meas_mode, m.year, m.month,
                       m.day, m.hour, m.minute, m.second, m.type, m.curve_s, m.curve_c, m.meas_time);
}

std::string log_core_line(const meas_t& m) {
    return text_format("   Borehole core. ID:%d Num:%d Depth:%.1f%s\n", m.bh_id, m.bh_core_num,
                       static_cast<double>(m.bh_depth), log_length_unit(m));
}

std::string log_header_lines(const meas_t& m) {
    const char* unit = log_length_unit(m);
    std::string out = "Borehole header:\n";
    out += text_format("             ID: %d\n", m.bh_id);
    out += "           Desc: " + m.bh_desc + "\n";
    out += text_format("          Depth: %.1f-%.1f%s\n", static_cast<double>(m.bh_depth_from),
                       static_cast<double>(m.bh_depth_to), unit);
    out += text_format("    Core length: %.1f%s\n", static_cast<double>(m.bh_core_len), unit);
    out += text_format("      Depth int: %.1f%s\n", static_cast<double>(m.bh_depth_int), unit);
    out += text_format("  Cores per box: %d\n", m.bh_cores_per_box);
    out += text_format("           Type: %s\n", m.bh_discrete != 0 ? "Discrete" : "Scanner");
    return out;
}

std::string log_point_lines(const uint8_t* rec) {
    // A count outside the arrays lists what the arrays hold, never more.
    const int32_t n = log_point_count(meas_decode(rec));
    std::string out;
    int32_t i = 0;
    while (i < n) {
        out += SPACES16;
        for (int32_t k = 0; k < 5 && i < n; ++k, ++i) {
            const bool marked = meas_point_marked(rec, i);
            out += text_format("%c%8.3f %6.1f%c", marked ? '[' : '(', static_cast<double>(meas_point_susc(rec, i)),
                               static_cast<double>(meas_point_cond(rec, i)), marked ? ']' : ')');
        }
        if (i < n) out += "\n";
    }
    out += "\n";
    return out;
}

std::string log_stats_text(float sum, float sum_sq, int32_t n) {
    if (n > 1) {
        const float avg = sum / static_cast<float>(n);
        float var = (sum_sq - static_cast<float>(n) * avg * avg) / static_cast<float>(n - 1);
        // Equal values leave a rounding residue below zero in single precision.
        if (var < 0.0f) var = 0.0f;
        const float std_dev = std::sqrt(var);
        return text_format("--- %6.3f +/- %6.3f ------------------------------------------------------\n\n",
                           static_cast<double>(avg), static_cast<double>(std_dev));
    }
    if (n == 1) return "----------------------------------------------------------------------------\n\n";
    return {};
}

bool log_gps_position(const uint8_t* gps, double* lat, double* lon) {
    *lat = *lon = 0.0;
    const uint32_t flags = gps ? get_u32le(gps, GPS_FLAGS) : 0;
    if ((flags & GPS_VALID) == 0) return false;
    *lat = gps_degrees(get_u32le(gps, GPS_LAT));
    *lon = gps_degrees(get_u32le(gps, GPS_LON));
    if ((flags & GPS_NORTH) == 0) *lat = -*lat;
    if ((flags & GPS_EAST) == 0) *lon = -*lon;
    return true;
}

int32_t format_gpx_coords(const uint8_t* first, const uint8_t* second, int32_t num, int32_t den, const char* fmt,
                          char* out, size_t out_size) {
    struct pos_t {
        bool valid;
        double lat, lon;
    };
    auto decode = [](const uint8_t* p) {
        pos_t pos{};
        pos.valid = log_gps_position(p, &pos.lat, &pos.lon);
        return pos;
    };
    const pos_t a = decode(first);
    const pos_t b = decode(second);
    double lat = 0.0, lon = 0.0;
    if (a.valid && b.valid) {
        const double t = den != 0 ? static_cast<double>(num) / static_cast<double>(den) : 0.0;
        lat = a.lat + (b.lat - a.lat) * t;
        lon = a.lon + (b.lon - a.lon) * t;
    } else if (a.valid) {
        lat = a.lat;
        lon = a.lon;
    } else if (b.valid) {
        lat = b.lat;
        lon = b.lon;
    }
    if (out == nullptr || out_size == 0) return 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::snprintf(out, out_size, fmt, lat, lon);
#pragma GCC diagnostic pop
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<int32_t>(std::min(static_cast<size_t>(n), out_size - 1));
}

bool log_gps_valid(const meas_t& m) { return (m.gps_flags & GPS_VALID) != 0; }
uint32_t log_gps_sats(const meas_t& m) { return (m.gps_flags >> GPS_SATS_SHIFT) & GPS_SATS_MASK; }

std::string log_gps_line(const uint8_t* rec) {
    char coords[1000];
    format_gpx_coords(nullptr, rec + MR_GPS, 0, 1, "lat=%13.8f lon=%13.8f", coords, sizeof coords);
    const meas_t m = meas_decode(rec);
    return text_format("%s alt=%.3d num_sat=%.2d\n", coords, m.alt, log_gps_sats(m));
}

std::string log_gps_table_text(const uint8_t* rec) {
    char coords[1000];
    format_gpx_coords(nullptr, rec + MR_GPS, 0, 1, "%13.8f %13.8f", coords, sizeof coords);
    const meas_t m = meas_decode(rec);
    return text_format("%s %.3d %.2d     ", coords, m.alt, log_gps_sats(m));
}

std::string log_raw_text(const uint8_t* rec) {
    const meas_t m = meas_decode(rec);
    std::string out = text_format("%d\n%d\n", m.sample_no, m.meas_time);
    out.reserve(out.size() + static_cast<size_t>(MR_POINTS) * 16);
    for (int32_t i = 0; i < MR_POINTS; ++i)
        out += text_format("%6.3f %6.1f\n", static_cast<double>(meas_point_susc(rec, i)),
                           static_cast<double>(meas_point_cond(rec, i)));
    return out;
}

std::vector<uint32_t> log_download_order(const uint8_t* table, uint32_t slots) {
    slots = std::min(slots, LOG_TABLE_SLOTS);
    // Value above slot in one key: sorting the keys gives the order, ties by slot.
    std::vector<uint64_t> keys;
    for (uint32_t s = 0; s < slots; ++s) {
        const uint32_t v = get_u32le(table, static_cast<size_t>(s) * LE_SIZE);
        if (v != 0 && v != LOG_ENTRY_NEVER) keys.push_back((static_cast<uint64_t>(v) << 32) | s);
    }
    std::sort(keys.begin(), keys.end());
    std::vector<uint32_t> order(keys.size());
    std::transform(keys.begin(), keys.end(), order.begin(),
                   [](uint64_t k) { return static_cast<uint32_t>(k & 0xFFFFFFFFu); });
    return order;
}

int64_t log_next_slot_scan(uint8_t* table, uint32_t slots) {
    slots = std::min(slots, LOG_TABLE_SLOTS);
    uint32_t best = LOG_ENTRY_NEVER;
    int64_t chosen = -1;
    for (uint32_t s = 0; s < slots; ++s) {
        const uint32_t v = get_u32le(table, static_cast<size_t>(s) * LE_SIZE);
        if (v != 0 && v < best) {
            best = v;
            chosen = s;
        }
    }
    if (chosen >= 0) put_u32le(table, static_cast<size_t>(chosen) * LE_SIZE, 0);
    return chosen;
}
