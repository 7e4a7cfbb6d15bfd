// Serving the simulated instrument: socket pairs, pseudo-terminals and TCP
// connections, one thread per endpoint, a ticker thread for the timed parts
// of a measurement, and the wire-level faults.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/mxx_frame.h"
#include "sim/sim_internal.h"

namespace {

constexpr size_t kRequestLogMax = 100000;  // a long-running server keeps the latest ones
constexpr auto kWriteGiveUp = std::chrono::seconds(2);
constexpr auto kSplitPause = std::chrono::milliseconds(1);
constexpr uint8_t kStray[] = {0x00, 0xFF, 0x55, 0xAA, 0x13, 0x37, 0x0D, 0x0A};

// One owner per fd.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& o) noexcept : fd_(o.release()) {}
    unique_fd& operator=(unique_fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

bool set_nonblock(int fd) {
    const int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

// A pipe whose read end turns readable when the owner must stop.
struct waker_t {
    unique_fd r, w;
    bool open() {
        int p[2];
        if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        r.reset(p[0]);
        w.reset(p[1]);
        return true;
    }
    void wake() {
        const char c = 1;
        [[maybe_unused]] ssize_t n = ::write(w.get(), &c, 1);
    }
};

}  // namespace

struct sim_endpoint_t {
    bool is_socket = true;
    unique_fd fd;
    unique_fd slave;  // pty: kept open so the master never sees a hang-up
    waker_t waker;
    std::thread thread;
    std::mutex write_mu;
    bool closed = false;  // under write_mu
    // Paced line: when the last byte sent reaches the tool (under write_mu).
    sim_clock::time_point tx_due{};
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::atomic<bool> muted{false};
    bool drop = false;      // endpoint thread only: close the link after this frame
    int32_t requests = 0;   // endpoint thread only
};

struct sim_listener_t {
    unique_fd fd;
    waker_t waker;
    std::thread thread;
    std::atomic<bool> stop{false};
};

namespace {

// Sleeps, but returns early (false) when the endpoint must stop.
bool ep_sleep(sim_endpoint_t* ep, std::chrono::nanoseconds d) {
    if (d <= std::chrono::nanoseconds::zero()) return !ep->stop;
    pollfd p{ep->waker.r.get(), POLLIN, 0};
    timespec ts{static_cast<time_t>(d.count() / 1000000000), static_cast<long>(d.count() % 1000000000)};
    ppoll(&p, 1, &ts, nullptr);
    return !ep->stop;
}

// Sleeps until `due`. A timed sleep wakes tens of microseconds late, which on a
// paced line would add to every piece; the last stretch is spun out instead.
bool ep_sleep_until(sim_endpoint_t* ep, sim_clock::time_point due) {
    constexpr auto kSpin = std::chrono::microseconds(150);
    const auto left = due - sim_clock::now();
    if (left > kSpin && !ep_sleep(ep, left - kSpin)) return false;
    while (sim_clock::now() < due)
        if (ep->stop) return false;
    return !ep->stop;
}

// Writes all bytes; write_mu held. Gives up when the peer stops reading.
bool write_all(sim_endpoint_t* ep, const uint8_t* data, size_t len) {
    const auto deadline = sim_clock::now() + kWriteGiveUp;
    size_t off = 0;
    while (off < len) {
        const ssize_t n = ep->is_socket ? ::send(ep->fd.get(), data + off, len - off, MSG_NOSIGNAL)
                                        : ::write(ep->fd.get(), data + off, len - off);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p[2] = {{ep->fd.get(), POLLOUT, 0}, {ep->waker.r.get(), POLLIN, 0}};
            ::poll(p, 2, 50);
            if (ep->stop || sim_clock::now() > deadline) return false;
            continue;
        }
        return false;
    }
    return true;
}

// The first 7 bytes of a header (magic, the frame's code, one byte) that
// the frame's own first 5 bytes complete to 12 with a bad checksum: a reader
// that does not retry the frame's start inside them loses the frame.
std::array<uint8_t, 7> false_header(const std::vector<uint8_t>& frame) {
    std::array<uint8_t, MXX_HEADER_SIZE> window{};
    std::memcpy(window.data(), MXX_MAGIC, 4);
    window[4] = frame[MXX_OFF_CODE];
    window[5] = frame[MXX_OFF_CODE + 1];
    std::memcpy(window.data() + 7, frame.data(), MXX_HEADER_SIZE - 7);
    const uint8_t x = MXX_xor(window.data(), MXX_HEADER_SIZE);
    window[6] = x == 0xFF ? 0x00 : 0xFF;  // anything but x; never 'B'
    std::array<uint8_t, 7> head;
    std::memcpy(head.data(), window.data(), head.size());
    return head;
}

// Bytes on a paced line take 10 bit times each.
std::chrono::nanoseconds line_time(size_t bytes, int32_t baud) {
    return std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 10 * 1000000000 / baud);
}

// Sends one frame with the transport faults (stray bytes, false starts,
// split, pacing). A paced frame starts at `earliest` (default: now) or when the line is
// free, whichever is later; each 16-byte piece is written when it begins on
// the line. Times are reckoned from those due times, not from when a sleep
// ended, so the simulator's own wake-up lag does not slow the line down.
void ep_send(sim_endpoint_t* ep, std::vector<uint8_t> frame, const sim_faults_t& f,
             sim_clock::time_point earliest = {}) {
    std::lock_guard lk(ep->write_mu);
    if (ep->closed || ep->muted) return;
    std::vector<uint8_t> pre(static_cast<size_t>(std::max(f.stray, 0)));
    for (size_t i = 0; i < pre.size(); ++i) pre[i] = kStray[i % sizeof kStray];
    pre.insert(pre.end(), static_cast<size_t>(std::max(f.stray_b, 0)), MXX_MAGIC[0]);
    if (f.false_header && frame.size() >= MXX_HEADER_SIZE) {
        const auto head = false_header(frame);
        pre.insert(pre.end(), head.begin(), head.end());
    }
    frame.insert(frame.begin(), pre.begin(), pre.end());
    const size_t piece = f.split > 0 ? static_cast<size_t>(f.split) : frame.size();
    const auto start = f.baud > 0 ? std::max(earliest == sim_clock::time_point{} ? sim_clock::now() : earliest,
                                             ep->tx_due)
                                   : sim_clock::now();
    size_t sent = 0;
    for (size_t off = 0; off < frame.size(); off += piece) {
        const size_t n = std::min(piece, frame.size() - off);
        if (f.baud > 0) {
            for (size_t k = 0; k < n; k += 16) {
                if (!ep_sleep_until(ep, start + line_time(sent, f.baud))) return;
                const size_t m = std::min<size_t>(16, n - k);
                if (!write_all(ep, frame.data() + off + k, m)) return;
                sent += m;
            }
            ep->tx_due = start + line_time(sent, f.baud);
        } else if (!write_all(ep, frame.data() + off, n)) {
            return;
        }
        if (f.split > 0 && off + n < frame.size() && !ep_sleep(ep, kSplitPause)) return;
    }
}

std::vector<uint8_t> build_frame(uint16_t code, const std::vector<uint8_t>& payload, uint8_t status) {
    const size_t n = std::min<size_t>(payload.size(), static_cast<size_t>(MXX_MAX_PAYLOAD));
    std::vector<uint8_t> f(MXX_frame_size(n));
    MXX_build_frame(f.data(), code, payload.data(), static_cast<uint16_t>(n), 0, status);
    return f;
}

void send_live(sim_endpoint_t* ep, const std::vector<std::vector<uint8_t>>& live, const sim_faults_t& f) {
    for (const auto& p : live) ep_send(ep, build_frame(LIVE_CODE, p, 0), f);
}

void handle_frame(sim_t* s, const std::shared_ptr<sim_endpoint_t>& ep, const uint8_t* frame, int32_t count) {
    sim_request_t req;
    req.code = MXX_frame_code(frame);
    req.timeout = MXX_frame_timeout(frame);
    const std::span<const uint8_t> payload = MXX_frame_payload(frame, static_cast<size_t>(count));
    req.payload.assign(payload.begin(), payload.end());
    std::function<void(const sim_request_t&)> hook;
    sim_faults_t f;
    {
        std::lock_guard lk(s->mu);
        if (s->requests.size() >= kRequestLogMax)
            s->requests.erase(s->requests.begin(), s->requests.begin() + kRequestLogMax / 10);
        s->requests.push_back(req);
        hook = s->hook;
        f = s->faults;
    }
    s->requests_cv.notify_all();
    if (hook) hook(req);
    ++ep->requests;
    if (ep->muted) return;
    // Paced: the request is on the line from when it came, or from when the
    // tool had the last answer (it may have read that answer's bytes early).
    sim_clock::time_point answer_at{};
    if (f.baud > 0) {
        sim_clock::time_point line_free;
        {
            std::lock_guard lk(ep->write_mu);
            line_free = ep->tx_due;
        }
        answer_at = std::max(sim_clock::now(), line_free) + line_time(static_cast<size_t>(count), f.baud);
        ep_sleep_until(ep.get(), answer_at);
    }

    std::vector<uint8_t> answer;
    std::vector<std::vector<uint8_t>> live;
    int32_t delay_ms = 0;
    {
        std::lock_guard lk(s->mu);
        f = s->faults;
        const auto now = sim_clock::now();
        const bool applies = f.only_code == 0 || f.only_code == req.code;
        const bool silent = f.silent_codes.count(req.code) != 0 || (f.ignore_probe && req.code == 8007);
        if (now >= s->ins.reboot_until && !silent) {
            s->ins.owner = ep;
            sim_reply_t r;
            auto fc = f.fail_codes.find(req.code);
            if (applies && f.status_only >= 0) {
                r = {true, MXX_CODE_STATUS, static_cast<uint8_t>(f.status_only), {}, {}, false};
            } else if (applies && f.reject) {
                r = {true, MXX_CODE_REJECT, SIM_ST_FAIL, {}, {}, false};
            } else if (fc != f.fail_codes.end()) {
                r = {true, static_cast<uint16_t>(req.code + MXX_RESPONSE_OFFSET), fc->second, {}, {}, false};
            } else {
                r = SIMI_handle(s, req.code, req.payload, now);
            }
            // With only_code set, only that code's answers are counted.
            const int64_t n = applies && r.answer ? ++s->answer_counter : 0;
            const auto nth = [n](int32_t every) { return every <= 0 || n % every == 0; };
            if (applies && f.answer_size >= 0 && r.answer && r.code == req.code + MXX_RESPONSE_OFFSET &&
                nth(f.size_every))
                r.payload.resize(static_cast<size_t>(f.answer_size));
            if (r.scheduled) s->tick_cv.notify_all();
            live = std::move(r.live);
            if (r.answer) {
                const bool drop = applies && ((f.drop_first > 0 && n <= f.drop_first) ||
                                              (f.drop_every > 0 && n % f.drop_every == 0));
                if (!drop) {
                    answer = build_frame(r.code, r.payload, r.status);
                    if (applies && f.corrupt_every > 0 && ++s->corrupt_counter % f.corrupt_every == 0) {
                        const std::span<const uint8_t> p = MXX_frame_payload(answer.data(), answer.size());
                        const size_t at = p.empty() ? MXX_OFF_STATUS
                                                    : static_cast<size_t>(p.data() - answer.data()) + p.size() / 2;
                        answer[at] ^= 0x01;
                    }
                    if (applies && nth(f.delay_every)) delay_ms = f.delay_ms;
                }
            }
        }
    }
    if (!answer.empty()) {
        if (delay_ms > 0) {
            if (!ep_sleep(ep.get(), std::chrono::milliseconds(delay_ms))) return;
            answer_at = {};
        }
        ep_send(ep.get(), std::move(answer), f, answer_at);
    }
    send_live(ep.get(), live, f);
    if (f.drop_link_after > 0 && ep->requests >= f.drop_link_after) {
        if (ep->is_socket) ep->drop = true;
        else ep->muted = true;
    }
}

struct rx_ctx_t {
    std::vector<std::vector<uint8_t>> frames;
};

void rx_sink(const uint8_t* frame, int32_t count, void* user) {
    static_cast<rx_ctx_t*>(user)->frames.emplace_back(frame, frame + count);
}

void endpoint_run(sim_t* s, std::shared_ptr<sim_endpoint_t> ep) {
    // Paced sleeps wake within the timer slack (50 us by default), and what
    // they overshoot is spun out: keep it small.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    auto rx = std::make_unique<mxx_rx_t>();
    MXX_rx_reset(rx.get());
    std::vector<uint8_t> buf(4096);
    rx_ctx_t ctx;
    while (!ep->stop && !ep->drop) {
        pollfd p[2] = {{ep->fd.get(), POLLIN, 0}, {ep->waker.r.get(), POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ep->stop) break;
        if (p[0].revents == 0) continue;
        const ssize_t n = ::read(ep->fd.get(), buf.data(), buf.size());
        if (n == 0) break;  // the peer closed the link
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            if (!ep->is_socket && errno == EIO) {
                // No slave open for a moment; the kept slave fd makes this rare.
                ep_sleep(ep.get(), std::chrono::milliseconds(10));
                continue;
            }
            break;
        }
        ctx.frames.clear();
        MXX_rx_feed(rx.get(), buf.data(), static_cast<size_t>(n), rx_sink, &ctx);
        for (const auto& fr : ctx.frames) {
            handle_frame(s, ep, fr.data(), static_cast<int32_t>(fr.size()));
            if (ep->stop || ep->drop) break;
        }
    }
    {
        std::lock_guard lk(ep->write_mu);
        ep->closed = true;
        if (ep->is_socket) ::shutdown(ep->fd.get(), SHUT_RDWR);
        ep->fd.reset();
    }
    ep->finished = true;
}

void ticker_run(sim_t* s) {
    std::unique_lock lk(s->mu);
    while (!s->stopping) {
        std::vector<std::vector<uint8_t>> live;
        const auto next = SIMI_run_due(s, sim_clock::now(), &live);
        if (!live.empty()) {
            auto owner = s->ins.owner.lock();
            const sim_faults_t f = s->faults;
            lk.unlock();
            if (owner) send_live(owner.get(), live, f);
            lk.lock();
            continue;
        }
        if (next == sim_clock::time_point::max()) s->tick_cv.wait(lk);
        else s->tick_cv.wait_until(lk, next);
    }
}

std::shared_ptr<sim_endpoint_t> start_endpoint(sim_t* s, unique_fd fd, bool is_socket, unique_fd slave) {
    auto ep = std::make_shared<sim_endpoint_t>();
    ep->is_socket = is_socket;
    ep->fd = std::move(fd);
    ep->slave = std::move(slave);
    if (!ep->waker.open() || !set_nonblock(ep->fd.get())) return nullptr;
    ep->thread = std::thread(endpoint_run, s, ep);
    return ep;
}

void stop_endpoint(sim_endpoint_t* ep) {
    ep->stop = true;
    ep->waker.wake();
    if (ep->thread.joinable()) ep->thread.join();
}

void add_endpoint(sim_t* s, std::shared_ptr<sim_endpoint_t> ep) {
    std::vector<std::shared_ptr<sim_endpoint_t>> done;
    {
        std::lock_guard lk(s->ep_mu);
        auto it = std::stable_partition(s->endpoints.begin(), s->endpoints.end(),
                                        [](const auto& e) { return !e->finished; });
        done.assign(it, s->endpoints.end());
        s->endpoints.erase(it, s->endpoints.end());
        s->endpoints.push_back(std::move(ep));
    }
    for (auto& e : done) stop_endpoint(e.get());
}

void listener_run(sim_t* s, sim_listener_t* l) {
    while (!l->stop) {
        pollfd p[2] = {{l->fd.get(), POLLIN, 0}, {l->waker.r.get(), POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (l->stop) break;
        if (!(p[0].revents & POLLIN)) continue;
        unique_fd c(::accept4(l->fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (c.get() < 0) continue;
        const int one = 1;
        setsockopt(c.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (auto ep = start_endpoint(s, std::move(c), true, unique_fd())) add_endpoint(s, std::move(ep));
    }
}

}  // namespace

sim_t* SIMX_new() {
    auto* s = new sim_t;
    SIMI_init(s);
    s->ticker = std::thread(ticker_run, s);
    return s;
}

int32_t SIM_serve_socketpair(sim_t* s) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    unique_fd tool(sv[0]);
    auto ep = start_endpoint(s, unique_fd(sv[1]), true, unique_fd());
    if (!ep) return -1;
    add_endpoint(s, std::move(ep));
    return tool.release();
}

int32_t SIM_serve_pty(sim_t* s, std::string* slave_path, int32_t* com_port) {
    unique_fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.get() < 0 || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) return -1;
    char name[128];
    if (::ptsname_r(master.get(), name, sizeof name) != 0) return -1;
    unique_fd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (slave.get() < 0) return -1;
    termios tio{};
    if (tcgetattr(slave.get(), &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tcsetattr(slave.get(), TCSANOW, &tio);
    }
    auto ep = start_endpoint(s, std::move(master), false, std::move(slave));
    if (!ep) return -1;
    add_endpoint(s, std::move(ep));
    if (slave_path) *slave_path = name;
    if (com_port) {
        const char* digits = std::strrchr(name, '/');
        *com_port = digits ? 129 + std::atoi(digits + 1) : -1;
    }
    return 0;
}

int32_t SIM_serve_tcp(sim_t* s, uint16_t port, uint16_t* bound_port) {
    auto l = std::make_shared<sim_listener_t>();
    l->fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (l->fd.get() < 0 || !l->waker.open()) return -1;
    const int one = 1;
    setsockopt(l->fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(l->fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(l->fd.get(), 8) != 0)
        return -1;
    socklen_t al = sizeof a;
    if (::getsockname(l->fd.get(), reinterpret_cast<sockaddr*>(&a), &al) != 0) return -1;
    if (bound_port) *bound_port = ntohs(a.sin_port);
    l->thread = std::thread(listener_run, s, l.get());
    std::lock_guard lk(s->ep_mu);
    s->listeners.push_back(std::move(l));
    return 0;
}

void SIM_stop(sim_t* s) {
    std::vector<std::shared_ptr<sim_listener_t>> listeners;
    {
        std::lock_guard lk(s->ep_mu);
        listeners.swap(s->listeners);
    }
    for (auto& l : listeners) {
        l->stop = true;
        l->waker.wake();
        if (l->thread.joinable()) l->thread.join();
    }
    std::vector<std::shared_ptr<sim_endpoint_t>> eps;
    {
        std::lock_guard lk(s->ep_mu);
        eps.swap(s->endpoints);
    }
    for (auto& e : eps) stop_endpoint(e.get());
}

void SIM_destroy(sim_t* s) {
    if (s == nullptr) return;
    SIM_stop(s);
    {
        std::lock_guard lk(s->mu);
        s->stopping = true;
    }
    s->tick_cv.notify_all();
    if (s->ticker.joinable()) s->ticker.join();
    delete s;
}
