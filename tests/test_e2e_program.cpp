// The programs as an operator meets them: build/qm38v2con and
// build/qm38v2con-service run as child processes, answers scripted on their
// standard input, against the simulator on a pseudo-terminal (the qm38sim
// program, or the same simulator served from this process when a test must
// read exactly what the instrument received).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "support/process.h"

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

ProcessResult run_tool(const std::string& exe, const std::string& input, bool merge = false,
                       const std::string& cwd = "") {
    ProcessOptions o;
    o.stdin_text = input;
    o.merge_stderr = merge;
    o.cwd = cwd;
    o.timeout_ms = 30000;
    return run_process({bin_path(exe)}, o);
}

std::string com_answers(int port) { return "3\n" + std::to_string(port) + "\n"; }

std::string connected_head(int port) {
    (void)port;
    return kBanner + kChoices + kTypePrompt + "Select COM port[1]:\nConnecting device...Ok.\n" + kFound;
}

// Lines "qm38sim: request CODE ..." in the order received.
std::vector<int> request_codes(const std::string& sim_output) {
    std::vector<int> codes;
    const std::string key = "request ";
    for (size_t at = sim_output.find(key); at != std::string::npos; at = sim_output.find(key, at + 1))
        codes.push_back(std::atoi(sim_output.c_str() + at + key.size()));
    return codes;
}

std::string temp_dir() {
    char path[] = "/tmp/qm38e2e_XXXXXX";
    const char* made = mkdtemp(path);
    return made ? made : "";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(ProgramWithoutDevice, BannerFallbackMenuAndQuit) {
    ProcessResult r = run_tool("qm38v2con", "1\nhe\nq\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kBanner + kChoices + kTypePrompt + "\nConnecting device..." +
                         "\nNo device connected, using QM38v2 as default." + kFound + kMenu + ">" + kMenu + ">");
    EXPECT_EQ(r.err, kConnectError + kNotConnected);

    ProcessResult merged = run_tool("qm38v2con", "1\nq\n", true);
    EXPECT_EQ(merged.out, kBanner + kChoices + kTypePrompt + "\nConnecting device..." + kConnectError +
                              "\nNo device connected, using QM38v2 as default." + kFound + kMenu + ">" +
                              kNotConnected);
}

TEST(ProgramWithoutDevice, CommandsRefusedAndEndOfInputQuits) {
    ProcessResult r = run_tool("qm38v2con", "1\nsm\nrestart\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out.ends_with(kMenu + ">>>")) << r.out;
    EXPECT_EQ(r.err, kConnectError + kNotConnected + kNotConnected + kNotConnected);
}

TEST(ProgramWithoutDevice, ServiceEditionListsEveryCommand) {
    ProcessResult r = run_tool("qm38v2con-service", "1\nq\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out.ends_with(kFound + kServiceMenu + ">")) << r.out;
}

TEST(ProgramWithSimulator, ConnectSetMemoryRestartAndQuit) {
    SimProgram sim({});
    ASSERT_GT(sim.port(), 128);
    ProcessResult r = run_tool("qm38v2con", com_answers(sim.port()) + "sm\nre\nsm\nq\n", true);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, connected_head(sim.port()) + kMenu + ">" + ">" + "Restarting device.\n" +
                         "\nDevice disconnected!\n" + ">" + kNotConnected + ">" + kNotConnected);
    std::string seen = sim.requests();
    EXPECT_EQ(request_codes(seen), (std::vector<int>{8007, 8201, 8202, 8021}));
    EXPECT_NE(seen.find("request 8202 timeout 800 payload 319 bytes"), std::string::npos) << seen;
}

TEST(ProgramWithSimulator, EndOfInputDisconnects) {
    SimProgram sim({});
    ProcessResult r = run_tool("qm38v2con", com_answers(sim.port()));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, connected_head(sim.port()) + kMenu + ">" + "\nDevice disconnected!\n");
    EXPECT_EQ(r.err, "");
}

TEST(ProgramWithSimulator, TheTailOfALongLineRunsNothing) {
    SimProgram sim({});
    ProcessResult r = run_tool("qm38v2con", com_answers(sim.port()) + std::string(254, ' ') + "re\nq\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, connected_head(sim.port()) + kMenu + ">>" + "\nDevice disconnected!\n");
    EXPECT_EQ(request_codes(sim.requests()), std::vector<int>{8007});
}

// Ctrl-C as the operator presses it: while a slow command runs, while a
// command waits at its prompt, then at the menu prompt.
TEST(ProgramWithSimulator, CtrlCStopsTheCommandKeepsTheLinkAndQuitsAtTheMenu) {
    // The first two get-params tries go unanswered, so the exchange is still
    // running when the first one reaches the instrument; the third succeeds.
    SimProgram sim({"--only-code", "8201", "--drop-first", "2"});
    ASSERT_GT(sim.port(), 128);
    BackgroundProcess tool({bin_path("qm38v2con-service")}, true);
    const std::string menu = connected_head(sim.port()) + kServiceMenu + ">";
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
    // The record fetched while Ctrl-C was pressed never went back; no clock was set.
    EXPECT_EQ(request_codes(sim.requests()), (std::vector<int>{8007, 8201, 8201, 8201, 8007}));
}

TEST(ProgramWithSimulator, UnansweredProbeLeavesTheDeviceUndefined) {
    SimProgram sim({"--ignore-probe"});
    ProcessResult r = run_tool("qm38v2con", com_answers(sim.port()), true);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    const std::string head = kBanner + kChoices + kTypePrompt + "Select COM port[1]:\nConnecting device...Error!\n" +
                             "\nFound device:   " + "Undefined\n\n" + kNotConnected;
    EXPECT_EQ(r.out.substr(0, head.size()), head) << r.out;
    // One probe on opening and six retries on idle events.
    EXPECT_EQ(request_codes(sim.requests()), std::vector<int>(7, 8007));
}

TEST(ProgramWithSimulator, SerialNotBeginningWithAIsNotTheInstrument) {
    SimProgram sim({"--serial", "B0001234"});
    ProcessResult r = run_tool("qm38v2con", com_answers(sim.port()) + "sm\n", true);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Connecting device...Error!\n\nFound device:   Undefined\n\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[ he] help"), std::string::npos);
    auto codes = request_codes(sim.requests());
    EXPECT_EQ(codes, std::vector<int>(7, 8007));
}

struct FaultCase {
    std::vector<std::string> options;
    std::string error;        // expected error line of sm, empty: sm succeeds
    bool params_sent = true;  // whether the record reached the instrument's set-params service
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    for (const auto& o : c.options) *os << o << ' ';
}

class ProgramUnderFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ProgramUnderFaults, SetMemoryReportsOrSurvives) {
    const FaultCase& c = GetParam();
    SimProgram sim(c.options);
    ProcessResult r = run_tool("qm38v2con", com_answers(sim.port()) + "sm\nq\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, connected_head(sim.port()) + kMenu + ">>" + "\nDevice disconnected!\n");
    EXPECT_EQ(r.err, c.error);
    auto codes = request_codes(sim.requests());
    bool sent_params = std::find(codes.begin(), codes.end(), 8202) != codes.end();
    EXPECT_EQ(sent_params, c.params_sent);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ProgramUnderFaults,
    ::testing::Values(
        FaultCase{{"--only-code", "8201", "--status-only", "5"}, "Command R62_cmd_set_memory error(code=1)!\n", false},
        FaultCase{{"--only-code", "8201", "--reject"}, "Command R62_cmd_set_memory error(code=1)!\n", false},
        FaultCase{{"--silent", "8201"}, "Command R62_cmd_set_memory error(code=255)!\n", false},
        FaultCase{{"--only-code", "8201", "--drop-first", "3"}, "Command R62_cmd_set_memory error(code=255)!\n",
                  false},
        FaultCase{{"--fail", "8202:1"}, "Command R62_cmd_set_memory error(code=1)!\n"},
        FaultCase{{"--corrupt-every", "2"}, ""}, FaultCase{{"--stray", "3"}, ""},
        FaultCase{{"--split", "3"}, ""}));

TEST(ProgramWithSimulator, StatusFramesOnlyAreSentThreeTimes) {
    SimProgram sim({"--only-code", "8201", "--status-only", "0"});
    ProcessResult r = run_tool("qm38v2con", com_answers(sim.port()) + "sm\nq\n");
    ASSERT_FALSE(r.timed_out);
    auto codes = request_codes(sim.requests());
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 8201), 3);
    // A successful status alone delivers no record: nothing is sent back.
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 8202), 0);
    EXPECT_NE(r.err, "");
}

// What the operator sees of answers without their data and of false starts
// before an answer.
TEST(ServiceEdition, AnswersWithoutTheirDataFailWith254FalseStartsCostNothing) {
    const struct {
        std::vector<std::string> options;
        std::string command, error;
        std::vector<int> requests;
    } cases[] = {
        {{"--only-code", "8002", "--status-only", "0"}, "gt", "Command R40_cmd_get_time error(code=254)!\n",
         {8007, 8002, 8002, 8002}},
        {{"--only-code", "8007", "--answer-size", "13"}, "ss", "Command R62_cmd_set_serial error(code=254)!\n",
         {8007, 8007}},
        {{"--stray-b", "1"}, "gs", "", {8007, 8007}},
        {{"--false-header"}, "gs", "", {8007, 8007}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0] + " " + c.command);
        SimProgram sim(c.options);
        ProcessResult r = run_tool("qm38v2con-service", com_answers(sim.port()) + c.command + "\nq\n");
        ASSERT_FALSE(r.timed_out);
        EXPECT_TRUE(r.out.starts_with(connected_head(sim.port()))) << r.out;
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(request_codes(sim.requests()), c.requests);
    }
}

TEST(ServiceEdition, ParameterDumpFileEqualsTheConsoleText) {
    SimProgram sim({});
    std::string dir = temp_dir();
    ASSERT_FALSE(dir.empty());
    ProcessResult r = run_tool("qm38v2con-service", com_answers(sim.port()) + "gp\n\nyes\n\nq\n", false, dir);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    std::string file = read_file(dir + "/params_A0001234.txt");
    ASSERT_FALSE(file.empty());
    const std::string prompts = "Extended parameters[no]:Save to file[no]:Serial = A0001234\n"
                                "Enter params file name[params_A0001234.txt]:";
    EXPECT_NE(r.out.find(prompts + file + ">"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 19);
    EXPECT_TRUE(file.starts_with("Params.audio_vol         = ")) << file;
    std::remove((dir + "/params_A0001234.txt").c_str());
    rmdir(dir.c_str());
}

// The simulator served from this process, so the test reads exactly what
// the instrument received.
class InProcessSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        sim_.reset(SIM_create_demo());
        ASSERT_NE(sim_, nullptr);
        ASSERT_EQ(SIM_serve_pty(sim_.get(), &path_, &port_), 0);
    }
    std::vector<uint8_t> sent_params() {
        for (const auto& req : SIM_requests(sim_.get()))
            if (req.code == 8202) return req.payload;
        return {};
    }
    sim_ptr sim_;
    std::string path_;
    int32_t port_ = 0;
};

TEST_F(InProcessSimulator, SetMemoryChangesOnlyTheRecordCount) {
    std::vector<uint8_t> before = SIM_get_params(sim_.get());
    ASSERT_GE(before.size(), 319u);
    ProcessResult r = run_tool("qm38v2con", com_answers(port_) + "sm\nq\n");
    ASSERT_FALSE(r.timed_out);
    std::vector<uint8_t> sent = sent_params();
    ASSERT_EQ(sent.size(), 319u);
    std::vector<uint8_t> expected(before.begin(), before.begin() + 319);
    expected[94] = 4000 & 0xFF;
    expected[95] = 4000 >> 8;
    expected[96] = 0;
    expected[97] = 0;
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(SIM_get_max_stored(sim_.get()), 4000);
}

TEST_F(InProcessSimulator, EditorWithEnterEverywhereOnlySetsTheEditFlag) {
    std::vector<uint8_t> before = SIM_get_params(sim_.get());
    ASSERT_GE(before.size(), 319u);
    before[99] = 0;
    ASSERT_EQ(SIM_set_params(sim_.get(), before), 0);
    // "Extended parameters" and the 13 basic prompts, each answered with Enter.
    ProcessResult r = run_tool("qm38v2con-service", com_answers(port_) + "sp\n" + std::string(14, '\n') + "q\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("Extended parameters[no]:Params.audio_vol["), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Params.cond_units["), std::string::npos) << r.out;
    std::vector<uint8_t> sent = sent_params();
    ASSERT_EQ(sent.size(), 319u);
    std::vector<uint8_t> expected(before.begin(), before.begin() + 319);
    expected[99] = 1;
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(r.err, "");
}
