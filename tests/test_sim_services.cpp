// The simulated instrument's answers that no command test reaches: refusals
// of unknown codes and malformed requests, reads at their edges, set-params
// keeping the record's tail, silence after a restart, and the external
// flash's bounds. Files, measurements and flashing show through the commands'
// tests.
#include "support/sim_served.h"

namespace {

bytes dev_time(std::initializer_list<int32_t> t) {
    bytes b;
    for (int32_t v : t) b = cat({b, u32(static_cast<uint32_t>(v))});
    return b;
}

bytes flash_block(uint16_t index, const bytes& data) { return cat({{uint8_t(index), uint8_t(index >> 8)}, data}); }

}  // namespace

TEST(SimProtocol, UnknownCodesAreRejectedMalformedRequestsFailAndChangeNothing) {
    Served s;
    sim_frame_t f = s.call(7777);
    EXPECT_EQ(f.code, MXX_CODE_REJECT);
    EXPECT_EQ(f.payload, (bytes{0x61, 0x1E}));
    const std::pair<uint16_t, size_t> wrong[] = {
        {8201, 1}, {8202, 318}, {8202, 320}, {8203, 4}, {8204, 3}, {8206, 0}, {8209, 39}, {8211, 41}, {8210, 39},
        {8023, 0}, {8022, 5},   {8003, 23},  {8007, 1}, {8101, 1}, {8102, 2}, {8103, 4},  {8104, 9},  {8104, 2},
        {8105, 2}, {8212, 4},   {8021, 1}};
    for (const auto& [code, size] : wrong) {
        f = s.call(code, bytes(size, 0));
        EXPECT_EQ(f.code, code + 1000) << code;
        EXPECT_EQ(f.status, SIM_ST_SIZE) << code << " with " << size << " bytes";
        EXPECT_TRUE(f.payload.empty());
    }
    for (const bytes& t : {dev_time({2026, 13, 1, 0, 0, 0}), dev_time({2026, 1, 1, 24, 0, 0})})
        EXPECT_EQ(s.call(8003, t).status, SIM_ST_FAIL);
    EXPECT_EQ(SIM_restart_count(s.get()), 0) << "a malformed restart must not restart";
    EXPECT_EQ(SIM_get_serial(s.get()), "A0001234") << "a malformed serial must not be stored";
}

// Whole files are read by the commands' tests; here the edges: at most 3996
// bytes per answer, the rest of the record, then nothing, even far past the
// end; and the entry list past the last slot.
TEST(SimAnswers, ReadsEndAtTheFileAndTheEntryListAtTheLastSlot) {
    Served s;
    const struct {
        uint32_t offset, wanted;
        int32_t count;
    } reads[] = {{0, 10000, FILE_READ_MAX}, {3996, 450, MR_SIZE - 3996}, {MR_SIZE, 450, 0}, {0xFFFFFFF0u, 450, 0}};
    for (const auto& r : reads) {
        const sim_frame_t f = s.call(8211, file_req("meas/meas0001.dat", r.offset, r.wanted));
        ASSERT_EQ(f.payload.size(), 4u + static_cast<size_t>(r.count)) << r.offset;
        EXPECT_EQ(get_i32le(f.payload.data(), 0), r.count) << r.offset;
    }
    EXPECT_EQ(s.call(8211, file_req("meas/meas0020.dat", 0, 450)).status, SIM_ST_NOFILE);
    EXPECT_EQ(s.call(8204, u32(0xFFFFFFF0)).payload, bytes(160, 0)) << "no wrap-around past the end";
}

TEST(SimAnswers, SetParamsTakesTheHeadKeepsTheTailAndTheStatusFollowsTheContrast) {
    Served s;
    bytes params = SIM_get_params(s.get());
    ASSERT_GT(params.size(), PARAMS_SET_SIZE);
    params[PARAMS_OFF_CONTRAST] = 77;
    params[PARAMS_SET_SIZE - 1] ^= 0xFF;
    EXPECT_EQ(s.call(8202, bytes(params.begin(), params.begin() + PARAMS_SET_SIZE)).status, 0);
    EXPECT_EQ(s.call(8201).payload, params);
    EXPECT_EQ(get_u16le(s.call(8203).payload.data(), ST_CONTRAST), 77);
}

TEST(SimRestart, SilentWhileRebootingThenAnswersWithStateReset) {
    Served s(R"({"settings": {"reboot_ms": 400}, "params": {"max_stored_meas": 4000}})");
    const bytes params = SIM_get_params(s.get());
    ASSERT_EQ(s.call(8023, u32(SIM_STATE_PREPARE)).status, 0);
    sim_frame_t f;
    ASSERT_EQ(SIMC_send(s.client.get(), 8021, {}), 0);
    EXPECT_FALSE(s.ask(8024, &f, 150)) << "neither the restart nor the next request is answered";
    EXPECT_EQ(SIM_restart_count(s.get()), 1);
    EXPECT_EQ(SIM_request_count(s.get(), 8024), 1u) << "requests are logged even when not answered";
    bool answered = false;
    for (int i = 0; i < 100 && !answered; ++i) answered = s.ask(8024, &f, 50);
    ASSERT_TRUE(answered);
    EXPECT_EQ(f.payload, u32(SIM_STATE_IDLE)) << "the state machine starts idle after a restart";
    EXPECT_EQ(SIM_get_params(s.get()), params) << "settings survive a restart";
}

// Blocks land at their index times the erase's block size (0 answered as is
// and meaning 64); too much data, past the end or none is refused; cells
// only clear until the next erase.
TEST(SimFlash, BlocksStayInBoundsAndOnlyClearBits) {
    Served s(R"({"settings": {"flash_block_size": 0}})");
    EXPECT_EQ(s.call(8100).payload, u32(0));
    const bytes data = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(s.call(8102, flash_block(3, data)).status, 0);
    EXPECT_EQ(s.call(8101, {3, 0}).payload, cat({data, bytes(56, 0xFF)}));
    for (const auto& [code, payload] : std::initializer_list<std::pair<uint16_t, bytes>>{
             {8102, flash_block(0, bytes(65, 0))}, {8102, flash_block(8128, data)}, {8102, {0, 0}}, {8101, {0xC0, 0x1F}}})
        EXPECT_NE(s.call(code, payload).status, 0) << code << " with " << payload.size() << " bytes";
    EXPECT_EQ(s.call(8102, flash_block(10, {0xF0})).status, 0);
    EXPECT_EQ(s.call(8102, flash_block(10, {0x0F})).status, 0);
    EXPECT_EQ(SIM_get_flash(s.get())[640], 0x00);
    s.call(8100);
    EXPECT_EQ(SIM_get_flash(s.get()), bytes(SIM_FLASH_SIZE, 0xFF));
}

