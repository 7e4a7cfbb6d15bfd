// Status, model word and screen commands against the simulated instrument,
// and the screen image file read back by a reader of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "commands/r62_status.h"
#include "console/conutil.h"
#include "records/wire.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

class SimStatus : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.open());
        SIM_clear_requests(sim());
    }
    sim_t* sim() { return link.sim(); }
    std::string run(menu_handler_t handler, const std::string& input = "") {
        int32_t r = 0;
        input_interrupt_clear();
        const auto cap = console_run(input, [&] { r = handler(nullptr, 0); });
        return std::to_string(r) + " " + cap.out + "|" + cap.err;
    }
    SimLink link;
};

// The headers of a 128 x 81 1-bit BMP as any reader expects them.
const char kBmpHead[] =
    "424d4e05000000000000"  // "BM", 1358, reserved, data at 62
    "3e000000280000008000000051000000"
    "01000100000000001005000000000000"
    "000000000200000000000000ffffff0000000000";

std::string hex(const uint8_t* p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {d[p[i] >> 4], d[p[i] & 15]};
    return s;
}

}  // namespace

TEST_F(SimStatus, StatusFieldsPrintUnsignedAndFlashInWholeMebibytes) {
    const std::tuple<uint32_t, std::string> rows[] = {{1048575, "0MB"}, {8388608, "8MB"}};
    for (const auto& [flash, shown] : rows) {
        bytes st(20);
        put_u32le(st.data(), 0, 0xDEADBEEF);
        put_i32le(st.data(), 4, -1);
        for (size_t off : {8, 10, 12}) put_u16le(st.data(), off, 65535);
        put_u16le(st.data(), 14, 7);
        put_u32le(st.data(), 16, flash);
        SIM_set_status(sim(), st);
        EXPECT_EQ(run(R62_cmd_get_status), "0 \nStatus.error           = 0xdeadbeef\n"
                                           "Status.bat_voltage     = -1mV\nStatus.bat_perc        = 65535%\n"
                                           "Status.contrast        = 65535\nStatus.bt_status       = 65535\n"
                                           "Status.gps_status      = 7\nStatus.flash_size      = " + shown + "\n\n|");
    }
    SIM_set_status(sim(), bytes(19, 0xFF));  // short: nothing from bytes that did not come
    EXPECT_EQ(run(R62_cmd_get_status), "-1 |Command R62_cmd_get_status error(code=254)!\n");
}

TEST_F(SimStatus, ModelWordShowsItsOptionsAndKeepsOnlyTheOtherBitsEightToFifteen) {
    const std::tuple<uint32_t, const char*> shown[] = {
        {0xFFFF0000, ""}, {0x5300, "Zorvanik logo displayed.\nBluetooth disabled.\n24bit ADC\nRect. coil\n"},
        {0x1200, "Bluetooth disabled.\n24bit ADC\n"}};
    for (const auto& [word, lines] : shown) {
        SIM_set_model(sim(), word);
        EXPECT_EQ(run(R62_cmd_get_model_rev), std::string("0 Model information:\n") + lines + "|");
    }
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
    SIM_clear_requests(sim());
    sim_faults_t f;
    f.fail_codes[8008] = 1;
    SIM_set_faults(sim(), f);
    EXPECT_EQ(run(R62_cmd_set_model_rev), "-1 |Command R62_cmd_set_model_rev error(code=1)!\n");
    EXPECT_EQ(SIM_request_count(sim(), 8105), 0u);
}

TEST_F(SimStatus, ScreenIsSavedAsBmpBottomRowFirst) {
    const fs::path dir = fs::temp_directory_path() / ("status_cmds_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    const bytes screen = SIM_get_screen(sim());
    const std::string out = run(R62_cmd_get_screen, "\n");
    std::ifstream in("screen.bmp", std::ios::binary);
    const bytes f(std::istreambuf_iterator<char>(in), {});
    fs::current_path(old);
    fs::remove_all(dir);

    EXPECT_EQ(out, "0 Capturing screen image...Ok.\nEnter file name[screen.bmp]:|");
    ASSERT_EQ(f.size(), 1358u);
    EXPECT_EQ(hex(f.data(), 62), kBmpHead);
    // Read back as a viewer would: row stride 16, height positive (bottom
    // up), bit 7 the leftmost pixel, palette index 1 black.
    const uint32_t data = get_u32le(f.data(), 10), width = get_u32le(f.data(), 18), height = get_u32le(f.data(), 22);
    int black = 0;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t byte = f[data + (height - 1 - y) * 16 + x / 8];
            const bool pixel = (byte >> (7 - x % 8)) & 1;
            const bool expect = x < 104 && ((screen[y * 13 + x / 8] >> (7 - x % 8)) & 1);
            ASSERT_EQ(pixel, expect) << x << "," << y;
            black += pixel;
        }
    }
    EXPECT_GT(black, 100);  // the display shows text
}
