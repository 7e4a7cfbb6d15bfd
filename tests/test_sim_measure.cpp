// The measurement and scan state machine, its live-data frames and the
// records it leaves in the log.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

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
        EXPECT_EQ(f.code, code + 1000);
        EXPECT_EQ(f.status, 0);
        return f;
    }
    uint32_t state() { return get_u32le(call(8024).payload.data(), 0); }
    void event(uint32_t ev) { call(8022, u32(ev)); }
    void set_state(uint32_t st) { call(8023, u32(st)); }
    static bytes u32(uint32_t v) {
        bytes b(4);
        put_u32le(b.data(), 0, v);
        return b;
    }
    // Polls the state (bounded) until it differs from `s`.
    uint32_t wait_state_not(uint32_t s) {
        for (int i = 0; i < 500; ++i) {
            const uint32_t now = state();
            if (now != s) return now;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return s;
    }
};

struct live_t {
    uint32_t code;
    int32_t value;
    float kappa;
    float sigma;
};

std::vector<live_t> decode(const std::vector<sim_frame_t>& frames) {
    std::vector<live_t> out;
    for (const auto& f : frames) {
        EXPECT_EQ(f.code, 0x2456);
        EXPECT_EQ(f.payload.size(), 16u);
        if (f.payload.size() < 16) continue;
        out.push_back({get_u32le(f.payload.data(), 0), get_i32le(f.payload.data(), 4), get_f32le(f.payload.data(), 8),
                       get_f32le(f.payload.data(), 12)});
    }
    return out;
}

std::vector<uint32_t> codes(const std::vector<live_t>& l) {
    std::vector<uint32_t> c;
    for (const auto& e : l) c.push_back(e.code);
    return c;
}

bytes last_record(sim_t* sim) {
    bytes r;
    EXPECT_TRUE(SIM_get_file(sim, "meas/last.dat", &r));
    return r;
}

}  // namespace

TEST(SimMeasure, SingleMeasurementSequenceStoresARecord) {
    Served s(SIM_create_demo());
    EXPECT_EQ(s.state(), 0u);
    s.set_state(25);
    EXPECT_EQ(s.state(), 2u);
    s.event(0x2002);
    s.event(0x4001);
    s.event(0x2001);
    EXPECT_EQ(s.state(), 2u) << "armed, waiting for the trigger";
    s.event(0x2001);
    EXPECT_EQ(s.state(), 26u);
    EXPECT_EQ(s.wait_state_not(26), 0u);

    const auto live = decode(SIMC_take_live(s.client.get(), 5, 3000));
    EXPECT_EQ(codes(live), (std::vector<uint32_t>{1, 2, 2, 2, 4}));
    ASSERT_EQ(live.size(), 5u);
    EXPECT_EQ(live[1].value, 1);
    EXPECT_EQ(live[3].value, 3);
    EXPECT_EQ(live[4].value, 0) << "no error";

    const bytes rec = last_record(s.sim.get());
    ASSERT_EQ(rec.size(), MR_SIZE);
    EXPECT_EQ(get_i32le(rec.data(), MR_REC_NO), 57);
    EXPECT_EQ(get_u32le(rec.data(), MR_TYPE_WORD) & 3u, 1u);
    EXPECT_EQ(get_f32le(rec.data(), MR_SUSC), live[4].kappa);
    EXPECT_EQ(get_f32le(rec.data(), MR_COND), live[4].sigma);
    // The free slot 20 takes it, with the newest entry value.
    bytes slot;
    ASSERT_TRUE(SIM_get_file(s.sim.get(), "meas/meas0020.dat", &slot));
    EXPECT_EQ(slot, rec);
    const uint32_t v = SIM_get_entry(s.sim.get(), 20).value;
    for (uint32_t i = 0; i < 64; ++i) {
        if (i != 20) {
            EXPECT_LT(SIM_get_entry(s.sim.get(), i).value, v);
        }
    }
}

TEST(SimMeasure, CancelBeforeOrDuringTheMeasurementStoresNothing) {
    Served s(SIM_create_json(R"({"settings": {"meas_ms": 5000}})", nullptr));
    const bytes before = last_record(s.sim.get());
    s.set_state(25);
    for (uint32_t ev : {0x2002u, 0x4001u, 0x2001u}) s.event(ev);
    s.event(0x2002);
    EXPECT_EQ(s.state(), 0u);

    s.set_state(25);
    for (uint32_t ev : {0x2002u, 0x4001u, 0x2001u, 0x2001u}) s.event(ev);
    EXPECT_EQ(s.state(), 26u);
    s.event(0x2002);
    EXPECT_EQ(s.state(), 0u);
    EXPECT_EQ(codes(decode(SIMC_take_live(s.client.get(), 1, 2000))), (std::vector<uint32_t>{1}));
    EXPECT_EQ(last_record(s.sim.get()), before);
    EXPECT_EQ(SIM_get_entry(s.sim.get(), 20).value, 0u);
}

TEST(SimMeasure, ScanTakesPointsUntilStopped) {
    Served s(SIM_create_demo());
    s.set_state(25);
    EXPECT_EQ(s.state(), 2u);
    for (uint32_t ev : {0x2002u, 0x2002u, 0x4001u, 0x2001u}) s.event(ev);
    EXPECT_EQ(s.state(), 27u);
    for (int i = 0; i < 7; ++i) s.event(0x2001);
    EXPECT_EQ(s.state(), 27u);
    s.event(0x2002);
    EXPECT_EQ(s.state(), 0u);

    const auto live = decode(SIMC_take_live(s.client.get(), 1 + 14 + 2, 3000));
    std::vector<uint32_t> want = {129};
    for (int i = 0; i < 7; ++i) {
        want.push_back(131);
        want.push_back(130);
    }
    want.push_back(131);
    want.push_back(132);
    ASSERT_EQ(codes(live), want);

    const bytes rec = last_record(s.sim.get());
    EXPECT_EQ(get_u32le(rec.data(), MR_TYPE_WORD) & 3u, 2u);
    EXPECT_EQ(get_i32le(rec.data(), MR_MEAS_TIME), 7);
    for (int i = 0; i < 7; ++i) {
        const live_t& p = live[2 + 2 * static_cast<size_t>(i)];
        EXPECT_EQ(p.value, i + 1);
        EXPECT_EQ(get_f32le(rec.data(), MR_SUSC_POINTS + 4 * static_cast<size_t>(i)), p.kappa);
        EXPECT_EQ(get_f32le(rec.data(), MR_COND_POINTS + 4 * static_cast<size_t>(i)), p.sigma);
    }
    EXPECT_EQ(rec[MR_MARKS], 0x10) << "point 4 is marked";
    EXPECT_EQ(get_f32le(rec.data(), MR_SUSC_POINTS + 4 * 7), 0.0f);
}

TEST(SimMeasure, ScanWithoutPointsAndWrongArmingSequences) {
    Served s(SIM_create_demo());
    s.set_state(25);
    for (uint32_t ev : {0x2002u, 0x2002u, 0x4001u, 0x2001u}) s.event(ev);
    s.event(0x2002);
    EXPECT_EQ(s.state(), 0u);
    EXPECT_EQ(get_i32le(last_record(s.sim.get()).data(), MR_MEAS_TIME), 0);

    // Events outside the arming order arm nothing; the trigger then starts nothing.
    s.set_state(25);
    for (uint32_t ev : {0x4001u, 0x2001u, 0x2001u}) s.event(ev);
    EXPECT_EQ(s.state(), 2u);
    // Buttons while idle do nothing.
    s.set_state(0);
    s.event(0x2001);
    EXPECT_EQ(s.state(), 0u);
}

TEST(SimMeasure, ReadyStateMayComeLater) {
    Served s(SIM_create_json(R"({"settings": {"arm_delay_ms": 50}})", nullptr));
    s.set_state(25);
    const uint32_t first = s.state();
    EXPECT_TRUE(first == 25u || first == 2u);
    EXPECT_EQ(s.wait_state_not(25), 2u);
}

TEST(SimMeasure, FullLogOverwritesTheOldestRecord) {
    Served s(SIM_create_json(R"({"base": "log", "log_records": 40, "settings": {"meas_ms": 0}})", nullptr));
    ASSERT_EQ(SIM_get_entry(s.sim.get(), 0).value, 1u);
    ASSERT_TRUE(SIM_has_file(s.sim.get(), "notes/rec0003.wav"));
    s.set_state(25);
    for (uint32_t ev : {0x2002u, 0x4001u, 0x2001u, 0x2001u}) s.event(ev);
    EXPECT_EQ(s.wait_state_not(26), 0u);
    bytes rec;
    ASSERT_TRUE(SIM_get_file(s.sim.get(), "meas/meas0000.dat", &rec));
    EXPECT_EQ(get_i32le(rec.data(), MR_REC_NO), 41);
    EXPECT_EQ(SIM_get_entry(s.sim.get(), 0).value, 41u);
    EXPECT_TRUE(SIM_has_file(s.sim.get(), "notes/rec0003.wav")) << "other slots keep their notes";
}
