// Single measurement, scan, raw samples and live lines: the printed texts,
// and the sequences against the simulator's state machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "commands/r62_live.h"
#include "commands/r62_measure.h"
#include "records/meas.h"
#include "records/wire.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;

std::string fmt(const char* format, auto... args) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

// Takes the live lines out of the output in their order; what remains is the
// command's own text.
std::string without(std::string out, const std::vector<std::string>& lines) {
    for (size_t pos = 0; const auto& l : lines) {
        if ((pos = out.find(l, pos)) == std::string::npos) return "MISSING " + l;
        out.erase(pos, l.size());
    }
    return out;
}

// A fresh demo instrument for each test, so its first measurement's values are known.
class SimMeasure : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(link.open()); }
    void TearDown() override { R62_cmd_set_poll_clock(nullptr, nullptr); }
    sim_t* sim() { return link.sim(); }
    // The state and event requests: " s25 e2002 e4001 e2001".
    std::string trail() {
        std::string s;
        for (const auto& r : SIM_requests(sim()))
            if (r.code == 8023 || r.code == 8022) s += fmt(r.code == 8023 ? " s%u" : " e%x", get_u32le(r.payload.data(), 0));
        return s;
    }
    SimLink link;
};

const std::string kArm = " s25 e2002 e4001 e2001", kPrompt = "0-Trigger,1-Cancel[0]:";
const std::string kDownload = "Downloading record[-1,4063]0.450.900.1350.1800.2250.2700.3150.3600.4050.Ok\n";
enum setup_t { plain, interrupt_measuring, failing_reads, never_ready, lost_link };

}  // namespace

// The payloads are laid out by their literal offsets, not by the record's encoder.
TEST(LiveEventLine, EachKnownCodeItsLineOthersNothing) {
    const std::tuple<uint32_t, int32_t, float, float, std::string> rows[] = {
        {1, 9, 1, 2, "Start of measurement\n"}, {2, 3, 1, 2, "   Progress:3\n"}, {3, -1, 1, 2, "   Button:-1\n"},
        {4, 5, 0.1234f, 12.34f, "Finished:   Error=5 Kappa= 0.123 Sigma= 12.3\n"}, {129, 7, 1, 2, "Scanner start:7\n"},
        {130, 12, -1.5f, 250.25f, "   Progress:12   Kappa=-1.500  Sigma=250.2\n"}, {131, 2, 1, 2, "   Button:2\n"},
        {132, 0, 1, 2, "Finished\n"}, {0, 1, 1, 2, ""}, {5, 1, 1, 2, ""}, {0x80000001u, 1, 1, 2, ""}};
    for (const auto& [code, value, kappa, sigma, line] : rows) {
        bytes p(LIVE_SIZE), frame(LIVE_SIZE + 13);
        put_u32le(p.data(), 0, code), put_i32le(p.data(), 4, value);
        put_f32le(p.data(), 8, kappa), put_f32le(p.data(), 12, sigma);
        MXX_build_frame(frame.data(), LIVE_CODE, p.data(), LIVE_SIZE, 0, 0);
        EXPECT_EQ(console_run("", [&] { R62_event_live_data(0, nullptr, frame.data(), 0); }).out, line);
    }
    EXPECT_EQ(live_event_line(bytes{1, 0, 0, 0, 0, 0, 0, 0}), "") << "shorter than the record";
}

// The point lines' texts and marks are in the scan below; here a count
// outside 0..480 stays within the point arrays.
TEST(MeasTexts, ResultLineAndPointLinesWithinThePointArrays) {
    bytes r(MR_SIZE, 0);  // exactly the record: ASan sees any read past it
    put_u32le(r.data(), MR_TYPE_WORD, 0xFF020507u);  // Type: the two low bits only
    r[MR_MEAS_MODE] = 2, r[MR_PIN] = 1, r[MR_ERROR] = 4, r[MR_DIA] = 7;
    put_f32le(r.data(), MR_SUSC, 1.5f), put_f32le(r.data(), MR_COND, -20.25f);
    put_i32le(r.data(), MR_SAMPLE_NO, 3), put_i32le(r.data(), MR_MEAS_TIME, 7);
    EXPECT_EQ(meas_result_line(r.data()),
              "Type=3,MeasMode=2,Curve1=5,Curve2=2,Pin=1,Error=4,Dia= 7    Susc= 1.500 Cond= -20.2 [ 3/ 7]\n");
    for (const auto& [count, lines] : {std::pair{0, 1u}, {-3, 1u}, {5, 1u}, {6, 2u}, {480, 96u}, {1000, 96u}}) {
        put_i32le(r.data(), MR_MEAS_TIME, count);
        EXPECT_EQ(scan_point_lines(r.data()).size(), lines) << count;
    }
}

// Triggered: live lines, the latest record and its line. Cancelled: no wait,
// no download. End of input at the prompt, Ctrl-C while measuring: the cancel
// event once. Failing state reads, a ready state that never comes, a lost
// link: the command's report, nothing sent after, and after a lost link the
// next command is refused.
TEST_F(SimMeasure, MeasureSequencesAndHowTheyEnd) {
    const std::vector<std::string> lives = {"Start of measurement\n", "   Progress:1\n", "   Progress:2\n",
                                            "   Progress:3\n", "Finished:   Error=0 Kappa= 0.162 Sigma= 12.5\n"};
    const std::tuple<const char*, setup_t, std::string, std::string, size_t, std::vector<std::string>> rows[] = {
        // input, setup, state and event requests, output without the live lines, state reads (0: any), live lines
        {"0\n", plain, kArm + " e2001",
         kPrompt + kDownload + "Type=1,MeasMode=1,Curve1=0,Curve2=0,Pin=0,Error=0,Dia= 6    Susc= 0.162 Cond=  12.5 [ 3/ 1]\n"
                               "=0", 0, lives},
        {"1\n", plain, kArm + " e2002", kPrompt + "=0", 2, {}},  // the first ignored, then ready
        {"", plain, kArm + " e2002", kPrompt + "=-1", 2, {}},
        {"0\n", interrupt_measuring, kArm + " e2001 e2002", kPrompt, 0, {}},  // its first live line may come
        {"", failing_reads, " s25", "Command R62_cmd_measure error(code=1)!\n=-1", 11, {}},
        {"", never_ready, " s25", "Command R62_cmd_measure error(code=-6)!\n=-1", 302, {}},  // 0 to 30 s in 100 ms
        {"", lost_link, " s25", "Command R62_cmd_measure error(code=-7)!\n=-1", 0, {}},
    };
    static int64_t now_ms = 0;  // moves only when slept on: the limits need no real time
    R62_cmd_set_poll_clock([] { return now_ms; }, [](int32_t ms) { now_ms += ms; });
    for (const auto& [input, setup, requests, own, reads, live] : rows) {
        // The link's end is counted from the probe of a new connection.
        ASSERT_EQ(SIM_apply_json(sim(), fmt(R"({"settings": {"arm_delay_ms": %d}, "faults": {"drop_link_after": %d%s}})",
                                            setup >= never_ready ? 600000 : 0, setup == lost_link ? 5 : 0,
                                            setup == failing_reads ? R"(, "fail_codes": {"8024": 1})" : ""),
                                 nullptr), 0);
        ASSERT_TRUE(setup != lost_link || link.open());
        if (setup == lost_link) R62_cmd_set_poll_clock(nullptr, nullptr);  // the link's end needs real time
        SIM_set_request_hook(sim(), [s = sim(), setup](const sim_request_t& q) {
            if (setup == interrupt_measuring && q.code == 8022 && SIM_request_count(s, 8022) == 4) input_interrupt();
        });
        SIM_clear_requests(sim());
        int32_t r = 1;
        const auto cap = console_run(input, [&] { r = R62_cmd_measure(nullptr, 0); });
        input_interrupt_clear();
        const std::string out = without(cap.out + cap.err + "=" + std::to_string(r), live);
        EXPECT_EQ(setup == interrupt_measuring ? out.substr(0, own.size()) : out, own);
        EXPECT_EQ(trail(), requests) << own;
        EXPECT_TRUE(reads == 0 || SIM_request_count(sim(), 8024) == reads) << own;
    }
    EXPECT_EQ(console_run("", [] { R62_cmd_measure_data(nullptr, 0); }).err, "\nDevice not connected!\n");
}

// 7 points: a line of five, the fifth marked, and one of two; none: the
// single "\n".
TEST_F(SimMeasure, ScanPointsLiveLinesAndListing) {
    // Kappa and sigma of each point as the simulator makes them, printed.
    const char* const progress[] = {" 0.500  Sigma= 25.0", " 0.661  Sigma= 24.8", " 0.746  Sigma= 24.1", " 0.716  Sigma= 23.1",
                                    " 0.584  Sigma= 21.8", " 0.412  Sigma= 20.4", " 0.282  Sigma= 18.9"};
    const std::pair<int, std::string> rows[] = {
        {7, "    0.500   25.0     0.661   24.8     0.746   24.1     0.716   23.1 [   0.584   21.8]\n"
            "    0.412   20.4     0.282   18.9 \n"},
        {0, "\n"}};
    for (const auto& [points, listing] : rows) {
        SIM_clear_requests(sim());
        int32_t r = 1;
        const auto cap = console_run(std::string(points, '\n') + "1\n", [&] { r = R62_cmd_scanner(nullptr, 0); });
        std::vector<std::string> lives = {"Scanner start:0\n"};
        std::string own, events = " s25 e2002 e2002 e4001 e2001";
        for (int i = 0; i < points; ++i) {
            lives.insert(lives.end(), {"   Button:1\n", fmt("   Progress:%d   Kappa=%s\n", i + 1, progress[i])});
            own += "0-Trigger,1-Stop[0]:", events += " e2001";
        }
        EXPECT_EQ(trail(), events + " e2002") << points;
        lives.insert(lives.end(), {"   Button:2\n", "Finished\n"});
        EXPECT_EQ(without(cap.out + cap.err + "=" + std::to_string(r), lives),
                  own + "0-Trigger,1-Stop[0]:" + kDownload + fmt("Meas time:%2d\n", points) + listing + "=0");
    }
}

// The file holds what the console shows; no samples: no request, an empty
// file; a file that cannot be made is reported, the console still gets all.
TEST_F(SimMeasure, SamplesToConsoleAndFile) {
    const std::string file = ::testing::TempDir() + "meas_test_samples.dat";
    const std::string prompts = "Number of samples[1200]:Save samples to file[no]:Enter file name[samples.dat]:";
    for (const auto& [count, name, err] : {std::tuple{5, file, ""}, {0, file, ""},
                                           {3, std::string("no_dir/x"), "Error writing file:no_dir/x!\n"}}) {
        SIM_clear_requests(sim());
        int32_t r = -1;
        const auto cap = console_run(fmt("%d\ny\n%s\n", count, name.c_str()), [&] { r = R62_cmd_measure_data(nullptr, 0); });
        std::ifstream in(file);
        const std::string saved = *err ? cap.out.substr(prompts.size()) : std::string(std::istreambuf_iterator<char>(in), {});
        EXPECT_EQ(cap.out + cap.err + "=" + std::to_string(r), prompts + saved + err + "=0") << name;
        EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), count) << name;
        EXPECT_EQ(SIM_request_count(sim(), 8212), static_cast<size_t>(count)) << name;
        EXPECT_TRUE(*err || in.is_open()) << name;
        std::remove(file.c_str());
    }
}
