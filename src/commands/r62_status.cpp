#include "commands/r62_status.h"

#include <array>
#include <cstdio>

#include "commands/bmp.h"
#include "commands/cmd_file.h"
#include "console/conutil.h"
#include "console/globals.h"
#include "libcomm/libcomm.h"
#include "libcomm/text.h"
#include "records/status.h"
#include "records/wire.h"
#include "services/r40_comm.h"
#include "services/r62_comm.h"

namespace {

constexpr const char* TAG = "MAIN";

struct model_bit_t {
    uint32_t mask;
    const char* line;    // printed when set
    const char* prompt;  // editor question
};
// Table order (what the get command prints).
constexpr model_bit_t MODEL_BITS[] = {
    {MODEL_LOGO, "Zorvanik logo displayed.\n", "Zorvanik logo"},
    {MODEL_BT_OFF, "Bluetooth disabled.\n", "Disable bluetooth"},
    {MODEL_ADC24, "24bit ADC\n", "24bit ADC"},
    {MODEL_RECT_COIL, "Rect. coil\n", "Rect. coil"},
};
// The editor asks in this order.
constexpr size_t MODEL_ASK_ORDER[] = {2, 0, 1, 3};
// Bits 8 to 15 travel back as read, except those the editor sets.
constexpr uint32_t MODEL_KEPT = 0xFF00;

}  // namespace

std::vector<std::string> status_lines(const uint8_t* s) {
    return {
        text_format("Status.error           = 0x%.8x\n", get_u32le(s, ST_ERROR)),
        text_format("Status.bat_voltage     = %dmV\n", get_i32le(s, ST_BAT_VOLTAGE)),
        text_format("Status.bat_perc        = %d%%\n", get_u16le(s, ST_BAT_PERC)),
        text_format("Status.contrast        = %d\n", get_u16le(s, ST_CONTRAST)),
        text_format("Status.bt_status       = %d\n", get_u16le(s, ST_BT_STATUS)),
        text_format("Status.gps_status      = %d\n", get_u16le(s, ST_GPS_STATUS)),
        text_format("Status.flash_size      = %uMB\n", get_u32le(s, ST_FLASH_SIZE) >> 20),
    };
}

std::vector<std::string> model_lines(uint32_t word) {
    std::vector<std::string> lines;
    for (const auto& bit : MODEL_BITS)
        if ((word & bit.mask) != 0) lines.emplace_back(bit.line);
    return lines;
}

int32_t R62_cmd_get_status(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_get_status";
    if (!cmd_connected()) return -1;
    std::array<uint8_t, ST_SIZE> status{};
    const int32_t r = R62_Get_Status(id_conn, status.data(), 1);
    if (r != 0) return cmd_error(NAME, r);
    log_write(TAG, "\n");
    for (const auto& line : status_lines(status.data())) log_write(TAG, "%s", line.c_str());
    log_write(TAG, "\n");
    return 0;
}

int32_t R62_cmd_get_model_rev(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_get_model_rev";
    if (!cmd_connected()) return -1;
    uint32_t word = 0;
    const int32_t r = R40_get_model_rev(id_conn, &word, 1);
    if (r != 0) return cmd_error(NAME, r);
    log_write(TAG, "Model information:\n");
    for (const auto& line : model_lines(word)) log_write(TAG, "%s", line.c_str());
    return 0;
}

int32_t R62_cmd_set_model_rev(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_set_model_rev";
    if (!cmd_connected()) return -1;
    uint32_t word = 0;
    int32_t r = R40_get_model_rev(id_conn, &word, 1);
    if (r != 0) return cmd_error(NAME, r);
    uint32_t asked = 0;
    for (const auto& bit : MODEL_BITS) asked |= bit.mask;
    uint32_t next = word & MODEL_KEPT & ~asked;
    for (size_t i : MODEL_ASK_ORDER) {
        const model_bit_t& bit = MODEL_BITS[i];
        int32_t on = (word & bit.mask) != 0 ? 1 : 0;
        input_integer_msg(&on, 0, 1, bit.prompt);
        if (cmd_stopped()) return -1;
        if (on != 0) next |= bit.mask;
    }
    r = R40_set_model_rev(id_conn, next, 1);
    if (r != 0) return cmd_error(NAME, r);
    log_write(TAG, "Ok.\n");
    return 0;
}

int32_t R62_cmd_get_screen(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_get_screen";
    if (!cmd_connected()) return -1;
    log_write(TAG, "Capturing screen image...");
    std::array<uint8_t, SCR_SIZE> screen{};
    const int32_t r = R62_Get_Screen(id_conn, screen.data(), 1);
    if (r != 0) return cmd_error(NAME, r);
    log_append(TAG, "Ok.\n");
    const auto name = cmd_ask_file_name(CMD_FILE_NAME_PROMPT, "screen.bmp");
    if (!name) return -1;
    cmd_file_t file;
    if (!file.open(*name, cmd_file_t::kind_t::download)) return -1;
    const bmp_t bmp = bmp_from_screen(screen);
    file.write(bmp.data(), bmp.size());
    return file.commit() ? 0 : -1;
}
