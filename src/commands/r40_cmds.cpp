#include "commands/r40_cmds.h"

#include <cstring>

#include "console/globals.h"
#include "libcomm/libcomm.h"
#include "link/mxx_comm.h"
#include "records/dev_time.h"

namespace {

constexpr int32_t OFFSET_MIN = -12;
constexpr int32_t OFFSET_MAX = 12;

local_clock_fn local_clock = local_time_now;

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    int64_t era = floor_div(y, 400);
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t* y, int64_t* m, int64_t* d) {
    z += 719468;
    int64_t era = floor_div(z, 146097);
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = yoe + era * 400 + (*m <= 2 ? 1 : 0);
}

}  // namespace

dev_time_t dev_time_add_hours(dev_time_t t, int32_t hours) {
    // Month first, so an out-of-range month cannot throw the day count off.
    int64_t month0 = static_cast<int64_t>(t.month) - 1;
    int64_t year = t.year + floor_div(month0, 12);
    int64_t month = month0 - floor_div(month0, 12) * 12 + 1;
    int64_t total_hours = static_cast<int64_t>(t.hour) + hours;
    int64_t day_shift = floor_div(total_hours, 24);
    int64_t days = days_from_civil(year, month, 1) + (static_cast<int64_t>(t.day) - 1) + day_shift;
    int64_t y, m, d;
    civil_from_days(days, &y, &m, &d);
    t.year = static_cast<int32_t>(y);
    t.month = static_cast<int32_t>(m);
    t.day = static_cast<int32_t>(d);
    t.hour = static_cast<int32_t>(total_hours - day_shift * 24);
    return t;
}

void R40_cmd_set_local_clock(local_clock_fn fn) { local_clock = fn ? fn : local_time_now; }

int32_t R40_cmd_get_fw_version(char[], int32_t) {
    if (!cmd_connected()) return -1;
    // Twice the version's size, so a full 8-character text stays terminated.
    char version[2 * R40_FW_VERSION_LEN] = {};
    int32_t r = R40_get_fw_version(id_conn, version, 1);
    if (r != 0) return cmd_error("R40_cmd_get_fw_version", r);
    log_write("MAIN", "FW Version=%s\n", version);
    return 0;
}

int32_t R40_cmd_get_serial(char[], int32_t) {
    if (!cmd_connected()) return -1;
    int32_t r = R40_get_serial(id_conn, serial_no, 1);
    if (r != 0) return cmd_error("R40_cmd_get_serial", r);
    log_write("MAIN", "Serial = %s\n", serial_no);
    return 0;
}

int32_t R40_cmd_set_serial(char line[], int32_t prefix) {
    static constexpr const char* NAME = "R40_cmd_set_serial";
    if (!cmd_connected()) return -1;
    char suffix[5];
    int32_t r = serial_read_suffix(suffix);
    if (r != 0) return cmd_error(NAME, r);
    if (prefix != 0) return serial_write_suffix(NAME, static_cast<char>(prefix), suffix, line);
    char spare[1];
    char serial[R40_SERIAL_BUF];
    std::memcpy(serial, "00000000", sizeof serial);
    input_string_msg_cmd(serial, R40_SERIAL_LEN, R40_SERIAL_LEN, SERIAL_PROMPT, cmd_writable_line(line, spare), 1);
    // A default the operator never confirmed is never written.
    if (cmd_stopped()) return -1;
    return serial_write(NAME, serial);
}

int32_t R40_cmd_get_time(char[], int32_t) {
    if (!cmd_connected()) return -1;
    dev_time_t t{};
    int32_t r = R40_get_time(id_conn, &t, 1);
    if (r != 0) return cmd_error("R40_cmd_get_time", r);
    log_write("MAIN", "Device time: %.4d/%.2d/%.2d  %.2d:%.2d:%.2d\n", t.year, t.month, t.day, t.hour, t.minute,
              t.second);
    return 0;
}

int32_t R40_cmd_set_time(char line[], int32_t) {
    if (!cmd_connected()) return -1;
    char spare[1];
    int32_t offset = 0;
    input_integer_msg_cmd(&offset, OFFSET_MIN, OFFSET_MAX, "Enter offset", cmd_writable_line(line, spare), 1);
    if (cmd_stopped()) return -1;
    std::tm now = local_clock();
    dev_time_t t{now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec};
    t = dev_time_add_hours(t, offset);
    log_write("MAIN", "Setting device time: %.4d/%.2d/%.2d  %.2d:%.2d:%.2d ...", t.year, t.month, t.day, t.hour,
              t.minute, t.second);
    int32_t r = R40_set_time(id_conn, &t, 1);
    if (r != 0) return cmd_error("R40_cmd_set_time", r);
    log_append("MAIN", "Ok.\n");
    return 0;
}

int32_t R40_cmd_restart(char[], int32_t) {
    if (!cmd_connected()) return -1;
    log_append("MAIN", "Restarting device.\n");
    int32_t r = R40_restart(id_conn);
    if (r != 0) return cmd_error("R40_cmd_restart", r);
    return MXX_disconnect(id_conn);
}

int32_t R40_cmd_create_menu(menu_t* menu) {
    menu_add_text(menu, MENU_VERSION, R40_cmd_get_fw_version);
    menu_add_text(menu, MENU_GET_SERIAL, R40_cmd_get_serial);
    menu_add_text(menu, MENU_SET_SERIAL, R40_cmd_set_serial);
    menu_add_text(menu, MENU_GET_TIME, R40_cmd_get_time);
    menu_add_text(menu, MENU_SET_TIME, R40_cmd_set_time);
    menu_add_text(menu, MENU_RESTART, R40_cmd_restart);
    return 0;
}

int32_t R40_cmd_hook_events() { return 0; }
