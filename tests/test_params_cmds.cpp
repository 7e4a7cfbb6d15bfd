// The parameter commands against the simulated instrument: what is fetched,
// what goes back (the 319-byte head), what is printed and saved.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "commands/r62_params.h"
#include "console/conutil.h"
#include "records/wire.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

class SimParams : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.open());
        // A recognisable record: a tail behind the head, unnamed bytes, edit_flag 7.
        fetched = SIM_get_params(sim());
        fetched.resize(420);
        for (size_t i = 319; i < fetched.size(); ++i) fetched[i] = static_cast<uint8_t>(0xA0 + i % 16);
        put_i32le(fetched.data(), 94, 123);
        fetched[99] = 7;
        fetched[88] = 0x5C;
        fetched[104] = 0x6D;
        ASSERT_EQ(SIM_set_params(sim(), fetched), 0);
        SIM_clear_requests(sim());
    }
    sim_t* sim() { return link.sim(); }
    // The payloads of the set-params requests seen.
    std::vector<bytes> sent() {
        std::vector<bytes> out;
        for (auto& r : SIM_requests(sim()))
            if (r.code == 8202) out.push_back(r.payload);
        return out;
    }
    // The fetched head with one byte range replaced.
    bytes head_with(size_t offset, const bytes& changed) const {
        bytes head(fetched.begin(), fetched.begin() + 319);
        std::copy(changed.begin(), changed.end(), head.begin() + static_cast<long>(offset));
        return head;
    }

    SimLink link;
    bytes fetched;
};

std::string join(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l;
    return all;
}

}  // namespace

TEST_F(SimParams, SetMemoryChangesOnlyTheStoredRecordCount) {
    int32_t r = -1;
    const auto cap = console_run("", [&] { r = R62_cmd_set_memory(nullptr, 0); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(cap.out + cap.err, "");
    EXPECT_EQ(sent(), std::vector<bytes>{head_with(94, {0xA0, 0x0F, 0, 0})});  // 4000; edit_flag stays 7
    EXPECT_EQ(SIM_get_max_stored(sim()), 4000);
}

TEST_F(SimParams, EditorWithEnterEverywhereSendsTheHeadWithOnlyEditFlagSet) {
    int32_t r = -1;
    const auto cap = console_run("y\n" + std::string(81, '\n'), [&] { r = R62_cmd_set_params(nullptr, 0); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(cap.err, "");
    EXPECT_TRUE(cap.out.starts_with("Extended parameters[no]:Params.audio_vol[")) << cap.out;
    EXPECT_EQ(std::count(cap.out.begin(), cap.out.end(), ':'), 1 + 81) << "the extended group's prompts";
    EXPECT_EQ(sent(), std::vector<bytes>{head_with(99, {1})});
}

TEST_F(SimParams, DumpPrintsAfterItsPromptsAndSavesToTheFileAskedFor) {
    const fs::path dir = fs::temp_directory_path() / ("params_test_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    const std::string asked = "Extended parameters[no]:Save to file[no]:";
    const std::string serial = "Serial = A0001234\n";
    const std::tuple<const char*, bool, std::string, const char*, bool, std::string> rows[] = {
        // input, the serial read fails (from then on), prompts, file written, extended, error channel
        {"n\nn\n", false, asked, nullptr, false, ""},
        {"y\ny\nmine.txt\n", false, asked + serial + "Enter params file name[params_A0001234.txt]:", "mine.txt", true,
         ""},
        // cannot be created: reported, and printed all the same
        {"n\ny\nno_such_dir/x.txt\n", false, asked + serial + "Enter params file name[params_A0001234.txt]:",
         nullptr, false, "Error writing file:no_such_dir/x.txt!\n"},
        {"n\ny\n\n", true, asked + "Enter params file name[params_.txt]:", "params_.txt", false,
         "Command R40_cmd_get_serial error(code=1)!\n"},
    };
    for (const auto& [input, serial_fails, prompts, file, extended, errors] : rows) {
        if (serial_fails) {
            sim_faults_t f = SIM_get_faults(sim());
            f.fail_codes[8007] = 1;
            SIM_set_faults(sim(), f);
        }
        int32_t r = -1;
        const auto cap = console_run(input, [&] { r = R62_cmd_get_params(nullptr, 0); });
        const std::string dump = join(params_dump_lines(fetched.data(), extended));
        EXPECT_EQ(r, 0) << input;
        EXPECT_EQ(cap.out, prompts + dump) << input;
        EXPECT_EQ(cap.err, errors) << input;
        if (file != nullptr) {
            std::ifstream in(dir / file, std::ios::binary);
            std::stringstream content;
            content << in.rdbuf();
            EXPECT_EQ(content.str(), dump) << input;
            fs::remove(dir / file);
        }
        EXPECT_TRUE(fs::is_empty(dir)) << input;  // no other file
    }
    EXPECT_TRUE(sent().empty());  // the dump sends nothing
    fs::current_path(old);
    fs::remove_all(dir);
}

// Ctrl-C while the record is fetched, or the end of input at any prompt:
// nothing goes back to the instrument, no file is made, no dump is printed.
TEST_F(SimParams, StoppedCommandsSendAndWriteNothing) {
    const fs::path dir = fs::temp_directory_path() / ("params_stop_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    const std::string asked = "Extended parameters[no]:Save to file[no]:";
    const std::tuple<menu_handler_t, const char*, bool, std::string> rows[] = {
        // handler, answers, Ctrl-C during the fetch, printed
        {R62_cmd_set_memory, "", true, ""},
        {R62_cmd_set_params, "n\n", true, ""},
        {R62_cmd_set_params, "n\n1\n", false,
         "Extended parameters[no]:Params.audio_vol[" + std::to_string(fetched[PARAMS_OFF_AUDIO_VOL]) +
             "]:Params.contrast[" + std::to_string(fetched[PARAMS_OFF_CONTRAST]) + "]:"},
        {R62_cmd_get_params, "n\n", true, ""},
        {R62_cmd_get_params, "y\n", false, "Extended parameters[no]:Save to file[no]:"},
        {R62_cmd_get_params, "n\ny\n", false,
         asked + "Serial = A0001234\nEnter params file name[params_A0001234.txt]:"},
    };
    for (const auto& [handler, input, ctrl_c, printed] : rows) {
        if (ctrl_c)
            SIM_set_request_hook(sim(), [](const sim_request_t& r) {
                if (r.code == 8201) input_interrupt();
            });
        int32_t r = 0;
        const auto cap = console_run(input, [&] { r = handler(nullptr, 0); });
        SIM_set_request_hook(sim(), nullptr);
        input_interrupt_clear();
        EXPECT_EQ(r, -1) << input;
        EXPECT_EQ(cap.out, printed) << input;
        EXPECT_EQ(cap.err, "") << input;
        EXPECT_TRUE(fs::is_empty(dir)) << input;
    }
    EXPECT_TRUE(sent().empty());
    fs::current_path(old);
    fs::remove_all(dir);
}
