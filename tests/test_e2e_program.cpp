// The programs as an operator meets them: build/qm38v2con and
// build/qm38v2con-service run as child processes, answers scripted on their
// standard input, against the simulator on a pseudo-terminal (the qm38sim
// program, or the same simulator served from this process when a test must
// read exactly what the instrument received).
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "commands/r40_fw.h"
#include "sim/sim.h"
#include "support/files.h"
#include "support/process.h"
#include "support/pty_process.h"

namespace fs = std::filesystem;

namespace {

const std::string kBanner = "--- ZORVANIK QM-38 V2 ---\nver:0.11.0\n\n";
const std::string kChoices = "1. No device\n2. USB\n3. COM port\n\n";
const std::string kTypePrompt = "Select connection type[2]:";
const std::string kFound = "\nFound device:   QM-38 S/C\n\n";
const std::string kMenu =
    "[ he] help\n"
    "[ sm] set memory - set memory records to 4000\n"
    "[ re] restart    - restarts device\n"
    "[  q] quit       - quits program\n";
const std::string kServiceMenu =
    "[ he] help\n"
    "[ sm] set memory    - set memory records to 4000\n"
    "[ re] restart       - restarts device\n"
    "[ co] connect       - connects a device\n"
    "[ ve] version       - displays device firmware version\n"
    "[ gs] get serial    - displays device serial number\n"
    "[ ss] set serial    - sets device serial number\n"
    "[ gt] get time      - displays device date/time\n"
    "[ st] set time      - sets device date/time\n"
    "[ gp] get params    - displays device parameters\n"
    "[ sp] set params    - edits device parameters\n"
    "[gst] get status    - displays device status\n"
    "[gmw] get model     - displays hardware options\n"
    "[smw] set model     - sets hardware options\n"
    "[scr] screen        - saves device screen as BMP\n"
    "[ me] measure       - runs a single measurement\n"
    "[sca] scanner       - runs a scan\n"
    "[ md] measure data  - reads raw samples\n"
    "[log] meas log      - downloads measurement log\n"
    "[lut] conc lut      - edits concentration look-up table\n"
    "[del] delete record - deletes one log record\n"
    "[clr] clear logs    - clears device logs\n"
    "[pur] purge         - deletes all log records\n"
    "[tar] upload tar    - uploads TAR archive to device\n"
    "[ sd] download sd   - downloads storage image\n"
    "[mem] memory usage  - displays device heap report\n"
    "[cfw] create gfw    - creates firmware image file\n"
    "[ufw] upload gfw    - uploads firmware image\n"
    "[vfw] verify gfw    - verifies uploaded firmware\n"
    "[ffw] flash fw      - flashes uploaded firmware\n"
    "[  q] quit          - quits program\n";
const std::string kNotConnected = "\nDevice not connected!\n";
const std::string kConnectError = "\nError connecting device!\n";

// The qm38sim program serving on a new pseudo-terminal.
class SimProgram {
public:
    explicit SimProgram(std::vector<std::string> options) : proc_(args(std::move(options))) {
        const std::string out = proc_.wait_for("COM port", 10000);
        const size_t at = out.find("COM port ");
        if (at != std::string::npos) port_ = std::atoi(out.c_str() + at + 9);
    }
    int port() const { return port_; }
    std::string requests() { return proc_.output(); }
    bool received(const std::string& text) { return !proc_.wait_for(text, 20000).empty(); }

private:
    static std::vector<std::string> args(std::vector<std::string> options) {
        options.insert(options.begin(), {bin_path("qm38sim"), "--print-requests"});
        return options;
    }
    BackgroundProcess proc_;
    int port_ = 0;
};

ProcessResult run_tool(const std::string& exe, const std::string& input, bool merge = false) {
    return run_process({bin_path(exe)}, {input, 30000, merge});
}

std::string com_answers(int port) { return "3\n" + std::to_string(port) + "\n"; }

const std::string kConnectedHead =
    kBanner + kChoices + kTypePrompt + "Select COM port[1]:\nConnecting device...Ok.\n" + kFound;

// Lines "qm38sim: request CODE ..." in the order received.
std::vector<int> request_codes(const std::string& sim_output) { return numbers_after(sim_output, "request "); }

}  // namespace

TEST(ProgramWithoutDevice, BannerFallbackMenuAndQuit) {
    ProcessResult r = run_tool("qm38v2con", "1\nhe\nq\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kBanner + kChoices + kTypePrompt + "\nConnecting device..." +
                         "\nNo device connected, using QM38v2 as default." + kFound + kMenu + ">" + kMenu + ">");
    EXPECT_EQ(r.err, kConnectError + kNotConnected);
}

// The tail of an over-long line runs nothing; after the restart the link
// is gone and commands are refused.
TEST(ProgramWithSimulator, ConnectSetMemoryRestartAndQuit) {
    SimProgram sim({});
    ASSERT_GT(sim.port(), 128);
    const std::string input = "sm\n" + std::string(254, ' ') + "re\nre\nsm\nq\n";
    ProcessResult r = run_tool("qm38v2con", com_answers(sim.port()) + input, true);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kConnectedHead + kMenu + ">>>" + "Restarting device.\n" + "\nDevice disconnected!\n" + ">" +
                         kNotConnected + ">" + kNotConnected);
    // The restart is sent without waiting: the tool may be gone before the
    // instrument has read it.
    ASSERT_TRUE(sim.received("request 8021"));
    std::string seen = sim.requests();
    EXPECT_EQ(request_codes(seen), (std::vector<int>{8007, 8201, 8202, 8021}));
    EXPECT_NE(seen.find("request 8202 timeout 800 payload 319 bytes"), std::string::npos) << seen;
}

// Ctrl-C as the operator presses it: while a slow command runs, while a
// command waits at its prompt, then at the menu prompt.
TEST(ProgramWithSimulator, CtrlCStopsTheCommandKeepsTheLinkAndQuitsAtTheMenu) {
    // The first two get-params tries go unanswered, so the exchange is still
    // waiting when the first one reaches the instrument.
    SimProgram sim({"--only-code", "8201", "--drop-first", "2"});
    ASSERT_GT(sim.port(), 128);
    BackgroundProcess tool({bin_path("qm38v2con-service")}, true);
    const std::string menu = kConnectedHead + kServiceMenu + ">";
    ASSERT_TRUE(tool.send(com_answers(sim.port()) + "sm\n"));
    ASSERT_TRUE(sim.received("request 8201"));
    ASSERT_TRUE(tool.signal(SIGINT));
    ASSERT_NE(tool.wait_for(menu + "\nInterrupted.\n>", 20000), "") << tool.output();
    ASSERT_TRUE(tool.send("gs\nst\n"));
    ASSERT_NE(tool.wait_for("Enter offset[0]:", 20000), "") << tool.output();
    ASSERT_TRUE(tool.signal(SIGINT));
    ASSERT_NE(tool.wait_for("Enter offset[0]:\nInterrupted.\n>", 20000), "") << tool.output();
    ASSERT_TRUE(tool.signal(SIGINT));
    EXPECT_EQ(tool.wait_exit(20000), 0);
    EXPECT_EQ(tool.output(), menu + "\nInterrupted.\n>" + "Serial = A0001234\n>" + "Enter offset[0]:" +
                                 "\nInterrupted.\n>" + "\nDevice disconnected!\n");
    // Ctrl-C ended the wait for the record: no further try, nothing sent
    // back; no clock was set.
    EXPECT_EQ(request_codes(sim.requests()), (std::vector<int>{8007, 8201, 8007}));
}

// Unanswered, or answered with a serial not beginning with 'A': one probe on
// opening and six retries on idle events, then no instrument.
TEST(ProgramWithSimulator, WithoutIdentificationTheDeviceIsUndefined) {
    for (const std::vector<std::string>& options : {std::vector<std::string>{"--ignore-probe"},
                                                    std::vector<std::string>{"--serial", "B0001234"}}) {
        SimProgram sim(options);
        ProcessResult r = run_tool("qm38v2con", com_answers(sim.port()) + "sm\n", true);
        EXPECT_EQ(r.exit_code, 0);
        const std::string head = kBanner + kChoices + kTypePrompt +
                                 "Select COM port[1]:\nConnecting device...Error!\n\nFound device:   Undefined\n\n";
        EXPECT_TRUE(r.out.starts_with(head + kNotConnected)) << r.out;
        EXPECT_EQ(request_codes(sim.requests()), std::vector<int>(7, 8007)) << options[0];
    }
}

// Faults as the operator meets them: the error line of the command and the
// requests the instrument received (set memory: a fetch, then the record
// sent back). Status frames alone use every try and deliver no record; an
// answer without its data fails with 254; garbage and false starts cost
// nothing.
TEST(ProgramUnderFaults, CommandsReportOrSurvive) {
    const std::vector<int> fetches3 = {8007, 8201, 8201, 8201}, sent = {8007, 8201, 8202};
    const struct {
        std::vector<std::string> options;
        const char* exe;
        std::string command, error;
        std::vector<int> requests;
    } cases[] = {
        {{"--only-code", "8201", "--status-only", "5"}, "qm38v2con", "sm",
         "Command R62_cmd_set_memory error(code=1)!\n", fetches3},
        {{"--only-code", "8201", "--status-only", "0"}, "qm38v2con", "sm", "Invalid parameter record (0 bytes)!\n",
         fetches3},
        {{"--only-code", "8201", "--reject"}, "qm38v2con", "sm", "Command R62_cmd_set_memory error(code=1)!\n",
         {8007, 8201}},
        {{"--silent", "8201"}, "qm38v2con", "sm", "Command R62_cmd_set_memory error(code=255)!\n", fetches3},
        {{"--fail", "8202:1"}, "qm38v2con", "sm", "Command R62_cmd_set_memory error(code=1)!\n", sent},
        // Each lost answer is asked for again.
        {{"--corrupt-every", "2"}, "qm38v2con", "sm", "", {8007, 8201, 8201, 8202, 8202}},
        {{"--stray", "3"}, "qm38v2con", "sm", "", sent},
        {{"--split", "3"}, "qm38v2con", "sm", "", sent},
        {{"--only-code", "8002", "--status-only", "0"}, "qm38v2con-service", "gt",
         "Command R40_cmd_get_time error(code=254)!\n", {8007, 8002, 8002, 8002}},
        {{"--only-code", "8007", "--answer-size", "13"}, "qm38v2con-service", "ss",
         "Command R62_cmd_set_serial error(code=254)!\n", {8007, 8007}},
        {{"--stray-b", "1"}, "qm38v2con-service", "gs", "", {8007, 8007}},
        {{"--false-header"}, "qm38v2con-service", "gs", "", {8007, 8007}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0] + " " + c.options.back() + " " + c.command);
        SimProgram sim(c.options);
        const ProcessResult r = run_tool(c.exe, com_answers(sim.port()) + c.command + "\nq\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_TRUE(r.out.starts_with(kConnectedHead) && r.out.ends_with(">\nDevice disconnected!\n")) << r.out;
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(request_codes(sim.requests()), c.requests);
    }
}

// The simulator served from this process, so the test reads exactly what the
// instrument received: set-memory changes only the record count; the editor,
// Enter everywhere ("Extended parameters" and the 13 basic prompts), only
// sets the edit flag.
TEST(InProcessSimulator, SetMemoryAndEditorSendBackTheHeadChangingOnlyTheirFields) {
    sim_ptr sim(SIM_create_demo());
    std::string path;
    int32_t port = 0;
    ASSERT_EQ(SIM_serve_pty(sim.get(), &path, &port), 0);
    std::vector<uint8_t> before = SIM_get_params(sim.get());
    ASSERT_GE(before.size(), 319u);
    before[99] = 0;
    ASSERT_EQ(SIM_set_params(sim.get(), before), 0);
    ProcessResult r = run_tool("qm38v2con-service", com_answers(port) + "sm\nsp\n" + std::string(14, '\n') + "q\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Extended parameters[no]:Params.audio_vol["), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Params.cond_units["), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    std::vector<std::vector<uint8_t>> sent;
    for (const auto& req : SIM_requests(sim.get()))
        if (req.code == 8202) sent.push_back(req.payload);
    std::vector<uint8_t> memory(before.begin(), before.begin() + 319);
    memory[94] = 0xA0, memory[95] = 0x0F, memory[96] = memory[97] = 0;  // 4000 records
    std::vector<uint8_t> edited = memory;
    edited[99] = 1;
    EXPECT_EQ(sent, (std::vector<std::vector<uint8_t>>{memory, edited}));
    EXPECT_EQ(SIM_get_max_stored(sim.get()), 4000);
}

// Each test of a technician's session in a fresh working directory.
class Session : public ::testing::Test {
    WorkDir dir_;
};

// co brings the link back after a restart; an image the upload would refuse
// is never ordered flashed; after a flashing and co, ve shows the flashed
// image's version.
TEST_F(Session, ConnectAgainAfterRestartAndFlashing) {
    std::vector<uint8_t> bin(1000, 0x5A);
    const std::string mark = "QMFW-VERSION:3.07";
    std::copy(mark.begin(), mark.end(), bin.begin() + 100);
    bin[100 + mark.size()] = 0;
    spit("fw.bin", bin);
    ASSERT_EQ(R40_create_gfw("fw.bin", "qm38v2.gfw", 3, 7, 1, "QM-38V2", 0x7F000, 10), 0);
    std::vector<uint8_t> image = slurp("qm38v2.gfw");
    image[72 + 500] ^= 1;
    spit("bad.gfw", image);

    SimProgram sim({});
    const std::string co = "co\n" + com_answers(sim.port());
    const std::string input = com_answers(sim.port()) + "re\n" + co + "gs\nco\nffw\nbad.gfw\nufw\n\nffw\n\n" + co +
                              "ve\nq\n";
    const ProcessResult r = run_process({bin_path("qm38v2con-service")}, {input, 180000, false});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(count_of(r.out, "Connecting device...Ok.\n"), 3u) << r.out;
    EXPECT_NE(r.out.find("Restarting device.\n\nDevice disconnected!\n>"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(">Serial = A0001234\n>"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Reading file bad.gfw...Raw chsum wrong!\n>"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Starting memory flashing process...\nDevice disconnected!\n>"), std::string::npos);
    EXPECT_NE(r.out.find("FW Version=3.07\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "\nDevice already connected!\n");
    // Only the good image was ordered flashed, after its upload.
    ASSERT_TRUE(sim.received("request 8001"));
    const std::vector<int> codes = request_codes(sim.requests());
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 8103), 1);
    const auto upload = std::find(codes.begin(), codes.end(), 8100);
    EXPECT_NE(upload, codes.end());
    EXPECT_EQ(std::count(codes.begin(), upload, 8103), 0);
}

// Ctrl-C while clr waits for an instrument that never answers: the wait
// ends, the request is not sent again, the link stays up.
TEST_F(Session, CtrlCEndsTheWaitOfClearLogs) {
    SimProgram sim({"--silent", "8206"});
    BackgroundProcess tool({bin_path("qm38v2con-service")}, true);
    ASSERT_TRUE(tool.send(com_answers(sim.port()) + "clr\n"));
    ASSERT_TRUE(sim.received("request 8206"));
    ASSERT_TRUE(tool.signal(SIGINT));
    ASSERT_NE(tool.wait_for(kServiceMenu + ">\nInterrupted.\n>", 20000), "") << tool.output();
    ASSERT_TRUE(tool.send("gs\nq\n"));
    EXPECT_EQ(tool.wait_exit(20000), 0);
    EXPECT_TRUE(tool.output().ends_with("\nInterrupted.\n>Serial = A0001234\n>\nDevice disconnected!\n"))
        << tool.output();
    EXPECT_EQ(request_codes(sim.requests()), (std::vector<int>{8007, 8206, 8007}));
}

// The status line shows on a terminal only; standard output is the same
// either way. md of 300 samples, each answer 2 ms late, lasts long enough
// for the line to be drawn.
TEST_F(Session, StatusLineOnlyOnATerminalStandardOutputUnchanged) {
    SimProgram on_terminal({"--delay", "2"});
    PtyProcess tool({bin_path("qm38v2con-service")}, true);
    ASSERT_TRUE(tool.type(com_answers(on_terminal.port()) + "md\n300\nn\nq\n"));
    ASSERT_EQ(tool.wait_exit(60000), 0) << tool.terminal();
    EXPECT_NE(tool.terminal().find("/300 samples  "), std::string::npos) << tool.terminal();
    EXPECT_NE(tool.terminal().find(" left\x1b["), std::string::npos) << tool.terminal();

    SimProgram piped({"--delay", "2"});
    const ProcessResult r = run_tool("qm38v2con-service", com_answers(piped.port()) + "md\n300\nn\nq\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tool.out(), r.out);
    EXPECT_EQ(count_of(r.out, "\n"), count_of(kConnectedHead + kServiceMenu, "\n") + 300 + 2);
}

// scripts/run.sh on a terminal: Ctrl-C at a command's prompt stops only that
// command (the simulator keeps serving); Ctrl-C at ">" ends the tool and the
// script.
TEST_F(Session, RunScriptCtrlCReachesOnlyTheTool) {
    ASSERT_EQ(setenv("QM_BUILD_DIR", QM_BIN_DIR, 1), 0);
    PtyProcess run({"/bin/bash", std::string(QM_SOURCE_DIR) + "/scripts/run.sh", "--service"}, false);
    const std::string started = run.wait_for("at \"Select COM port\".", 300000);
    ASSERT_NE(started, "") << run.terminal();
    const size_t at = started.find("then ");
    ASSERT_NE(at, std::string::npos);
    const int port = std::atoi(started.c_str() + at + 5);
    ASSERT_TRUE(run.type(com_answers(port) + "st\n"));
    ASSERT_NE(run.wait_for("Enter offset[0]:"), "") << run.terminal();
    ASSERT_TRUE(run.type("\x03"));
    ASSERT_NE(run.wait_for("Interrupted."), "") << run.terminal();
    ASSERT_TRUE(run.type("gs\nscr\n\n"));
    ASSERT_NE(run.wait_for("Serial = A0001234"), "") << run.terminal();
    ASSERT_NE(run.wait_for("[screen.bmp]:>"), "") << run.terminal();
    ASSERT_TRUE(run.type("\x03"));
    EXPECT_EQ(run.wait_exit(), 0) << run.terminal();
    // The tool ran in the caller's directory.
    EXPECT_TRUE(fs::exists("screen.bmp"));
}
