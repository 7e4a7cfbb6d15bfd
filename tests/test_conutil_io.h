// Runs console code against a scripted standard input and returns what it
// printed on standard output. Keep gtest assertions out of the body: while it
// runs, standard output goes to the capture file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace conutil_test {

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

inline void fail(const char* what) {
    std::perror(what);
    std::abort();
}

// Standard input reads exactly `input`, then ends.
inline void script_stdin(const std::string& input) {
    char path[] = "/tmp/conutil_stdin_XXXXXX";
    {
        fd_guard fd(::mkstemp(path));
        if (fd.get() < 0) fail("mkstemp");
        if (::write(fd.get(), input.data(), input.size()) != static_cast<ssize_t>(input.size())) fail("write");
    }
    // freopen drops whatever an earlier case left in the stream's buffer.
    if (std::freopen(path, "r", stdin) == nullptr) fail("freopen");
    ::unlink(path);
}

template <typename Body>
std::string run_console(const std::string& input, Body body) {
    script_stdin(input);
    file_ptr capture(std::tmpfile());
    if (!capture) fail("tmpfile");
    std::fflush(stdout);
    fd_guard saved(::dup(STDOUT_FILENO));
    if (saved.get() < 0 || ::dup2(fileno(capture.get()), STDOUT_FILENO) < 0) fail("dup2");
    ::alarm(30);  // a prompt loop that never ends kills the test instead of hanging it
    body();
    ::alarm(0);
    std::fflush(stdout);
    ::dup2(saved.get(), STDOUT_FILENO);

    std::string out;
    char buf[4096];
    off_t pos = 0;
    for (ssize_t n; (n = ::pread(fileno(capture.get()), buf, sizeof buf, pos)) > 0; pos += n) out.append(buf, n);
    script_stdin("");
    return out;
}

}  // namespace conutil_test
