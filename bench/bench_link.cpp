// Link layer throughput: frame building, frame assembly through the event
// procedure, and whole request/response exchanges over a pseudo-terminal.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "link/mxx_comm.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes make_frame(uint16_t code, size_t payload_size) {
    bytes payload(payload_size);
    for (size_t i = 0; i < payload_size; ++i) payload[i] = static_cast<uint8_t>(i * 31 + 7);
    bytes f(payload_size + MXX_OVERHEAD);
    MXX_build_frame(f.data(), code, payload.data(), static_cast<uint16_t>(payload_size), 800, 0);
    return f;
}

// ---- building ----

void BM_FrameBuild(benchmark::State& state) {
    const auto size = static_cast<uint16_t>(state.range(0));
    bytes payload(size, 0x5A);
    bytes out(size + MXX_OVERHEAD);
    for (auto _ : state) {
        const int32_t n = MXX_build_frame(out.data(), 8201, payload.data(), size, 800, 0);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_FrameBuild)->Arg(0)->Arg(4096);

// ---- assembly: the whole receive path of a link, dispatch included ----

int32_t count_frames(int32_t, mxx_conn_t*, const uint8_t*, int32_t user) { return user; }

void BM_FrameAssembly(benchmark::State& state) {
    const size_t payload = static_cast<size_t>(state.range(0));
    // A stream of frames delivered in read-sized chunks, as a link would.
    bytes stream;
    while (stream.size() < 256 * 1024) {
        const bytes f = make_frame(0x2456, payload);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    auto* c = new mxx_conn_t{};
    c->identified = 1;
    c->hook_count = 1;
    c->hooks[0] = mxx_hook_t{0x2456, count_frames};
    constexpr int32_t kNoLink = 0x6B6B;
    for (auto _ : state) {
        for (size_t off = 0; off < stream.size(); off += MXX_RX_CHUNK) {
            const size_t n = std::min<size_t>(MXX_RX_CHUNK, stream.size() - off);
            MXX_event_proc(kNoLink, MXX_EV_DATA, stream.data() + off, static_cast<int32_t>(n), c);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
    MXX_event_proc(kNoLink, MXX_EV_DISCONNECTED, nullptr, 0, c);
}
BENCHMARK(BM_FrameAssembly)->Arg(0)->Arg(4096);

// The frame assembler alone, without dispatch.
void BM_FrameAssemblyBare(benchmark::State& state) {
    const size_t payload = static_cast<size_t>(state.range(0));
    bytes stream;
    while (stream.size() < 256 * 1024) {
        const bytes f = make_frame(0x2456, payload);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    auto rx = std::make_unique<mxx_rx_t>();
    MXX_rx_reset(rx.get());
    for (auto _ : state) {
        int32_t frames = MXX_rx_feed(rx.get(), stream.data(), stream.size(), nullptr, nullptr);
        benchmark::DoNotOptimize(frames);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_FrameAssemblyBare)->Arg(0)->Arg(4096);

// The assembler over junk: arg 0 bytes of no meaning, arg 1 false starts
// only (headers cut short, each retried byte by byte), a frame now and then.
void BM_FrameAssemblyJunk(benchmark::State& state) {
    const bytes frame = make_frame(0x2456, 64);
    bytes junk;
    if (state.range(0) == 0) {
        for (size_t i = 0; i < 1024; ++i) junk.push_back(static_cast<uint8_t>(i * 37 + 11) | 0x80);
    } else {
        for (int i = 0; i < 100; ++i) junk.insert(junk.end(), frame.begin(), frame.begin() + 11);
    }
    bytes stream;
    while (stream.size() < 256 * 1024) {
        stream.insert(stream.end(), junk.begin(), junk.end());
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    auto rx = std::make_unique<mxx_rx_t>();
    MXX_rx_reset(rx.get());
    for (auto _ : state) {
        int32_t frames = MXX_rx_feed(rx.get(), stream.data(), stream.size(), nullptr, nullptr);
        benchmark::DoNotOptimize(frames);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_FrameAssemblyJunk)->Arg(0)->Arg(1);

// ---- exchanges over a pseudo-terminal ----

class fd_owner {
public:
    explicit fd_owner(int fd = -1) : fd_(fd) {}
    ~fd_owner() {
        if (fd_ >= 0) ::close(fd_);
    }
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The instrument side on the pty master: answers every request with code + 1000.
class Responder {
public:
    explicit Responder(int master) : master_(master), rx_(std::make_unique<mxx_rx_t>()) {
        MXX_rx_reset(rx_.get());
        thread_ = std::thread([this] { loop(); });
    }
    ~Responder() {
        running_ = false;
        thread_.join();
    }

private:
    static void answer(const uint8_t* f, int32_t count, void* user) {
        auto* self = static_cast<Responder*>(user);
        const uint16_t code = static_cast<uint16_t>(MXX_frame_code(f) + MXX_RESPONSE_OFFSET);
        const int32_t payload = count - static_cast<int32_t>(MXX_OVERHEAD);
        const uint16_t size = static_cast<uint16_t>(payload > 0 ? payload : 0);
        uint8_t out[MXX_RSP_CAP1];
        const int32_t n = MXX_build_frame(out, code, f + MXX_HEADER_SIZE, size, MXX_frame_timeout(f), 0);
        for (int32_t off = 0; off < n;) {
            const ssize_t w = ::write(self->master_, out + off, static_cast<size_t>(n - off));
            if (w <= 0) return;
            off += static_cast<int32_t>(w);
        }
    }
    void loop() {
        uint8_t buf[4096];
        while (running_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) continue;
            MXX_rx_feed(rx_.get(), buf, static_cast<size_t>(n), answer, this);
        }
    }

    int master_;
    std::unique_ptr<mxx_rx_t> rx_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

void BM_ExchangePty(benchmark::State& state) {
    int master = -1, slave = -1;
    char path[128] = {};
    if (::openpty(&master, &slave, path, nullptr, nullptr) != 0) {
        state.SkipWithError("openpty failed");
        return;
    }
    fd_owner master_fd(master), slave_fd(slave);
    Responder responder(master);

    char conn[COMM_ENTRY_SIZE];
    int32_t id = -1;
    if (MXX_make_serial_path_conn_string(conn, path) != 0 ||
        MXX_connect(conn, &id, nullptr, nullptr, nullptr, nullptr, nullptr, 0) != 0) {
        state.SkipWithError("connect failed");
        return;
    }
    const uint8_t request[4] = {25, 0, 0, 0};
    uint8_t reply[64];
    std::vector<double> latency_us;
    latency_us.reserve(1 << 20);
    int64_t failures = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const int32_t r = MXX_send_cmd(id, 8023, request, 4, reply, sizeof reply, nullptr, nullptr, nullptr, 1000, 1);
        const auto t1 = std::chrono::steady_clock::now();
        if (r != 0) ++failures;
        latency_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    MXX_disconnect(id);
    if (failures != 0 || latency_us.empty()) {
        state.SkipWithError("exchange failed");
        return;
    }

    std::sort(latency_us.begin(), latency_us.end());
    auto pct = [&](double p) { return latency_us[static_cast<size_t>(p * static_cast<double>(latency_us.size() - 1))]; };
    state.SetItemsProcessed(state.iterations());
    state.counters["median_us"] = pct(0.5);
    state.counters["p99_us"] = pct(0.99);
    state.counters["exchanges_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExchangePty)->UseRealTime()->MinTime(2.0);

int32_t usb_changed(int32_t) { return 0; }

}  // namespace

int main(int argc, char** argv) {
    if (MXX_init(nullptr, usb_changed, 0) != 0) return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    MXX_shut();
    return 0;
}
