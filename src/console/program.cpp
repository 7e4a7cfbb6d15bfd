#include "console/program.h"

#include "commands/r40_cmds.h"
#include "commands/r62_live.h"
#include "console/globals.h"
#include "libcomm/libcomm.h"
#include "services/r62_comm.h"

void welcome() {
    log_write("MAIN", "--- ZORVANIK QM-38 V2 ---\n");
    log_write("MAIN", "ver:%s\n\n", QM_VERSION_TEXT);
}

void disconnect_dev() {
    if (!cmd_connected()) return;
    if (MXX_disconnect(id_conn) != 0) log_error("Error disconnecting device!\n");
}

int32_t MXX_event_connected(int32_t id, mxx_conn_t*, int32_t device_type, int32_t) {
    connected.store(1);
    dev_type.store(device_type);
    if (device_type == DEV_TYPE_R62) R62_cmd_hook_events(id);
    return 0;
}

int32_t MXX_event_connection_error(int32_t, mxx_conn_t*, int32_t) {
    connected.store(0);
    log_write("MAIN", "%s", QM_CONNECT_ERROR_TEXT);
    return 0;
}

int32_t MXX_event_disconnected(int32_t, mxx_conn_t*, int32_t) {
    connected.store(0);
    log_write("MAIN", "\nDevice disconnected!\n");
    return 0;
}

int32_t MXX_event_device_list_changed(int32_t) { return 0; }
