#include "support/fuzz_instrument.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/mxx_comm.h"

namespace {

// One instrument at a time: the catch-all handler finds it here.
fuzz_instrument_t* g_current = nullptr;

// Big frames come from short inputs too: payload bytes the input lacks are
// filled with a pattern.
fuzz_bytes take_bytes(FuzzedDataProvider& in, size_t n) {
    fuzz_bytes out = in.ConsumeBytes<uint8_t>(n);
    size_t i = out.size();
    out.resize(n);
    for (; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + 1);
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

// Mostly at once; else around the time-out (just before, at, just after),
// within a few time-outs, or past the link's idle period.
int32_t delay_of(FuzzedDataProvider& in, int32_t timeout_ms) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 4: return std::max(timeout_ms + in.ConsumeIntegralInRange<int32_t>(-1, 1), 0);
    case 5: return in.ConsumeIntegralInRange<int32_t>(0, 3 * std::max(timeout_ms, 1));
    case 6: return in.ConsumeIntegralInRange<int32_t>(0, 2 * MXX_IDLE_MS);
    default: return 0;
    }
}

int32_t identify_any(int32_t, const uint8_t*, int32_t* device_type, int32_t) {
    *device_type = 0;
    return 1;
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

fuzz_script_t fuzz_script(FuzzedDataProvider& in, uint16_t code, int32_t payload_hint, int32_t timeout_ms) {
    const uint16_t answer = static_cast<uint16_t>(code + MXX_RESPONSE_OFFSET);
    fuzz_script_t out;
    size_t total = 0;
    const int pieces = in.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < pieces && total < 140000; ++i) {
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
        total += piece.size();
        out.push_back({delay_of(in, timeout_ms), std::move(piece)});
    }
    return out;
}

fuzz_instrument_t::fuzz_instrument_t(FuzzedDataProvider& in, std::vector<std::vector<fuzz_script_t>> scripts,
                                     int32_t tries)
    : scripts_(std::move(scripts)) {
    // Frames split anywhere, yet no more than a few thousand data events a
    // run: tiny chunks of a long script would only slow the fuzzing.
    size_t total = 0;
    for (const auto& exchange : scripts_)
        for (const fuzz_script_t& script : exchange)
            for (const fuzz_piece_t& piece : script) total += piece.bytes.size();
    chunk_ = in.ConsumeBool() ? 4096 : in.ConsumeIntegralInRange<size_t>(1, 4096);
    chunk_ = std::max(chunk_, total / 2048);
    const bool identify = in.ConsumeBool();
    g_current = this;
    if (MXX_connect_peer(this, &id_, nullptr, nullptr, nullptr, nullptr, identify ? identify_any : nullptr, 0) != 0)
        fuzz_require(false, "in-process link opens");
    fuzz_require(MXX_hook_async_event(id_, MXX_HOOK_ANY, on_frame) == 0, "catch-all handler registered");
    MXX_set_cmd_num_try(id_, tries);
}

fuzz_instrument_t::~fuzz_instrument_t() { stop(); }

void fuzz_instrument_t::stop() {
    if (stopped_) return;
    stopped_ = true;
    MXX_disconnect(id_);
    g_current = nullptr;
    only_whole_ = whole_ && pending_.empty();
}

void fuzz_instrument_t::begin(size_t index) { exchange_ = index; }

void fuzz_instrument_t::catch_up() { comm_peer_run(id_, 0); }

void fuzz_instrument_t::settle() {
    while (!outgoing_.empty()) {
        const int64_t now = comm_clock_ms(id_);
        const int64_t last = outgoing_.back().due_ms;
        if (comm_peer_run(id_, static_cast<int32_t>(std::clamp<int64_t>(last - now, 0, INT32_MAX))) != 0) return;
    }
}

std::vector<fuzz_frame_t> fuzz_instrument_t::frames_since(uint64_t since) const {
    std::vector<fuzz_frame_t> out;
    for (const fuzz_frame_t& f : frames_)
        if (f.seq > since) out.push_back(f);
    return out;
}

int32_t fuzz_instrument_t::on_frame(int32_t, mxx_conn_t*, const uint8_t* frame, int32_t) {
    fuzz_instrument_t* self = g_current;
    if (self == nullptr) return 0;
    fuzz_frame_t f;
    f.seq = ++self->seq_;
    f.code = MXX_frame_code(frame);
    f.status = MXX_frame_status(frame);
    f.count = static_cast<int32_t>(MXX_HEADER_SIZE) + MXX_frame_length(frame);
    const std::span<const uint8_t> payload = MXX_frame_payload(frame);
    f.payload.assign(payload.begin(), payload.end());
    self->frames_.push_back(std::move(f));
    return 0;
}

// Requests are parsed strictly here, not with the link's assembler: they may
// be larger than its buffer, and anything but whole, valid frames back to
// back is a fault.
void fuzz_instrument_t::received(const uint8_t* bytes, size_t length, int64_t now_ms) {
    pending_.insert(pending_.end(), bytes, bytes + length);
    while (whole_ && pending_.size() >= MXX_HEADER_SIZE) {
        // Judge the header alone first: its length says how much to wait for.
        if (!MXX_header_check(pending_.data())) {
            whole_ = false;
            break;
        }
        const size_t size = MXX_HEADER_SIZE + MXX_frame_length(pending_.data());
        if (pending_.size() < size) break;
        if (!MXX_frame_check(pending_.data(), size)) {
            whole_ = false;
            break;
        }
        on_request(size, now_ms);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(size));
    }
}

void fuzz_instrument_t::on_request(size_t size, int64_t now_ms) {
    requests_.emplace_back(pending_.begin(), pending_.begin() + static_cast<long>(size));
    if (exchange_ != last_exchange_) {
        last_exchange_ = exchange_;
        tries_seen_ = 0;
    }
    const size_t attempt = tries_seen_++;
    if (exchange_ >= scripts_.size() || attempt >= scripts_[exchange_].size()) return;
    // Behind whatever is still on its way: the far end sends in order.
    int64_t due = outgoing_.empty() ? now_ms : std::max(now_ms, outgoing_.back().due_ms);
    for (const fuzz_piece_t& piece : scripts_[exchange_][attempt]) {
        due += piece.delay_ms;
        if (!piece.bytes.empty()) outgoing_.push_back({due, piece.bytes, 0});
    }
}

size_t fuzz_instrument_t::take_due(int64_t now_ms, uint8_t* buf, size_t capacity) {
    const size_t most = std::min(capacity, chunk_);
    size_t n = 0;
    while (n < most && !outgoing_.empty() && outgoing_.front().due_ms <= now_ms) {
        outgoing_t& o = outgoing_.front();
        const size_t k = std::min(most - n, o.bytes.size() - o.sent);
        std::memcpy(buf + n, o.bytes.data() + o.sent, k);
        n += k;
        o.sent += k;
        if (o.sent == o.bytes.size()) outgoing_.pop_front();
    }
    return n;
}

int64_t fuzz_instrument_t::next_due_ms(int64_t now_ms) const {
    if (outgoing_.empty()) return COMM_PEER_NEVER;
    return std::max(outgoing_.front().due_ms, now_ms + 1);
}
