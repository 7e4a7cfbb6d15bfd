// The status line of a long transfer: done of how much, the rate and the
// time left, on standard error when it is a terminal (log_status), redrawn a
// few times a second and erased when the transfer ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

using progress_clock = std::chrono::steady_clock;

constexpr int32_t PROGRESS_REDRAW_MS = 250;

// Formats the line: "312/4000 records  4.1/s  14:58 left". The rate and the
// time left come from what was done in `elapsed`; "--:--" until known.
std::string progress_text(int64_t done, int64_t total, const char* unit, progress_clock::duration elapsed);

// One transfer: construct it before the loop, call update() as it goes; the
// line is erased when it goes out of scope.
class progress_line {
public:
    progress_line(int64_t total, const char* unit);
    ~progress_line();
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;

    void update(int64_t done);

private:
    int64_t total_;
    const char* unit_;
    progress_clock::time_point start_;
    progress_clock::time_point drawn_;
    bool shown_ = false;
};
