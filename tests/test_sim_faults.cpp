// Every fault does what it says, and only that. The tool's survival of them
// shows end to end; here that each one takes effect.
#include "support/sim_served.h"

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "link/mxx_frame.h"

namespace {

struct step_t {
    uint16_t code;
    bytes payload;
    uint16_t want;       // code of the answer; 0: no valid frame comes
    uint8_t status = 0;
    size_t raw = 0;      // bytes that arrive, valid or not (0: not checked)
    bool late = false;   // the answer comes, but not at once
};

struct fault_case_t {
    const char* what;
    void (*set)(sim_faults_t&);
    std::vector<step_t> steps;
    uint32_t state_after = SIM_STATE_IDLE;
};

std::vector<int32_t> numbers(const sim_faults_t& f) {
    return {f.drop_first, f.drop_every, f.status_only,  f.corrupt_every, f.stray,        f.split,
            f.delay_ms,   f.drop_link_after, f.baud,    f.only_code,     f.reject,       f.ignore_probe,
            f.stray_b,    f.false_header,    f.answer_size, f.delay_every, f.size_every};
}

}  // namespace

TEST(SimFaults, EachFaultDoesWhatItSays) {
    const bytes prepare = u32(SIM_STATE_PREPARE);
    const bytes read_4000 = file_req("meas/meas0000.dat", 0, FILE_READ_MAX);
    const fault_case_t cases[] = {
        {"drop_every",
         [](sim_faults_t& f) { f.drop_every = 3; },
         {{8007, {}, 9007}, {8007, {}, 9007}, {8007, {}, 0}, {8007, {}, 9007}, {8007, {}, 9007}, {8007, {}, 0}}},
        {"a dropped answer's request was carried out",
         [](sim_faults_t& f) { f.drop_first = 1; },
         {{8023, prepare, 0}},
         SIM_STATE_READY},
        {"status_only", [](sim_faults_t& f) { f.status_only = 5; }, {{8007, {}, MXX_CODE_STATUS, 5, 13}}},
        {"a failed request changes nothing",
         [](sim_faults_t& f) { f.fail_codes = {{8023, 7}}; },
         {{8023, prepare, 9023, 7, 13}, {8007, {}, 9007}}},
        // A corrupted answer still arrives whole, with or without payload.
        {"corrupt_every",
         [](sim_faults_t& f) { f.corrupt_every = 2; },
         {{8007, {}, 9007, 0, 21}, {8007, {}, 0, 0, 21}}},
        {"corrupt_every, no payload", [](sim_faults_t& f) { f.corrupt_every = 1; }, {{8105, u32(0), 0, 0, 13}}},
        {"stray", [](sim_faults_t& f) { f.stray = 5; }, {{8007, {}, 9007, 0, 26}}},
        {"delay_ms", [](sim_faults_t& f) { f.delay_ms = 700; }, {{8007, {}, 9007, 0, 0, true}}},
        {"delay_every",
         [](sim_faults_t& f) { f.delay_ms = 700, f.delay_every = 2; },
         {{8007, {}, 9007}, {8007, {}, 9007, 0, 0, true}, {8007, {}, 9007}}},
        // The serial answer carries 8 bytes: cut to 3 every second time.
        {"size_every",
         [](sim_faults_t& f) { f.answer_size = 3, f.size_every = 2; },
         {{8007, {}, 9007, 0, 21}, {8007, {}, 9007, 0, 16}, {8007, {}, 9007, 0, 21}}},
        // 4013 bytes at 11520 bytes/s take about 350 ms.
        {"baud", [](sim_faults_t& f) { f.baud = 115200; }, {{8211, read_4000, 9211, 0, 4013, true}}},
    };
    // One instrument for all: setting faults replaces the old ones and restarts the answer counters.
    Served s;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SIM_set_state(s.get(), SIM_STATE_IDLE);
        sim_faults_t f;
        c.set(f);
        SIM_set_faults(s.get(), f);
        for (const auto& st : c.steps) {
            SIMC_take_raw(s.client.get());
            sim_frame_t a;
            const bool first = s.ask(st.code, &a, st.want && !st.late ? 2000 : 150, st.payload);
            const bool answered = first || (st.late && SIMC_recv(s.client.get(), &a, 5000));
            EXPECT_EQ(first, st.want != 0 && !st.late) << st.code;
            ASSERT_EQ(answered, st.want != 0) << st.code;
            if (answered) {
                EXPECT_EQ(a.code, st.want);
                EXPECT_EQ(a.status, st.status);
            }
            bytes raw = SIMC_take_raw(s.client.get());
            for (int i = 0; i < 100 && raw.size() < st.raw; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                raw = cat({raw, SIMC_take_raw(s.client.get())});
            }
            EXPECT_EQ(raw.size(), st.raw ? st.raw : raw.size()) << st.code;
            if (answered) {  // stray bytes never hold the frame's first byte 'B'
                EXPECT_EQ(static_cast<size_t>(std::find(raw.begin(), raw.end(), 0x42) - raw.begin()),
                          raw.size() - 13 - a.payload.size());
            }
        }
        EXPECT_EQ(SIM_get_state(s.get()), c.state_after);
    }
}

TEST(SimFaults, ScenarioSetsEveryFaultAndAnEmptySetClearsThem) {
    sim_ptr sim(scenario(R"({"faults": {"drop_first": 1, "drop_every": 2, "status_only": 3, "reject": true,
        "corrupt_every": 4, "stray": 5, "split": 6, "delay_ms": 7, "ignore_probe": true, "drop_link_after": 8,
        "baud": 9, "only_code": 10, "fail_codes": {"8202": 11}, "silent_codes": [8001], "stray_b": 12,
        "false_header": true, "answer_size": 13, "delay_every": 14, "size_every": 15}})"));
    sim_faults_t f = SIM_get_faults(sim.get());
    EXPECT_EQ(numbers(f), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1, 1, 12, 1, 13, 14, 15}));
    EXPECT_EQ(f.fail_codes, (std::map<uint16_t, uint8_t>{{8202, 11}}));
    EXPECT_EQ(f.silent_codes, std::set<uint16_t>{8001});
    std::string err;
    ASSERT_EQ(SIM_apply_json(sim.get(), R"({"faults": {}})", &err), 0) << err;
    f = SIM_get_faults(sim.get());
    EXPECT_EQ(numbers(f), numbers(sim_faults_t{}));
    EXPECT_TRUE(f.fail_codes.empty() && f.silent_codes.empty());
}
