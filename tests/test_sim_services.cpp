// The simulated instrument's services as seen from the tool's side of a
// socket pair: codes, sizes, identity, records and the log entry table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/mxx_frame.h"
#include "link/wire.h"
#include "sim/client.h"
#include "sim/records.h"
#include "sim/sim.h"

namespace {

using bytes = std::vector<uint8_t>;

struct Served {
    sim_ptr sim;
    sim_client_ptr client;
    explicit Served(sim_t* s) : sim(s), client(SIMC_open(SIM_serve_socketpair(s))) {}
    sim_frame_t call(uint16_t code, const bytes& payload = {}) {
        sim_frame_t f;
        EXPECT_TRUE(SIMC_call(client.get(), code, payload, &f)) << "no answer to " << code;
        return f;
    }
};

bytes u32(uint32_t v) {
    bytes b(4);
    put_u32le(b.data(), 0, v);
    return b;
}

bytes dev_time(int32_t y, int32_t mo, int32_t d, int32_t h, int32_t mi, int32_t s) {
    bytes b(24);
    const int32_t t[6] = {y, mo, d, h, mi, s};
    for (size_t i = 0; i < 6; ++i) put_i32le(b.data(), 4 * i, t[i]);
    return b;
}

}  // namespace

TEST(SimIdentity, GetSerialAnswerIsTheDocumentedFrame) {
    Served s(SIM_create_demo());
    ASSERT_EQ(SIMC_send_raw(s.client.get(), {0x42, 0x52, 0x4E, 0x4F, 0x47, 0x1F, 0x01, 0x00, 0x64, 0x00, 0x00, 0x2C, 0x00}), 0);
    sim_frame_t f;
    ASSERT_TRUE(SIMC_recv(s.client.get(), &f, 2000));
    // The answer's timeout field is 0, not the request's 100.
    EXPECT_EQ(SIMC_take_raw(s.client.get()),
              (bytes{0x42, 0x52, 0x4E, 0x4F, 0x2F, 0x23, 0x09, 0x00, 0x00, 0x00, 0x00, 0x14, 0x41, 0x30, 0x30, 0x30,
                     0x31, 0x32, 0x33, 0x34, 0x75}));
}

TEST(SimIdentity, SerialVersionAndModelWord) {
    Served s(SIM_create_demo());
    sim_frame_t f = s.call(8001);
    EXPECT_EQ(f.code, 9001);
    EXPECT_EQ(f.payload, (bytes{'2', '.', '1', '7', 0, 0, 0, 0}));

    f = s.call(8104, {'A', '0', '0', '0', 'X', 'X', 'X', 'X'});
    EXPECT_EQ(f.code, 9104);
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(s.call(8007).payload, (bytes{'A', '0', '0', '0', 'X', 'X', 'X', 'X'}));
    EXPECT_EQ(SIM_get_serial(s.sim.get()), "A000XXXX");
    EXPECT_NE(s.call(8104, {'A', '0'}).status, 0) << "a short serial is refused";

    f = s.call(8008);
    ASSERT_EQ(f.payload.size(), 4u);
    EXPECT_EQ(get_u32le(f.payload.data(), 0), 0x1103u);
    EXPECT_EQ(s.call(8105, u32(0x4200)).status, 0);
    EXPECT_EQ(get_u32le(s.call(8008).payload.data(), 0), 0x4200u);
}

TEST(SimIdentity, ClockRunsOnFromTheTimeSet) {
    Served s(SIM_create_demo());
    ASSERT_EQ(s.call(8003, dev_time(2026, 2, 28, 23, 59, 58)).status, 0);
    const sim_frame_t f = s.call(8002);
    ASSERT_EQ(f.payload.size(), 24u);
    const uint8_t* p = f.payload.data();
    // Within a few seconds of the time set, across the day's end into March.
    const int32_t secs = get_i32le(p, 16) * 60 + get_i32le(p, 20);
    EXPECT_EQ(get_i32le(p, 0), 2026);
    if (get_i32le(p, 8) == 28) {
        EXPECT_EQ(get_i32le(p, 4), 2);
        EXPECT_EQ(get_i32le(p, 12), 23);
        EXPECT_GE(secs, 59 * 60 + 58);
    } else {
        EXPECT_EQ(get_i32le(p, 4), 3);
        EXPECT_EQ(get_i32le(p, 8), 1);
        EXPECT_EQ(get_i32le(p, 12), 0);
        EXPECT_LT(secs, 60);
    }
    EXPECT_EQ(s.call(8003, dev_time(2026, 13, 1, 0, 0, 0)).status, SIM_ST_FAIL);
    EXPECT_EQ(s.call(8003, dev_time(2026, 1, 1, 24, 0, 0)).status, SIM_ST_FAIL);
}

TEST(SimRecords, AnswersHaveTheirCapacities) {
    Served s(SIM_create_demo());
    sim_frame_t f = s.call(8201);
    EXPECT_EQ(f.code, 9201);
    EXPECT_GE(f.payload.size(), PAR_HEAD);
    EXPECT_LE(f.payload.size(), 4083u);
    EXPECT_EQ(get_i32le(f.payload.data(), PAR_MAX_STORED), 64);

    f = s.call(8203);
    ASSERT_EQ(f.payload.size(), ST_SIZE);
    EXPECT_EQ(get_u16le(f.payload.data(), ST_CONTRAST), get_u8(s.call(8201).payload.data(), PAR_CONTRAST));

    f = s.call(8213);
    ASSERT_EQ(f.payload.size(), SCR_SIZE);
    // A frame around the display: top and bottom rows black, left and right columns black.
    for (size_t b = 0; b < SCR_ROW_BYTES; ++b) {
        EXPECT_EQ(f.payload[b], 0xFF);
        EXPECT_EQ(f.payload[80 * SCR_ROW_BYTES + b], 0xFF);
    }
    for (size_t r = 0; r < SCR_ROWS; ++r) {
        EXPECT_TRUE(f.payload[r * SCR_ROW_BYTES] & 0x80);
        EXPECT_TRUE(f.payload[r * SCR_ROW_BYTES + 12] & 0x01);
    }
    EXPECT_EQ(f.payload, SIM_get_screen(s.sim.get()));

    f = s.call(8016);
    ASSERT_GT(f.payload.size(), 5u);
    EXPECT_LE(f.payload.size(), 2048u);
    EXPECT_EQ(get_i32le(f.payload.data(), 0), 23456);
    EXPECT_EQ(f.payload.back(), 0) << "the report text is NUL-terminated";
    EXPECT_NE(std::string(reinterpret_cast<const char*>(f.payload.data() + 4)).find("free"), std::string::npos);
}

TEST(SimRecords, SetParamsStoresTheHeadAndKeepsTheTail) {
    Served s(SIM_create_demo());
    bytes before = s.call(8201).payload;
    bytes head(before.begin(), before.begin() + PAR_HEAD);
    put_i32le(head.data(), PAR_MAX_STORED, 4000);
    put_u8(head.data(), PAR_CONTRAST, 77);
    ASSERT_EQ(s.call(8202, head).status, 0);
    bytes after = s.call(8201).payload;
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(get_i32le(after.data(), PAR_MAX_STORED), 4000);
    EXPECT_TRUE(std::equal(before.begin() + PAR_HEAD, before.end(), after.begin() + PAR_HEAD));
    EXPECT_EQ(SIM_get_max_stored(s.sim.get()), 4000);
    EXPECT_EQ(get_u16le(s.call(8203).payload.data(), ST_CONTRAST), 77);
}

TEST(SimRecords, MeasureReturnsADeterministicSignedWave) {
    Served a(SIM_create_demo());
    Served b(SIM_create_demo());
    std::vector<int32_t> va;
    bool negative = false;
    for (int i = 0; i < 40; ++i) {
        sim_frame_t f = a.call(8212);
        ASSERT_EQ(f.payload.size(), 4u);
        va.push_back(get_i32le(f.payload.data(), 0));
        negative = negative || va.back() < 0;
        EXPECT_EQ(get_i32le(b.call(8212).payload.data(), 0), va.back());
    }
    EXPECT_TRUE(negative);
    EXPECT_NE(va[5], va[6]);
}

TEST(SimProtocol, UnknownCodeIsRejectedAndWrongSizesFail) {
    Served s(SIM_create_demo());
    sim_frame_t f = s.call(7777);
    EXPECT_EQ(f.code, MXX_CODE_REJECT);
    EXPECT_EQ(f.payload, (bytes{0x61, 0x1E}));

    const struct {
        uint16_t code;
        size_t size;
    } wrong[] = {{8201, 1},  {8202, 318}, {8202, 320}, {8203, 4}, {8204, 3},  {8206, 0}, {8209, 39},
                 {8211, 41}, {8210, 39},  {8023, 0},   {8022, 5}, {8003, 23}, {8007, 1}, {8101, 1},
                 {8102, 2},  {8103, 4},   {8104, 9},   {8105, 2}, {8212, 4},  {8021, 1}};
    for (const auto& w : wrong) {
        f = s.call(w.code, bytes(w.size, 0));
        EXPECT_EQ(f.code, w.code + 1000) << w.code;
        EXPECT_EQ(f.status, SIM_ST_SIZE) << w.code << " with " << w.size << " bytes";
        EXPECT_TRUE(f.payload.empty());
    }
    EXPECT_EQ(SIM_restart_count(s.sim.get()), 0) << "a malformed restart must not restart";
}

TEST(SimLog, EntryTableMatchesTheFiles) {
    Served s(SIM_create_demo());
    std::vector<std::pair<uint32_t, int32_t>> order;  // entry value, rec_no
    for (uint32_t first = 0; first < 64; first += 32) {
        sim_frame_t f = s.call(8204, u32(first));
        ASSERT_EQ(f.payload.size(), 160u);
        for (uint32_t i = 0; i < 32; ++i) {
            const uint32_t slot = first + i;
            char name[32];
            std::snprintf(name, sizeof name, "meas/meas%.4u.dat", slot);
            bytes rec;
            const bool has = SIM_get_file(s.sim.get(), name, &rec);
            const uint32_t value = get_u32le(f.payload.data(), 5 * i);
            const uint8_t flags = f.payload[5 * i + 4];
            EXPECT_EQ(value != 0, has) << name;
            std::snprintf(name, sizeof name, "notes/rec%.4u.wav", slot);
            EXPECT_EQ((flags & 1) != 0, has && SIM_has_file(s.sim.get(), name)) << name;
            std::snprintf(name, sizeof name, "aux/aux%.4u.dat", slot);
            EXPECT_EQ((flags & 2) != 0, has && SIM_has_file(s.sim.get(), name)) << name;
            if (has) order.emplace_back(value, get_i32le(rec.data(), MR_REC_NO));
        }
    }
    ASSERT_EQ(order.size(), 56u);
    std::sort(order.begin(), order.end());
    for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i].second, static_cast<int32_t>(i + 1));

    // Far beyond the table: zeros.
    EXPECT_EQ(s.call(8204, u32(100000)).payload, bytes(160, 0));
    EXPECT_EQ(s.call(8204, u32(0xFFFFFFF0)).payload, bytes(160, 0));

    // Entries from any first index, not only multiples of 32.
    sim_frame_t f = s.call(8204, u32(19));
    EXPECT_NE(get_u32le(f.payload.data(), 0), 0u);
    EXPECT_EQ(get_u32le(f.payload.data(), 5), 0u) << "slot 20 is free";
    EXPECT_NE(get_u32le(f.payload.data(), 10), 0u);
}

TEST(SimLog, ClearLogsEmptiesTheLog) {
    Served s(SIM_create_demo());
    ASSERT_EQ(s.call(8206, u32(255)).status, 0);
    EXPECT_EQ(s.call(8204, u32(0)).payload, bytes(160, 0));
    EXPECT_EQ(s.call(8204, u32(32)).payload, bytes(160, 0));
    for (const auto& name : SIM_list_files(s.sim.get()))
        EXPECT_EQ(name.rfind("lut/", 0), 0u) << name << " survived the clearing";
}
