// Exchanges over an in-process link on its virtual clock: answers that come
// late, and silences inside a frame, placed to the millisecond.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <utility>

#include "link/mxx_comm.h"
#include "support/frames.h"

namespace {

// Answers the n-th request with (delay, bytes) pieces, each piece's delay
// counted from the piece before (the first from the request).
class TimedPeer final : public comm_peer_t {
public:
    using script_t = std::vector<std::pair<int64_t, bytes>>;
    std::function<script_t(int index)> answer;
    int requests = 0;

    void send_at(int64_t due, bytes b) { out_.push_back({due, std::move(b)}); }

    void received(const uint8_t* b, size_t n, int64_t now) override {
        in_.insert(in_.end(), b, b + n);
        while (in_.size() >= MXX_HEADER_SIZE && in_.size() >= MXX_HEADER_SIZE + MXX_frame_length(in_.data())) {
            in_.erase(in_.begin(), in_.begin() + static_cast<long>(MXX_HEADER_SIZE + MXX_frame_length(in_.data())));
            int64_t due = now;
            for (auto& [delay, piece] : answer(requests++)) send_at(due += delay, piece);
        }
    }
    size_t take_due(int64_t now, uint8_t* buf, size_t cap) override {
        for (auto it = out_.begin(); it != out_.end(); ++it) {
            if (it->first > now) continue;
            const size_t n = std::min(cap, it->second.size());
            std::copy_n(it->second.begin(), n, buf);
            it->second.erase(it->second.begin(), it->second.begin() + static_cast<long>(n));
            if (it->second.empty()) out_.erase(it);
            return n;
        }
        return 0;
    }
    int64_t next_due_ms(int64_t now) const override {
        int64_t next = COMM_PEER_NEVER;
        for (const auto& [due, b] : out_)
            if (due > now) next = std::min(next, due);
        return next;
    }

private:
    bytes in_;
    std::deque<std::pair<int64_t, bytes>> out_;
};

bytes answer(uint8_t value) { return frame(9005, {value}); }

class PeerLink : public ::testing::Test {
protected:
    void SetUp() override {
        auto accept = [](int32_t, const uint8_t* f, int32_t* type, int32_t) -> int32_t {
            *type = 10;
            return MXX_frame_code(f) == 9007;
        };
        peer.send_at(0, kSerialAnswer);
        ASSERT_EQ(MXX_connect_peer(&peer, &id, nullptr, nullptr, nullptr, nullptr, accept, 0), 0);
        ASSERT_EQ(MXX_wait_connected(id, 1000), 0);
        ASSERT_EQ(MXX_get_conn_state_id(id), COMM_STATE_CONNECTED);
    }
    void TearDown() override { EXPECT_EQ(MXX_disconnect(id), 0); }

    int32_t exchange(int32_t timeout_ms, uint8_t* value) {
        int32_t size = 0;
        return MXX_send_cmd(id, 8005, nullptr, 0, value, 1, &size, nullptr, nullptr, timeout_ms, 1);
    }

    TimedPeer peer;
    int32_t id = -1;
};

}  // namespace

// The first try's answer comes after its time-out and is taken by the
// second try; the second try's own answer, later still, must be let go by
// and not be taken for the next request of the same code.
TEST_F(PeerLink, AnAnswerOwedToARetryIsNeverTakenByTheNextRequest) {
    peer.answer = [](int index) -> TimedPeer::script_t {
        switch (index) {
        case 0: return {{150, answer(1)}};
        case 1: return {{60, answer(2)}};
        default: return {{30, answer(3)}};
        }
    };
    MXX_set_cmd_num_try(id, 2);
    uint8_t value = 0;
    ASSERT_EQ(exchange(100, &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_GE(comm_clock_ms(id), 160);  // the virtual clock ran past the owed answer
    ASSERT_EQ(exchange(100, &value), 0);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(peer.requests, 3);
}

// A silence longer than the idle period inside a frame drops what came of
// it, as a real link's idle event does; a shorter one does not.
TEST_F(PeerLink, ASilenceInsideAFrameLongerThanTheIdlePeriodLosesIt) {
    for (const int64_t pause : {MXX_IDLE_MS - 20, MXX_IDLE_MS + 20}) {
        SCOPED_TRACE(pause);
        peer.answer = [pause](int) -> TimedPeer::script_t {
            const bytes whole = answer(7);
            return {{0, bytes(whole.begin(), whole.begin() + 5)}, {pause, bytes(whole.begin() + 5, whole.end())}};
        };
        uint8_t value = 0;
        const int32_t r = exchange(1000, &value);
        if (pause < MXX_IDLE_MS) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(value, 7);
        } else {
            EXPECT_EQ(r, 255);
        }
    }
}
