// Helpers shared by the transports: fd ownership, socket connect with a
// time-out, connection-string text, and the error-channel reports.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "libcomm/comm_internal.h"

void comm_fd::reset(int fd) {
    if (fd_ >= 0) {
        // A tty stays exclusive while anyone else keeps it open (a simulator
        // holds its pty): give it back before closing.
        if (exclusive_) ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
    fd_ = fd;
    exclusive_ = false;
}

namespace {

// strerror_r comes in two flavours: XSI returns a status and fills the
// buffer, GNU returns the text (the buffer or a constant string).
[[maybe_unused]] const char* error_result(int status, const char* buf) {
    return status == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* error_result(const char* text, const char*) {
    return text;
}

}  // namespace

comm_errtext_t comm_error_text(int err) {
    comm_errtext_t t{};
    const char* text = error_result(strerror_r(err, t.text, sizeof t.text), t.text);
    if (!text || text[0] == '\0') snprintf(t.text, sizeof t.text, "error %d", err);
    else if (text != t.text) snprintf(t.text, sizeof t.text, "%s", text);
    return t;
}

ssize_t comm_fd_read(int fd, uint8_t* buf, size_t len) {
    return ::read(fd, buf, len);
}

ssize_t comm_fd_write(int fd, const uint8_t* buf, size_t len) {
    return ::write(fd, buf, len);
}

ssize_t comm_sock_write(int fd, const uint8_t* buf, size_t len) {
    return ::send(fd, buf, len, MSG_NOSIGNAL);
}

int comm_connect_socket(int fd, const void* addr, unsigned addr_len, int32_t timeout_ms) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
    if (::connect(fd, static_cast<const sockaddr*>(addr), addr_len) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return ETIMEDOUT;
        pollfd p{fd, POLLOUT, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno;
        if (r == 0) return ETIMEDOUT;
        int err = 0;
        socklen_t err_len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len) < 0) return errno;
        return err;
    }
}

int32_t comm_format_entry(char* out, const char* format, ...) {
    if (!out) return COMM_ERR_ARG;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(out, COMM_ENTRY_SIZE, format, args);
    va_end(args);
    if (n < 0 || n >= COMM_ENTRY_SIZE) {
        out[0] = '\0';
        return COMM_ERR_ARG;
    }
    return 0;
}

bool comm_parse_number(const char*& text, long min, long max, char stop, long* value) {
    const char* p = text;
    bool negative = *p == '-';
    if (negative) ++p;
    if (*p < '0' || *p > '9') return false;
    // Bounded before each step: long is 32 bits on some targets.
    constexpr long limit = 1000000000L;
    long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const long digit = *p - '0';
        if (v > (limit - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (negative) v = -v;
    if (*p != stop || v < min || v > max) return false;
    text = stop ? p + 1 : p;
    *value = v;
    return true;
}

bool comm_com_port_path(uint16_t port, char* out, size_t size) {
    struct range {
        int first, last;
        const char* base;
    };
    static constexpr range ranges[] = {
        {1, 32, "/dev/ttyS"},     {33, 64, "/dev/ttyUSB"},    {65, 96, "/dev/ttyACM"},
        {97, 128, "/dev/rfcomm"}, {129, 255, "/dev/pts/"},
    };
    for (const range& r : ranges) {
        if (port >= r.first && port <= r.last) {
            int n = snprintf(out, size, "%s%d", r.base, port - r.first);
            return n > 0 && static_cast<size_t>(n) < size;
        }
    }
    return false;
}

void comm_report_bad_conn(const char* conn) {
    log_error("Invalid connection string \"%s\"\n", conn);
}

namespace {

// The kernel's name for the device behind a path (a symlink such as the
// udev rule's /dev/qm38-<serial> leads to ttyACMn).
bool is_cdc_acm(const char* path) {
    auto acm = [](const char* p) {
        const char* base = strrchr(p, '/');
        return strncmp(base ? base + 1 : p, "ttyACM", 6) == 0;
    };
    if (acm(path)) return true;
    char* real = realpath(path, nullptr);
    const bool result = real && acm(real);
    free(real);
    return result;
}

}  // namespace

void comm_report_open_error(const char* path, int err) {
    if (err == EBUSY || err == EWOULDBLOCK) {
        log_error("Cannot open %s: the port is in use by another program%s\n", path,
                  is_cdc_acm(path) ? " (ModemManager may be probing it: install udev/60-qm38.rules, see README)"
                                   : "");
    } else if (err == EACCES || err == EPERM) {
        log_error("Cannot open %s: %s (add your user to the 'dialout' group and log in again, or install "
                  "udev/60-qm38.rules, see README)\n",
                  path, comm_error_text(err).text);
    } else {
        log_error("Cannot open %s: %s\n", path, comm_error_text(err).text);
    }
}

void comm_report_setup_error(const char* path, int err) {
    log_error("Cannot set up %s as a serial port: %s\n", path, comm_error_text(err).text);
}
