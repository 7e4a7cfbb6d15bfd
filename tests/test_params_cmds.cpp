// The parameter dump against the simulated instrument: what is printed and
// saved, and how a file that cannot be written is reported; and what a
// stopped parameter command leaves. What set-memory and the editor send back
// shows in the programs' end-to-end tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "commands/r62_params.h"
#include "console/conutil.h"
#include "records/params.h"
#include "support/console_capture.h"
#include "support/files.h"
#include "support/sim_link.h"

namespace fs = std::filesystem;

// Runs in a directory of its own, which must hold only the files a test expects.
class SimParams : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.open());
        fetched = SIM_get_params(sim());
    }
    sim_t* sim() { return link.sim(); }

    WorkDir work;
    const fs::path dir = work.path();
    const std::string asked = "Extended parameters[no]:Save to file[no]:", serial = "Serial = A0001234\n";
    SimLink link;
    std::vector<uint8_t> fetched;
};

TEST_F(SimParams, DumpPrintsAfterItsPromptsAndSavesToTheFileAskedFor) {
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
        std::string dump;
        for (const auto& line : params_dump_lines(fetched.data(), extended)) dump += line;
        EXPECT_EQ(r, 0) << input;
        EXPECT_EQ(cap.out, prompts + dump) << input;
        EXPECT_EQ(cap.err, errors) << input;
        if (file != nullptr) {
            EXPECT_EQ(slurp_text(dir / file), dump) << input;
            fs::remove(dir / file);
        }
        EXPECT_TRUE(fs::is_empty(dir)) << input;  // no other file
    }
    EXPECT_EQ(SIM_request_count(sim(), 8202), 0u);  // the dump sends nothing
}

// Ctrl-C while the record is fetched, or the end of input at any prompt:
// nothing goes back to the instrument, no file is made, no dump is printed.
TEST_F(SimParams, StoppedCommandsSendAndWriteNothing) {
    const std::tuple<menu_handler_t, const char*, bool, std::string> rows[] = {
        // handler, answers, Ctrl-C during the fetch, printed
        {R62_cmd_set_params, "n\n", true, ""},
        {R62_cmd_set_params, "n\n1\n", false,
         "Extended parameters[no]:Params.audio_vol[" + std::to_string(fetched[PARAMS_OFF_AUDIO_VOL]) +
             "]:Params.contrast[" + std::to_string(fetched[PARAMS_OFF_CONTRAST]) + "]:"},
        {R62_cmd_get_params, "n\n", true, ""},
        {R62_cmd_get_params, "y\n", false, asked},
        {R62_cmd_get_params, "n\ny\n", false, asked + serial + "Enter params file name[params_A0001234.txt]:"},
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
    EXPECT_EQ(SIM_request_count(sim(), 8202), 0u);
}
