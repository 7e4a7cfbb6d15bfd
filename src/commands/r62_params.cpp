#include "commands/r62_params.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "commands/cmd_file.h"
#include "commands/r40_cmds.h"
#include "console/conutil.h"
#include "console/globals.h"
#include "libcomm/libcomm.h"
#include "libcomm/text.h"
#include "link/mxx_comm.h"
#include "records/wire.h"

namespace {

constexpr int WIDTH_MAIN = 25;
constexpr int WIDTH_CALIB = 27;
constexpr int WIDTH_CALIB_PIN = 31;

constexpr const char* EXTENDED_PROMPT = "Extended parameters";

enum class dump_fmt : uint8_t { u8, u16, i32, hex_upper_u8, hex_lower_u8, hex_lower_u16, text8, f2, f6, f7 };

struct dump_field_t {
    std::string label;
    int width;
    size_t offset;
    dump_fmt fmt;
};

struct calib_field_t {
    std::string label;  // "Params.<set>.<field>"
    size_t offset;
    dump_fmt fmt;
};

std::string indexed(const std::string& base, size_t i) { return base + "[" + std::to_string(i) + "]"; }

// The 30 values of one calibration set in the order the dump and the editor
// visit them (not record order).
std::vector<calib_field_t> calib_fields(const char* set, size_t first, size_t second, dump_fmt coeff_fmt) {
    std::string p = std::string("Params.") + set + ".";
    std::vector<calib_field_t> v;
    for (size_t i = 0; i < 2; ++i) {
        v.push_back({indexed(p + "nom_susc", i), first + CALIB_OFF_NOM_SUSC + 4 * i, dump_fmt::f2});
        v.push_back({indexed(p + "nom_cond", i), first + CALIB_OFF_NOM_COND + 4 * i, dump_fmt::f2});
    }
    v.push_back({p + "fs", first + CALIB_OFF_FS, dump_fmt::f2});
    v.push_back({p + "us", first + CALIB_OFF_US, dump_fmt::f2});
    v.push_back({p + "fc", first + CALIB_OFF_FC, dump_fmt::f2});
    v.push_back({p + "uc", first + CALIB_OFF_UC, dump_fmt::f2});
    const std::pair<const char*, size_t> coeffs[] = {
        {"a", CALIB_OFF_A},         {"b", CALIB_OFF_B},         {"c", CALIB_OFF_C},
        {"d", CALIB_OFF_D},         {"exp_a", CALIB_OFF_EXP_A}, {"exp_b", CALIB_OFF_EXP_B},
        {"exp_c", CALIB_OFF_EXP_C}, {"exp_d", CALIB_OFF_EXP_D},
    };
    for (const auto& [name, off] : coeffs) v.push_back({p + name, second + off, coeff_fmt});
    for (size_t i = 0; i < CALIB_COND_POINTS; ++i)
        v.push_back({indexed(p + "cond_nom", i), second + CALIB_OFF_COND_NOM + 4 * i, dump_fmt::f7});
    for (size_t i = 0; i < CALIB_COND_POINTS; ++i)
        v.push_back({indexed(p + "cond_meas", i), second + CALIB_OFF_COND_MEAS + 4 * i, dump_fmt::f7});
    return v;
}

std::vector<dump_field_t> dump_fields(bool extended) {
    std::vector<dump_field_t> v = {
        {"Params.audio_vol", WIDTH_MAIN, PARAMS_OFF_AUDIO_VOL, dump_fmt::u8},
        {"Params.contrast", WIDTH_MAIN, PARAMS_OFF_CONTRAST, dump_fmt::u8},
        {"Params.calib_mode", WIDTH_MAIN, PARAMS_OFF_CALIB_MODE, dump_fmt::u8},
        {"Params.meas_mode", WIDTH_MAIN, PARAMS_OFF_MEAS_MODE, dump_fmt::u8},
        {"Params.pc_auth", WIDTH_MAIN, PARAMS_OFF_PC_AUTH, dump_fmt::u8},
        {"Params.gps_on", WIDTH_MAIN, PARAMS_OFF_GPS_ON, dump_fmt::u8},
        {"Params.gps_paired", WIDTH_MAIN, PARAMS_OFF_GPS_PAIRED, dump_fmt::u8},
        {"Params.gps_pin_enable", WIDTH_MAIN, PARAMS_OFF_GPS_PIN_ENABLE, dump_fmt::u8},
        {"Params.gps_pin", WIDTH_MAIN, PARAMS_OFF_GPS_PIN, dump_fmt::text8},
        {"Params.battery_type", WIDTH_MAIN, PARAMS_OFF_BATTERY_TYPE, dump_fmt::u8},
        {"Params.replay_note", WIDTH_MAIN, PARAMS_OFF_REPLAY_NOTE, dump_fmt::u8},
    };
    if (extended) {
        v.push_back({"Params.use_lp", WIDTH_MAIN, PARAMS_OFF_USE_LP, dump_fmt::u8});
        v.push_back({"Params.sd_timeout", WIDTH_MAIN, PARAMS_OFF_SD_TIMEOUT, dump_fmt::u16});
        v.push_back({"Params.save_error_meas", WIDTH_MAIN, PARAMS_OFF_SAVE_ERROR_MEAS, dump_fmt::u8});
        v.push_back({"Params.demag_corr", WIDTH_MAIN, PARAMS_OFF_DEMAG_CORR, dump_fmt::u8});
        v.push_back({"Params.cond_corr", WIDTH_MAIN, PARAMS_OFF_COND_CORR, dump_fmt::i32});
        v.push_back({"Params.max_stored_meas", WIDTH_MAIN, PARAMS_OFF_MAX_STORED_MEAS, dump_fmt::i32});
        for (size_t i = 0; i < PARAMS_GPS_ADDR_SIZE; ++i)
            v.push_back({indexed("Params.gps_addr", i), WIDTH_MAIN, PARAMS_OFF_GPS_ADDR + i, dump_fmt::hex_upper_u8});
        v.push_back({"Params.gps_uuid", WIDTH_MAIN, PARAMS_OFF_GPS_UUID, dump_fmt::hex_lower_u16});
        v.push_back({"Params.bt_baud_rate", WIDTH_MAIN, PARAMS_OFF_BT_BAUD_RATE, dump_fmt::i32});
        for (auto& f : calib_fields("calib", PARAMS_OFF_CALIB, PARAMS_OFF_CALIB_EXT, dump_fmt::f6))
            v.push_back({f.label, WIDTH_CALIB, f.offset, f.fmt});
        for (auto& f : calib_fields("calib_pin", PARAMS_OFF_CALIB_PIN, PARAMS_OFF_CALIB_PIN_EXT, dump_fmt::f7))
            v.push_back({f.label, WIDTH_CALIB_PIN, f.offset, f.fmt});
    }
    const dump_field_t tail[] = {
        {"Params.use_conc_lut_susc", WIDTH_CALIB, PARAMS_OFF_USE_CONC_LUT_SUSC, dump_fmt::hex_lower_u8},
        {"Params.use_conc_lut_cond", WIDTH_CALIB, PARAMS_OFF_USE_CONC_LUT_COND, dump_fmt::hex_lower_u8},
        {"Params.diameter", WIDTH_CALIB, PARAMS_OFF_DIAMETER, dump_fmt::u8},
        {"Params.bh_mode", WIDTH_CALIB, PARAMS_OFF_BH_MODE, dump_fmt::i32},
        {"Params.bh_units", WIDTH_CALIB, PARAMS_OFF_BH_UNITS, dump_fmt::i32},
        {"Params.adv_mode", WIDTH_CALIB, PARAMS_OFF_ADV_MODE, dump_fmt::i32},
        {"Params.susc_units", WIDTH_CALIB, PARAMS_OFF_SUSC_UNITS, dump_fmt::u8},
        {"Params.cond_units", WIDTH_CALIB, PARAMS_OFF_COND_UNITS, dump_fmt::u8},
    };
    v.insert(v.end(), std::begin(tail), std::end(tail));
    return v;
}

std::string format_value(const uint8_t* rec, size_t off, dump_fmt fmt) {
    switch (fmt) {
        case dump_fmt::u8: return text_format("%d", get_u8(rec, off));
        case dump_fmt::u16: return text_format("%d", get_u16le(rec, off));
        case dump_fmt::i32: return text_format("%d", get_i32le(rec, off));
        case dump_fmt::hex_upper_u8: return text_format("0x%.2X", get_u8(rec, off));
        case dump_fmt::hex_lower_u8: return text_format("0x%.2x", get_u8(rec, off));
        case dump_fmt::hex_lower_u16: return text_format("0x%.2x", get_u16le(rec, off));
        case dump_fmt::text8: {
            const char* text = reinterpret_cast<const char*>(rec + off);
            const int n = static_cast<int>(strnlen(text, PARAMS_GPS_PIN_SIZE));
            return text_format("'%.*s'", n, text);
        }
        // A float's text can be long: %f of 3e38 is 46 characters.
        case dump_fmt::f2: return text_format("%.2f", static_cast<double>(get_f32le(rec, off)));
        case dump_fmt::f6: return text_format("%f", static_cast<double>(get_f32le(rec, off)));
        case dump_fmt::f7: return text_format("%.7f", static_cast<double>(get_f32le(rec, off)));
    }
    return {};
}

// Fetches the record; reports a failure or a record shorter than its
// settable head (which must never go back with bytes that did not arrive).
int32_t fetch_params(const char* handler, uint8_t* record) {
    int32_t received = 0;
    int32_t r = R62_Get_Params(id_conn, record, 1, &received);
    if (r != 0) return cmd_error(handler, r);
    if (received < static_cast<int32_t>(PARAMS_SET_SIZE)) {
        log_error("Invalid parameter record (%d bytes)!\n", received);
        return -1;
    }
    return 0;
}

int32_t send_params(const char* handler, const uint8_t* record) {
    int32_t r = R62_Set_Params(id_conn, record, 1);
    if (r != 0) return cmd_error(handler, r);
    return 0;
}

using params_buf_t = std::array<uint8_t, R62_PARAMS_BUF>;

}  // namespace

int32_t params_fetch(const char* handler, uint8_t* record) { return fetch_params(handler, record); }

int32_t params_fetch_slots(const char* handler, uint8_t* record, int32_t* slots) {
    int32_t received = 0;
    int32_t r = R62_Get_Params(id_conn, record, 1, &received);
    // Without the field the log would look empty, never wrong.
    if (r == 0 && received < static_cast<int32_t>(PARAMS_OFF_MAX_STORED_MEAS + 4)) r = MXX_ERR_PAYLOAD;
    if (r != 0) return cmd_error(handler, r);
    *slots = params_max_stored_meas(record);
    return 0;
}

int32_t params_max_stored_meas(const uint8_t* record) { return get_i32le(record, PARAMS_OFF_MAX_STORED_MEAS); }

void params_set_max_stored_meas(uint8_t* record, int32_t value) {
    put_i32le(record, PARAMS_OFF_MAX_STORED_MEAS, value);
}

std::vector<std::string> params_dump_lines(const uint8_t* record, bool extended) {
    std::vector<std::string> lines;
    for (const auto& f : dump_fields(extended)) {
        std::string label = f.label;
        if (label.size() < static_cast<size_t>(f.width)) label.resize(static_cast<size_t>(f.width), ' ');
        lines.push_back(label + "= " + format_value(record, f.offset, f.fmt) + "\n");
    }
    return lines;
}

std::vector<param_prompt_t> params_editor_prompts(bool extended) {
    std::vector<param_prompt_t> v = {
        {"Params.audio_vol", param_kind::i8, PARAMS_OFF_AUDIO_VOL, 0, 2},
        {"Params.contrast", param_kind::i8, PARAMS_OFF_CONTRAST, 0, 100},
        {"Params.meas_mode", param_kind::i8, PARAMS_OFF_MEAS_MODE, 0, 4},
        {"Params.battery_type", param_kind::i8, PARAMS_OFF_BATTERY_TYPE, 0, 1},
        {"Params.replay_note", param_kind::i8, PARAMS_OFF_REPLAY_NOTE, 0, 1},
        {"Params.use_conc_lut_susc", param_kind::i8, PARAMS_OFF_USE_CONC_LUT_SUSC, 0, 5},
        {"Params.use_conc_lut_cond", param_kind::i8, PARAMS_OFF_USE_CONC_LUT_COND, 0, 5},
        {"Params.diameter", param_kind::i8, PARAMS_OFF_DIAMETER, 0, 12},
        {"Params.bh_mode", param_kind::i32, PARAMS_OFF_BH_MODE, 0, 1},
        {"Params.bh_units", param_kind::i32, PARAMS_OFF_BH_UNITS, 0, 1},
        {"Params.adv_mode", param_kind::i32, PARAMS_OFF_ADV_MODE, 0, 1},
        {"Params.susc_units", param_kind::i8, PARAMS_OFF_SUSC_UNITS, 0, 1},
        {"Params.cond_units", param_kind::i8, PARAMS_OFF_COND_UNITS, 0, 1},
    };
    if (!extended) return v;
    v.push_back({"Params.max_stored_meas", param_kind::i32, PARAMS_OFF_MAX_STORED_MEAS, 0, 65535});
    for (auto& f : calib_fields("calib", PARAMS_OFF_CALIB, PARAMS_OFF_CALIB_EXT, dump_fmt::f6))
        v.push_back({f.label, param_kind::f32, f.offset, 0, 0});
    for (auto& f : calib_fields("calib_pin", PARAMS_OFF_CALIB_PIN, PARAMS_OFF_CALIB_PIN_EXT, dump_fmt::f7))
        v.push_back({f.label, param_kind::f32, f.offset, 0, 0});
    const param_prompt_t rest[] = {
        {"Params.use_lp", param_kind::i8, PARAMS_OFF_USE_LP, 0, 2},
        {"Params.sd_timeout", param_kind::i16, PARAMS_OFF_SD_TIMEOUT, 0, 1000},
        {"Params.demag_corr", param_kind::i8, PARAMS_OFF_DEMAG_CORR, 0, 1},
        {"Params.cond_corr", param_kind::i32, PARAMS_OFF_COND_CORR, 0, 10},
        {"Params.save_error_meas", param_kind::i8, PARAMS_OFF_SAVE_ERROR_MEAS, 0, 1},
        {"Params.pc_auth", param_kind::i8, PARAMS_OFF_PC_AUTH, 0, 1},
        {"Params.bt_baud_rate", param_kind::i32, PARAMS_OFF_BT_BAUD_RATE, 0, 921600},
    };
    v.insert(v.end(), std::begin(rest), std::end(rest));
    return v;
}

void params_edit(uint8_t* record, bool extended) {
    for (const auto& p : params_editor_prompts(extended)) {
        if (cmd_stopped()) return;
        const char* label = p.label.c_str();
        switch (p.kind) {
            case param_kind::i8: {
                int8_t v = static_cast<int8_t>(get_u8(record, p.offset));
                input_char_msg(&v, static_cast<int8_t>(p.min), static_cast<int8_t>(p.max), label);
                put_u8(record, p.offset, static_cast<uint8_t>(v));
                break;
            }
            case param_kind::i16: {
                int16_t v = get_i16le(record, p.offset);
                input_short_msg(&v, p.min, p.max, label);
                put_i16le(record, p.offset, v);
                break;
            }
            case param_kind::i32: {
                int32_t v = get_i32le(record, p.offset);
                input_integer_msg(&v, p.min, p.max, label);
                put_i32le(record, p.offset, v);
                break;
            }
            case param_kind::f32: {
                // Stored only when the answer changed it, so a kept NaN keeps
                // its exact bits.
                float v = get_f32le(record, p.offset);
                const float before = v;
                input_float_msg(&v, -INFINITY, INFINITY, label);
                if (std::memcmp(&v, &before, sizeof v) != 0) put_f32le(record, p.offset, v);
                break;
            }
        }
    }
}

int32_t R62_cmd_get_params(char line[], int32_t argument) {
    static constexpr const char* NAME = "R62_cmd_get_params";
    if (!cmd_connected()) return -1;
    params_buf_t record{};
    if (fetch_params(NAME, record.data()) != 0) return -1;
    int32_t extended = 0;
    input_yesno_msg(&extended, EXTENDED_PROMPT);
    int32_t save = 0;
    input_yesno_msg(&save, "Save to file");
    if (cmd_stopped()) return -1;
    cmd_file_t file;
    if (save != 0) {
        // A failing serial read still leaves a usable (empty) serial.
        R40_cmd_get_serial(line, argument);
        const std::string fallback = text_format("params_%s.txt", serial_no);
        const auto name = cmd_ask_file_name("Enter params file name", fallback.c_str());
        if (!name) return -1;
        file.open(*name);
    }
    for (const auto& text : params_dump_lines(record.data(), extended != 0)) {
        if (cmd_stopped()) return -1;
        log_write("MAIN", "%s", text.c_str());
        if (file.is_open()) file.puts(text.c_str());
    }
    return 0;
}

int32_t R62_cmd_set_params(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_set_params";
    if (!cmd_connected()) return -1;
    params_buf_t record{};
    if (fetch_params(NAME, record.data()) != 0) return -1;
    int32_t extended = 0;
    input_yesno_msg(&extended, EXTENDED_PROMPT);
    params_edit(record.data(), extended != 0);
    // Answers cut short by Ctrl-C or the end of input are never sent.
    if (cmd_stopped()) return -1;
    put_u8(record.data(), PARAMS_OFF_EDIT_FLAG, 1);
    return send_params(NAME, record.data());
}

int32_t R62_cmd_set_memory(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_set_memory";
    if (!cmd_connected()) return -1;
    params_buf_t record{};
    if (fetch_params(NAME, record.data()) != 0) return -1;
    if (cmd_stopped()) return -1;
    params_set_max_stored_meas(record.data(), PARAMS_MEMORY_RECORDS);
    return send_params(NAME, record.data());
}
