// The parameter dump against the simulated instrument: what is printed and
// saved, and how a file that cannot be written is reported. What set-memory
// and the editor send back shows in the programs' end-to-end tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "commands/r62_params.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace fs = std::filesystem;

TEST(SimParams, DumpPrintsAfterItsPromptsAndSavesToTheFileAskedFor) {
    SimLink link;
    ASSERT_TRUE(link.open());
    sim_t* sim = link.sim();
    const std::vector<uint8_t> fetched = SIM_get_params(sim);
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
            sim_faults_t f = SIM_get_faults(sim);
            f.fail_codes[8007] = 1;
            SIM_set_faults(sim, f);
        }
        int32_t r = -1;
        const auto cap = console_run(input, [&] { r = R62_cmd_get_params(nullptr, 0); });
        std::string dump;
        for (const auto& line : params_dump_lines(fetched.data(), extended)) dump += line;
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
    EXPECT_EQ(SIM_request_count(sim, 8202), 0u);  // the dump sends nothing
    fs::current_path(old);
    fs::remove_all(dir);
}
