// Frame building and byte-stream assembly, without any I/O.
#include <gtest/gtest.h>

#include <vector>

#include "link/mxx_frame.h"

namespace {

std::vector<uint8_t> build(uint16_t code, std::vector<uint8_t> payload, uint16_t timeout, uint8_t status = 0) {
    std::vector<uint8_t> out(payload.size() + MXX_OVERHEAD);
    int32_t n = MXX_build_frame(out.data(), code, payload.data(), static_cast<uint16_t>(payload.size()), timeout,
                                status);
    out.resize(static_cast<size_t>(n));
    return out;
}

struct Collected {
    std::vector<std::vector<uint8_t>> frames;
};

void collect(const uint8_t* frame, int32_t count, void* user) {
    static_cast<Collected*>(user)->frames.emplace_back(frame, frame + count);
}

std::vector<std::vector<uint8_t>> feed_in_pieces(const std::vector<uint8_t>& bytes, size_t piece) {
    auto rx = std::make_unique<mxx_rx_t>();
    MXX_rx_reset(rx.get());
    Collected c;
    for (size_t i = 0; i < bytes.size(); i += piece) {
        size_t n = std::min(piece, bytes.size() - i);
        MXX_rx_feed(rx.get(), bytes.data() + i, n, collect, &c);
    }
    return c.frames;
}

const std::vector<uint8_t> kSerialAnswer = {0x42, 0x52, 0x4E, 0x4F, 0x2F, 0x23, 0x09, 0x00, 0x00, 0x00, 0x00,
                                            0x14, 0x41, 0x30, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34, 0x75};

}  // namespace

TEST(FrameBuild, GetSerialRequestBytes) {
    EXPECT_EQ(build(8007, {}, 100),
              (std::vector<uint8_t>{0x42, 0x52, 0x4E, 0x4F, 0x47, 0x1F, 0x01, 0x00, 0x64, 0x00, 0x00, 0x2C, 0x00}));
}

TEST(FrameBuild, SetStateRequestBytes) {
    EXPECT_EQ(build(8023, {0x19, 0, 0, 0}, 800),
              (std::vector<uint8_t>{0x42, 0x52, 0x4E, 0x4F, 0x57, 0x1F, 0x05, 0x00, 0x20, 0x03, 0x00, 0x7F, 0x19,
                                    0x00, 0x00, 0x00, 0x19}));
}

TEST(FrameBuild, LargestPayloadGivesLargestFrame) {
    std::vector<uint8_t> payload(MXX_MAX_PAYLOAD, 0xA5);
    auto f = build(1, payload, 0);
    EXPECT_EQ(f.size(), 65546u);
    EXPECT_EQ(MXX_frame_length(f.data()), 65534);
}

TEST(FrameAssembly, AnySplitDispatchesOnce) {
    for (size_t piece = 1; piece <= kSerialAnswer.size(); ++piece) {
        auto frames = feed_in_pieces(kSerialAnswer, piece);
        ASSERT_EQ(frames.size(), 1u) << "piece " << piece;
        EXPECT_EQ(frames[0], kSerialAnswer);
    }
}

TEST(FrameAssembly, StrayByteBeforeFrameIsDropped) {
    std::vector<uint8_t> bytes = {0x00, 0x13};
    bytes.insert(bytes.end(), kSerialAnswer.begin(), kSerialAnswer.end());
    auto frames = feed_in_pieces(bytes, 3);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], kSerialAnswer);
}

TEST(FrameAssembly, DoubledStartByteLosesThatFrame) {
    std::vector<uint8_t> bytes = {0x42};
    bytes.insert(bytes.end(), kSerialAnswer.begin(), kSerialAnswer.end());
    EXPECT_TRUE(feed_in_pieces(bytes, 1).empty());
    // Assembly recovers for the next frame.
    bytes.insert(bytes.end(), kSerialAnswer.begin(), kSerialAnswer.end());
    EXPECT_EQ(feed_in_pieces(bytes, 1).size(), 1u);
}

TEST(FrameAssembly, LengthZeroFrameIsTwelveBytes) {
    std::vector<uint8_t> f = {0x42, 0x52, 0x4E, 0x4F, 0x10, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    f[11] = MXX_xor(f.data(), 11);
    auto frames = feed_in_pieces(f, 5);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 12u);
}

TEST(FrameAssembly, BadChecksumsAreDropped) {
    auto bad_payload = kSerialAnswer;
    bad_payload[15] ^= 0x01;
    EXPECT_TRUE(feed_in_pieces(bad_payload, 4).empty());
    auto bad_header = kSerialAnswer;
    bad_header[8] ^= 0x01;
    EXPECT_TRUE(feed_in_pieces(bad_header, 4).empty());
}

TEST(FrameAssembly, LengthBeyondBufferIsDroppedWithoutOverrun) {
    // length 0xFFFF would need 12 + 65535 bytes: more than the buffer holds.
    std::vector<uint8_t> f = {0x42, 0x52, 0x4E, 0x4F, 0x10, 0x20, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};
    f[11] = MXX_xor(f.data(), 11);
    std::vector<uint8_t> bytes = f;
    bytes.resize(bytes.size() + 70000, 0x00);
    bytes.insert(bytes.end(), kSerialAnswer.begin(), kSerialAnswer.end());
    auto frames = feed_in_pieces(bytes, 4096);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], kSerialAnswer);
}
