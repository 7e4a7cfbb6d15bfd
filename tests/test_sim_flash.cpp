// External flash, the flashing order's checksum check, and restart.
#include "test_sim_fixture.h"

namespace {

bytes flash_order(bool encrypted, uint32_t checksum) {
    return cat(u32(encrypted ? 1 : 0), u32(checksum));
}

bytes block(uint16_t index, const bytes& data) {
    bytes b(2);
    put_u16le(b.data(), 0, index);
    return cat(b, data);
}

}  // namespace

TEST(SimFlash, EraseAnswersTheBlockSizeAndBlocksLandThere) {
    Served s(SIM_create_demo());
    EXPECT_EQ(s.call(8100).payload, u32(64));
    const bytes data = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(s.call(8102, block(3, data)).status, 0);
    EXPECT_EQ(s.call(8101, {3, 0}).payload, cat(data, bytes(56, 0xFF)));
    EXPECT_EQ(s.call(8101, {2, 0}).payload, bytes(64, 0xFF));
    // Too much data for a block, past the end (block 8128), or no data at all: refused.
    for (const auto& [code, payload] : std::initializer_list<std::pair<uint16_t, bytes>>{
             {8102, block(0, bytes(65, 0))}, {8102, block(8128, data)}, {8102, {0, 0}}, {8101, {0xC0, 0x1F}}})
        EXPECT_NE(s.call(code, payload).status, 0) << code << " with " << payload.size() << " bytes";

    // Flash cells only clear: a block written twice without erase keeps the zeros of both.
    EXPECT_EQ(s.call(8102, block(10, {0xF0})).status, 0);
    EXPECT_EQ(s.call(8102, block(10, {0x0F})).status, 0);
    EXPECT_EQ(SIM_get_flash(s.get())[640], 0x00);
    s.call(8100);
    EXPECT_EQ(SIM_get_flash(s.get()), bytes(SIM_FLASH_SIZE, 0xFF));
}

TEST(SimFlash, ZeroBlockSizeIsAnsweredAsIsAndMeansSixtyFour) {
    Served s(R"({"settings": {"flash_block_size": 0}})");
    EXPECT_EQ(s.call(8100).payload, u32(0));
    EXPECT_EQ(s.call(8102, block(2, {9, 9, 9, 9})).status, 0);
    EXPECT_EQ(SIM_get_flash(s.get())[128], 9);
}

TEST(SimFlash, FlashingOrderChecksTheImage) {
    // Plain: the order's checksum is the XOR of the image's words. Scrambled:
    // word w is stored XOR w^4, and the checksum is still over the plain words.
    for (bool scramble : {false, true}) {
        SCOPED_TRACE(scramble ? "scrambled, in 64-byte blocks" : "plain, in 4096-byte blocks");
        const size_t block_size = scramble ? 64 : 4096;
        Served s(scramble ? R"({"settings": {"reboot_ms": 0}})"
                          : R"({"settings": {"flash_block_size": 4096, "reboot_ms": 0}})");
        bytes stored(SIM_FLASH_SIZE, 0);
        uint32_t checksum = 0;
        for (size_t i = 0; i < 30000; ++i) stored[i] = static_cast<uint8_t>((i * 131) ^ (i >> 7));
        for (uint32_t w = 0; w < SIM_FLASH_SIZE / 4; ++w) {
            const uint32_t v = get_u32le(stored.data(), 4 * w);
            checksum ^= v;
            if (scramble) put_u32le(stored.data(), 4 * w, v ^ (w * w * w * w));
        }
        ASSERT_EQ(s.call(8100).payload, u32(static_cast<uint32_t>(block_size)));
        for (size_t off = 0; off < stored.size(); off += block_size) {
            const bytes piece(stored.begin() + off, stored.begin() + std::min(off + block_size, stored.size()));
            ASSERT_EQ(s.call(8102, block(static_cast<uint16_t>(off / block_size), piece)).status, 0) << off;
        }
        ASSERT_EQ(SIM_get_flash(s.get()), stored);

        // The wrong flag, or a checksum one bit off, is refused.
        EXPECT_EQ(s.call(8103, flash_order(!scramble, checksum)).status, SIM_ST_CHECKSUM);
        EXPECT_EQ(s.call(8103, flash_order(scramble, checksum ^ 0x100)).status, SIM_ST_CHECKSUM);
        EXPECT_EQ(SIM_flash_count(s.get()), 0);
        EXPECT_EQ(s.call(8103, flash_order(scramble, checksum)).status, 0);
        EXPECT_EQ(SIM_flash_count(s.get()), 1);
        // One flipped bit in flash: the same order is refused.
        stored[12345] ^= 0x04;
        SIM_set_flash(s.get(), stored);
        EXPECT_EQ(s.call(8103, flash_order(scramble, checksum)).status, SIM_ST_CHECKSUM);
    }
}

TEST(SimRestart, SilentWhileRebootingThenAnswersWithStateReset) {
    Served s(R"({"settings": {"reboot_ms": 400}, "params": {"max_stored_meas": 4000}})");
    const bytes params = SIM_get_params(s.get());
    ASSERT_EQ(s.call(8023, u32(SIM_STATE_PREPARE)).status, 0);
    ASSERT_EQ(SIM_get_state(s.get()), SIM_STATE_READY);

    sim_frame_t f;
    ASSERT_EQ(SIMC_send(s.client.get(), 8021, {}), 0);
    EXPECT_FALSE(s.ask(8024, &f, 150)) << "neither the restart nor the next request is answered";
    EXPECT_EQ(SIM_restart_count(s.get()), 1);
    EXPECT_EQ(SIM_request_count(s.get(), 8024), 1u) << "requests are logged even when not answered";

    bool answered = false;
    for (int i = 0; i < 100 && !answered; ++i) answered = s.ask(8024, &f, 50);
    ASSERT_TRUE(answered);
    EXPECT_EQ(f.code, 9024);
    EXPECT_EQ(f.payload, u32(SIM_STATE_IDLE)) << "the state machine starts idle after a restart";
    EXPECT_FALSE(SIM_is_rebooting(s.get()));
    EXPECT_EQ(SIM_get_params(s.get()), params) << "settings survive a restart";
}
