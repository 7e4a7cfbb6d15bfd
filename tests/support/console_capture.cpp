#include "support/console_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::abort();
}

// An unlinked temporary file holding `content`.
int temp_fd(const std::string& content, char (&path)[32]) {
    const int fd = ::mkstemp(path);
    if (fd < 0) fail("mkstemp");
    if (!content.empty() && ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        fail("write");
    return fd;
}

void script_stdin(const std::string& input) {
    char path[32] = "/tmp/console_stdin_XXXXXX";
    ::close(temp_fd(input, path));
    // freopen also drops whatever an earlier run left in the stream's buffer.
    if (std::freopen(path, "r", stdin) == nullptr) fail("freopen");
    ::unlink(path);
}

int capture_fd() {
    char path[32] = "/tmp/console_out_XXXXXX";
    const int fd = temp_fd("", path);
    ::unlink(path);
    return fd;
}

std::string read_all(int fd) {
    std::string text;
    char buf[4096];
    off_t pos = 0;
    for (ssize_t n; (n = ::pread(fd, buf, sizeof buf, pos)) > 0; pos += n) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return text;
}

}  // namespace

console_capture_t console_run(const std::string& input, const std::function<void()>& body) {
    script_stdin(input);
    const int out = capture_fd(), err = capture_fd();
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_out = ::dup(STDOUT_FILENO), saved_err = ::dup(STDERR_FILENO);
    if (saved_out < 0 || saved_err < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0)
        fail("dup");
    ::alarm(30);
    body();
    ::alarm(0);
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out, STDOUT_FILENO);
    ::dup2(saved_err, STDERR_FILENO);
    ::close(saved_out);
    ::close(saved_err);
    script_stdin("");
    return {read_all(out), read_all(err)};
}
