// Program entry pieces shared by the plain program and its service edition:
// the banner, the link-event callbacks that keep the globals current, and
// the orderly disconnect.
#pragma once

#include <cstdint>

#include "link/mxx_comm.h"

constexpr const char* QM_VERSION_TEXT = "0.11.0";
// Said by the dialogue when no link comes up, and by the link-error event.
constexpr const char* QM_CONNECT_ERROR_TEXT = "\nError connecting device!\n";

void welcome();
void disconnect_dev();

// Link-event callbacks; they run on the link's thread.
int32_t MXX_event_connected(int32_t id, mxx_conn_t* context, int32_t device_type, int32_t user);
int32_t MXX_event_connection_error(int32_t id, mxx_conn_t* context, int32_t user);
int32_t MXX_event_disconnected(int32_t id, mxx_conn_t* context, int32_t user);
int32_t MXX_event_device_list_changed(int32_t user);
