#include "support/pty_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PtyProcess::PtyProcess(const std::vector<std::string>& argv, bool stdout_to_pipe) {
    int pipe_fds[2] = {-1, -1};
    if (stdout_to_pipe && pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = 120;
    pid_ = forkpty(&master_, nullptr, nullptr, &ws);
    if (pid_ == 0) {
        if (stdout_to_pipe) dup2(pipe_fds[1], 1);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (stdout_to_pipe) {
        close(pipe_fds[1]);
        out_fd_ = pipe_fds[0];
    }
}

PtyProcess::~PtyProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    if (out_fd_ >= 0) close(out_fd_);
}

bool PtyProcess::type(const std::string& text) {
    return master_ >= 0 && write(master_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Reads what the terminal and the pipe have, waiting up to `timeout_ms` for something.
void PtyProcess::pump(int timeout_ms) {
    pollfd p[2] = {{master_, POLLIN, 0}, {out_fd_, POLLIN, 0}};
    if (poll(p, 2, timeout_ms) <= 0) return;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
        if (p[i].fd < 0 || (p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t n = read(p[i].fd, buf, sizeof buf);
        if (n > 0) (i == 0 ? terminal_ : out_).append(buf, static_cast<size_t>(n));
        else (i == 0 ? master_ : out_fd_) = (close(p[i].fd), -1);  // the child's side is gone
    }
}

std::string PtyProcess::wait_for(const std::string& text, int timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (terminal_.find(text) == std::string::npos) {
        if (ms_left(deadline) == 0 || (master_ < 0 && out_fd_ < 0)) return "";
        pump(std::min(ms_left(deadline), 100));
    }
    return terminal_;
}

int PtyProcess::wait_exit(int timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0) {
        if (ms_left(deadline) == 0) return -1;  // killed by the destructor
        pump(std::min(ms_left(deadline), 20));
    }
    pid_ = -1;
    // What the child wrote last.
    while (master_ >= 0 || out_fd_ >= 0) {
        const size_t before = terminal_.size() + out_.size();
        pump(50);
        if (terminal_.size() + out_.size() == before) break;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
