#include "support/process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;

// An unlinked temporary file holding `content`, positioned at its start.
int temp_fd(const std::string& content = "") {
    char path[] = "/tmp/qm_process_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return -1;
    unlink(path);
    if (!content.empty() && write(fd, content.data(), content.size()) < 0) return fd;
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string read_fd(int fd) {
    std::string text;
    char buf[4096];
    off_t at = 0;
    for (ssize_t n; fd >= 0 && (n = pread(fd, buf, sizeof buf, at)) > 0; at += n)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

pid_t spawn(const std::vector<std::string>& argv, int in, int out, int err) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// The exit status once the child ends in time; otherwise it is killed: -1.
int reap(pid_t pid, int timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (clock_type::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

std::string bin_path(const std::string& name) { return std::string(QM_BIN_DIR) + "/" + name; }

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    const int in = temp_fd(options.stdin_text), out = temp_fd(), err = options.merge_stderr ? out : temp_fd();
    ProcessResult result;
    const pid_t pid = spawn(argv, in, out, err);
    if (pid > 0) result.exit_code = reap(pid, options.timeout_ms);
    result.timed_out = pid > 0 && result.exit_code == -1;
    result.out = read_fd(out);
    if (!options.merge_stderr) result.err = read_fd(err);
    for (int fd : {in, out, options.merge_stderr ? -1 : err})
        if (fd >= 0) close(fd);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, bool piped_input) : out_(temp_fd()) {
    int in[2] = {open("/dev/null", O_RDONLY | O_CLOEXEC), -1};
    // Close-on-exec: no later child may hold the write end open.
    if (piped_input) {
        close(in[0]);
        if (pipe2(in, O_CLOEXEC) != 0) in[0] = in[1] = -1;
        ::signal(SIGPIPE, SIG_IGN);
    }
    pid_ = spawn(argv, in[0], out_, out_);
    close(in[0]);
    in_ = in[1];
}

BackgroundProcess::~BackgroundProcess() {
    signal(SIGTERM);
    wait_exit(5000);
    if (out_ >= 0) close(out_);
}

std::string BackgroundProcess::wait_for(const std::string& text, int timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (std::string out = output();; out = output()) {
        if (out.find(text) != std::string::npos) return out;
        if (clock_type::now() >= deadline) return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string BackgroundProcess::output() const { return read_fd(out_); }

bool BackgroundProcess::send(const std::string& text) {
    size_t written = 0;
    while (in_ >= 0 && written < text.size()) {
        const ssize_t n = write(in_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return in_ >= 0;
}

bool BackgroundProcess::signal(int sig) { return pid_ > 0 && kill(pid_, sig) == 0; }

int BackgroundProcess::wait_exit(int timeout_ms) {
    if (pid_ <= 0) return -1;
    const int status = reap(pid_, timeout_ms);
    pid_ = -1;
    if (in_ >= 0) close(in_);
    in_ = -1;
    return status;
}
