// Identity and clock commands, run in-process against the simulated
// instrument with a scripted console. Which key runs which handler shows in
// the programs' end-to-end tests.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "commands/r40_cmds.h"
#include "commands/r62_cmds.h"
#include "commands/r62_fw.h"
#include "commands/r62_log.h"
#include "commands/r62_params.h"
#include "console/conutil.h"
#include "console/globals.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;

// Runs a handler on a writable copy of its command line, as the menu does:
// "<result> <standard output><standard error>".
std::string run(menu_handler_t handler, std::string line, const std::string& input = "", int32_t argument = 0) {
    int32_t r = 0;
    const console_capture_t cap = console_run(input, [&] { r = handler(line.data(), argument); });
    return std::to_string(r) + " " + cap.out + cap.err;
}

class SimCommands : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.open());
        SIM_clear_requests(sim());
    }
    void TearDown() override { R40_cmd_set_local_clock(nullptr); }
    sim_t* sim() { return link.sim(); }
    void fail(uint16_t code) {
        sim_faults_t f = SIM_get_faults(sim());
        f.fail_codes[code] = 1;
        SIM_set_faults(sim(), f);
    }
    std::vector<bytes> requests(uint16_t code) {
        std::vector<bytes> out;
        for (auto& r : SIM_requests(sim()))
            if (r.code == code) out.push_back(r.payload);
        return out;
    }

    SimLink link;
};

}  // namespace

// The device clock runs on: the seconds may have moved. Failures name the
// common handler and the code.
TEST_F(SimCommands, VersionAndTimeArePrintedFailuresNameTheCommonHandler) {
    SIM_set_fw_version(sim(), "12345678");  // all 8 characters: still terminated
    EXPECT_EQ(run(R62_cmd_get_fw_version, "ve\n"), "0 FW Version=12345678\n");
    const int32_t t[6] = {2026, 5, 4, 7, 8, 9};
    SIM_set_clock(sim(), t);
    const std::string printed = run(R62_cmd_get_time, "gt\n");
    EXPECT_TRUE(printed.starts_with("0 Device time: 2026/05/04  07:08:")) << printed;
    EXPECT_EQ(printed.size(), std::string("0 Device time: 2026/05/04  07:08:09\n").size());
    fail(8001);
    EXPECT_EQ(run(R62_cmd_get_fw_version, "ve\n"), "-1 Command R40_cmd_get_fw_version error(code=1)!\n");
    fail(8007);  // the serial commands read the serial first
    EXPECT_EQ(run(R62_cmd_set_serial, "ss 1234\n"), "-1 Command R62_cmd_set_serial error(code=1)!\n");
    EXPECT_EQ(run(R40_cmd_set_serial, "ss 1234\n", "", 'B'), "-1 Command R40_cmd_set_serial error(code=1)!\n");
    EXPECT_TRUE(requests(8104).empty());
}

// The instrument's rule: only an unset serial (A000XXXX, any case) takes a
// 4-character suffix, from the command line or asked for. The common command
// with a prefix builds prefix, 000, suffix; without one (argument 0) it asks
// for all 8.
TEST_F(SimCommands, SetSerialTakesFourCharactersWhileUnsetOrAllEightWithoutAPrefix) {
    using row = std::tuple<menu_handler_t, int32_t, const char*, const char*, const char*, std::string, const char*>;
    const row rows[] = {
        // handler, argument, serial before, command line, answers, printed, serial sent (none: refused)
        {R62_cmd_set_serial, 0, "A000XXXX", "ss\n", "1234\n", "Enter serial[XXXX]:Setting serial to:A0001234\n",
         "A0001234"},
        {R62_cmd_set_serial, 0, "A000xxxx", "ss\n", "\n", "Enter serial[xxxx]:Setting serial to:A000xxxx\n",
         "A000xxxx"},
        {R62_cmd_set_serial, 0, "A0001234", "ss 5678\n", "9999\n", "serial number already set\n", nullptr},
        {R62_cmd_set_serial, 0, "AXXXX", "ss\n", "9999\n", "serial number already set\n", nullptr},  // not 8 long
        {R62_cmd_set_serial, 0, "A000XXXX", "ss 5678\n", "", "Setting serial to:A0005678\n", "A0005678"},
        {R62_cmd_set_serial, 0, "A000XXXX", "ss 56789\n", "12\n2468\n",
         "Enter serial[XXXX]:Enter serial[XXXX]:Setting serial to:A0002468\n", "A0002468"},
        {R40_cmd_set_serial, 'B', "A0001234", "ss 4321\n", "", "Setting serial to:B0004321\n", "B0004321"},
        // The default is the current serial's last four, when it has 8.
        {R40_cmd_set_serial, 'C', "B0004321", "ss\n", "\n", "Enter serial[4321]:Setting serial to:C0004321\n",
         "C0004321"},
        {R40_cmd_set_serial, 'C', "B43", "ss\n", "\n", "Enter serial[0000]:Setting serial to:C0000000\n", "C0000000"},
        {R40_cmd_set_serial, 0, "B0004321", "ss\n", "1234\n87654321\n",
         "Enter serial[00000000]:Enter serial[00000000]:Setting serial to:87654321\n", "87654321"},
    };
    for (const auto& [handler, argument, before, line, answers, printed, after] : rows) {
        SIM_set_serial(sim(), before);
        SIM_clear_requests(sim());
        EXPECT_EQ(run(handler, line, answers, argument), "0 " + printed);
        EXPECT_EQ(requests(8104), after ? std::vector<bytes>{bytes(after, after + 8)} : std::vector<bytes>{});
        EXPECT_EQ(SIM_get_serial(sim()), after ? after : before);
    }
}

// The local clock is shifted by whole hours through the calendar: a leap day,
// the century rules (2000 a leap year, 2100 not), across months and years.
TEST_F(SimCommands, SetTimeShiftsTheLocalClockByTheOffsetGivenOrAskedFor) {
    static std::tm local;
    R40_cmd_set_local_clock([] { return local; });
    const std::tuple<const char*, const char*, const char*, std::string, dev_time_t> rows[] = {
        {"2024-02-28 23:30:15", "st 2\n", "", "2024/02/29  01:30:15", {2024, 2, 29, 1, 30, 15}},
        {"2024-02-28 23:30:15", "st 13\n", "-13\n-12\n", "Enter offset[0]:Enter offset[0]:2024/02/28  11:30:15",
         {2024, 2, 28, 11, 30, 15}},
        {"2024-02-28 23:30:15", "st\n", "\n", "Enter offset[0]:2024/02/28  23:30:15", {2024, 2, 28, 23, 30, 15}},
        {"2100-03-01 01:00:00", "st -2\n", "", "2100/02/28  23:00:00", {2100, 2, 28, 23, 0, 0}},
        {"2000-03-01 00:30:00", "st -1\n", "", "2000/02/29  23:30:00", {2000, 2, 29, 23, 30, 0}},
        {"2023-12-31 23:00:00", "st 12\n", "", "2024/01/01  11:00:00", {2024, 1, 1, 11, 0, 0}},
    };
    for (const auto& [now, line, answers, printed, sent] : rows) {
        strptime(now, "%Y-%m-%d %H:%M:%S", &local);
        SIM_clear_requests(sim());
        std::string shown = printed;
        shown.insert(shown.size() - 20, "Setting device time: ");
        EXPECT_EQ(run(R62_cmd_set_time, line, answers), "0 " + shown + " ...Ok.\n");
        bytes payload(DEV_TIME_SIZE);
        dev_time_encode(sent, payload.data());
        EXPECT_EQ(requests(8003), std::vector<bytes>{payload}) << line;
    }

    fail(8003);
    char line[] = "st 1\n";
    int32_t r = 0;
    const auto cap = console_run("", [&] { r = R62_cmd_set_time(line, 0); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.out, "Setting device time: 2024/01/01  00:00:00 ...");  // the line stays open
    EXPECT_EQ(cap.err, "Command R40_cmd_set_time error(code=1)!\n");
}

// A prompt stopped by the end of input or by Ctrl-C (pressed while the
// current serial is read) keeps a default the operator never confirmed:
// nothing is written, nothing more is said.
TEST_F(SimCommands, SerialAndClockStoppedAtTheirPromptSendNothing) {
    const std::tuple<menu_handler_t, int32_t, const char*, const char*, bool, const char*> rows[] = {
        // handler, argument, command line, answers, Ctrl-C during the serial read, printed
        {R62_cmd_set_serial, 0, "ss\n", "", false, "Enter serial[XXXX]:"},
        {R62_cmd_set_serial, 0, "ss 12\n", "12", false, "Enter serial[XXXX]:Enter serial[XXXX]:"},
        {R62_cmd_set_serial, 0, "ss\n", "1234\n", true, ""},
        {R40_cmd_set_serial, 0, "ss\n", "12345678\n", true, ""},
        {R62_cmd_set_time, 0, "st\n", "", false, "Enter offset[0]:"},
    };
    SIM_set_serial(sim(), "A000XXXX");
    for (const auto& [handler, argument, line, answers, ctrl_c, printed] : rows) {
        SIM_clear_requests(sim());
        if (ctrl_c)
            SIM_set_request_hook(sim(), [](const sim_request_t& r) {
                if (r.code == 8007) input_interrupt();
            });
        EXPECT_EQ(run(handler, line, answers, argument), std::string("-1 ") + printed) << line << answers;
        SIM_set_request_hook(sim(), nullptr);
        input_interrupt_clear();
        EXPECT_TRUE(requests(8104).empty()) << line << answers;
        EXPECT_TRUE(requests(8003).empty()) << line << answers;
    }
    EXPECT_EQ(SIM_get_serial(sim()), "A000XXXX");
}

TEST(CommandsWithoutLink, EveryDeviceCommandRefusesWithoutTraffic) {
    SimLink link;  // an instrument that is never connected to
    connected.store(0);
    const menu_handler_t handlers[] = {
        R40_cmd_get_fw_version, R40_cmd_get_serial, R40_cmd_set_serial, R40_cmd_get_time,   R40_cmd_set_time,
        R40_cmd_restart,        R62_cmd_get_fw_version, R62_cmd_get_serial, R62_cmd_set_serial, R62_cmd_get_time,
        R62_cmd_set_time,       R62_cmd_restart,    R62_cmd_get_params, R62_cmd_set_params, R62_cmd_set_memory,
        R62_cmd_get_meas_log,
        R62_cmd_upload_gfw,     R62_cmd_verify_gfw, R62_cmd_flash_fw,
    };
    for (size_t i = 0; i < std::size(handlers); ++i)
        EXPECT_EQ(run(handlers[i], "x 1234\n", "y\n"), "-1 \nDevice not connected!\n") << i;
    EXPECT_EQ(SIM_request_count(link.sim(), 0), 0u);
}
