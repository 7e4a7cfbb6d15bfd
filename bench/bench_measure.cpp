// `md` reading 10,000 raw samples from the simulated instrument on a
// pseudo-terminal or TCP: one exchange per sample. Counters: samples_per_s;
// for the line paced as 115200 8N1 also wire_s, the time the bytes alone need
// on the line, ratio = elapsed / wire, and the floor: after each run a bare
// loop (no console, no link library, one thread) makes the same exchanges on
// the same kind of line; floor_ratio is its elapsed / wire, vs_floor the
// tool's time over the bare loop's. The floor is what this machine and the
// simulator cost; on a shared virtual machine it alone can exceed 1.02.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "commands/r62_measure.h"
#include "console/globals.h"
#include "link/mxx_comm.h"
#include "services/r62_comm.h"
#include "sim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kSamples = 10000;
// A sample request (no payload) and its answer (4 bytes), 10 bits per byte.
constexpr double kBitsPerSample = (13 + 13 + 4) * 10.0;

// Answers the prompts from a file and sends the samples to /dev/null for
// one run; standard output comes back for the report.
class ScriptedConsole {
public:
    explicit ScriptedConsole(const std::string& answers) : saved_out_(::dup(STDOUT_FILENO)) {
        char path[] = "/tmp/bench_md_XXXXXX";
        const int fd = ::mkstemp(path);
        if (fd >= 0) {
            ok_ = ::write(fd, answers.data(), answers.size()) == static_cast<ssize_t>(answers.size());
            ::close(fd);
            ok_ = ok_ && std::freopen(path, "r", stdin) != nullptr;
            ::unlink(path);
        }
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_WRONLY);
        ok_ = ok_ && null >= 0 && saved_out_ >= 0 && ::dup2(null, STDOUT_FILENO) >= 0;
        if (null >= 0) ::close(null);
    }
    ~ScriptedConsole() {
        std::fflush(stdout);
        if (saved_out_ < 0) return;
        ::dup2(saved_out_, STDOUT_FILENO);
        ::close(saved_out_);
    }
    ScriptedConsole(const ScriptedConsole&) = delete;
    ScriptedConsole& operator=(const ScriptedConsole&) = delete;
    bool ok() const { return ok_; }

private:
    int saved_out_;
    bool ok_ = false;
};

// The same samples from a bare loop against an instrument of its own on the
// same kind of paced line: the seconds the machine and the simulator need,
// or -1.
double bare_peer_seconds(int32_t baud, bool tcp) {
    const std::vector<uint8_t> none;
    return bench_bare_exchanges(baud, tcp, R62_CODE_MEASURE, kSamples, [&](int32_t) { return none; });
}

void BM_MeasureData10k(benchmark::State& state) {
    const auto baud = static_cast<int32_t>(state.range(0));
    const bool tcp = state.range(1) != 0;
    MXX_init(nullptr, nullptr, 0);
    sim_ptr sim = bench_paced_sim(baud);
    char conn[COMM_ENTRY_SIZE] = {};
    if (!tcp) {
        std::string path;
        int32_t port = 0;
        SIM_serve_pty(sim.get(), &path, &port);
        MXX_make_serial_path_conn_string(conn, path.c_str());
    } else {
        uint16_t port = 0;
        SIM_serve_tcp(sim.get(), 0, &port);
        MXX_make_net_conn_string(conn, "127.0.0.1", port);
    }
    if (MXX_connect(conn, &id_conn, bench_on_connected, nullptr, bench_on_closed, R62_probe, R62_test_probe, 0) != 0 ||
        MXX_wait_connected(id_conn, 15000) != 0 || connected.load() == 0) {
        state.SkipWithError("instrument not identified");
        MXX_shut();
        return;
    }
    double total_s = 0;
    double floor_s = 0;
    for (auto _ : state) {
        int32_t r = -1;
        double s = 0;
        {
            ScriptedConsole console(std::to_string(kSamples) + "\nn\n");
            const auto t0 = Clock::now();
            if (console.ok()) r = R62_cmd_measure_data(nullptr, 0);
            s = std::chrono::duration<double>(Clock::now() - t0).count();
        }
        if (r != 0 || SIM_request_count(sim.get(), R62_CODE_MEASURE) != static_cast<size_t>(kSamples)) {
            state.SkipWithError("md failed");
            break;
        }
        SIM_clear_requests(sim.get());
        state.SetIterationTime(s);
        total_s += s;
        // Right after, so both see the same load on the machine.
        if (baud > 0) {
            const double b = bare_peer_seconds(baud, tcp);
            if (b <= 0) {
                state.SkipWithError("bare peer failed");
                break;
            }
            floor_s += b;
        }
    }
    if (total_s <= 0) {
        MXX_shut();
        return;
    }
    const double per_run = total_s / static_cast<double>(state.iterations());
    state.counters["samples_per_s"] = kSamples / per_run;
    if (baud > 0 && floor_s > 0) {
        const double wire = kSamples * kBitsPerSample / baud;
        state.counters["wire_s"] = wire;
        state.counters["ratio"] = per_run / wire;
        state.counters["floor_ratio"] = floor_s / static_cast<double>(state.iterations()) / wire;
        state.counters["vs_floor"] = total_s / floor_s;
    }
    MXX_disconnect(id_conn);
    MXX_shut();
    connected.store(0);
}

// Arguments: baud (0: unpaced), then the link: 0 a pseudo-terminal, 1 TCP on
// loopback. Both run at the same paced speed; they differ in how the kernel
// hands bytes over.
BENCHMARK(BM_MeasureData10k)->Args({0, 0})->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasureData10k)->Args({115200, 0})->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasureData10k)->Args({115200, 1})->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
