// The measurement and scan state machine, its live-data frames and the
// records it leaves in the log.
#include "test_sim_fixture.h"

#include <chrono>
#include <thread>

namespace {

// Events of the instrument's buttons and arming steps.
constexpr uint32_t kStop = 0x2002, kArm = 0x4001, kTrigger = 0x2001;

struct live_t {
    uint32_t code;
    int32_t value;
    float kappa, sigma;
};

struct Machine : Served {
    using Served::Served;
    uint32_t state() { return get_u32le(call(8024).payload.data(), 0); }
    void events(std::initializer_list<uint32_t> evs) {
        for (uint32_t ev : evs) EXPECT_EQ(call(8022, u32(ev)).status, 0) << ev;
    }
    // Polls the state (bounded) until it differs from `s`.
    uint32_t wait_state_not(uint32_t s) {
        uint32_t now = state();
        for (int i = 0; i < 500 && now == s; ++i, now = state())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return now;
    }
    uint32_t prepare() {
        EXPECT_EQ(call(8023, u32(SIM_STATE_PREPARE)).status, 0);
        return wait_state_not(SIM_STATE_PREPARE);
    }
    std::vector<live_t> live(size_t n, int32_t timeout_ms = 3000) {
        std::vector<live_t> out;
        for (sim_frame_t f : SIMC_take_live(client.get(), n, timeout_ms)) {
            EXPECT_EQ(f.code, LIVE_CODE);
            EXPECT_EQ(f.payload.size(), LIVE_SIZE);
            f.payload.resize(LIVE_SIZE);
            const uint8_t* p = f.payload.data();
            out.push_back({get_u32le(p, 0), get_i32le(p, 4), get_f32le(p, 8), get_f32le(p, 12)});
        }
        return out;
    }
};

std::vector<uint32_t> codes(const std::vector<live_t>& live) {
    std::vector<uint32_t> c;
    for (const auto& l : live) c.push_back(l.code);
    return c;
}

}  // namespace

TEST(SimMeasure, SingleMeasurementSequenceStoresARecord) {
    Machine s(SIM_create_demo());
    EXPECT_EQ(s.state(), SIM_STATE_IDLE);
    EXPECT_EQ(s.prepare(), SIM_STATE_READY);
    s.events({kStop, kArm, kTrigger});
    EXPECT_EQ(s.state(), SIM_STATE_READY) << "armed, waiting for the trigger";
    s.events({kTrigger});
    EXPECT_EQ(s.state(), SIM_STATE_MEASURE);
    EXPECT_EQ(s.wait_state_not(SIM_STATE_MEASURE), SIM_STATE_IDLE);

    const auto live = s.live(5);
    ASSERT_EQ(codes(live), (std::vector<uint32_t>{1, 2, 2, 2, 4}));
    EXPECT_EQ(live[1].value, 1);
    EXPECT_EQ(live[3].value, 3);
    EXPECT_EQ(live[4].value, 0) << "no error";

    // The result lands in meas/last.dat and in the free slot 20, with the newest entry.
    const bytes rec = sim_file(s.get(), "meas/last.dat");
    ASSERT_EQ(rec.size(), MR_SIZE);
    EXPECT_EQ(get_i32le(rec.data(), MR_REC_NO), 57);
    EXPECT_EQ(get_u32le(rec.data(), MR_TYPE_WORD) & TW_TYPE_MASK, 1u);
    EXPECT_EQ(get_f32le(rec.data(), MR_SUSC), live[4].kappa);
    EXPECT_EQ(get_f32le(rec.data(), MR_COND), live[4].sigma);
    EXPECT_EQ(sim_file(s.get(), "meas/meas0020.dat"), rec);
    EXPECT_TRUE(newest_entry(s.get(), 20));
}

TEST(SimMeasure, CancelStoresNothingAndStrayEventsArmNothing) {
    Machine s(R"({"settings": {"meas_ms": 1000, "arm_delay_ms": 50}})");
    const bytes before = sim_file(s.get(), "meas/last.dat");
    EXPECT_EQ(s.prepare(), SIM_STATE_READY) << "the ready state may come later";
    s.events({kStop, kArm, kTrigger, kStop});
    EXPECT_EQ(s.state(), SIM_STATE_IDLE) << "cancelled while armed";

    EXPECT_EQ(s.prepare(), SIM_STATE_READY);
    s.events({kStop, kArm, kTrigger, kTrigger});
    EXPECT_EQ(s.state(), SIM_STATE_MEASURE);
    s.events({kStop});
    EXPECT_EQ(s.state(), SIM_STATE_IDLE) << "cancelled while measuring";
    // Only the start: no progress and no result, not even once the measurement would have ended.
    EXPECT_EQ(codes(s.live(5, 1500)), (std::vector<uint32_t>{1}));
    EXPECT_EQ(sim_file(s.get(), "meas/last.dat"), before);
    EXPECT_EQ(SIM_get_entry(s.get(), 20).value, 0u);

    // Outside the arming order nothing is armed, so the trigger starts nothing; idle, buttons do nothing.
    EXPECT_EQ(s.prepare(), SIM_STATE_READY);
    s.events({kArm, kTrigger, kTrigger});
    EXPECT_EQ(s.state(), SIM_STATE_READY);
    ASSERT_EQ(s.call(8023, u32(SIM_STATE_IDLE)).status, 0);
    s.events({kTrigger});
    EXPECT_EQ(s.state(), SIM_STATE_IDLE);
}

TEST(SimMeasure, ScanTakesPointsUntilStopped) {
    Machine s(SIM_create_demo());
    EXPECT_EQ(s.prepare(), SIM_STATE_READY);
    s.events({kStop, kStop, kArm, kTrigger, kStop});
    EXPECT_EQ(get_i32le(sim_file(s.get(), "meas/last.dat").data(), MR_MEAS_TIME), 0) << "a scan without points";
    EXPECT_EQ(codes(s.live(3)), (std::vector<uint32_t>{129, 131, 132}));

    EXPECT_EQ(s.prepare(), SIM_STATE_READY);
    s.events({kStop, kStop, kArm, kTrigger});
    EXPECT_EQ(s.state(), SIM_STATE_SCAN);
    for (int i = 0; i < 7; ++i) s.events({kTrigger});
    EXPECT_EQ(s.state(), SIM_STATE_SCAN);
    s.events({kStop});
    EXPECT_EQ(s.state(), SIM_STATE_IDLE);

    // Started, then per point: moved and taken; at the stop a last move and the end.
    std::vector<uint32_t> want = {129};
    for (int i = 0; i < 7; ++i) want.insert(want.end(), {131, 130});
    want.insert(want.end(), {131, 132});
    const auto live = s.live(want.size());
    ASSERT_EQ(codes(live), want);
    const bytes rec = sim_file(s.get(), "meas/last.dat");
    EXPECT_EQ(get_u32le(rec.data(), MR_TYPE_WORD) & TW_TYPE_MASK, 2u);
    EXPECT_EQ(get_i32le(rec.data(), MR_MEAS_TIME), 7);
    for (size_t i = 0; i < 7; ++i) {
        const live_t& p = live[2 + 2 * i];
        EXPECT_EQ(p.value, static_cast<int32_t>(i + 1));
        EXPECT_EQ(get_f32le(rec.data(), MR_SUSC_POINTS + 4 * i), p.kappa);
        EXPECT_EQ(get_f32le(rec.data(), MR_COND_POINTS + 4 * i), p.sigma);
    }
    EXPECT_EQ(rec[MR_MARKS], 0x10) << "point 4 is marked";
    EXPECT_EQ(get_f32le(rec.data(), MR_SUSC_POINTS + 4 * 7), 0.0f);
}

TEST(SimMeasure, FullLogOverwritesTheOldestRecord) {
    Machine s(R"({"base": "log", "log_records": 40, "settings": {"meas_ms": 0}})");
    ASSERT_EQ(SIM_get_max_stored(s.get()), 40);
    for (uint32_t slot = 0; slot < 40; ++slot) ASSERT_EQ(SIM_get_entry(s.get(), slot).value, slot + 1) << slot;
    ASSERT_TRUE(SIM_has_file(s.get(), "notes/rec0003.wav"));
    EXPECT_EQ(s.prepare(), SIM_STATE_READY);
    s.events({kStop, kArm, kTrigger, kTrigger});
    EXPECT_EQ(s.wait_state_not(SIM_STATE_MEASURE), SIM_STATE_IDLE);
    EXPECT_EQ(get_i32le(sim_file(s.get(), "meas/meas0000.dat").data(), MR_REC_NO), 41);
    EXPECT_EQ(SIM_get_entry(s.get(), 0).value, 41u);
    EXPECT_TRUE(SIM_has_file(s.get(), "notes/rec0003.wav")) << "other slots keep their notes";
}
