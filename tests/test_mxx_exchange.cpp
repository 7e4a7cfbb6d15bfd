// Request/response exchanges through the real link library, against a peer
// that answers from a script over a socket pair.
#include <gtest/gtest.h>

#include "test_mxx_peer.h"

using namespace mxxtest;

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new LinkEnv);

// Answers every request with the frames the script gives for its index.
Peer::responder_t script(std::function<bytes(uint16_t code, int index)> fn) {
    return [fn](const bytes& req, int index) { return fn(MXX_frame_code(req.data()), index); };
}

uint16_t rsp(uint16_t code) { return static_cast<uint16_t>(code + MXX_RESPONSE_OFFSET); }

class Exchange : public IdentifiedLink {
protected:
    // One exchange with wait; every out value starts as a sentinel.
    int32_t send(uint16_t code, const bytes& payload, int32_t timeout_ms = 300) {
        out.assign(64, 0xEE);
        out_size = -7;
        out_timeout = -7;
        out_status = -7;
        return MXX_send_cmd(id, code, payload.data(), static_cast<int32_t>(payload.size()), out.data(),
                            static_cast<int32_t>(out.size()), &out_size, &out_timeout, &out_status, timeout_ms, 1);
    }
    bool out_untouched() const { return out == bytes(64, 0xEE); }

    // Request frames written by the link, once the exchange is over.
    std::vector<bytes> written() {
        peer.stop();
        return peer.frames();
    }

    bytes out;
    int32_t out_size = -7, out_timeout = -7, out_status = -7;
};

}  // namespace

// ---- what goes on the wire ----

TEST_F(Exchange, RequestFramesMatchTheDocumentedBytes) {
    peer.start(nullptr);
    EXPECT_EQ(MXX_send_cmd(id, 8007, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 100, 0), 0);
    const uint8_t state[4] = {25, 0, 0, 0};
    EXPECT_EQ(MXX_send_cmd(id, 8023, state, 4, nullptr, 0, nullptr, nullptr, nullptr, 800, 0), 0);
    const auto f = written();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], (bytes{0x42, 0x52, 0x4E, 0x4F, 0x47, 0x1F, 0x01, 0x00, 0x64, 0x00, 0x00, 0x2C, 0x00}));
    EXPECT_EQ(f[1], (bytes{0x42, 0x52, 0x4E, 0x4F, 0x57, 0x1F, 0x05, 0x00, 0x20, 0x03, 0x00, 0x7F, 0x19, 0x00, 0x00,
                           0x00, 0x19}));
}

TEST_F(Exchange, TimeoutFieldCarriesLow16BitsAndCodeItsLow16Bits) {
    peer.start(nullptr);
    EXPECT_EQ(MXX_send_cmd(id, 8040, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 300000, 0), 0);
    EXPECT_EQ(MXX_send_cmd(id, 0x10000 + 8007, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 100, 0), 0);
    const auto f = written();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(MXX_frame_timeout(f[0].data()), 37856);
    EXPECT_EQ(f[0][8], 0xE0);
    EXPECT_EQ(f[0][9], 0x93);
    EXPECT_EQ(MXX_frame_code(f[1].data()), 8007);
}

TEST_F(Exchange, LargestPayloadIsSentWhole) {
    peer.start(nullptr);
    bytes payload(MXX_MAX_PAYLOAD);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(MXX_send_cmd(id, 8301, payload.data(), MXX_MAX_PAYLOAD, nullptr, 0, nullptr, nullptr, nullptr, 2000, 0),
              0);
    peer.stop();  // too long for the peer's own assembler: compare the raw bytes
    const bytes f = peer.raw();
    ASSERT_EQ(f.size(), 65546u);
    EXPECT_EQ(bytes(f.begin(), f.begin() + MXX_HEADER_SIZE),
              (bytes{0x42, 0x52, 0x4E, 0x4F, 0x6D, 0x20, 0xFE, 0xFF, 0xD0, 0x07, 0x00, 0x42 ^ 0x52 ^ 0x4E ^ 0x4F ^ 0x6D ^
                                                                                    0x20 ^ 0xFE ^ 0xFF ^ 0xD0 ^ 0x07}));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), f.begin() + MXX_HEADER_SIZE));
    EXPECT_EQ(f.back(), MXX_xor(payload.data(), payload.size()));
}

TEST_F(Exchange, WithoutWaitOneWriteAndTheCallersSlotsStayArmed) {
    MXX_set_cmd_num_try(id, 3);
    peer.start(script([](uint16_t code, int) { return frame(rsp(code), {1, 2, 3}); }));
    // Slots armed by someone else must survive a send-only exchange.
    uint8_t s1[64], s2[64], s3[64];
    ASSERT_EQ(comm_hook_response(id, 9050, s1, 64, 1, s2, 64, 2, s3, 64), 0);
    EXPECT_EQ(MXX_send_cmd(id, 8050, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 300, 0), 0);
    int32_t c1 = 0, c2 = 0, c3 = 0;
    EXPECT_EQ(comm_wait_response(id, &c1, &c2, &c3, 3000), 0);
    EXPECT_EQ(c1, 16);
    comm_unhook_response(id);
    EXPECT_EQ(written().size(), 1u);
}

TEST(ExchangeSize, OutOfRangePayloadSizeEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(MXX_send_cmd(-1, 8007, nullptr, -1, nullptr, 0, nullptr, nullptr, nullptr, 100, 0),
                 "Invalid data size for MXX frame!");
    static uint8_t big[65534];
    EXPECT_DEATH(MXX_send_cmd(-1, 8007, big, 65534, nullptr, 0, nullptr, nullptr, nullptr, 100, 0),
                 "Invalid data size for MXX frame!");
}

// ---- the answer ----

TEST_F(Exchange, ResponseIsCopiedWithItsTimeoutAndStatus) {
    peer.start(script([](uint16_t code, int) { return frame(rsp(code), {0x10, 0x20, 0x30}, 0x1234, 0); }));
    EXPECT_EQ(send(8005, {9}), 0);
    EXPECT_EQ(out_size, 3);
    EXPECT_EQ(out_timeout, 0x1234);
    EXPECT_EQ(out_status, 0);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 4), (bytes{0x10, 0x20, 0x30, 0xEE}));
    EXPECT_EQ(written().size(), 1u);
}

TEST_F(Exchange, ResponseWithFailureStatusCopiesNothing) {
    peer.start(script([](uint16_t code, int) { return frame(rsp(code), {1, 2}, 0, 4); }));
    EXPECT_EQ(send(8005, {}), 1);
    EXPECT_EQ(out_status, 4);
    EXPECT_EQ(out_size, -7);
    EXPECT_TRUE(out_untouched());
}

TEST_F(Exchange, PayloadLargerThanOutbuffIsNotCopiedButSucceeds) {
    peer.start(script([](uint16_t code, int) { return frame(rsp(code), bytes(65, 0x11)); }));
    EXPECT_EQ(send(8005, {}), 0);
    EXPECT_EQ(out_size, -7);
    EXPECT_TRUE(out_untouched());
}

TEST_F(Exchange, EmptyPayloadCopiesNothingAndLeavesOutSize) {
    peer.start(script([](uint16_t code, int index) {
        // The second answer is a bare 12-byte header (length 0).
        if (index == 0) return frame(rsp(code), {}, 0, 0);
        bytes h = frame(rsp(code), {}, 0, 0);
        h[6] = 0;
        h.resize(MXX_HEADER_SIZE);
        h[11] = MXX_xor(h.data(), 11);
        return h;
    }));
    EXPECT_EQ(send(8005, {}), 0);
    EXPECT_EQ(out_size, -7);
    EXPECT_TRUE(out_untouched());
    EXPECT_EQ(send(8005, {}), 0);
    EXPECT_EQ(out_size, -7);
    EXPECT_TRUE(out_untouched());
}

TEST_F(Exchange, ResponseSlotHoldsAtMost4083PayloadBytes) {
    peer.start(script([](uint16_t code, int index) { return frame(rsp(code), bytes(index == 0 ? 4083 : 4084, 7)); }));
    bytes big(5000, 0xEE);
    int32_t size = -7;
    EXPECT_EQ(MXX_send_cmd(id, 8300, nullptr, 0, big.data(), 5000, &size, nullptr, nullptr, 300, 1), 0);
    EXPECT_EQ(size, 4083);
    EXPECT_EQ(big[4082], 7);
    EXPECT_EQ(big[4083], 0xEE);
    EXPECT_EQ(MXX_send_cmd(id, 8300, nullptr, 0, big.data(), 5000, &size, nullptr, nullptr, 300, 1), 255);
}

TEST_F(Exchange, FramesOfOtherCodesDoNotAnswer) {
    peer.start(script([](uint16_t code, int) { return cat({frame(code, {1}), frame(rsp(code) + 1, {2})}); }));
    EXPECT_EQ(send(8005, {}), 255);
    EXPECT_TRUE(out_untouched());
}

// ---- which slot wins, and when the exchange is over ----

TEST_F(Exchange, ResponseBeatsFailedStatusFrame) {
    peer.start(script([](uint16_t code, int) {
        return cat({frame(MXX_CODE_STATUS, {}, 0, 1), frame(rsp(code), {0x55}, 0, 0)});
    }));
    EXPECT_EQ(send(8005, {}), 0);
    EXPECT_EQ(out_size, 1);
    EXPECT_EQ(out[0], 0x55);
}

TEST_F(Exchange, RejectionBeatsSuccessfulStatusFrame) {
    MXX_set_cmd_num_try(id, 3);
    peer.start(script([](uint16_t, int) {
        return cat({frame(MXX_CODE_STATUS, {}, 0, 0), frame(MXX_CODE_REJECT, {}, 0, 0)});
    }));
    EXPECT_EQ(send(8005, {}), 1);
    EXPECT_EQ(written().size(), 1u);
}

TEST_F(Exchange, ResponseBeatsRejection) {
    peer.start(script([](uint16_t code, int) {
        return cat({frame(rsp(code), {0x66}, 0, 0), frame(MXX_CODE_REJECT, {}, 0, 0)});
    }));
    EXPECT_EQ(send(8005, {}), 0);
    EXPECT_EQ(out[0], 0x66);
}

TEST_F(Exchange, RejectionEndsAtOnceWhateverTriesRemain) {
    MXX_set_cmd_num_try(id, 3);
    peer.start(script([](uint16_t, int) { return frame(MXX_CODE_REJECT, {}, 0, 0); }));
    EXPECT_EQ(send(8005, {}), 1);
    EXPECT_TRUE(out_untouched());
    EXPECT_EQ(written().size(), 1u);
}

TEST_F(Exchange, StatusOnlyIsResentAndTheLastStatusDecides) {
    MXX_set_cmd_num_try(id, 3);
    const uint8_t statuses[2][3] = {{1, 1, 0}, {0, 0, 2}};
    for (int round = 0; round < 2; ++round) {
        peer.start(script([&, round](uint16_t, int index) {
            return frame(MXX_CODE_STATUS, {}, 0, statuses[round][index % 3]);
        }));
        EXPECT_EQ(send(8005, {}, 200), round == 0 ? 0 : 1) << "round " << round;
        EXPECT_EQ(out_status, statuses[round][2]);
        EXPECT_EQ(written().size(), 3u * (round + 1));
    }
}

TEST_F(Exchange, NoAnswerGives255AfterExactlyTryCountWrites) {
    peer.start(nullptr);
    EXPECT_EQ(send(8005, {}, 100), 255);  // the link starts with one try
    MXX_set_cmd_num_try(id, 3);
    EXPECT_EQ(send(8006, {}, 100), 255);
    EXPECT_TRUE(out_untouched());
    const auto f = written();
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(MXX_frame_code(f[0].data()), 8005);
    for (int i = 1; i < 4; ++i) EXPECT_EQ(MXX_frame_code(f[i].data()), 8006);
}

TEST_F(Exchange, TryCountOfAnUnknownLinkIsNotChanged) {
    MXX_set_cmd_num_try(id, 2);
    MXX_set_cmd_num_try(id + 1000, 5);
    ASSERT_NE(link_context(id), nullptr);
    EXPECT_EQ(link_context(id)->cmd_num_try.load(), 2);
    peer.start(nullptr);
    EXPECT_EQ(send(8005, {}, 100), 255);
    EXPECT_EQ(written().size(), 2u);
}

// ---- write errors ----

TEST_F(Exchange, WriteErrorIsPassedThrough) {
    peer.hang_up();
    MXX_set_cmd_num_try(id, 3);
    const int32_t r = send(8005, {});
    EXPECT_LT(r, 0);
    EXPECT_TRUE(out_untouched());
    const int32_t r0 = MXX_send_cmd(id, 8005, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 100, 0);
    EXPECT_LT(r0, 0);
}

TEST(ExchangeNoLink, UnknownIdGivesTheLibraryError) {
    EXPECT_EQ(MXX_send_cmd(4321, 8005, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 100, 1), COMM_ERR_NOLINK);
    EXPECT_EQ(MXX_send_cmd(4321, 8005, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 100, 0), COMM_ERR_NOLINK);
}
