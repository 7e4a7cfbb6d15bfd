#include "support/console_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::abort();
}

// A temporary file holding `content`; unlinked at once unless its name is
// wanted in `name`.
int temp_fd(const std::string& content, std::string* name = nullptr) {
    char path[] = "/tmp/console_XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) fail("mkstemp");
    if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) fail("write");
    if (name != nullptr) *name = path;
    else ::unlink(path);
    return fd;
}

void script_stdin(const std::string& input) {
    std::string path;
    ::close(temp_fd(input, &path));
    // freopen also drops whatever an earlier run left in the stream's buffer.
    if (std::freopen(path.c_str(), "r", stdin) == nullptr) fail("freopen");
    ::unlink(path.c_str());
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
    const int out = temp_fd(""), err = temp_fd("");
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
