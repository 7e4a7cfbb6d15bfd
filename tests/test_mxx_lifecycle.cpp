// Opening, probing, identifying and closing links through the real library;
// connection strings and the USB list rewrite.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_mxx_peer.h"

using namespace mxxtest;

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new LinkEnv);

std::atomic<int> g_connected_calls{0}, g_connected_type{-1}, g_closed_calls{0};
std::atomic<mxx_conn_t*> g_closed_ctx{nullptr};

int32_t on_connected(int32_t, mxx_conn_t*, int32_t device_type, int32_t) {
    g_connected_type = device_type;
    ++g_connected_calls;
    return 0;
}
int32_t on_closed(int32_t, mxx_conn_t* c, int32_t) {
    g_closed_ctx = c;
    ++g_closed_calls;
    return 0;
}
// The instrument's probe (a get-serial request sent without waiting) and its
// check, which also raises the link's try count to 3 from the link's thread.
int32_t send_probe(int32_t id, int32_t) {
    return MXX_send_cmd(id, 8007, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 100, 0);
}
int32_t check_probe(int32_t id, const uint8_t* f, int32_t* device_type, int32_t attempt) {
    MXX_set_cmd_num_try(id, 3);
    return accept_serial(id, f, device_type, attempt);
}

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        g_connected_calls = g_closed_calls = 0;
        g_connected_type = -1;
        g_closed_ctx = nullptr;
    }
    void TearDown() override {
        if (id >= 0) MXX_disconnect(id);
    }
    int32_t connect(Peer& p) {
        return MXX_connect(p.conn_string().c_str(), &id, on_connected, nullptr, on_closed, send_probe, check_probe, 5);
    }
    Peer peer;
    int32_t id = -1;
};

}  // namespace

TEST_F(Lifecycle, EmptyOrUnusableConnectionStringFails) {
    int32_t stored = -77;
    // A failed open releases the context at once (the leak checker sees it otherwise).
    for (const char* conn : {"", static_cast<const char*>(nullptr), "NOPE:1", "SER:115200,8,1,0,0:/nonexistent/tty"})
        EXPECT_EQ(MXX_connect(conn, &stored, on_connected, nullptr, on_closed, send_probe, check_probe, 0), -1);
    EXPECT_EQ(stored, -77);
    EXPECT_EQ(g_closed_calls.load(), 0);
}

TEST_F(Lifecycle, SilentPeerGetsSevenProbesThenTheWaitEndsUnconnected) {
    peer.start(nullptr);
    ASSERT_EQ(connect(peer), 0);
    ASSERT_EQ(MXX_wait_connected(id, 10000), 0);
    EXPECT_NE(MXX_get_conn_state_id(id), COMM_STATE_CONNECTED);
    // Later idle periods give up again without probing.
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * MXX_IDLE_MS));
    EXPECT_NE(MXX_get_conn_state_id(id), COMM_STATE_CONNECTED);
    peer.stop();
    EXPECT_EQ(peer.frames, std::vector<bytes>(7, frame(8007, {}, 100)));
    EXPECT_EQ(g_connected_calls.load(), 0);
    EXPECT_EQ(link_context(id)->cmd_num_try.load(), 1);
}

TEST_F(Lifecycle, SerialAnswerIdentifiesTheInstrument) {
    peer.start([](const bytes& req, int) { return MXX_frame_code(req.data()) == 8007 ? kSerialAnswer : bytes{}; });
    ASSERT_EQ(connect(peer), 0);
    ASSERT_EQ(MXX_wait_connected(id, 10000), 0);
    EXPECT_EQ(MXX_get_conn_state_id(id), COMM_STATE_CONNECTED);
    ASSERT_NE(link_context(id), nullptr);
    EXPECT_EQ(link_context(id)->identified, 1);
    // The check raised the try count: an unanswered exchange now writes three times.
    EXPECT_EQ(MXX_send_cmd(id, 8005, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 100, 1), 255);
    peer.stop();
    EXPECT_EQ(std::count_if(peer.frames.begin(), peer.frames.end(),
                            [](const bytes& f) { return MXX_frame_code(f.data()) == 8005; }),
              3);
    EXPECT_EQ(g_connected_calls.load(), 1);
    EXPECT_EQ(g_connected_type.load(), 10);
}

TEST_F(Lifecycle, DisconnectOrHangUpClosesAndReleases) {
    for (bool hang_up : {false, true}) {
        SetUp();
        Peer p;
        ASSERT_EQ(connect(p), 0);
        mxx_conn_t* c = link_context(id);
        if (hang_up) p.hang_up();
        else EXPECT_EQ(MXX_disconnect(id), 0);
        for (int i = 0; i < 500 && g_closed_calls.load() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(g_closed_calls.load(), 1);
        EXPECT_EQ(g_closed_ctx.load(), c);
        EXPECT_EQ(link_context(id), nullptr);
        EXPECT_EQ(MXX_get_conn_state_id(id), COMM_STATE_NONE);
        EXPECT_NE(MXX_wait_connected(id, 10), 0);
    }
    id = -1;
}

// Exchanges, try-count changes and handler registrations on one thread while
// another closes the link: the walks must never see a released context.
TEST(LifecycleStress, DisconnectDuringExchanges) {
    for (int round = 0; round < 50; ++round) {
        Peer peer;
        peer.start([](const bytes& req, int index) {
            if (index % 3 == 2) return bytes{};  // now and then no answer
            return frame(static_cast<uint16_t>(MXX_frame_code(req.data()) + MXX_RESPONSE_OFFSET), {1, 2, 3});
        });
        int32_t id = -1;
        ASSERT_EQ(MXX_connect(peer.conn_string().c_str(), &id, nullptr, nullptr, on_closed, nullptr, nullptr, 0), 0);
        std::atomic<bool> stop{false};
        std::atomic<int> done{0}, bad{0};
        std::thread console([&] {
            uint8_t out[16];
            for (int i = 0; i < 100000 && !stop; ++i) {
                MXX_set_cmd_num_try(id, 1 + i % 2);
                MXX_hook_async_event(id, static_cast<uint16_t>(0x2000 + i % 300), nullptr);
                const int32_t r = MXX_send_cmd(id, 8005, nullptr, 0, out, 16, nullptr, nullptr, nullptr, 20, 1);
                if (r != 0 && r != 255 && r >= 0) ++bad;  // the peer never reports a failure
                ++done;
            }
        });
        // Close while exchanges are under way, at a different point each round.
        for (int i = 0; i < 1000 && done.load() < 1 + round % 4; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(MXX_disconnect(id), 0);
        stop = true;
        console.join();
        EXPECT_EQ(link_context(id), nullptr);
        EXPECT_EQ(bad.load(), 0);
    }
}

TEST(ConnStrings, BuildersUseTheInstrumentsFixedSettings) {
    const struct {
        int32_t (*build)(char* out);
        const char* text;  // nullptr: refused, nothing written
    } cases[] = {
        {[](char* o) { return MXX_make_serial_conn_string(o, 3); }, "SER:115200,8,1,0,0:/dev/ttyS2"},
        {[](char* o) { return MXX_make_bt_conn_string(o, "00:11:22:33:44:55", ""); },
         "BT:1,60000,7316:00:11:22:33:44:55"},
        {[](char* o) { return MXX_make_net_conn_string(o, "127.0.0.1", 5000); }, "TCP:1000:127.0.0.1:5000"},
        {[](char* o) { return MXX_make_usb_conn_string(o, "USBF:/dev/ttyACM0/c44", 128); }, "USBF:/dev/ttyACM0/c44"},
        // A bare device path gets the product id of its prefix.
        {[](char* o) { return MXX_make_usb_conn_string(o, "USBS:/dev/ttyACM1", 128); }, "USBS:/dev/ttyACM1/c44"},
        {[](char* o) { return MXX_make_usb_conn_string(o, "USBU:/dev/ttyACM2", 128); }, "USBU:/dev/ttyACM2/c45"},
        {[](char* o) { return MXX_make_usb_conn_string(o, "BT:1,60000,7316:AA:BB:CC:DD:EE:FF", 128); }, nullptr},
        {[](char* o) { return MXX_make_usb_conn_string(o, "USB", 128); }, nullptr},
        {[](char* o) { return MXX_make_usb_conn_string(o, nullptr, 128); }, nullptr},
    };
    for (const auto& c : cases) {
        char out[COMM_ENTRY_SIZE] = "untouched";
        EXPECT_EQ(c.build(out), c.text ? 0 : -1) << (c.text ? c.text : "refused");
        EXPECT_STREQ(out, c.text ? c.text : "untouched");
    }
}

TEST(UsbList, EntriesReadingC44GetTheFastPrefix) {
    const std::pair<const char*, const char*> cases[] = {
        {"USBS:/dev/ttyACM0/c44", "USBF:/dev/ttyACM0/c44"},
        {"USBU:/dev/ttyACM0/C44", "USBF:/dev/ttyACM0/C44"},
        {"USBS:/dev/ttyACM0/0c44", "USBF:/dev/ttyACM0/0c44"},
        {"USBU:/dev/ttyACM3/c45", "USBU:/dev/ttyACM3/c45"},
        {"USBS:/dev/c44/c4d", "USBS:/dev/c44/c4d"},  // only the text after the last '/'
        {"USBS:ttyACM0-c44", "USBS:ttyACM0-c44"},    // no '/'
        {"USBS:/dev/ttyACM0/", "USBS:/dev/ttyACM0/"},
        {"USBS:/dev/ttyACM0/zz", "USBS:/dev/ttyACM0/zz"},
    };
    for (const auto& [in, out] : cases) {
        char entry[COMM_ENTRY_SIZE] = {};
        std::strcpy(entry, in);
        MXX_rewrite_usb_entry(entry);
        EXPECT_STREQ(entry, out) << in;
    }
    // An entry filling its slot without a terminator is read within the slot only.
    char full[COMM_ENTRY_SIZE];
    std::memset(full, 'x', sizeof full);
    std::memcpy(full + COMM_ENTRY_SIZE - 4, "/c44", 4);
    MXX_rewrite_usb_entry(full);
    EXPECT_EQ(std::string(full, 4), "USBF");
}
