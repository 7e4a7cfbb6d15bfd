// Bluetooth inquiry: a classic (BR/EDR) discovery through BlueZ for about
// ten seconds, then the devices BlueZ knows on that adapter (paired ones,
// and those heard meanwhile) that pass the class filter, strongest first,
// at most 32, as connection strings.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "libcomm/bluez.h"
#include "libcomm/comm_internal.h"

namespace {

constexpr int MAX_FOUND = 32;
constexpr uint32_t SERVICE_BITS = 0xFFE000;
constexpr uint32_t MAJOR_MISCELLANEOUS = 0x00;
constexpr uint32_t MAJOR_UNCATEGORIZED = 0x1F;
// What the entries carry for opening: the maker's instruments all pair with this PIN.
constexpr const char* ENTRY_PIN = "7316";
constexpr int32_t ENTRY_CHANNEL = 1;
constexpr int32_t ENTRY_TIMEOUT_MS = 60000;

struct inquiry_t {
    std::mutex control;  // start, wait, cancel
    std::thread thread;
    comm_fd cancel{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};  // readable once the inquiry must end
    std::mutex results_mu;
    std::vector<std::string> found;
};

inquiry_t& inquiry() {
    static inquiry_t* q = new inquiry_t;
    return *q;
}

void drain(int fd) {
    uint64_t count;
    ssize_t r = read(fd, &count, sizeof count);
    (void)r;  // EAGAIN: nothing to drain
}

void report_inquiry(const std::string& reason) {
    log_error("Bluetooth inquiry: %s\n", reason.c_str());
}

// Printable, and short enough for the entry: control bytes become spaces,
// and a cut never splits a UTF-8 sequence.
std::string entry_name(const std::string& name, size_t room) {
    std::string out;
    for (unsigned char c : name) out += (c < 0x20 || c == 0x7F) ? ' ' : static_cast<char>(c);
    if (out.size() > room) {
        size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    return out;
}

std::string make_entry(const bluez_device_t& d, uint32_t class_filter) {
    char entry[COMM_ENTRY_SIZE];
    if (comm_make_conn_string_bt(entry, d.address.c_str(), "", class_filter, ENTRY_CHANNEL, ENTRY_PIN,
                                 ENTRY_TIMEOUT_MS) != 0)
        return {};
    const size_t room = COMM_ENTRY_SIZE - 2 - strlen(entry);  // the '/' and the terminator
    const std::string name = entry_name(d.name, room);
    if (name.empty()) return entry;
    return std::string(entry) + "/" + name;
}

// Waits the inquiry's time or until cancelled; false when cancelled.
bool wait_inquiry(int cancel_fd) {
    const auto end = bluez_clock::now() + bluez_inquiry_time();
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - bluez_clock::now()).count();
        if (left <= 0) return true;
        pollfd p{cancel_fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0) return false;
        if (r < 0 && errno != EINTR) return true;
    }
}

std::vector<std::string> run_inquiry(uint32_t class_filter, int cancel_fd) {
    std::string why;
    bluez_bus_ptr bus = bluez_open(&why);
    bluez_objects_t objects;
    if (!bus || !bluez_read_objects(bus.get(), &objects, &why)) {
        report_inquiry(why);
        return {};
    }
    const bluez_adapter_t* picked = bluez_pick_adapter(objects);
    if (!picked) {
        report_inquiry("no Bluetooth adapter");
        return {};
    }
    if (!picked->powered) {
        report_inquiry(bluez_adapter_off_reason(*picked));
        return {};
    }
    const std::string adapter = picked->path;
    bluez_error_t error;
    if (bluez_start_inquiry(bus.get(), adapter, bluez_clock::now() + std::chrono::seconds(10), &error) < 0) {
        report_inquiry(bluez_adapter_name(adapter) + ": " + error.text());
        return {};
    }
    wait_inquiry(cancel_fd);
    // Read before stopping: BlueZ forgets unpaired devices some time after.
    const bool read = bluez_read_objects(bus.get(), &objects, &why);
    bluez_stop_inquiry(bus.get(), adapter);
    if (!read) {
        report_inquiry(why);
        return {};
    }
    std::vector<const bluez_device_t*> wanted;
    for (const bluez_device_t& d : objects.devices)
        if (d.adapter == adapter && comm_bt_class_wanted(class_filter, d.cod, d.serial_port)) wanted.push_back(&d);
    // Heard now before only remembered; the nearest first.
    std::stable_sort(wanted.begin(), wanted.end(), [](const bluez_device_t* a, const bluez_device_t* b) {
        if (a->has_rssi != b->has_rssi) return a->has_rssi;
        return a->has_rssi && a->rssi > b->rssi;
    });
    std::vector<std::string> entries;
    for (const bluez_device_t* d : wanted) {
        if (entries.size() >= MAX_FOUND) break;
        std::string entry = make_entry(*d, class_filter);
        if (!entry.empty()) entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace

bool comm_bt_class_wanted(uint32_t class_filter, uint32_t cod, bool serial_port) {
    if (class_filter == 0 || cod == 0 || serial_port) return true;
    if ((cod & SERVICE_BITS & ~class_filter) != 0) return false;
    const uint32_t major = (cod >> 8) & 0x1F;
    const uint32_t wanted = (class_filter >> 8) & 0x1F;
    if (wanted == MAJOR_MISCELLANEOUS) return major == MAJOR_MISCELLANEOUS || major == MAJOR_UNCATEGORIZED;
    return major == wanted;
}

int32_t comm_bt_discover(int32_t /*flags*/, uint32_t class_of_device, int32_t /*options*/) {
    inquiry_t& q = inquiry();
    std::lock_guard lock(q.control);
    if (q.thread.joinable()) return COMM_ERR_STATE;
    {
        std::lock_guard results(q.results_mu);
        q.found.clear();
    }
    if (!q.cancel.valid()) return COMM_ERR_NOMEM;
    drain(q.cancel.get());
    try {
        q.thread = std::thread([&q, class_of_device, fd = q.cancel.get()] {
            std::vector<std::string> entries = run_inquiry(class_of_device, fd);
            std::lock_guard results(q.results_mu);
            q.found = std::move(entries);
        });
    } catch (const std::system_error&) {
        return COMM_ERR_NOMEM;
    }
    return 0;
}

int32_t comm_bt_discover_wait(char* list, int32_t* count) {
    if (!count) return COMM_ERR_ARG;
    *count = 0;
    inquiry_t& q = inquiry();
    std::lock_guard lock(q.control);
    if (!q.thread.joinable()) return COMM_ERR_STATE;
    q.thread.join();
    std::lock_guard results(q.results_mu);
    if (!list) return COMM_ERR_ARG;
    for (const std::string& entry : q.found) {
        if (*count >= MAX_FOUND) break;
        comm_format_entry(list + static_cast<size_t>(*count) * COMM_ENTRY_SIZE, "%s", entry.c_str());
        ++*count;
    }
    return 0;
}

void comm_bt_stop() {
    inquiry_t& q = inquiry();
    // Before the lock: a discover_wait may hold it until the inquiry ends.
    const uint64_t one = 1;
    ssize_t r = write(q.cancel.get(), &one, sizeof one);
    (void)r;  // a full counter is readable already
    std::lock_guard lock(q.control);
    if (q.thread.joinable()) q.thread.join();
    drain(q.cancel.get());
    std::lock_guard results(q.results_mu);
    q.found.clear();
}

int32_t comm_bt_discover_cancel() {
    comm_bt_stop();
    return 0;
}
