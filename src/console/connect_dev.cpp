#include "console/connect_dev.h"

#include <algorithm>
#include <cstring>

#include "console/conutil.h"
#include "console/globals.h"
#include "console/program.h"
#include "libcomm/libcomm.h"
#include "services/r62_comm.h"

namespace {

constexpr int32_t CONNECT_WAIT_MS = 15000;
constexpr uint32_t BT_ADDR_MAX = 18;

enum : int32_t { CONN_NONE = 1, CONN_USB = 2, CONN_COM = 3, CONN_BT = 4 };

// Copies list entry k-1 (k counted from 1) into the connection string.
void take_entry(char* conn, const char list[][COMM_ENTRY_SIZE], int32_t k) {
    std::memcpy(conn, list[k - 1], COMM_ENTRY_SIZE);
    conn[COMM_ENTRY_SIZE - 1] = '\0';
}

int32_t connect_failed() {
    log_error("%s", QM_CONNECT_ERROR_TEXT);
    return -1;
}

// Ctrl-C or the end of input inside the dialogue: nothing the operator did
// not choose is opened.
bool dialogue_stopped() { return input_interrupted() != 0 || input_eof() != 0; }

int32_t clamp_count(int32_t count) { return std::clamp(count, 0, MXX_LIST_ENTRIES); }

using log_fn_t = int32_t (*)(const char* tag, const char* format, ...);

// Lists the entries behind the given first line and lets the operator pick
// one; Enter picks the last. Returns the number chosen, 0 for the first line.
int32_t pick_entry(const connect_ops_t* ops, const char list[][COMM_ENTRY_SIZE], int32_t count, const char* first,
                   log_fn_t print_entry) {
    log_append("MAIN", "%s", first);
    for (int32_t i = 0; i < count; ++i) {
        char text[COMM_ENTRY_SIZE] = {};
        ops->get_devid_string(list[i], text);
        text[COMM_ENTRY_SIZE - 1] = '\0';
        print_entry("MAIN", "%d. '%s'\n", i + 1, text);
    }
    int32_t k = count;
    log_write("MAIN", "\n");
    input_integer_msg(&k, 0, count, "Select device");
    return k;
}

void choose_usb(const connect_ops_t* ops, char* conn) {
    char list[MXX_LIST_ENTRIES][COMM_ENTRY_SIZE] = {};
    int32_t count = 0;
    if (ops->list_usb_devices(&list[0][0], MXX_LIST_ENTRIES, &count) != 0) count = 0;
    count = clamp_count(count);
    const int32_t k = pick_entry(ops, list, count, "0. No device\n", log_append);
    if (k >= 1) take_entry(conn, list, k);
}

void choose_bluetooth(const connect_ops_t* ops, char* conn) {
    char list[MXX_LIST_ENTRIES][COMM_ENTRY_SIZE] = {};
    int32_t count = 0;
    log_write("MAIN", "Bluetooth inquiry...");
    if (ops->bt_discover(0, 0) != 0 || ops->bt_discover_wait(&list[0][0], &count) != 0) count = 0;
    count = clamp_count(count);
    log_write("MAIN", "Complete.\n");
    const int32_t k = pick_entry(ops, list, count, "0. Enter BD addr\n", log_write);
    if (k >= 1) {
        take_entry(conn, list, k);
        return;
    }
    char address[BT_ADDR_MAX + 1] = {};
    input_string_msg(address, 1, BT_ADDR_MAX, "Enter BD address");
    ops->make_bt_conn_string(conn, address, "");
}

}  // namespace

const connect_ops_t connect_ops_link = {
    MXX_bt_is_available,        MXX_list_usb_devices, comm_get_devid_string, MXX_make_serial_conn_string,
    MXX_comm_bt_discover,       MXX_comm_bt_discover_wait, MXX_make_bt_conn_string, MXX_connect,
    MXX_wait_connected,         MXX_get_conn_state_id,     MXX_disconnect,
};

int32_t connect_dev() { return connect_dev_with(&connect_ops_link); }

int32_t connect_dev_with(const connect_ops_t* ops) {
    if (connected.load() == 1) {
        log_error("\nDevice already connected!\n");
        return -1;
    }
    char conn[COMM_ENTRY_SIZE] = {};

    log_write("MAIN", "1. No device\n");
    log_write("MAIN", "2. USB\n");
    log_write("MAIN", "3. COM port\n");
    int32_t options = 3;
    if (ops->bt_is_available() != 0) {
        log_append("MAIN", "4. Bluetooth\n");
        options = 4;
    }
    log_write("MAIN", "\n");

    int32_t type = CONN_USB;
    input_integer_msg(&type, 0, options, "Select connection type");
    if (dialogue_stopped()) return -1;
    if (type == CONN_USB) {
        choose_usb(ops, conn);
    } else if (type == CONN_COM) {
        int32_t port = 1;
        input_integer_msg(&port, 1, 255, "Select COM port");
        ops->make_serial_conn_string(conn, static_cast<uint16_t>(port));
    } else if (type == CONN_BT) {
        choose_bluetooth(ops, conn);
    }
    if (dialogue_stopped()) return -1;

    log_write("MAIN", "\n");
    log_write("MAIN", "Connecting device...");
    if (ops->connect(conn, &id_conn, MXX_event_connected, MXX_event_connection_error, MXX_event_disconnected,
                     R62_probe, R62_test_probe, 0) != 0)
        return input_interrupted() != 0 ? -1 : connect_failed();
    if (ops->wait_connected(id_conn, CONNECT_WAIT_MS) != 0) {
        if (input_interrupted() == 0) return connect_failed();
        ops->disconnect(id_conn);
        id_conn = -1;
        return -1;
    }
    if (ops->get_conn_state(id_conn) == COMM_STATE_CONNECTED) log_write("MAIN", "Ok.\n");
    else log_write("MAIN", "Error!\n");
    return 0;
}

int32_t connect_dev_cmd(char[], int32_t) {
    if (connected.load() != 1 && id_conn >= 0) {
        MXX_disconnect(id_conn);
        id_conn = -1;
    }
    return connect_dev() == 0 ? 0 : -1;
}
