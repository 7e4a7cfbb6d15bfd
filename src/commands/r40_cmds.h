// Identity, clock and restart commands common to the device families.
#pragma once

#include <cstdint>
#include <ctime>

#include "commands/cmd_common.h"
#include "services/r40_comm.h"

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

int32_t R40_cmd_create_menu(menu_t* menu);
// The common family has no asynchronous frames.
int32_t R40_cmd_hook_events();

// Adds whole hours to a date/time, carrying through the calendar in both
// directions (day, month, year; leap years), so the result is always a real
// date with the hour in 0..23.
dev_time_t dev_time_add_hours(dev_time_t t, int32_t hours);

// Local clock source of the set-time command; null restores the real clock.
using local_clock_fn = std::tm (*)();
void R40_cmd_set_local_clock(local_clock_fn fn);
