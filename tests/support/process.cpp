#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::vector<char*> make_argv(const std::vector<std::string>& argv) {
    std::vector<char*> v;
    for (const auto& a : argv) v.push_back(const_cast<char*>(a.c_str()));
    v.push_back(nullptr);
    return v;
}

void set_nonblock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is available on fd into out; returns false at end of stream.
bool drain(int fd, std::string& out) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -1;
}

}  // namespace

std::string bin_path(const std::string& name) { return std::string(QM_BIN_DIR) + "/" + name; }

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    ProcessResult result;
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(options.merge_stderr ? out[1] : err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        auto args = make_argv(argv);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return result;
    }
    set_nonblock(in[1]);
    set_nonblock(out[0]);
    set_nonblock(err[0]);
    signal(SIGPIPE, SIG_IGN);

    const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeout_ms);
    size_t written = 0;
    int in_fd = in[1];
    if (options.stdin_text.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        int left = remaining_ms(deadline);
        if (left == 0) {
            result.timed_out = true;
            break;
        }
        pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0},
                         {err_open ? err[0] : -1, POLLIN, 0},
                         {in_fd, POLLOUT, 0}};
        if (poll(fds, 3, left) < 0 && errno != EINTR) break;
        if (fds[0].revents) out_open = drain(out[0], result.out);
        if (fds[1].revents) err_open = drain(err[0], result.err);
        if (in_fd >= 0 && fds[2].revents) {
            ssize_t n = write(in_fd, options.stdin_text.data() + written, options.stdin_text.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN && errno != EINTR) written = options.stdin_text.size();
            if (written == options.stdin_text.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
    close(out[0]);
    close(err[0]);
    int status = 0;
    if (result.timed_out) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        result.exit_code = -1;
    } else {
        // Both streams closed: the child is exiting; reap it within the deadline.
        for (;;) {
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                result.exit_code = decode_status(status);
                break;
            }
            if (remaining_ms(deadline) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                result.timed_out = true;
                break;
            }
            usleep(1000);
        }
    }
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, bool piped_input) {
    int out[2];
    int in[2] = {-1, -1};
    if (pipe(out) != 0) return;
    // Close-on-exec: no later child may hold the write end open.
    if (piped_input && pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int source = piped_input ? in[0] : open("/dev/null", O_RDONLY);
        if (source >= 0) dup2(source, 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        for (int fd : {out[0], out[1], in[0], in[1]})
            if (fd >= 0) close(fd);
        auto args = make_argv(argv);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    if (in[0] >= 0) close(in[0]);
    if (pid < 0) {
        close(out[0]);
        if (in[1] >= 0) close(in[1]);
        return;
    }
    pid_ = pid;
    fd_ = out[0];
    in_fd_ = in[1];
    set_nonblock(fd_);
    ::signal(SIGPIPE, SIG_IGN);
}

BackgroundProcess::~BackgroundProcess() {
    stop();
}

void BackgroundProcess::pump(int timeout_ms) {
    if (fd_ < 0) return;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) > 0 && !drain(fd_, collected_)) {
        close(fd_);
        fd_ = -1;
    }
}

std::string BackgroundProcess::wait_for(const std::string& text, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (collected_.find(text) == std::string::npos) {
        int left = remaining_ms(deadline);
        if (left == 0 || fd_ < 0) return collected_.find(text) == std::string::npos ? std::string() : collected_;
        pump(std::min(left, 50));
    }
    return collected_;
}

std::string BackgroundProcess::output() {
    pump(0);
    return collected_;
}

int BackgroundProcess::stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    return wait_exit(5000);
}

int BackgroundProcess::wait_exit(int timeout_ms) {
    if (pid_ <= 0) return -1;
    int status = 0;
    bool ended = true;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pump(10);
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (remaining_ms(deadline) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            ended = false;
            break;
        }
    }
    const int code = reap(status);
    return ended ? code : -1;
}

int BackgroundProcess::reap(int status) {
    pid_ = -1;
    if (in_fd_ >= 0) {
        close(in_fd_);
        in_fd_ = -1;
    }
    if (fd_ >= 0) {
        drain(fd_, collected_);
        close(fd_);
        fd_ = -1;
    }
    return decode_status(status);
}

bool BackgroundProcess::send(const std::string& text) {
    size_t written = 0;
    while (in_fd_ >= 0 && written < text.size()) {
        ssize_t n = write(in_fd_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return in_fd_ >= 0;
}

bool BackgroundProcess::signal(int sig) { return pid_ > 0 && kill(pid_, sig) == 0; }
