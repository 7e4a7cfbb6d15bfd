// Single measurement, scan and raw samples, driven from the console, and the
// state polls they wait in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "commands/cmd_common.h"
#include "records/live.h"

inline constexpr menu_text_t MENU_MEASURE{"me", "measure", "runs a single measurement"};
inline constexpr menu_text_t MENU_SCANNER{"sca", "scanner", "runs a scan"};
inline constexpr menu_text_t MENU_MEASURE_DATA{"md", "measure data", "reads raw samples"};

// Poll limits: a poll never hangs on a lost link or a silent instrument.
constexpr int32_t POLL_INTERVAL_MS = 100;
constexpr int32_t POLL_MAX_FAILED_READS = 10;
constexpr int32_t POLL_READY_LIMIT_MS = 30000;

// How a state poll ended.
struct state_wait_t {
    int32_t result = 0;   // 0: the awaited condition holds; else the code to report (the last read's, or
                          // COMM_ERR_CLOSED for a lost link, COMM_ERR_TIMEOUT past the ready limit)
    int32_t stopped = 0;  // 1: Ctrl-C or end of input; nothing to report
    uint32_t state = 0;   // last state read
};

// Polls until the state equals `state`, for at most POLL_READY_LIMIT_MS.
state_wait_t wait_for_state(uint32_t state);
// Polls while the state equals `state`, without a time limit of its own.
state_wait_t wait_for_state_finish(uint32_t state);

// Clock of the polls: milliseconds from any fixed point, and a sleep. Tests
// install one that advances when slept on; nulls restore the steady clock.
using poll_now_fn = int64_t (*)();
using poll_sleep_fn = void (*)(int32_t ms);
void R62_cmd_set_poll_clock(poll_now_fn now, poll_sleep_fn sleep);

// "Type=...,MeasMode=... Susc=... Cond=... [n/t]\n" of a measurement record.
std::string meas_result_line(const uint8_t* record);
// The point lines of a scan record, five points to a line, each line ending
// in "\n"; a record without points gives the single line "\n". A count
// outside 0..MR_POINTS is clamped to the point arrays.
std::vector<std::string> scan_point_lines(const uint8_t* record);

// Menu handlers (arguments not used): 0 success, -1 failure or interruption.
int32_t R62_cmd_measure(char line[], int32_t argument);
int32_t R62_cmd_scanner(char line[], int32_t argument);
int32_t R62_cmd_measure_data(char line[], int32_t argument);
