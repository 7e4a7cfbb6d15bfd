// Request/response exchanges through the real link library, against a peer
// that answers from a script over a socket pair.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/link_peer.h"

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new LinkEnv);

constexpr int32_t kUntouched = -7;

int32_t send_only(int32_t id, int32_t code, const void* payload, int32_t size, int32_t timeout_ms) {
    return MXX_send_cmd(id, code, payload, size, nullptr, 0, nullptr, nullptr, nullptr, timeout_ms, 0);
}

// Answers to request 8005; all carry the time-out field 0x1234.
bytes rsp(const bytes& payload, uint8_t status = 0) { return frame(9005, payload, 0x1234, status); }
bytes st(uint8_t status) { return frame(MXX_CODE_STATUS, {}, 0x1234, status); }
bytes rj() { return frame(MXX_CODE_REJECT, {}, 0x1234, 0); }
bytes bare_rsp() {  // a header alone, length 0
    bytes h = rsp({});
    h.resize(MXX_HEADER_SIZE);
    h[6] = 0;
    h[11] = MXX_xor(h.data(), 11);
    return h;
}

using Exchange = IdentifiedLink;

}  // namespace

TEST(ExchangeSize, OutOfRangePayloadSizeEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static uint8_t big[65534];
    EXPECT_DEATH(send_only(-1, 8007, nullptr, -1, 100), "Invalid data size for MXX frame!");
    EXPECT_DEATH(send_only(-1, 8007, big, 65534, 100), "Invalid data size for MXX frame!");
}

// Request 8005 (response code 9005) against scripted answers.
TEST_F(Exchange, OutcomeFollowsTheSlotPriorityAndTheTryCount) {
    const struct {
        const char* name;
        std::vector<bytes> answers;  // to the n-th request of the case, the last repeated; none: silence
        int32_t tries, result, size;
        bytes out;  // what the caller's buffer starts with (the rest untouched)
        int32_t status;
        size_t writes;
    } cases[] = {
        {"response", {rsp({0x10, 0x20, 0x30})}, 1, 0, 3, {0x10, 0x20, 0x30}, 0, 1},
        {"response with failure status", {rsp({1, 2}, 4)}, 3, 1, kUntouched, {}, 4, 1},
        {"payload too large for the caller", {rsp(bytes(65, 0x11))}, 1, 0, kUntouched, {}, 0, 1},
        {"empty payload", {rsp({})}, 1, 0, kUntouched, {}, 0, 1},
        {"length 0", {bare_rsp()}, 1, 0, kUntouched, {}, 0, 1},
        {"response beats failed status", {cat({st(1), rsp({0x55})})}, 3, 0, 1, {0x55}, 0, 1},
        {"rejection beats status and ends at once", {cat({st(0), rj()})}, 3, 1, kUntouched, {}, 0, 1},
        {"other codes", {cat({frame(8005, {1}), frame(9006, {2})})}, 1, 255, kUntouched, {}, kUntouched, 1},
        {"status only, the last succeeds", {st(1), st(1), st(0)}, 3, 0, kUntouched, {}, 0, 3},
        {"status only, the last fails", {st(0), st(0), st(2)}, 3, 1, kUntouched, {}, 2, 3},
        {"no answer", {}, 3, 255, kUntouched, {}, kUntouched, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = peer.frames.size();
        peer.start([&](const bytes&, int index) {
            if (c.answers.empty()) return bytes{};
            return c.answers[std::min(static_cast<size_t>(index) - before, c.answers.size() - 1)];
        });
        MXX_set_cmd_num_try(id, c.tries);
        MXX_set_cmd_num_try(id + 1000, 5);  // no such link: ours keeps its count
        bytes out(64, 0xEE);
        int32_t size = kUntouched, timeout = kUntouched, status = kUntouched;
        EXPECT_EQ(MXX_send_cmd(id, 8005, nullptr, 0, out.data(), 64, &size, &timeout, &status, 250, 1), c.result);
        peer.stop();
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(timeout, c.result == 255 ? kUntouched : 0x1234);
        bytes want = c.out;
        want.resize(64, 0xEE);
        EXPECT_EQ(out, want);
        EXPECT_EQ(peer.frames.size() - before, c.writes);
    }
}

// A rejection ends the wait as soon as it is in, so to find both answers in
// when the wait returns they are offered while the request is still being
// written (the link's outgoing buffer is full).
TEST_F(Exchange, ResponseBeatsARejectionThatCameWithIt) {
    const bytes blob(4 << 20, 0), response = rsp({0x66}), rejection = rj();
    EXPECT_EQ(comm_write(id, blob.data(), static_cast<int32_t>(blob.size()), 0, 50), COMM_ERR_TIMEOUT);
    bytes out(64, 0xEE);
    int32_t result = -1, size = kUntouched;
    std::thread console(
        [&] { result = MXX_send_cmd(id, 8005, nullptr, 0, out.data(), 64, &size, nullptr, nullptr, 10000, 1); });
    for (int i = 0; i < 100000 && comm_fill_rsp_buff(id, 9005, response.data(), int32_t(response.size())) != 1; ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    EXPECT_EQ(comm_fill_rsp_buff(id, MXX_CODE_REJECT, rejection.data(), int32_t(rejection.size())), 1);
    peer.start(nullptr);  // takes in the blob and the request: the write completes
    console.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(size, 1);
    EXPECT_EQ(out[0], 0x66);
}

TEST_F(Exchange, WriteErrorIsPassedThrough) {
    peer.hang_up();
    MXX_set_cmd_num_try(id, 3);
    bytes out(64, 0xEE);
    int32_t size = kUntouched;
    EXPECT_LT(MXX_send_cmd(id, 8005, nullptr, 0, out.data(), 64, &size, nullptr, nullptr, 100, 1), 0);
    EXPECT_LT(send_only(id, 8005, nullptr, 0, 100), 0);
    EXPECT_EQ(size, kUntouched);
    EXPECT_EQ(out, bytes(64, 0xEE));
    EXPECT_EQ(MXX_send_cmd(4321, 8005, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 100, 1), COMM_ERR_NOLINK);
    EXPECT_EQ(send_only(4321, 8005, nullptr, 0, 100), COMM_ERR_NOLINK);
}

// An instrument that answers one request at a time, each 400 ms after it
// took it in, answering the n-th request with {n}: with a time-out of 300 ms
// every exchange sends a second try, whose answer comes after the exchange
// took the first one. It is let go by; each exchange gets its own request's.
TEST_F(Exchange, LateAnswersToEarlierTriesAreNeverTakenByTheNextExchange) {
    const size_t before = peer.frames.size();
    peer.start([before](const bytes&, int index) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        return rsp({static_cast<uint8_t>(static_cast<size_t>(index) - before)});
    });
    MXX_set_cmd_num_try(id, 3);
    uint8_t first = 0xEE, second = 0xEE;
    int32_t size = 0;
    EXPECT_EQ(MXX_send_cmd(id, 8005, nullptr, 0, &first, 1, &size, nullptr, nullptr, 300, 1), 0);
    EXPECT_EQ(MXX_send_cmd(id, 8005, nullptr, 0, &second, 1, &size, nullptr, nullptr, 300, 1), 0);
    peer.stop();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 2);  // the answer to the second request, not to the first one's retry
    EXPECT_EQ(peer.frames.size() - before, 4u);
}

// Only the answer confirms a write; status frames of status 0 alone leave it
// open, and a write sent once is never repeated.
TEST_F(Exchange, WritesAreConfirmedOnlyByTheirAnswer) {
    const struct {
        const char* name;
        bytes answer;
        int32_t tries, result;
        size_t writes;
    } cases[] = {
        {"answer", rsp({}), 0, 0, 1},
        {"status only", st(0), 0, MXX_ERR_UNCONFIRMED, 3},
        {"failed status", st(3), 0, 1, 3},
        {"no answer, sent once", {}, 1, 255, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = peer.frames.size();
        peer.start([&](const bytes&, int) { return c.answer; });
        MXX_set_cmd_num_try(id, 3);
        EXPECT_EQ(MXX_send_write(id, 8005, nullptr, 0, 100, c.tries), c.result);
        peer.stop();
        EXPECT_EQ(peer.frames.size() - before, c.writes);
    }
}

// A link that ends while the exchange waits: the same result whatever the
// try count, and no further try.
class ClosedDuringWait : public IdentifiedLink, public ::testing::WithParamInterface<int32_t> {};

TEST_P(ClosedDuringWait, GivesTheLinksEndWhateverTheTryCount) {
    const size_t before = peer.frames.size();
    std::atomic<bool> asked{false};
    peer.start([&](const bytes&, int) {
        asked = true;
        return bytes{};
    });
    MXX_set_cmd_num_try(id, GetParam());
    std::thread hang_up([&] {
        while (!asked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        peer.hang_up();
    });
    EXPECT_EQ(MXX_send_cmd(id, 8005, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 5000, 1), COMM_ERR_CLOSED);
    hang_up.join();
    EXPECT_EQ(peer.frames.size() - before, 1u);
}

INSTANTIATE_TEST_SUITE_P(Tries, ClosedDuringWait, ::testing::Values(1, 3));
