// The tool against the simulated instrument on a pseudo-terminal: time to
// identify the instrument (the "Connecting device..." to "Ok." span) and the
// `sm` round trip, on a plain pty and on one paced as a 115200 8N1 line.
// Counters: median_ms over the iterations; for paced runs wire_ms, the time
// the bytes alone need on the line, and ratio = median / wire.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "commands/r62_params.h"
#include "console/globals.h"
#include "link/mxx_comm.h"
#include "services/r62_comm.h"
#include "sim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Instrument {
    sim_ptr sim;
    char conn[COMM_ENTRY_SIZE] = {};

    explicit Instrument(int32_t baud) : sim(bench_paced_sim(baud)) {
        std::string path;
        int32_t port = 0;
        SIM_serve_pty(sim.get(), &path, &port);
        MXX_make_serial_path_conn_string(conn, path.c_str());
    }
    int32_t connect() {
        int32_t id = -1;
        if (MXX_connect(conn, &id, bench_on_connected, nullptr, bench_on_closed, R62_probe, R62_test_probe, 0) != 0) return -1;
        if (MXX_wait_connected(id, 15000) != 0 || MXX_get_conn_state_id(id) != COMM_STATE_CONNECTED) return -1;
        return id;
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Bytes on the line for one identification: the probe request and its answer.
constexpr double kProbeBytes = 13 + 21;

void report(benchmark::State& state, const std::vector<double>& samples, double line_bytes) {
    const double med = median(samples);
    state.counters["median_ms"] = med;
    const auto baud = static_cast<double>(state.range(0));
    if (baud > 0) {
        const double wire = line_bytes * 10.0 / baud * 1000.0;
        state.counters["wire_ms"] = wire;
        state.counters["ratio"] = med / wire;
    }
}

void BM_ConnectIdentify(benchmark::State& state) {
    MXX_init(nullptr, nullptr, 0);
    Instrument inst(static_cast<int32_t>(state.range(0)));
    std::vector<double> samples;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const int32_t id = inst.connect();
        const double ms = ms_since(t0);
        if (id < 0) {
            state.SkipWithError("instrument not identified");
            break;
        }
        samples.push_back(ms);
        state.SetIterationTime(ms / 1000.0);
        MXX_disconnect(id);
    }
    report(state, samples, kProbeBytes);
    MXX_shut();
}
BENCHMARK(BM_ConnectIdentify)->Arg(0)->Arg(115200)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);

void BM_SetMemoryRoundTrip(benchmark::State& state) {
    MXX_init(nullptr, nullptr, 0);
    Instrument inst(static_cast<int32_t>(state.range(0)));
    id_conn = inst.connect();
    if (id_conn < 0) {
        state.SkipWithError("instrument not identified");
        MXX_shut();
        return;
    }
    char line[] = "sm\n";
    std::vector<double> samples;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const int32_t r = R62_cmd_set_memory(line, 0);
        const double ms = ms_since(t0);
        if (r != 0) {
            state.SkipWithError("sm failed");
            break;
        }
        samples.push_back(ms);
        state.SetIterationTime(ms / 1000.0);
    }
    // get-params request and answer, set-params request (319 bytes) and answer.
    const double params_answer = static_cast<double>(SIM_get_params(inst.sim.get()).size());
    report(state, samples, 13 + (params_answer + 13) + (319 + 13) + 13);
    MXX_disconnect(id_conn);
    MXX_shut();
}
BENCHMARK(BM_SetMemoryRoundTrip)->Arg(0)->Arg(115200)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
