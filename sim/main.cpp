// qm38sim: serves a simulated instrument on a new pseudo-terminal, and
// optionally on TCP 127.0.0.1, until SIGINT or SIGTERM.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "sim/sim.h"

namespace {

const char kUsage[] =
    "usage: qm38sim [options]\n"
    "Serves a simulated QM-38 V2 on a new pseudo-terminal, and optionally on TCP 127.0.0.1.\n"
    "  --tcp PORT             also serve TCP on 127.0.0.1:PORT (0: any free port)\n"
    "  --scenario FILE        instrument from a JSON scenario file (format: sim/scenario.h)\n"
    "  --log-records N        instrument with a generated log of N records\n"
    "  --serial TEXT          serial number (8 characters; the tool accepts only 'A...')\n"
    "  --drop-first N         do not send the first N answers\n"
    "  --drop-every N         do not send every N-th answer\n"
    "  --status-only STATUS   answer every request with only a status frame (12289)\n"
    "  --reject               answer every request with a rejection frame (12290)\n"
    "  --corrupt              flip a bit in every answer (--corrupt-every N: every N-th)\n"
    "  --stray N              send N stray bytes before every frame\n"
    "  --stray-b N            send N bytes 'B' (a frame's first byte) before every frame\n"
    "  --false-header         send a header that never completes before every frame\n"
    "  --answer-size N        cut or zero-pad every answer's payload to N bytes\n"
    "  --size-every N         --answer-size for every N-th answer only\n"
    "  --split N              write frames in pieces of at most N bytes\n"
    "  --delay MS             wait MS milliseconds before every answer\n"
    "  --delay-every N        --delay for every N-th answer only\n"
    "  --ignore-probe         never answer get-serial (8007)\n"
    "  --drop-link-after N    after N requests: close a TCP connection; a pty goes mute\n"
    "  --only-code CODE       apply drop/status/reject/corrupt/delay/answer size to this code only\n"
    "  --fail CODE:STATUS     answer request CODE with this failure status\n"
    "  --silent CODE          never answer request CODE\n"
    "  --baud RATE            pace the link at RATE baud (10 bits per byte)\n"
    "  --reboot-ms MS         silence after a restart (default 300)\n"
    "  --block-size N         block size answered by the flash erase (default 64)\n"
    "  --raw-size BYTES       size of the storage image \"raw\"\n"
    "  --print-requests       print one line per request to stderr\n"
    "  --print-path           print the pty path on a line of its own first\n"
    "  --help                 this text\n";

bool number(const char* text, long lo, long hi, long* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

int usage_error(const char* what) {
    std::fprintf(stderr, "qm38sim: %s\n%s", what, kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string scenario;
    long tcp_port = -1;
    long log_records = -1;
    const char* serial = nullptr;
    bool print_requests = false;
    bool print_path = false;
    sim_faults_t f;
    // Settings given on the command line; the others keep the scenario's.
    std::optional<int32_t> reboot_ms, block_size;
    std::optional<uint32_t> raw_size;
    bool any_fault = false;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        long v = 0;
        auto num = [&](long lo, long hi) {
            if (!number(next, lo, hi, &v)) return false;
            ++i;
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--tcp") {
            if (!num(0, 65535)) return usage_error("--tcp needs a port number");
            tcp_port = v;
        } else if (a == "--scenario") {
            if (next == nullptr) return usage_error("--scenario needs a file name");
            scenario = next;
            ++i;
        } else if (a == "--log-records") {
            if (!num(0, 65535)) return usage_error("--log-records needs a number 0..65535");
            log_records = v;
        } else if (a == "--serial") {
            if (next == nullptr || std::strlen(next) > 8) return usage_error("--serial needs up to 8 characters");
            serial = next;
            ++i;
        } else if (a == "--print-requests") {
            print_requests = true;
        } else if (a == "--print-path") {
            print_path = true;
        } else if (a == "--reject") {
            f.reject = any_fault = true;
        } else if (a == "--corrupt") {
            f.corrupt_every = 1;
            any_fault = true;
        } else if (a == "--ignore-probe") {
            f.ignore_probe = any_fault = true;
        } else if (a == "--false-header") {
            f.false_header = any_fault = true;
        } else if (a == "--drop-first" || a == "--drop-every" || a == "--status-only" || a == "--corrupt-every" ||
                   a == "--stray" || a == "--stray-b" || a == "--answer-size" || a == "--split" || a == "--delay" ||
                   a == "--delay-every" || a == "--size-every" || a == "--drop-link-after" || a == "--baud" ||
                   a == "--only-code" || a == "--silent") {
            const long hi = a == "--status-only"                      ? 255
                            : (a == "--only-code" || a == "--silent") ? 65535
                            : a == "--answer-size"                    ? 65533
                                                                      : 100000000;
            if (!num(0, hi)) return usage_error((a + " needs a number").c_str());
            const auto n = static_cast<int32_t>(v);
            if (a == "--drop-first") f.drop_first = n;
            else if (a == "--drop-every") f.drop_every = n;
            else if (a == "--status-only") f.status_only = n;
            else if (a == "--corrupt-every") f.corrupt_every = n;
            else if (a == "--stray") f.stray = n;
            else if (a == "--stray-b") f.stray_b = n;
            else if (a == "--answer-size") f.answer_size = n;
            else if (a == "--split") f.split = n;
            else if (a == "--delay") f.delay_ms = n;
            else if (a == "--delay-every") f.delay_every = n;
            else if (a == "--size-every") f.size_every = n;
            else if (a == "--drop-link-after") f.drop_link_after = n;
            else if (a == "--baud") f.baud = n;
            else if (a == "--only-code") f.only_code = static_cast<uint16_t>(n);
            else f.silent_codes.insert(static_cast<uint16_t>(n));
            any_fault = true;
        } else if (a == "--fail") {
            unsigned code = 0;
            unsigned status = 0;
            char tail = 0;
            if (next == nullptr || std::sscanf(next, "%u:%u%c", &code, &status, &tail) != 2 || code > 65535 ||
                status < 1 || status > 255)
                return usage_error("--fail needs CODE:STATUS (status 1..255)");
            f.fail_codes[static_cast<uint16_t>(code)] = static_cast<uint8_t>(status);
            any_fault = true;
            ++i;
        } else if (a == "--reboot-ms") {
            if (!num(0, 600000)) return usage_error("--reboot-ms needs a number");
            reboot_ms = static_cast<int32_t>(v);
        } else if (a == "--block-size") {
            if (!num(0, 0x7F000)) return usage_error("--block-size needs a number");
            block_size = static_cast<int32_t>(v);
        } else if (a == "--raw-size") {
            if (!num(0, 0x7FFFFFFF)) return usage_error("--raw-size needs a number");
            raw_size = static_cast<uint32_t>(v);
        } else {
            return usage_error(("unknown option " + a).c_str());
        }
    }

    std::string error;
    sim_ptr sim;
    if (!scenario.empty()) sim.reset(SIM_create_file(scenario, &error));
    else if (log_records >= 0) sim.reset(SIM_create_log(static_cast<int32_t>(log_records)));
    else sim.reset(SIM_create_demo());
    if (!sim) {
        std::fprintf(stderr, "qm38sim: %s\n", error.c_str());
        return 1;
    }
    if (serial) SIM_set_serial(sim.get(), serial);
    if (any_fault) {
        // Options add to the scenario's faults.
        sim_faults_t cur = SIM_get_faults(sim.get());
        const sim_faults_t none;
        if (f.drop_first != none.drop_first) cur.drop_first = f.drop_first;
        if (f.drop_every != none.drop_every) cur.drop_every = f.drop_every;
        if (f.status_only != none.status_only) cur.status_only = f.status_only;
        if (f.reject) cur.reject = true;
        if (f.corrupt_every != none.corrupt_every) cur.corrupt_every = f.corrupt_every;
        if (f.stray != none.stray) cur.stray = f.stray;
        if (f.stray_b != none.stray_b) cur.stray_b = f.stray_b;
        if (f.false_header) cur.false_header = true;
        if (f.answer_size != none.answer_size) cur.answer_size = f.answer_size;
        if (f.split != none.split) cur.split = f.split;
        if (f.delay_ms != none.delay_ms) cur.delay_ms = f.delay_ms;
        if (f.delay_every != none.delay_every) cur.delay_every = f.delay_every;
        if (f.size_every != none.size_every) cur.size_every = f.size_every;
        if (f.ignore_probe) cur.ignore_probe = true;
        if (f.drop_link_after != none.drop_link_after) cur.drop_link_after = f.drop_link_after;
        if (f.baud != none.baud) cur.baud = f.baud;
        if (f.only_code != none.only_code) cur.only_code = f.only_code;
        for (const auto& [c, s] : f.fail_codes) cur.fail_codes[c] = s;
        cur.silent_codes.insert(f.silent_codes.begin(), f.silent_codes.end());
        SIM_set_faults(sim.get(), cur);
    }
    if (reboot_ms || block_size || raw_size) {
        sim_settings_t cur = SIM_get_settings(sim.get());
        cur.reboot_ms = reboot_ms.value_or(cur.reboot_ms);
        cur.flash_block_size = block_size.value_or(cur.flash_block_size);
        cur.raw_size = raw_size.value_or(cur.raw_size);
        SIM_set_settings(sim.get(), cur);
    }
    if (print_requests) {
        SIM_set_request_hook(sim.get(), [](const sim_request_t& r) {
            char hex[3 * 16 + 1] = "";
            for (size_t i = 0; i < r.payload.size() && i < 16; ++i)
                std::snprintf(hex + 3 * i, sizeof hex - 3 * i, " %02x", r.payload[i]);
            std::fprintf(stderr, "qm38sim: request %u timeout %u payload %zu bytes%s%s\n", r.code, r.timeout,
                         r.payload.size(), hex, r.payload.size() > 16 ? " ..." : "");
        });
    }

    // Signals are taken by sigwait below; block them before any thread starts.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const std::string serial_text = SIM_get_serial(sim.get());
    std::string path;
    int32_t com = 0;
    if (SIM_serve_pty(sim.get(), &path, &com) != 0) {
        std::fprintf(stderr, "qm38sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    uint16_t port = 0;
    if (tcp_port >= 0 && SIM_serve_tcp(sim.get(), static_cast<uint16_t>(tcp_port), &port) != 0) {
        std::fprintf(stderr, "qm38sim: cannot listen on 127.0.0.1:%ld: %s\n", tcp_port, std::strerror(errno));
        return 1;
    }
    if (print_path) std::printf("%s\n", path.c_str());
    std::printf("qm38sim: serving instrument %s on %s (COM port %d)\n", serial_text.c_str(), path.c_str(), com);
    if (tcp_port >= 0) std::printf("qm38sim: also serving on 127.0.0.1:%u\n", port);
    std::fflush(stdout);

    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    sim.reset();
    return 0;
}
