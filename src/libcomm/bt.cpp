// Bluetooth links through BlueZ over D-Bus. Strings:
// "BT:<channel>,<timeout ms>,<pin>:<address>[/<name>]". Opening pairs the
// device when it is not paired yet (our agent answers the string's PIN),
// then has BlueZ connect its Serial Port service; the RFCOMM socket BlueZ
// hands to our profile becomes the link. Agent and profile stay registered
// while the link lives: BlueZ shuts the socket down when its profile goes.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "libcomm/bluez.h"
#include "libcomm/comm_internal.h"

namespace {

constexpr long MAX_CONNECT_MS = 600000;
constexpr size_t ADDRESS_LENGTH = 17;
constexpr size_t MAX_PIN = 16;

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "AA:BB:CC:DD:EE:FF" at the start of `s`.
bool address_valid(const char* s) {
    for (size_t i = 0; i < ADDRESS_LENGTH; ++i) {
        const bool colon = i % 3 == 2;
        if (colon ? s[i] != ':' : !is_hex(s[i])) return false;
    }
    return true;
}

bool pin_valid(const char* pin) {
    return strlen(pin) <= MAX_PIN && !strpbrk(pin, ":,/");
}

// Longer than the 1.28-s longest sniff interval a device commonly uses, so a
// pause inside a frame does not discard it; the probe's seven tries still
// take 10.5 s of the connection dialogue's 15-s wait.
constexpr int32_t BT_IDLE_MS = 1500;
constexpr auto TEARDOWN_TIME = std::chrono::seconds(2);
constexpr const char* AGENT_PATH = "/org/qm38/bt/agent";
constexpr const char* PROFILE_PATH = "/org/qm38/bt/profile";
constexpr const char* AGENT_CAPABILITY = "KeyboardOnly";  // we type the PIN; nothing to show or confirm
constexpr const char* PAIR_REFUSED_ERRORS[] = {
    "org.bluez.Error.AuthenticationFailed", "org.bluez.Error.AuthenticationRejected",
    "org.bluez.Error.AuthenticationCanceled", "org.bluez.Error.Rejected"};

// One link's bus connection and the objects it registered with BlueZ.
struct bt_link_t final : comm_link_state_t {
    bluez_bus_ptr bus;
    std::string owner;  // org.bluez's unique name: the only caller we answer
    std::string device_path;
    std::string pin;
    bluez_slot_ptr agent_object, profile_object;
    bool agent_registered = false;
    bool profile_registered = false;
    comm_fd handed;  // the connected socket from NewConnection

    ~bt_link_t() override {
        handed.reset();
        const auto deadline = bluez_clock::now() + TEARDOWN_TIME;
        bluez_error_t ignored;
        if (profile_registered)
            bluez_call(bus.get(), "/org/bluez", "org.bluez.ProfileManager1", "UnregisterProfile", deadline, &ignored,
                       "o", PROFILE_PATH);
        if (agent_registered)
            bluez_call(bus.get(), "/org/bluez", "org.bluez.AgentManager1", "UnregisterAgent", deadline, &ignored, "o",
                       AGENT_PATH);
    }

    // A call about our device from BlueZ itself; anyone else on the bus is refused.
    bool ours(sd_bus_message* m, const char* device) const {
        const char* sender = sd_bus_message_get_sender(m);
        return sender && owner == sender && device && device_path == device;
    }
};

int refuse(sd_bus_message* m) {
    return sd_bus_reply_method_errorf(m, "org.bluez.Error.Rejected", "not asked by this link");
}

int reply_empty(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "");
}

int refuse_call(sd_bus_message* m, void*, sd_bus_error*) {
    return refuse(m);
}

int agent_pin_code(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* link = static_cast<bt_link_t*>(userdata);
    const char* device = nullptr;
    if (sd_bus_message_read(m, "o", &device) < 0 || !link->ours(m, device) || link->pin.empty()) return refuse(m);
    return sd_bus_reply_method_return(m, "s", link->pin.c_str());
}

// A device with simple pairing may ask for a passkey: a numeric PIN is one.
int agent_passkey(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* link = static_cast<bt_link_t*>(userdata);
    const char* device = nullptr;
    const std::string& pin = link->pin;
    if (sd_bus_message_read(m, "o", &device) < 0 || !link->ours(m, device) || pin.empty() || pin.size() > 6 ||
        pin.find_first_not_of("0123456789") != std::string::npos)
        return refuse(m);
    return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(std::stoul(pin)));
}

const sd_bus_vtable agent_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Release", "", "", reply_empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestPinCode", "o", "s", agent_pin_code, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestPasskey", "o", "u", agent_passkey, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DisplayPinCode", "os", "", refuse_call, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DisplayPasskey", "ouq", "", refuse_call, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestConfirmation", "ou", "", refuse_call, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestAuthorization", "o", "", refuse_call, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AuthorizeService", "os", "", refuse_call, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Cancel", "", "", reply_empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

int profile_new_connection(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* link = static_cast<bt_link_t*>(userdata);
    const char* device = nullptr;
    int fd = -1;
    if (sd_bus_message_read(m, "oh", &device, &fd) < 0 || !link->ours(m, device) || link->handed.valid())
        return refuse(m);
    // The message owns its descriptor: keep a copy of our own.
    link->handed.reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (!link->handed.valid()) return sd_bus_reply_method_errorf(m, "org.bluez.Error.Canceled", "%s", comm_error_text(errno).text);
    return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable profile_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Release", "", "", reply_empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("NewConnection", "oha{sv}", "", profile_new_connection, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestDisconnection", "o", "", reply_empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

struct bt_target_t {
    comm_bt_conf_t conf;
    std::string label;  // "name (address)" or the address
    bluez_clock::time_point deadline;
};

int32_t report_bt(const bt_target_t& t, const std::string& reason, int32_t code = COMM_ERR_OPEN) {
    log_error("Bluetooth device %s: %s\n", t.label.c_str(), reason.c_str());
    return code;
}

constexpr const char* STOPPED_REASON = "connecting stopped";

std::string timeout_reason(const bt_target_t& t) {
    return "no answer within " + std::to_string(t.conf.timeout_ms) + " ms";
}

const bluez_device_t* find_device(const bluez_objects_t& objects, const std::string& address) {
    for (const bluez_device_t& d : objects.devices)
        if (strcasecmp(d.address.c_str(), address.c_str()) == 0) return &d;
    return nullptr;
}

const bluez_adapter_t* find_adapter(const bluez_objects_t& objects, const std::string& path) {
    for (const bluez_adapter_t& a : objects.adapters)
        if (a.path == path) return &a;
    return nullptr;
}

// A device BlueZ does not know yet (a typed address): an inquiry until it
// turns up, for at most one inquiry's time.
int32_t find_by_inquiry(sd_bus* bus, const bluez_adapter_t& adapter, const bt_target_t& t, bluez_objects_t* objects) {
    bluez_error_t error;
    if (bluez_start_inquiry(bus, adapter.path, t.deadline, &error) < 0)
        return report_bt(t, std::string("inquiry failed: ") + error.text());
    const auto end = std::min(t.deadline, bluez_clock::now() + bluez_inquiry_time());
    std::string why;
    bool found = false;
    while (!found) {
        if (!bluez_read_objects(bus, objects, &why)) break;
        found = find_device(*objects, t.conf.address) != nullptr;
        if (found || bluez_clock::now() >= end) break;
        sd_bus_wait(bus, 250000);  // nothing to serve: only a pause
        while (sd_bus_process(bus, nullptr) > 0) {
        }
    }
    bluez_stop_inquiry(bus, adapter.path);
    if (found) return 0;
    if (!why.empty()) return report_bt(t, why);
    return report_bt(t, "not found (is it switched on and in range?)");
}

int32_t pair(bt_link_t* link, const bt_target_t& t) {
    sd_bus* bus = link->bus.get();
    sd_bus_slot* slot = nullptr;
    bluez_error_t error;
    if (sd_bus_add_object_vtable(bus, &slot, AGENT_PATH, "org.bluez.Agent1", agent_vtable, link) < 0)
        return report_bt(t, "cannot serve a pairing agent");
    link->agent_object.reset(slot);
    int r = bluez_call(bus, "/org/bluez", "org.bluez.AgentManager1", "RegisterAgent", t.deadline, &error, "os",
                       AGENT_PATH, AGENT_CAPABILITY);
    if (r == -ETIMEDOUT) return report_bt(t, timeout_reason(t), COMM_ERR_TIMEOUT);
    if (r < 0) return report_bt(t, std::string("BlueZ refused the pairing agent: ") + error.text());
    link->agent_registered = true;
    r = bluez_call_stoppable(bus, link->device_path.c_str(), BLUEZ_DEVICE, "Pair", t.deadline, &error, "");
    if (r == 0 || error.is("org.bluez.Error.AlreadyExists")) return 0;
    if (r == -ETIMEDOUT || r == -ECANCELED) {
        bluez_error_t ignored;
        bluez_call(bus, link->device_path.c_str(), BLUEZ_DEVICE, "CancelPairing", bluez_clock::now() + TEARDOWN_TIME,
                   &ignored, "");
        if (r == -ECANCELED) return report_bt(t, STOPPED_REASON, COMM_ERR_INTERRUPTED);
        return report_bt(t, timeout_reason(t), COMM_ERR_TIMEOUT);
    }
    for (const char* name : PAIR_REFUSED_ERRORS)
        if (error.is(name)) return report_bt(t, std::string("pairing refused or wrong PIN (") + error.text() + ")");
    return report_bt(t, std::string("pairing failed: ") + error.text());
}

int32_t connect_serial_port(bt_link_t* link, const bt_target_t& t) {
    sd_bus* bus = link->bus.get();
    sd_bus_slot* slot = nullptr;
    bluez_error_t error;
    if (sd_bus_add_object_vtable(bus, &slot, PROFILE_PATH, "org.bluez.Profile1", profile_vtable, link) < 0)
        return report_bt(t, "cannot serve a serial-port profile");
    link->profile_object.reset(slot);
    int r = bluez_call(bus, "/org/bluez", "org.bluez.ProfileManager1", "RegisterProfile", t.deadline, &error,
                       "osa{sv}", PROFILE_PATH, BLUEZ_SPP_UUID, 2, "Role", "s", "client", "Name", "s",
                       "QM-38 serial port");
    if (r == -ETIMEDOUT) return report_bt(t, timeout_reason(t), COMM_ERR_TIMEOUT);
    if (r < 0) return report_bt(t, std::string("BlueZ refused the serial-port profile: ") + error.text());
    link->profile_registered = true;
    r = bluez_call_stoppable(bus, link->device_path.c_str(), BLUEZ_DEVICE, "ConnectProfile", t.deadline, &error, "s",
                             BLUEZ_SPP_UUID);
    if (r == -ETIMEDOUT) return report_bt(t, timeout_reason(t), COMM_ERR_TIMEOUT);
    if (r == -ECANCELED) return report_bt(t, STOPPED_REASON, COMM_ERR_INTERRUPTED);
    if (r < 0 && (error.is("org.bluez.Error.NotAvailable") || error.is("org.bluez.Error.NotSupported")))
        return report_bt(t, "no serial-port service");
    if (r < 0) return report_bt(t, std::string("connection failed: ") + error.text());
    if (!link->handed.valid()) return report_bt(t, "BlueZ connected the serial port but handed over no socket");
    const int flags = fcntl(link->handed.get(), F_GETFL);
    if (flags < 0 || fcntl(link->handed.get(), F_SETFL, flags | O_NONBLOCK) < 0)
        return report_bt(t, comm_error_text(errno).text);
    return 0;
}

std::string bluez_owner(sd_bus* bus) {
    bluez_error_t error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetNameOwner", &error.e, &reply, "s", BLUEZ_SERVICE) < 0)
        return {};
    bluez_message_ptr held(reply);
    const char* owner = nullptr;
    return sd_bus_message_read(reply, "s", &owner) >= 0 && owner ? owner : "";
}

int32_t bt_open(const char* conn, const char* params, comm_io_t* io) {
    bt_target_t t;
    if (!comm_parse_bt(params, &t.conf)) {
        comm_report_bad_conn(conn);
        return COMM_ERR_ARG;
    }
    t.label = t.conf.name.empty() ? t.conf.address : t.conf.name + " (" + t.conf.address + ")";
    t.deadline = bluez_clock::now() + std::chrono::milliseconds(t.conf.timeout_ms);
    auto link = std::make_unique<bt_link_t>();
    link->pin = t.conf.pin;
    std::string why;
    bluez_objects_t objects;
    link->bus = bluez_open(&why);
    if (!link->bus || !bluez_read_objects(link->bus.get(), &objects, &why))
        return report_bt(t, why, COMM_ERR_UNSUPPORTED);
    link->owner = bluez_owner(link->bus.get());
    const bluez_device_t* device = find_device(objects, t.conf.address);
    const bluez_adapter_t* adapter = device ? find_adapter(objects, device->adapter) : bluez_pick_adapter(objects);
    if (!adapter) return report_bt(t, "no Bluetooth adapter", COMM_ERR_UNSUPPORTED);
    if (!adapter->powered) return report_bt(t, bluez_adapter_off_reason(*adapter));
    if (!device) {
        const bluez_adapter_t chosen = *adapter;
        const int32_t r = find_by_inquiry(link->bus.get(), chosen, t, &objects);
        if (r != 0) return r;
        device = find_device(objects, t.conf.address);
    }
    link->device_path = device->path;
    if (!device->paired) {
        const int32_t r = pair(link.get(), t);
        if (r != 0) return r;
    }
    const int32_t r = connect_serial_port(link.get(), t);
    if (r != 0) return r;
    io->fd = std::move(link->handed);
    io->state = std::move(link);
    io->min_idle_ms = BT_IDLE_MS;
    return 0;
}

}  // namespace

bool comm_parse_bt(const char* params, comm_bt_conf_t* conf) {
    long channel, timeout_ms;
    const char* p = params;
    if (!comm_parse_number(p, 1, 30, ',', &channel) || !comm_parse_number(p, 0, MAX_CONNECT_MS, ',', &timeout_ms))
        return false;
    const char* colon = strchr(p, ':');
    if (!colon || static_cast<size_t>(colon - p) > MAX_PIN) return false;
    const char* addr = colon + 1;
    if (strnlen(addr, ADDRESS_LENGTH) < ADDRESS_LENGTH || !address_valid(addr)) return false;
    if (addr[ADDRESS_LENGTH] != '\0' && addr[ADDRESS_LENGTH] != '/') return false;
    const char* name = addr[ADDRESS_LENGTH] == '/' ? addr + ADDRESS_LENGTH + 1 : "";
    *conf = comm_bt_conf_t{static_cast<int32_t>(channel), static_cast<int32_t>(timeout_ms),
                           std::string(p, static_cast<size_t>(colon - p)), std::string(addr, ADDRESS_LENGTH), name};
    return true;
}

constexpr const char* bt_prefixes[] = {"BT"};
const comm_transport_t comm_bt_transport = {bt_prefixes, bt_open, comm_fd_read, comm_sock_write, false};

int32_t comm_bt_is_available() {
    std::string why;
    bluez_bus_ptr bus = bluez_open(&why);
    bluez_objects_t objects;
    return bus && bluez_read_objects(bus.get(), &objects, &why) && !objects.adapters.empty() ? 1 : 0;
}

bool comm_bt_address_valid(const char* text) {
    return text && strlen(text) == ADDRESS_LENGTH && address_valid(text);
}

int32_t comm_make_conn_string_bt(char* out, const char* address, const char* extra, uint32_t /*class_of_device*/,
                                 int32_t channel, const char* pin, int32_t timeout_ms) {
    if (!out) return COMM_ERR_ARG;
    out[0] = '\0';
    if (!comm_bt_address_valid(address)) return COMM_ERR_ARG;
    if (channel < 1 || channel > 30 || timeout_ms < 0 || timeout_ms > MAX_CONNECT_MS) return COMM_ERR_ARG;
    if (!pin) pin = "";
    if (!pin_valid(pin)) return COMM_ERR_ARG;
    if (extra && extra[0] != '\0')
        return comm_format_entry(out, "BT:%d,%d,%s:%s/%s", channel, timeout_ms, pin, address, extra);
    return comm_format_entry(out, "BT:%d,%d,%s:%s", channel, timeout_ms, pin, address);
}
