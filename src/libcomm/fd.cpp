// FD transport: "FD:<fd>", an already open descriptor (a socket pair end, a
// pipe) that the link takes over and closes when it ends. The fd stays the
// caller's if comm_connect fails.
#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

#include "libcomm/comm_internal.h"

namespace {

int32_t fd_open(const char* conn, const char* params, comm_io_t* io) {
    int fd;
    if (!comm_parse_fd(params, &fd)) {
        comm_report_bad_conn(conn);
        return COMM_ERR_ARG;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        comm_report_open_error(conn, errno);
        return COMM_ERR_OPEN;
    }
    io->fd.reset(fd);
    return 0;
}

// send() keeps a peer that went away from raising SIGPIPE; pipes fall back to write().
ssize_t fd_write(int fd, const uint8_t* buf, size_t len) {
    ssize_t n = comm_sock_write(fd, buf, len);
    if (n < 0 && errno == ENOTSOCK) n = comm_fd_write(fd, buf, len);
    return n;
}

}  // namespace

bool comm_parse_fd(const char* params, int* fd) {
    long v;
    const char* p = params;
    if (!comm_parse_number(p, 0, INT_MAX, '\0', &v)) return false;
    *fd = static_cast<int>(v);
    return true;
}

constexpr const char* fd_prefixes[] = {"FD"};
const comm_transport_t comm_fd_transport = {fd_prefixes, fd_open, comm_fd_read, fd_write, true};

int32_t comm_make_conn_string_fd(char* out, int32_t fd) {
    if (!out) return COMM_ERR_ARG;
    if (fd < 0) {
        out[0] = '\0';
        return COMM_ERR_ARG;
    }
    return comm_format_entry(out, "FD:%d", fd);
}
