// Frame building and byte-stream assembly, without any I/O.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "support/frames.h"

namespace {

// A bare header declaring `length`, with a valid header checksum.
bytes header(uint16_t length) {
    bytes h = {0x42, 0x52, 0x4E, 0x4F, 0x10, 0x20, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
               0,    0,    0,    0};
    h[11] = MXX_xor(h.data(), 11);
    return h;
}

// Assembly state followed by guard bytes that it must never write.
struct guarded_rx {
    mxx_rx_t rx;
    uint8_t guard[256];
};

std::vector<bytes> feed(const std::vector<bytes>& chunks) {
    auto g = std::make_unique<guarded_rx>();
    std::memset(g->guard, 0xA5, sizeof g->guard);
    MXX_rx_reset(&g->rx);
    std::vector<bytes> got;
    size_t reported = 0;
    for (const bytes& c : chunks)
        reported += static_cast<size_t>(MXX_rx_feed(&g->rx, c.data(), c.size(), collect_frames, &got));
    EXPECT_EQ(reported, got.size());
    EXPECT_EQ(bytes(g->guard, g->guard + sizeof g->guard), bytes(sizeof g->guard, 0xA5));
    return got;
}

}  // namespace

TEST(FrameBuild, DocumentedExamplesByteForByte) {
    EXPECT_EQ(frame(8007, {}, 100), (bytes{0x42, 0x52, 0x4E, 0x4F, 0x47, 0x1F, 0x01, 0x00, 0x64, 0x00, 0x00, 0x2C, 0x00}));
    EXPECT_EQ(frame(8023, {0x19, 0, 0, 0}, 800), (bytes{0x42, 0x52, 0x4E, 0x4F, 0x57, 0x1F, 0x05, 0x00, 0x20, 0x03,
                                                         0x00, 0x7F, 0x19, 0x00, 0x00, 0x00, 0x19}));
    EXPECT_EQ(frame(9007, kSerial), kSerialAnswer);
    // A rejection: the status byte is inside the header checksum.
    EXPECT_EQ(frame(12290, {}, 0, 1), (bytes{0x42, 0x52, 0x4E, 0x4F, 0x02, 0x30, 0x01, 0x00, 0x00, 0x00, 0x01, 0x23, 0x00}));
}

TEST(FrameAssembly, AnySplitDispatchesTheFrameOnce) {
    const bytes& f = kSerialAnswer;
    for (size_t a = 0; a <= f.size(); ++a) {
        for (size_t b = a; b <= f.size(); ++b) {
            const auto got = feed({bytes(f.begin(), f.begin() + a), bytes(f.begin() + a, f.begin() + b),
                                   bytes(f.begin() + b, f.end())});
            ASSERT_EQ(got, std::vector<bytes>{f}) << "split " << a << "/" << b;
        }
    }
}

// Bad checksums and a header cut short show in the recorded streams (tests/replay).
TEST(FrameAssembly, GarbageIsSkippedBrokenFramesAreDroppedAndTheNextFrameGetsThrough) {
    bytes bad_magic = kSerialAnswer;
    bad_magic[3] = 0x00;
    bad_magic[11] = MXX_xor(bad_magic.data(), 11);  // only the magic is wrong
    bytes fits(65523, 0x5A);  // 12 + 65524: exactly the assembly buffer
    fits[0] = 0x01;
    const struct {
        const char* name;
        bytes in;
        std::vector<bytes> out;
    } cases[] = {
        {"stray bytes and a broken magic", cat({{0x00, 0x42, 0x52, 0xFF, 0x13}, bad_magic, kSerialAnswer}),
         {kSerialAnswer}},
        // Each byte that breaks a start is a start of its own.
        {"stray start byte", cat({{0x42}, kSerialAnswer, kSerialAnswer}), {kSerialAnswer, kSerialAnswer}},
        {"broken magic", cat({{0x42, 0x52}, kSerialAnswer}), {kSerialAnswer}},
        // The frame begins inside a false header: found once that header fails its checksum.
        {"magic alone", cat({{0x42, 0x52, 0x4E, 0x4F}, kSerialAnswer}), {kSerialAnswer}},
        {"length 0 is a whole 12-byte frame", header(0), {header(0)}},
        {"length one past the buffer", cat({header(0xFFF5), bytes(70000, 0x5A), kSerialAnswer}), {kSerialAnswer}},
        {"one past the buffer, checksums right", cat({frame(0x2456, bytes(65524, 0x5A)), kSerialAnswer}),
         {kSerialAnswer}},
        {"largest length", cat({header(0xFFFF), bytes(70000, 0x5A), kSerialAnswer}), {kSerialAnswer}},
        {"largest length that fits", frame(0x2456, fits), {frame(0x2456, fits)}},
    };
    for (const auto& c : cases) EXPECT_EQ(feed({c.in}), c.out) << c.name;
}

TEST(FrameCheck, AcceptsWholeValidFramesOnly) {
    EXPECT_TRUE(MXX_frame_check(kSerialAnswer.data(), kSerialAnswer.size()));
    EXPECT_TRUE(MXX_frame_check(header(0).data(), MXX_HEADER_SIZE));
    EXPECT_TRUE(MXX_header_check(kSerialAnswer.data()));
    const struct {
        const char* name;
        size_t at;  // byte flipped; the header checksum is not mended
    } broken[] = {{"magic", 2}, {"length", 6}, {"header checksum", 11}, {"payload", 14}, {"payload checksum", 20}};
    for (const auto& b : broken) {
        bytes f = kSerialAnswer;
        f[b.at] ^= 0x01;
        EXPECT_FALSE(MXX_frame_check(f.data(), f.size())) << b.name;
        EXPECT_EQ(MXX_header_check(f.data()), b.at >= MXX_HEADER_SIZE) << b.name;
    }
    // The length must account for every byte held, no more and no fewer.
    EXPECT_FALSE(MXX_frame_check(kSerialAnswer.data(), kSerialAnswer.size() - 1));
    const bytes longer = cat({kSerialAnswer, {0x00}});
    EXPECT_FALSE(MXX_frame_check(longer.data(), longer.size()));
    EXPECT_FALSE(MXX_frame_check(kSerialAnswer.data(), MXX_HEADER_SIZE - 1));
    EXPECT_FALSE(MXX_frame_check(nullptr, 0));
}

TEST(FramePayload, IsTheBytesBetweenHeaderAndChecksum) {
    const auto serial = MXX_frame_payload(kSerialAnswer.data());
    EXPECT_EQ(bytes(serial.begin(), serial.end()), kSerial);
    EXPECT_EQ(serial.data(), kSerialAnswer.data() + 12);
    EXPECT_EQ(MXX_frame_size(kSerial.size()), kSerialAnswer.size());
    // Length 0 (nothing) and 1 (a checksum only) both carry no payload.
    EXPECT_TRUE(MXX_frame_payload(header(0).data()).empty());
    const bytes empty = frame(8007, {}, 100);
    EXPECT_TRUE(MXX_frame_payload(empty.data()).empty());
    EXPECT_TRUE(MXX_frame_payload(empty.data(), empty.size()).empty());
    // Bounded by the bytes held: a cut frame yields what it holds.
    const auto whole = MXX_frame_payload(kSerialAnswer.data(), kSerialAnswer.size());
    EXPECT_EQ(bytes(whole.begin(), whole.end()), kSerial);
    const auto cut = MXX_frame_payload(kSerialAnswer.data(), 17);
    EXPECT_EQ(bytes(cut.begin(), cut.end()), bytes(kSerial.begin(), kSerial.begin() + 4));
    EXPECT_TRUE(MXX_frame_payload(kSerialAnswer.data(), 13).empty());
    EXPECT_TRUE(MXX_frame_payload(nullptr).empty());
}
