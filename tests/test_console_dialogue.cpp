// The connection dialogue driven through every branch with stand-in link
// operations: what the operator sees and which connection string is opened.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "console/connect_dev.h"
#include "console/conutil.h"
#include "console/globals.h"
#include "support/console_capture.h"

namespace {

// What the stand-ins answer and which connection strings they were given.
struct FakeLink {
    bool bt = false;
    std::vector<std::string> usb;
    std::vector<std::string> bt_found;
    int32_t wait_result = 0;
    int32_t state = COMM_STATE_CONNECTED;
    bool ctrl_c_in_wait = false;  // the operator stops the wait for the instrument
    std::vector<std::string> connects;
    std::vector<int32_t> disconnects;
};
FakeLink* fake = nullptr;

int32_t fill(char* list, const std::vector<std::string>& entries, int32_t* count) {
    for (size_t i = 0; i < entries.size(); ++i)
        std::snprintf(list + i * COMM_ENTRY_SIZE, COMM_ENTRY_SIZE, "%s", entries[i].c_str());
    *count = static_cast<int32_t>(entries.size());
    return 0;
}

const connect_ops_t kFakeOps = {
    [] { return fake->bt ? 1 : 0; },
    [](char* list, int32_t, int32_t* count) { return fill(list, fake->usb, count); },
    [](const char* entry, char* text) { return int32_t(std::snprintf(text, COMM_ENTRY_SIZE, "dev %s", entry) < 0); },
    [](char* out, uint16_t port) { return int32_t(std::snprintf(out, COMM_ENTRY_SIZE, "COM%d", port) < 0); },
    [](int32_t, int32_t) { return 0; },
    [](char* list, int32_t* count) { return fill(list, fake->bt_found, count); },
    [](char* out, const char* address, const char*) {
        return int32_t(std::snprintf(out, COMM_ENTRY_SIZE, "BT:%s", address) < 0);
    },
    [](const char* conn, int32_t* id, mxx_on_connected_t, mxx_on_event_t, mxx_on_event_t, mxx_probe_t,
       mxx_test_probe_t, int32_t) {
        fake->connects.push_back(conn);
        if (conn[0] == '\0') return -1;  // as the link layer: nothing to open
        *id = 7;
        return 0;
    },
    [](int32_t, int32_t) {
        if (fake->ctrl_c_in_wait) input_interrupt();
        return fake->wait_result;
    },
    [](int32_t) { return fake->state; },
    [](int32_t id) {
        fake->disconnects.push_back(id);
        return 0;
    },
};

const std::string kMenu = "1. No device\n2. USB\n3. COM port\n\n";
const std::string kType = "Select connection type[2]:";
const std::string kConnecting = "\nConnecting device...";
const std::string kOk = kConnecting + "Ok.\n";
const std::string kUsbList = "0. No device\n1. 'dev USBF:/dev/ttyACM0/c44'\n2. 'dev USBS:/dev/ttyACM1/c45'\n\n";
const std::string kBtMenu = "1. No device\n2. USB\n3. COM port\n4. Bluetooth\n\n" + kType +
                            "Bluetooth inquiry...Complete.\n0. Enter BD addr\n";

}  // namespace

TEST(Dialogue, EveryBranchShowsItsChoicesAndOpensWhatWasChosen) {
    connected.store(0);
    const struct {
        const char* name;
        void (*setup)(FakeLink&);
        std::string input, shown;
        std::vector<std::string> connects;
        int32_t result;
    } cases[] = {
        {"no Bluetooth choice without an adapter", [](FakeLink&) {}, "4\n1\n", kMenu + kType + kType + kConnecting,
         {""}, -1},
        {"Bluetooth list, Enter picks the last", [](FakeLink& l) {
             l.bt = true;
             l.bt_found = {"BT:one", "BT:two"};
         },
         "4\n\n", kBtMenu + "1. 'dev BT:one'\n2. 'dev BT:two'\n\nSelect device[2]:" + kOk, {"BT:two"}, 0},
        {"Bluetooth address may be empty", [](FakeLink& l) { l.bt = true; }, "4\n0\n\n",
         kBtMenu + "\nSelect device[0]:Enter BD address[]:" + kOk, {"BT:"}, 0},
        {"USB without devices", [](FakeLink&) {}, "\n\n", kMenu + kType + "0. No device\n\nSelect device[0]:" + kConnecting,
         {""}, -1},
        {"USB, out of range asked again, Enter picks the last",
         [](FakeLink& l) { l.usb = {"USBF:/dev/ttyACM0/c44", "USBS:/dev/ttyACM1/c45"}; }, "2\n3\n\n",
         kMenu + kType + kUsbList + "Select device[2]:Select device[2]:" + kOk, {"USBS:/dev/ttyACM1/c45"}, 0},
        {"USB, the first", [](FakeLink& l) { l.usb = {"USBF:/dev/ttyACM0/c44", "USBS:/dev/ttyACM1/c45"}; }, "2\n1\n",
         kMenu + kType + kUsbList + "Select device[2]:" + kOk, {"USBF:/dev/ttyACM0/c44"}, 0},
        {"COM port bounds and default", [](FakeLink&) {}, "3\n0\n256\n\n",
         kMenu + kType + "Select COM port[1]:Select COM port[1]:Select COM port[1]:" + kOk, {"COM1"}, 0},
        {"link gave up", [](FakeLink& l) { l.state = COMM_STATE_GAVE_UP; }, "3\n\n",
         kMenu + kType + "Select COM port[1]:" + kConnecting + "Error!\n", {"COM1"}, 0},
        {"wait timed out", [](FakeLink& l) { l.wait_result = COMM_ERR_TIMEOUT; }, "3\n\n",
         kMenu + kType + "Select COM port[1]:" + kConnecting, {"COM1"}, -1},
        {"Ctrl-C while the instrument identifies itself closes the link",
         [](FakeLink& l) {
             l.wait_result = COMM_ERR_INTERRUPTED;
             l.ctrl_c_in_wait = true;
         },
         "3\n\n", kMenu + kType + "Select COM port[1]:" + kConnecting, {"COM1"}, -1},
    };
    for (const auto& c : cases) {
        FakeLink link;
        c.setup(link);
        fake = &link;
        int32_t result = 0;
        EXPECT_EQ(console_out(c.input, [&] { result = connect_dev_with(&kFakeOps); }), c.shown) << c.name;
        EXPECT_EQ(link.connects, c.connects) << c.name;
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(link.disconnects, link.ctrl_c_in_wait ? std::vector<int32_t>{7} : std::vector<int32_t>{}) << c.name;
        input_interrupt_clear();
    }
}

// Defaults the operator never confirmed open nothing.
TEST(Dialogue, EndOfInputOrCtrlCConnectsToNothing) {
    const std::tuple<const char*, bool, std::string> rows[] = {
        {"", false, kMenu + kType},
        {"3\n", false, kMenu + kType + "Select COM port[1]:"},
        {"2\n", false, kMenu + kType + "0. No device\n1. 'dev USBS:/dev/ttyACM0/c45'\n\nSelect device[1]:"},
        {"3\n8\n", true, kMenu},
    };
    connected.store(0);
    for (const auto& [input, ctrl_c, shown] : rows) {
        FakeLink link;
        link.usb = {"USBS:/dev/ttyACM0/c45"};
        fake = &link;
        if (ctrl_c) input_interrupt();
        int32_t result = 0;
        EXPECT_EQ(console_out(input, [&] { result = connect_dev_with(&kFakeOps); }), shown) << input;
        input_interrupt_clear();
        EXPECT_TRUE(link.connects.empty()) << input;
        EXPECT_EQ(result, -1) << input;
    }
}
