// Connection dialogue: the operator picks no device, USB, a COM port or
// Bluetooth; the link is opened with the instrument's probe pair and waited for.
#pragma once

#include <cstdint>

#include "link/mxx_comm.h"

// The link operations the dialogue uses. The program passes the real ones;
// tests pass stand-ins to drive every branch without hardware.
struct connect_ops_t {
    int32_t (*bt_is_available)();
    int32_t (*list_usb_devices)(char* list, int32_t maximum, int32_t* count);
    int32_t (*get_devid_string)(const char* entry, char* text);
    int32_t (*make_serial_conn_string)(char* out, uint16_t port);
    int32_t (*bt_discover)(int32_t a, int32_t b);
    int32_t (*bt_discover_wait)(char* list, int32_t* count);
    int32_t (*make_bt_conn_string)(char* out, const char* address, const char* extra);
    int32_t (*connect)(const char* conn, int32_t* id, mxx_on_connected_t on_connected, mxx_on_event_t on_error,
                       mxx_on_event_t on_closed, mxx_probe_t probe, mxx_test_probe_t test_probe, int32_t user);
    int32_t (*wait_connected)(int32_t id, int32_t timeout_ms);
    int32_t (*get_conn_state)(int32_t id);
    int32_t (*disconnect)(int32_t id);
};

extern const connect_ops_t connect_ops_link;

// 0 when a link was opened and its wait ended in time (whatever state it
// then reports), -1 otherwise. Stores the connection id in id_conn. Ctrl-C
// or the end of input at any of its prompts opens nothing (-1, silently);
// so does Ctrl-C while the link comes up or the instrument identifies itself
// (the link is closed again).
int32_t connect_dev();
int32_t connect_dev_with(const connect_ops_t* ops);

// Menu handler of the service edition: the dialogue again, after a restart,
// a flashing, a lost link or a failed connect. A link left open without an
// identified instrument is closed first, so it cannot read the new link's
// answers.
int32_t connect_dev_cmd(char line[], int32_t argument);
