// `md` reading 10,000 raw samples from the simulated instrument on a
// pseudo-terminal: one exchange per sample. Counters: samples_per_s; for the
// line paced as 115200 8N1 also wire_s, the time the bytes alone need on the
// line, and ratio = elapsed / wire.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

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

int32_t on_connected(int32_t, mxx_conn_t*, int32_t type, int32_t) {
    dev_type.store(type);
    connected.store(1);
    return 0;
}
int32_t on_closed(int32_t, mxx_conn_t*, int32_t) {
    connected.store(0);
    return 0;
}

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

void BM_MeasureData10k(benchmark::State& state) {
    const auto baud = static_cast<int32_t>(state.range(0));
    MXX_init(nullptr, nullptr, 0);
    sim_ptr sim(SIM_create_demo());
    sim_faults_t f;
    f.baud = baud;
    SIM_set_faults(sim.get(), f);
    std::string path;
    int32_t port = 0;
    char conn[COMM_ENTRY_SIZE] = {};
    SIM_serve_pty(sim.get(), &path, &port);
    MXX_make_serial_path_conn_string(conn, path.c_str());
    if (MXX_connect(conn, &id_conn, on_connected, nullptr, on_closed, R62_probe, R62_test_probe, 0) != 0 ||
        MXX_wait_connected(id_conn, 15000) != 0 || connected.load() == 0) {
        state.SkipWithError("instrument not identified");
        MXX_shut();
        return;
    }
    double total_s = 0;
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
    }
    if (total_s <= 0) {
        MXX_shut();
        return;
    }
    const double per_run = total_s / static_cast<double>(state.iterations());
    state.counters["samples_per_s"] = kSamples / per_run;
    if (baud > 0) {
        const double wire = kSamples * kBitsPerSample / baud;
        state.counters["wire_s"] = wire;
        state.counters["ratio"] = per_run / wire;
    }
    MXX_disconnect(id_conn);
    MXX_shut();
    connected.store(0);
}
BENCHMARK(BM_MeasureData10k)->Arg(0)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasureData10k)->Arg(115200)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
