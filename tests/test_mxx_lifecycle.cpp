// Opening and closing links through the real library; connection strings
// and the USB list rewrite. Probing and identification show end to end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/link_peer.h"

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new LinkEnv);

std::atomic<int> g_closed_calls{0};
std::atomic<mxx_conn_t*> g_closed_ctx{nullptr};

int32_t on_closed(int32_t, mxx_conn_t* c, int32_t) {
    g_closed_ctx = c;
    ++g_closed_calls;
    return 0;
}

}  // namespace

TEST(Lifecycle, EmptyOrUnusableConnectionStringFails) {
    int32_t stored = -77;
    g_closed_calls = 0;
    // A failed open releases the context at once (the leak checker sees it otherwise).
    for (const char* conn : {"", static_cast<const char*>(nullptr), "NOPE:1", "SER:115200,8,1,0,0:/nonexistent/tty"})
        EXPECT_EQ(MXX_connect(conn, &stored, nullptr, nullptr, on_closed, nullptr, nullptr, 0), -1);
    EXPECT_EQ(stored, -77);
    EXPECT_EQ(g_closed_calls.load(), 0);
}

TEST(Lifecycle, DisconnectOrHangUpClosesAndReleases) {
    for (bool hang_up : {false, true}) {
        g_closed_calls = 0;
        Peer p;
        int32_t id = -1;
        ASSERT_EQ(MXX_connect(p.conn_string().c_str(), &id, nullptr, nullptr, on_closed, nullptr, nullptr, 0), 0);
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
}

// The instrument's fixed settings, which a pseudo-terminal would not notice.
TEST(ConnStrings, BuildersUseTheInstrumentsFixedSettings) {
    char out[COMM_ENTRY_SIZE];
    EXPECT_EQ(MXX_make_serial_conn_string(out, 3), 0);
    EXPECT_STREQ(out, "SER:115200,8,1,0,0:/dev/ttyS2");
    EXPECT_EQ(MXX_make_bt_conn_string(out, "00:11:22:33:44:55", ""), 0);
    EXPECT_STREQ(out, "BT:1,60000,7316:00:11:22:33:44:55");
    EXPECT_EQ(MXX_make_usb_conn_string(out, "USBU:/dev/ttyACM2", 128), 0);  // a bare path gets its prefix's product
    EXPECT_STREQ(out, "USBU:/dev/ttyACM2/c45");
    EXPECT_EQ(MXX_make_usb_conn_string(out, "BT:1,60000,7316:AA:BB:CC:DD:EE:FF", 128), -1);
}

TEST(UsbList, EntriesReadingC44GetTheFastPrefix) {
    const std::pair<const char*, const char*> cases[] = {
        {"USBS:/dev/ttyACM0/c44", "USBF:/dev/ttyACM0/c44"},
        {"USBU:/dev/ttyACM0/0C44", "USBF:/dev/ttyACM0/0C44"},
        {"USBU:/dev/ttyACM3/c45", "USBU:/dev/ttyACM3/c45"},
        {"USBS:/dev/c44/c4d", "USBS:/dev/c44/c4d"},  // only the text after the last '/'
        {"USBS:/dev/ttyACM0/", "USBS:/dev/ttyACM0/"},
    };
    for (const auto& [in, out] : cases) {
        char entry[COMM_ENTRY_SIZE] = {};
        std::strcpy(entry, in);
        MXX_rewrite_usb_entry(entry);
        EXPECT_STREQ(entry, out) << in;
    }
}
