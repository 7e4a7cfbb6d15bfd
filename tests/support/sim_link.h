// A simulated instrument in-process, reached over a socket pair through the
// real link layer: MXX_init, MXX_connect with an "FD:" connection string and
// a probe pair, identification, and the program globals (connected,
// dev_type, id_conn) kept as the program's own callbacks keep them, without
// printing. Teardown disconnects, shuts the link layer, resets the globals
// and destroys the instrument.
#pragma once

#include <atomic>
#include <cstdint>

#include "link/mxx_comm.h"
#include "sim/sim.h"

class SimLink {
public:
    // Takes ownership of `sim`; null makes the demo instrument.
    explicit SimLink(sim_t* sim = nullptr);
    ~SimLink();
    SimLink(const SimLink&) = delete;
    SimLink& operator=(const SimLink&) = delete;

    // Opens the link and waits until the probe check identified the
    // instrument. True when it is up (connected, state 2); id_conn is set.
    // Defaults: the instrument family's probe pair.
    bool open(int32_t timeout_ms = 5000, mxx_probe_t probe = nullptr, mxx_test_probe_t test_probe = nullptr);
    // The same over a socket someone else answers on (the instrument stays
    // unused); takes ownership of `fd`.
    bool open_fd(int32_t fd, int32_t timeout_ms = 5000, mxx_probe_t probe = nullptr,
                 mxx_test_probe_t test_probe = nullptr);
    // The same over any connection string (the instrument stays unused
    // unless the string leads to it).
    bool open_conn(const char* conn, int32_t timeout_ms = 5000, mxx_probe_t probe = nullptr,
                   mxx_test_probe_t test_probe = nullptr);
    // The same over a pseudo-terminal the instrument serves, opened as a COM
    // port: a tty's small buffer, unlike a socket pair's.
    bool open_pty(int32_t timeout_ms = 5000);
    // Disconnects (if still open) and shuts the link layer; idempotent.
    void close();

    sim_t* sim() const { return sim_.get(); }
    int32_t id() const { return id_; }

private:
    sim_ptr sim_;
    int32_t id_ = -1;
    bool initialised_ = false;
};
