// Bulk file transfers against the simulated instrument on a pseudo-terminal:
// the storage image download (`sd`) and the TAR upload (`tar`), unpaced and
// paced as a 115200 8N1 line.
// Counters: MB_s, payload megabytes per second over the median run; for
// paced runs wire_ms, the time the frames alone need on the line, and
// ratio = median / wire; peak_kib, how far the peak resident size rose
// above the resident size before the run (the download streams to disk, so
// it must not grow with the image).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "commands/r62_files_cmds.h"
#include "console/globals.h"
#include "link/mxx_comm.h"
#include "link/mxx_frame.h"
#include "records/file_req.h"
#include "records/tar.h"
#include "services/r62_comm.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The simulator as a process of its own (so its request log and stored
// files do not count in this process's resident size) on a pty, connected
// as the program connects; the link layer lives as long as this does.
struct Instrument {
    pid_t pid = -1;
    bool up = false;

    Instrument(int32_t baud, uint32_t raw_size) {
        int out[2];
        if (::pipe(out) != 0) return;
        const std::string bin = std::string(QM_BIN_DIR) + "/qm38sim";
        const std::string baud_text = std::to_string(baud), raw_text = std::to_string(raw_size);
        std::vector<const char*> argv = {bin.c_str(), "--print-path", "--raw-size", raw_text.c_str()};
        if (baud > 0) argv.insert(argv.end(), {"--baud", baud_text.c_str()});
        argv.push_back(nullptr);
        pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            ::execv(bin.c_str(), const_cast<char* const*>(argv.data()));
            ::_exit(127);
        }
        ::close(out[1]);
        std::string path;
        char c = 0;
        while (::read(out[0], &c, 1) == 1 && c != '\n') path += c;
        ::close(out[0]);  // the simulator's later lines go nowhere
        char conn[COMM_ENTRY_SIZE] = {};
        MXX_make_serial_path_conn_string(conn, path.c_str());
        MXX_init(nullptr, nullptr, 0);
        int32_t id = -1;
        if (MXX_connect(conn, &id, bench_on_connected, nullptr, bench_on_closed, R62_probe, R62_test_probe, 0) != 0) return;
        up = MXX_wait_connected(id, 15000) == 0 && MXX_get_conn_state_id(id) == COMM_STATE_CONNECTED;
        id_conn = id;
    }
    ~Instrument() {
        if (id_conn >= 0) MXX_disconnect(id_conn);
        MXX_shut();
        id_conn = -1;
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;
};

// The handler's prompts read `answers`; what it prints goes to /dev/null.
class Console {
public:
    Console(const fs::path& dir, const std::string& answers) {
        const fs::path in = dir / "stdin.txt";
        std::ofstream(in) << answers;
        std::freopen(in.c_str(), "r", stdin);
        std::fflush(stdout);
        saved_ = ::dup(1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::close(null);
    }
    ~Console() {
        std::fflush(stdout);
        ::dup2(saved_, 1);
        ::close(saved_);
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

private:
    int saved_ = -1;
};

long status_kib(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    return 0;
}
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

fs::path work_dir() {
    const fs::path dir = fs::temp_directory_path() / ("bench_files_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

struct Samples {
    std::vector<double> ms;
    long peak_kib = 0;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

void report(benchmark::State& state, const Samples& s, double payload, double line_bytes) {
    const double med = median(s.ms);
    state.counters["MB_s"] = med > 0 ? payload / 1e6 / (med / 1000.0) : 0.0;
    state.counters["peak_kib"] = static_cast<double>(s.peak_kib);
    const auto baud = static_cast<double>(state.range(0));
    if (baud > 0) {
        const double wire = line_bytes * 10.0 / baud * 1000.0;
        state.counters["wire_ms"] = wire;
        state.counters["ratio"] = med / wire;
    }
}

// Runs one command per iteration with its answers; false when it failed.
bool measure(benchmark::State& state, Samples& s, menu_handler_t handler, const fs::path& dir,
             const std::string& answers) {
    for (auto _ : state) {
        int32_t r = -1;
        double ms = 0;
        {
            Console console(dir, answers);
            reset_peak();
            const long before = status_kib("VmRSS:");
            const auto t0 = Clock::now();
            r = handler(nullptr, 0);
            ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            s.peak_kib = std::max(s.peak_kib, status_kib("VmHWM:") - before);
        }
        if (r != 0) {
            state.SkipWithError("command failed");
            return false;
        }
        s.ms.push_back(ms);
        state.SetIterationTime(ms / 1000.0);
    }
    return true;
}

// Args: baud, image size in KiB.
void BM_DownloadStorageImage(benchmark::State& state) {
    const auto size = static_cast<uint32_t>(state.range(1) * 1024);
    Instrument inst(static_cast<int32_t>(state.range(0)), size);
    if (!inst.up) {
        state.SkipWithError("instrument not identified");
        return;
    }
    const fs::path dir = work_dir();
    Samples s;
    if (measure(state, s, R62_cmd_download_sd, dir, (dir / "sd.img").string() + "\n")) {
        // File info, then 512-byte reads up to the one that brings nothing.
        const double reads = size / 512 + (size % 512 != 0 ? 1 : 0) + 1;
        const double request = MXX_OVERHEAD + FILE_REQ_SIZE;
        const double line = 2 * request + reads * (request + MXX_OVERHEAD + 4) + size;
        report(state, s, size, line);
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_DownloadStorageImage)
    ->Args({0, 1024})
    ->Args({0, 4096})
    ->Args({0, 8192})
    ->Args({115200, 200})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// A ustar archive of one regular file of `size` bytes.
void write_tar(const fs::path& path, uint32_t size) {
    std::vector<uint8_t> h(TAR_BLOCK, 0);
    std::memcpy(h.data() + TAR_OFF_NAME, "bench.bin", 9);
    std::snprintf(reinterpret_cast<char*>(h.data()) + TAR_OFF_SIZE, TAR_SIZE_SIZE, "%011o", size);
    h[TAR_OFF_TYPE] = TAR_TYPE_FILE;
    std::memcpy(h.data() + TAR_OFF_MAGIC, "ustar\0" "00", 8);
    std::memset(h.data() + TAR_OFF_CHKSUM, ' ', TAR_CHKSUM_SIZE);
    unsigned sum = 0;
    for (uint8_t c : h) sum += c;
    std::snprintf(reinterpret_cast<char*>(h.data()) + TAR_OFF_CHKSUM, TAR_CHKSUM_SIZE, "%06o", sum);
    std::vector<uint8_t> data((size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK + 2 * TAR_BLOCK, 0);
    for (uint32_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 13);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(h.data()), static_cast<long>(h.size()));
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size()));
}

// Args: baud, file size in KiB.
void BM_UploadTar(benchmark::State& state) {
    const auto size = static_cast<uint32_t>(state.range(1) * 1024);
    Instrument inst(static_cast<int32_t>(state.range(0)), 0);
    if (!inst.up) {
        state.SkipWithError("instrument not identified");
        return;
    }
    const fs::path dir = work_dir();
    write_tar(dir / "up.tar", size);
    Samples s;
    if (measure(state, s, R62_cmd_upload_tar, dir, (dir / "up.tar").string() + "\n")) {
        // Create, 128-byte appends and the final (here empty) one, each answered without payload.
        const double appends = size / 128 + 1;
        const double empty = MXX_OVERHEAD + FILE_REQ_SIZE + MXX_OVERHEAD;
        report(state, s, size, empty + appends * empty + size);
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_UploadTar)
    ->Args({0, 1024})
    ->Args({115200, 200})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
