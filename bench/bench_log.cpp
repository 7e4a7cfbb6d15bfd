// The measurement log download:
// - choosing the download order of a full 65536-slot table: one scan of the
//   table per record against one sort;
// - peak resident size of the program downloading 4000 records against 40
//   (separate processes against qm38sim, default answers: table and exports);
// - a 200-record download paced as a 115200-baud line against the time its
//   bytes need on the line (counted by a relay between tool and simulator),
//   and the same download unpaced in records per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "commands/log_format.h"
#include "commands/r62_log.h"
#include "console/globals.h"
#include "libcomm/libcomm.h"
#include "link/mxx_comm.h"
#include "records/wire.h"
#include "services/r62_comm.h"
#include "sim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::vector<uint8_t> full_table() {
    std::vector<uint8_t> table(LOG_TABLE_SIZE);
    std::mt19937 rng(11);
    for (uint32_t s = 0; s < LOG_TABLE_SLOTS; ++s) put_u32le(table.data(), s * LE_SIZE, 1 + rng() % 40000);
    return table;
}

void BM_NextSlotScan(benchmark::State& state) {
    const auto table = full_table();
    for (auto _ : state) {
        state.PauseTiming();
        auto work = table;
        state.ResumeTiming();
        int64_t n = 0;
        while (log_next_slot_scan(work.data(), LOG_TABLE_SLOTS) >= 0) ++n;
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_NextSlotScan)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_NextSlotOrder(benchmark::State& state) {
    const auto table = full_table();
    for (auto _ : state) benchmark::DoNotOptimize(log_download_order(table.data(), LOG_TABLE_SLOTS));
}
BENCHMARK(BM_NextSlotOrder)->Unit(benchmark::kMillisecond);

// ---- peak resident size, program against simulator -------------------------------

struct child_t {
    pid_t pid = -1;
    int out = -1;  // its standard output
};

child_t spawn(const std::vector<std::string>& argv, const std::string& cwd, int in_fd, bool capture) {
    int out[2] = {-1, -1};
    if (capture && pipe(out) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        if (in_fd >= 0) dup2(in_fd, 0);
        const int null = open("/dev/null", O_WRONLY);
        dup2(capture ? out[1] : null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (capture) close(out[1]);
    return {pid, capture ? out[0] : -1};
}

// Peak resident kilobytes of the service program downloading a generated
// log of `records`; 0 when the run failed.
long download_peak_kb(int32_t records) {
    const std::string bin = QM_BIN_DIR;
    child_t sim = spawn({bin + "/qm38sim", "--log-records", std::to_string(records)}, "", -1, true);
    std::string said;
    char buf[256];
    for (ssize_t n; said.find("COM port ") == std::string::npos && (n = read(sim.out, buf, sizeof buf)) > 0;)
        said.append(buf, static_cast<size_t>(n));
    const size_t at = said.find("COM port ");
    long peak = 0;
    if (at != std::string::npos) {
        const std::string answers = "3\n" + std::to_string(std::atoi(said.c_str() + at + 9)) + "\nlog\n\n\n\n\nq\n";
        char in_path[] = "/tmp/qm38bench_in_XXXXXX";
        const int in = mkstemp(in_path);
        char dir[] = "/tmp/qm38bench_XXXXXX";
        if (in >= 0 && mkdtemp(dir) && write(in, answers.data(), answers.size()) == static_cast<ssize_t>(answers.size())) {
            lseek(in, 0, SEEK_SET);
            child_t tool = spawn({bin + "/qm38v2con-service"}, dir, in, false);
            int status = 0;
            rusage use{};
            if (wait4(tool.pid, &status, 0, &use) == tool.pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                fs::exists(fs::path(dir) / "kappa_1234" / "kappa.svg"))
                peak = use.ru_maxrss;
        }
        if (in >= 0) close(in);
        unlink(in_path);
        fs::remove_all(dir);
    }
    kill(sim.pid, SIGTERM);
    waitpid(sim.pid, nullptr, 0);
    close(sim.out);
    return peak;
}

void BM_DownloadPeakMemory(benchmark::State& state) {
    for (auto _ : state) {
        const long small = download_peak_kb(40);
        const long large = download_peak_kb(4000);
        if (small == 0 || large == 0) {
            state.SkipWithError("download failed");
            break;
        }
        state.counters["peak_kb_40"] = static_cast<double>(small);
        state.counters["peak_kb_4000"] = static_cast<double>(large);
        state.counters["growth_kb"] = static_cast<double>(large - small);
    }
}
BENCHMARK(BM_DownloadPeakMemory)->Iterations(1)->Unit(benchmark::kSecond);

// ---- paced download in-process, bytes counted by a relay ------------------------------

// Copies bytes both ways between two sockets and counts them.
class relay_t {
public:
    relay_t(int a, int b) : a_(a), b_(b), thread_([this] { run(); }) {}
    ~relay_t() {
        stop_ = true;
        thread_.join();
        close(a_);
        close(b_);
    }
    uint64_t bytes() const { return bytes_.load(); }
    void reset() { bytes_ = 0; }

private:
    void run() {
        pollfd p[2] = {{a_, POLLIN, 0}, {b_, POLLIN, 0}};
        uint8_t buf[8192];
        while (!stop_) {
            if (poll(p, 2, 50) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
                const ssize_t n = read(p[i].fd, buf, sizeof buf);
                if (n <= 0) return;
                bytes_ += static_cast<uint64_t>(n);
                for (ssize_t off = 0; off < n;) {
                    const ssize_t w = write(p[1 - i].fd, buf + off, static_cast<size_t>(n - off));
                    if (w <= 0) return;
                    off += w;
                }
            }
        }
    }
    int a_, b_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> bytes_{0};
    std::thread thread_;
};

// Runs the log command with default answers in a scratch directory, its
// console output discarded. Returns seconds, or a negative value on failure.
double timed_download() {
    char dir[] = "/tmp/qm38bench_XXXXXX";
    if (!mkdtemp(dir)) return -1;
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    std::FILE* in = std::fopen("answers", "w");
    std::fputs("\n\n\n\n", in);
    std::fclose(in);
    std::fflush(stdout);
    const int saved_out = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    if (!std::freopen("answers", "r", stdin)) return -1;
    const auto t0 = Clock::now();
    const int32_t r = R62_cmd_get_meas_log(nullptr, 0);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::fflush(stdout);
    dup2(saved_out, 1);
    close(saved_out);
    fs::current_path(old);
    fs::remove_all(dir);
    return r == 0 ? s : -1;
}

// A link to the simulator over a socket pair, through a counting relay or
// straight (the relay adds a hop, so paced timings go straight).
struct session_t {
    int32_t id = -1;
    std::unique_ptr<relay_t> relay;

    bool open(sim_t* sim, bool counted) {
        int fd = SIM_serve_socketpair(sim);
        if (counted) {
            int pair[2];
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return false;
            relay = std::make_unique<relay_t>(fd, pair[1]);
            fd = pair[0];
        }
        char conn[COMM_ENTRY_SIZE];
        comm_make_conn_string_fd(conn, fd);
        if (MXX_connect(conn, &id, bench_on_connected, nullptr, bench_on_closed, R62_probe, R62_test_probe, 0) != 0 ||
            MXX_wait_connected(id, 15000) != 0)
            return false;
        id_conn = id;
        return true;
    }
    ~session_t() {
        if (id >= 0) MXX_disconnect(id);
        connected.store(0);
    }
};

// Unpaced through the relay: the bytes a download exchanges and records per
// second. Paced: the same download straight, against the wire time of those
// bytes at 10 bits per byte.
void BM_DownloadPaced(benchmark::State& state) {
    const auto baud = static_cast<int32_t>(state.range(0));
    constexpr int32_t records = 200;
    sim_ptr sim(SIM_create_log(records));
    MXX_init(nullptr, nullptr, 0);
    for (auto _ : state) {
        double bytes = 0, unpaced = 0, paced = 0;
        {
            session_t counting;
            if (!counting.open(sim.get(), true) || (counting.relay->reset(), unpaced = timed_download()) < 0) {
                state.SkipWithError("unpaced download failed");
                break;
            }
            bytes = static_cast<double>(counting.relay->bytes());
        }
        if (baud > 0) {
            sim_faults_t f;
            f.baud = baud;
            SIM_set_faults(sim.get(), f);
            session_t straight;
            if (!straight.open(sim.get(), false) || (paced = timed_download()) < 0) {
                state.SkipWithError("paced download failed");
                break;
            }
            const double wire = bytes * 10.0 / baud;
            state.counters["wire_s"] = wire;
            state.counters["ratio"] = paced / wire;
        }
        state.SetIterationTime(baud > 0 ? paced : unpaced);
        state.counters["bytes"] = bytes;
        state.counters["records_per_s_unpaced"] = records / unpaced;
    }
    MXX_shut();
}
BENCHMARK(BM_DownloadPaced)->Arg(0)->Arg(115200)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
