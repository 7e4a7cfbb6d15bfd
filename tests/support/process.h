// Runs the project's executables as child processes for end-to-end tests:
// standard input scripted, standard output and error captured, bounded in time.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    int exit_code = -1;      // exit status, or -1 when killed / not started
    bool timed_out = false;
    std::string out;         // standard output (and error, when merged)
    std::string err;         // standard error, when not merged
};

struct ProcessOptions {
    std::string stdin_text;
    int timeout_ms = 20000;
    bool merge_stderr = false;  // one stream, in the order the child wrote it
    std::string cwd;            // working directory; empty: inherit
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options);

// A long-running child (the simulator, or the tool driven step by step)
// whose output is collected in the background; stopped with SIGTERM on
// destruction.
class BackgroundProcess {
public:
    // Standard input: /dev/null, or a pipe fed by send() when `piped_input`.
    explicit BackgroundProcess(const std::vector<std::string>& argv, bool piped_input = false);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Waits until the collected output (stdout and stderr merged) contains
    // `text`; returns the output so far, or an empty string on time-out.
    std::string wait_for(const std::string& text, int timeout_ms);
    std::string output();
    // Sends SIGTERM and reaps the child; returns its exit status.
    int stop();
    // Writes to the child's standard input (piped_input only).
    bool send(const std::string& text);
    bool signal(int sig);
    // Waits for the child to end by itself; its exit status, or -1 when it
    // did not end in time (it is then killed).
    int wait_exit(int timeout_ms);

private:
    void pump(int timeout_ms);
    int reap(int status);
    int pid_ = -1;
    int fd_ = -1;
    int in_fd_ = -1;
    std::string collected_;
};

// Absolute path of a project executable in the build directory.
std::string bin_path(const std::string& name);
