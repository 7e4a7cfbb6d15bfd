// External flash, the flashing order's checksum check, and restart.
#include <gtest/gtest.h>

#include <vector>

#include "link/wire.h"
#include "sim/client.h"
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

bytes flash_order(uint32_t encrypted, uint32_t checksum) {
    bytes b(8);
    put_u32le(b.data(), 0, encrypted);
    put_u32le(b.data(), 4, checksum);
    return b;
}

bytes block(uint16_t index, const uint8_t* data, size_t n) {
    bytes b(2 + n);
    put_u16le(b.data(), 0, index);
    std::copy(data, data + n, b.begin() + 2);
    return b;
}

// A plain image, its scrambled form and the XOR of the plain words.
struct image_t {
    bytes plain, stored;
    uint32_t raw_checksum = 0;
};

image_t make_image(bool scramble) {
    image_t im;
    im.plain.assign(SIM_FLASH_SIZE, 0);
    for (size_t i = 0; i < 30000; ++i) im.plain[i] = static_cast<uint8_t>((i * 131) ^ (i >> 7));
    im.stored = im.plain;
    for (uint32_t w = 0; w < SIM_FLASH_SIZE / 4; ++w) {
        const uint32_t v = get_u32le(im.plain.data(), 4 * w);
        im.raw_checksum ^= v;
        if (scramble) put_u32le(im.stored.data(), 4 * w, v ^ (w * w * w * w));
    }
    return im;
}

void upload(Served& s, const bytes& image, size_t block_size) {
    for (size_t off = 0, k = 0; off < image.size(); off += block_size, ++k) {
        const size_t n = std::min(block_size, image.size() - off);
        const sim_frame_t f = s.call(8102, block(static_cast<uint16_t>(k), image.data() + off, n));
        ASSERT_EQ(f.status, 0) << "block " << k;
    }
}

}  // namespace

TEST(SimFlash, EraseAnswersTheBlockSizeAndBlocksLandThere) {
    Served s(SIM_create_demo());
    sim_frame_t f = s.call(8100);
    ASSERT_EQ(f.payload.size(), 4u);
    EXPECT_EQ(get_i32le(f.payload.data(), 0), 64);
    const uint8_t data[64] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(s.call(8102, block(3, data, 64)).status, 0);
    f = s.call(8101, {3, 0});
    ASSERT_EQ(f.payload.size(), 64u);
    EXPECT_EQ(f.payload, bytes(data, data + 64));
    EXPECT_EQ(s.call(8101, {2, 0}).payload, bytes(64, 0xFF));
    // Too much data for a block, past the end, or no data at all: refused.
    const bytes big(65, 0);
    EXPECT_NE(s.call(8102, block(0, big.data(), 65)).status, 0);
    EXPECT_NE(s.call(8102, block(8128, data, 8)).status, 0);
    EXPECT_NE(s.call(8102, {0, 0}).status, 0);
    EXPECT_NE(s.call(8101, {0xC0, 0x1F}).status, 0) << "block 8128 lies past the flash";

    // Flash cells only clear: a block written twice without erase keeps the zeros of both.
    const uint8_t a[1] = {0xF0};
    const uint8_t b[1] = {0x0F};
    EXPECT_EQ(s.call(8102, block(10, a, 1)).status, 0);
    EXPECT_EQ(s.call(8102, block(10, b, 1)).status, 0);
    EXPECT_EQ(SIM_get_flash(s.sim.get())[640], 0x00);
    s.call(8100);
    EXPECT_EQ(SIM_get_flash(s.sim.get()), bytes(SIM_FLASH_SIZE, 0xFF));
}

TEST(SimFlash, ZeroBlockSizeAnswerMeansSixtyFour) {
    Served s(SIM_create_json(R"({"settings": {"flash_block_size": 0}})", nullptr));
    EXPECT_EQ(get_i32le(s.call(8100).payload.data(), 0), 0);
    const uint8_t data[4] = {9, 9, 9, 9};
    EXPECT_EQ(s.call(8102, block(2, data, 4)).status, 0);
    EXPECT_EQ(SIM_get_flash(s.sim.get())[128], 9);
}

TEST(SimFlash, FlashingOrderChecksTheImage) {
    for (bool scramble : {false, true}) {
        SCOPED_TRACE(scramble ? "scrambled" : "plain");
        Served s(SIM_create_json(R"({"settings": {"flash_block_size": 4096, "reboot_ms": 0}})", nullptr));
        const image_t im = make_image(scramble);
        ASSERT_EQ(get_i32le(s.call(8100).payload.data(), 0), 4096);
        upload(s, im.stored, 4096);
        ASSERT_EQ(SIM_get_flash(s.sim.get()), im.stored);
        // The wrong flag, or a checksum one bit off, is refused.
        EXPECT_EQ(s.call(8103, flash_order(scramble ? 0 : 1, im.raw_checksum)).status, SIM_ST_CHECKSUM);
        EXPECT_EQ(s.call(8103, flash_order(scramble ? 1 : 0, im.raw_checksum ^ 0x100)).status, SIM_ST_CHECKSUM);
        EXPECT_EQ(SIM_flash_count(s.sim.get()), 0);
        EXPECT_EQ(s.call(8103, flash_order(scramble ? 1 : 0, im.raw_checksum)).status, 0);
        EXPECT_EQ(SIM_flash_count(s.sim.get()), 1);

        // One flipped bit in flash: the same order is refused.
        bytes bad = im.stored;
        bad[12345] ^= 0x04;
        SIM_set_flash(s.sim.get(), bad);
        EXPECT_EQ(s.call(8103, flash_order(scramble ? 1 : 0, im.raw_checksum)).status, SIM_ST_CHECKSUM);
    }
}

TEST(SimFlash, SixtyFourByteBlocksCoverTheWholeImage) {
    Served s(SIM_create_json(R"({"settings": {"reboot_ms": 0}})", nullptr));
    const image_t im = make_image(true);
    s.call(8100);
    upload(s, im.stored, 64);
    EXPECT_EQ(SIM_request_count(s.sim.get(), 8102), 8128u);
    EXPECT_EQ(s.call(8103, flash_order(1, im.raw_checksum)).status, 0);
}

TEST(SimRestart, SilentWhileRebootingThenAnswersWithStateReset) {
    Served s(SIM_create_json(R"({"settings": {"reboot_ms": 400}})", nullptr));
    bytes st(4);
    put_u32le(st.data(), 0, 25);
    ASSERT_EQ(s.call(8023, st).status, 0);
    ASSERT_EQ(SIM_get_state(s.sim.get()), 2u);

    ASSERT_EQ(SIMC_send(s.client.get(), 8021, {}), 0);
    ASSERT_EQ(SIMC_send(s.client.get(), 8024, {}), 0);
    sim_frame_t f;
    EXPECT_FALSE(SIMC_recv(s.client.get(), &f, 150)) << "neither the restart nor the next request is answered";
    EXPECT_EQ(SIM_restart_count(s.sim.get()), 1);
    EXPECT_EQ(SIM_request_count(s.sim.get(), 8024), 1u) << "requests are logged even when not answered";

    bool answered = false;
    for (int i = 0; i < 100 && !answered; ++i) {
        ASSERT_EQ(SIMC_send(s.client.get(), 8024, {}), 0);
        answered = SIMC_recv(s.client.get(), &f, 50);
    }
    ASSERT_TRUE(answered);
    EXPECT_EQ(f.code, 9024);
    EXPECT_EQ(get_u32le(f.payload.data(), 0), 0u) << "the state machine starts idle after a restart";
    EXPECT_FALSE(SIM_is_rebooting(s.sim.get()));
    // A poll answered late could still be queued: skip to the serial's answer.
    ASSERT_EQ(SIMC_send(s.client.get(), 8007, {}), 0);
    for (int i = 0; i < 5 && SIMC_recv(s.client.get(), &f, 2000) && f.code != 9007; ++i) {
    }
    EXPECT_EQ(f.code, 9007);
    EXPECT_EQ(f.payload, (bytes{'A', '0', '0', '0', '1', '2', '3', '4'}));
}
