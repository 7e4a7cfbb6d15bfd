// Link library interface: device links over serial ports, USB, Bluetooth and
// TCP, response slots, link events on a per-link reader thread, device
// listing, and the console/log output functions.
//
// Every function returns 0 on success unless stated. Error codes are negative
// (COMM_ERR_*), so they can never be mistaken for the exchange results 0, 1
// and 255 that the MXX layer hands to its callers.
//
// Threads: each open link has one reader thread that calls the link's event
// procedure (in-process links, comm_peer.h, have none). All functions may be
// called from any thread unless stated.
#pragma once

#include <cstdint>

enum : int32_t {
    COMM_ERR_ARG = -2,         // bad argument or malformed connection string
    COMM_ERR_NOLINK = -3,      // no open link has this id
    COMM_ERR_OPEN = -4,        // the device could not be opened (reason on the error channel)
    COMM_ERR_IO = -5,          // read/write failed on the device
    COMM_ERR_TIMEOUT = -6,     // write or wait time-out
    COMM_ERR_CLOSED = -7,      // the link has ended
    COMM_ERR_NOMEM = -8,       // allocation failed or a table is full
    COMM_ERR_UNSUPPORTED = -9, // transport not available on this machine
    COMM_ERR_STATE = -10,      // library not initialised, or called in the wrong state
    COMM_ERR_INTERRUPTED = -11, // the wait check ended a wait (the operator stopped it)
};

// Link events passed to the event procedure.
enum : uint8_t {
    COMM_EV_PROBE = 1,         // the link can carry a request (raised once, right after opening)
    COMM_EV_CONN_ERROR = 2,    // the link could not be opened or failed
    COMM_EV_DISCONNECTED = 3,  // the link has ended; always the very last event
    COMM_EV_DATA = 5,          // bytes were read: data/length hold them
    COMM_EV_IDLE = 6,          // no byte arrived for the idle period
};

// Link states reported by comm_get_state.
enum : int32_t {
    COMM_STATE_NONE = 0,       // no such link / closed
    COMM_STATE_OPENING = 1,    // opened, waiting for comm_signal_connected
    COMM_STATE_CONNECTED = 2,  // signalled connected, event procedure accepted it
    COMM_STATE_GAVE_UP = 3,    // signalled, but the event procedure had given up (returned -1)
    COMM_STATE_FAILED = 4,     // I/O failure; the link is ending
};

constexpr int COMM_ENTRY_SIZE = 128;   // device list entry and connection string size

// Event procedure: (id, event, data, length, context). Its return value -1 on
// an idle event means "gave up"; the link then never reports state 2.
using comm_event_proc_t = int32_t (*)(int32_t id, uint8_t event, const uint8_t* data, int32_t length,
                                      void* context);
// USB device-set change callback, called with the user value given at registration.
using comm_usb_callback_t = int32_t (*)(int32_t user);

int32_t comm_init();
int32_t comm_shut();
int32_t comm_usb_register(comm_usb_callback_t callback, int32_t user);
int32_t comm_usb_deregister();

// Opens the link described by `conn` and stores its id. `rx_size` is the read
// chunk size (the most bytes one data event carries), `idle_ms` the period of
// idle events while no byte arrives. Fails at once (never waits) when the
// device cannot be opened, after saying why on the error channel.
// Connection strings (syntax in src/libcomm/comm_internal.h):
//   "SER:115200,8,1,0,0:/dev/ttyUSB0", "USBS:/dev/ttyACM0/c44" (also USBF,
//   USBU), "TCP:1000:127.0.0.1:5000", "FD:7", "BT:1,60000,7316:AA:BB:CC:DD:EE:FF".
// Events, all on the link's reader thread: 1 once right after opening, 5 per
// chunk read, 6 every idle_ms of silence, 2 on an I/O failure, and 3 last,
// after the link has left the link walk.
int32_t comm_connect(int32_t* id, const char* conn, comm_event_proc_t proc, int32_t rx_size, int32_t idle_ms,
                     void* context);
// Ends the link. Returns once event 3 has been delivered (when called from
// another thread than the link's own reader thread; from inside the event
// procedure it only marks the link to end after the current event).
// COMM_ERR_NOLINK when no open link has the id, also for a link that ended by
// itself (the call still waits for that link's event 3).
int32_t comm_disconnect(int32_t id);
int32_t comm_get_state(int32_t id);
// 0 once comm_signal_connected(id) was called, non-zero after the time-out
// or when the link ends first (COMM_ERR_INTERRUPTED: the wait check below). When it returns 0, comm_get_state already
// reflects the outcome (2 only for an identified link).
int32_t comm_wait_connected(int32_t id, int32_t timeout_ms);
int32_t comm_signal_connected(int32_t id);

// Walk over the open links, one per call; returns 1 with id and context set,
// 0 at the end. A link is removed from the walk before its event 3.
int32_t comm_data_cntr_init(int32_t* iterator);
int32_t comm_get_data(int32_t* iterator, int32_t* id, void** context);

// Writes all bytes within the time-out. `flags` must be 0. Writes of one
// link are serialised; a write still waiting when the link ends returns
// COMM_ERR_CLOSED.
// One call's bytes reach the wire whole or not at all: a write that fails
// part-way (COMM_ERR_TIMEOUT, COMM_ERR_IO) leaves the rest with the link,
// and the next write on the link sends that rest first, within its own
// time-out, before any byte of its own; until it has, that write fails
// without sending any of its bytes. A next write of exactly the same bytes
// (a retry) only finishes them. So a request whose write failed part-way may
// still reach the device with the link's next write.
int32_t comm_write(int32_t id, const uint8_t* bytes, int32_t length, int32_t flags, int32_t timeout_ms);

// Response slots: three (code, buffer, capacity) triples for the link. They
// start empty: whatever the link's earlier slots held is forgotten, and a
// frame that arrives while no slots are armed is dropped.
int32_t comm_hook_response(int32_t id, uint16_t code1, uint8_t* buf1, int32_t cap1, uint16_t code2, uint8_t* buf2,
                           int32_t cap2, uint16_t code3, uint8_t* buf3, int32_t cap3);
// Offers a received frame: copied into every armed slot of that code (a
// frame longer than the slot's capacity is not copied). Returns 1 if a slot
// took it, 0 otherwise.
int32_t comm_fill_rsp_buff(int32_t id, uint16_t code, const uint8_t* frame, int32_t length);
// Waits until slot 1 or slot 2 holds a frame, or the time-out. Reports each
// slot's byte count (0: empty) and then empties the slots' counts. Returns 0
// when slot 1 or 2 was filled, COMM_ERR_TIMEOUT otherwise (COMM_ERR_CLOSED
// at once when the link ends). A slot reported non-empty is not overwritten
// until the next comm_write, wait, hook or unhook on the link, so its buffer
// can be read meanwhile.
int32_t comm_wait_response(int32_t id, int32_t* len1, int32_t* len2, int32_t* len3, int32_t timeout_ms);
// A response wait also ends, with COMM_ERR_INTERRUPTED and the slots reported
// as above, as soon as `check` turns non-zero. It is called on the waiting
// thread with `starting` 1 when the wait starts, then with 0 every
// COMM_WAIT_CHECK_MS. A wait whose start check is already non-zero (a request
// sent on purpose after a stop) runs its full time. Null: no check.
// Waits for a link to come up (comm_wait_connected, and Bluetooth pairing and
// connecting inside comm_connect) call it with COMM_WAIT_CHECK_OPERATOR
// instead of 0: only the operator's own stop should end them, not the end
// of a script's input, which would turn a link about to come up into an
// error.
constexpr int32_t COMM_WAIT_CHECK_MS = 50;
constexpr int32_t COMM_WAIT_CHECK_OPERATOR = 2;
using comm_wait_check_t = int32_t (*)(int32_t starting);
int32_t comm_set_wait_check(comm_wait_check_t check);
int32_t comm_unhook_response(int32_t id);
// The link's clock in ms: the virtual clock of an in-process link (see
// comm_peer.h), else a monotonic clock, also for an id of no link.
int64_t comm_clock_ms(int32_t id);

// USB instruments: fills up to `maximum` entries of COMM_ENTRY_SIZE bytes
// each, every entry a connection string ending in "/" and the product id in
// hex (e.g. "USBS:/dev/ttyACM0/c44").
int32_t comm_list_devices_usb(int32_t flags, char* list, int32_t maximum, int32_t* count, const char* manufacturer,
                              const char* product, uint16_t vid_min, uint16_t vid_max, uint16_t pid_min,
                              uint16_t pid_max);
// Readable name of a list entry (USB or Bluetooth); `text` holds COMM_ENTRY_SIZE bytes.
int32_t comm_get_devid_string(const char* entry, char* text);

int32_t comm_bt_is_available();
int32_t comm_bt_discover(int32_t flags, uint32_t class_of_device, int32_t options);
// Waits for the inquiry to end; fills at most 32 entries.
int32_t comm_bt_discover_wait(char* list, int32_t* count);
int32_t comm_bt_discover_cancel();

// Connection-string builders; `out` holds COMM_ENTRY_SIZE bytes.
int32_t comm_make_conn_string_usb(char* out, const char* entry, int32_t size, uint16_t vid, uint16_t pid);
int32_t comm_make_conn_string_serial(char* out, uint16_t port, int32_t baud, int32_t data_bits, int32_t stop_bits,
                                     int32_t parity, int32_t flow);
int32_t comm_make_conn_string_serial_path(char* out, const char* path, int32_t baud, int32_t data_bits,
                                          int32_t stop_bits, int32_t parity, int32_t flow);
int32_t comm_make_conn_string_bt(char* out, const char* address, const char* extra, uint32_t class_of_device,
                                 int32_t channel, const char* pin, int32_t timeout_ms);
int32_t comm_make_conn_string_net(char* out, const char* address, uint16_t port, int32_t timeout_ms);
// An already open file descriptor (socket pair, pipe): a successful
// comm_connect takes it over and closes it when the link ends; after a failed
// one it is still the caller's.
int32_t comm_make_conn_string_fd(char* out, int32_t fd);

// Console and log output. log_write and log_append print the formatted text
// to standard output exactly as formatted; log_error prints to standard
// error after flushing standard output. Safe from any thread; one call's
// text is never interleaved with another's. No tag, prefix or time stamp is
// added; the set-up values are only remembered.
int32_t log_addlevel(const char* tag, int32_t a, int32_t b, int32_t c, int32_t d, const char* text);
int32_t log_seterror(int32_t a, int32_t b, int32_t c, int32_t d, const char* text);
int32_t log_write(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));
int32_t log_append(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));
int32_t log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A status line on standard error, only when it is a terminal: drawn where
// standard output left the cursor (never wrapping), replaced by the next
// call, and erased before any other output of the functions above. Null or
// empty erases it. Nothing at all reaches a file or a pipe.
int32_t log_status(const char* text);
// The operator typed a line on the terminal: its echo left the cursor at the
// start of a line, where the status line may begin.
int32_t log_line_typed();
