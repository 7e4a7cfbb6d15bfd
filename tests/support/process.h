// Runs the project's programs as child processes for end-to-end tests:
// standard input from a text, output collected, bounded in time.
#pragma once

#include <signal.h>

#include <string>
#include <vector>

struct ProcessResult {
    int exit_code = -1;      // exit status; -1 when killed or not started
    bool timed_out = false;  // killed at the time-out
    std::string out;         // standard output (and error, when merged)
    std::string err;         // standard error, when not merged
};

struct ProcessOptions {
    std::string stdin_text;
    int timeout_ms = 30000;
    bool merge_stderr = false;  // one stream, in the order the child wrote it
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A long-running child (the simulator, or the tool driven step by step),
// standard output and error merged; stopped with SIGTERM on destruction.
class BackgroundProcess {
public:
    // Standard input: /dev/null, or a pipe fed by send() when `piped_input`.
    explicit BackgroundProcess(const std::vector<std::string>& argv, bool piped_input = false);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // The output so far once it contains `text`; empty when it does not come in time.
    std::string wait_for(const std::string& text, int timeout_ms = 10000);
    std::string output() const;
    // Writes to the child's standard input (piped_input only).
    bool send(const std::string& text);
    bool signal(int sig);
    // Waits for the child to end by itself: its exit status, or -1 when it
    // did not end in time (it is then killed).
    int wait_exit(int timeout_ms);

private:
    int pid_ = -1;
    int out_ = -1;
    int in_ = -1;
};

// Absolute path of a project executable in the build directory.
std::string bin_path(const std::string& name);
