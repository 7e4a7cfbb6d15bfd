// Private parts of the link library: the transport interface the reader
// thread drives, connection-string helpers and the shared error texts.
//
// Choices this library makes (the public header leaves them open):
//
// Connection strings (at most COMM_ENTRY_SIZE bytes with the terminator):
//   SER:<baud>,<data>,<stop>,<parity>,<flow>:<path>   e.g. "SER:115200,8,1,0,0:/dev/ttyUSB0"
//       parity 0 none, 1 odd, 2 even; flow 0 none, 1 RTS/CTS, 2 XON/XOFF;
//       stop 1 or 2; data 5..8; baud one of the standard termios rates.
//       COM port n maps at build time: 1-32 /dev/ttyS0-31, 33-64
//       /dev/ttyUSB0-31, 65-96 /dev/ttyACM0-31, 97-128 /dev/rfcomm0-31,
//       129-255 /dev/pts/0-126.
//   USBF:<path>/<pid hex>, USBS:..., USBU:...        e.g. "USBS:/dev/ttyACM0/c44"
//       the tty of a listed USB instrument, opened as a serial port at 115200 8N1.
//   TCP:<timeout ms>:<host>:<port>                     e.g. "TCP:1000:127.0.0.1:5000"
//   FD:<fd>                                            e.g. "FD:7" (an open fd the link takes over)
//   BT:<channel>,<timeout ms>,<pin>:<address>[/<name>] e.g. "BT:1,60000,7316:AA:BB:CC:DD:EE:FF/QM38"
//       opened through BlueZ (D-Bus): an unpaired device is paired first, our
//       agent answering the PIN (1-16 characters); then BlueZ connects the
//       Serial Port service, taking the RFCOMM channel from the device's
//       service record (the channel field is kept for the syntax only). The
//       time-out bounds pairing and connecting; the name only feeds messages
//       and comm_get_devid_string. Inquiry entries carry channel 1, 60000 ms
//       and PIN "7316", the maker's instruments' own.
//
// comm_connect(.., rx_size, idle_ms, ..): rx_size (4096) is the read chunk,
// the most bytes one data event carries; idle_ms (200) is the period of idle
// events while no byte arrives (counted from the last data event). A
// transport may lengthen it for its links (comm_io_t::min_idle_ms):
// Bluetooth links use 1500 ms, since a pause of a few hundred ms inside a
// frame is ordinary there, and the probe's seven tries (10.5 s) still fit
// the connection dialogue's 15-s wait.
//
// Bluetooth inquiry (comm_bt_discover): a classic (BR/EDR) discovery of ten
// seconds on the first powered adapter (the environment variable
// QM_BT_INQUIRY_MS, 0-60000, shortens it for the tests), then the devices
// BlueZ knows on that adapter: paired ones and those heard meanwhile, heard
// ones first, strongest signal first, at most 32.
// Its class of device (0xFFE050 from the link layer) filters them. 0 lists
// every device. Otherwise it reads as a Class of Device: bits 23-13 are the
// major service classes a listed device may advertise (0xFFE000: any), bits
// 12-8 the major device class wanted, where 0 (miscellaneous) also takes
// 0x1F (uncategorised) - the classes serial modules such as the
// instrument's report - and bits 7-0 are not compared. So 0xFFE050 lists
// devices of no particular class and leaves out phones, computers and
// headsets. A device that reports no class, or offers the Serial Port
// service, is listed whatever its class.
//
// Log set-up (log_addlevel, log_seterror): the values are remembered only.
// log_append does not differ from log_write: on a console there is nothing
// to continue but the current line, so both print exactly as formatted.
//
// Response slots: arming (comm_hook_response) starts all three empty, and
// unhooking forgets them, so nothing that arrived between two exchanges is
// ever reported. A frame longer than a slot's capacity is not copied and
// not reported. A slot that gets a second frame before it is reported holds
// the later one. comm_wait_response reports and empties every slot's count;
// a slot it reported non-empty is then held (not overwritten) until the next
// comm_write, comm_wait_response, comm_hook_response or comm_unhook_response
// on the link, so the caller can read its buffer while the reader thread
// goes on receiving. A frame arriving after that write is reported by the
// next wait.
//
// Writes: the far end finds a frame's end by the length in its header, so
// bytes written behind a broken frame would be read as its rest and both
// frames lost. A write cut short (time-out, error) therefore keeps its unsent
// rest, which the link's next write sends before anything else; a retry of
// the same bytes only finishes them, so a frame is never started again from
// its first byte. Waiting for the far end to drop the broken frame instead
// cannot be made sound: when a slow far end reads the bytes is unknown here,
// and a receiver that does not drop partial frames on silence never would.
// The rest is dropped when the link ends.
//
// Links: ids are positive and never reused within a run; at most 64 links
// are open at once (COMM_ERR_NOMEM beyond). A hang-up or end of stream ends
// a link with event 3 alone; a read error raises event 2 (state 4 during it)
// before event 3.
//
// Serial and USB ports are held exclusively while their link is open (a
// non-blocking flock, and TIOCEXCL where the tty takes it); a port held
// elsewhere fails to open with a line saying so.
//
// USB device-set callback: runs on the library's monitor thread, once for
// each add or remove of an instrument's tty (vendor 1781, products 0c44 to
// 0c4d, the range the program lists); without a reachable udev (containers)
// the monitor silently watches nothing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "libcomm/libcomm.h"

// One owner per file descriptor.
class comm_fd {
public:
    comm_fd() = default;
    explicit comm_fd(int fd) : fd_(fd) {}
    ~comm_fd() { reset(); }
    comm_fd(const comm_fd&) = delete;
    comm_fd& operator=(const comm_fd&) = delete;
    comm_fd(comm_fd&& other) noexcept : exclusive_(other.exclusive_) { fd_ = other.release(); }
    comm_fd& operator=(comm_fd&& other) noexcept {
        if (this != &other) {
            const bool exclusive = other.exclusive_;
            reset(other.release());
            exclusive_ = exclusive;
        }
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        exclusive_ = false;
        return fd;
    }
    void reset(int fd = -1);
    // A tty this fd made exclusive (TIOCEXCL): made shareable again on close.
    void set_exclusive() { exclusive_ = true; }

private:
    int fd_ = -1;
    bool exclusive_ = false;
};

// What a transport keeps for one link beside its descriptor (a bus
// connection, objects registered with a daemon). Destroyed when the link
// ends, after the descriptor is closed.
struct comm_link_state_t {
    virtual ~comm_link_state_t() = default;
};

// One link's end as its transport opened it.
struct comm_io_t {
    comm_fd fd;                                // polled by the reader thread
    std::unique_ptr<comm_link_state_t> state;  // the transport's own, if any
    int32_t min_idle_ms = 0;                   // the link's shortest idle period (0: the caller's)
};

// A transport opens a link from the text after its prefix; the reader
// thread polls the fd and moves bytes through read/write.
struct comm_transport_t {
    std::span<const char* const> prefixes;  // connection-string prefixes, without the ':'
    // `conn` is the whole string (for messages), `params` the text after the
    // prefix and ':'. Returns 0 or a COMM_ERR_* code after logging why.
    int32_t (*open)(const char* conn, const char* params, comm_io_t* io);
    ssize_t (*read)(int fd, uint8_t* buf, size_t len);
    ssize_t (*write)(int fd, const uint8_t* buf, size_t len);
    // The fd was the caller's: hand it back untouched if the link never comes up.
    bool adopts_fd;
};

extern const comm_transport_t comm_serial_transport;
extern const comm_transport_t comm_usb_transport;
extern const comm_transport_t comm_tcp_transport;
extern const comm_transport_t comm_fd_transport;
extern const comm_transport_t comm_bt_transport;

// Plain read()/write() for ttys; send() without SIGPIPE where the fd is a socket.
ssize_t comm_fd_read(int fd, uint8_t* buf, size_t len);
ssize_t comm_fd_write(int fd, const uint8_t* buf, size_t len);
ssize_t comm_sock_write(int fd, const uint8_t* buf, size_t len);

// Non-blocking connect() bounded by timeout_ms; 0 or an errno value.
int comm_connect_socket(int fd, const void* addr, unsigned addr_len, int32_t timeout_ms);

// snprintf into a COMM_ENTRY_SIZE buffer; COMM_ERR_ARG (and "" in `out`)
// when the text does not fit.
int32_t comm_format_entry(char* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Strict decimal number in [min, max] ending at `stop` (or at the end when
// stop is 0); advances `text` past the stop character. False if malformed.
bool comm_parse_number(const char*& text, long min, long max, char stop, long* value);

// The transports' connection-string parsers: the text after "<prefix>:" into
// its values, opening nothing. False for a malformed text.
struct comm_serial_conf_t {
    int32_t baud, data_bits, stop_bits, parity, flow;
    std::string path;
};
bool comm_parse_serial(const char* params, comm_serial_conf_t* conf);
struct comm_tcp_conf_t {
    int32_t timeout_ms;
    std::string host;
    uint16_t port;
};
bool comm_parse_tcp(const char* params, comm_tcp_conf_t* conf);
struct comm_bt_conf_t {
    int32_t channel;
    int32_t timeout_ms;
    std::string pin;
    std::string address;  // "AA:BB:CC:DD:EE:FF"
    std::string name;     // after a '/', may be empty
};
bool comm_parse_bt(const char* params, comm_bt_conf_t* conf);
bool comm_bt_address_valid(const char* text);  // "AA:BB:CC:DD:EE:FF" and nothing more
// The inquiry's class filter (its meaning: the top of this file).
bool comm_bt_class_wanted(uint32_t class_filter, uint32_t cod, bool serial_port);
// "<path>/<pid hex>" of a USB entry (the text after "USBx:").
bool comm_parse_usb(const char* params, std::string* path, unsigned* pid);
bool comm_parse_fd(const char* params, int* fd);

// Device path of COM port 1..255; false for any other number.
bool comm_com_port_path(uint16_t port, char* out, size_t size);

// Opens a tty raw, at once after open(), with the given line settings.
int32_t comm_serial_open_path(const char* path, int32_t baud, int32_t data_bits, int32_t stop_bits, int32_t parity,
                              int32_t flow, comm_fd* out);

// Error text of an errno value; safe on any thread (strerror is not).
struct comm_errtext_t {
    char text[128];
};
comm_errtext_t comm_error_text(int err);

// Error-channel reports, each text in one place. An open error of EBUSY or
// EWOULDBLOCK reports a port another program holds.
void comm_report_bad_conn(const char* conn);
void comm_report_open_error(const char* path, int err);
void comm_report_setup_error(const char* path, int err);

// The operator has stopped the wait under way (the wait check, asked with
// COMM_WAIT_CHECK_OPERATOR); false without a check.
bool comm_operator_stopped();

// Shutdown hooks of the monitor and inquiry threads.
void comm_usb_stop();
void comm_bt_stop();
