// The parameter record's dump lines and editor prompts, on a record built
// byte by byte at the record's offsets.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands/r62_params.h"
#include "records/wire.h"
#include "support/console_capture.h"

namespace {

using record_t = std::array<uint8_t, 4319>;

// A dump line (without its line feed), where its field lies, its type ('b'
// u8, 'h' u16, 'i' i32, 's' the 8-byte text "1234") and value.
struct field_t { const char* line; size_t offset; char type; double value; };

// Every named field of the sample record but the calibration values, each a
// value of its own, in the extended dump's order: the first 11 and the last
// 8 make the basic dump; the two calibration sets go after bt_baud_rate.
const field_t kDump[] = {
    {"Params.audio_vol         = 1", 1, 'b', 1},
    {"Params.contrast          = 55", 102, 'b', 55},
    {"Params.calib_mode        = 3", 3, 'b', 3},
    {"Params.meas_mode         = 4", 103, 'b', 4},
    {"Params.pc_auth           = 15", 68, 'b', 15},
    {"Params.gps_on            = 200", 70, 'b', 200},  // unsigned
    {"Params.gps_paired        = 17", 79, 'b', 17},
    {"Params.gps_pin_enable    = 18", 69, 'b', 18},
    {"Params.gps_pin           = '1234'", 71, 's', 0},
    {"Params.battery_type      = 19", 93, 'b', 19},
    {"Params.replay_note       = 20", 91, 'b', 20},
    {"Params.use_lp            = 2", 0, 'b', 2},
    {"Params.sd_timeout        = 300", 89, 'h', 300},
    {"Params.save_error_meas   = 22", 92, 'b', 22},
    {"Params.demag_corr        = 23", 2, 'b', 23},
    {"Params.cond_corr         = 65543", 117, 'i', 0x10007},
    {"Params.max_stored_meas   = -70000", 94, 'i', -70000},
    {"Params.gps_addr[0]       = 0x00", 82, 'b', 0x00},
    {"Params.gps_addr[1]       = 0x1A", 83, 'b', 0x1A},
    {"Params.gps_addr[2]       = 0x7D", 84, 'b', 0x7D},
    {"Params.gps_addr[3]       = 0xFF", 85, 'b', 0xFF},
    {"Params.gps_addr[4]       = 0x02", 86, 'b', 0x02},
    {"Params.gps_addr[5]       = 0xB0", 87, 'b', 0xB0},
    {"Params.gps_uuid          = 0xab", 80, 'h', 0xAB},  // two digits at least, not four
    {"Params.bt_baud_rate      = 115200", 105, 'i', 115200},
    {"Params.use_conc_lut_susc   = 0x1f", 100, 'b', 0x1f},
    {"Params.use_conc_lut_cond   = 0x03", 98, 'b', 0x03},
    {"Params.diameter            = 12", 101, 'b', 12},
    {"Params.bh_mode             = 196638", 113, 'i', 0x3001E},
    {"Params.bh_units            = 131101", 109, 'i', 0x2001D},
    {"Params.adv_mode            = 262175", 121, 'i', 0x4001F},
    {"Params.susc_units          = 26", 125, 'b', 26},
    {"Params.cond_units          = 27", 126, 'b', 27},
};

// A calibration set's 30 values in the order the dump and the editor visit
// them (susceptibility and conductance alternately, then fs, us, fc, uc),
// at their offsets in the set's first and second stretch.
const std::pair<const char*, size_t> kCalib[] = {
    {"nom_susc[0]", 0}, {"nom_cond[0]", 8}, {"nom_susc[1]", 4}, {"nom_cond[1]", 12}, {"fs", 16},
    {"us", 24}, {"fc", 20}, {"uc", 28}, {"a", 0}, {"b", 4}, {"c", 8}, {"d", 12}, {"exp_a", 16},
    {"exp_b", 20}, {"exp_c", 24}, {"exp_d", 28}, {"cond_nom[0]", 32}, {"cond_nom[1]", 36},
    {"cond_nom[2]", 40}, {"cond_nom[3]", 44}, {"cond_nom[4]", 48}, {"cond_nom[5]", 52},
    {"cond_nom[6]", 56}, {"cond_meas[0]", 64}, {"cond_meas[1]", 68}, {"cond_meas[2]", 72},
    {"cond_meas[3]", 76}, {"cond_meas[4]", 80}, {"cond_meas[5]", 84}, {"cond_meas[6]", 88},
};

struct calib_value_t { std::string label; size_t offset; std::string dumped; };

// Both sets' values with the text each dumps as. Each holds its record
// offset plus a half, so a value shows where it was read.
std::vector<calib_value_t> calib_values() {
    struct set_t { const char* name; size_t first, second; const char* coeff_format; };
    const set_t sets[] = {{"calib", 4, 127, "%f"}, {"calib_pin", 36, 223, "%.7f"}};
    std::vector<calib_value_t> v;
    for (const auto& set : sets) {
        for (size_t i = 0; i < std::size(kCalib); ++i) {
            const size_t offset = (i < 8 ? set.first : set.second) + kCalib[i].second;
            char text[32];
            std::snprintf(text, sizeof text, i < 8 ? "%.2f" : i < 16 ? set.coeff_format : "%.7f", offset + 0.5);
            v.push_back({std::string("Params.") + set.name + "." + kCalib[i].first, offset, text});
        }
    }
    return v;
}

record_t sample_record() {
    record_t r{};
    r.fill(0x99);  // unnamed bytes and the tail: never shown, never changed
    for (const field_t& f : kDump) {
        if (f.type == 'b') r[f.offset] = static_cast<uint8_t>(f.value);
        if (f.type == 'h') put_u16le(r.data(), f.offset, static_cast<uint16_t>(f.value));
        if (f.type == 'i') put_i32le(r.data(), f.offset, static_cast<int32_t>(f.value));
        if (f.type == 's') std::memcpy(&r[f.offset], "1234\0\0\0\0", 8);
    }
    for (const auto& c : calib_values()) put_f32le(r.data(), c.offset, static_cast<float>(c.offset + 0.5));
    return r;
}

std::vector<std::string> expected_dump(bool extended) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < std::size(kDump); ++i) {
        if (extended || i < 11 || i >= std::size(kDump) - 8) lines.push_back(std::string(kDump[i].line) + "\n");
        if (!extended || i != 24) continue;  // bt_baud_rate
        for (const auto& c : calib_values()) {
            std::string label = c.label;
            label.resize(label.starts_with("Params.calib_pin.") ? 31 : 27, ' ');
            lines.push_back(label + "= " + c.dumped + "\n");
        }
    }
    return lines;
}

// The editor's integer prompts in their order, with their widths and upper bounds (all start at 0). The
// 60 calibration values, in the dump's order, come after max_stored_meas.
struct int_prompt_t { const char* label; size_t offset; int width; int32_t max; };
const int_prompt_t kIntPrompts[] = {
    {"Params.audio_vol", 1, 1, 2},           {"Params.contrast", 102, 1, 100},
    {"Params.meas_mode", 103, 1, 4},         {"Params.battery_type", 93, 1, 1},
    {"Params.replay_note", 91, 1, 1},        {"Params.use_conc_lut_susc", 100, 1, 5},
    {"Params.use_conc_lut_cond", 98, 1, 5},  {"Params.diameter", 101, 1, 12},
    {"Params.bh_mode", 113, 4, 1},           {"Params.bh_units", 109, 4, 1},
    {"Params.adv_mode", 121, 4, 1},          {"Params.susc_units", 125, 1, 1},
    {"Params.cond_units", 126, 1, 1},        {"Params.max_stored_meas", 94, 4, 65535},
    {"Params.use_lp", 0, 1, 2},              {"Params.sd_timeout", 89, 2, 1000},
    {"Params.demag_corr", 2, 1, 1},          {"Params.cond_corr", 117, 4, 10},
    {"Params.save_error_meas", 92, 1, 1},    {"Params.pc_auth", 68, 1, 1},
    {"Params.bt_baud_rate", 105, 4, 921600},
};

// The prompts shown for the sample record, each integer prompt `asked` times.
std::string editor_prompts(bool extended, int asked) {
    std::string out;
    for (size_t i = 0; i < (extended ? std::size(kIntPrompts) : 13); ++i) {
        const std::string label = kIntPrompts[i].label;
        for (const field_t& f : kDump)
            if (std::string(f.line).starts_with(label + " "))
                for (int n = 0; n < asked; ++n) out += label + "[" + std::to_string(int64_t(f.value)) + "]:";
        if (label != "Params.max_stored_meas") continue;
        for (const auto& c : calib_values()) {
            char value[32];
            std::snprintf(value, sizeof value, "[%.3f]:", c.offset + 0.5);
            out += c.label + value;
        }
    }
    return out;
}

}  // namespace

TEST(ParamsDumpLines, BasicAndExtendedDumpsLineByLine) {
    record_t r = sample_record();
    EXPECT_EQ(params_dump_lines(r.data(), false), expected_dump(false));
    auto lines = params_dump_lines(r.data(), true);
    EXPECT_EQ(lines, expected_dump(true));
    ASSERT_EQ(lines.size(), 93u);
    // One line of each calibration width and format, spelled out.
    EXPECT_EQ(lines[25], "Params.calib.nom_susc[0]   = 4.50\n");
    EXPECT_EQ(lines[33], "Params.calib.a             = 127.500000\n");
    EXPECT_EQ(lines[54], "Params.calib.cond_meas[6]  = 215.5000000\n");
    EXPECT_EQ(lines[61], "Params.calib_pin.fc            = 56.50\n");
    EXPECT_EQ(lines[70], "Params.calib_pin.exp_d         = 251.5000000\n");

    // Edge values print whole.
    std::memcpy(&r[71], "ABCDEFGH", 8);  // a pin without terminator: gps_paired behind must not leak in
    put_u16le(r.data(), 89, 0xFFFF);    // u16 zero-extended
    put_f32le(r.data(), 127, 3.0e38f);  // calib.a, "%f": 39 digits
    lines = params_dump_lines(r.data(), true);
    EXPECT_EQ(lines[8], "Params.gps_pin           = 'ABCDEFGH'\n");
    EXPECT_EQ(lines[12], "Params.sd_timeout        = 65535\n");
    EXPECT_EQ(lines[33], "Params.calib.a             = 300000000549775575777803994281145270272.000000\n");
}

TEST(ParamsEdit, OutOfBoundsAnswersAreAskedAgainAcceptedOnesLandInTheirWidths) {
    record_t r = sample_record();
    record_t expect = r;
    std::string input;
    for (const auto& p : kIntPrompts) {
        input += "-1\n" + std::to_string(int64_t(p.max) + 1) + "\n" + std::to_string(p.max) + "\n";
        if (p.width == 1) expect[p.offset] = static_cast<uint8_t>(p.max);
        if (p.width == 2) put_u16le(expect.data(), p.offset, static_cast<uint16_t>(p.max));
        if (p.width == 4) put_i32le(expect.data(), p.offset, p.max);
        if (std::string(p.label) == "Params.max_stored_meas") input += "-2.5\n" + std::string(59, '\n');
    }
    put_f32le(expect.data(), 4, -2.5f);
    EXPECT_EQ(console_out(input, [&] { params_edit(r.data(), true); }), editor_prompts(true, 3));
    EXPECT_EQ(r, expect);  // nothing else moved
}
