// Identity, clock and restart commands and the menus, run in-process
// against the simulated instrument with a scripted console.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "commands/r40_cmds.h"
#include "commands/r62_cmds.h"
#include "commands/r62_params.h"
#include "console/conutil.h"
#include "console/globals.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;

// Handlers get a writable line, as the menu hands it over.
struct line_t {
    explicit line_t(const char* text) { std::snprintf(buf, sizeof buf, "%s", text); }
    char buf[255];
};

int32_t run(menu_handler_t handler, const char* line, const std::string& input, console_capture_t* cap,
            int32_t argument = 0) {
    line_t l(line);
    int32_t r = 0;
    *cap = console_run(input, [&] { r = handler(l.buf, argument); });
    return r;
}

class SimCommands : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.open());
        SIM_clear_requests(sim());
    }
    void TearDown() override { R40_cmd_set_local_clock(nullptr); }
    sim_t* sim() { return link.sim(); }
    void fail_code(uint16_t code, uint8_t status) {
        sim_faults_t f = SIM_get_faults(sim());
        f.fail_codes[code] = status;
        SIM_set_faults(sim(), f);
    }
    std::vector<sim_request_t> requests(uint16_t code) {
        std::vector<sim_request_t> out;
        for (auto& r : SIM_requests(sim()))
            if (r.code == code) out.push_back(r);
        return out;
    }

    SimLink link;
    console_capture_t cap;
};

std::tm fixed_clock() {
    std::tm tm{};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 1;  // February
    tm.tm_mday = 28;
    tm.tm_hour = 23;
    tm.tm_min = 30;
    tm.tm_sec = 15;
    return tm;
}

bytes time_payload(int y, int mo, int d, int h, int mi, int s) {
    bytes b;
    for (int v : {y, mo, d, h, mi, s})
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    return b;
}

}  // namespace

// ---- version and serial ------------------------------------------------------------

TEST_F(SimCommands, VersionAndSerialArePrinted) {
    SIM_set_fw_version(sim(), "12345678");  // all 8 characters: still terminated
    EXPECT_EQ(run(R62_cmd_get_fw_version, "ve\n", "", &cap), 0);
    EXPECT_EQ(cap.out, "FW Version=12345678\n");

    std::memset(serial_no, 0, sizeof serial_no);
    EXPECT_EQ(run(R62_cmd_get_serial, "gs\n", "", &cap), 0);
    EXPECT_EQ(cap.out, "Serial = A0001234\n");
    EXPECT_STREQ(serial_no, "A0001234");
}

TEST_F(SimCommands, FailuresNameTheCommonHandlerAndTheCode) {
    fail_code(8001, 1);
    EXPECT_EQ(run(R62_cmd_get_fw_version, "ve\n", "", &cap), -1);
    EXPECT_EQ(cap.err, "Command R40_cmd_get_fw_version error(code=1)!\n");
    EXPECT_EQ(cap.out, "");

    sim_faults_t f = SIM_get_faults(sim());
    f.silent_codes.insert(8007);
    SIM_set_faults(sim(), f);
    EXPECT_EQ(run(R62_cmd_get_serial, "gs\n", "", &cap), -1);
    EXPECT_EQ(cap.err, "Command R40_cmd_get_serial error(code=255)!\n");
    EXPECT_EQ(requests(8007).size(), 3u);  // three tries on the instrument's link
    EXPECT_EQ(run(R62_cmd_set_serial, "ss\n", "", &cap), -1);
    EXPECT_EQ(cap.err, "Command R62_cmd_set_serial error(code=255)!\n");
    EXPECT_EQ(run(R40_cmd_set_serial, "ss\n", "", &cap), -1);
    EXPECT_EQ(cap.err, "Command R40_cmd_set_serial error(code=255)!\n");
    EXPECT_TRUE(requests(8104).empty());
}

// ---- the instrument's serial rule -----------------------------------------------------

TEST_F(SimCommands, UnsetSerialIsAskedForWithItsSuffixAsDefault) {
    SIM_set_serial(sim(), "A000XXXX");
    EXPECT_EQ(run(R62_cmd_set_serial, "ss\n", "1234\n", &cap), 0);
    EXPECT_EQ(cap.out, "Enter serial[XXXX]:Setting serial to:A0001234\n");
    EXPECT_EQ(SIM_get_serial(sim()), "A0001234");
    auto sets = requests(8104);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].payload, (bytes{'A', '0', '0', '0', '1', '2', '3', '4'}));
}

TEST_F(SimCommands, LowerCaseUnsetSuffixAndAnEmptyAnswerKeepIt) {
    SIM_set_serial(sim(), "A000xxxx");
    EXPECT_EQ(run(R62_cmd_set_serial, "ss\n", "\n", &cap), 0);
    EXPECT_EQ(cap.out, "Enter serial[xxxx]:Setting serial to:A000xxxx\n");
    EXPECT_EQ(SIM_get_serial(sim()), "A000xxxx");
}

TEST_F(SimCommands, SetSerialIsRefusedQuietlyOnceSet) {
    EXPECT_EQ(run(R62_cmd_set_serial, "ss 5678\n", "9999\n", &cap), 0);
    EXPECT_EQ(cap.out, "serial number already set\n");
    EXPECT_EQ(cap.err, "");
    EXPECT_TRUE(requests(8104).empty());
    EXPECT_EQ(SIM_get_serial(sim()), "A0001234");

    // A serial of other than 8 characters counts as set.
    SIM_set_serial(sim(), "AXXXX");
    EXPECT_EQ(run(R62_cmd_set_serial, "ss\n", "9999\n", &cap), 0);
    EXPECT_EQ(cap.out, "serial number already set\n");
    EXPECT_TRUE(requests(8104).empty());
}

TEST_F(SimCommands, SuffixOnTheCommandLineIsTakenOnlyWithFourCharacters) {
    SIM_set_serial(sim(), "A000XXXX");
    EXPECT_EQ(run(R62_cmd_set_serial, "ss 5678\n", "", &cap), 0);
    EXPECT_EQ(cap.out, "Setting serial to:A0005678\n");
    EXPECT_EQ(SIM_get_serial(sim()), "A0005678");

    SIM_set_serial(sim(), "A000XXXX");
    EXPECT_EQ(run(R62_cmd_set_serial, "ss 567\n", "4321\n", &cap), 0);
    EXPECT_EQ(cap.out, "Enter serial[XXXX]:Setting serial to:A0004321\n");

    SIM_set_serial(sim(), "A000XXXX");
    EXPECT_EQ(run(R62_cmd_set_serial, "ss 56789\n", "12\n2468\n", &cap), 0);
    EXPECT_EQ(cap.out, "Enter serial[XXXX]:Enter serial[XXXX]:Setting serial to:A0002468\n");
    EXPECT_EQ(SIM_get_serial(sim()), "A0002468");
}

TEST_F(SimCommands, CommonSetSerialAsksForAllEightThroughTheMenu) {
    menu_t menu;
    menu_init(&menu);
    R40_cmd_create_menu(&menu);
    menu_add(&menu, "q", "quit", "quits program", nullptr);
    cap = console_run("ss\n1234\n87654321\nq\n", [&] { menu_run(&menu); });
    EXPECT_EQ(cap.out, ">Enter serial[00000000]:Enter serial[00000000]:Setting serial to:87654321\n>");
    EXPECT_EQ(SIM_get_serial(sim()), "87654321");
}

TEST_F(SimCommands, CommonSetSerialWithAPrefixBuildsPrefixZerosSuffix) {
    EXPECT_EQ(run(R40_cmd_set_serial, "ss 4321\n", "", &cap, 'B'), 0);
    EXPECT_EQ(cap.out, "Setting serial to:B0004321\n");
    EXPECT_EQ(SIM_get_serial(sim()), "B0004321");
    // The default is the current serial's last four.
    EXPECT_EQ(run(R40_cmd_set_serial, "ss\n", "\n", &cap, 'C'), 0);
    EXPECT_EQ(cap.out, "Enter serial[4321]:Setting serial to:C0004321\n");
}

// ---- clock --------------------------------------------------------------------------

TEST_F(SimCommands, DeviceTimeIsPrintedWithTwoSpacesBetweenDateAndTime) {
    const int32_t t[6] = {2026, 5, 4, 7, 8, 9};
    SIM_set_clock(sim(), t);
    EXPECT_EQ(run(R62_cmd_get_time, "gt\n", "", &cap), 0);
    // The device clock runs on: the seconds may have moved.
    EXPECT_EQ(cap.out.rfind("Device time: 2026/05/04  07:08:", 0), 0u) << cap.out;
    EXPECT_EQ(cap.out.size(), std::string("Device time: 2026/05/04  07:08:09\n").size());
}

TEST_F(SimCommands, SetTimeTakesTheOffsetFromTheCommandLine) {
    R40_cmd_set_local_clock(fixed_clock);
    EXPECT_EQ(run(R62_cmd_set_time, "st 2\n", "", &cap), 0);
    EXPECT_EQ(cap.out, "Setting device time: 2024/02/29  01:30:15 ...Ok.\n");
    auto sets = requests(8003);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].payload, time_payload(2024, 2, 29, 1, 30, 15));
}

TEST_F(SimCommands, SetTimePromptsForAnOffsetOutOfRange) {
    R40_cmd_set_local_clock(fixed_clock);
    EXPECT_EQ(run(R62_cmd_set_time, "st 13\n", "-13\n-12\n", &cap), 0);
    EXPECT_EQ(cap.out, "Enter offset[0]:Enter offset[0]:Setting device time: 2024/02/28  11:30:15 ...Ok.\n");
    EXPECT_EQ(run(R62_cmd_set_time, "st\n", "\n", &cap), 0);
    EXPECT_EQ(cap.out, "Enter offset[0]:Setting device time: 2024/02/28  23:30:15 ...Ok.\n");
    auto sets = requests(8003);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].payload, time_payload(2024, 2, 28, 11, 30, 15));
    EXPECT_EQ(sets[1].payload, time_payload(2024, 2, 28, 23, 30, 15));
}

TEST_F(SimCommands, SetTimeFailureLeavesTheLineOpenAndReports) {
    R40_cmd_set_local_clock(fixed_clock);
    fail_code(8003, 1);
    EXPECT_EQ(run(R62_cmd_set_time, "st 1\n", "", &cap), -1);
    EXPECT_EQ(cap.out, "Setting device time: 2024/02/29  00:30:15 ...");
    EXPECT_EQ(cap.err, "Command R40_cmd_set_time error(code=1)!\n");
}

// ---- restart ------------------------------------------------------------------------

TEST_F(SimCommands, RestartSendsOnceDropsTheLinkAndLaterCommandsRefuse) {
    EXPECT_EQ(run(R62_cmd_restart, "re\n", "", &cap), 0);
    EXPECT_EQ(cap.out, "Restarting device.\n");
    EXPECT_EQ(connected.load(), 0);
    EXPECT_EQ(link.closed_events(), 1);
    ASSERT_TRUE(SIM_wait_requests(sim(), 8021, 1, 2000));
    EXPECT_EQ(requests(8021).size(), 1u);

    EXPECT_EQ(run(R62_cmd_restart, "re\n", "", &cap), -1);
    EXPECT_EQ(cap.err, "\nDevice not connected!\n");
    EXPECT_EQ(cap.out, "");
}

// ---- without a link -------------------------------------------------------------------

TEST(CommandsWithoutLink, EveryDeviceCommandRefusesWithoutTraffic) {
    SimLink link;  // an instrument that is never connected to
    connected.store(0);
    const std::pair<const char*, menu_handler_t> handlers[] = {
        {"R40_cmd_get_fw_version", R40_cmd_get_fw_version}, {"R40_cmd_get_serial", R40_cmd_get_serial},
        {"R40_cmd_set_serial", R40_cmd_set_serial},         {"R40_cmd_get_time", R40_cmd_get_time},
        {"R40_cmd_set_time", R40_cmd_set_time},             {"R40_cmd_restart", R40_cmd_restart},
        {"R62_cmd_get_fw_version", R62_cmd_get_fw_version}, {"R62_cmd_get_serial", R62_cmd_get_serial},
        {"R62_cmd_set_serial", R62_cmd_set_serial},         {"R62_cmd_get_time", R62_cmd_get_time},
        {"R62_cmd_set_time", R62_cmd_set_time},             {"R62_cmd_restart", R62_cmd_restart},
        {"R62_cmd_get_params", R62_cmd_get_params},         {"R62_cmd_set_params", R62_cmd_set_params},
        {"R62_cmd_set_memory", R62_cmd_set_memory},
    };
    for (const auto& [name, handler] : handlers) {
        console_capture_t cap;
        EXPECT_EQ(run(handler, "x 1234\n", "y\n", &cap), -1) << name;
        EXPECT_EQ(cap.err, "\nDevice not connected!\n") << name;
        EXPECT_EQ(cap.out, "") << name;
    }
    EXPECT_EQ(SIM_request_count(link.sim(), 0), 0u);
}

// ---- menus ----------------------------------------------------------------------------

TEST(CommandMenus, ProgramMenuHoldsExactlySetMemoryThenRestart) {
    menu_t menu;
    menu_init(&menu);
    EXPECT_EQ(R62_cmd_create_menu(&menu, 0), 0);
    ASSERT_EQ(menu.count, 2);
    EXPECT_EQ(menu.entries[0].handler, &R62_cmd_set_memory);
    EXPECT_EQ(menu.entries[1].handler, &R62_cmd_restart);
    menu_add(&menu, "q", "quit", "quits program", nullptr);
    auto cap = console_run("", [&] { menu_print(&menu); });
    EXPECT_EQ(cap.out,
              "[ he] help\n"
              "[ sm] set memory - set memory records to 4000\n"
              "[ re] restart    - restarts device\n"
              "[  q] quit       - quits program\n");
}

TEST(CommandMenus, ServiceMenuRegistersTheExistingHandlersInOrder) {
    menu_t menu;
    menu_init(&menu);
    EXPECT_EQ(R62_cmd_create_service_menu(&menu, 0), 0);
    struct entry_t {
        const char* key;
        const char* name;
        const char* description;
        menu_handler_t handler;
    };
    const entry_t expected[] = {
        {"sm", "set memory", "set memory records to 4000", R62_cmd_set_memory},
        {"re", "restart", "restarts device", R62_cmd_restart},
        {"ve", "version", "displays device firmware version", R62_cmd_get_fw_version},
        {"gs", "get serial", "displays device serial number", R62_cmd_get_serial},
        {"ss", "set serial", "sets device serial number", R62_cmd_set_serial},
        {"gt", "get time", "displays device date/time", R62_cmd_get_time},
        {"st", "set time", "sets device date/time", R62_cmd_set_time},
        {"gp", "get params", "displays device parameters", R62_cmd_get_params},
        {"sp", "set params", "edits device parameters", R62_cmd_set_params},
    };
    ASSERT_GE(menu.count, 9);
    for (size_t i = 0; i < std::size(expected); ++i) {
        const auto& e = menu.entries[i];
        EXPECT_STREQ(e.key, expected[i].key) << i;
        EXPECT_STREQ(e.name, expected[i].name) << i;
        EXPECT_STREQ(e.description, expected[i].description) << i;
        EXPECT_EQ(e.handler, expected[i].handler) << i;
    }
    for (int i = 0; i < menu.count; ++i) EXPECT_NE(menu.entries[i].handler, nullptr) << i;
}

TEST(CommandMenus, CommonMenuOrder) {
    menu_t menu;
    menu_init(&menu);
    EXPECT_EQ(R40_cmd_create_menu(&menu), 0);
    ASSERT_EQ(menu.count, 6);
    const char* keys[] = {"ve", "gs", "ss", "gt", "st", "re"};
    const menu_handler_t handlers[] = {R40_cmd_get_fw_version, R40_cmd_get_serial, R40_cmd_set_serial,
                                       R40_cmd_get_time,       R40_cmd_set_time,   R40_cmd_restart};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(menu.entries[i].key, keys[i]);
        EXPECT_EQ(menu.entries[i].handler, handlers[i]);
    }
}
