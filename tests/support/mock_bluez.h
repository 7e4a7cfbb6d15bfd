// A private system bus for the Bluetooth tests (dbus-daemon, no root, no
// radio) and on it BlueZ as python-dbusmock plays it with the template
// tests/bluez/qm_bluez.py. While the object lives DBUS_SYSTEM_BUS_ADDRESS
// points at that bus and QM_BT_INQUIRY_MS shortens inquiries, for the link
// library in this process and for every program started meanwhile.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "support/process.h"

// The template's parameters as the tests build them.
inline constexpr const char* kSpp = "00001101-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kBtAddress = "00:11:22:33:44:55";

// An instrument: a serial module (class 0x001F00, uncategorised) offering a serial port.
inline nlohmann::json bt_instrument(const std::string& address = kBtAddress, const std::string& pin = "7316") {
    return {{"address", address}, {"name", "QM-38 1234"}, {"class", 0x001F00}, {"uuids", {kSpp}},
            {"pin", pin},         {"rssi", -40}};
}

// `n` instruments "QM-38 <i>" at 00:11:22:33:45:<i>, the later ones nearer.
inline std::vector<nlohmann::json> bt_instruments(int n) {
    std::vector<nlohmann::json> devices;
    for (int i = 0; i < n; ++i) {
        char address[18];
        std::snprintf(address, sizeof address, "00:11:22:33:45:%02X", static_cast<unsigned>(i & 0xFF));
        nlohmann::json d = bt_instrument(address);
        d["name"] = "QM-38 " + std::to_string(i);
        d["rssi"] = -90 + i;
        devices.push_back(d);
    }
    return devices;
}

// One adapter, hci0, and the devices it knows.
inline nlohmann::json bt_world(const std::vector<nlohmann::json>& devices, bool powered = true) {
    return {{"adapters", {{{"name", "hci0"}, {"powered", powered}}}}, {"devices", nlohmann::json(devices)}};
}

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
