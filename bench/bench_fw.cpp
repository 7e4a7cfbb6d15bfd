// Firmware upload and verify of a full image in 64-byte blocks (8128
// exchanges) against the simulated instrument on a pseudo-terminal, plain
// and paced as a 115200 8N1 line. Counters: blocks_per_s; for paced runs
// wire_s, the time the bytes alone need on the line, ratio = time / wire,
// and block_ratio, the median time from one block request to the next over
// one block's wire time (on a loaded machine the kernel's pty work can lag
// by whole timer ticks now and then; the median shows the steady pace), its
// 99th percentile, and stall_s, the time lost to gaps over two blocks long.
// After each paced run a bare loop (no console, no link library, one thread)
// makes the same block exchanges on the same kind of line: floor_ratio is its
// time over the wire time, vs_floor the tool's time over the bare loop's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "commands/r40_fw.h"
#include "commands/r62_fw.h"
#include "console/globals.h"
#include "link/mxx_comm.h"
#include "records/gfw.h"
#include "records/wire.h"
#include "services/r62_comm.h"
#include "sim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBlocks = R62_FW_MAX_SIZE / 64;
// Frame bytes per block: header, status and checksum (13), the block index
// (2) and the data (64) once, in the request or in the answer.
constexpr double kBlockBytes = 13 + 2 + 64 + 13;
constexpr double kEraseBytes = 13 + 13 + 4;

// The instrument's GFW file of a random-looking BIN, made once in a
// directory of its own that goes when the program ends.
struct temp_image_t {
    std::string dir, gfw;
    temp_image_t() {
        char name[] = "/tmp/qm_bench_fw_XXXXXX";
        if (::mkdtemp(name) == nullptr) return;
        dir = name;
        const std::string bin = dir + "/fw.bin";
        std::vector<uint8_t> data(R62_FW_MAX_SIZE - 4096);
        uint32_t x = 12345;
        for (uint8_t& b : data) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
        std::FILE* f = std::fopen(bin.c_str(), "wb");
        if (f == nullptr) return;
        const bool written = std::fwrite(data.data(), 1, data.size(), f) == data.size();
        if (std::fclose(f) != 0 || !written) return;
        const int saved = ::dup(STDOUT_FILENO);
        const int null_fd = ::open("/dev/null", O_WRONLY);
        ::dup2(null_fd, STDOUT_FILENO);
        const std::string path = dir + "/fw.gfw";
        const int32_t r = R40_create_gfw(bin.c_str(), path.c_str(), 1, 0, 1, R62_FW_DEVICE, R62_FW_MAX_SIZE,
                                         DEV_TYPE_R62);
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        ::close(null_fd);
        if (r == 0) gfw = path;
    }
    ~temp_image_t() {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
};

std::string gfw_path() {
    static const temp_image_t image;
    return image.gfw;
}

// Standard input holds one empty line: the prompt keeps its default.
bool answer_empty_line() {
    char path[] = "/tmp/qm_bench_stdin_XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return false;
    const bool written = ::write(fd, "\n", 1) == 1;
    ::close(fd);
    const bool opened = written && std::freopen(path, "r", stdin) != nullptr;
    ::unlink(path);
    return opened;
}

// One linked instrument; the command's progress lines go to /dev/null and
// its file-name prompt is answered with an empty line.
class Session {
public:
    explicit Session(int32_t baud) : sim_(bench_paced_sim(baud)) {
        MXX_init(nullptr, nullptr, 0);
        std::string path;
        int32_t port = 0;
        SIM_serve_pty(sim_.get(), &path, &port);
        char conn[COMM_ENTRY_SIZE] = {};
        MXX_make_serial_path_conn_string(conn, path.c_str());
        int32_t id = -1;
        if (MXX_connect(conn, &id, bench_on_connected, nullptr, bench_on_closed, R62_probe, R62_test_probe, 0) == 0 &&
            MXX_wait_connected(id, 15000) == 0 && connected.load() == 1)
            id_conn = id;
    }
    ~Session() {
        if (id_conn >= 0) MXX_disconnect(id_conn);
        id_conn = -1;
        MXX_shut();
    }
    bool up() const { return id_conn >= 0; }
    sim_t* sim() const { return sim_.get(); }

    // Seconds the command took; negative when it failed.
    template <typename Command>
    double time(Command command) {
        if (!answer_empty_line()) return -1;
        std::fflush(stdout);
        const int saved = ::dup(STDOUT_FILENO);
        const int null_fd = ::open("/dev/null", O_WRONLY);
        ::dup2(null_fd, STDOUT_FILENO);
        const auto t0 = Clock::now();
        const int32_t r = command();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        ::close(null_fd);
        return r == 0 ? s : -1;
    }

private:
    sim_ptr sim_;
};

void report(benchmark::State& state, double seconds, double line_bytes, std::vector<double> gaps) {
    state.counters["blocks_per_s"] = kBlocks / seconds;
    const auto baud = static_cast<double>(state.range(0));
    if (baud > 0) {
        const double wire = line_bytes * 10.0 / baud;
        state.counters["wire_s"] = wire;
        state.counters["ratio"] = seconds / wire;
        if (!gaps.empty()) {
            const double block = kBlockBytes * 10.0 / baud;
            std::sort(gaps.begin(), gaps.end());
            state.counters["block_ratio"] = gaps[gaps.size() / 2] / block;
            state.counters["p99_block_ratio"] = gaps[gaps.size() * 99 / 100] / block;
            // Time lost to gaps of more than two blocks: stalls, not pace.
            double stalls = 0;
            for (double g : gaps)
                if (g > 2 * block) stalls += g - block;
            state.counters["stall_s"] = stalls;
        }
    }
}

void run(benchmark::State& state, bool verify) {
    const std::string gfw = gfw_path();
    Session session(static_cast<int32_t>(state.range(0)));
    if (gfw.empty() || !session.up()) {
        state.SkipWithError("no image or instrument not identified");
        return;
    }
    char line[] = "\n";
    auto upload = [&] { return R40_cmd_upload_gfw(line, gfw.c_str(), DEV_TYPE_R62, R62_FW_MAX_SIZE); };
    auto check = [&] { return R40_cmd_verify_gfw(line, gfw.c_str(), DEV_TYPE_R62, R62_FW_MAX_SIZE); };
    if (verify) {
        // What an upload leaves in the flash: the image as stored.
        std::vector<uint8_t> file(GFW_HEADER_SIZE + R62_FW_MAX_SIZE);
        std::FILE* f = std::fopen(gfw.c_str(), "rb");
        const bool read = f != nullptr && std::fread(file.data(), 1, file.size(), f) == file.size();
        if (f != nullptr) std::fclose(f);
        if (!read) {
            state.SkipWithError("image unreadable");
            return;
        }
        SIM_set_flash(session.sim(), std::vector<uint8_t>(file.begin() + GFW_HEADER_SIZE, file.end()));
    }
    // Arrival times of the block requests, on the simulator's thread.
    const uint16_t code = verify ? R40_CODE_READ_EXT_FLASH : R40_CODE_WRITE_EXT_FLASH;
    std::vector<Clock::time_point> arrivals;
    arrivals.reserve(static_cast<size_t>(kBlocks) * static_cast<size_t>(state.max_iterations));
    SIM_set_request_hook(session.sim(), [&](const sim_request_t& r) {
        if (r.code == code) arrivals.push_back(Clock::now());
    });
    const auto baud = static_cast<int32_t>(state.range(0));
    // The bare loop's requests: the block index, then for a write the data.
    auto block_request = [verify](int32_t k) {
        std::vector<uint8_t> p(verify ? 2 : 2 + 64, 0x5A);
        put_u16le(p.data(), 0, static_cast<uint16_t>(k));
        return p;
    };
    double total = 0;
    double floor = 0;
    for (auto _ : state) {
        const double s = verify ? session.time(check) : session.time(upload);
        if (s < 0) {
            state.SkipWithError(verify ? "verify failed" : "upload failed");
            break;
        }
        state.SetIterationTime(s);
        total += s;
        // Right after, so both see the same load on the machine.
        if (baud > 0) {
            const double b = bench_bare_exchanges(baud, false, code, static_cast<int32_t>(kBlocks), block_request);
            if (b <= 0) {
                state.SkipWithError("bare loop failed");
                break;
            }
            floor += b;
        }
    }
    SIM_set_request_hook(session.sim(), nullptr);
    if (state.error_occurred()) return;
    std::vector<double> gaps;
    for (size_t i = 1; i < arrivals.size(); ++i)
        if (i % static_cast<size_t>(kBlocks) != 0)  // not across iterations
            gaps.push_back(std::chrono::duration<double>(arrivals[i] - arrivals[i - 1]).count());
    report(state, total / static_cast<double>(state.iterations()),
           verify ? kBlocks * kBlockBytes : kEraseBytes + kBlocks * kBlockBytes, std::move(gaps));
    if (floor > 0) {
        const double per_run = floor / static_cast<double>(state.iterations());
        state.counters["floor_ratio"] = per_run / (kBlocks * kBlockBytes * 10.0 / baud);
        // The tool's time without its erase exchange, over the bare loop's.
        state.counters["vs_floor"] =
            (total / static_cast<double>(state.iterations()) - (verify ? 0 : kEraseBytes * 10.0 / baud)) / per_run;
    }
}

void BM_Upload(benchmark::State& state) { run(state, false); }
void BM_Verify(benchmark::State& state) { run(state, true); }

BENCHMARK(BM_Upload)->Arg(0)->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Upload)->Arg(115200)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Verify)->Arg(0)->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Verify)->Arg(115200)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
