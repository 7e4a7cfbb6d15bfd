// A child process on a new pseudo-terminal, as an operator's terminal runs
// it: it is the session leader with the terminal as its controlling one, so
// a Ctrl-C written to the terminal signals its foreground process group.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class PtyProcess {
public:
    // Standard input and error on the terminal; standard output too unless
    // `stdout_to_pipe`, then apart (out()).
    PtyProcess(const std::vector<std::string>& argv, bool stdout_to_pipe);
    ~PtyProcess();
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    // Typed at the terminal (a "\x03" is Ctrl-C).
    bool type(const std::string& text);
    // The terminal's output so far once it contains `text`; empty when it does not come in time.
    std::string wait_for(const std::string& text, int timeout_ms = 20000);
    // The exit status once the child ends in time, else -1 (it is then killed).
    int wait_exit(int timeout_ms = 20000);
    const std::string& terminal() const { return terminal_; }
    const std::string& out() const { return out_; }

private:
    void pump(int timeout_ms);

    pid_t pid_ = -1;
    int master_ = -1;
    int out_fd_ = -1;
    std::string terminal_;
    std::string out_;
};
