// Status, model word and screen commands against the simulated instrument,
// and the screen image file read back by a reader of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "commands/r62_status.h"
#include "console/conutil.h"
#include "records/wire.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;

class SimStatus : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(link.open()); }
    sim_t* sim() { return link.sim(); }
    std::string run(menu_handler_t handler, const std::string& input = "") {
        int32_t r = 0;
        input_interrupt_clear();
        const auto cap = console_run(input, [&] { r = handler(nullptr, 0); });
        return std::to_string(r) + " " + cap.out + "|" + cap.err;
    }
    SimLink link;
};

// The headers of a 128 x 81 1-bit BMP as any reader expects them: "BM", file
// size 1358, reserved, pixels at 62; info size 40, 128 x 81, 1 plane, 1 bit,
// no compression, 1296 image bytes, no resolution, 2 colours; white, black.
const bytes kBmpHead = {0x42, 0x4d, 0x4e, 0x05, 0, 0, 0, 0, 0, 0, 0x3e, 0, 0, 0, 0x28, 0, 0, 0, 0x80, 0, 0, 0,
                        0x51, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0x10, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                        2, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0, 0, 0, 0, 0};

}  // namespace

// The record as the instrument lays it out, every field at its limit.
TEST_F(SimStatus, StatusFieldsPrintUnsignedAndFlashInWholeMebibytes) {
    const std::pair<uint32_t, const char*> rows[] = {{1048575, "0MB"}, {8388608, "8MB"}};
    for (const auto& [flash, shown] : rows) {
        bytes st = {0xEF, 0xBE, 0xAD, 0xDE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 7, 0, 0, 0, 0, 0};
        put_u32le(st.data(), 16, flash);
        SIM_set_status(sim(), st);
        EXPECT_EQ(run(R62_cmd_get_status), "0 \nStatus.error           = 0xdeadbeef\n"
                                           "Status.bat_voltage     = -1mV\nStatus.bat_perc        = 65535%\n"
                                           "Status.contrast        = 65535\nStatus.bt_status       = 65535\n"
                                           "Status.gps_status      = 7\nStatus.flash_size      = " +
                                               std::string(shown) + "\n\n|");
    }
}

TEST_F(SimStatus, ModelWordShowsItsOptionsAndKeepsOnlyTheOtherBitsEightToFifteen) {
    const std::pair<uint32_t, const char*> shown[] = {
        {0xFFFF1200, "Bluetooth disabled.\n24bit ADC\n"},
        {0x5300, "Zorvanik logo displayed.\nBluetooth disabled.\n24bit ADC\nRect. coil\n"}};
    for (const auto& [word, lines] : shown) {
        SIM_set_model(sim(), word);
        EXPECT_EQ(run(R62_cmd_get_model_rev), std::string("0 Model information:\n") + lines + "|");
    }
    // Asked in the order ADC, logo, Bluetooth, coil; the current bits are the defaults.
    const std::tuple<uint32_t, const char*, const char*, uint32_t> edits[] = {
        {0xFFFFEFFF, "", "24bit ADC[0]:Zorvanik logo[1]:Disable bluetooth[1]:Rect. coil[1]:", 0xEF00},
        {0x00000000, "1\n0\n1\n0\n", "24bit ADC[0]:Zorvanik logo[0]:Disable bluetooth[0]:Rect. coil[0]:", 0x1200},
        {0x0000A4FF, "0\n1\n0\n1\n", "24bit ADC[0]:Zorvanik logo[0]:Disable bluetooth[0]:Rect. coil[0]:", 0xE500},
    };
    for (const auto& [word, input, prompts, written] : edits) {
        SIM_set_model(sim(), word);
        EXPECT_EQ(run(R62_cmd_set_model_rev, input + std::string(4, '\n')), std::string("0 ") + prompts + "Ok.\n|");
        EXPECT_EQ(SIM_get_model(sim()), written) << std::hex << word;
    }
    ASSERT_EQ(SIM_apply_json(sim(), R"({"faults": {"fail_codes": {"8008": 1}}})", nullptr), 0);
    SIM_clear_requests(sim());
    EXPECT_EQ(run(R62_cmd_set_model_rev), "-1 |Command R62_cmd_set_model_rev error(code=1)!\n");
    EXPECT_EQ(SIM_request_count(sim(), 8105), 0u);
}

TEST_F(SimStatus, ScreenIsSavedAsBmpBottomRowFirst) {
    const bytes screen = SIM_get_screen(sim());
    ASSERT_GT(screen.size() - std::count(screen.begin(), screen.end(), 0), 20u);  // the display shows text
    const std::string path = std::filesystem::temp_directory_path() / ("screen_" + std::to_string(::getpid()));
    EXPECT_EQ(run(R62_cmd_get_screen, path + "\n"), "0 Capturing screen image...Ok.\nEnter file name[screen.bmp]:|");
    std::ifstream in(path, std::ios::binary);
    const bytes f(std::istreambuf_iterator<char>(in), {});
    std::filesystem::remove(path);
    ASSERT_EQ(f.size(), 1358u);
    EXPECT_EQ(bytes(f.begin(), f.begin() + 62), kBmpHead);
    // Read back as a viewer would: row stride 16, height positive (bottom
    // up), bit 7 the leftmost pixel, palette index 1 black.
    const uint32_t data = get_u32le(f.data(), 10), width = get_u32le(f.data(), 18), height = get_u32le(f.data(), 22);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const bool pixel = (f[data + (height - 1 - y) * 16 + x / 8] >> (7 - x % 8)) & 1;
            ASSERT_EQ(pixel, x < 104 && ((screen[y * 13 + x / 8] >> (7 - x % 8)) & 1)) << x << "," << y;
        }
    }
}
