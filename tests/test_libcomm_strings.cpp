// Connection-string builders, COM port numbering, device list entries and
// their display texts, and what Bluetooth and USB discovery do on a machine
// without an adapter or an instrument.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "link/libcomm.h"

namespace {

struct entry_buf {
    char text[COMM_ENTRY_SIZE + 8];
    entry_buf() { memset(text, 'Z', sizeof text); }
    // Nothing written past the entry size.
    bool tail_untouched() const {
        for (size_t i = COMM_ENTRY_SIZE; i < sizeof text; ++i)
            if (text[i] != 'Z') return false;
        return true;
    }
};

std::string serial_string(uint16_t port) {
    entry_buf b;
    int32_t r = comm_make_conn_string_serial(b.text, port, 115200, 8, 1, 0, 0);
    return r == 0 ? std::string(b.text) : "error " + std::to_string(r) + " '" + b.text + "'";
}

TEST(ComPortNumbering, MapsEachRangeToItsLinuxDevice) {
    EXPECT_EQ(serial_string(1), "SER:115200,8,1,0,0:/dev/ttyS0");
    EXPECT_EQ(serial_string(32), "SER:115200,8,1,0,0:/dev/ttyS31");
    EXPECT_EQ(serial_string(33), "SER:115200,8,1,0,0:/dev/ttyUSB0");
    EXPECT_EQ(serial_string(64), "SER:115200,8,1,0,0:/dev/ttyUSB31");
    EXPECT_EQ(serial_string(65), "SER:115200,8,1,0,0:/dev/ttyACM0");
    EXPECT_EQ(serial_string(96), "SER:115200,8,1,0,0:/dev/ttyACM31");
    EXPECT_EQ(serial_string(97), "SER:115200,8,1,0,0:/dev/rfcomm0");
    EXPECT_EQ(serial_string(128), "SER:115200,8,1,0,0:/dev/rfcomm31");
    EXPECT_EQ(serial_string(129), "SER:115200,8,1,0,0:/dev/pts/0");
    EXPECT_EQ(serial_string(255), "SER:115200,8,1,0,0:/dev/pts/126");
}

TEST(ComPortNumbering, PortsOutsideOneTo255AreRejectedWithAnEmptyString) {
    EXPECT_EQ(serial_string(0), "error -2 ''");
    EXPECT_EQ(serial_string(256), "error -2 ''");
    EXPECT_EQ(serial_string(65535), "error -2 ''");
}

TEST(SerialStrings, CarryTheLineSettingsAndRejectUnsupportedOnes) {
    entry_buf b;
    ASSERT_EQ(comm_make_conn_string_serial_path(b.text, "/dev/pts/3", 9600, 7, 2, 2, 1), 0);
    EXPECT_STREQ(b.text, "SER:9600,7,2,2,1:/dev/pts/3");
    EXPECT_EQ(comm_make_conn_string_serial_path(b.text, "/dev/pts/3", 12345, 8, 1, 0, 0), COMM_ERR_ARG);
    EXPECT_STREQ(b.text, "");
    EXPECT_EQ(comm_make_conn_string_serial_path(b.text, "/dev/pts/3", 115200, 4, 1, 0, 0), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_serial_path(b.text, "/dev/pts/3", 115200, 8, 0, 0, 0), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_serial_path(b.text, "/dev/pts/3", 115200, 8, 1, 3, 0), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_serial_path(b.text, "/dev/pts/3", 115200, 8, 1, 0, 3), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_serial_path(b.text, "", 115200, 8, 1, 0, 0), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_serial_path(b.text, nullptr, 115200, 8, 1, 0, 0), COMM_ERR_ARG);
}

TEST(SerialStrings, ATooLongPathIsAnErrorNeverAnOverrun) {
    entry_buf b;
    const std::string fits(COMM_ENTRY_SIZE - 1 - strlen("SER:115200,8,1,0,0:"), 'p');
    ASSERT_EQ(comm_make_conn_string_serial_path(b.text, fits.c_str(), 115200, 8, 1, 0, 0), 0);
    EXPECT_EQ(strlen(b.text), static_cast<size_t>(COMM_ENTRY_SIZE - 1));
    EXPECT_TRUE(b.tail_untouched());
    const std::string too_long = fits + "p";
    EXPECT_EQ(comm_make_conn_string_serial_path(b.text, too_long.c_str(), 115200, 8, 1, 0, 0), COMM_ERR_ARG);
    EXPECT_STREQ(b.text, "");
    EXPECT_TRUE(b.tail_untouched());
}

TEST(NetAndFdStrings, BuildTheirForms) {
    entry_buf b;
    ASSERT_EQ(comm_make_conn_string_net(b.text, "127.0.0.1", 5000, 1000), 0);
    EXPECT_STREQ(b.text, "TCP:1000:127.0.0.1:5000");
    EXPECT_EQ(comm_make_conn_string_net(b.text, "127.0.0.1", 0, 1000), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_net(b.text, "", 5000, 1000), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_net(b.text, "127.0.0.1", 5000, -1), COMM_ERR_ARG);
    const std::string long_host(120, 'h');
    EXPECT_EQ(comm_make_conn_string_net(b.text, long_host.c_str(), 5000, 1000), COMM_ERR_ARG);
    EXPECT_TRUE(b.tail_untouched());
    ASSERT_EQ(comm_make_conn_string_fd(b.text, 7), 0);
    EXPECT_STREQ(b.text, "FD:7");
    EXPECT_EQ(comm_make_conn_string_fd(b.text, -1), COMM_ERR_ARG);
}

TEST(UsbEntries, BuilderKeepsTheEntryAndItsProductId) {
    entry_buf b;
    ASSERT_EQ(comm_make_conn_string_usb(b.text, "USBF:/dev/ttyACM0/c44", COMM_ENTRY_SIZE, 0x1781, 0x0C44), 0);
    EXPECT_STREQ(b.text, "USBF:/dev/ttyACM0/c44");
    ASSERT_EQ(comm_make_conn_string_usb(b.text, "USBU:/dev/ttyACM1/C45", COMM_ENTRY_SIZE, 0x1781, 0x0C45), 0);
    EXPECT_STREQ(b.text, "USBU:/dev/ttyACM1/c45");
    // An entry without its product id gets the caller's.
    ASSERT_EQ(comm_make_conn_string_usb(b.text, "USBS:/dev/ttyACM2", COMM_ENTRY_SIZE, 0x1781, 0x0C44), 0);
    EXPECT_STREQ(b.text, "USBS:/dev/ttyACM2/c44");
    // Only `size` bytes of the entry are read.
    const char unterminated[8] = {'U', 'S', 'B', 'S', ':', '/', 'x', 'y'};
    ASSERT_EQ(comm_make_conn_string_usb(b.text, unterminated, sizeof unterminated, 0x1781, 0x0C44), 0);
    EXPECT_STREQ(b.text, "USBS:/xy/c44");
}

TEST(UsbEntries, BuilderRejectsOtherKinds) {
    entry_buf b;
    EXPECT_EQ(comm_make_conn_string_usb(b.text, "SER:115200,8,1,0,0:/dev/ttyS0", COMM_ENTRY_SIZE, 0x1781, 0x0C44),
              COMM_ERR_ARG);
    EXPECT_STREQ(b.text, "");
    EXPECT_EQ(comm_make_conn_string_usb(b.text, "USBX:/dev/ttyACM0/c44", COMM_ENTRY_SIZE, 0x1781, 0x0C44),
              COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_usb(b.text, "USBS:", COMM_ENTRY_SIZE, 0x1781, 0x0C44), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_usb(b.text, nullptr, COMM_ENTRY_SIZE, 0x1781, 0x0C44), COMM_ERR_ARG);
}

TEST(UsbEntries, DisplayTextOfAnEntryWhoseDeviceIsGone) {
    entry_buf b;
    ASSERT_EQ(comm_get_devid_string("USBF:/dev/qm38-gone/c44", b.text), 0);
    EXPECT_STREQ(b.text, "/dev/qm38-gone (product 0c44)");
    EXPECT_EQ(comm_get_devid_string("USBF:/dev/qm38-gone", b.text), COMM_ERR_ARG);
    EXPECT_STREQ(b.text, "");
}

TEST(UsbEntries, ListingFindsNoInstrumentWhereThereIsNone) {
    // Vendor 0x1781 with these products is the instrument; none is attached here.
    char list[4 * COMM_ENTRY_SIZE];
    int32_t count = -1;
    ASSERT_EQ(comm_list_devices_usb(0, list, 4, &count, "", "", 0x1781, 0x1781, 0x0C44, 0x0C4D), 0);
    EXPECT_GE(count, 0);
    EXPECT_LE(count, 4);
    for (int32_t i = 0; i < count; ++i) {
        const std::string entry(list + i * COMM_ENTRY_SIZE);
        EXPECT_EQ(entry.rfind("USBS:/dev/", 0), 0u) << entry;
    }
    EXPECT_EQ(comm_list_devices_usb(0, list, 0, &count, "", "", 0, 0xFFFF, 0, 0xFFFF), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(comm_list_devices_usb(0, nullptr, 4, &count, "", "", 0, 0xFFFF, 0, 0xFFFF), COMM_ERR_ARG);
}

int32_t usb_changed(int32_t) {
    return 0;
}

TEST(UsbMonitor, StartsAndStopsCleanlyAndRepeatedly) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(comm_usb_register(usb_changed, i), 0);
        EXPECT_EQ(comm_usb_register(usb_changed, i), 0);
        EXPECT_EQ(comm_usb_deregister(), 0);
    }
    EXPECT_EQ(comm_usb_deregister(), 0);
    EXPECT_EQ(comm_usb_register(usb_changed, 0), 0);
    EXPECT_EQ(comm_shut(), 0);  // stops the monitor too
    EXPECT_EQ(comm_init(), 0);
}

TEST(BluetoothStrings, BuildAndDisplay) {
    entry_buf b;
    ASSERT_EQ(comm_make_conn_string_bt(b.text, "00:1A:7D:DA:71:13", "", 0xFFE050, 1, "7316", 60000), 0);
    EXPECT_STREQ(b.text, "BT:1,60000,7316:00:1A:7D:DA:71:13");
    entry_buf shown;
    ASSERT_EQ(comm_get_devid_string(b.text, shown.text), 0);
    EXPECT_STREQ(shown.text, "00:1A:7D:DA:71:13");

    ASSERT_EQ(comm_make_conn_string_bt(b.text, "00:1A:7D:DA:71:13", "QM38 A0001234", 0xFFE050, 3, "", 1000), 0);
    EXPECT_STREQ(b.text, "BT:3,1000,:00:1A:7D:DA:71:13/QM38 A0001234");
    ASSERT_EQ(comm_get_devid_string(b.text, shown.text), 0);
    EXPECT_STREQ(shown.text, "QM38 A0001234 (00:1A:7D:DA:71:13)");
}

TEST(BluetoothStrings, RejectBadAddressesChannelsAndPins) {
    entry_buf b;
    // The dialogue may pass an empty typed address: an empty string follows, which connects nowhere.
    EXPECT_EQ(comm_make_conn_string_bt(b.text, "", "", 0xFFE050, 1, "7316", 60000), COMM_ERR_ARG);
    EXPECT_STREQ(b.text, "");
    EXPECT_EQ(comm_make_conn_string_bt(b.text, "00:1A:7D:DA:71", "", 0xFFE050, 1, "7316", 60000), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_bt(b.text, "00-1A-7D-DA-71-13", "", 0xFFE050, 1, "7316", 60000), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_bt(b.text, "00:1A:7D:DA:71:13", "", 0xFFE050, 0, "7316", 60000), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_bt(b.text, "00:1A:7D:DA:71:13", "", 0xFFE050, 31, "7316", 60000), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_bt(b.text, "00:1A:7D:DA:71:13", "", 0xFFE050, 1, "73:16", 60000), COMM_ERR_ARG);
    EXPECT_EQ(comm_make_conn_string_bt(b.text, nullptr, "", 0xFFE050, 1, "7316", 60000), COMM_ERR_ARG);
    const std::string long_name(120, 'n');
    EXPECT_EQ(comm_make_conn_string_bt(b.text, "00:1A:7D:DA:71:13", long_name.c_str(), 0, 1, "", 60000),
              COMM_ERR_ARG);
    EXPECT_TRUE(b.tail_untouched());
}

TEST(BluetoothWithoutAdapter, ReportsUnavailableAndFailsAtOnceSayingWhy) {
    if (comm_bt_is_available()) GTEST_SKIP() << "this machine has a Bluetooth adapter";
    EXPECT_EQ(comm_bt_discover(0, 0xFFE050, 0), COMM_ERR_UNSUPPORTED);
    char list[32 * COMM_ENTRY_SIZE];
    int32_t count = -1;
    EXPECT_EQ(comm_bt_discover_wait(list, &count), COMM_ERR_STATE);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(comm_bt_discover_cancel(), 0);

    int32_t id = 0;
    fflush(stderr);
    char path[] = "/tmp/libcomm_bt_XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    int saved = dup(2);
    dup2(file, 2);
    const int32_t r = comm_connect(
        &id, "BT:1,60000,7316:00:1A:7D:DA:71:13",
        [](int32_t, uint8_t, const uint8_t*, int32_t, void*) -> int32_t { return 0; }, 4096, 200, nullptr);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    char text[256] = {};
    lseek(file, 0, SEEK_SET);
    ssize_t n = read(file, text, sizeof text - 1);
    close(file);
    EXPECT_EQ(r, COMM_ERR_UNSUPPORTED);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(std::string(text, n > 0 ? static_cast<size_t>(n) : 0),
              "Cannot open Bluetooth link to 00:1A:7D:DA:71:13: no Bluetooth adapter\n");
}

TEST(DisplayText, OtherEntriesShowAsTheyAre) {
    entry_buf b;
    ASSERT_EQ(comm_get_devid_string("SER:115200,8,1,0,0:/dev/ttyS0", b.text), 0);
    EXPECT_STREQ(b.text, "SER:115200,8,1,0,0:/dev/ttyS0");
    EXPECT_EQ(comm_get_devid_string("garbage", b.text), COMM_ERR_ARG);
    EXPECT_STREQ(b.text, "");
    EXPECT_EQ(comm_get_devid_string(nullptr, b.text), COMM_ERR_ARG);
}

}  // namespace
