// The link library's view of BlueZ over D-Bus (sd-bus): its adapters and
// devices from the object manager, and method calls that keep serving our
// own objects (pairing agent, serial-port profile) while they wait.
#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr const char* BLUEZ_SERVICE = "org.bluez";
constexpr const char* BLUEZ_ADAPTER = "org.bluez.Adapter1";
constexpr const char* BLUEZ_DEVICE = "org.bluez.Device1";
constexpr const char* BLUEZ_SPP_UUID = "00001101-0000-1000-8000-00805f9b34fb";

struct bluez_bus_free {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using bluez_bus_ptr = std::unique_ptr<sd_bus, bluez_bus_free>;

struct bluez_slot_free {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using bluez_slot_ptr = std::unique_ptr<sd_bus_slot, bluez_slot_free>;

struct bluez_message_free {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using bluez_message_ptr = std::unique_ptr<sd_bus_message, bluez_message_free>;

// sd_bus_error freed on scope exit.
struct bluez_error_t {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    bluez_error_t() = default;
    bluez_error_t(const bluez_error_t&) = delete;
    bluez_error_t& operator=(const bluez_error_t&) = delete;
    ~bluez_error_t() { sd_bus_error_free(&e); }
    bool is(const char* name) const { return sd_bus_error_has_name(&e, name) != 0; }
    const char* text() const { return e.message ? e.message : (e.name ? e.name : "unknown error"); }
};

struct bluez_adapter_t {
    std::string path;  // "/org/bluez/hci0"
    std::string address;
    bool powered = false;
};

struct bluez_device_t {
    std::string path;
    std::string adapter;  // its adapter's path
    std::string address;
    std::string name;     // empty when the device never told its name
    uint32_t cod = 0;     // class of device; 0 when unknown
    bool paired = false;
    bool serial_port = false;  // offers the Serial Port service
    bool has_rssi = false;     // heard in the current inquiry
    int16_t rssi = 0;
};

struct bluez_objects_t {
    std::vector<bluez_adapter_t> adapters;
    std::vector<bluez_device_t> devices;
};

using bluez_clock = std::chrono::steady_clock;

// Short name of an adapter path ("hci0").
std::string bluez_adapter_name(const std::string& path);

// Connects to the system bus. Null, with the reason in *why, when there is none.
bluez_bus_ptr bluez_open(std::string* why);

// BlueZ's adapters and devices. False, with the reason in *why, when BlueZ
// does not answer (not running) or answers nonsense.
bool bluez_read_objects(sd_bus* bus, bluez_objects_t* out, std::string* why);

// The first powered adapter, else the first one; null when there is none.
const bluez_adapter_t* bluez_pick_adapter(const bluez_objects_t& objects);

// The reason text for an adapter that is switched off.
std::string bluez_adapter_off_reason(const bluez_adapter_t& adapter);

// Calls `method` on a BlueZ object with the arguments `types`, ... (as
// sd_bus_message_append takes them) and serves incoming calls (our agent and
// profile) until its reply or the deadline. 0, or a negative errno
// (-ETIMEDOUT at the deadline), with BlueZ's error in *error when it answered one.
int bluez_call(sd_bus* bus, const char* path, const char* interface, const char* method,
               bluez_clock::time_point deadline, bluez_error_t* error, const char* types, ...);
// As bluez_call, for the long calls the operator may stop (pairing,
// connecting): -ECANCELED once the link library's wait check reports his stop.
int bluez_call_stoppable(sd_bus* bus, const char* path, const char* interface, const char* method,
                         bluez_clock::time_point deadline, bluez_error_t* error, const char* types, ...);

// Starts a classic (BR/EDR) inquiry on the adapter; 0 or a negative errno
// with BlueZ's error in *error.
int bluez_start_inquiry(sd_bus* bus, const std::string& adapter, bluez_clock::time_point deadline,
                        bluez_error_t* error);
// Stops it (best effort, bounded).
void bluez_stop_inquiry(sd_bus* bus, const std::string& adapter);

// How long an inquiry runs: ten seconds, or QM_BT_INQUIRY_MS milliseconds
// (0-60000) when the tests set it.
std::chrono::milliseconds bluez_inquiry_time();
