// Every fault does what it says, and only that.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "link/mxx_frame.h"
#include "link/wire.h"
#include "sim/client.h"
#include "sim/sim.h"

namespace {

using bytes = std::vector<uint8_t>;

struct Served {
    sim_ptr sim;
    sim_client_ptr client;
    explicit Served(sim_t* s) : sim(s), client(SIMC_open(SIM_serve_socketpair(s))) {}
    explicit Served(const sim_faults_t& f) : Served(SIM_create_demo()) { SIM_set_faults(sim.get(), f); }
    // The answer to one request, or nothing within the time-out.
    bool ask(uint16_t code, sim_frame_t* f, int32_t timeout_ms = 300) {
        EXPECT_EQ(SIMC_send(client.get(), code, {}), 0);
        return SIMC_recv(client.get(), f, timeout_ms);
    }
};

const bytes kSerial = {'A', '0', '0', '0', '1', '2', '3', '4'};

}  // namespace

TEST(SimFaults, DropFirstAndDropEvery) {
    sim_faults_t f;
    f.drop_first = 2;
    Served s(f);
    sim_frame_t a;
    EXPECT_FALSE(s.ask(8007, &a, 150));
    EXPECT_FALSE(s.ask(8007, &a, 150));
    ASSERT_TRUE(s.ask(8007, &a));
    EXPECT_EQ(a.payload, kSerial);
    EXPECT_EQ(SIM_request_count(s.sim.get(), 8007), 3u);

    f = {};
    f.drop_every = 3;
    SIM_set_faults(s.sim.get(), f);
    EXPECT_TRUE(s.ask(8007, &a));
    EXPECT_TRUE(s.ask(8007, &a));
    EXPECT_FALSE(s.ask(8007, &a, 150));
    EXPECT_TRUE(s.ask(8007, &a));
    EXPECT_TRUE(s.ask(8007, &a));
    EXPECT_FALSE(s.ask(8007, &a, 150));
}

TEST(SimFaults, DroppedAnswersStillTakeEffect) {
    sim_faults_t f;
    f.drop_first = 1;
    Served s(f);
    bytes st(4);
    put_u32le(st.data(), 0, 25);
    ASSERT_EQ(SIMC_send(s.client.get(), 8023, st), 0);
    sim_frame_t a;
    EXPECT_FALSE(SIMC_recv(s.client.get(), &a, 150));
    EXPECT_EQ(SIM_get_state(s.sim.get()), 2u);
}

TEST(SimFaults, StatusOnlyRejectAndFailCodesReplaceTheAnswer) {
    sim_faults_t f;
    f.status_only = 5;
    Served s(f);
    sim_frame_t a;
    ASSERT_TRUE(s.ask(8007, &a));
    EXPECT_EQ(a.code, MXX_CODE_STATUS);
    EXPECT_EQ(a.status, 5);
    EXPECT_TRUE(a.payload.empty());

    f = {};
    f.reject = true;
    SIM_set_faults(s.sim.get(), f);
    ASSERT_TRUE(s.ask(8201, &a));
    EXPECT_EQ(a.code, MXX_CODE_REJECT);

    // A refused request changes nothing.
    f = {};
    f.fail_codes[8023] = 7;
    SIM_set_faults(s.sim.get(), f);
    bytes st(4);
    put_u32le(st.data(), 0, 25);
    ASSERT_TRUE(SIMC_call(s.client.get(), 8023, st, &a));
    EXPECT_EQ(a.code, 9023);
    EXPECT_EQ(a.status, 7);
    EXPECT_EQ(SIM_get_state(s.sim.get()), 0u);
    ASSERT_TRUE(s.ask(8007, &a));
    EXPECT_EQ(a.code, 9007);
    EXPECT_EQ(a.status, 0);
}

TEST(SimFaults, OnlyCodeLimitsTheAnswerFaults) {
    sim_faults_t f;
    f.reject = true;
    f.only_code = 8201;
    Served s(f);
    sim_frame_t a;
    ASSERT_TRUE(s.ask(8007, &a));
    EXPECT_EQ(a.code, 9007);
    ASSERT_TRUE(s.ask(8201, &a));
    EXPECT_EQ(a.code, MXX_CODE_REJECT);
}

TEST(SimFaults, IgnoreProbeAndSilentCodes) {
    sim_faults_t f;
    f.ignore_probe = true;
    f.silent_codes.insert(8203);
    Served s(f);
    sim_frame_t a;
    EXPECT_FALSE(s.ask(8007, &a, 150));
    EXPECT_FALSE(s.ask(8203, &a, 150));
    ASSERT_TRUE(s.ask(8001, &a));
    EXPECT_EQ(a.code, 9001);
}

TEST(SimFaults, CorruptedAnswersFailTheirChecksums) {
    sim_faults_t f;
    f.corrupt_every = 2;
    Served s(f);
    sim_frame_t a;
    ASSERT_TRUE(s.ask(8007, &a));
    SIMC_take_raw(s.client.get());
    EXPECT_FALSE(s.ask(8007, &a, 200));
    const bytes raw = SIMC_take_raw(s.client.get());
    ASSERT_EQ(raw.size(), 21u) << "the corrupted frame still arrives";
    EXPECT_EQ(raw[16], 0x31 ^ 0x01);
    // An answer without payload is corrupted in its header.
    f.corrupt_every = 1;
    SIM_set_faults(s.sim.get(), f);
    ASSERT_EQ(SIMC_send(s.client.get(), 8105, {0, 0, 0, 0}), 0);
    EXPECT_FALSE(SIMC_recv(s.client.get(), &a, 200));
    EXPECT_EQ(SIMC_take_raw(s.client.get()).size(), 13u);
}

TEST(SimFaults, StrayBytesAndSplitWritesKeepFramesIntact) {
    sim_faults_t f;
    f.stray = 5;
    Served s(f);
    sim_frame_t a;
    ASSERT_TRUE(s.ask(8007, &a));
    EXPECT_EQ(a.payload, kSerial);
    const bytes raw = SIMC_take_raw(s.client.get());
    ASSERT_EQ(raw.size(), 26u);
    EXPECT_EQ(bytes(raw.begin(), raw.begin() + 5), (bytes{0x00, 0xFF, 0x55, 0xAA, 0x13}));
    EXPECT_EQ(raw[5], 0x42);

    f = {};
    f.split = 3;
    SIM_set_faults(s.sim.get(), f);
    ASSERT_TRUE(SIMC_call(s.client.get(), 8201, {}, &a));
    EXPECT_EQ(a.code, 9201);
    EXPECT_EQ(a.payload, SIM_get_params(s.sim.get()));
}

TEST(SimFaults, DelayHoldsTheAnswerBack) {
    sim_faults_t f;
    f.delay_ms = 700;
    Served s(f);
    sim_frame_t a;
    EXPECT_FALSE(s.ask(8007, &a, 100));
    ASSERT_TRUE(SIMC_recv(s.client.get(), &a, 5000));
    EXPECT_EQ(a.payload, kSerial);
}

TEST(SimFaults, DropLinkAfterClosesTheSocket) {
    sim_faults_t f;
    f.drop_link_after = 2;
    Served s(f);
    sim_frame_t a;
    EXPECT_TRUE(s.ask(8007, &a));
    EXPECT_TRUE(s.ask(8007, &a));
    EXPECT_TRUE(SIMC_wait_closed(s.client.get(), 3000));
    // A new connection is served again, for two requests.
    sim_client_ptr again(SIMC_open(SIM_serve_socketpair(s.sim.get())));
    ASSERT_TRUE(SIMC_call(again.get(), 8007, {}, &a));
    EXPECT_EQ(a.payload, kSerial);
}

TEST(SimFaults, BaudRatePacesTheBytes) {
    sim_faults_t f;
    f.baud = 115200;
    Served s(f);
    sim_frame_t a;
    const auto t0 = std::chrono::steady_clock::now();
    // A 4000-byte read answer plus its request: at least 4000 * 10 / 115200 s.
    bytes req(40, 0);
    const char name[] = "meas/meas0000.dat";
    std::copy(name, name + sizeof name - 1, req.begin());
    put_u32le(req.data(), 36, 3996);
    ASSERT_TRUE(SIMC_call(s.client.get(), 8211, req, &a, 5000));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_EQ(a.payload.size(), 4000u);
    EXPECT_GE(ms.count(), 340);
}

TEST(SimFaults, ScenarioAndRuntimeChanges) {
    std::string err;
    sim_ptr sim(SIM_create_json(R"({"faults": {"status_only": 1, "silent_codes": [8001], "fail_codes": {"8202": 9}}})", &err));
    ASSERT_TRUE(sim) << err;
    const sim_faults_t f = SIM_get_faults(sim.get());
    EXPECT_EQ(f.status_only, 1);
    EXPECT_EQ(f.silent_codes.count(8001), 1u);
    EXPECT_EQ(f.fail_codes.at(8202), 9);
    sim_client_ptr c(SIMC_open(SIM_serve_socketpair(sim.get())));
    sim_frame_t a;
    ASSERT_TRUE(SIMC_call(c.get(), 8007, {}, &a));
    EXPECT_EQ(a.code, MXX_CODE_STATUS);
    EXPECT_EQ(SIM_apply_json(sim.get(), R"({"faults": {}})", &err), 0) << err;
    ASSERT_TRUE(SIMC_call(c.get(), 8007, {}, &a));
    EXPECT_EQ(a.code, 9007);
}
