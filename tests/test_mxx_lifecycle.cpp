// Opening links through the real library; connection strings and the USB
// list rewrite. Probing, identification and closing show end to end (the
// library's event 3 and the event procedure's release on their own).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/mxx_comm.h"

TEST(Lifecycle, EmptyOrUnusableConnectionStringFails) {
    int32_t stored = -77;
    // A failed open releases the context at once (the leak checker sees it
    // otherwise); that it raises no events shows in the library's own tests.
    for (const char* conn : {"", static_cast<const char*>(nullptr), "NOPE:1", "SER:115200,8,1,0,0:/nonexistent/tty"})
        EXPECT_EQ(MXX_connect(conn, &stored, nullptr, nullptr, nullptr, nullptr, nullptr, 0), -1);
    EXPECT_EQ(stored, -77);
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
