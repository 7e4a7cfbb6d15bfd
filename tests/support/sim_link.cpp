#include "support/sim_link.h"

#include <unistd.h>

#include "console/globals.h"
#include "link/libcomm.h"
#include "services/r62_comm.h"

namespace {

std::atomic<int32_t> closed_count{0};

int32_t on_connected(int32_t, mxx_conn_t*, int32_t device_type, int32_t) {
    connected.store(1);
    dev_type.store(device_type);
    return 0;
}

int32_t on_error(int32_t, mxx_conn_t*, int32_t) {
    connected.store(0);
    return 0;
}

int32_t on_closed(int32_t, mxx_conn_t*, int32_t) {
    connected.store(0);
    closed_count.fetch_add(1);
    return 0;
}

int32_t usb_changed(int32_t) { return 0; }

}  // namespace

SimLink::SimLink(sim_t* sim) : sim_(sim ? sim : SIM_create_demo()) {}

SimLink::~SimLink() { close(); }

bool SimLink::open(int32_t timeout_ms, mxx_probe_t probe, mxx_test_probe_t test_probe) {
    return open_fd(SIM_serve_socketpair(sim_.get()), timeout_ms, probe, test_probe);
}

bool SimLink::open_fd(int32_t fd, int32_t timeout_ms, mxx_probe_t probe, mxx_test_probe_t test_probe) {
    close();
    closed_count.store(0);
    char conn[COMM_ENTRY_SIZE];
    if (comm_make_conn_string_fd(conn, fd) != 0) return false;  // refuses a negative fd
    if (MXX_init(nullptr, usb_changed, 0) != 0) {
        ::close(fd);
        return false;
    }
    initialised_ = true;
    if (MXX_connect(conn, &id_, on_connected, on_error, on_closed, probe ? probe : R62_probe,
                    test_probe ? test_probe : R62_test_probe, 0) != 0) {
        ::close(fd);
        id_ = -1;
        return false;
    }
    id_conn = id_;
    if (MXX_wait_connected(id_, timeout_ms) != 0) return false;
    return MXX_get_conn_state_id(id_) == COMM_STATE_CONNECTED && connected.load() == 1;
}

void SimLink::close() {
    if (id_ >= 0 && MXX_get_conn_state_id(id_) != COMM_STATE_NONE) MXX_disconnect(id_);
    if (initialised_) MXX_shut();
    initialised_ = false;
    id_ = -1;
    connected.store(0);
    dev_type.store(0);
    id_conn = -1;
}

int32_t SimLink::closed_events() const { return closed_count.load(); }
