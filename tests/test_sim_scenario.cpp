// Scenario files and the built-in instruments' content.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "link/wire.h"
#include "sim/records.h"
#include "sim/sim.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes file(sim_t* s, const std::string& name) {
    bytes b;
    EXPECT_TRUE(SIM_get_file(s, name, &b)) << name;
    return b;
}

std::vector<bytes> records(sim_t* s) {
    std::vector<bytes> out;
    for (const auto& name : SIM_list_files(s))
        if (name.rfind("meas/meas", 0) == 0) out.push_back(file(s, name));
    return out;
}

}  // namespace

TEST(SimScenario, SetsIdentityParamsAndStatus) {
    std::string err;
    sim_ptr s(SIM_create_json(R"({
        "serial": "B0009999", "fw_version": "3.01", "model": 16640,
        "clock": [2030, 1, 2, 3, 4, 5],
        "params": {"max_stored_meas": 40, "gps_pin": "12345678", "calib.nom_susc[1]": 2.5,
                   "calib_pin.cond_meas": [1, 2, 3], "contrast": 90, "size": 330,
                   "bytes": {"88": "7e", "325": "0102"}},
        "status": {"bat_perc": 65535, "flash_size": 1048575},
        "heap": {"avail": -5, "text": "low"}
    })", &err));
    ASSERT_TRUE(s) << err;
    EXPECT_EQ(SIM_get_serial(s.get()), "B0009999");
    EXPECT_EQ(SIM_get_fw_version(s.get()), "3.01");
    EXPECT_EQ(SIM_get_model(s.get()), 16640u);
    int32_t t[6];
    SIM_get_clock(s.get(), t);
    EXPECT_EQ(t[0], 2030);
    EXPECT_EQ(t[2], 2);
    const bytes p = SIM_get_params(s.get());
    ASSERT_EQ(p.size(), 330u);
    EXPECT_EQ(get_i32le(p.data(), 94), 40);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data() + 71), 8), "12345678");
    EXPECT_EQ(p[79], 1) << "gps_paired untouched behind the full pin";
    EXPECT_EQ(get_f32le(p.data(), 8), 2.5f);
    EXPECT_EQ(get_f32le(p.data(), 287), 1.0f);
    EXPECT_EQ(get_f32le(p.data(), 295), 3.0f);
    EXPECT_EQ(p[102], 90);
    EXPECT_EQ(p[88], 0x7E);
    EXPECT_EQ(p[325], 0x01);
    EXPECT_EQ(p[326], 0x02);
    const bytes st = SIM_get_status(s.get());
    EXPECT_EQ(get_u16le(st.data(), 8), 65535);
    EXPECT_EQ(get_u32le(st.data(), 16), 1048575u);
}

TEST(SimScenario, BuildsRecordsTablesAndEntries) {
    std::string err;
    sim_ptr s(SIM_create_json(R"({
        "base": "empty",
        "files": {
            "meas/meas0005.dat": {"record": {"rec_no": 7, "group_no": 3, "type": 2, "curve_s": 4, "susc_cgs": 1,
                "bh_kind": 2, "meas_time": 6, "marks": [0, 9, 479], "susc_points": [0.5, 0.25],
                "bh_desc": "ABCDEFGHIJKLMNOP", "susc": 1.5, "year": 2024,
                "gps": {"lat": 49.20576, "lon": -16.5, "valid": true, "sats": 7, "alt": -12}}},
            "meas/meas0002.dat": {"record": {"rec_no": 3, "gps": {"flags": 123, "lat_raw": 4, "lon_raw": 5, "alt": 6}}},
            "notes/rec0005.wav": {"wav": 100},
            "aux/aux0002.dat": {"text": "aux"},
            "lut/lut03.dat": {"lut": {"name": "TEST", "values": [1, 2], "conc": [3]}},
            "deep/er/x.bin": {"hex": "00 ff 10"}
        },
        "entries": {"9": {"value": 4294967295, "flags": 0}, "2": 100}
    })", &err));
    ASSERT_TRUE(s) << err;
    const bytes r = file(s.get(), "meas/meas0005.dat");
    ASSERT_EQ(r.size(), MR_SIZE);
    EXPECT_EQ(get_i32le(r.data(), MR_REC_NO), 7);
    EXPECT_EQ(get_u32le(r.data(), MR_TYPE_WORD), 2u | (4u << 8) | (2u << 24) | (1u << 26));
    EXPECT_EQ(r[MR_MARKS], 0x01);
    EXPECT_EQ(r[MR_MARKS + 1], 0x02);
    EXPECT_EQ(r[MR_MARKS + 59], 0x80);
    EXPECT_EQ(get_f32le(r.data(), MR_SUSC_POINTS + 4), 0.25f);
    EXPECT_EQ(std::memcmp(r.data() + MR_BH_DESC, "ABCDEFGHIJKLMNOP", 16), 0);
    EXPECT_EQ(r[MR_BH_FEET], 0) << "a 16-character description is not terminated";
    const uint32_t flags = get_u32le(r.data(), MR_GPS);
    EXPECT_EQ(flags, (1u << 7) | (1u << 9) | (7u << 11)) << "north, west, valid, 7 satellites";
    EXPECT_EQ(get_u32le(r.data(), MR_GPS + 4), 4912u | (3456u << 17));
    EXPECT_EQ(get_u32le(r.data(), MR_GPS + 8), 1630u);
    EXPECT_EQ(get_i32le(r.data(), MR_GPS + 12), -12);
    const bytes r2 = file(s.get(), "meas/meas0002.dat");
    EXPECT_EQ(get_u32le(r2.data(), MR_GPS), 123u);
    EXPECT_EQ(get_i32le(r2.data(), MR_GPS + 12), 6);

    const bytes lut = file(s.get(), "lut/lut03.dat");
    ASSERT_EQ(lut.size(), LUT_SIZE);
    EXPECT_EQ(get_i32le(lut.data(), LUT_COUNT), 12);
    uint32_t x = 0;
    for (size_t off = 4; off <= 112; off += 4) x ^= get_u32le(lut.data(), off);
    EXPECT_EQ(get_u32le(lut.data(), 0), x);
    EXPECT_EQ(file(s.get(), "deep/er/x.bin"), (bytes{0x00, 0xFF, 0x10}));
    EXPECT_TRUE(SIM_has_dir(s.get(), "deep/er"));

    EXPECT_EQ(SIM_get_entry(s.get(), 5).flags, LE_NOTE);
    EXPECT_NE(SIM_get_entry(s.get(), 5).value, 0u);
    EXPECT_EQ(SIM_get_entry(s.get(), 2).value, 100u);
    EXPECT_EQ(SIM_get_entry(s.get(), 2).flags, LE_AUX);
    EXPECT_EQ(SIM_get_entry(s.get(), 9).value, 0xFFFFFFFFu) << "an entry without a record file";
    EXPECT_EQ(SIM_get_entry(s.get(), 3).value, 0u);
}

TEST(SimScenario, MistakesAreReportedAndChangeNothing) {
    const char* bad[] = {
        "[1, 2]",
        "{\"serail\": \"A\"}",
        "{\"params\": {\"max_stored\": 1}}",
        "{\"params\": {\"audio_vol\": 256}}",
        "{\"params\": {\"calib.nom_susc[2]\": 1}}",
        "{\"params\": {\"size\": 100}}",
        "{\"files\": {\"x\": {\"hex\": \"abc\"}}}",
        "{\"files\": {\"x\": {\"record\": {\"marks\": [480]}}}}",
        "{\"files\": {\"raw\": {\"text\": \"no\"}}}",
        "{\"faults\": {\"drop_some\": 1}}",
        "{\"clock\": [2026, 2, 30, 25, 0, 0]}",
        "{\"serial\": \"A00012345\"}",
        "{\"params\": ",
    };
    for (const char* text : bad) {
        std::string err;
        sim_t* s = SIM_create_json(text, &err);
        EXPECT_EQ(s, nullptr) << text;
        EXPECT_FALSE(err.empty()) << text;
        SIM_destroy(s);
    }
    sim_ptr s(SIM_create_demo());
    const bytes params = SIM_get_params(s.get());
    std::string err;
    EXPECT_EQ(SIM_apply_json(s.get(), R"({"params": {"contrast": 1}, "serial": 5})", &err), -1);
    EXPECT_EQ(SIM_get_params(s.get()), params) << "the half-applied scenario was kept";
    EXPECT_EQ(SIM_apply_json(s.get(), R"({"base": "empty"})", &err), -1);
    EXPECT_EQ(SIM_create_file("/nonexistent/scenario.json", &err), nullptr);
}

TEST(SimDemo, LogHasEveryKindOfRecord) {
    sim_ptr s(SIM_create_demo());
    EXPECT_EQ(SIM_get_serial(s.get())[0], 'A');
    const auto recs = records(s.get());
    EXPECT_GE(recs.size(), 50u);
    std::set<int32_t> groups;
    std::map<std::string, int> kinds;
    for (const auto& r : recs) {
        ASSERT_EQ(r.size(), MR_SIZE);
        groups.insert(get_i32le(r.data(), MR_GROUP_NO));
        const uint32_t tw = get_u32le(r.data(), MR_TYPE_WORD);
        const uint32_t type = tw & 3;
        const uint32_t bh = tw >> 24;
        if (type == 1) ++kinds["discrete"];
        if (type == 2) {
            ++kinds["scanner"];
            bool marked = false;
            for (size_t i = 0; i < 60; ++i) marked = marked || r[MR_MARKS + i] != 0;
            if (marked) ++kinds["marked scanner"];
            EXPECT_LE(get_i32le(r.data(), MR_MEAS_TIME), 480);
        }
        if (type != 1 && type != 2 && bh == 1) ++kinds["borehole header"];
        if (bh == 2) ++kinds["borehole core"];
        if (tw & (1u << 26)) ++kinds["cgs"];
        if (tw & (1u << 27)) ++kinds["ohm.m"];
        if ((tw >> 8) & 0xFF) ++kinds["curve s"];
        if ((tw >> 16) & 0xFF) ++kinds["curve c"];
        if (get_u32le(r.data(), MR_GPS) & (1u << 9)) ++kinds["gps valid"];
        else ++kinds["gps invalid"];
        if (r[MR_BH_FEET]) ++kinds["feet"];
    }
    EXPECT_GE(groups.size(), 5u);
    for (const char* k : {"discrete", "scanner", "marked scanner", "borehole header", "borehole core", "cgs", "ohm.m",
                          "curve s", "curve c", "gps valid", "gps invalid", "feet"})
        EXPECT_GT(kinds[k], 0) << k;

    int notes = 0;
    int aux = 0;
    for (uint32_t slot = 0; slot < 64; ++slot) {
        notes += SIM_get_entry(s.get(), slot).flags & LE_NOTE;
        aux += (SIM_get_entry(s.get(), slot).flags & LE_AUX) >> 1;
    }
    EXPECT_GT(notes, 0);
    EXPECT_GT(aux, 0);
    const bytes wav = file(s.get(), "notes/rec0001.wav");
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_GT(wav.size(), 900u) << "a note takes several 450-byte chunks";

    for (const char* name : {"lut/lut01.dat", "lut/lut02.dat"}) {
        const bytes lut = file(s.get(), name);
        ASSERT_EQ(lut.size(), LUT_SIZE);
        EXPECT_EQ(get_u32le(lut.data(), 0), SIMREC_lut_check(lut.data())) << name;
    }
    EXPECT_EQ(file(s.get(), "meas/last.dat"), file(s.get(), "meas/meas0056.dat"));
    EXPECT_TRUE(SIM_has_file(s.get(), "meas/0000.uid"));
}

TEST(SimDemo, SameInstrumentEveryTime) {
    sim_ptr a(SIM_create_demo());
    sim_ptr b(SIM_create_demo());
    EXPECT_EQ(SIM_list_files(a.get()), SIM_list_files(b.get()));
    for (const auto& name : SIM_list_files(a.get())) EXPECT_EQ(file(a.get(), name), file(b.get(), name)) << name;
    EXPECT_EQ(SIM_get_params(a.get()), SIM_get_params(b.get()));
}

TEST(SimDemo, GeneratedLogForBenchmarks) {
    sim_ptr s(SIM_create_log(4000));
    EXPECT_EQ(SIM_get_max_stored(s.get()), 4000);
    uint32_t prev = 0;
    for (uint32_t slot = 0; slot < 4000; ++slot) {
        const uint32_t v = SIM_get_entry(s.get(), slot).value;
        EXPECT_GT(v, prev) << slot;
        prev = v;
    }
    EXPECT_EQ(SIM_get_entry(s.get(), 4000).value, 0u);
    EXPECT_EQ(get_i32le(file(s.get(), "meas/meas3999.dat").data(), MR_REC_NO), 4000);
}
