// Option 4 of the connection dialogue as the operator meets it: the
// programs run as child processes against a mock BlueZ on a private bus,
// the instrument being the simulator behind the socket the mock's profile
// connection hands over.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "sim/sim.h"
#include "support/mock_bluez.h"
#include "support/process.h"

using nlohmann::json;

namespace {

const std::string kHead = "--- ZORVANIK QM-38 V2 ---\nver:0.11.0\n\n1. No device\n2. USB\n3. COM port\n";
const std::string kTypePrompt = "Select connection type[2]:";
const std::string kConnectError = "\nError connecting device!\n";

const std::vector<json> kNeighbours = {
    {{"address", "AA:00:00:00:00:01"}, {"name", "Phone"}, {"class", 0x5A020C}, {"rssi", -30}},
    {{"address", "AA:00:00:00:00:02"}, {"name", "Headset"}, {"class", 0x240404}, {"rssi", -35}},
};

ProcessResult run_tool(const std::string& input) {
    return run_process({bin_path("qm38v2con-service"), }, {input, 60000, false});
}

std::vector<int> codes(sim_t* sim) {
    std::vector<int> out;
    for (const sim_request_t& r : SIM_requests(sim)) out.push_back(r.code);
    return out;
}

}  // namespace

// Among a phone and a headset the instrument is listed by name and address;
// Enter picks it, pairing takes the PIN from our agent, and commands work
// over the socket BlueZ handed over.
TEST(ProgramOverBluetooth, ListsPairsAndServesTheInstrument) {
    std::vector<json> devices = kNeighbours;
    devices.push_back(bt_instrument());
    MockBluez bluez(bt_world(devices).dump());
    ASSERT_TRUE(bluez.ready()) << bluez.log();
    sim_ptr sim(SIM_create_demo());
    ASSERT_TRUE(bluez.serve_serial(kBtAddress, sim.get()));

    const ProcessResult r = run_tool("4\n\nsm\ngs\nq\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out.starts_with(kHead + "4. Bluetooth\n\n" + kTypePrompt + "Bluetooth inquiry...Complete.\n" +
                                  "0. Enter BD addr\n1. 'QM-38 1234 (00:11:22:33:44:55)'\n\nSelect device[1]:\n" +
                                  "Connecting device...Ok.\n"))
        << r.out << r.err;
    EXPECT_NE(r.out.find(">>Serial = A0001234\n>"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(codes(sim.get()), (std::vector<int>{8007, 8201, 8202, 8007}));
    const std::string log = bluez.wait_logged("UnregisterAgent");
    EXPECT_NE(log.find("RequestPinCode answered \"7316\""), std::string::npos) << log;
    EXPECT_NE(log.find("UnregisterProfile /org/qm38/bt/profile"), std::string::npos) << log;
}

// The failures the operator can meet, each with its line before the dialogue's
// own. (A refused pairing's line shows in the link library's tests, the PIN
// the program gives in the run above.)
TEST(ProgramOverBluetooth, ReportsWhatStandsInTheWay) {
    {
        SCOPED_TRACE("no BlueZ: option 4 is not offered, 4 is asked again");
        MockBluez bus("");
        ASSERT_TRUE(bus.ready());
        const ProcessResult r = run_tool("4\n1\nq\n");
        EXPECT_TRUE(r.out.starts_with(kHead + "\n" + kTypePrompt + kTypePrompt + "\nConnecting device...")) << r.out;
        EXPECT_EQ(r.err, kConnectError + "\nDevice not connected!\n");
    }
    {
        SCOPED_TRACE("adapter off: offered, and the operator learns how to switch it on");
        MockBluez bluez(bt_world({bt_instrument()}, false).dump());
        ASSERT_TRUE(bluez.ready()) << bluez.log();
        const ProcessResult r = run_tool(std::string("4\n0\n") + kBtAddress + "\nq\n");
        EXPECT_NE(r.out.find("4. Bluetooth\n"), std::string::npos) << r.out;
        const std::string off =
            "the Bluetooth adapter hci0 is switched off; switch it on (\"bluetoothctl power on\", or \"rfkill "
            "unblock bluetooth\" first when it is blocked)\n";
        EXPECT_TRUE(r.err.starts_with("Bluetooth inquiry: " + off + "Bluetooth device " + kBtAddress + ": " + off +
                                      kConnectError))
            << r.err;
    }
}

TEST(ProgramOverBluetooth, FortyFoundThirtyTwoListed) {
    const std::vector<json> devices = bt_instruments(40);
    MockBluez bluez(bt_world(devices).dump());
    ASSERT_TRUE(bluez.ready()) << bluez.log();
    const ProcessResult r = run_tool("4\n33\n0\n\nq\n");
    EXPECT_NE(r.out.find("\n32. 'QM-38 "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\n33. '"), std::string::npos) << r.out;
    // 33 is out of range and asked again; 0 asks for an address.
    EXPECT_NE(r.out.find("Select device[32]:Select device[32]:Enter BD address[]:"), std::string::npos) << r.out;
}
