// Bluetooth: RFCOMM links and a device inquiry through BlueZ. Strings:
// "BT:<channel>,<timeout ms>,<pin>:<address>[/<name>]". Pairing is left to
// the system's Bluetooth tools, so the PIN is carried but not used.
#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <bluetooth/rfcomm.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "libcomm/comm_internal.h"

namespace {

constexpr int MAX_FOUND = 32;
constexpr int INQUIRY_LENGTH = 8;  // units of 1.28 s
constexpr int NAME_TIMEOUT_MS = 5000;
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

void report_bt(const std::string& address, const char* reason) {
    log_error("Cannot open Bluetooth link to %s: %s\n", address.c_str(), reason);
}

int32_t bt_open(const char* conn, const char* params, comm_fd* out) {
    comm_bt_conf_t t;
    if (!comm_parse_bt(params, &t)) {
        comm_report_bad_conn(conn);
        return COMM_ERR_ARG;
    }
    if (hci_get_route(nullptr) < 0) {
        report_bt(t.address, "no Bluetooth adapter");
        return COMM_ERR_UNSUPPORTED;
    }
    comm_fd fd(socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, BTPROTO_RFCOMM));
    if (!fd.valid()) {
        const int err = errno;
        report_bt(t.address, strerror(err));
        return err == EAFNOSUPPORT ? COMM_ERR_UNSUPPORTED : COMM_ERR_OPEN;
    }
    sockaddr_rc addr{};
    addr.rc_family = AF_BLUETOOTH;
    addr.rc_channel = static_cast<uint8_t>(t.channel);
    str2ba(t.address.c_str(), &addr.rc_bdaddr);
    const int err = comm_connect_socket(fd.get(), &addr, sizeof addr, static_cast<int32_t>(t.timeout_ms));
    if (err != 0) {
        report_bt(t.address, strerror(err));
        return COMM_ERR_OPEN;
    }
    *out = std::move(fd);
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

namespace {

struct inquiry_t {
    std::mutex control;  // start, wait, cancel
    std::thread thread;
    std::atomic<bool> cancel{false};
    std::mutex results_mu;
    std::vector<std::string> found;
};

inquiry_t& inquiry() {
    static inquiry_t* q = new inquiry_t;
    return *q;
}

void inquiry_main(int dev_id) {
    inquiry_t& q = inquiry();
    inquiry_info* info = nullptr;
    const int n = hci_inquiry(dev_id, INQUIRY_LENGTH, MAX_FOUND, nullptr, &info, IREQ_CACHE_FLUSH);
    const int sock = n > 0 ? hci_open_dev(dev_id) : -1;
    comm_fd dev(sock);
    for (int i = 0; i < n && i < MAX_FOUND && !q.cancel; ++i) {
        char address[19] = {};
        ba2str(&info[i].bdaddr, address);
        char name[248] = {};
        if (!dev.valid() || hci_read_remote_name(dev.get(), &info[i].bdaddr, sizeof name, name, NAME_TIMEOUT_MS) < 0)
            name[0] = '\0';
        char entry[COMM_ENTRY_SIZE];
        if (comm_make_conn_string_bt(entry, address, name, 0, 1, "", 60000) != 0 &&
            comm_make_conn_string_bt(entry, address, "", 0, 1, "", 60000) != 0)
            continue;
        std::lock_guard lock(q.results_mu);
        q.found.emplace_back(entry);
    }
    bt_free(info);
}

}  // namespace

const comm_transport_t comm_bt_transport = {"BT", bt_open, comm_fd_read, comm_sock_write, false};

int32_t comm_bt_is_available() {
    return hci_get_route(nullptr) >= 0 ? 1 : 0;
}

int32_t comm_bt_discover(int32_t /*flags*/, uint32_t /*class_of_device*/, int32_t /*options*/) {
    inquiry_t& q = inquiry();
    std::lock_guard lock(q.control);
    if (q.thread.joinable()) return COMM_ERR_STATE;
    const int dev_id = hci_get_route(nullptr);
    if (dev_id < 0) return COMM_ERR_UNSUPPORTED;
    {
        std::lock_guard results(q.results_mu);
        q.found.clear();
    }
    q.cancel = false;
    try {
        q.thread = std::thread(inquiry_main, dev_id);
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
    q.cancel = true;
    std::lock_guard lock(q.control);
    if (q.thread.joinable()) q.thread.join();
    std::lock_guard results(q.results_mu);
    q.found.clear();
}

int32_t comm_bt_discover_cancel() {
    comm_bt_stop();
    return 0;
}

int32_t comm_make_conn_string_bt(char* out, const char* address, const char* extra, uint32_t /*class_of_device*/,
                                 int32_t channel, const char* pin, int32_t timeout_ms) {
    if (!out) return COMM_ERR_ARG;
    out[0] = '\0';
    if (!address || strlen(address) != ADDRESS_LENGTH || !address_valid(address)) return COMM_ERR_ARG;
    if (channel < 1 || channel > 30 || timeout_ms < 0 || timeout_ms > MAX_CONNECT_MS) return COMM_ERR_ARG;
    if (!pin) pin = "";
    if (!pin_valid(pin)) return COMM_ERR_ARG;
    if (extra && extra[0] != '\0')
        return comm_format_entry(out, "BT:%d,%d,%s:%s/%s", channel, timeout_ms, pin, address, extra);
    return comm_format_entry(out, "BT:%d,%d,%s:%s", channel, timeout_ms, pin, address);
}
