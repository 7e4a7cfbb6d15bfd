// Serial transport: a tty (COM port, USB-serial adapter, pseudo-terminal)
// in raw mode, held exclusively while the link is open. Strings:
// "SER:<baud>,<data>,<stop>,<parity>,<flow>:<path>".
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libcomm/comm_internal.h"

namespace {

struct baud_t {
    int32_t rate;
    speed_t code;
};

constexpr baud_t baud_rates[] = {
    {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
};

bool baud_code(int32_t rate, speed_t* code) {
    for (const baud_t& b : baud_rates) {
        if (b.rate == rate) {
            *code = b.code;
            return true;
        }
    }
    return false;
}

struct line_t {
    int32_t baud, data_bits, stop_bits, parity, flow;
};

bool line_valid(const line_t& l) {
    speed_t code;
    return baud_code(l.baud, &code) && l.data_bits >= 5 && l.data_bits <= 8 && (l.stop_bits == 1 || l.stop_bits == 2) &&
           l.parity >= 0 && l.parity <= 2 && l.flow >= 0 && l.flow <= 2;
}

// "<baud>,<data>,<stop>,<parity>,<flow>:" ; leaves `text` at the path.
bool parse_line(const char*& text, line_t* l) {
    long v[5];
    const char stops[5] = {',', ',', ',', ',', ':'};
    for (int i = 0; i < 5; ++i)
        if (!comm_parse_number(text, 0, 100000000L, stops[i], &v[i])) return false;
    *l = line_t{static_cast<int32_t>(v[0]), static_cast<int32_t>(v[1]), static_cast<int32_t>(v[2]),
                static_cast<int32_t>(v[3]), static_cast<int32_t>(v[4])};
    return line_valid(*l);
}

int32_t serial_open(const char* conn, const char* params, comm_io_t* io) {
    comm_serial_conf_t s;
    if (!comm_parse_serial(params, &s)) {
        comm_report_bad_conn(conn);
        return COMM_ERR_ARG;
    }
    return comm_serial_open_path(s.path.c_str(), s.baud, s.data_bits, s.stop_bits, s.parity, s.flow, &io->fd);
}

}  // namespace

bool comm_parse_serial(const char* params, comm_serial_conf_t* conf) {
    line_t l;
    const char* path = params;
    if (!parse_line(path, &l) || path[0] == '\0') return false;
    *conf = comm_serial_conf_t{l.baud, l.data_bits, l.stop_bits, l.parity, l.flow, path};
    return true;
}

int32_t comm_serial_open_path(const char* path, int32_t baud, int32_t data_bits, int32_t stop_bits, int32_t parity,
                              int32_t flow, comm_fd* out) {
    speed_t speed;
    if (!baud_code(baud, &speed)) return COMM_ERR_ARG;
    comm_fd fd(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        comm_report_open_error(path, errno);
        return COMM_ERR_OPEN;
    }
    // Raw at once, before the device has a chance to send: the cooked line
    // discipline would echo its bytes back and mangle CR, LF and control bytes.
    termios tio;
    if (tcgetattr(fd.get(), &tio) != 0) {
        comm_report_setup_error(path, errno);
        return COMM_ERR_OPEN;
    }
    // Another program's bytes in the middle of an upload would corrupt it:
    // one holder at a time. The lock is what terminal programs and serial
    // libraries check, and it holds against root too; TIOCEXCL also keeps
    // out programs that never lock (not root). Some ttys refuse TIOCEXCL
    // (emulated ones): the lock still holds there. Both end when the fd is
    // closed (comm_fd).
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        comm_report_open_error(path, errno);
        return COMM_ERR_OPEN;
    }
    if (ioctl(fd.get(), TIOCEXCL) == 0) fd.set_exclusive();
    cfmakeraw(&tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    tio.c_cflag |= sizes[data_bits - 5] | CLOCAL | CREAD;
    if (stop_bits == 2) tio.c_cflag |= CSTOPB;
    if (parity == 1) tio.c_cflag |= PARENB | PARODD;
    if (parity == 2) tio.c_cflag |= PARENB;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (flow == 1) tio.c_cflag |= CRTSCTS;
    if (flow == 2) tio.c_iflag |= IXON | IXOFF;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
        comm_report_setup_error(path, errno);
        return COMM_ERR_OPEN;
    }
    tcflush(fd.get(), TCIOFLUSH);  // drop whatever arrived before raw mode
    *out = std::move(fd);
    return 0;
}

constexpr const char* serial_prefixes[] = {"SER"};
const comm_transport_t comm_serial_transport = {serial_prefixes, serial_open, comm_fd_read, comm_fd_write, false};

int32_t comm_make_conn_string_serial(char* out, uint16_t port, int32_t baud, int32_t data_bits, int32_t stop_bits,
                                     int32_t parity, int32_t flow) {
    if (!out) return COMM_ERR_ARG;
    char path[32];
    if (!comm_com_port_path(port, path, sizeof path)) {
        out[0] = '\0';
        return COMM_ERR_ARG;
    }
    return comm_make_conn_string_serial_path(out, path, baud, data_bits, stop_bits, parity, flow);
}

int32_t comm_make_conn_string_serial_path(char* out, const char* path, int32_t baud, int32_t data_bits,
                                          int32_t stop_bits, int32_t parity, int32_t flow) {
    if (!out) return COMM_ERR_ARG;
    out[0] = '\0';
    if (!path || path[0] == '\0' || !line_valid(line_t{baud, data_bits, stop_bits, parity, flow}))
        return COMM_ERR_ARG;
    return comm_format_entry(out, "SER:%d,%d,%d,%d,%d:%s", baud, data_bits, stop_bits, parity, flow, path);
}
