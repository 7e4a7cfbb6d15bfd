// The event procedure on its own: frame assembly from the byte stream, the
// order in which a frame is offered, idle handling and the probe counter,
// and the asynchronous handler table.
#include <gtest/gtest.h>

#include <string>

#include "test_mxx_peer.h"

using namespace mxxtest;

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new LinkEnv);

constexpr int32_t kNoLink = 0x5A5A;  // an id no link has
constexpr int32_t kUser = 77;

// What the callbacks saw, in order ("probe0", "test", "connected10", "hook:9007/21", ...).
std::vector<std::string> g_log;
int32_t g_accept = 1;

std::string code_of(const uint8_t* f) { return std::to_string(MXX_frame_code(f)); }

int32_t rec_probe(int32_t, int32_t attempt) {
    g_log.push_back("probe" + std::to_string(attempt));
    return 0;
}
int32_t rec_test(int32_t, const uint8_t* f, int32_t* device_type, int32_t) {
    g_log.push_back("test:" + code_of(f));
    *device_type = 10;
    return g_accept;
}
int32_t rec_connected(int32_t, mxx_conn_t*, int32_t device_type, int32_t user) {
    g_log.push_back("connected" + std::to_string(device_type) + "/" + std::to_string(user));
    return 0;
}
int32_t rec_error(int32_t, mxx_conn_t*, int32_t user) {
    g_log.push_back("error/" + std::to_string(user));
    return 0;
}
int32_t rec_closed(int32_t, mxx_conn_t*, int32_t user) {
    g_log.push_back("closed/" + std::to_string(user));
    return 0;
}
int32_t rec_hook(int32_t, mxx_conn_t* c, const uint8_t* f, int32_t user) {
    g_log.push_back("hook:" + code_of(f) + "/" + std::to_string(c->rx.rx_count) + "/" + std::to_string(user));
    return 0;
}
int32_t rec_hook2(int32_t, mxx_conn_t*, const uint8_t* f, int32_t) {
    g_log.push_back("hook2:" + code_of(f));
    return 0;
}
int32_t rec_any(int32_t, mxx_conn_t* c, const uint8_t* f, int32_t) {
    g_log.push_back("any:" + code_of(f) + "/" + std::to_string(c->rx.rx_count));
    return 0;
}

struct conn_deleter {
    void operator()(mxx_conn_t* c) const { delete c; }
};
using conn_ptr = std::unique_ptr<mxx_conn_t, conn_deleter>;

// A context as MXX_connect would make it, with every callback recording.
conn_ptr make_context() {
    conn_ptr c(new mxx_conn_t{});
    c->user = kUser;
    c->cmd_num_try = 1;
    c->probe = rec_probe;
    c->test_probe = rec_test;
    c->on_connected = rec_connected;
    c->on_error = rec_error;
    c->on_closed = rec_closed;
    c->hooks[MXX_HOOK_SLOTS - 1] = {MXX_HOOK_ANY, rec_any};
    return c;
}

int32_t feed(int32_t id, mxx_conn_t* c, const bytes& b) {
    return MXX_event_proc(id, MXX_EV_DATA, b.data(), static_cast<int32_t>(b.size()), c);
}

class Events : public ::testing::Test {
protected:
    void SetUp() override {
        g_log.clear();
        g_accept = 1;
        c = make_context();
    }
    conn_ptr c;
};

using Log = std::vector<std::string>;

}  // namespace

// ---- assembly ----

TEST_F(Events, SerialAnswerInAnySplitIsDispatchedOnceAndIdentifies) {
    const bytes& f = kSerialAnswer;
    const Log expected = {"test:9007", "connected10/77", "any:9007/21"};
    for (size_t a = 0; a <= f.size(); ++a) {
        for (size_t b = a; b <= f.size(); ++b) {
            SetUp();
            feed(kNoLink, c.get(), bytes(f.begin(), f.begin() + a));
            feed(kNoLink, c.get(), bytes(f.begin() + a, f.begin() + b));
            feed(kNoLink, c.get(), bytes(f.begin() + b, f.end()));
            ASSERT_EQ(g_log, expected) << "split " << a << "/" << b;
            ASSERT_EQ(c->identified, 1);
            ASSERT_EQ(c->device_type, 10);
        }
    }
    SetUp();
    for (uint8_t byte : f) feed(kNoLink, c.get(), {byte});
    EXPECT_EQ(g_log, expected);
}

TEST_F(Events, StrayBytesBeforeAFrameAreSkipped) {
    feed(kNoLink, c.get(), cat({{0x00, 0x42, 0x52, 0xFF, 0x13}, frame(0x2456, {1, 2})}));
    EXPECT_EQ(g_log, (Log{"test:9302", "connected10/77", "any:9302/15"}));
}

TEST_F(Events, DoubledMagicStartLosesThatFrameOnly) {
    feed(kNoLink, c.get(), cat({{0x42}, frame(0x2456, {1, 2}), frame(0x2457, {3})}));
    // The second 'B' is taken as a broken 'R': the first frame is lost.
    EXPECT_EQ(g_log, (Log{"test:9303", "connected10/77", "any:9303/14"}));
}

TEST_F(Events, HeaderWithLengthZeroIsAWholeFrame) {
    bytes h = {0x42, 0x52, 0x4E, 0x4F, 0x10, 0x27, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    h[11] = MXX_xor(h.data(), 11);
    feed(kNoLink, c.get(), h);
    EXPECT_EQ(g_log, (Log{"test:10000", "connected10/77", "any:10000/12"}));
}

TEST_F(Events, BrokenChecksumsAreDroppedSilently) {
    bytes bad_payload = frame(0x2456, {1, 2, 3});
    bad_payload.back() ^= 0x01;
    bytes bad_header = frame(0x2456, {1, 2, 3});
    bad_header[11] ^= 0x80;
    feed(kNoLink, c.get(), cat({bad_payload, bad_header}));
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(c->identified, 0);
    feed(kNoLink, c.get(), frame(0x2456, {1}));
    EXPECT_EQ(g_log.size(), 3u);
}

TEST_F(Events, LengthThatWouldOverrunTheBufferIsDroppedWithoutWritingPastIt) {
    c->probe_attempts = 3;
    c->hook_count = 0;
    // 12 + 65525 > 65536: dropped right after its header.
    bytes h = {0x42, 0x52, 0x4E, 0x4F, 0x10, 0x27, 0xF5, 0xFF, 0x00, 0x00, 0x00, 0x00};
    h[11] = MXX_xor(h.data(), 11);
    feed(kNoLink, c.get(), cat({h, bytes(70000, 0x00)}));
    EXPECT_TRUE(g_log.empty());
    EXPECT_LE(c->rx.rx_count, static_cast<int32_t>(MXX_RX_BUF_SIZE));
    EXPECT_EQ(c->probe_attempts, 3);
    EXPECT_EQ(c->cmd_num_try.load(), 1);
    EXPECT_EQ(c->hook_count, 0);
    EXPECT_EQ(c->hooks[MXX_HOOK_SLOTS - 1].handler, &rec_any);

    // The largest frame that fits is still taken: 12 + 65524 bytes.
    bytes big(65523, 0x5A);
    big[0] = 0x01;
    bytes f = frame(0x2456, big);
    ASSERT_EQ(f.size(), MXX_RX_BUF_SIZE);
    feed(kNoLink, c.get(), f);
    EXPECT_EQ(g_log, (Log{"test:9302", "connected10/77", "any:9302/65536"}));
}

// ---- offering a frame: probe check, one handler, then the slots ----

TEST_F(Events, ProbeCheckRunsUntilIdentifiedThenOneHandlerRuns) {
    g_accept = 0;
    c->hooks[0] = {0x2456, nullptr};    // same code without handler: passed over
    c->hooks[1] = {0x2456, rec_hook};
    c->hooks[2] = {0x2456, rec_hook2};  // never reached: the first match stops the walk
    c->hook_count = 3;
    feed(kNoLink, c.get(), frame(0x2456, {}));
    g_accept = 1;
    feed(kNoLink, c.get(), frame(0x2456, {9}));
    feed(kNoLink, c.get(), frame(0x1111, {9}));
    EXPECT_EQ(g_log, (Log{"test:9302", "hook:9302/13/77", "test:9302", "connected10/77", "hook:9302/14/77",
                          "any:4369/14"}));
}

TEST_F(Events, CatchAllNeedsItsCodeAndAHandler) {
    c->identified = 1;
    c->hooks[MXX_HOOK_SLOTS - 1] = {0x1234, rec_any};  // an ordinary code: not a catch-all
    feed(kNoLink, c.get(), frame(0x4444, {}));
    c->hooks[MXX_HOOK_SLOTS - 1] = {MXX_HOOK_ANY, nullptr};
    feed(kNoLink, c.get(), frame(0x4444, {}));
    EXPECT_TRUE(g_log.empty());
}

// A link to offer frames to its response slots.
class EventsOnLink : public IdentifiedLink {
protected:
    void SetUp() override {
        IdentifiedLink::SetUp();
        g_log.clear();
        g_accept = 1;
        c = make_context();
    }
    conn_ptr c;
};

TEST_F(EventsOnLink, OnlyValidFramesReachTheSlots) {
    uint8_t s1[64], s2[64], s3[64];
    bytes bad = frame(9005, {1, 2, 3});
    bad.back() ^= 0x40;
    ASSERT_EQ(comm_hook_response(id, 9005, s1, 64, MXX_CODE_REJECT, s2, 64, MXX_CODE_STATUS, s3, 64), 0);
    feed(id, c.get(), bad);
    int32_t c1 = -1, c2 = -1, c3 = -1;
    EXPECT_NE(comm_wait_response(id, &c1, &c2, &c3, 50), 0);
    EXPECT_EQ(c1, 0);
    EXPECT_TRUE(g_log.empty());

    // The same frame intact goes to the handler, then to the slot.
    feed(id, c.get(), frame(9005, {1, 2, 3}));
    EXPECT_EQ(comm_wait_response(id, &c1, &c2, &c3, 1000), 0);
    EXPECT_EQ(c1, 16);
    EXPECT_EQ(bytes(s1, s1 + 16), frame(9005, {1, 2, 3}));
    EXPECT_EQ(g_log, (Log{"test:9005", "connected10/77", "any:9005/16"}));
    comm_unhook_response(id);
}

// ---- link events ----

TEST_F(Events, ProbeEventDoesNotCountButIdleRetriesDoThenGiveUp) {
    EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_PROBE, nullptr, 0, c.get()), 0);
    EXPECT_EQ(c->probe_attempts, 0);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_IDLE, nullptr, 0, c.get()), 0);
    EXPECT_EQ(c->probe_attempts, 6);
    EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_IDLE, nullptr, 0, c.get()), -1);
    EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_IDLE, nullptr, 0, c.get()), -1);
    EXPECT_EQ(c->probe_attempts, 6);
    EXPECT_EQ(g_log, (Log{"probe0", "probe0", "probe1", "probe2", "probe3", "probe4", "probe5"}));
}

TEST_F(Events, IdleOnAnIdentifiedLinkDiscardsAPartialFrame) {
    c->identified = 1;
    const bytes f = frame(0x2456, {1, 2, 3, 4});
    feed(kNoLink, c.get(), bytes(f.begin(), f.begin() + 14));
    EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_IDLE, nullptr, 0, c.get()), 0);
    EXPECT_EQ(c->rx.rx_count, 0);
    EXPECT_EQ(c->rx.rx_expected, 0);
    feed(kNoLink, c.get(), bytes(f.begin() + 14, f.end()));
    EXPECT_TRUE(g_log.empty());
    feed(kNoLink, c.get(), f);
    EXPECT_EQ(g_log, (Log{"any:9302/17"}));
    EXPECT_EQ(c->probe_attempts, 0);
}

TEST_F(Events, ErrorAndUnknownEventsAndMissingCallbacks) {
    EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_CONN_ERROR, nullptr, 0, c.get()), 0);
    for (uint8_t ev : {0, 4, 7, 200}) EXPECT_EQ(MXX_event_proc(kNoLink, ev, nullptr, 0, c.get()), 0);
    EXPECT_EQ(g_log, (Log{"error/77"}));
    conn_ptr bare(new mxx_conn_t{});
    for (uint8_t ev : {1, 2, 6}) EXPECT_EQ(MXX_event_proc(kNoLink, ev, nullptr, 0, bare.get()), 0);
    EXPECT_EQ(feed(kNoLink, bare.get(), kSerialAnswer), 0);
    EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_DISCONNECTED, nullptr, 0, bare.release()), 0);
}

TEST_F(Events, DisconnectCallsOnClosedAndReleasesTheContext) {
    EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_DISCONNECTED, nullptr, 0, c.release()), 0);
    EXPECT_EQ(g_log, (Log{"closed/77"}));
}

// ---- the handler table ----

class Hooks : public IdentifiedLink {
protected:
    mxx_conn_t* ctx() { return link_context(id); }
};

TEST_F(Hooks, DuplicatesAddNothingAndSameCodeOtherHandlerIsAdded) {
    EXPECT_EQ(MXX_hook_async_event(id, 0x2456, rec_hook), 0);
    EXPECT_EQ(MXX_hook_async_event(id, 0x2456, rec_hook), 0);
    EXPECT_EQ(MXX_hook_async_event(id, 0x2456, rec_hook2), 0);
    ASSERT_NE(ctx(), nullptr);
    EXPECT_EQ(ctx()->hook_count, 2);
    EXPECT_EQ(ctx()->hooks[1].handler, &rec_hook2);
}

TEST_F(Hooks, Table254OrdinaryPlusCatchAllThenFull) {
    // The catch-all takes the last slot, replaces an earlier one and is not counted.
    EXPECT_EQ(MXX_hook_async_event(id, MXX_HOOK_ANY, rec_hook), 0);
    EXPECT_EQ(MXX_hook_async_event(id, MXX_HOOK_ANY, rec_any), 0);
    ASSERT_NE(ctx(), nullptr);
    EXPECT_EQ(ctx()->hook_count, 0);
    for (int i = 0; i < 254; ++i) ASSERT_EQ(MXX_hook_async_event(id, static_cast<uint16_t>(100 + i), rec_hook), 0);
    EXPECT_EQ(MXX_hook_async_event(id, 999, rec_hook), -1);
    EXPECT_EQ(MXX_hook_async_event(id, MXX_HOOK_ANY, rec_hook2), -1);
    EXPECT_EQ(MXX_hook_async_event(id, 100, rec_hook), 0);  // a duplicate is still found
    EXPECT_EQ(ctx()->hook_count, 254);
    EXPECT_EQ(ctx()->hooks[MXX_HOOK_SLOTS - 1].code, MXX_HOOK_ANY);
    EXPECT_EQ(ctx()->hooks[MXX_HOOK_SLOTS - 1].handler, &rec_any);
}

TEST_F(Hooks, Table255OrdinaryLeavesNoCatchAll) {
    for (int i = 0; i < 255; ++i) ASSERT_EQ(MXX_hook_async_event(id, static_cast<uint16_t>(100 + i), rec_hook), 0);
    EXPECT_EQ(MXX_hook_async_event(id, MXX_HOOK_ANY, rec_any), -1);
    EXPECT_EQ(MXX_hook_async_event(id, 1, rec_hook), -1);
    ASSERT_NE(ctx(), nullptr);
    EXPECT_EQ(ctx()->hook_count, 255);
    EXPECT_EQ(ctx()->hooks[MXX_HOOK_SLOTS - 1].code, 354);
}

TEST_F(Hooks, UnknownLinkIsIgnored) {
    EXPECT_EQ(MXX_hook_async_event(id + 1000, 0x2456, rec_hook), 0);
    ASSERT_NE(ctx(), nullptr);
    EXPECT_EQ(ctx()->hook_count, 0);
}

namespace {
std::atomic<int> g_live_frames{0};
std::atomic<int> g_live_bytes{0};
int32_t count_live(int32_t, mxx_conn_t*, const uint8_t* f, int32_t) {
    g_live_bytes = MXX_frame_length(f);
    ++g_live_frames;
    return 0;
}
}  // namespace

TEST_F(Hooks, RegisteredHandlerRunsOnTheLinkThread) {
    g_live_frames = 0;
    ASSERT_EQ(MXX_hook_async_event(id, 0x2456, count_live), 0);
    ASSERT_TRUE(peer.send(cat({frame(0x2457, {1}), frame(0x2456, {1, 2, 3, 4, 5})})));
    for (int i = 0; i < 500 && g_live_frames.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(g_live_frames.load(), 1);
    EXPECT_EQ(g_live_bytes.load(), 6);
}
