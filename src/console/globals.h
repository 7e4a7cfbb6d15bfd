// Program globals shared by the console, the link-event callbacks and the
// command handlers.
#pragma once

#include <atomic>
#include <cstdint>

#include "services/r40_comm.h"

// Written on the link thread by the event callbacks, read on the console thread.
extern std::atomic<int32_t> dev_type;
extern std::atomic<int32_t> connected;
// Filled by the connection dialogue (at start-up, and by the service
// edition's connect command); console thread only.
extern int32_t id_conn;
// Serial text of the last successful serial read.
extern char serial_no[R40_SERIAL_BUF];
