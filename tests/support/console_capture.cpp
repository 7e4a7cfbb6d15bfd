#include "support/console_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

class fd_guard {
public:
    explicit fd_guard(int fd) : fd_(fd) {}
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
    ~fd_guard() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::abort();
}

void script_stdin(const std::string& input) {
    char path[] = "/tmp/console_stdin_XXXXXX";
    {
        fd_guard fd(::mkstemp(path));
        if (fd.get() < 0) fail("mkstemp");
        if (!input.empty() && ::write(fd.get(), input.data(), input.size()) != static_cast<ssize_t>(input.size()))
            fail("write");
    }
    // freopen also drops whatever an earlier run left in the stream's buffer.
    if (std::freopen(path, "r", stdin) == nullptr) fail("freopen");
    ::unlink(path);
}

std::string read_all(std::FILE* f) {
    std::string text;
    char buf[4096];
    off_t pos = 0;
    for (ssize_t n; (n = ::pread(fileno(f), buf, sizeof buf, pos)) > 0; pos += n) text.append(buf, n);
    return text;
}

}  // namespace

console_capture_t console_run(const std::string& input, const std::function<void()>& body) {
    script_stdin(input);
    file_ptr out_file(std::tmpfile());
    file_ptr err_file(std::tmpfile());
    if (!out_file || !err_file) fail("tmpfile");
    std::fflush(stdout);
    std::fflush(stderr);
    fd_guard saved_out(::dup(STDOUT_FILENO));
    fd_guard saved_err(::dup(STDERR_FILENO));
    if (saved_out.get() < 0 || saved_err.get() < 0) fail("dup");
    if (::dup2(fileno(out_file.get()), STDOUT_FILENO) < 0 || ::dup2(fileno(err_file.get()), STDERR_FILENO) < 0)
        fail("dup2");
    ::alarm(30);
    body();
    ::alarm(0);
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out.get(), STDOUT_FILENO);
    ::dup2(saved_err.get(), STDERR_FILENO);
    script_stdin("");
    return {read_all(out_file.get()), read_all(err_file.get())};
}
