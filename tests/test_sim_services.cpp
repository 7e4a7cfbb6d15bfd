// The simulated instrument's services as seen from the tool's side of a
// socket pair: codes, sizes, identity, records and the log entry table.
#include "test_sim_fixture.h"

#include "link/mxx_frame.h"

namespace {

bytes dev_time(std::vector<int32_t> t) {
    bytes b(DT_SIZE);
    for (size_t i = 0; i < 6; ++i) put_i32le(b.data(), 4 * i, t[i]);
    return b;
}

}  // namespace

TEST(SimIdentity, GetSerialExchangeBytes) {
    Served s(SIM_create_demo());
    const bytes request = {0x42, 0x52, 0x4E, 0x4F, 0x47, 0x1F, 0x01, 0x00, 0x64, 0x00, 0x00, 0x2C, 0x00};
    ASSERT_EQ(SIMC_send_raw(s.client.get(), request), 0);
    sim_frame_t f;
    ASSERT_TRUE(SIMC_recv(s.client.get(), &f, 2000));
    // The answer's timeout field is 0, not the request's 100.
    EXPECT_EQ(SIMC_take_raw(s.client.get()),
              (bytes{0x42, 0x52, 0x4E, 0x4F, 0x2F, 0x23, 0x09, 0x00, 0x00, 0x00, 0x00, 0x14, 0x41, 0x30, 0x30, 0x30,
                     0x31, 0x32, 0x33, 0x34, 0x75}));
}

TEST(SimAnswers, UnderCodePlus1000WithTheirCapacitiesAndKeepWhatIsSet) {
    Served s(SIM_create_demo());
    const bytes serial = {'A', '0', '0', '0', 'X', 'X', 'X', 'X'};
    // Set-params takes the 319-byte head and keeps the tail; the status follows the contrast.
    bytes params = SIM_get_params(s.get()), status = SIM_get_status(s.get());
    put_i32le(params.data(), PARAMS_OFF_MAX_STORED_MEAS, 4000);
    params[PARAMS_OFF_CONTRAST] = 77;
    put_u16le(status.data(), ST_CONTRAST, 77);
    const struct {
        uint16_t code;
        bytes payload;
        size_t min, max;
        bytes want = {};  // the exact answer, when not empty
    } cases[] = {{8001, {}, 8, 8, {'2', '.', '1', '7', 0, 0, 0, 0}}, {8008, {}, 4, 4, u32(0x1103)},
                 {8104, serial, 0, 0}, {8007, {}, 8, 8, serial}, {8105, u32(0x4200), 0, 0},
                 {8008, {}, 4, 4, u32(0x4200)},
                 {8202, bytes(params.begin(), params.begin() + PARAMS_SET_SIZE), 0, 0}, {8201, {}, PARAMS_SET_SIZE, 4083, params},
                 {8203, {}, ST_SIZE, ST_SIZE, status}, {8002, {}, DT_SIZE, DT_SIZE}, {8024, {}, 4, 4, u32(0)},
                 {8213, {}, SCR_SIZE, SCR_SIZE}, {8016, {}, 5, 2048}, {8204, u32(0), 160, 160}, {8212, {}, 4, 4},
                 {8100, {}, 4, 4}};
    for (const auto& c : cases) {
        const sim_frame_t f = s.call(c.code, c.payload);
        EXPECT_EQ(f.code, c.code + 1000);
        EXPECT_EQ(f.status, 0) << c.code;
        EXPECT_GE(f.payload.size(), c.min) << c.code;
        EXPECT_LE(f.payload.size(), c.max) << c.code;
        EXPECT_EQ(f.payload, c.want.empty() ? f.payload : c.want) << c.code;
    }
    EXPECT_EQ(SIM_get_serial(s.get()), "A000XXXX");
    EXPECT_EQ(SIM_get_max_stored(s.get()), 4000);
    const bytes heap = s.call(8016).payload;
    EXPECT_EQ(get_i32le(heap.data(), 0), 23456);
    EXPECT_EQ(heap.back(), 0) << "the report text is NUL-terminated";
    EXPECT_EQ(s.call(8213).payload, SIM_get_screen(s.get()));
    // Measure answers a signed wave, the same on every instrument.
    Served other(SIM_create_demo());
    other.call(8212);  // as many calls as the table made
    std::vector<int32_t> wave;
    for (int i = 0; i < 40; ++i) wave.push_back(get_i32le(s.call(8212).payload.data(), 0));
    for (int i = 0; i < 40; ++i) EXPECT_EQ(get_i32le(other.call(8212).payload.data(), 0), wave[i]) << i;
    EXPECT_LT(*std::min_element(wave.begin(), wave.end()), 0);
    EXPECT_NE(wave[5], wave[6]);
}

TEST(SimIdentity, ClockRunsOnFromTheTimeSet) {
    Served s(SIM_create_demo());
    // Set just before midnight, read back within seconds: either still then, or just into March.
    ASSERT_EQ(s.call(8003, dev_time({2026, 2, 28, 23, 59, 58})).status, 0);
    const bytes now = s.call(8002).payload;
    std::vector<int32_t> t(6);
    for (size_t i = 0; i < 6; ++i) t[i] = get_i32le(now.data(), 4 * i);
    if (t[2] == 28) EXPECT_EQ(t, (std::vector<int32_t>{2026, 2, 28, 23, 59, std::clamp(t[5], 58, 59)}));
    else EXPECT_EQ(std::vector<int32_t>(t.begin(), t.end() - 1), (std::vector<int32_t>{2026, 3, 1, 0, 0}));
    EXPECT_EQ(s.call(8003, dev_time({2026, 13, 1, 0, 0, 0})).status, SIM_ST_FAIL);
    EXPECT_EQ(s.call(8003, dev_time({2026, 1, 1, 24, 0, 0})).status, SIM_ST_FAIL);
}

TEST(SimProtocol, UnknownCodeIsRejectedAndWrongSizesFail) {
    Served s(SIM_create_demo());
    sim_frame_t f = s.call(7777);
    EXPECT_EQ(f.code, MXX_CODE_REJECT);
    EXPECT_EQ(f.payload, (bytes{0x61, 0x1E}));

    const struct {
        uint16_t code;
        size_t size;
    } wrong[] = {{8201, 1}, {8202, 318}, {8202, 320}, {8203, 4}, {8204, 3},  {8206, 0}, {8209, 39},
                 {8211, 41}, {8210, 39}, {8023, 0},   {8022, 5}, {8003, 23}, {8007, 1}, {8101, 1},
                 {8102, 2}, {8103, 4},   {8104, 9},   {8104, 2}, {8105, 2},  {8212, 4}, {8021, 1}};
    for (const auto& w : wrong) {
        f = s.call(w.code, bytes(w.size, 0));
        EXPECT_EQ(f.code, w.code + 1000) << w.code;
        EXPECT_EQ(f.status, SIM_ST_SIZE) << w.code << " with " << w.size << " bytes";
        EXPECT_TRUE(f.payload.empty());
    }
    EXPECT_EQ(SIM_restart_count(s.get()), 0) << "a malformed restart must not restart";
    EXPECT_EQ(SIM_get_serial(s.get()), "A0001234") << "a malformed serial must not be stored";
}

TEST(SimLog, EntryTableMatchesTheFilesAndClearingEmptiesIt) {
    Served s(SIM_create_demo());
    std::vector<std::pair<uint32_t, int32_t>> order;  // entry value, rec_no
    const bytes table = cat(s.call(8204, u32(0)).payload, s.call(8204, u32(32)).payload);
    ASSERT_EQ(table.size(), 64 * LE_SIZE);
    for (uint32_t slot = 0; slot < 64; ++slot) {
        char name[32];
        std::snprintf(name, sizeof name, "meas/meas%.4u.dat", slot);
        bytes rec;
        const bool has = SIM_get_file(s.get(), name, &rec);
        const uint32_t value = get_u32le(table.data(), LE_SIZE * slot);
        EXPECT_EQ(value != 0, has) << name;
        std::snprintf(name, sizeof name, "notes/rec%.4u.wav", slot);
        EXPECT_EQ((table[LE_SIZE * slot + 4] & LE_NOTE) != 0, has && SIM_has_file(s.get(), name)) << name;
        std::snprintf(name, sizeof name, "aux/aux%.4u.dat", slot);
        EXPECT_EQ((table[LE_SIZE * slot + 4] & LE_AUX) != 0, has && SIM_has_file(s.get(), name)) << name;
        if (has) order.emplace_back(value, get_i32le(rec.data(), MR_REC_NO));
    }
    // Entry values order the records as their numbers do.
    ASSERT_EQ(order.size(), 56u);
    std::sort(order.begin(), order.end());
    for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i].second, static_cast<int32_t>(i + 1));

    EXPECT_EQ(s.call(8204, u32(100000)).payload, bytes(160, 0));
    EXPECT_EQ(s.call(8204, u32(0xFFFFFFF0)).payload, bytes(160, 0)) << "no wrap-around past the end";
    // Any first index, not only multiples of 32.
    EXPECT_EQ(s.call(8204, u32(19)).payload, bytes(table.begin() + 19 * LE_SIZE, table.begin() + 51 * LE_SIZE));

    ASSERT_EQ(s.call(8206, u32(255)).status, 0);
    EXPECT_EQ(cat(s.call(8204, u32(0)).payload, s.call(8204, u32(32)).payload), bytes(320, 0));
    for (const auto& name : SIM_list_files(s.get()))
        EXPECT_EQ(name.rfind("lut/", 0), 0u) << name << " survived the clearing";
}
