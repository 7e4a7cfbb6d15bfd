// Single measurement, scan, raw samples and live lines: the printed texts,
// and the sequences against the simulator's state machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <sstream>
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

template <typename... Args>
std::string fmt(const char* format, Args... args) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}
std::string join(const std::vector<std::string>& v) { return std::accumulate(v.begin(), v.end(), std::string()); }

// Takes the live lines out of the output in their order; what remains is the
// command's own text.
std::string without(std::string out, const std::vector<std::string>& lines) {
    size_t pos = 0;
    for (const auto& l : lines) {
        if ((pos = out.find(l, pos)) == std::string::npos) return "MISSING " + l;
        out.erase(pos, l.size());
    }
    return out;
}

int64_t fake_ms = 0;  // a clock that moves only when slept on
int64_t fake_now() { return fake_ms; }
void fake_sleep(int32_t ms) { fake_ms += ms; }

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
    bytes last() {
        bytes rec;
        SIM_get_file(sim(), "meas/last.dat", &rec);
        return rec;
    }
    SimLink link;
};

const std::string kArm = " s25 e2002 e4001 e2001";
const std::string kDownload = "Downloading record[-1,4063]0.450.900.1350.1800.2250.2700.3150.3600.4050.Ok\n";
enum setup_t { plain, interrupt_measuring, failing_reads, never_ready, lost_link };

}  // namespace

TEST(LiveEventLine, EachKnownCodeItsLineOthersNothing) {
    const std::tuple<uint32_t, int32_t, float, float, std::string> rows[] = {
        {1, 9, 1, 2, "Start of measurement\n"}, {2, 3, 1, 2, "   Progress:3\n"}, {3, -1, 1, 2, "   Button:-1\n"},
        {4, 5, 0.1234f, 12.34f, "Finished:   Error=5 Kappa= 0.123 Sigma= 12.3\n"}, {129, 7, 1, 2, "Scanner start:7\n"},
        {130, 12, -1.5f, 250.25f, "   Progress:12   Kappa=-1.500  Sigma=250.2\n"}, {131, 2, 1, 2, "   Button:2\n"},
        {132, 0, 1, 2, "Finished\n"}, {0, 1, 1, 2, ""}, {5, 1, 1, 2, ""}, {0x80000001u, 1, 1, 2, ""}};
    for (const auto& [code, value, kappa, sigma, line] : rows) {
        bytes p(LIVE_SIZE), frame(LIVE_SIZE + 13);
        live_event_encode({code, value, kappa, sigma}, p.data());
        MXX_build_frame(frame.data(), LIVE_CODE, p.data(), LIVE_SIZE, 0, 0);
        EXPECT_EQ(console_run("", [&] { R62_event_live_data(0, nullptr, frame.data(), 0); }).out, line);
    }
    EXPECT_EQ(live_event_line(bytes{1, 0, 0, 0, 0, 0, 0, 0}), "") << "shorter than the record";
}

TEST(MeasTexts, ResultLineAndPointLinesWithinThePointArrays) {
    bytes r(MR_SIZE, 0);  // exactly the record: ASan sees any read past it
    put_u32le(r.data(), MR_TYPE_WORD, 0xFF020507u);  // Type: the two low bits only
    r[MR_MEAS_MODE] = 2, r[MR_PIN] = 1, r[MR_ERROR] = 4, r[MR_DIA] = 7, r[MR_MARKS] = 0x41;  // points 0 and 6 marked
    put_f32le(r.data(), MR_SUSC, 1.5f), put_f32le(r.data(), MR_COND, -20.25f);
    put_i32le(r.data(), MR_SAMPLE_NO, 3), put_i32le(r.data(), MR_MEAS_TIME, 7);
    EXPECT_EQ(meas_result_line(r.data()),
              "Type=3,MeasMode=2,Curve1=5,Curve2=2,Pin=1,Error=4,Dia= 7    Susc= 1.500 Cond= -20.2 [ 3/ 7]\n");
    for (int i = 0; i < MR_POINTS; ++i)
        put_f32le(r.data(), MR_SUSC_POINTS + 4 * i, i / 4.0f), put_f32le(r.data(), MR_COND_POINTS + 4 * i, i * 10.0f);
    EXPECT_EQ(join(scan_point_lines(r.data())),
              "[   0.000    0.0]    0.250   10.0     0.500   20.0     0.750   30.0     1.000   40.0 \n"
              "    1.250   50.0 [   1.500   60.0]\n");
    for (const auto& [count, lines] : {std::pair{0, 1u}, {-3, 1u}, {5, 1u}, {6, 2u}, {480, 96u}, {1000, 96u}}) {
        put_i32le(r.data(), MR_MEAS_TIME, count);
        const auto got = scan_point_lines(r.data());
        EXPECT_TRUE(got.size() == lines && (count > 0 || got[0] == "\n")) << count;
    }
}

// Triggered: live lines, the latest record and its line. Cancelled: no wait,
// no download. End of input at the prompt, Ctrl-C while measuring: the cancel
// event once. Failing state reads, a ready state that never comes, a lost
// link: the command's report, nothing sent after, and after a lost link the
// next command is refused.
TEST_F(SimMeasure, MeasureSequencesAndHowTheyEnd) {
    const std::tuple<const char*, setup_t, std::string, const char*, size_t> rows[] = {
        {"0\n", plain, kArm + " e2001", "", 0},
        {"1\n", plain, kArm + " e2002", "", 0},
        {"", plain, kArm + " e2002", "", 0},
        {"0\n", interrupt_measuring, kArm + " e2001 e2002", "", 0},
        {"", failing_reads, " s25", "Command R62_cmd_measure error(code=1)!\n", 11},  // with the first, ignored
        {"", never_ready, " s25", "Command R62_cmd_measure error(code=-6)!\n", 302},  // 0 to 30 s in 100 ms
        {"", lost_link, " s25", "Command R62_cmd_measure error(code=-7)!\n", 0},
    };
    for (const auto& [input, setup, requests, err, reads] : rows) {
        SCOPED_TRACE(std::string(input) + " setup " + std::to_string(setup));
        sim_faults_t f;
        if (setup == failing_reads) f.fail_codes[8024] = 1;
        f.drop_link_after = setup == lost_link ? 5 : 0;  // counted from the probe of a new connection
        SIM_set_faults(sim(), f);
        sim_settings_t s = SIM_get_settings(sim());
        s.arm_delay_ms = setup >= never_ready ? 1000000000 : 0;
        SIM_set_settings(sim(), s);
        ASSERT_TRUE(setup != lost_link || link.open());
        const bool real_time = setup == lost_link;  // the limits need none, the link's end does
        R62_cmd_set_poll_clock(real_time ? nullptr : fake_now, real_time ? nullptr : fake_sleep);
        SIM_set_request_hook(sim(), [s = sim(), setup](const sim_request_t& q) {
            if (setup == interrupt_measuring && q.code == 8022 && SIM_request_count(s, 8022) == 4) input_interrupt();
        });
        SIM_clear_requests(sim());
        int32_t r = 1;
        const auto cap = console_run(input, [&] { r = R62_cmd_measure(nullptr, 0); });
        input_interrupt_clear();
        const bool triggered = setup == plain && *input == '0';
        EXPECT_EQ(r, setup == plain && *input != '\0' ? 0 : -1);
        EXPECT_EQ(cap.err, err);
        EXPECT_EQ(trail(), requests);
        EXPECT_EQ(SIM_request_count(sim(), 8211), triggered ? 10u : 0u);
        EXPECT_TRUE(reads == 0 || SIM_request_count(sim(), 8024) == reads) << SIM_request_count(sim(), 8024);
        const bytes rec = last();
        std::vector<std::string> lives = {"Start of measurement\n", "   Progress:1\n", "   Progress:2\n", "   Progress:3\n",
                                          fmt("Finished:   Error=0 Kappa=%6.3f Sigma=%5.1f\n",
                                              get_f32le(rec.data(), MR_SUSC), get_f32le(rec.data(), MR_COND))};
        if (!triggered) lives.clear();
        const std::string own = (setup < failing_reads ? "0-Trigger,1-Cancel[0]:" : "") +
                                (triggered ? kDownload + meas_result_line(rec.data()) : "");
        // Whether the interrupted one's first live line comes in time is open.
        EXPECT_TRUE(setup == interrupt_measuring || without(cap.out, lives) == own) << cap.out;
    }
    SIM_set_request_hook(sim(), nullptr);
    EXPECT_EQ(console_run("", [] { R62_cmd_measure_data(nullptr, 0); }).err, "\nDevice not connected!\n");
}

// 7 points: two point lines, one marked; none: the single "\n". End of input
// while scanning: the stop event, no listing.
TEST_F(SimMeasure, ScanPointsLiveLinesAndListing) {
    const std::tuple<const char*, int, int32_t> rows[] = {{"\n\n\n\n\n\n\n1\n", 7, 0}, {"1\n", 0, 0}, {"\n\n", 2, -1}};
    for (const auto& [input, points, result] : rows) {
        SIM_clear_requests(sim());
        int32_t r = 1;
        const auto cap = console_run(input, [&] { r = R62_cmd_scanner(nullptr, 0); });
        EXPECT_EQ(r, result) << input;
        EXPECT_EQ(cap.err, "") << input;
        EXPECT_EQ(SIM_request_count(sim(), 8211), result == 0 ? 10u : 0u) << input;
        const bytes rec = last();
        std::vector<std::string> lives = {"Scanner start:0\n"};
        std::string own, events = " s25 e2002 e2002 e4001 e2001";
        for (int i = 0; i < points; ++i) {
            lives.push_back("   Button:1\n");
            lives.push_back(fmt("   Progress:%d   Kappa=%6.3f  Sigma=%5.1f\n", i + 1,
                                get_f32le(rec.data(), MR_SUSC_POINTS + 4 * i), get_f32le(rec.data(), MR_COND_POINTS + 4 * i)));
            own += "0-Trigger,1-Stop[0]:", events += " e2001";
        }
        EXPECT_EQ(trail(), events + " e2002") << input;
        if (result != 0) continue;  // its last live lines may come after the command
        lives.insert(lives.end(), {"   Button:2\n", "Finished\n"});
        EXPECT_EQ(without(cap.out, lives), own + "0-Trigger,1-Stop[0]:" + kDownload + fmt("Meas time:%2d\n", points) +
                                               join(scan_point_lines(rec.data())));
    }
}

// The file holds what the console shows; no samples: no request, an empty
// file; a file that cannot be made is reported, the console still gets all.
TEST_F(SimMeasure, SamplesToConsoleAndFile) {
    const std::string file = ::testing::TempDir() + "meas_test_samples.dat";
    const std::string prompts = "Number of samples[1200]:Save samples to file[no]:Enter file name[samples.dat]:";
    const std::tuple<std::string, int, std::string> rows[] = {{"5\ny\n" + file + "\n", 5, ""},
                                                              {"0\ny\n" + file + "\n", 0, ""},
                                                              {"3\ny\nno_dir/x\n", 3, "Error writing file:no_dir/x!\n"}};
    for (const auto& [input, count, err] : rows) {
        SIM_clear_requests(sim());
        int32_t r = -1;
        const auto cap = console_run(input, [&] { r = R62_cmd_measure_data(nullptr, 0); });
        EXPECT_EQ(r, 0) << input;
        EXPECT_EQ(cap.err, err) << input;
        EXPECT_EQ(SIM_request_count(sim(), 8212), static_cast<size_t>(count)) << input;
        ASSERT_EQ(cap.out.substr(0, prompts.size()), prompts) << input;
        const std::string samples = cap.out.substr(prompts.size());
        EXPECT_EQ(std::count(samples.begin(), samples.end(), '\n'), count) << input;
        std::ifstream in(file);
        std::stringstream content;
        content << in.rdbuf();
        EXPECT_TRUE(!err.empty() || (in.is_open() && content.str() == samples)) << input;
        std::remove(file.c_str());
    }
}
