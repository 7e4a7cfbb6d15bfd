// What every benchmark that connects the way the program does needs: the
// link events that keep the program's connection state.
#pragma once

#include <cstdint>

#include "console/globals.h"
#include "link/mxx_comm.h"

inline int32_t bench_on_connected(int32_t, mxx_conn_t*, int32_t type, int32_t) {
    dev_type.store(type);
    connected.store(1);
    return 0;
}

inline int32_t bench_on_closed(int32_t, mxx_conn_t*, int32_t) {
    connected.store(0);
    return 0;
}
