// Scenario files and the built-in instruments' content.
#include "test_sim_fixture.h"

#include <filesystem>
#include <set>

TEST(SimScenario, SetsIdentityParamsAndStatus) {
    sim_ptr s(scenario(R"({
        "serial": "B0009999", "fw_version": "3.01", "model": 16640, "clock": [2030, 1, 2, 3, 4, 5],
        "params": {"max_stored_meas": 40, "gps_pin": "12345678", "calib.nom_susc[1]": 2.5,
                   "calib_pin.cond_meas": [1, 2, 3], "contrast": 90, "size": 330,
                   "bytes": {"88": "7e", "325": "0102"}},
        "status": {"bat_perc": 65535, "flash_size": 1048575}})"));
    EXPECT_EQ(SIM_get_serial(s.get()), "B0009999");
    EXPECT_EQ(SIM_get_fw_version(s.get()), "3.01");
    EXPECT_EQ(SIM_get_model(s.get()), 16640u);
    int32_t t[6];
    SIM_get_clock(s.get(), t);
    EXPECT_EQ(std::vector<int32_t>(t, t + 4), (std::vector<int32_t>{2030, 1, 2, 3}));
    const bytes p = SIM_get_params(s.get());
    ASSERT_EQ(p.size(), 330u);
    EXPECT_EQ(get_i32le(p.data(), PARAMS_OFF_MAX_STORED_MEAS), 40);
    EXPECT_EQ(std::string(p.begin() + PARAMS_OFF_GPS_PIN, p.begin() + PARAMS_OFF_GPS_PIN + 9), "12345678\x01")
        << "gps_paired untouched behind the full pin";
    EXPECT_EQ(get_f32le(p.data(), 8), 2.5f);
    EXPECT_EQ(get_f32le(p.data(), 287), 1.0f);
    EXPECT_EQ(get_f32le(p.data(), 295), 3.0f);
    EXPECT_EQ((bytes{p[PARAMS_OFF_CONTRAST], p[88], p[325], p[326]}), (bytes{90, 0x7E, 0x01, 0x02}));
    const bytes st = SIM_get_status(s.get());
    EXPECT_EQ(get_u16le(st.data(), ST_BAT_PERC), 65535);
    EXPECT_EQ(get_u32le(st.data(), ST_FLASH_SIZE), 1048575u);
}

TEST(SimScenario, BuildsRecordsTablesAndEntries) {
    sim_ptr s(scenario(R"({"base": "empty",
        "files": {
            "meas/meas0005.dat": {"record": {"rec_no": 7, "type": 2, "curve_s": 4, "susc_cgs": 1, "bh_kind": 2,
                "marks": [0, 9, 479], "susc_points": [0.5, 0.25], "bh_desc": "ABCDEFGHIJKLMNOP",
                "gps": {"lat": 49.20576, "lon": -16.5, "valid": true, "sats": 7, "alt": -12}}},
            "meas/meas0002.dat": {"record": {"gps": {"flags": 123, "lat_raw": 4, "lon_raw": 5, "alt": 6}}},
            "notes/rec0005.wav": {"wav": 100},
            "aux/aux0002.dat": {"text": "aux"},
            "lut/lut03.dat": {"lut": {"name": "TEST", "values": [1, 2], "conc": [3]}},
            "deep/er/x.bin": {"hex": "00 ff 10"}},
        "entries": {"9": {"value": 4294967295, "flags": 0}, "2": 100}})"));
    const bytes r = sim_file(s.get(), "meas/meas0005.dat");
    ASSERT_EQ(r.size(), MR_SIZE);
    EXPECT_EQ(get_i32le(r.data(), MR_REC_NO), 7);
    EXPECT_EQ(get_u32le(r.data(), MR_TYPE_WORD), 2u | (4u << 8) | (2u << 24) | TW_SUSC_CGS);
    EXPECT_EQ((bytes{r[MR_MARKS], r[MR_MARKS + 1], r[MR_MARKS + 59]}), (bytes{0x01, 0x02, 0x80}));
    EXPECT_EQ(get_f32le(r.data(), MR_SUSC_POINTS + 4), 0.25f);
    // A 16-character description leaves no terminator.
    EXPECT_EQ(std::string(r.begin() + MR_BH_DESC, r.begin() + MR_BH_FEET + 1), std::string("ABCDEFGHIJKLMNOP\0", 17));
    // North, west, valid, 7 satellites; 49 deg 12.3456 min, 16 deg 30 min.
    EXPECT_EQ(bytes(r.begin() + MR_GPS, r.begin() + MR_GPS + 16),
              cat(cat(u32(GPS_NORTH | GPS_VALID | (7u << 11)), u32(4912u | (3456u << 17))), cat(u32(1630), u32(-12))));
    const bytes r2 = sim_file(s.get(), "meas/meas0002.dat");
    EXPECT_EQ(bytes(r2.begin() + MR_GPS, r2.begin() + MR_GPS + 16), cat(cat(u32(123), u32(4)), cat(u32(5), u32(6))));

    const bytes lut = sim_file(s.get(), "lut/lut03.dat");
    ASSERT_EQ(lut.size(), LUT_SIZE);
    EXPECT_EQ(get_i32le(lut.data(), LUT_COUNT), 12);
    uint32_t x = 0;
    for (size_t off = 4; off <= 112; off += 4) x ^= get_u32le(lut.data(), off);
    EXPECT_EQ(get_u32le(lut.data(), LUT_CHECK), x);
    EXPECT_EQ(sim_file(s.get(), "deep/er/x.bin"), (bytes{0x00, 0xFF, 0x10}));

    // Slot 5 from its files (with a note), 2 overridden (with an aux file), 9 without a record, 3 free.
    using entry = std::pair<uint32_t, uint8_t>;
    std::vector<entry> e;
    for (uint32_t slot : {2, 3, 5, 9}) {
        const sim_entry_t x = SIM_get_entry(s.get(), slot);
        e.emplace_back(x.value, x.flags);
    }
    EXPECT_EQ(e, (std::vector<entry>{{100, LE_AUX}, {0, 0}, {e[2].first, LE_NOTE}, {0xFFFFFFFF, 0}}));
    EXPECT_NE(e[2].first, 0u);
}

TEST(SimScenario, MistakesAreReportedAndChangeNothing) {
    for (const char* text :
         {"[1, 2]", R"({"serail": "A"})", R"({"params": {"max_stored": 1}})", R"({"params": {"audio_vol": 256}})",
          R"({"params": {"calib.nom_susc[2]": 1}})", R"({"params": {"size": 100}})",
          R"({"files": {"x": {"hex": "abc"}}})", R"({"files": {"x": {"record": {"marks": [480]}}}})",
          R"({"files": {"raw": {"text": "no"}}})", R"({"faults": {"drop_some": 1}})",
          R"({"clock": [2026, 2, 30, 25, 0, 0]})", R"({"serial": "A00012345"})", R"({"params": )"}) {
        std::string err;
        EXPECT_FALSE(sim_ptr(SIM_create_json(text, &err))) << text;
        EXPECT_FALSE(err.empty()) << text;
    }
    sim_ptr s(SIM_create_demo());
    const bytes params = SIM_get_params(s.get());
    std::string err;
    EXPECT_EQ(SIM_apply_json(s.get(), R"({"params": {"contrast": 1}, "serial": 5})", &err), -1);
    EXPECT_EQ(SIM_get_params(s.get()), params) << "the half-applied scenario was kept";
    EXPECT_EQ(SIM_apply_json(s.get(), R"({"base": "empty"})", &err), -1);
    EXPECT_EQ(SIM_create_file("/nonexistent/scenario.json", &err), nullptr);
    int shipped = 0;
    for (const auto& f : std::filesystem::directory_iterator(std::string(QM_SOURCE_DIR) + "/sim/scenarios")) {
        if (f.path().extension() != ".json") continue;
        EXPECT_TRUE(sim_ptr(SIM_create_file(f.path().string(), &err))) << f.path() << ": " << err;
        ++shipped;
    }
    EXPECT_GE(shipped, 4) << "the shipped scenarios all load";
}

TEST(SimDemo, SameLogWithEveryKindOfRecordEveryTime) {
    sim_ptr s(SIM_create_demo());
    sim_ptr again(SIM_create_demo());
    EXPECT_EQ(SIM_list_files(s.get()), SIM_list_files(again.get()));
    EXPECT_EQ(SIM_get_params(s.get()), SIM_get_params(again.get()));
    std::set<int32_t> groups;
    std::set<std::string> kinds;
    for (const auto& name : SIM_list_files(s.get())) {
        const bytes r = sim_file(s.get(), name);
        EXPECT_EQ(r, sim_file(again.get(), name)) << name;
        if (name.rfind("meas/meas", 0) != 0) continue;
        ASSERT_EQ(r.size(), MR_SIZE) << name;
        groups.insert(get_i32le(r.data(), MR_GROUP_NO));
        const uint32_t tw = get_u32le(r.data(), MR_TYPE_WORD), type = tw & TW_TYPE_MASK;
        const bool gps = get_u32le(r.data(), MR_GPS) & GPS_VALID;
        const bool marked = std::any_of(r.begin() + MR_MARKS, r.begin() + MR_MARKS + 60, [](uint8_t m) { return m; });
        EXPECT_LE(get_i32le(r.data(), MR_MEAS_TIME), type == 2 ? MR_POINTS : INT32_MAX) << name;
        for (const auto& [kind, yes] : std::initializer_list<std::pair<const char*, bool>>{
                 {"discrete", type == 1}, {"scanner", type == 2}, {"marked scanner", type == 2 && marked},
                 {"borehole header", type != 1 && type != 2 && tw >> 24 == 1}, {"borehole core", tw >> 24 == 2},
                 {"cgs", tw & TW_SUSC_CGS}, {"ohm.m", tw & TW_COND_OHM_M}, {"curve s", tw >> 8 & 0xFF},
                 {"curve c", tw >> 16 & 0xFF}, {"gps valid", gps}, {"gps invalid", !gps}, {"feet", r[MR_BH_FEET]}})
            if (yes) kinds.insert(kind);
    }
    EXPECT_GE(groups.size(), 5u);
    EXPECT_EQ(kinds.size(), 12u) << "a kind of record is missing";

    uint8_t flags = 0;
    for (uint32_t slot = 0; slot < 64; ++slot) flags |= SIM_get_entry(s.get(), slot).flags;
    EXPECT_EQ(flags, LE_NOTE | LE_AUX) << "some records have notes, some aux files";
    const bytes wav = sim_file(s.get(), "notes/rec0001.wav");
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_GT(wav.size(), 900u) << "a note takes several 450-byte chunks";
    for (const char* name : {"lut/lut01.dat", "lut/lut02.dat"}) {
        const bytes lut = sim_file(s.get(), name);
        EXPECT_TRUE(lut.size() == LUT_SIZE && get_u32le(lut.data(), LUT_CHECK) == SIMREC_lut_check(lut.data())) << name;
    }
    EXPECT_EQ(sim_file(s.get(), "meas/last.dat"), sim_file(s.get(), "meas/meas0056.dat"));
    EXPECT_TRUE(SIM_has_file(s.get(), "meas/0000.uid"));
}
