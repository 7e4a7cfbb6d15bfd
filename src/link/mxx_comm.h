// MXX link layer: request frames and the request/response exchange, link
// lifecycle, frame assembly and dispatch, asynchronous hooks and discovery.
#pragma once

#include <atomic>
#include <cstdint>

#include "libcomm/comm_peer.h"
#include "libcomm/libcomm.h"
#include "link/mxx_frame.h"

struct mxx_conn_t;

using mxx_probe_t = int32_t (*)(int32_t id, int32_t attempt);
using mxx_test_probe_t = int32_t (*)(int32_t id, const uint8_t* frame, int32_t* device_type, int32_t attempt);
using mxx_on_connected_t = int32_t (*)(int32_t id, mxx_conn_t* context, int32_t device_type, int32_t user);
using mxx_on_event_t = int32_t (*)(int32_t id, mxx_conn_t* context, int32_t user);
// Asynchronous frame handler; the frame is valid only during the call (its
// length is in the frame's own length field).
using mxx_hook_handler_t = int32_t (*)(int32_t id, mxx_conn_t* context, const uint8_t* frame, int32_t user);
using mxx_wait_callback_t = int32_t (*)(int32_t id, uint16_t code, int32_t value);

constexpr uint16_t MXX_HOOK_ANY = 0xFFFF;
constexpr int32_t MXX_HOOK_SLOTS = 255;
constexpr int32_t MXX_LIST_ENTRIES = 32;  // device lists used by the console
constexpr int32_t MXX_RSP_CAP1 = 4096;
constexpr int32_t MXX_RSP_CAP2 = 1024;
constexpr int32_t MXX_RSP_CAP3 = 1024;
constexpr int32_t MXX_RX_CHUNK = 4096;
constexpr int32_t MXX_IDLE_MS = 200;

enum : uint8_t {
    MXX_EV_PROBE = COMM_EV_PROBE,
    MXX_EV_CONN_ERROR = COMM_EV_CONN_ERROR,
    MXX_EV_DISCONNECTED = COMM_EV_DISCONNECTED,
    MXX_EV_DATA = COMM_EV_DATA,
    MXX_EV_IDLE = COMM_EV_IDLE,
};

struct mxx_hook_t {
    uint16_t code;
    mxx_hook_handler_t handler;
};

// One per open link; allocated by MXX_connect, released on event 3.
struct mxx_conn_t {
    int32_t identified;
    int32_t user;
    mxx_rx_t rx;                       // frame being assembled
    int32_t probe_attempts;
    std::atomic<int32_t> cmd_num_try;  // written on the link thread, read on the console thread
    int32_t device_type;
    mxx_probe_t probe;
    mxx_test_probe_t test_probe;
    mxx_on_connected_t on_connected;
    mxx_on_event_t on_error;
    mxx_on_event_t on_closed;
    int32_t hook_count;
    mxx_hook_t hooks[MXX_HOOK_SLOTS];
};

// Exchange: returns 0 success, 1 failure reported by the device, 255 no
// answer on the last try, or the library's (negative) write error.
int32_t MXX_send_cmd(int32_t id, int32_t code, const void* inbuff, int32_t inbuff_size, void* outbuff,
                     int32_t outbuff_size, int32_t* out_size, int32_t* out_timeout, int32_t* out_status,
                     int32_t timeout_ms, int32_t wait);
// Result of an exchange that ended with result 0 but without the answer
// payload its caller reads.
constexpr int32_t MXX_ERR_PAYLOAD = 254;
// Result of a write that only status frames of status 0 answered: nothing
// confirms it was carried out.
constexpr int32_t MXX_ERR_UNCONFIRMED = 253;
// A write whose answer carries no payload, sent at most `tries` times (0: the
// link's try count). As MXX_send_cmd with wait, except that only the answer
// itself confirms it: 0 when it came with status 0, MXX_ERR_UNCONFIRMED when
// only status frames of status 0 came.
int32_t MXX_send_write(int32_t id, int32_t code, const void* inbuff, int32_t inbuff_size, int32_t timeout_ms,
                       int32_t tries);
// Largest answer payload an exchange can hand over (slot 1 less the frame overhead).
constexpr int32_t MXX_MAX_ANSWER = MXX_RSP_CAP1 - static_cast<int32_t>(MXX_OVERHEAD);

// Exchange for a service that reads fields of its answer. With wait and an
// `out`, result 0 stands only when the answer carried min_size..max_size
// payload bytes (max_size at most MXX_MAX_ANSWER): then they are copied to
// `out` and their number stored in `got`. Without such a payload (only status
// frames came, or it was shorter or longer) nothing is copied and
// MXX_ERR_PAYLOAD is returned. Every other result is MXX_send_cmd's, with
// nothing copied. Without wait or `out` nothing is read and nothing required.
int32_t MXX_send_query(int32_t id, int32_t code, const void* inbuff, int32_t inbuff_size, void* out,
                       int32_t min_size, int32_t max_size, int32_t* got, int32_t timeout_ms, int32_t wait);
int32_t MXX_set_cmd_num_try(int32_t id, int32_t n);
int32_t MXX_idle_wait(int32_t id, uint16_t code, int32_t value);

// Lifecycle. The event procedure runs on the link's reader thread; the
// context it gets is released on event 3.
int32_t MXX_init(mxx_wait_callback_t wait_callback, comm_usb_callback_t usb_callback, int32_t usb_user);
int32_t MXX_shut();
int32_t MXX_connect(const char* conn, int32_t* id, mxx_on_connected_t on_connected, mxx_on_event_t on_error,
                    mxx_on_event_t on_closed, mxx_probe_t probe, mxx_test_probe_t test_probe, int32_t user);
// As MXX_connect, over an in-process link to `peer` (tests, fuzzing).
int32_t MXX_connect_peer(comm_peer_t* peer, int32_t* id, mxx_on_connected_t on_connected, mxx_on_event_t on_error,
                         mxx_on_event_t on_closed, mxx_probe_t probe, mxx_test_probe_t test_probe, int32_t user);
int32_t MXX_wait_connected(int32_t id, int32_t timeout_ms);
int32_t MXX_get_conn_state_id(int32_t id);
int32_t MXX_disconnect(int32_t id);
int32_t MXX_event_proc(int32_t id, uint8_t event, const uint8_t* data, int32_t length, void* context);
// 0 (also for an unknown id or a repeated registration), -1 when the table is
// full. Safe from any thread; handlers run on the link's reader thread.
int32_t MXX_hook_async_event(int32_t id, uint16_t code, mxx_hook_handler_t handler);

// Discovery and connection strings (`out` and list entries hold 128 bytes).
int32_t MXX_list_usb_devices(char* list, int32_t maximum, int32_t* count);
// Gives a listed USB entry whose product id (the hex text after its last '/')
// is 0x0C44 the prefix "USBF"; other entries are left as they are.
void MXX_rewrite_usb_entry(char* entry);
int32_t MXX_make_usb_conn_string(char* out, const char* entry, int32_t size);
int32_t MXX_make_serial_conn_string(char* out, uint16_t port);
int32_t MXX_make_serial_path_conn_string(char* out, const char* path);
int32_t MXX_make_bt_conn_string(char* out, const char* address, const char* extra);
int32_t MXX_make_net_conn_string(char* out, const char* address, uint16_t port);
int32_t MXX_bt_is_available();
int32_t MXX_comm_bt_discover(int32_t a, int32_t b);
int32_t MXX_comm_bt_discover_wait(char* list, int32_t* count);
int32_t MXX_comm_bt_discover_cancel();
