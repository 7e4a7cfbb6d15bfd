#include "support/fuzz_instrument.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/mxx_comm.h"

namespace {

// One instrument at a time: the catch-all handler finds it here.
std::atomic<fuzz_instrument_t*> g_current{nullptr};

// Big frames come from short inputs too: payload bytes the input lacks are
// filled with a pattern.
fuzz_bytes take_bytes(FuzzedDataProvider& in, size_t n) {
    fuzz_bytes out = in.ConsumeBytes<uint8_t>(n);
    for (size_t i = out.size(); i < n; ++i) out.push_back(static_cast<uint8_t>(i * 7 + 1));
    return out;
}

size_t payload_size(FuzzedDataProvider& in, int32_t hint) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
    case 1:
        if (hint > 0) return static_cast<size_t>(hint);
        [[fallthrough]];
    case 2: return in.ConsumeIntegralInRange<size_t>(0, 16);
    case 3: return static_cast<size_t>(std::max(hint + in.ConsumeIntegralInRange<int>(-2, 2), 0));
    case 4: return in.ConsumeIntegralInRange<size_t>(0, 4100);
    case 5: return in.ConsumeIntegralInRange<size_t>(4080, 4090);  // around the slot's capacity
    case 6: return in.ConsumeIntegralInRange<size_t>(65520, 65534);  // around the assembly buffer
    default: return in.ConsumeIntegralInRange<size_t>(0, 65534);
    }
}

uint8_t status_of(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint8_t>();
}

}  // namespace

void fuzz_require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

fuzz_bytes fuzz_frame(uint16_t code, const fuzz_bytes& payload, uint8_t status) {
    fuzz_bytes f(MXX_frame_size(payload.size()));
    MXX_build_frame(f.data(), code, payload.data(), static_cast<uint16_t>(payload.size()), 0, status);
    return f;
}

fuzz_bytes fuzz_script(FuzzedDataProvider& in, uint16_t code, int32_t payload_hint) {
    const uint16_t answer = static_cast<uint16_t>(code + MXX_RESPONSE_OFFSET);
    fuzz_bytes out;
    const int pieces = in.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < pieces && out.size() < 140000; ++i) {
        fuzz_bytes piece;
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
        case 1: {  // an answer
            const size_t n = payload_size(in, payload_hint);
            const uint8_t status = status_of(in);
            piece = fuzz_frame(answer, take_bytes(in, n), status);
            break;
        }
        case 2:
            piece = fuzz_frame(MXX_CODE_STATUS, take_bytes(in, in.ConsumeIntegralInRange<size_t>(0, 8)),
                               status_of(in));
            break;
        case 3:
            piece = fuzz_frame(MXX_CODE_REJECT, take_bytes(in, in.ConsumeIntegralInRange<size_t>(0, 8)),
                               status_of(in));
            break;
        case 4: {  // some other frame: asynchronous data, another request's answer
            const uint16_t other = in.ConsumeBool() ? in.ConsumeIntegral<uint16_t>() : static_cast<uint16_t>(answer + 1);
            piece = fuzz_frame(other, take_bytes(in, payload_size(in, payload_hint)), status_of(in));
            break;
        }
        case 5:  // junk, often a stray magic byte
            piece = in.ConsumeBool() ? fuzz_bytes{MXX_MAGIC[0]} : take_bytes(in, in.ConsumeIntegralInRange<size_t>(1, 64));
            break;
        case 6: {  // an answer cut short
            fuzz_bytes f = fuzz_frame(answer, take_bytes(in, payload_size(in, payload_hint)), 0);
            f.resize(in.ConsumeIntegralInRange<size_t>(0, f.size() - 1));
            piece = std::move(f);
            break;
        }
        case 7: {  // an answer with one byte flipped
            fuzz_bytes f = fuzz_frame(answer, take_bytes(in, payload_size(in, payload_hint)), 0);
            f[in.ConsumeIntegralInRange<size_t>(0, f.size() - 1)] ^= in.ConsumeIntegralInRange<uint8_t>(1, 255);
            piece = std::move(f);
            break;
        }
        case 8: {  // a false header: a valid header whose frame never follows
            fuzz_bytes f = fuzz_frame(answer, take_bytes(in, payload_size(in, payload_hint)), 0);
            f.resize(MXX_HEADER_SIZE);
            piece = std::move(f);
            break;
        }
        default:  // raw bytes of any length
            piece = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 70000));
            break;
        }
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

fuzz_bytes fuzz_script_end(FuzzedDataProvider& in, uint16_t code, int32_t payload_hint, bool silence) {
    // Fuzzer data that has run out reads as 0: the quick ending.
    const int kind = in.ConsumeIntegralInRange<int>(0, silence ? 31 : 30);
    if (kind == 31) return {};
    fuzz_bytes out(MXX_HEADER_SIZE + 65535, 0);
    const uint16_t answer = static_cast<uint16_t>(code + MXX_RESPONSE_OFFSET);
    fuzz_bytes last = kind >= 24 ? fuzz_frame(MXX_CODE_REJECT, {}, 1)
                               : fuzz_frame(answer, take_bytes(in, payload_size(in, payload_hint)), status_of(in));
    out.insert(out.end(), last.begin(), last.end());
    if (!silence) {
        // An answer too big for its slot ends nothing, and one too big for
        // the assembler leaves its payload to be scanned as junk: zeros and
        // a rejection behind it end the exchange all the same.
        out.insert(out.end(), MXX_HEADER_SIZE + 65535, 0);
        const fuzz_bytes reject = fuzz_frame(MXX_CODE_REJECT, {}, 1);
        out.insert(out.end(), reject.begin(), reject.end());
    }
    return out;
}

fuzz_instrument_t::fuzz_instrument_t(std::vector<std::vector<fuzz_bytes>> scripts, int32_t tries)
    : scripts_(std::move(scripts)) {
    int sv[2];
    fuzz_require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0, "socketpair");
    far_ = sv[1];
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    fuzz_require(wake_ >= 0, "eventfd");
    char conn[COMM_ENTRY_SIZE] = {};
    fuzz_require(comm_make_conn_string_fd(conn, sv[0]) == 0, "FD: connection string");
    g_current.store(this);
    if (MXX_connect(conn, &id_, nullptr, nullptr, nullptr, nullptr, nullptr, 0) != 0) {
        ::close(sv[0]);
        fuzz_require(false, "FD: link opens");
    }
    fuzz_require(MXX_hook_async_event(id_, MXX_HOOK_ANY, on_frame) == 0, "catch-all handler registered");
    MXX_set_cmd_num_try(id_, tries);
    thread_ = std::thread(&fuzz_instrument_t::serve, this, far_);
}

fuzz_instrument_t::~fuzz_instrument_t() { stop(); }

void fuzz_instrument_t::stop() {
    if (stopped_) return;
    stopped_ = true;
    MXX_disconnect(id_);  // returns once the link's last event has run
    g_current.store(nullptr);
    thread_.join();       // the far end reads the end of the stream
    ::close(far_);
    ::close(wake_);
}

bool fuzz_instrument_t::sync() {
    std::unique_lock lock(mu_);
    const uint64_t k = ++sync_asked_;
    const uint64_t one = 1;
    if (::write(wake_, &one, sizeof one) != sizeof one) return false;
    return synced_.wait_for(lock, std::chrono::seconds(10), [&] { return sync_seen_ >= k; });
}

void fuzz_instrument_t::begin(size_t index) { exchange_.store(index); }

uint64_t fuzz_instrument_t::mark() {
    std::lock_guard lock(mu_);
    return seq_;
}

std::vector<fuzz_frame_t> fuzz_instrument_t::frames_since(uint64_t since) {
    std::lock_guard lock(mu_);
    std::vector<fuzz_frame_t> out;
    for (const fuzz_frame_t& f : frames_)
        if (f.seq > since) out.push_back(f);
    return out;
}

int32_t fuzz_instrument_t::on_frame(int32_t, mxx_conn_t*, const uint8_t* frame, int32_t) {
    fuzz_instrument_t* self = g_current.load();
    if (self == nullptr) return 0;
    fuzz_frame_t f;
    f.code = MXX_frame_code(frame);
    f.status = MXX_frame_status(frame);
    f.count = static_cast<int32_t>(MXX_HEADER_SIZE) + MXX_frame_length(frame);
    const std::span<const uint8_t> payload = MXX_frame_payload(frame);
    f.payload.assign(payload.begin(), payload.end());
    std::lock_guard lock(self->mu_);
    if (f.code == FUZZ_SYNC_CODE && f.payload.size() == sizeof(uint64_t)) {
        uint64_t k;
        std::memcpy(&k, f.payload.data(), sizeof k);
        self->sync_seen_ = std::max(self->sync_seen_, k);
        self->synced_.notify_all();
        return 0;
    }
    f.seq = ++self->seq_;
    self->frames_.push_back(std::move(f));
    return 0;
}

namespace {

struct serve_state_t {
    int fd;
    const std::atomic<size_t>* exchange;
    size_t last_exchange;
    size_t tries_seen;  // requests of the current exchange so far
    const std::vector<std::vector<fuzz_bytes>>* scripts;
    std::vector<fuzz_bytes>* requests;
    bool writable;
};

void on_request(const uint8_t* frame, int32_t count, void* user) {
    auto* s = static_cast<serve_state_t*>(user);
    s->requests->emplace_back(frame, frame + count);
    const size_t exchange = s->exchange->load();
    if (exchange != s->last_exchange) {
        s->last_exchange = exchange;
        s->tries_seen = 0;
    }
    const size_t attempt = s->tries_seen++;
    if (exchange >= s->scripts->size() || attempt >= (*s->scripts)[exchange].size()) return;
    const fuzz_bytes& script = (*s->scripts)[exchange][attempt];
    for (size_t sent = 0; s->writable && sent < script.size();) {
        const ssize_t n = ::send(s->fd, script.data() + sent, script.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) s->writable = false;  // the link has gone
        else sent += static_cast<size_t>(n);
    }
}

}  // namespace

void fuzz_instrument_t::serve(int fd) {
    // Requests are parsed strictly here, not with the link's assembler:
    // they may be larger than its buffer, and anything but whole, valid
    // frames back to back is a fault.
    serve_state_t s{fd, &exchange_, 0, 0, &scripts_, &requests_, true};
    fuzz_bytes pending;
    bool whole = true;
    uint8_t buf[8192];
    auto take = [&](const uint8_t* bytes, size_t n) {
        pending.insert(pending.end(), bytes, bytes + n);
        while (whole && pending.size() >= MXX_HEADER_SIZE) {
            // Judge the header alone first: its length says how much to wait for.
            if (!MXX_header_check(pending.data())) {
                whole = false;
                break;
            }
            const size_t size = MXX_HEADER_SIZE + MXX_frame_length(pending.data());
            if (pending.size() < size) break;
            if (!MXX_frame_check(pending.data(), size)) {
                whole = false;
                break;
            }
            on_request(pending.data(), static_cast<int32_t>(size), &s);
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(size));
        }
    };
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) continue;
        if (p[1].revents & POLLIN) {
            uint64_t n;
            if (::read(wake_, &n, sizeof n) == sizeof n) {
                // Every request written so far is in the socket: answer them all first.
                for (ssize_t got; (got = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) take(buf, static_cast<size_t>(got));
                uint64_t k;
                {
                    std::lock_guard lock(mu_);
                    k = sync_asked_;
                }
                fuzz_bytes out(MXX_HEADER_SIZE + 65535, 0);
                fuzz_bytes payload(sizeof k);
                std::memcpy(payload.data(), &k, sizeof k);
                const fuzz_bytes frame = fuzz_frame(FUZZ_SYNC_CODE, payload, 0);
                out.insert(out.end(), frame.begin(), frame.end());
                for (size_t sent = 0; s.writable && sent < out.size();) {
                    const ssize_t w = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
                    if (w <= 0) s.writable = false;
                    else sent += static_cast<size_t>(w);
                }
            }
        }
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
        if (n > 0) take(buf, static_cast<size_t>(n));
    }
    only_whole_ = whole && pending.empty();
}
