// Runs console code in-process against a scripted standard input and
// captures what it printed on standard output and standard error.
// Keep gtest assertions out of the body: while it runs, both streams go to
// capture files.
#pragma once

#include <functional>
#include <string>

struct console_capture_t {
    std::string out;  // standard output
    std::string err;  // standard error
};

// Standard input reads exactly `input`, then ends. Bodies that never return
// are ended by an alarm after 30 s, so a stuck prompt loop fails the test
// instead of hanging it.
console_capture_t console_run(const std::string& input, const std::function<void()>& body);

// The same, standard output only.
inline std::string console_out(const std::string& input, const std::function<void()>& body) {
    return console_run(input, body).out;
}
