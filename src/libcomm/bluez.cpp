// BlueZ's object tree read through the object manager, and calls that keep
// the connection serving while they wait.
#include "libcomm/bluez.h"
#include "libcomm/comm_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace {

constexpr uint64_t OBJECTS_TIMEOUT_US = 5'000'000;  // bluetoothd may be started on demand

// Reads one property value of the given signature into the caller's
// storage; any other type is skipped.
template <typename T>
int read_variant(sd_bus_message* m, const char* sig, T* out) {
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, nullptr, &contents);
    if (r < 0) return r;
    if (!contents || strcmp(contents, sig) != 0) return sd_bus_message_skip(m, "v");
    r = sd_bus_message_enter_container(m, 'v', sig);
    if (r < 0) return r;
    if constexpr (std::is_same_v<T, std::string>) {
        const char* text = nullptr;
        r = sd_bus_message_read_basic(m, sig[0], &text);
        if (r >= 0 && text) *out = text;
    } else if constexpr (std::is_same_v<T, bool>) {
        int b = 0;
        r = sd_bus_message_read_basic(m, 'b', &b);
        if (r >= 0) *out = b != 0;
    } else {
        r = sd_bus_message_read_basic(m, sig[0], out);
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int read_uuids(sd_bus_message* m, bool* serial_port) {
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, nullptr, &contents);
    if (r < 0) return r;
    if (!contents || strcmp(contents, "as") != 0) return sd_bus_message_skip(m, "v");
    if ((r = sd_bus_message_enter_container(m, 'v', "as")) < 0) return r;
    if ((r = sd_bus_message_enter_container(m, 'a', "s")) < 0) return r;
    const char* uuid = nullptr;
    while ((r = sd_bus_message_read_basic(m, 's', &uuid)) > 0)
        if (strcasecmp(uuid, BLUEZ_SPP_UUID) == 0) *serial_port = true;
    if (r < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    return sd_bus_message_exit_container(m);
}

// The a{sv} of one interface; `on_property` reads the value of a known name.
template <typename F>
int read_properties(sd_bus_message* m, F on_property) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        if ((r = sd_bus_message_read_basic(m, 's', &name)) < 0) return r;
        if ((r = on_property(name)) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int read_adapter(sd_bus_message* m, bluez_adapter_t* a) {
    return read_properties(m, [&](const char* name) {
        if (strcmp(name, "Address") == 0) return read_variant(m, "s", &a->address);
        if (strcmp(name, "Powered") == 0) return read_variant(m, "b", &a->powered);
        return sd_bus_message_skip(m, "v");
    });
}

int read_device(sd_bus_message* m, bluez_device_t* d) {
    std::string name, alias;
    int r = read_properties(m, [&](const char* key) {
        if (strcmp(key, "Address") == 0) return read_variant(m, "s", &d->address);
        if (strcmp(key, "Adapter") == 0) return read_variant(m, "o", &d->adapter);
        if (strcmp(key, "Name") == 0) return read_variant(m, "s", &name);
        if (strcmp(key, "Alias") == 0) return read_variant(m, "s", &alias);
        if (strcmp(key, "Class") == 0) return read_variant(m, "u", &d->cod);
        if (strcmp(key, "Paired") == 0) return read_variant(m, "b", &d->paired);
        if (strcmp(key, "UUIDs") == 0) return read_uuids(m, &d->serial_port);
        if (strcmp(key, "RSSI") == 0) {
            d->has_rssi = true;
            return read_variant(m, "n", &d->rssi);
        }
        return sd_bus_message_skip(m, "v");
    });
    // Without a name BlueZ makes the alias from the address: show none then.
    d->name = name.empty() ? std::string() : (alias.empty() ? name : alias);
    return r;
}

int read_objects(sd_bus_message* m, bluez_objects_t* out) {
    int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        if ((r = sd_bus_message_read_basic(m, 'o', &path)) < 0) return r;
        if ((r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}")) < 0) return r;
        while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
            const char* iface = nullptr;
            if ((r = sd_bus_message_read_basic(m, 's', &iface)) < 0) return r;
            if (strcmp(iface, BLUEZ_ADAPTER) == 0) {
                bluez_adapter_t a;
                a.path = path;
                if ((r = read_adapter(m, &a)) < 0) return r;
                out->adapters.push_back(std::move(a));
            } else if (strcmp(iface, BLUEZ_DEVICE) == 0) {
                bluez_device_t d;
                d.path = path;
                if ((r = read_device(m, &d)) < 0) return r;
                out->devices.push_back(std::move(d));
            } else if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) {
                return r;
            }
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if (r < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

}  // namespace

std::string bluez_adapter_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bluez_bus_ptr bluez_open(std::string* why) {
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_system(&bus);
    if (r < 0) {
        *why = std::string("no system bus (") + comm_error_text(-r).text + ")";
        return nullptr;
    }
    return bluez_bus_ptr(bus);
}

bool bluez_read_objects(sd_bus* bus, bluez_objects_t* out, std::string* why) {
    *out = bluez_objects_t{};
    bluez_error_t error;
    sd_bus_message* reply = nullptr;
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus, &call, BLUEZ_SERVICE, "/", "org.freedesktop.DBus.ObjectManager",
                                           "GetManagedObjects");
    if (r >= 0) r = sd_bus_call(bus, call, OBJECTS_TIMEOUT_US, &error.e, &reply);
    sd_bus_message_unref(call);
    bluez_message_ptr held(reply);
    if (r < 0) {
        *why = error.is(SD_BUS_ERROR_SERVICE_UNKNOWN) || error.is(SD_BUS_ERROR_NAME_HAS_NO_OWNER)
                   ? std::string("BlueZ is not running (no org.bluez on the system bus)")
                   : std::string("BlueZ does not answer (") + (error.e.name ? error.text() : comm_error_text(-r).text) + ")";
        return false;
    }
    if (read_objects(reply, out) < 0) {
        *out = bluez_objects_t{};
        *why = "BlueZ sent an object list that cannot be read";
        return false;
    }
    return true;
}

const bluez_adapter_t* bluez_pick_adapter(const bluez_objects_t& objects) {
    for (const bluez_adapter_t& a : objects.adapters)
        if (a.powered) return &a;
    return objects.adapters.empty() ? nullptr : &objects.adapters.front();
}

std::string bluez_adapter_off_reason(const bluez_adapter_t& adapter) {
    const std::string name = bluez_adapter_name(adapter.path);
    return "the Bluetooth adapter " + name + " is switched off; switch it on (\"bluetoothctl power on\", or "
           "\"rfkill unblock bluetooth\" first when it is blocked)";
}

namespace {

struct pending_t {
    bool done = false;
    bluez_message_ptr reply;
};

int on_reply(sd_bus_message* m, void* userdata, sd_bus_error* /*ret_error*/) {
    auto* p = static_cast<pending_t*>(userdata);
    p->done = true;
    p->reply.reset(sd_bus_message_ref(m));
    return 1;
}

}  // namespace

namespace {

int bluez_callv(sd_bus* bus, const char* path, const char* interface, const char* method,
                bluez_clock::time_point deadline, bool stoppable, bluez_error_t* error, const char* types,
                va_list args) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, BLUEZ_SERVICE, path, interface, method);
    if (r < 0) return r;
    bluez_message_ptr call(raw);
    if (types && types[0] != '\0') {
        r = sd_bus_message_appendv(call.get(), types, args);
        if (r < 0) return r;
    }
    auto left_us = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - bluez_clock::now());
        return left.count() > 0 ? static_cast<uint64_t>(left.count()) : uint64_t{0};
    };
    if (left_us() == 0) return -ETIMEDOUT;
    pending_t pending;
    sd_bus_slot* slot_raw = nullptr;
    r = sd_bus_call_async(bus, &slot_raw, call.get(), on_reply, &pending, left_us());
    if (r < 0) return r;
    bluez_slot_ptr slot(slot_raw);
    while (!pending.done) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0) return r;
        if (r > 0) continue;
        const uint64_t left = left_us();
        if (left == 0) return -ETIMEDOUT;
        // In slices when the operator may stop the call: a slice's end, or the
        // signal of Ctrl-C, lets the check run.
        r = sd_bus_wait(bus, stoppable ? std::min<uint64_t>(left, COMM_WAIT_CHECK_MS * 1000) : left);
        if (r < 0 && r != -EINTR) return r;
        if (stoppable && comm_operator_stopped()) return -ECANCELED;
    }
    const sd_bus_error* e = sd_bus_message_get_error(pending.reply.get());
    if (!e) return 0;
    sd_bus_error_copy(&error->e, e);
    // sd-bus answers its own time-out as an error reply.
    if (error->is(SD_BUS_ERROR_NO_REPLY) || error->is(SD_BUS_ERROR_TIMEOUT)) return -ETIMEDOUT;
    return -EIO;
}

}  // namespace

int bluez_call(sd_bus* bus, const char* path, const char* interface, const char* method,
               bluez_clock::time_point deadline, bluez_error_t* error, const char* types, ...) {
    va_list args;
    va_start(args, types);
    const int r = bluez_callv(bus, path, interface, method, deadline, false, error, types, args);
    va_end(args);
    return r;
}

int bluez_call_stoppable(sd_bus* bus, const char* path, const char* interface, const char* method,
                         bluez_clock::time_point deadline, bluez_error_t* error, const char* types, ...) {
    va_list args;
    va_start(args, types);
    const int r = bluez_callv(bus, path, interface, method, deadline, true, error, types, args);
    va_end(args);
    return r;
}

int bluez_start_inquiry(sd_bus* bus, const std::string& adapter, bluez_clock::time_point deadline,
                        bluez_error_t* error) {
    // Classic devices only: the instrument's serial port is not on LE.
    int r = bluez_call(bus, adapter.c_str(), BLUEZ_ADAPTER, "SetDiscoveryFilter", deadline, error, "a{sv}", 1,
                       "Transport", "s", "bredr");
    if (r < 0) return r;
    r = bluez_call(bus, adapter.c_str(), BLUEZ_ADAPTER, "StartDiscovery", deadline, error, "");
    // Another program's inquiry already runs on the adapter: its results are ours too.
    return r < 0 && error->is("org.bluez.Error.InProgress") ? 0 : r;
}

void bluez_stop_inquiry(sd_bus* bus, const std::string& adapter) {
    bluez_error_t ignored;
    bluez_call(bus, adapter.c_str(), BLUEZ_ADAPTER, "StopDiscovery", bluez_clock::now() + std::chrono::seconds(2),
               &ignored, "");
}

std::chrono::milliseconds bluez_inquiry_time() {
    constexpr long DEFAULT_MS = 10000, MAX_MS = 60000;
    const char* text = getenv("QM_BT_INQUIRY_MS");
    if (text && text[0] != '\0') {
        char* end = nullptr;
        const long ms = strtol(text, &end, 10);
        if (*end == '\0' && ms >= 0 && ms <= MAX_MS) return std::chrono::milliseconds(ms);
    }
    return std::chrono::milliseconds(DEFAULT_MS);
}
