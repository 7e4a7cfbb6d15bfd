// Identity, clock and restart commands common to the device families, and
// the report helpers every command handler uses.
#pragma once

#include <cstdint>
#include <ctime>

#include "console/conutil.h"
#include "services/r40_comm.h"

// Report helpers, so each handler's messages read the same.
// 1 when the link is up; else prints "\nDevice not connected!\n" and gives 0.
int32_t cmd_connected();
// Prints "Command <handler> error(code=<code>)!\n"; returns -1.
int32_t cmd_error(const char* handler, int32_t code);

// Menu handlers: (line, argument) -> 0 success, -1 failure.
int32_t R40_cmd_get_fw_version(char line[], int32_t argument);
// Reads the serial into serial_no and prints it.
int32_t R40_cmd_get_serial(char line[], int32_t argument);
// `prefix` non-zero: the operator gives 4 characters, the serial becomes
// prefix, "000", those 4. Zero (as the menu passes it): all 8 characters.
int32_t R40_cmd_set_serial(char line[], int32_t prefix);
int32_t R40_cmd_get_time(char line[], int32_t argument);
// Sets the device clock from the local clock plus a whole-hour offset
// (-12..12, the first word after the key or prompted).
int32_t R40_cmd_set_time(char line[], int32_t argument);
// Sends the restart request and drops the link.
int32_t R40_cmd_restart(char line[], int32_t argument);

// Menu entry texts shared by the families' menus.
struct menu_text_t {
    const char* key;
    const char* name;
    const char* description;
};
inline constexpr menu_text_t MENU_VERSION{"ve", "version", "displays device firmware version"};
inline constexpr menu_text_t MENU_GET_SERIAL{"gs", "get serial", "displays device serial number"};
inline constexpr menu_text_t MENU_SET_SERIAL{"ss", "set serial", "sets device serial number"};
inline constexpr menu_text_t MENU_GET_TIME{"gt", "get time", "displays device date/time"};
inline constexpr menu_text_t MENU_SET_TIME{"st", "set time", "sets device date/time"};
inline constexpr menu_text_t MENU_RESTART{"re", "restart", "restarts device"};
int32_t menu_add_text(menu_t* menu, const menu_text_t& text, menu_handler_t handler);

int32_t R40_cmd_create_menu(menu_t* menu);
// The common family has no asynchronous frames.
int32_t R40_cmd_hook_events();

// Shared with the instrument family's serial rule.
constexpr const char* SERIAL_PROMPT = "Enter serial";
// Reads the current serial; `suffix` (5 bytes) gets its last 4 characters
// when it is exactly 8 long, else "0000". Returns the exchange result.
int32_t serial_read_suffix(char suffix[5]);
// Announces and writes a serial; reports a failure under `handler`.
int32_t serial_write(const char* handler, const char* serial);

// Adds whole hours to a date/time, carrying through the calendar in both
// directions (day, month, year; leap years), so the result is always a real
// date with the hour in 0..23.
dev_time_t dev_time_add_hours(dev_time_t t, int32_t hours);

// Local clock source of the set-time command; null restores the real clock.
using local_clock_fn = std::tm (*)();
void R40_cmd_set_local_clock(local_clock_fn fn);
