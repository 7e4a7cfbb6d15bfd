#include "support/mock_bluez.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

constexpr const char* kAddressVariable = "DBUS_SYSTEM_BUS_ADDRESS";
constexpr const char* kInquiryMs = "300";

}  // namespace

MockBluez::MockBluez(const std::string& world) {
    char dir[] = "/tmp/qm_bluez_XXXXXX";
    if (!mkdtemp(dir)) return;
    dir_ = dir;
    const std::string address = "unix:path=" + dir_ + "/bus";
    if (const char* old = getenv(kAddressVariable)) {
        had_address_ = true;
        saved_address_ = old;
    }
    setenv(kAddressVariable, address.c_str(), 1);
    setenv("QM_BT_INQUIRY_MS", kInquiryMs, 1);
    bus_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        "/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1", "--address=" + address});
    if (bus_->wait_for(address, 20000).empty()) return;
    if (world.empty()) {
        ready_ = true;
        return;
    }
    // Debian's interpreter: python3-dbusmock lives there, not in another python3 on PATH.
    bluez_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        "/usr/bin/python3", "-m", "dbusmock", "--system", "-t", std::string(QM_SOURCE_DIR) + "/tests/bluez/qm_bluez.py",
        "-p", world});
    ready_ = !bluez_->wait_for("qm mock ready", 30000).empty();
}

MockBluez::~MockBluez() {
    bluez_.reset();
    bus_.reset();
    if (had_address_) setenv(kAddressVariable, saved_address_.c_str(), 1);
    else unsetenv(kAddressVariable);
    unsetenv("QM_BT_INQUIRY_MS");
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool MockBluez::serve_serial(const std::string& address, sim_t* sim) {
    const int fd = SIM_serve_socketpair(sim);
    if (fd < 0) return false;
    const bool handed = serve_fd(address, fd);
    close(fd);  // the mock holds its own copy now
    return handed;
}

bool MockBluez::serve_fd(const std::string& address, int fd) {
    sd_bus* bus = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_open_system(&bus);
    if (r >= 0)
        r = sd_bus_call_method(bus, "org.bluez", "/", "org.bluez.Mock", "SetSerialEndpoint", &error, nullptr, "sh",
                               address.c_str(), fd);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return r >= 0;
}

std::string MockBluez::wait_logged(const std::string& text, int timeout_ms) {
    return bluez_ ? bluez_->wait_for(text, timeout_ms) : std::string();
}

std::string MockBluez::log() const { return bluez_ ? bluez_->output() : std::string(); }
