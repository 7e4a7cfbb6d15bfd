// The parameter commands against the simulated instrument: what is fetched,
// what goes back (the 319-byte head), what is printed and saved.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "commands/r62_params.h"
#include "console/globals.h"
#include "link/wire.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;

std::string join(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l;
    return all;
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class SimParams : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.open());
        // A recognisable record: the tail behind the head too.
        bytes p = SIM_get_params(sim());
        p.resize(420);
        for (size_t i = 319; i < p.size(); ++i) p[i] = static_cast<uint8_t>(0xA0 + i % 16);
        put_i32le(p.data(), 94, 123);
        p[99] = 7;  // edit_flag
        p[88] = 0x5C;  // unnamed bytes travel unchanged
        p[104] = 0x6D;
        put_u32le(p.data(), 187, 0xDEADBEEF);
        ASSERT_EQ(SIM_set_params(sim(), p), 0);
        fetched = p;
        SIM_clear_requests(sim());
    }
    sim_t* sim() { return link.sim(); }
    std::vector<sim_request_t> requests(uint16_t code) {
        std::vector<sim_request_t> out;
        for (auto& r : SIM_requests(sim()))
            if (r.code == code) out.push_back(r);
        return out;
    }
    void set_faults(const std::function<void(sim_faults_t&)>& change) {
        sim_faults_t f = SIM_get_faults(sim());
        change(f);
        SIM_set_faults(sim(), f);
    }
    bytes head() const { return bytes(fetched.begin(), fetched.begin() + 319); }

    SimLink link;
    bytes fetched;
    console_capture_t cap;
};

// Runs with the working directory in a fresh temporary directory.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/params_test_XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    ~TempDir() {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
    }
    const std::filesystem::path& path() const { return dir_; }

private:
    std::filesystem::path dir_;
    std::filesystem::path old_;
};

}  // namespace

// ---- sm ---------------------------------------------------------------------------------

TEST_F(SimParams, SetMemoryChangesOnlyTheStoredRecordCount) {
    int32_t r = -1;
    cap = console_run("", [&] { r = R62_cmd_set_memory(nullptr, 0); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(cap.out, "");
    EXPECT_EQ(cap.err, "");
    auto sets = requests(8202);
    ASSERT_EQ(sets.size(), 1u);
    bytes expect = head();
    put_i32le(expect.data(), 94, 4000);  // A0 0F 00 00; edit_flag stays 7
    EXPECT_EQ(sets[0].payload.size(), 319u);
    EXPECT_EQ(sets[0].payload, expect);
    EXPECT_EQ(SIM_get_max_stored(sim()), 4000);
}

TEST_F(SimParams, SetMemoryFailuresAreReportedUnderItsName) {
    set_faults([](sim_faults_t& f) { f.fail_codes[8202] = 1; });
    int32_t r = 0;
    cap = console_run("", [&] { r = R62_cmd_set_memory(nullptr, 0); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.err, "Command R62_cmd_set_memory error(code=1)!\n");
    EXPECT_EQ(cap.out, "");

    set_faults([](sim_faults_t& f) {
        f.fail_codes.clear();
        f.silent_codes.insert(8201);
    });
    SIM_clear_requests(sim());
    cap = console_run("", [&] { r = R62_cmd_set_memory(nullptr, 0); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.err, "Command R62_cmd_set_memory error(code=255)!\n");
    EXPECT_TRUE(requests(8202).empty());
}

// ---- editor -------------------------------------------------------------------------------

TEST_F(SimParams, EditorWithEnterEverywhereSendsTheHeadBackWithEditFlagSet) {
    int32_t r = -1;
    cap = console_run("y\n", [&] { r = R62_cmd_set_params(nullptr, 0); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(cap.err, "");
    EXPECT_EQ(cap.out.rfind("Extended parameters[no]:Params.audio_vol[1]:", 0), 0u) << cap.out;
    size_t prompts = 0;
    for (size_t pos = 0; (pos = cap.out.find(":Params.", pos)) != std::string::npos; ++pos) ++prompts;
    EXPECT_EQ(prompts, 81u);
    EXPECT_TRUE(cap.out.ends_with("]:")) << "nothing printed after the last prompt";
    auto sets = requests(8202);
    ASSERT_EQ(sets.size(), 1u);
    bytes expect = head();
    expect[99] = 1;
    EXPECT_EQ(sets[0].payload, expect);
}

TEST_F(SimParams, EditorBasicGroupStoresAcceptedAnswersOnly) {
    int32_t r = -1;
    // Extended: no. audio_vol: 3 (out of range), then 2. contrast: 101, then 80.
    cap = console_run("n\n3\n2\n101\n80\n", [&] { r = R62_cmd_set_params(nullptr, 0); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(cap.out.rfind("Extended parameters[no]:Params.audio_vol[1]:Params.audio_vol[1]:Params.contrast[55]:"
                            "Params.contrast[55]:Params.meas_mode[",
                            0),
              0u)
        << cap.out;
    size_t prompts = 0;
    for (size_t pos = 0; (pos = cap.out.find(":Params.", pos)) != std::string::npos; ++pos) ++prompts;
    EXPECT_EQ(prompts, 13u + 2u);
    auto sets = requests(8202);
    ASSERT_EQ(sets.size(), 1u);
    bytes expect = head();
    expect[1] = 2;
    expect[102] = 80;
    expect[99] = 1;
    EXPECT_EQ(sets[0].payload, expect);
}

TEST_F(SimParams, EditorFetchFailureShowsNoPrompt) {
    set_faults([](sim_faults_t& f) { f.fail_codes[8201] = 1; });
    int32_t r = 0;
    cap = console_run("y\n", [&] { r = R62_cmd_set_params(nullptr, 0); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.out, "");
    EXPECT_EQ(cap.err, "Command R62_cmd_set_params error(code=1)!\n");
    EXPECT_TRUE(requests(8202).empty());
}

// ---- dump ---------------------------------------------------------------------------------

TEST_F(SimParams, BasicDumpPrintsNineteenLinesAfterThePrompts) {
    TempDir dir;
    int32_t r = -1;
    cap = console_run("n\nn\n", [&] { r = R62_cmd_get_params(nullptr, 0); });
    EXPECT_EQ(r, 0);
    const std::string prompts = "Extended parameters[no]:Save to file[no]:";
    ASSERT_EQ(cap.out.rfind(prompts, 0), 0u) << cap.out;
    auto lines = split_lines(cap.out.substr(prompts.size()));
    EXPECT_EQ(lines.size(), 19u);
    EXPECT_EQ(lines.front(), "Params.audio_vol         = 1\n");
    EXPECT_EQ(lines.back(), "Params.cond_units          = " + std::to_string(fetched[126]) + "\n");
    EXPECT_EQ(cap.out.substr(prompts.size()), join(params_dump_lines(fetched.data(), false)));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // no file unless asked
    EXPECT_TRUE(requests(8202).empty());                 // the dump sends nothing
}

TEST_F(SimParams, DumpFileHoldsExactlyTheConsoleLinesUnderTheSerialName) {
    TempDir dir;
    int32_t r = -1;
    cap = console_run("y\ny\n\n", [&] { r = R62_cmd_get_params(nullptr, 0); });
    EXPECT_EQ(r, 0);
    const std::string prompts =
        "Extended parameters[no]:Save to file[no]:Serial = A0001234\n"
        "Enter params file name[params_A0001234.txt]:";
    ASSERT_EQ(cap.out.rfind(prompts, 0), 0u) << cap.out;
    std::string dump = cap.out.substr(prompts.size());
    EXPECT_EQ(split_lines(dump).size(), 93u);
    EXPECT_EQ(read_file(dir.path() / "params_A0001234.txt"), dump);
    EXPECT_STREQ(serial_no, "A0001234");
}

TEST_F(SimParams, DumpFileTakesTheGivenNameAndAnEmptySerialGivesABareDefault) {
    TempDir dir;
    int32_t r = -1;
    cap = console_run("n\ny\nmine.txt\n", [&] { r = R62_cmd_get_params(nullptr, 0); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(read_file(dir.path() / "mine.txt"), join(params_dump_lines(fetched.data(), false)));

    // The serial read fails: the dump goes on with an empty serial.
    set_faults([](sim_faults_t& f) { f.fail_codes[8007] = 1; });
    cap = console_run("n\ny\n\n", [&] { r = R62_cmd_get_params(nullptr, 0); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(cap.err, "Command R40_cmd_get_serial error(code=1)!\n");
    EXPECT_NE(cap.out.find("Enter params file name[params_.txt]:"), std::string::npos) << cap.out;
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "params_.txt"));
}

TEST_F(SimParams, DumpToAFileThatCannotBeCreatedStillPrints) {
    TempDir dir;
    int32_t r = -1;
    cap = console_run("n\ny\nno_such_dir/x.txt\n", [&] { r = R62_cmd_get_params(nullptr, 0); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(cap.err, "");
    EXPECT_TRUE(cap.out.ends_with(join(params_dump_lines(fetched.data(), false))));
}
