// The parameter record's dump lines and editor prompts, on records built
// byte by byte at the record's offsets.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "commands/r62_params.h"
#include "link/wire.h"
#include "support/console_capture.h"

namespace {

using record_t = std::array<uint8_t, 4319>;

void put_f32s(record_t& r, size_t off, std::initializer_list<float> values) {
    for (float v : values) {
        put_f32le(r.data(), off, v);
        off += 4;
    }
}

// Every named field a distinct value, at the offsets of the record layout.
record_t sample_record() {
    record_t r{};
    r[0] = 2;    // use_lp
    r[1] = 1;    // audio_vol
    r[2] = 1;    // demag_corr
    r[3] = 3;    // calib_mode
    put_f32s(r, 4, {1.5f, 2.25f, 3.125f, 4.0f, 10.5f, 11.25f, 12.75f, 13.0f});    // calib nom_susc, nom_cond, fs, fc, us, uc
    put_f32s(r, 36, {21.5f, 22.25f, 23.125f, 24.0f, 30.5f, 31.25f, 32.75f, 33.0f});  // calib_pin
    r[68] = 1;   // pc_auth
    r[69] = 1;   // gps_pin_enable
    r[70] = 0;   // gps_on
    std::memcpy(&r[71], "1234", 4);
    r[79] = 1;   // gps_paired
    put_u16le(r.data(), 80, 0x1101);
    const uint8_t addr[6] = {0x00, 0x1A, 0x7d, 0xFF, 0x02, 0xb0};
    std::memcpy(&r[82], addr, 6);
    r[88] = 0xEE;  // not named
    put_u16le(r.data(), 89, 300);
    r[91] = 1;   // replay_note
    r[92] = 0;   // save_error_meas
    r[93] = 1;   // battery_type
    put_i32le(r.data(), 94, 4000);
    r[98] = 3;     // use_conc_lut_cond
    r[99] = 0;     // edit_flag
    r[100] = 0x1f; // use_conc_lut_susc
    r[101] = 12;   // diameter
    r[102] = 55;   // contrast
    r[103] = 4;    // meas_mode
    r[104] = 0xDD; // not named
    put_i32le(r.data(), 105, 115200);
    put_i32le(r.data(), 109, 1);  // bh_units
    put_i32le(r.data(), 113, 0);  // bh_mode
    put_i32le(r.data(), 117, 7);  // cond_corr
    put_i32le(r.data(), 121, 1);  // adv_mode
    r[125] = 0;  // susc_units
    r[126] = 1;  // cond_units
    put_f32s(r, 127, {0.1f, -1.25f, 2.0f, 0.001f, 1, 2, 3, 4});
    put_f32s(r, 159, {0.5f, 0.25f, 0.125f, 0.0625f, 0.03125f, 0.015625f, 0.0078125f});
    put_f32s(r, 191, {1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f});
    put_f32s(r, 223, {0.1f, -1.25f, 2.0f, 0.001f, 5, 6, 7, 8});
    put_f32s(r, 255, {0.3f, 0.25f, 0.125f, 0.0625f, 0.03125f, 0.015625f, 0.0078125f});
    put_f32s(r, 287, {-1.5f, -2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 1e-7f});
    return r;
}

const std::vector<std::string> kBasicHead = {
    "Params.audio_vol         = 1\n",
    "Params.contrast          = 55\n",
    "Params.calib_mode        = 3\n",
    "Params.meas_mode         = 4\n",
    "Params.pc_auth           = 1\n",
    "Params.gps_on            = 0\n",
    "Params.gps_paired        = 1\n",
    "Params.gps_pin_enable    = 1\n",
    "Params.gps_pin           = '1234'\n",
    "Params.battery_type      = 1\n",
    "Params.replay_note       = 1\n",
};

const std::vector<std::string> kExtended = {
    "Params.use_lp            = 2\n",
    "Params.sd_timeout        = 300\n",
    "Params.save_error_meas   = 0\n",
    "Params.demag_corr        = 1\n",
    "Params.cond_corr         = 7\n",
    "Params.max_stored_meas   = 4000\n",
    "Params.gps_addr[0]       = 0x00\n",
    "Params.gps_addr[1]       = 0x1A\n",
    "Params.gps_addr[2]       = 0x7D\n",
    "Params.gps_addr[3]       = 0xFF\n",
    "Params.gps_addr[4]       = 0x02\n",
    "Params.gps_addr[5]       = 0xB0\n",
    "Params.gps_uuid          = 0x1101\n",
    "Params.bt_baud_rate      = 115200\n",
    "Params.calib.nom_susc[0]   = 1.50\n",
    "Params.calib.nom_cond[0]   = 3.12\n",
    "Params.calib.nom_susc[1]   = 2.25\n",
    "Params.calib.nom_cond[1]   = 4.00\n",
    "Params.calib.fs            = 10.50\n",
    "Params.calib.us            = 12.75\n",
    "Params.calib.fc            = 11.25\n",
    "Params.calib.uc            = 13.00\n",
    "Params.calib.a             = 0.100000\n",
    "Params.calib.b             = -1.250000\n",
    "Params.calib.c             = 2.000000\n",
    "Params.calib.d             = 0.001000\n",
    "Params.calib.exp_a         = 1.000000\n",
    "Params.calib.exp_b         = 2.000000\n",
    "Params.calib.exp_c         = 3.000000\n",
    "Params.calib.exp_d         = 4.000000\n",
    "Params.calib.cond_nom[0]   = 0.5000000\n",
    "Params.calib.cond_nom[1]   = 0.2500000\n",
    "Params.calib.cond_nom[2]   = 0.1250000\n",
    "Params.calib.cond_nom[3]   = 0.0625000\n",
    "Params.calib.cond_nom[4]   = 0.0312500\n",
    "Params.calib.cond_nom[5]   = 0.0156250\n",
    "Params.calib.cond_nom[6]   = 0.0078125\n",
    "Params.calib.cond_meas[0]  = 1.5000000\n",
    "Params.calib.cond_meas[1]  = 2.5000000\n",
    "Params.calib.cond_meas[2]  = 3.5000000\n",
    "Params.calib.cond_meas[3]  = 4.5000000\n",
    "Params.calib.cond_meas[4]  = 5.5000000\n",
    "Params.calib.cond_meas[5]  = 6.5000000\n",
    "Params.calib.cond_meas[6]  = 7.5000000\n",
    "Params.calib_pin.nom_susc[0]   = 21.50\n",
    "Params.calib_pin.nom_cond[0]   = 23.12\n",
    "Params.calib_pin.nom_susc[1]   = 22.25\n",
    "Params.calib_pin.nom_cond[1]   = 24.00\n",
    "Params.calib_pin.fs            = 30.50\n",
    "Params.calib_pin.us            = 32.75\n",
    "Params.calib_pin.fc            = 31.25\n",
    "Params.calib_pin.uc            = 33.00\n",
    "Params.calib_pin.a             = 0.1000000\n",
    "Params.calib_pin.b             = -1.2500000\n",
    "Params.calib_pin.c             = 2.0000000\n",
    "Params.calib_pin.d             = 0.0010000\n",
    "Params.calib_pin.exp_a         = 5.0000000\n",
    "Params.calib_pin.exp_b         = 6.0000000\n",
    "Params.calib_pin.exp_c         = 7.0000000\n",
    "Params.calib_pin.exp_d         = 8.0000000\n",
    "Params.calib_pin.cond_nom[0]   = 0.3000000\n",
    "Params.calib_pin.cond_nom[1]   = 0.2500000\n",
    "Params.calib_pin.cond_nom[2]   = 0.1250000\n",
    "Params.calib_pin.cond_nom[3]   = 0.0625000\n",
    "Params.calib_pin.cond_nom[4]   = 0.0312500\n",
    "Params.calib_pin.cond_nom[5]   = 0.0156250\n",
    "Params.calib_pin.cond_nom[6]   = 0.0078125\n",
    "Params.calib_pin.cond_meas[0]  = -1.5000000\n",
    "Params.calib_pin.cond_meas[1]  = -2.5000000\n",
    "Params.calib_pin.cond_meas[2]  = 3.5000000\n",
    "Params.calib_pin.cond_meas[3]  = 4.5000000\n",
    "Params.calib_pin.cond_meas[4]  = 5.5000000\n",
    "Params.calib_pin.cond_meas[5]  = 6.5000000\n",
    "Params.calib_pin.cond_meas[6]  = 0.0000001\n",
};

const std::vector<std::string> kTail = {
    "Params.use_conc_lut_susc   = 0x1f\n",
    "Params.use_conc_lut_cond   = 0x03\n",
    "Params.diameter            = 12\n",
    "Params.bh_mode             = 0\n",
    "Params.bh_units            = 1\n",
    "Params.adv_mode            = 1\n",
    "Params.susc_units          = 0\n",
    "Params.cond_units          = 1\n",
};

std::vector<std::string> concat(std::initializer_list<const std::vector<std::string>*> parts) {
    std::vector<std::string> all;
    for (auto* p : parts) all.insert(all.end(), p->begin(), p->end());
    return all;
}

}  // namespace

// ---- dump lines -------------------------------------------------------------

TEST(ParamsDumpLines, BasicDumpIsElevenBasicThenEightTailLines) {
    record_t r = sample_record();
    auto lines = params_dump_lines(r.data(), false);
    EXPECT_EQ(lines.size(), 19u);
    EXPECT_EQ(lines, concat({&kBasicHead, &kTail}));
}

TEST(ParamsDumpLines, ExtendedDumpHasAll93LinesInOrderWithTheirWidthsAndFormats) {
    record_t r = sample_record();
    auto lines = params_dump_lines(r.data(), true);
    EXPECT_EQ(lines.size(), 93u);
    auto expected = concat({&kBasicHead, &kExtended, &kTail});
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
}

TEST(ParamsDumpLines, GpsPinOfEightNonZeroBytesPrintsEightCharacters) {
    record_t r = sample_record();
    std::memcpy(&r[71], "ABCDEFGH", 8);
    r[79] = 'Z';  // gps_paired right behind must not leak into the text
    auto lines = params_dump_lines(r.data(), false);
    EXPECT_EQ(lines[8], "Params.gps_pin           = 'ABCDEFGH'\n");
    EXPECT_EQ(lines[6], "Params.gps_paired        = 90\n");
}

TEST(ParamsDumpLines, WideFieldsReadSignedOrUnsignedAsTheirTypeSays) {
    record_t r = sample_record();
    r[1] = 200;                          // u8 zero-extended
    put_u16le(r.data(), 89, 0xFFFF);     // u16 zero-extended
    put_i32le(r.data(), 94, -5);         // i32 signed
    put_u16le(r.data(), 80, 0xABCD);     // hex lower, all digits
    auto lines = params_dump_lines(r.data(), true);
    EXPECT_EQ(lines[0], "Params.audio_vol         = 200\n");
    EXPECT_EQ(lines[12], "Params.sd_timeout        = 65535\n");
    EXPECT_EQ(lines[16], "Params.max_stored_meas   = -5\n");
    EXPECT_EQ(lines[23], "Params.gps_uuid          = 0xabcd\n");
}

TEST(ParamsDumpLines, HugeFloatsPrintInFull) {
    record_t r = sample_record();
    put_f32le(r.data(), 127, 3.0e38f);  // calib.a, "%f"
    auto lines = params_dump_lines(r.data(), true);
    std::string line = lines[33];
    ASSERT_EQ(line.rfind("Params.calib.a             = ", 0), 0u) << line;
    std::string value = line.substr(29);
    EXPECT_EQ(value.size(), 47u);  // 39 digits, point, 6 decimals, line feed
    EXPECT_EQ(value.substr(value.size() - 8), ".000000\n");
}

// ---- editor prompts -----------------------------------------------------------

TEST(ParamsEditorPrompts, ExtendedGroupMakes81PromptsWithFieldOffsetsAndBounds) {
    auto prompts = params_editor_prompts(true);
    ASSERT_EQ(prompts.size(), 81u);
    struct expect_t {
        size_t index;
        const char* label;
        param_kind kind;
        size_t offset;
        int32_t min, max;
    };
    const expect_t expected[] = {
        {0, "Params.audio_vol", param_kind::i8, 1, 0, 2},
        {1, "Params.contrast", param_kind::i8, 102, 0, 100},
        {2, "Params.meas_mode", param_kind::i8, 103, 0, 4},
        {5, "Params.use_conc_lut_susc", param_kind::i8, 100, 0, 5},
        {6, "Params.use_conc_lut_cond", param_kind::i8, 98, 0, 5},
        {7, "Params.diameter", param_kind::i8, 101, 0, 12},
        {8, "Params.bh_mode", param_kind::i32, 113, 0, 1},
        {9, "Params.bh_units", param_kind::i32, 109, 0, 1},
        {10, "Params.adv_mode", param_kind::i32, 121, 0, 1},
        {12, "Params.cond_units", param_kind::i8, 126, 0, 1},
        {13, "Params.max_stored_meas", param_kind::i32, 94, 0, 65535},
        {74, "Params.use_lp", param_kind::i8, 0, 0, 2},
        {75, "Params.sd_timeout", param_kind::i16, 89, 0, 1000},
        {76, "Params.demag_corr", param_kind::i8, 2, 0, 1},
        {77, "Params.cond_corr", param_kind::i32, 117, 0, 10},
        {78, "Params.save_error_meas", param_kind::i8, 92, 0, 1},
        {79, "Params.pc_auth", param_kind::i8, 68, 0, 1},
        {80, "Params.bt_baud_rate", param_kind::i32, 105, 0, 921600},
    };
    for (const auto& e : expected) {
        const auto& p = prompts[e.index];
        EXPECT_EQ(p.label, e.label) << e.index;
        EXPECT_EQ(p.kind, e.kind) << e.label;
        EXPECT_EQ(p.offset, e.offset) << e.label;
        EXPECT_EQ(p.min, e.min) << e.label;
        EXPECT_EQ(p.max, e.max) << e.label;
    }
}

TEST(ParamsEditorPrompts, CalibrationPromptsVisitSusceptibilityConductanceAlternatelyAndFsUsFcUc) {
    auto prompts = params_editor_prompts(true);
    const std::pair<const char*, size_t> calib[] = {
        {"nom_susc[0]", 4}, {"nom_cond[0]", 12}, {"nom_susc[1]", 8}, {"nom_cond[1]", 16},
        {"fs", 20},         {"us", 28},          {"fc", 24},         {"uc", 32},
        {"a", 127},         {"b", 131},          {"c", 135},         {"d", 139},
        {"exp_a", 143},     {"exp_b", 147},      {"exp_c", 151},     {"exp_d", 155},
        {"cond_nom[0]", 159}, {"cond_nom[6]", 183}, {"cond_meas[0]", 191}, {"cond_meas[6]", 215},
    };
    auto find = [&](const std::string& label) -> const param_prompt_t* {
        for (auto& p : prompts)
            if (p.label == label) return &p;
        return nullptr;
    };
    for (const auto& [field, off] : calib) {
        auto* c = find(std::string("Params.calib.") + field);
        auto* pin = find(std::string("Params.calib_pin.") + field);
        ASSERT_NE(c, nullptr) << field;
        ASSERT_NE(pin, nullptr) << field;
        EXPECT_EQ(c->offset, off) << field;
        // The pin set lies 32 bytes further in its first stretch and 96 in its second.
        EXPECT_EQ(pin->offset, off + (off < 127 ? 32 : 96)) << field;
        EXPECT_EQ(c->kind, param_kind::f32);
    }
    EXPECT_EQ(prompts[14].label, "Params.calib.nom_susc[0]");
    EXPECT_EQ(prompts[18].label, "Params.calib.fs");
    EXPECT_EQ(prompts[19].label, "Params.calib.us");
    EXPECT_EQ(prompts[43].label, "Params.calib.cond_meas[6]");
    EXPECT_EQ(prompts[44].label, "Params.calib_pin.nom_susc[0]");
    EXPECT_EQ(prompts[73].label, "Params.calib_pin.cond_meas[6]");
}

// ---- editing a record from the console ------------------------------------------

TEST(ParamsEdit, EnterEverywhereLeavesEveryByteAsItWas) {
    record_t r = sample_record();
    put_f32le(r.data(), 4, std::nanf("0x123"));  // a NaN payload survives too
    record_t before = r;
    auto cap = console_run("", [&] { params_edit(r.data(), true); });
    EXPECT_EQ(r, before);
    EXPECT_EQ(split_lines(cap.out).size(), 1u);  // prompts only, no line feeds
    EXPECT_EQ(cap.out.rfind("Params.audio_vol[1]:Params.contrast[55]:", 0), 0u);
    EXPECT_NE(cap.out.find("Params.calib.fs[10.500]:Params.calib.us[12.750]:"), std::string::npos);
    EXPECT_NE(cap.out.find("Params.sd_timeout[300]:"), std::string::npos);
    EXPECT_TRUE(cap.out.ends_with(":Params.pc_auth[1]:Params.bt_baud_rate[115200]:")) << cap.out;
}

TEST(ParamsEdit, OutOfBoundsAnswerIsAskedAgainAndNeverStored) {
    record_t r = sample_record();
    // 13 basic Enters, max_stored_meas Enter, 60 calibration Enters, 6 Enters,
    // then 921601 for bt_baud_rate (rejected) and 9600.
    std::string input = std::string(13 + 1 + 60 + 6, '\n') + "921601\n9600\n";
    auto cap = console_run(input, [&] { params_edit(r.data(), true); });
    EXPECT_EQ(get_i32le(r.data(), 105), 9600);
    EXPECT_TRUE(cap.out.ends_with("Params.pc_auth[1]:Params.bt_baud_rate[115200]:Params.bt_baud_rate[115200]:"))
        << cap.out;
}

TEST(ParamsEdit, AcceptedAnswersLandAtTheirFieldsInTheirWidths) {
    record_t r = sample_record();
    record_t before = r;
    // contrast 100, bh_mode 1; extended: max_stored_meas 65535, calib.nom_susc[0] -2.5,
    // sd_timeout 1000, bt_baud_rate 921600.
    std::string input = "\n100\n\n\n\n\n\n\n1\n\n\n\n\n";
    input += "65535\n-2.5\n" + std::string(59, '\n');
    input += "\n1000\n\n\n\n\n921600\n";
    console_run(input, [&] { params_edit(r.data(), true); });
    EXPECT_EQ(r[102], 100);
    EXPECT_EQ(get_i32le(r.data(), 113), 1);
    EXPECT_EQ(get_i32le(r.data(), 94), 65535);
    EXPECT_EQ(get_f32le(r.data(), 4), -2.5f);
    EXPECT_EQ(get_u16le(r.data(), 89), 1000);
    EXPECT_EQ(get_i32le(r.data(), 105), 921600);
    // Nothing else moved.
    record_t expect = before;
    expect[102] = 100;
    put_i32le(expect.data(), 113, 1);
    put_i32le(expect.data(), 94, 65535);
    put_f32le(expect.data(), 4, -2.5f);
    put_u16le(expect.data(), 89, 1000);
    put_i32le(expect.data(), 105, 921600);
    EXPECT_EQ(r, expect);
}
