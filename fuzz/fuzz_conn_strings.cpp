// Connection strings: the transports' parsers fed any text, the builders fed
// any values, the USB entry rewrite and the display conversion. Nothing is
// opened.
//
// What must hold:
// - a builder either fails with an empty string or writes a terminated
//   string of fewer than 128 bytes that parses back to the values it was
//   given;
// - a string a parser accepts, rebuilt from the parsed values, parses to
//   the same values (when the builder takes them at all);
// - the USB rewrite changes nothing but the prefix, and only of an entry
//   whose product id is 0x0C44;
// - nothing reads or writes past a 128-byte entry.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "libcomm/comm_internal.h"
#include "link/mxx_comm.h"

namespace {

void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

// Text as a C string carries it: up to its first NUL.
std::string text_of(FuzzedDataProvider& in, size_t most) {
    std::string s = in.ConsumeRandomLengthString(most);
    return s.substr(0, s.find('\0'));
}

// An entry-sized buffer whose every byte is defined; it starts empty.
struct entry_t {
    entry_t() { bytes[0] = '\0'; }
    std::vector<char> bytes = std::vector<char>(COMM_ENTRY_SIZE, '\x7f');
    char* data() { return bytes.data(); }
    size_t length() const { return strnlen(bytes.data(), COMM_ENTRY_SIZE); }
};

// The built string when the builder succeeded; checks the failure form.
bool built(int32_t r, entry_t& out) {
    const size_t n = out.length();
    require(n < COMM_ENTRY_SIZE, "a built string is terminated within 128 bytes");
    if (r != 0) require(n == 0, "a failing builder leaves an empty string");
    return r == 0;
}

const char* after_prefix(const char* s, const char* prefix) {
    const size_t n = std::strlen(prefix);
    return std::strncmp(s, prefix, n) == 0 && s[n] == ':' ? s + n + 1 : nullptr;
}

bool same(const comm_serial_conf_t& a, const comm_serial_conf_t& b) {
    return a.baud == b.baud && a.data_bits == b.data_bits && a.stop_bits == b.stop_bits && a.parity == b.parity &&
           a.flow == b.flow && a.path == b.path;
}

void check_serial(const comm_serial_conf_t& s) {
    entry_t out;
    if (!built(comm_make_conn_string_serial_path(out.data(), s.path.c_str(), s.baud, s.data_bits, s.stop_bits,
                                                 s.parity, s.flow),
               out))
        return;
    comm_serial_conf_t back;
    const char* params = after_prefix(out.data(), "SER");
    require(params && comm_parse_serial(params, &back) && same(back, s), "a serial string parses back");
}

void check_tcp(const std::string& host, uint16_t port, int32_t timeout_ms) {
    entry_t out;
    if (!built(comm_make_conn_string_net(out.data(), host.c_str(), port, timeout_ms), out)) return;
    comm_tcp_conf_t back;
    const char* params = after_prefix(out.data(), "TCP");
    require(params && comm_parse_tcp(params, &back) && back.host == host && back.port == port &&
                back.timeout_ms == timeout_ms,
            "a TCP string parses back");
}

void check_bt(const comm_bt_conf_t& s) {
    entry_t out;
    if (!built(comm_make_conn_string_bt(out.data(), s.address.c_str(), s.name.c_str(), 0xFFE050, s.channel,
                                        s.pin.c_str(), s.timeout_ms),
               out))
        return;
    comm_bt_conf_t back;
    const char* params = after_prefix(out.data(), "BT");
    require(params && comm_parse_bt(params, &back) && back.channel == s.channel && back.timeout_ms == s.timeout_ms &&
                back.pin == s.pin && back.address == s.address && back.name == s.name,
            "a Bluetooth string parses back");
}

void check_usb(const std::string& prefix, const std::string& path, unsigned pid) {
    entry_t out;
    char pid_text[16];
    std::snprintf(pid_text, sizeof pid_text, "%x", pid);
    const std::string entry = prefix + ":" + path + "/" + pid_text;
    if (!built(comm_make_conn_string_usb(out.data(), entry.c_str(), static_cast<int32_t>(entry.size() + 1), 0x1781, 0x0C44),
               out))
        return;
    std::string back_path;
    unsigned back_pid = 0;
    const char* params = after_prefix(out.data(), prefix.c_str());
    std::string want_path;
    unsigned want_pid = 0;
    require(comm_parse_usb(entry.c_str() + prefix.size() + 1, &want_path, &want_pid), "a built USB entry was parseable");
    require(params && comm_parse_usb(params, &back_path, &back_pid) && back_path == want_path && back_pid == want_pid,
            "a USB string parses back");
}

void parse_any(const std::string& text) {
    const char* s = text.c_str();
    const char* params;
    if ((params = after_prefix(s, "SER"))) {
        comm_serial_conf_t conf;
        if (comm_parse_serial(params, &conf)) check_serial(conf);
    } else if ((params = after_prefix(s, "TCP"))) {
        comm_tcp_conf_t conf;
        if (comm_parse_tcp(params, &conf)) check_tcp(conf.host, conf.port, conf.timeout_ms);
    } else if ((params = after_prefix(s, "BT"))) {
        comm_bt_conf_t conf;
        if (comm_parse_bt(params, &conf)) check_bt(conf);
    } else if ((params = after_prefix(s, "FD"))) {
        int fd = -1;
        if (comm_parse_fd(params, &fd)) {
            entry_t out;
            require(built(comm_make_conn_string_fd(out.data(), fd), out), "an accepted fd builds");
            int back = -1;
            require(comm_parse_fd(out.data() + 3, &back) && back == fd, "an fd string parses back");
        }
    } else {
        for (const char* prefix : {"USBF", "USBS", "USBU"}) {
            if (!(params = after_prefix(s, prefix))) continue;
            std::string path;
            unsigned pid = 0;
            if (comm_parse_usb(params, &path, &pid)) check_usb(prefix, path, pid);
        }
    }
    // Any text as a list entry: the display conversion and the rewrite.
    entry_t entry;
    std::memcpy(entry.data(), s, std::min(text.size(), static_cast<size_t>(COMM_ENTRY_SIZE - 1)) + 1);
    entry.bytes[COMM_ENTRY_SIZE - 1] = '\0';
    if (std::strncmp(entry.data(), "USB", 3) != 0) {  // USB entries go to the device database
        entry_t display;
        comm_get_devid_string(entry.data(), display.data());
        require(display.length() < COMM_ENTRY_SIZE, "a display text is terminated");
    }
    const std::vector<char> before = entry.bytes;
    MXX_rewrite_usb_entry(entry.data());
    // The product id is the hexadecimal number that leads the text after
    // the last '/' (an optional 0x before it; what follows it is ignored).
    const char* slash = std::strrchr(before.data(), '/');
    bool c44 = false;
    if (slash) {
        const char* p = slash + 1;
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
        uint64_t pid = 0;
        size_t digits = 0;
        for (; std::isxdigit(static_cast<unsigned char>(p[digits])); ++digits) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(p[digits])));
            pid = std::min<uint64_t>(pid * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10), UINT64_C(1) << 40);
        }
        c44 = digits > 0 && pid == 0x0C44 && std::strlen(before.data()) >= 4;
    }
    require(std::equal(before.begin() + 4, before.end(), entry.bytes.begin() + 4), "the rewrite keeps all but the prefix");
    require(c44 ? std::memcmp(entry.data(), "USBF", 4) == 0 : std::equal(before.begin(), before.begin() + 4, entry.bytes.begin()),
            "only an entry of product 0x0C44 gets the prefix USBF");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: {
        const comm_serial_conf_t s{in.ConsumeIntegral<int32_t>(), in.ConsumeIntegralInRange<int32_t>(4, 9),
                                   in.ConsumeIntegralInRange<int32_t>(0, 3), in.ConsumeIntegralInRange<int32_t>(-1, 3),
                                   in.ConsumeIntegralInRange<int32_t>(-1, 3), text_of(in, 140)};
        check_serial(s);
        check_serial({115200, s.data_bits, s.stop_bits, s.parity, s.flow, s.path});
        break;
    }
    case 1: {
        const uint16_t port = in.ConsumeIntegral<uint16_t>();
        entry_t out;
        if (built(MXX_make_serial_conn_string(out.data(), port), out)) {
            comm_serial_conf_t back;
            char path[32];
            require(comm_com_port_path(port, path, sizeof path) && comm_parse_serial(out.data() + 4, &back) &&
                        back.path == path && back.baud == 115200 && back.data_bits == 8 && back.stop_bits == 1,
                    "a COM port string names the port's device at 115200 8N1");
        } else {
            require(port == 0 || port > 255, "every COM port from 1 to 255 builds");
        }
        break;
    }
    case 2: {
        const uint16_t port = in.ConsumeIntegral<uint16_t>();
        const int32_t timeout_ms = in.ConsumeIntegralInRange<int32_t>(-5, 700000);
        check_tcp(text_of(in, 140), port, timeout_ms);
        break;
    }
    case 3: {
        comm_bt_conf_t s;
        s.channel = in.ConsumeIntegralInRange<int32_t>(-1, 32);
        s.timeout_ms = in.ConsumeIntegralInRange<int32_t>(-5, 700000);
        s.pin = text_of(in, 20);
        s.address = text_of(in, 20);
        s.name = text_of(in, 120);
        check_bt(s);
        break;
    }
    case 4: {
        static constexpr const char* prefixes[] = {"USBF", "USBS", "USBU", "USBX"};
        const std::string prefix = prefixes[in.ConsumeIntegralInRange<int>(0, 3)];
        const std::string entry = prefix + ":" + text_of(in, 140);
        entry_t out;
        const int32_t size = in.ConsumeIntegralInRange<int32_t>(0, 200);
        std::vector<char> copy(entry.begin(), entry.end());
        copy.push_back('\0');
        if (built(MXX_make_usb_conn_string(out.data(), copy.data(), std::min<int32_t>(size, static_cast<int32_t>(copy.size()))), out)) {
            std::string path;
            unsigned pid = 0;
            require(std::strncmp(out.data(), prefix.c_str(), 4) == 0 && out.data()[4] == ':' &&
                        comm_parse_usb(out.data() + 5, &path, &pid),
                    "a USB connection string keeps its prefix and parses");
        }
        break;
    }
    default:
        parse_any(in.ConsumeRemainingBytesAsString());
        break;
    }
    return 0;
}
