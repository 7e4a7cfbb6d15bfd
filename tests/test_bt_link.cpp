// Bluetooth links and the inquiry through the real link library against a
// mock BlueZ on a private bus; the instrument is the simulator behind the
// socket the mock's profile connection hands over.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "libcomm/comm_internal.h"
#include "libcomm/libcomm.h"
#include "services/r40_comm.h"
#include "support/console_capture.h"
#include "support/files.h"
#include "support/link_peer.h"
#include "support/mock_bluez.h"
#include "support/sim_link.h"

using nlohmann::json;

namespace {

constexpr const char* kAddress = kBtAddress;
constexpr uint32_t kSerialModule = 0x001F00;  // uncategorised, as serial modules report
constexpr uint32_t kPhone = 0x5A020C;
constexpr uint32_t kHeadset = 0x240404;
constexpr uint32_t kFilter = 0xFFE050;  // what the link layer asks for

std::string conn(const std::string& pin, int timeout_ms = 60000, const std::string& address = kAddress) {
    char out[COMM_ENTRY_SIZE];
    EXPECT_EQ(comm_make_conn_string_bt(out, address.c_str(), "QM-38 1234", kFilter, 1, pin.c_str(), timeout_ms), 0);
    return out;
}

}  // namespace

TEST(BluetoothClass, FilterKeepsSerialModulesAndUnknownsDropsPhonesAndHeadsets) {
    EXPECT_TRUE(comm_bt_class_wanted(kFilter, kSerialModule, false));
    EXPECT_TRUE(comm_bt_class_wanted(kFilter, 0x000000, false));    // class unknown
    EXPECT_TRUE(comm_bt_class_wanted(kFilter, 0x200004, false));    // miscellaneous with a service bit
    EXPECT_FALSE(comm_bt_class_wanted(kFilter, kPhone, false));
    EXPECT_FALSE(comm_bt_class_wanted(kFilter, kHeadset, false));
    EXPECT_TRUE(comm_bt_class_wanted(kFilter, kPhone, true));       // offers a serial port
    EXPECT_TRUE(comm_bt_class_wanted(0, kHeadset, false));          // no filter
    EXPECT_FALSE(comm_bt_class_wanted(0x000050, 0x201F00, false));  // a service outside the mask
    EXPECT_TRUE(comm_bt_class_wanted(0xFFE200, kPhone, false));     // phones asked for
}

// Pairing asks our agent, and only the instrument's PIN pairs; the link then
// carries exchanges over the handed socket, and agent and profile go with it.
TEST(BluetoothLink, PairsWithTheInstrumentsPinAndServesTheLink) {
    MockBluez bluez(bt_world({bt_instrument()}).dump());
    ASSERT_TRUE(bluez.ready()) << bluez.log();
    sim_t* sim = SIM_create_demo();
    SimLink link(sim);
    ASSERT_TRUE(bluez.serve_serial(kAddress, sim));

    bool up = true;
    console_capture_t wrong = console_run("", [&] { up = link.open_conn(conn("0000").c_str()); });
    EXPECT_FALSE(up);
    EXPECT_EQ(wrong.err,
              "Bluetooth device QM-38 1234 (00:11:22:33:44:55): pairing refused or wrong PIN (Authentication Failed)\n");
    EXPECT_NE(bluez.wait_logged("RequestPinCode answered \"0000\""), "");
    EXPECT_NE(bluez.wait_logged("UnregisterAgent /org/qm38/bt/agent"), "");

    console_capture_t right = console_run("", [&] { up = link.open_conn(conn("7316").c_str()); });
    ASSERT_TRUE(up) << right.err << bluez.log();
    EXPECT_EQ(right.err, "");
    char serial[16] = {};
    EXPECT_EQ(R40_get_serial(link.id(), serial, 1), 0);
    EXPECT_STREQ(serial, "A0001234");
    const std::string log = bluez.log();
    EXPECT_NE(log.find("RequestPinCode answered \"7316\""), std::string::npos) << log;
    EXPECT_NE(log.find("RegisterProfile /org/qm38/bt/profile " + std::string(kSpp) + " role=client"),
              std::string::npos);
    EXPECT_EQ(log.find("UnregisterProfile"), std::string::npos) << "the profile must outlive the connect";

    link.close();
    const std::string after = bluez.wait_logged("UnregisterProfile /org/qm38/bt/profile");
    EXPECT_NE(after, "");
    EXPECT_EQ(count_of(after, "UnregisterAgent /org/qm38/bt/agent"), 2u) << after;

    // Paired now: the next link asks for no PIN.
    ASSERT_TRUE(bluez.serve_serial(kAddress, sim));
    ASSERT_TRUE(link.open_conn(conn("7316").c_str()));
    EXPECT_EQ(count_of(bluez.log(), "Pair /org"), 2u);
}

// Every failure is one line naming the device and the reason, and nothing waits long.
TEST(BluetoothLink, EachFailureNamesTheDeviceAndTheReason) {
    json no_service = bt_instrument();
    no_service["uuids"] = json::array();
    json refusing = bt_instrument();
    refusing["refuse"] = true;
    json silent = bt_instrument();
    silent["silent"] = true;
    const struct {
        const char* what;
        json world;
        std::string conn, reason;
        int32_t code;
    } cases[] = {
        {"no BlueZ", nullptr, conn("7316"), "BlueZ is not running (no org.bluez on the system bus)",
         COMM_ERR_UNSUPPORTED},
        {"no adapter", {{"adapters", json::array()}}, conn("7316"), "no Bluetooth adapter", COMM_ERR_UNSUPPORTED},
        {"adapter off", bt_world({bt_instrument()}, false), conn("7316"),
         "the Bluetooth adapter hci0 is switched off; switch it on (\"bluetoothctl power on\", or \"rfkill unblock "
         "bluetooth\" first when it is blocked)",
         COMM_ERR_OPEN},
        {"not found", bt_world({bt_instrument()}), conn("7316", 60000, "00:11:22:33:44:66"),
         "not found (is it switched on and in range?)", COMM_ERR_OPEN},
        {"refused", bt_world({refusing}), conn("7316"), "pairing refused or wrong PIN (Authentication Rejected)",
         COMM_ERR_OPEN},
        {"no serial port", bt_world({no_service}), conn("7316"), "no serial-port service", COMM_ERR_OPEN},
        {"time-out", bt_world({silent}), conn("7316", 1500), "no answer within 1500 ms", COMM_ERR_TIMEOUT},
    };
    {
        SCOPED_TRACE("no system bus");
        MockBluez bus("");  // restores the variable afterwards
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/qm38-bus", 1);
        EXPECT_EQ(comm_bt_is_available(), 0);
        int32_t id = -1, r = 0;
        const std::string text = conn("7316");
        const console_capture_t out = console_run("", [&] {
            r = comm_connect(&id, text.c_str(), [](int32_t, uint8_t, const uint8_t*, int32_t, void*) { return 0; },
                             4096, 200, nullptr);
        });
        EXPECT_EQ(r, COMM_ERR_UNSUPPORTED);
        EXPECT_EQ(out.err, "Bluetooth device QM-38 1234 (00:11:22:33:44:55): no system bus (No such file or directory)\n");
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MockBluez bluez(c.world.is_null() ? "" : c.world.dump());
        ASSERT_TRUE(bluez.ready()) << bluez.log();
        EXPECT_EQ(comm_bt_is_available(), c.world.is_null() || c.world["adapters"].empty() ? 0 : 1);
        int32_t id = -1, r = 0;
        const std::string& text = c.conn;
        console_capture_t out = console_run("", [&] {
            r = comm_connect(&id, text.c_str(), [](int32_t, uint8_t, const uint8_t*, int32_t, void*) { return 0; },
                             4096, 200, nullptr);
        });
        EXPECT_EQ(r, c.code);
        const std::string label = text.find(":00:11:22:33:44:66") != std::string::npos
                                      ? "QM-38 1234 (00:11:22:33:44:66)"
                                      : "QM-38 1234 (00:11:22:33:44:55)";
        EXPECT_EQ(out.err, "Bluetooth device " + label + ": " + c.reason + "\n");
        if (std::string(c.what) == "time-out") {
            EXPECT_NE(bluez.wait_logged("CancelPairing"), "");
        }
    }
    {
        SCOPED_TRACE("stopped by the operator");  // Ctrl-C while pairing waits a minute
        MockBluez bluez(bt_world({silent}).dump());
        ASSERT_TRUE(bluez.ready()) << bluez.log();
        static std::atomic<int32_t> asked{0};
        comm_set_wait_check([](int32_t when) -> int32_t { return when == COMM_WAIT_CHECK_OPERATOR && ++asked > 3; });
        int32_t id = -1, r = 0;
        const std::string text = conn("7316", 60000);
        const console_capture_t out = console_run("", [&] {
            r = comm_connect(&id, text.c_str(), [](int32_t, uint8_t, const uint8_t*, int32_t, void*) { return 0; },
                             4096, 200, nullptr);
        });
        comm_set_wait_check(nullptr);
        EXPECT_EQ(r, COMM_ERR_INTERRUPTED);
        EXPECT_EQ(out.err, "Bluetooth device QM-38 1234 (00:11:22:33:44:55): connecting stopped\n");
        EXPECT_NE(bluez.wait_logged("CancelPairing"), "");
    }
}

// A classic inquiry; then the wanted devices BlueZ knows on that adapter,
// also those heard only while it ran, the nearest first, at most 32.
TEST(BluetoothInquiry, ListsWantedDevicesNearestFirstAtMost32) {
    std::vector<json> devices = bt_instruments(40);
    devices.push_back({{"address", "AA:00:00:00:00:01"}, {"name", "Phone"}, {"class", kPhone}, {"rssi", -10}});
    devices.push_back({{"address", "AA:00:00:00:00:02"}, {"name", "Headset"}, {"class", kHeadset}, {"rssi", -10}});
    json late = bt_instrument("00:11:22:33:46:00");
    late["name"] = std::string("QM\x01late");
    late["rssi"] = -20;
    late["hidden"] = true;
    devices.push_back(late);
    MockBluez bluez(bt_world(devices).dump());
    ASSERT_TRUE(bluez.ready()) << bluez.log();

    std::vector<char> list(64 * COMM_ENTRY_SIZE, '\x7f');
    int32_t count = -1;
    ASSERT_EQ(comm_bt_discover(0, kFilter, 0), 0);
    ASSERT_EQ(comm_bt_discover_wait(list.data(), &count), 0);
    ASSERT_EQ(count, 32);
    auto entry = [&](int i) { return std::string(list.data() + static_cast<size_t>(i) * COMM_ENTRY_SIZE); };
    EXPECT_EQ(entry(0), "BT:1,60000,7316:00:11:22:33:46:00/QM late");
    EXPECT_EQ(entry(1), "BT:1,60000,7316:00:11:22:33:45:27/QM-38 39");
    EXPECT_EQ(entry(31), "BT:1,60000,7316:00:11:22:33:45:09/QM-38 9");
    EXPECT_EQ(list[32 * COMM_ENTRY_SIZE], '\x7f') << "written past the 32 entries";
    char text[COMM_ENTRY_SIZE];
    ASSERT_EQ(comm_get_devid_string(entry(1).c_str(), text), 0);
    EXPECT_STREQ(text, "QM-38 39 (00:11:22:33:45:27)");
    const std::string log = bluez.wait_logged("StopDiscovery");
    EXPECT_NE(log.find("SetDiscoveryFilter {\"Transport\": \"bredr\"}"), std::string::npos) << log;

    // A cancelled inquiry stops at once instead of running its full minute.
    setenv("QM_BT_INQUIRY_MS", "60000", 1);
    ASSERT_EQ(comm_bt_discover(0, kFilter, 0), 0);
    for (int i = 0; i < 1000 && count_of(bluez.log(), "StartDiscovery") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(count_of(bluez.log(), "StartDiscovery"), 2u);
    EXPECT_EQ(comm_bt_discover_cancel(), 0);
    EXPECT_EQ(count_of(bluez.log(), "StopDiscovery"), 2u);
    EXPECT_EQ(comm_bt_discover_wait(list.data(), &count), COMM_ERR_STATE);
    EXPECT_EQ(count, 0);
}

// A pause inside a frame is ordinary on Bluetooth: the half-received answer
// is kept and the exchange needs no second try.
TEST(BluetoothLink, APauseInsideAFrameCostsNoRetry) {
    MockBluez bluez(bt_world({bt_instrument()}).dump());
    ASSERT_TRUE(bluez.ready()) << bluez.log();
    Peer peer;
    const int end = peer.take_link_end();
    ASSERT_TRUE(bluez.serve_fd(kAddress, end));
    close(end);
    const bytes answer = frame(9008, u32(0x12345678));  // model word, within its 1000-ms time-out
    peer.start([&](const bytes&, int index) {
        if (index == 0) return kSerialAnswer;
        peer.send(bytes(answer.begin(), answer.begin() + 10));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        return bytes(answer.begin() + 10, answer.end());
    });
    SimLink link;
    ASSERT_TRUE(link.open_conn(conn("7316").c_str())) << bluez.log();
    uint32_t word = 0;
    EXPECT_EQ(R40_get_model_rev(link.id(), &word, 1), 0);
    EXPECT_EQ(word, 0x12345678u);
    link.close();
    peer.stop();
    EXPECT_EQ(peer.frames.size(), 2u);
}
