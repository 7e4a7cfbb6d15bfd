// USB instruments: their CDC tty found through udev, opened as a serial
// port at 115200 8N1 (exclusively, as every serial port). Entries and
// strings: "USBS:<path>/<pid hex>" (also "USBF" and "USBU"). A udev monitor
// reports instruments' ttys coming and going.
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "libcomm/comm_internal.h"

namespace {

struct udev_free {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
};
template <typename T>
using udev_ptr = std::unique_ptr<T, udev_free>;

constexpr const char* usb_prefixes[] = {"USBF", "USBS", "USBU"};

bool has_usb_prefix(const char* s) {
    for (const char* prefix : usb_prefixes)
        if (strncmp(s, prefix, 4) == 0 && s[4] == ':') return true;
    return false;
}

}  // namespace

bool comm_parse_usb(const char* params, std::string* path, unsigned* pid) {
    const char* slash = strrchr(params, '/');
    if (!slash || slash == params || slash[1] == '\0') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(slash + 1, &end, 16);
    if (errno != 0 || *end != '\0' || v > 0xFFFF || slash[1] == '-' || slash[1] == '+') return false;
    path->assign(params, static_cast<size_t>(slash - params));
    *pid = static_cast<unsigned>(v);
    return true;
}

namespace {

int32_t usb_open(const char* conn, const char* params, comm_io_t* io) {
    std::string path;
    unsigned pid;
    if (!comm_parse_usb(params, &path, &pid)) {
        comm_report_bad_conn(conn);
        return COMM_ERR_ARG;
    }
    return comm_serial_open_path(path.c_str(), 115200, 8, 1, 0, 0, &io->fd);
}

bool parse_hex_id(const char* text, unsigned* value) {
    if (!text) return false;
    char* end = nullptr;
    unsigned long v = strtoul(text, &end, 16);
    if (end == text || v > 0xFFFF) return false;
    *value = static_cast<unsigned>(v);
    return true;
}

bool read_hex_attr(udev_device* dev, const char* name, unsigned* value) {
    return parse_hex_id(udev_device_get_sysattr_value(dev, name), value);
}

bool attr_matches(udev_device* dev, const char* name, const char* wanted) {
    if (!wanted || wanted[0] == '\0') return true;
    const char* text = udev_device_get_sysattr_value(dev, name);
    return text && strcmp(text, wanted) == 0;
}

// The tty device of a node (or a symlink to one), if the node is still there.
udev_ptr<udev_device> device_of_node(udev* u, const char* path) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode)) return nullptr;
    udev_ptr<udev_device> dev(udev_device_new_from_devnum(u, 'c', st.st_rdev));
    if (dev) return dev;
    // Without a /sys/dev/char entry (some sysfs views lack them): look among the ttys.
    udev_ptr<udev_enumerate> en(udev_enumerate_new(u));
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "tty") < 0 || udev_enumerate_scan_devices(en.get()) < 0)
        return nullptr;
    udev_list_entry* item;
    udev_list_entry_foreach(item, udev_enumerate_get_list_entry(en.get())) {
        dev.reset(udev_device_new_from_syspath(u, udev_list_entry_get_name(item)));
        if (dev && udev_device_get_devnum(dev.get()) == st.st_rdev) return dev;
    }
    return nullptr;
}

// The instrument family the device-set monitor watches (the range the
// program lists).
constexpr unsigned watched_vid = 0x1781, watched_pid_min = 0x0C44, watched_pid_max = 0x0C4D;

// A tty of a watched instrument, by its USB device's attributes.
bool is_watched_tty(udev_device* tty) {
    unsigned vid, pid;
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    return usb && read_hex_attr(usb, "idVendor", &vid) && read_hex_attr(usb, "idProduct", &pid) &&
           vid == watched_vid && pid >= watched_pid_min && pid <= watched_pid_max;
}

// Node paths in a stable order: by name, numbers by value (ttyACM2 before ttyACM10).
bool node_less(const std::string& a, const std::string& b) {
    auto split = [](const std::string& s) {
        size_t i = s.size();
        while (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9') --i;
        const std::string digits = s.substr(i);
        return std::make_tuple(s.substr(0, i), digits.size(), digits);
    };
    return split(a) < split(b);
}

struct monitor_t {
    std::mutex mu;  // serialises register/deregister
    std::thread thread;
    comm_fd stop_fd;
    std::atomic<comm_usb_callback_t> callback{nullptr};
    std::atomic<int32_t> user{0};
};

monitor_t& monitor() {
    static monitor_t* m = new monitor_t;
    return *m;
}

void monitor_main(udev_ptr<udev> u, udev_ptr<udev_monitor> mon, int stop_fd, std::set<std::string> present) {
    monitor_t& m = monitor();
    const int mon_fd = udev_monitor_get_fd(mon.get());
    for (;;) {
        pollfd p[2] = {{mon_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        int r = poll(p, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || p[1].revents) break;
        if (!(p[0].revents & POLLIN)) continue;
        udev_ptr<udev_device> dev(udev_monitor_receive_device(mon.get()));
        if (!dev) continue;
        const char* action = udev_device_get_action(dev.get());
        const char* syspath = udev_device_get_syspath(dev.get());
        if (!action || !syspath) continue;
        // One call per instrument tty that comes or goes; other ttys and
        // repeated events of the same one change nothing in the list. A
        // removal is known by the path alone: sysfs is gone by then.
        bool changed = false;
        if (strcmp(action, "add") == 0) changed = is_watched_tty(dev.get()) && present.insert(syspath).second;
        else if (strcmp(action, "remove") == 0) changed = present.erase(syspath) > 0;
        if (!changed) continue;
        comm_usb_callback_t cb = m.callback.load();
        if (cb) cb(m.user.load());
    }
    (void)u;  // kept alive as long as the monitor
}

// The instrument ttys there now, so that their removal is recognised.
std::set<std::string> watched_ttys(udev* u) {
    std::set<std::string> present;
    udev_ptr<udev_enumerate> en(udev_enumerate_new(u));
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "tty") < 0 || udev_enumerate_scan_devices(en.get()) < 0)
        return present;
    udev_list_entry* item;
    udev_list_entry_foreach(item, udev_enumerate_get_list_entry(en.get())) {
        udev_ptr<udev_device> tty(udev_device_new_from_syspath(u, udev_list_entry_get_name(item)));
        if (tty && is_watched_tty(tty.get())) present.insert(udev_list_entry_get_name(item));
    }
    return present;
}

}  // namespace

// The three prefixes name the same transport.
const comm_transport_t comm_usb_transport = {usb_prefixes, usb_open, comm_fd_read, comm_fd_write, false};

int32_t comm_list_devices_usb(int32_t /*flags*/, char* list, int32_t maximum, int32_t* count,
                              const char* manufacturer, const char* product, uint16_t vid_min, uint16_t vid_max,
                              uint16_t pid_min, uint16_t pid_max) {
    if (!list || !count) return COMM_ERR_ARG;
    *count = 0;
    if (maximum <= 0) return 0;
    udev_ptr<udev> u(udev_new());
    if (!u) return 0;  // no udev: no devices to offer
    udev_ptr<udev_enumerate> en(udev_enumerate_new(u.get()));
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "tty") < 0 || udev_enumerate_scan_devices(en.get()) < 0)
        return 0;
    std::vector<std::pair<std::string, unsigned>> found;  // node, product id
    udev_list_entry* item;
    udev_list_entry_foreach(item, udev_enumerate_get_list_entry(en.get())) {
        udev_ptr<udev_device> tty(udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(item)));
        if (!tty) continue;
        const char* node = udev_device_get_devnode(tty.get());
        // The parent is owned by its child: no unref.
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
        unsigned vid, pid;
        if (!node || !usb || !read_hex_attr(usb, "idVendor", &vid) || !read_hex_attr(usb, "idProduct", &pid)) continue;
        if (vid < vid_min || vid > vid_max || pid < pid_min || pid > pid_max) continue;
        if (!attr_matches(usb, "manufacturer", manufacturer) || !attr_matches(usb, "product", product)) continue;
        found.emplace_back(node, pid);
    }
    // The same instruments in the same order from one listing to the next.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return node_less(a.first, b.first); });
    for (const auto& [node, pid] : found) {
        if (*count >= maximum) break;
        char* entry = list + static_cast<size_t>(*count) * COMM_ENTRY_SIZE;
        if (comm_format_entry(entry, "USBS:%s/%x", node.c_str(), pid) != 0) continue;
        ++*count;
    }
    return 0;
}

int32_t comm_make_conn_string_usb(char* out, const char* entry, int32_t size, uint16_t /*vid*/, uint16_t pid) {
    if (!out) return COMM_ERR_ARG;
    out[0] = '\0';
    if (!entry || size <= 5) return COMM_ERR_ARG;
    const std::string text(entry, strnlen(entry, static_cast<size_t>(size)));
    if (!has_usb_prefix(text.c_str())) return COMM_ERR_ARG;
    std::string path;
    unsigned entry_pid;
    if (comm_parse_usb(text.c_str() + 5, &path, &entry_pid))
        return comm_format_entry(out, "%.4s:%s/%x", text.c_str(), path.c_str(), entry_pid);
    // A bare device path: the product id comes from the caller.
    if (text.size() == 5) return COMM_ERR_ARG;
    return comm_format_entry(out, "%s/%x", text.c_str(), static_cast<unsigned>(pid));
}

int32_t comm_get_devid_string(const char* entry, char* text) {
    if (!text) return COMM_ERR_ARG;
    text[0] = '\0';
    if (!entry) return COMM_ERR_ARG;
    const std::string e(entry, strnlen(entry, COMM_ENTRY_SIZE));
    if (e.compare(0, 3, "BT:") == 0) {
        // "BT:<params>:<address>[/<name>]": the address is the 17 characters after the second ':'.
        const size_t colon = e.find(':', 3);
        if (colon == std::string::npos || e.size() < colon + 18) return COMM_ERR_ARG;
        const std::string address = e.substr(colon + 1, 17);
        if (e.size() > colon + 19 && e[colon + 18] == '/')
            return comm_format_entry(text, "%.90s (%s)", e.c_str() + colon + 19, address.c_str());
        return comm_format_entry(text, "%s", address.c_str());
    }
    if (!has_usb_prefix(e.c_str())) {
        const size_t colon = e.find(':');
        if (colon == std::string::npos) return COMM_ERR_ARG;
        return comm_format_entry(text, "%s", e.c_str());
    }
    std::string path;
    unsigned pid;
    if (!comm_parse_usb(e.c_str() + 5, &path, &pid)) return COMM_ERR_ARG;
    udev_ptr<udev> u(udev_new());
    udev_ptr<udev_device> tty = u ? device_of_node(u.get(), path.c_str()) : nullptr;
    udev_device* usb = tty ? udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device") : nullptr;
    if (usb) {
        const char* maker = udev_device_get_sysattr_value(usb, "manufacturer");
        const char* name = udev_device_get_sysattr_value(usb, "product");
        const char* serial = udev_device_get_sysattr_value(usb, "serial");
        return comm_format_entry(text, "%.40s %.40s S/N %.20s (%.20s)", maker ? maker : "?", name ? name : "?",
                                 serial ? serial : "?", path.c_str());
    }
    return comm_format_entry(text, "%.100s (product %04x)", path.c_str(), pid);
}

int32_t comm_usb_register(comm_usb_callback_t callback, int32_t user) {
    monitor_t& m = monitor();
    std::lock_guard lock(m.mu);
    m.callback = callback;
    m.user = user;
    if (m.thread.joinable()) return 0;  // already watching: the new callback takes over
    // Where udev cannot be reached (containers), watch nothing and say nothing.
    udev_ptr<udev> u(udev_new());
    if (!u) return 0;
    udev_ptr<udev_monitor> mon(udev_monitor_new_from_netlink(u.get(), "udev"));
    if (!mon || udev_monitor_filter_add_match_subsystem_devtype(mon.get(), "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(mon.get()) < 0)
        return 0;
    comm_fd stop(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop.valid()) return 0;
    try {
        std::set<std::string> present = watched_ttys(u.get());
        m.thread = std::thread(monitor_main, std::move(u), std::move(mon), stop.get(), std::move(present));
    } catch (const std::system_error&) {
        return 0;
    }
    m.stop_fd = std::move(stop);
    return 0;
}

void comm_usb_stop() {
    monitor_t& m = monitor();
    std::lock_guard lock(m.mu);
    m.callback = nullptr;
    if (!m.thread.joinable() || m.thread.get_id() == std::this_thread::get_id()) return;
    uint64_t one = 1;
    ssize_t r = write(m.stop_fd.get(), &one, sizeof one);
    (void)r;
    m.thread.join();
    m.stop_fd.reset();
}

int32_t comm_usb_deregister() {
    comm_usb_stop();
    return 0;
}
