// A private system bus for the Bluetooth tests (dbus-daemon, no root, no
// radio) and on it BlueZ as python-dbusmock plays it with the template
// tests/bluez/qm_bluez.py. While the object lives DBUS_SYSTEM_BUS_ADDRESS
// points at that bus and QM_BT_INQUIRY_MS shortens inquiries, for the link
// library in this process and for every program started meanwhile.
#pragma once

#include <memory>
#include <string>

#include "sim/sim.h"
#include "support/process.h"

class MockBluez {
public:
    // `world`: the template's parameters (JSON: adapters, devices); empty
    // for a bus without BlueZ.
    explicit MockBluez(const std::string& world);
    ~MockBluez();
    MockBluez(const MockBluez&) = delete;
    MockBluez& operator=(const MockBluez&) = delete;

    bool ready() const { return ready_; }
    // One end of a new socket pair served by `sim` is what the next serial
    // connection to `address` hands over.
    bool serve_serial(const std::string& address, sim_t* sim);
    // The same with a socket of the caller's (the mock takes a copy).
    bool serve_fd(const std::string& address, int fd);
    // What the mock did so far, once it has logged `text`; empty when it does not come in time.
    std::string wait_logged(const std::string& text, int timeout_ms = 10000);
    std::string log() const;

private:
    std::string dir_;
    std::string saved_address_;
    bool had_address_ = false;
    std::unique_ptr<BackgroundProcess> bus_;
    std::unique_ptr<BackgroundProcess> bluez_;
    bool ready_ = false;
};
