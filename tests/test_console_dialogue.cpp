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

// What the stand-ins were asked and what they answer.
struct FakeLink {
    bool bt = false;
    std::vector<std::string> usb;
    std::vector<std::string> bt_found;
    int32_t connect_result = 0;
    int32_t wait_result = 0;
    int32_t state = COMM_STATE_CONNECTED;

    std::vector<std::string> connects;  // connection strings passed to connect
    std::vector<int> serial_ports;
    std::vector<std::string> bt_addresses;
    int inquiries = 0;
};
FakeLink* fake = nullptr;

void fill(char* list, const std::vector<std::string>& entries, int32_t* count) {
    for (size_t i = 0; i < entries.size(); ++i)
        std::snprintf(list + i * COMM_ENTRY_SIZE, COMM_ENTRY_SIZE, "%s", entries[i].c_str());
    *count = static_cast<int32_t>(entries.size());
}

const connect_ops_t kFakeOps = {
    [] { return fake->bt ? 1 : 0; },
    [](char* list, int32_t, int32_t* count) {
        fill(list, fake->usb, count);
        return 0;
    },
    [](const char* entry, char* text) {
        std::snprintf(text, COMM_ENTRY_SIZE, "dev %s", entry);
        return 0;
    },
    [](char* out, uint16_t port) {
        fake->serial_ports.push_back(port);
        std::snprintf(out, COMM_ENTRY_SIZE, "COM%d", port);
        return 0;
    },
    [](int32_t, int32_t) {
        fake->inquiries++;
        return 0;
    },
    [](char* list, int32_t* count) {
        fill(list, fake->bt_found, count);
        return 0;
    },
    [](char* out, const char* address, const char*) {
        fake->bt_addresses.push_back(address);
        std::snprintf(out, COMM_ENTRY_SIZE, "BT:%s", address);
        return 0;
    },
    [](const char* conn, int32_t* id, mxx_on_connected_t, mxx_on_event_t, mxx_on_event_t, mxx_probe_t,
       mxx_test_probe_t, int32_t) {
        fake->connects.push_back(conn);
        if (conn[0] == '\0') return -1;  // as the link layer: nothing to open
        *id = 7;
        return fake->connect_result;
    },
    [](int32_t, int32_t) { return fake->wait_result; },
    [](int32_t) { return fake->state; },
};

struct DialogueRun {
    std::string out;
    int32_t result = 0;
};

DialogueRun dialogue(FakeLink& link, const std::string& input) {
    fake = &link;
    DialogueRun run;
    run.out = console_out(input, [&] { run.result = connect_dev_with(&kFakeOps); });
    fake = nullptr;
    return run;
}

const std::string kMenu = "1. No device\n2. USB\n3. COM port\n\n";
const std::string kType = "Select connection type[2]:";

class Dialogue : public ::testing::Test {
protected:
    void SetUp() override { connected.store(0); }
};

}  // namespace

TEST_F(Dialogue, NoDeviceOpensNothing) {
    FakeLink link;
    for (const char* answer : {"1\n", "0\n"}) {
        DialogueRun run = dialogue(link, answer);
        EXPECT_EQ(run.out, kMenu + kType + "\nConnecting device...");
        EXPECT_EQ(run.result, -1);
    }
    EXPECT_EQ(link.connects, (std::vector<std::string>{"", ""}));
}

TEST_F(Dialogue, BluetoothChoiceOnlyWhenAvailable) {
    FakeLink without;
    DialogueRun run = dialogue(without, "4\n1\n");
    EXPECT_EQ(run.out, kMenu + kType + kType + "\nConnecting device...");
    EXPECT_EQ(without.inquiries, 0);

    FakeLink with;
    with.bt = true;
    with.bt_found = {"BT:one", "BT:two"};
    run = dialogue(with, "4\n\n");
    EXPECT_EQ(run.out, "1. No device\n2. USB\n3. COM port\n4. Bluetooth\n\n" + kType +
                           "Bluetooth inquiry...Complete.\n0. Enter BD addr\n1. 'dev BT:one'\n2. 'dev BT:two'\n\n"
                           "Select device[2]:\nConnecting device...Ok.\n");
    EXPECT_EQ(with.inquiries, 1);
    EXPECT_EQ(with.connects, (std::vector<std::string>{"BT:two"}));
    EXPECT_EQ(run.result, 0);
}

TEST_F(Dialogue, BluetoothTypedAddressMayBeEmpty) {
    FakeLink link;
    link.bt = true;
    DialogueRun run = dialogue(link, "4\n0\n\n");
    EXPECT_NE(run.out.find("0. Enter BD addr\n\nSelect device[0]:Enter BD address[]:\nConnecting device..."),
              std::string::npos)
        << run.out;
    EXPECT_EQ(link.bt_addresses, (std::vector<std::string>{""}));
    EXPECT_EQ(link.connects, (std::vector<std::string>{"BT:"}));

    FakeLink typed;
    typed.bt = true;
    dialogue(typed, "4\n0\nAA:BB:CC:DD:EE:FF\n");
    EXPECT_EQ(typed.bt_addresses, (std::vector<std::string>{"AA:BB:CC:DD:EE:FF"}));
}

TEST_F(Dialogue, UsbWithoutDevicesDefaultsToNone) {
    FakeLink link;
    DialogueRun run = dialogue(link, "\n\n");
    EXPECT_EQ(run.out, kMenu + kType + "0. No device\n\nSelect device[0]:\nConnecting device...");
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(link.connects, (std::vector<std::string>{""}));
}

TEST_F(Dialogue, UsbListNumbersDevicesAndEnterPicksTheLast) {
    FakeLink link;
    link.usb = {"USBF:/dev/ttyACM0/c44", "USBS:/dev/ttyACM1/c45", "USBS:/dev/ttyACM2/c46"};
    DialogueRun run = dialogue(link, "2\n4\n\n");
    EXPECT_EQ(run.out, kMenu + kType +
                           "0. No device\n1. 'dev USBF:/dev/ttyACM0/c44'\n2. 'dev USBS:/dev/ttyACM1/c45'\n"
                           "3. 'dev USBS:/dev/ttyACM2/c46'\n\nSelect device[3]:Select device[3]:"
                           "\nConnecting device...Ok.\n");
    EXPECT_EQ(link.connects, (std::vector<std::string>{"USBS:/dev/ttyACM2/c46"}));

    FakeLink first = link;
    first.connects.clear();
    dialogue(first, "2\n1\n");
    EXPECT_EQ(first.connects, (std::vector<std::string>{"USBF:/dev/ttyACM0/c44"}));
}

TEST_F(Dialogue, ComPortBoundsAndDefault) {
    FakeLink link;
    DialogueRun run = dialogue(link, "3\n0\n256\n\n");
    EXPECT_EQ(run.out, kMenu + kType + "Select COM port[1]:Select COM port[1]:Select COM port[1]:"
                                       "\nConnecting device...Ok.\n");
    EXPECT_EQ(link.serial_ports, (std::vector<int>{1}));

    FakeLink high;
    dialogue(high, "3\n255\n");
    EXPECT_EQ(high.serial_ports, (std::vector<int>{255}));
    EXPECT_EQ(high.connects, (std::vector<std::string>{"COM255"}));
}

TEST_F(Dialogue, OutcomeOfTheWait) {
    FakeLink gave_up;
    gave_up.state = COMM_STATE_GAVE_UP;
    DialogueRun run = dialogue(gave_up, "3\n\n");
    EXPECT_TRUE(run.out.ends_with("Connecting device...Error!\n")) << run.out;
    EXPECT_EQ(run.result, 0);

    FakeLink timed_out;
    timed_out.wait_result = COMM_ERR_TIMEOUT;
    run = dialogue(timed_out, "3\n\n");
    EXPECT_TRUE(run.out.ends_with("Connecting device...")) << run.out;
    EXPECT_EQ(run.result, -1);

    FakeLink refused;
    refused.connect_result = -1;
    run = dialogue(refused, "3\n\n");
    EXPECT_EQ(run.result, -1);
}

TEST_F(Dialogue, RefusesWhileConnected) {
    connected.store(1);
    FakeLink link;
    DialogueRun run = dialogue(link, "3\n\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.result, -1);
    EXPECT_TRUE(link.connects.empty());
}

// Defaults the operator never confirmed open nothing.
TEST_F(Dialogue, EndOfInputOrCtrlCConnectsToNothing) {
    const std::tuple<const char*, bool, std::string> rows[] = {
        {"", false, kMenu + kType},
        {"3\n", false, kMenu + kType + "Select COM port[1]:"},
        {"2\n", false, kMenu + kType + "0. No device\n1. 'dev USBS:/dev/ttyACM0/c45'\n\nSelect device[1]:"},
        {"3\n8\n", true, kMenu},
    };
    for (const auto& [input, ctrl_c, shown] : rows) {
        FakeLink link;
        link.usb = {"USBS:/dev/ttyACM0/c45"};
        if (ctrl_c) input_interrupt();
        DialogueRun run = dialogue(link, input);
        input_interrupt_clear();
        EXPECT_EQ(run.out, shown) << input;
        EXPECT_TRUE(link.connects.empty()) << input;
        EXPECT_EQ(run.result, -1) << input;
    }
}
