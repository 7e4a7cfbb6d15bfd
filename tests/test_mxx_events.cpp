// The event procedure on its own: the order in which a frame is offered to
// the probe check, the asynchronous handlers and the slots; idle and error
// handling. Probing, handler registration and live frames on a real link
// show end to end.
#include <gtest/gtest.h>

#include <string>

#include "support/link_peer.h"

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new LinkEnv);

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

// Beside the link's own context, one as MXX_connect would make it, every
// callback recording.
class Events : public IdentifiedLink {
protected:
    void SetUp() override {
        IdentifiedLink::SetUp();
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

}  // namespace

TEST_F(Events, IntactFramesGoToTheProbeCheckUntilIdentifiedThenToOneHandlerThenToTheSlots) {
    uint8_t s1[64], s2[64], s3[64];
    ASSERT_EQ(comm_hook_response(id, 0x2456, s1, 64, MXX_CODE_REJECT, s2, 64, MXX_CODE_STATUS, s3, 64), 0);
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
    int32_t c1 = -1, c2 = -1, c3 = -1;
    EXPECT_EQ(comm_wait_response(id, &c1, &c2, &c3, 1000), 0);  // the later frame of the code
    EXPECT_EQ(c1, 14);
    EXPECT_EQ(bytes(s1, s1 + 14), frame(0x2456, {9}));
    comm_unhook_response(id);
}

// Idle on an identified link discards a partial frame (and probes nothing);
// error and close reach their callbacks; other events are harmless.
TEST_F(Events, IdleErrorCloseAndTheRest) {
    c->identified = 1;
    const bytes f = frame(0x2456, {1, 2, 3, 4});
    feed(id, c.get(), bytes(f.begin(), f.begin() + 14));
    EXPECT_EQ(MXX_event_proc(id, MXX_EV_IDLE, nullptr, 0, c.get()), 0);
    feed(id, c.get(), bytes(f.begin() + 14, f.end()));
    feed(id, c.get(), f);
    EXPECT_EQ(c->probe_attempts, 0);
    EXPECT_EQ(MXX_event_proc(id, MXX_EV_CONN_ERROR, nullptr, 0, c.get()), 0);
    for (uint8_t ev : {0, 4, 7, 200}) EXPECT_EQ(MXX_event_proc(id, ev, nullptr, 0, c.get()), 0);
    EXPECT_EQ(MXX_event_proc(id, MXX_EV_DISCONNECTED, nullptr, 0, c.release()), 0);  // releases it
    EXPECT_EQ(g_log, (Log{"any:9302/17", "error/77", "closed/77"}));
}

