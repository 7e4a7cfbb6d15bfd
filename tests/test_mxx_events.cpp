// The event procedure on its own: the order in which a frame is offered,
// idle and error handling, and the asynchronous handler table. The probe
// count is tested on a live link (test_mxx_lifecycle.cpp).
#include <gtest/gtest.h>

#include <string>

#include "test_mxx_peer.h"

using namespace mxxtest;

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new LinkEnv);

constexpr int32_t kNoLink = 0x5A5A;  // an id no link has

// What the callbacks saw, in order ("test:9007", "connected10/77", "hook:9007/21/77", ...).
std::vector<std::string> g_log;
int32_t g_accept = 1;

std::string code_of(const uint8_t* f) { return std::to_string(MXX_frame_code(f)); }
int32_t note(const std::string& what) {
    g_log.push_back(what);
    return 0;
}

int32_t rec_test(int32_t, const uint8_t* f, int32_t* device_type, int32_t) {
    *device_type = 10;
    note("test:" + code_of(f));
    return g_accept;
}
int32_t rec_connected(int32_t, mxx_conn_t*, int32_t type, int32_t user) {
    return note("connected" + std::to_string(type) + "/" + std::to_string(user));
}
int32_t rec_error(int32_t, mxx_conn_t*, int32_t user) { return note("error/" + std::to_string(user)); }
int32_t rec_closed(int32_t, mxx_conn_t*, int32_t user) { return note("closed/" + std::to_string(user)); }
int32_t rec_hook(int32_t, mxx_conn_t* c, const uint8_t* f, int32_t user) {
    return note("hook:" + code_of(f) + "/" + std::to_string(c->rx.rx_count) + "/" + std::to_string(user));
}
int32_t rec_hook2(int32_t, mxx_conn_t*, const uint8_t* f, int32_t) { return note("hook2:" + code_of(f)); }
int32_t rec_any(int32_t, mxx_conn_t* c, const uint8_t* f, int32_t) {
    return note("any:" + code_of(f) + "/" + std::to_string(c->rx.rx_count));
}

using conn_ptr = std::unique_ptr<mxx_conn_t>;

int32_t feed(int32_t id, mxx_conn_t* c, const bytes& b) {
    return MXX_event_proc(id, MXX_EV_DATA, b.data(), static_cast<int32_t>(b.size()), c);
}

using Log = std::vector<std::string>;

// A context as MXX_connect would make it, every callback recording.
template <typename Base>
class WithContext : public Base {
protected:
    void SetUp() override {
        Base::SetUp();
        g_log.clear();
        g_accept = 1;
        c.reset(new mxx_conn_t{});
        c->user = 77;
        c->cmd_num_try = 1;
        c->test_probe = rec_test;
        c->on_connected = rec_connected;
        c->on_error = rec_error;
        c->on_closed = rec_closed;
        c->hooks[MXX_HOOK_SLOTS - 1] = {MXX_HOOK_ANY, rec_any};
    }
    conn_ptr c;
};
using Events = WithContext<::testing::Test>;
using EventsOnLink = WithContext<IdentifiedLink>;

}  // namespace

TEST_F(EventsOnLink, IntactFramesGoToTheProbeCheckUntilIdentifiedThenToOneHandlerThenToTheSlots) {
    uint8_t s1[64], s2[64], s3[64];
    ASSERT_EQ(comm_hook_response(id, 0x2456, s1, 64, MXX_CODE_REJECT, s2, 64, MXX_CODE_STATUS, s3, 64), 0);
    bytes bad_payload = frame(0x2456, {1, 2, 3}), bad_header = bad_payload;
    bad_payload.back() ^= 0x40;
    bad_header[11] ^= 0x80;
    feed(id, c.get(), cat({bad_payload, bad_header}));
    int32_t c1 = -1, c2 = -1, c3 = -1;
    EXPECT_EQ(comm_wait_response(id, &c1, &c2, &c3, 50), COMM_ERR_TIMEOUT);
    EXPECT_EQ(c1 + c2 + c3, 0);
    EXPECT_TRUE(g_log.empty());

    g_accept = 0;
    c->hooks[0] = {0x2456, nullptr};    // same code without handler: passed over
    c->hooks[1] = {0x2456, rec_hook};
    c->hooks[2] = {0x2456, rec_hook2};  // never reached: the first match ends the search
    c->hook_count = 3;
    feed(id, c.get(), frame(0x2456, {}));
    g_accept = 1;
    for (uint8_t byte : kSerialAnswer) feed(id, c.get(), {byte});
    feed(id, c.get(), frame(0x2456, {9}));
    EXPECT_EQ(c->identified, 1);
    EXPECT_EQ(c->device_type, 10);
    // The catch-all needs both its code and a handler.
    c->hooks[MXX_HOOK_SLOTS - 1] = {0x1234, rec_any};
    feed(id, c.get(), frame(0x4444, {}));
    c->hooks[MXX_HOOK_SLOTS - 1] = {MXX_HOOK_ANY, nullptr};
    feed(id, c.get(), frame(0x4444, {}));
    EXPECT_EQ(g_log, (Log{"test:9302", "hook:9302/13/77", "test:9007", "connected10/77", "any:9007/21",
                          "hook:9302/14/77"}));
    EXPECT_EQ(comm_wait_response(id, &c1, &c2, &c3, 1000), 0);  // the later frame of the code
    EXPECT_EQ(c1, 14);
    EXPECT_EQ(bytes(s1, s1 + 14), frame(0x2456, {9}));
    comm_unhook_response(id);
}

TEST_F(Events, IdleOnAnIdentifiedLinkDiscardsAPartialFrame) {
    c->identified = 1;
    const bytes f = frame(0x2456, {1, 2, 3, 4});
    feed(kNoLink, c.get(), bytes(f.begin(), f.begin() + 14));
    EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_IDLE, nullptr, 0, c.get()), 0);
    feed(kNoLink, c.get(), bytes(f.begin() + 14, f.end()));
    EXPECT_TRUE(g_log.empty());
    feed(kNoLink, c.get(), f);
    EXPECT_EQ(g_log, (Log{"any:9302/17"}));
    EXPECT_EQ(c->probe_attempts, 0);
}

TEST_F(Events, ErrorAndCloseReachTheirCallbacksOtherEventsAndMissingCallbacksAreHarmless) {
    EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_CONN_ERROR, nullptr, 0, c.get()), 0);
    for (uint8_t ev : {0, 4, 7, 200}) EXPECT_EQ(MXX_event_proc(kNoLink, ev, nullptr, 0, c.get()), 0);
    EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_DISCONNECTED, nullptr, 0, c.release()), 0);  // releases it
    EXPECT_EQ(g_log, (Log{"error/77", "closed/77"}));
    conn_ptr bare(new mxx_conn_t{});
    for (uint8_t ev : {1, 2, 6}) EXPECT_EQ(MXX_event_proc(kNoLink, ev, nullptr, 0, bare.get()), 0);
    EXPECT_EQ(feed(kNoLink, bare.get(), kSerialAnswer), 0);
    EXPECT_EQ(MXX_event_proc(kNoLink, MXX_EV_DISCONNECTED, nullptr, 0, bare.release()), 0);
}

// ---- the handler table of a live link ----

using Hooks = IdentifiedLink;

TEST_F(Hooks, Table254OrdinaryPlusTheCatchAllThenFull) {
    EXPECT_EQ(MXX_hook_async_event(id + 1000, 0x2456, rec_hook), 0);  // no such link: ignored
    // The catch-all takes the last slot, replaces an earlier one and is not counted.
    EXPECT_EQ(MXX_hook_async_event(id, MXX_HOOK_ANY, rec_hook), 0);
    EXPECT_EQ(MXX_hook_async_event(id, MXX_HOOK_ANY, rec_any), 0);
    mxx_conn_t* ctx = link_context(id);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->hook_count, 0);
    EXPECT_EQ(MXX_hook_async_event(id, 100, rec_hook), 0);
    EXPECT_EQ(MXX_hook_async_event(id, 100, rec_hook), 0);   // a duplicate adds nothing
    EXPECT_EQ(MXX_hook_async_event(id, 100, rec_hook2), 0);  // another handler of the code does
    EXPECT_EQ(ctx->hook_count, 2);
    for (int i = 2; i < 254; ++i) ASSERT_EQ(MXX_hook_async_event(id, static_cast<uint16_t>(100 + i), rec_hook), 0);
    EXPECT_EQ(MXX_hook_async_event(id, 999, rec_hook), -1);
    EXPECT_EQ(MXX_hook_async_event(id, MXX_HOOK_ANY, rec_hook2), -1);
    EXPECT_EQ(MXX_hook_async_event(id, 100, rec_hook), 0);  // a duplicate is still found
    EXPECT_EQ(ctx->hook_count, 254);
    EXPECT_EQ(ctx->hooks[1].handler, &rec_hook2);
    EXPECT_EQ(ctx->hooks[MXX_HOOK_SLOTS - 1].code, MXX_HOOK_ANY);
    EXPECT_EQ(ctx->hooks[MXX_HOOK_SLOTS - 1].handler, &rec_any);
}

TEST_F(Hooks, Table255OrdinaryLeavesNoRoomForTheCatchAll) {
    for (int i = 0; i < 255; ++i) ASSERT_EQ(MXX_hook_async_event(id, static_cast<uint16_t>(100 + i), rec_hook), 0);
    EXPECT_EQ(MXX_hook_async_event(id, MXX_HOOK_ANY, rec_any), -1);
    EXPECT_EQ(MXX_hook_async_event(id, 1, rec_hook), -1);
    ASSERT_NE(link_context(id), nullptr);
    EXPECT_EQ(link_context(id)->hook_count, 255);
    EXPECT_EQ(link_context(id)->hooks[MXX_HOOK_SLOTS - 1].code, 354);
}

namespace {
std::atomic<int> g_live_frames{0}, g_live_length{0};
int32_t count_live(int32_t, mxx_conn_t*, const uint8_t* f, int32_t) {
    g_live_length = MXX_frame_length(f);
    ++g_live_frames;
    return 0;
}
}  // namespace

TEST_F(Hooks, RegisteredHandlerRunsOnTheLinkThread) {
    ASSERT_EQ(MXX_hook_async_event(id, 0x2456, count_live), 0);
    ASSERT_TRUE(peer.send(cat({frame(0x2457, {1}), frame(0x2456, {1, 2, 3, 4, 5})})));
    for (int i = 0; i < 500 && g_live_frames.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(g_live_frames.load(), 1);
    EXPECT_EQ(g_live_length.load(), 6);
}
