#include "support/sim_link.h"

#include <unistd.h>

#include "console/globals.h"
#include "console/program.h"
#include "libcomm/libcomm.h"
#include "services/r62_comm.h"

namespace {

// The program's own error and closing callbacks print; these stay quiet.
int32_t on_link_down(int32_t, mxx_conn_t*, int32_t) {
    connected.store(0);
    return 0;
}

}  // namespace

SimLink::SimLink(sim_t* sim) : sim_(sim ? sim : SIM_create_demo()) {}

SimLink::~SimLink() { close(); }

bool SimLink::open(int32_t timeout_ms, mxx_probe_t probe, mxx_test_probe_t test_probe) {
    return open_fd(SIM_serve_socketpair(sim_.get()), timeout_ms, probe, test_probe);
}

bool SimLink::open_fd(int32_t fd, int32_t timeout_ms, mxx_probe_t probe, mxx_test_probe_t test_probe) {
    char conn[COMM_ENTRY_SIZE];
    if (comm_make_conn_string_fd(conn, fd) != 0) return false;  // refuses a negative fd
    const bool up = open_conn(conn, timeout_ms, probe, test_probe);
    if (id_ < 0) ::close(fd);  // the link never took it
    return up;
}

bool SimLink::open_pty(int32_t timeout_ms) {
    std::string path;
    int32_t port = 0;
    char conn[COMM_ENTRY_SIZE];
    if (SIM_serve_pty(sim_.get(), &path, &port) != 0 || MXX_make_serial_path_conn_string(conn, path.c_str()) != 0)
        return false;
    return open_conn(conn, timeout_ms, nullptr, nullptr);
}

bool SimLink::open_conn(const char* conn, int32_t timeout_ms, mxx_probe_t probe, mxx_test_probe_t test_probe) {
    close();
    if (MXX_init(nullptr, MXX_event_device_list_changed, 0) != 0) return false;
    initialised_ = true;
    if (MXX_connect(conn, &id_, MXX_event_connected, on_link_down, on_link_down, probe ? probe : R62_probe,
                    test_probe ? test_probe : R62_test_probe, 0) != 0) {
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

