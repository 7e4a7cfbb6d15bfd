#include "sim/records.h"

#include <array>
#include <cmath>
#include <cstring>

#include "records/wire.h"

namespace {

using T = sim_ftype;

// calib sets: first stretch at 4 / 36, second stretch at 127 / 223.
constexpr sim_field_t kParams[] = {
    {"use_lp", 0, T::u8, 1},
    {"audio_vol", 1, T::u8, 1},
    {"demag_corr", 2, T::u8, 1},
    {"calib_mode", 3, T::u8, 1},
    {"calib.nom_susc", 4, T::f32, 2},
    {"calib.nom_cond", 12, T::f32, 2},
    {"calib.fs", 20, T::f32, 1},
    {"calib.fc", 24, T::f32, 1},
    {"calib.us", 28, T::f32, 1},
    {"calib.uc", 32, T::f32, 1},
    {"calib_pin.nom_susc", 36, T::f32, 2},
    {"calib_pin.nom_cond", 44, T::f32, 2},
    {"calib_pin.fs", 52, T::f32, 1},
    {"calib_pin.fc", 56, T::f32, 1},
    {"calib_pin.us", 60, T::f32, 1},
    {"calib_pin.uc", 64, T::f32, 1},
    {"pc_auth", 68, T::u8, 1},
    {"gps_pin_enable", 69, T::u8, 1},
    {"gps_on", 70, T::u8, 1},
    {"gps_pin", 71, T::text, 8},
    {"gps_paired", 79, T::u8, 1},
    {"gps_uuid", 80, T::u16, 1},
    {"gps_addr", 82, T::u8, 6},
    {"sd_timeout", 89, T::u16, 1},
    {"replay_note", 91, T::u8, 1},
    {"save_error_meas", 92, T::u8, 1},
    {"battery_type", 93, T::u8, 1},
    {"max_stored_meas", 94, T::i32, 1},
    {"use_conc_lut_cond", 98, T::u8, 1},
    {"edit_flag", 99, T::u8, 1},
    {"use_conc_lut_susc", 100, T::u8, 1},
    {"diameter", 101, T::u8, 1},
    {"contrast", 102, T::u8, 1},
    {"meas_mode", 103, T::u8, 1},
    {"bt_baud_rate", 105, T::i32, 1},
    {"bh_units", 109, T::i32, 1},
    {"bh_mode", 113, T::i32, 1},
    {"cond_corr", 117, T::i32, 1},
    {"adv_mode", 121, T::i32, 1},
    {"susc_units", 125, T::u8, 1},
    {"cond_units", 126, T::u8, 1},
    {"calib.a", 127, T::f32, 1},
    {"calib.b", 131, T::f32, 1},
    {"calib.c", 135, T::f32, 1},
    {"calib.d", 139, T::f32, 1},
    {"calib.exp_a", 143, T::f32, 1},
    {"calib.exp_b", 147, T::f32, 1},
    {"calib.exp_c", 151, T::f32, 1},
    {"calib.exp_d", 155, T::f32, 1},
    {"calib.cond_nom", 159, T::f32, 7},
    {"calib.cond_meas", 191, T::f32, 7},
    {"calib_pin.a", 223, T::f32, 1},
    {"calib_pin.b", 227, T::f32, 1},
    {"calib_pin.c", 231, T::f32, 1},
    {"calib_pin.d", 235, T::f32, 1},
    {"calib_pin.exp_a", 239, T::f32, 1},
    {"calib_pin.exp_b", 243, T::f32, 1},
    {"calib_pin.exp_c", 247, T::f32, 1},
    {"calib_pin.exp_d", 251, T::f32, 1},
    {"calib_pin.cond_nom", 255, T::f32, 7},
    {"calib_pin.cond_meas", 287, T::f32, 7},
};

constexpr sim_field_t kStatus[] = {
    {"error", ST_ERROR, T::u32, 1},          {"bat_voltage", ST_BAT_VOLTAGE, T::i32, 1},
    {"bat_perc", ST_BAT_PERC, T::u16, 1},    {"contrast", ST_CONTRAST, T::u16, 1},
    {"bt_status", ST_BT_STATUS, T::u16, 1},  {"gps_status", ST_GPS_STATUS, T::u16, 1},
    {"flash_size", ST_FLASH_SIZE, T::u32, 1},
};

constexpr sim_field_t kMeas[] = {
    {"rec_no", MR_REC_NO, T::i32, 1},
    {"group_no", MR_GROUP_NO, T::i32, 1},
    {"year", MR_YEAR, T::u16, 1},
    {"month", MR_MONTH, T::u8, 1},
    {"day", MR_DAY, T::u8, 1},
    {"hour", MR_HOUR, T::u8, 1},
    {"minute", MR_MINUTE, T::u8, 1},
    {"second", MR_SECOND, T::u8, 1},
    {"type_word", MR_TYPE_WORD, T::u32, 1},
    {"pin", MR_PIN, T::u8, 1},
    {"error", MR_ERROR, T::u8, 1},
    {"dia", MR_DIA, T::u8, 1},
    {"gps.flags", MR_GPS + GPS_FLAGS, T::u32, 1},
    {"gps.lat_raw", MR_GPS + GPS_LAT, T::u32, 1},
    {"gps.lon_raw", MR_GPS + GPS_LON, T::u32, 1},
    {"gps.alt", MR_GPS + GPS_ALT, T::i32, 1},
    {"meas_mode", MR_MEAS_MODE, T::u8, 1},
    {"susc", MR_SUSC, T::f32, 1},
    {"cond", MR_COND, T::f32, 1},
    {"sample_no", MR_SAMPLE_NO, T::i32, 1},
    {"meas_time", MR_MEAS_TIME, T::i32, 1},
    {"marks_bytes", MR_MARKS, T::u8, 60},
    {"susc_points", MR_SUSC_POINTS, T::f32, MR_POINTS},
    {"cond_points", MR_COND_POINTS, T::f32, MR_POINTS},
    {"bh_id", MR_BH_ID, T::i32, 1},
    {"bh_desc", MR_BH_DESC, T::text, 16},
    {"bh_feet", MR_BH_FEET, T::u8, 1},
    {"bh_depth_from", MR_BH_DEPTH_FROM, T::f32, 1},
    {"bh_depth_to", MR_BH_DEPTH_TO, T::f32, 1},
    {"bh_core_len", MR_BH_CORE_LEN, T::f32, 1},
    {"bh_depth_int", MR_BH_DEPTH_INT, T::f32, 1},
    {"bh_cores_per_box", MR_BH_CORES_PER_BOX, T::i32, 1},
    {"bh_core_num", MR_BH_CORE_NUM, T::i32, 1},
    {"bh_discrete", MR_BH_DISCRETE, T::i32, 1},
    {"bh_depth", MR_BH_DEPTH, T::f32, 1},
};

void put_f32s(uint8_t* p, size_t off, std::initializer_list<float> values) {
    for (float v : values) {
        put_f32le(p, off, v);
        off += 4;
    }
}

// One calibration set: first stretch (32 bytes) and second stretch (96 bytes).
void put_calib(uint8_t* p, size_t first, size_t second, float scale) {
    put_f32s(p, first, {100.0f * scale, 1000.0f * scale, 50.0f * scale, 500.0f * scale,  // nom_susc, nom_cond
                        1.0213f, 0.9874f, 1.0051f, 0.9962f});                          // fs, fc, us, uc
    put_f32s(p, second, {1.25e-3f * scale, -3.5e-4f, 2.2e-6f, 0.8123f, 1.0001f, 0.9995f, 1.0003f, 0.99987f});
    for (int i = 0; i < 7; ++i) {
        const float nominal = 0.1f * static_cast<float>(1 << i);
        put_f32le(p, second + 32 + 4 * static_cast<size_t>(i), nominal);
        put_f32le(p, second + 64 + 4 * static_cast<size_t>(i), nominal * (1.0f + 0.0031f * static_cast<float>(i)));
    }
}

// 5x7 glyphs, five columns each, bit 0 the top row.
struct glyph_t {
    char c;
    std::array<uint8_t, 5> col;
};
constexpr glyph_t kFont[] = {
    {' ', {0x00, 0x00, 0x00, 0x00, 0x00}}, {'.', {0x00, 0x60, 0x60, 0x00, 0x00}},
    {':', {0x00, 0x36, 0x36, 0x00, 0x00}}, {'-', {0x08, 0x08, 0x08, 0x08, 0x08}},
    {'=', {0x14, 0x14, 0x14, 0x14, 0x14}}, {'/', {0x20, 0x10, 0x08, 0x04, 0x02}},
    {'%', {0x23, 0x13, 0x08, 0x64, 0x62}}, {'0', {0x3E, 0x51, 0x49, 0x45, 0x3E}},
    {'1', {0x00, 0x42, 0x7F, 0x40, 0x00}}, {'2', {0x42, 0x61, 0x51, 0x49, 0x46}},
    {'3', {0x21, 0x41, 0x45, 0x4B, 0x31}}, {'4', {0x18, 0x14, 0x12, 0x7F, 0x10}},
    {'5', {0x27, 0x45, 0x45, 0x45, 0x39}}, {'6', {0x3C, 0x4A, 0x49, 0x49, 0x30}},
    {'7', {0x01, 0x71, 0x09, 0x05, 0x03}}, {'8', {0x36, 0x49, 0x49, 0x49, 0x36}},
    {'9', {0x06, 0x49, 0x49, 0x29, 0x1E}}, {'A', {0x7E, 0x11, 0x11, 0x11, 0x7E}},
    {'B', {0x7F, 0x49, 0x49, 0x49, 0x36}}, {'C', {0x3E, 0x41, 0x41, 0x41, 0x22}},
    {'D', {0x7F, 0x41, 0x41, 0x22, 0x1C}}, {'E', {0x7F, 0x49, 0x49, 0x49, 0x41}},
    {'F', {0x7F, 0x09, 0x09, 0x09, 0x01}}, {'G', {0x3E, 0x41, 0x49, 0x49, 0x7A}},
    {'H', {0x7F, 0x08, 0x08, 0x08, 0x7F}}, {'I', {0x00, 0x41, 0x7F, 0x41, 0x00}},
    {'J', {0x20, 0x40, 0x41, 0x3F, 0x01}}, {'K', {0x7F, 0x08, 0x14, 0x22, 0x41}},
    {'L', {0x7F, 0x40, 0x40, 0x40, 0x40}}, {'M', {0x7F, 0x02, 0x0C, 0x02, 0x7F}},
    {'N', {0x7F, 0x04, 0x08, 0x10, 0x7F}}, {'O', {0x3E, 0x41, 0x41, 0x41, 0x3E}},
    {'P', {0x7F, 0x09, 0x09, 0x09, 0x06}}, {'Q', {0x3E, 0x41, 0x51, 0x21, 0x5E}},
    {'R', {0x7F, 0x09, 0x19, 0x29, 0x46}}, {'S', {0x46, 0x49, 0x49, 0x49, 0x31}},
    {'T', {0x01, 0x01, 0x7F, 0x01, 0x01}}, {'U', {0x3F, 0x40, 0x40, 0x40, 0x3F}},
    {'V', {0x1F, 0x20, 0x40, 0x20, 0x1F}}, {'W', {0x3F, 0x40, 0x38, 0x40, 0x3F}},
    {'X', {0x63, 0x14, 0x08, 0x14, 0x63}}, {'Y', {0x07, 0x08, 0x70, 0x08, 0x07}},
    {'Z', {0x61, 0x51, 0x49, 0x45, 0x43}},
};

const glyph_t* find_glyph(char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (const auto& g : kFont)
        if (g.c == c) return &g;
    return nullptr;
}

void set_pixel(std::vector<uint8_t>& scr, int x, int y) {
    if (x < 0 || y < 0 || x >= static_cast<int>(SCR_ROW_BYTES * 8) || y >= static_cast<int>(SCR_ROWS)) return;
    scr[static_cast<size_t>(y) * SCR_ROW_BYTES + static_cast<size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
}

}  // namespace

std::span<const sim_field_t> SIMREC_params_fields() { return kParams; }
std::span<const sim_field_t> SIMREC_status_fields() { return kStatus; }
std::span<const sim_field_t> SIMREC_meas_fields() { return kMeas; }

const sim_field_t* SIMREC_find(std::span<const sim_field_t> table, const std::string& name) {
    for (const auto& f : table)
        if (name == f.name) return &f;
    return nullptr;
}

size_t SIMREC_ftype_size(sim_ftype t) {
    switch (t) {
        case T::u8: return 1;
        case T::u16: return 2;
        case T::text: return 1;
        default: return 4;
    }
}

std::vector<uint8_t> SIMREC_default_params(int32_t max_stored_meas) {
    std::vector<uint8_t> p(PAR_DEFAULT_SIZE, 0);
    uint8_t* b = p.data();
    put_u8(b, 0, 1);   // use_lp
    put_u8(b, 1, 1);   // audio_vol
    put_u8(b, 2, 0);   // demag_corr
    put_u8(b, 3, 0);   // calib_mode
    put_calib(b, 4, 127, 1.0f);
    put_calib(b, 36, 223, 1.1f);
    put_u8(b, 68, 0);  // pc_auth
    put_u8(b, 69, 1);  // gps_pin_enable
    put_u8(b, 70, 1);  // gps_on
    std::memcpy(b + PARAMS_OFF_GPS_PIN, "0000", 4);
    put_u8(b, 79, 1);  // gps_paired
    put_u16le(b, 80, 0x1101);
    const uint8_t addr[6] = {0x00, 0x1B, 0xDC, 0x0F, 0x3A, 0x5E};
    std::memcpy(b + 82, addr, 6);
    put_u16le(b, 89, 120);  // sd_timeout
    put_u8(b, 91, 1);       // replay_note
    put_u8(b, 92, 0);       // save_error_meas
    put_u8(b, 93, 0);       // battery_type
    put_i32le(b, PARAMS_OFF_MAX_STORED_MEAS, max_stored_meas);
    put_u8(b, PARAMS_OFF_USE_CONC_LUT_COND, 0);
    put_u8(b, PARAMS_OFF_EDIT_FLAG, 0);
    put_u8(b, PARAMS_OFF_USE_CONC_LUT_SUSC, 0);
    put_u8(b, PARAMS_OFF_DIAMETER, 6);
    put_u8(b, PARAMS_OFF_CONTRAST, 55);
    put_u8(b, PARAMS_OFF_MEAS_MODE, 1);
    put_i32le(b, 105, 115200);  // bt_baud_rate
    put_i32le(b, 109, 0);       // bh_units
    put_i32le(b, 113, 0);       // bh_mode
    put_i32le(b, 117, 3);       // cond_corr
    put_i32le(b, 121, 0);       // adv_mode
    put_u8(b, PARAMS_OFF_SUSC_UNITS, 0);
    put_u8(b, PARAMS_OFF_COND_UNITS, 0);
    // Unnamed slots carry recognisable values so that a tool that drops them shows.
    put_u8(b, 88, 0x5A);
    put_u8(b, 104, 0xA5);
    put_u32le(b, 187, 0xC0DE0187);
    put_u32le(b, 219, 0xC0DE0219);
    put_u32le(b, 283, 0xC0DE0283);
    put_u32le(b, 315, 0xC0DE0315);
    for (size_t i = PARAMS_SET_SIZE; i < p.size(); ++i) p[i] = static_cast<uint8_t>(0xE0 ^ (i & 0x1F));
    return p;
}

std::vector<uint8_t> SIMREC_default_status() {
    std::vector<uint8_t> s(ST_SIZE, 0);
    put_u32le(s.data(), ST_ERROR, 0);
    put_i32le(s.data(), ST_BAT_VOLTAGE, 3912);
    put_u16le(s.data(), ST_BAT_PERC, 78);
    put_u16le(s.data(), ST_CONTRAST, 55);
    put_u16le(s.data(), ST_BT_STATUS, 1);
    put_u16le(s.data(), ST_GPS_STATUS, 2);
    put_u32le(s.data(), ST_FLASH_SIZE, 8u << 20);
    return s;
}

uint32_t SIMREC_gps_raw(double degrees_abs) {
    double deg = std::floor(degrees_abs);
    double minutes = (degrees_abs - deg) * 60.0;
    double whole = std::floor(minutes);
    uint32_t frac = static_cast<uint32_t>(std::lround((minutes - whole) * 10000.0));
    if (frac > 9999) frac = 9999;
    const uint32_t ddmm = static_cast<uint32_t>(deg) * 100u + static_cast<uint32_t>(whole);
    return (ddmm & 0x1FFFFu) | ((frac & 0x3FFFu) << 17);
}

void SIMREC_set_gps(uint8_t* record, double lat, double lon, bool valid, uint32_t sats, int32_t alt) {
    uint32_t flags = (sats & 0x1Fu) << 11;
    if (lat >= 0) flags |= GPS_NORTH;
    if (lon >= 0) flags |= GPS_EAST;
    if (valid) flags |= GPS_VALID;
    put_u32le(record, MR_GPS + GPS_FLAGS, flags);
    put_u32le(record, MR_GPS + GPS_LAT, SIMREC_gps_raw(std::fabs(lat)));
    put_u32le(record, MR_GPS + GPS_LON, SIMREC_gps_raw(std::fabs(lon)));
    put_i32le(record, MR_GPS + GPS_ALT, alt);
}

uint32_t SIMREC_lut_check(const uint8_t* lut) {
    uint32_t x = 0;
    for (size_t off = 4; off <= 112; off += 4) x ^= get_u32le(lut, off);
    return x;
}

std::vector<uint8_t> SIMREC_make_lut(const std::string& name, const float values[12], const float conc[12]) {
    std::vector<uint8_t> lut(LUT_SIZE, 0);
    std::memcpy(lut.data() + LUT_NAME, name.data(), std::min<size_t>(name.size(), 11));
    put_i32le(lut.data(), LUT_COUNT, LUT_PAIRS);
    for (int i = 0; i < LUT_PAIRS; ++i) {
        put_f32le(lut.data(), LUT_VALUE + 4 * static_cast<size_t>(i), values[i]);
        put_f32le(lut.data(), LUT_CONC + 4 * static_cast<size_t>(i), conc[i]);
    }
    put_u32le(lut.data(), LUT_CHECK, SIMREC_lut_check(lut.data()));
    return lut;
}

std::vector<uint8_t> SIMREC_make_wav(uint32_t samples, uint32_t seed) {
    std::vector<uint8_t> w(44 + samples, 0);
    uint8_t* p = w.data();
    std::memcpy(p, "RIFF", 4);
    put_u32le(p, 4, 36 + samples);
    std::memcpy(p + 8, "WAVEfmt ", 8);
    put_u32le(p, 16, 16);
    put_u16le(p, 20, 1);      // PCM
    put_u16le(p, 22, 1);      // mono
    put_u32le(p, 24, 8000);   // sample rate
    put_u32le(p, 28, 8000);   // byte rate
    put_u16le(p, 32, 1);      // block align
    put_u16le(p, 34, 8);      // bits per sample
    std::memcpy(p + 36, "data", 4);
    put_u32le(p, 40, samples);
    const double freq = 300.0 + 50.0 * static_cast<double>(seed % 11);
    for (uint32_t i = 0; i < samples; ++i) {
        const double v = std::sin(2.0 * M_PI * freq * static_cast<double>(i) / 8000.0);
        p[44 + i] = static_cast<uint8_t>(128 + std::lround(100.0 * v));
    }
    return w;
}

std::vector<uint8_t> SIMREC_render_screen(const std::vector<std::string>& lines) {
    std::vector<uint8_t> scr(SCR_SIZE, 0);
    const int width = static_cast<int>(SCR_ROW_BYTES * 8);
    const int height = static_cast<int>(SCR_ROWS);
    for (int x = 0; x < width; ++x) {
        set_pixel(scr, x, 0);
        set_pixel(scr, x, height - 1);
    }
    for (int y = 0; y < height; ++y) {
        set_pixel(scr, 0, y);
        set_pixel(scr, width - 1, y);
    }
    int y0 = 5;
    for (size_t l = 0; l < lines.size() && l < 5; ++l, y0 += 15) {
        int x0 = 4;
        for (char c : lines[l]) {
            if (x0 + 5 > width - 2) break;
            if (const glyph_t* g = find_glyph(c)) {
                for (int cx = 0; cx < 5; ++cx)
                    for (int cy = 0; cy < 7; ++cy)
                        if (g->col[static_cast<size_t>(cx)] & (1u << cy)) set_pixel(scr, x0 + cx, y0 + cy);
            }
            x0 += 6;
        }
    }
    return scr;
}
