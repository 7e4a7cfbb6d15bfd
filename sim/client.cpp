#include "sim/client.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>

#include "link/mxx_frame.h"

namespace {
constexpr uint16_t kLiveCode = 0x2456;
}

struct sim_client_t {
    int fd = -1;
    bool eof = false;
    std::unique_ptr<mxx_rx_t> rx = std::make_unique<mxx_rx_t>();
    std::deque<sim_frame_t> frames;
    std::vector<sim_frame_t> live;
    std::vector<uint8_t> raw;
};

namespace {

void sink(const uint8_t* frame, int32_t count, void* user) {
    auto* c = static_cast<sim_client_t*>(user);
    sim_frame_t f;
    f.code = MXX_frame_code(frame);
    f.timeout = MXX_frame_timeout(frame);
    f.status = MXX_frame_status(frame);
    const std::span<const uint8_t> payload = MXX_frame_payload(frame, static_cast<size_t>(count));
    f.payload.assign(payload.begin(), payload.end());
    c->frames.push_back(std::move(f));
}

// Reads what is available within timeout_ms; false on time-out or end.
bool pump(sim_client_t* c, int32_t timeout_ms) {
    if (c->eof) return false;
    pollfd p{c->fd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout_ms);
    if (r <= 0) return false;
    uint8_t buf[4096];
    const ssize_t n = ::read(c->fd, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        c->eof = true;
        return false;
    }
    c->raw.insert(c->raw.end(), buf, buf + n);
    MXX_rx_feed(c->rx.get(), buf, static_cast<size_t>(n), sink, c);
    return true;
}

int32_t remaining(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int32_t>(left.count());
}

}  // namespace

sim_client_t* SIMC_open(int fd) {
    auto* c = new sim_client_t;
    c->fd = fd;
    MXX_rx_reset(c->rx.get());
    return c;
}

void SIMC_close(sim_client_t* c) {
    if (c == nullptr) return;
    if (c->fd >= 0) ::close(c->fd);
    delete c;
}

int32_t SIMC_send_raw(sim_client_t* c, const std::vector<uint8_t>& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = ::write(c->fd, bytes.data() + off, bytes.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        off += static_cast<size_t>(n);
    }
    return 0;
}

int32_t SIMC_send(sim_client_t* c, uint16_t code, const std::vector<uint8_t>& payload, uint16_t timeout) {
    if (payload.size() > static_cast<size_t>(MXX_MAX_PAYLOAD)) return -1;
    std::vector<uint8_t> f(MXX_frame_size(payload.size()));
    MXX_build_frame(f.data(), code, payload.data(), static_cast<uint16_t>(payload.size()), timeout, 0);
    return SIMC_send_raw(c, f);
}

bool SIMC_recv(sim_client_t* c, sim_frame_t* out, int32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (c->frames.empty()) {
        if (!pump(c, remaining(deadline)) && (c->eof || remaining(deadline) == 0)) return false;
    }
    *out = std::move(c->frames.front());
    c->frames.pop_front();
    return true;
}

bool SIMC_call(sim_client_t* c, uint16_t code, const std::vector<uint8_t>& payload, sim_frame_t* answer,
               int32_t timeout_ms) {
    if (SIMC_send(c, code, payload) != 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    sim_frame_t f;
    while (SIMC_recv(c, &f, remaining(deadline))) {
        if (f.code == kLiveCode) {
            c->live.push_back(std::move(f));
            continue;
        }
        *answer = std::move(f);
        return true;
    }
    return false;
}

std::vector<sim_frame_t> SIMC_take_live(sim_client_t* c, size_t n, int32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        // Move live frames out of the queue; other frames stay queued in order.
        for (auto it = c->frames.begin(); it != c->frames.end();) {
            if (it->code == kLiveCode) {
                c->live.push_back(std::move(*it));
                it = c->frames.erase(it);
            } else {
                ++it;
            }
        }
        if (c->live.size() >= n || remaining(deadline) == 0) break;
        if (!pump(c, remaining(deadline)) && c->eof) break;
    }
    std::vector<sim_frame_t> out;
    out.swap(c->live);
    return out;
}

std::vector<uint8_t> SIMC_take_raw(sim_client_t* c) {
    std::vector<uint8_t> out;
    out.swap(c->raw);
    return out;
}

bool SIMC_wait_closed(sim_client_t* c, int32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!c->eof && remaining(deadline) > 0) pump(c, remaining(deadline));
    return c->eof;
}
