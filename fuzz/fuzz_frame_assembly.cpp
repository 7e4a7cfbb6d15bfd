// Two kinds of input, chosen by the first byte:
// - random byte streams, cut into random-sized data events with idle events
//   in between, through the link's event procedure. No link is open: the
//   frames offered to the response slots go to an unknown id;
// - junk of any content followed by one intact frame, cut anywhere, through
//   the assembler, whose frames must be exactly those of a plain reference
//   scan: in particular the intact frame comes out once, unless a valid
//   header begins in the junk and reaches into it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "link/mxx_comm.h"

namespace {

constexpr int32_t kId = 0x7ABC;  // never opened
const mxx_conn_t* g_conn = nullptr;
int32_t g_connected_calls = 0;

void require(bool ok) {
    if (!ok) std::abort();
}

// Every frame handed out must be a whole, valid frame inside rx_buf.
void check_frame(const uint8_t* frame) {
    require(g_conn != nullptr && frame == g_conn->rx.rx_buf);
    const int32_t count = g_conn->rx.rx_count;
    require(count >= static_cast<int32_t>(MXX_HEADER_SIZE) && count <= static_cast<int32_t>(MXX_RX_BUF_SIZE));
    require(count == static_cast<int32_t>(MXX_HEADER_SIZE) + MXX_frame_length(frame));
    require(frame[0] == MXX_MAGIC[0] && frame[1] == MXX_MAGIC[1] && frame[2] == MXX_MAGIC[2] &&
            frame[3] == MXX_MAGIC[3]);
    require(MXX_xor(frame, MXX_HEADER_SIZE) == 0);
    require(MXX_xor(frame + MXX_HEADER_SIZE, static_cast<size_t>(count) - MXX_HEADER_SIZE) == 0);
}

int32_t probe(int32_t, int32_t) { return 0; }

int32_t test_probe(int32_t, const uint8_t* frame, int32_t* device_type, int32_t) {
    check_frame(frame);
    *device_type = 10;
    return MXX_frame_code(frame) == 9007 && MXX_frame_length(frame) > 1 && frame[MXX_HEADER_SIZE] == 'A';
}

int32_t on_connected(int32_t, mxx_conn_t* c, int32_t device_type, int32_t) {
    require(c == g_conn && device_type == 10);
    ++g_connected_calls;
    return 0;
}

int32_t hook(int32_t, mxx_conn_t* c, const uint8_t* frame, int32_t) {
    require(c == g_conn);
    check_frame(frame);
    return 0;
}

using bytes = std::vector<uint8_t>;

bytes build(uint16_t code, const bytes& payload) {
    bytes f(payload.size() + MXX_OVERHEAD);
    MXX_build_frame(f.data(), code, payload.data(), static_cast<uint16_t>(payload.size()), 0, 0);
    return f;
}

// The frames in `s`, found the plain way: at each position, a sound header
// (magic, checksum, a length that fits the assembly buffer) takes its frame,
// kept if its payload checksum holds; anything else moves on by one byte.
// `straddled`: a header found before `junk_end` reaches past it.
std::vector<bytes> reference_frames(const bytes& s, size_t junk_end, bool* straddled) {
    std::vector<bytes> out;
    size_t p = 0;
    while (p + MXX_HEADER_SIZE <= s.size()) {
        const uint8_t* h = s.data() + p;
        const size_t end = p + MXX_HEADER_SIZE + MXX_frame_length(h);
        if (std::memcmp(h, MXX_MAGIC, 4) != 0 || MXX_xor(h, MXX_HEADER_SIZE) != 0 ||
            end - p > MXX_RX_BUF_SIZE) {
            ++p;
            continue;
        }
        if (p < junk_end && end > junk_end) *straddled = true;
        if (end > s.size()) break;  // still waiting for the rest
        if (MXX_xor(h + MXX_HEADER_SIZE, end - p - MXX_HEADER_SIZE) == 0) out.emplace_back(h, s.data() + end);
        p = end;
    }
    return out;
}

void collect(const uint8_t* frame, int32_t count, void* user) {
    static_cast<std::vector<bytes>*>(user)->emplace_back(frame, frame + count);
}

void check_against_reference(FuzzedDataProvider& in) {
    static const auto rx = std::make_unique<mxx_rx_t>();
    bytes s;
    // Junk, in pieces that make false starts likely.
    for (int pieces = in.ConsumeIntegralInRange<int>(0, 8); pieces > 0; --pieces) {
        bytes piece;
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            piece = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4096));
            break;
        case 1:
            piece.assign(MXX_MAGIC, MXX_MAGIC + in.ConsumeIntegralInRange<size_t>(1, 4));
            break;
        default: {  // a frame cut short or with one byte changed (header or payload)
            piece = build(in.ConsumeIntegral<uint16_t>(),
                          in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64)));
            piece.resize(in.ConsumeIntegralInRange<size_t>(1, piece.size()));
            piece[in.ConsumeIntegralInRange<size_t>(0, piece.size() - 1)] ^= in.ConsumeIntegral<uint8_t>();
        }
        }
        s.insert(s.end(), piece.begin(), piece.end());
    }
    const size_t junk_end = s.size();
    const bytes frame = build(in.ConsumeIntegral<uint16_t>(),
                              in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 2000)));
    s.insert(s.end(), frame.begin(), frame.end());

    MXX_rx_reset(rx.get());
    std::vector<bytes> got;
    for (size_t at = 0; at < s.size();) {
        const size_t n = std::min(s.size() - at, in.ConsumeIntegralInRange<size_t>(1, 512));
        const int32_t reported = MXX_rx_feed(rx.get(), s.data() + at, n, collect, &got);
        require(reported >= 0);
        at += n;
    }
    bool straddled = false;
    const std::vector<bytes> want = reference_frames(s, junk_end, &straddled);
    require(got == want);
    if (!straddled) require(!got.empty() && got.back() == frame && rx->rx_count == 0);
}

void check_event_stream(FuzzedDataProvider& in) {
    auto* c = new mxx_conn_t{};
    c->cmd_num_try = 1;
    c->probe = probe;
    c->test_probe = test_probe;
    c->on_connected = on_connected;
    c->hook_count = 1;
    c->hooks[0] = mxx_hook_t{0x2456, hook};
    c->hooks[MXX_HOOK_SLOTS - 1] = mxx_hook_t{MXX_HOOK_ANY, hook};
    g_conn = c;
    g_connected_calls = 0;

    while (in.remaining_bytes() > 0) {
        const uint8_t op = in.ConsumeIntegral<uint8_t>();
        if (op < 16) {
            MXX_event_proc(kId, op < 8 ? MXX_EV_IDLE : MXX_EV_PROBE, nullptr, 0, c);
        } else if (op < 48) {
            // A well-formed frame, so that dispatch and identification are
            // reached as often as the raw-byte paths; sent in two pieces.
            static constexpr uint16_t codes[] = {9007, 0x2456, 12289, 12290, 0xFFFF};
            const uint16_t code = op < 40 ? codes[op % 5] : in.ConsumeIntegral<uint16_t>();
            std::vector<uint8_t> payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 40));
            if (op & 1 && !payload.empty()) payload[0] = 'A';
            std::vector<uint8_t> f(payload.size() + MXX_OVERHEAD);
            MXX_build_frame(f.data(), code, payload.data(), static_cast<uint16_t>(payload.size()), 0, 0);
            const size_t cut = in.ConsumeIntegralInRange<size_t>(0, f.size());
            MXX_event_proc(kId, MXX_EV_DATA, f.data(), static_cast<int32_t>(cut), c);
            MXX_event_proc(kId, MXX_EV_DATA, f.data() + cut, static_cast<int32_t>(f.size() - cut), c);
        } else {
            const size_t n = in.ConsumeIntegralInRange<size_t>(1, op < 240 ? 64 : 70000);
            const std::vector<uint8_t> chunk = in.ConsumeBytes<uint8_t>(n);
            MXX_event_proc(kId, MXX_EV_DATA, chunk.data(), static_cast<int32_t>(chunk.size()), c);
        }
        require(c->rx.rx_count >= 0 && c->rx.rx_count <= static_cast<int32_t>(MXX_RX_BUF_SIZE));
        require(c->rx.rx_expected == 0 || (c->rx.rx_received >= 0 && c->rx.rx_received <= c->rx.rx_expected));
        require(g_connected_calls <= 1);
        require(c->identified == (g_connected_calls == 1 ? 1 : 0));
        require(c->probe_attempts <= 6);
    }
    // Event 3 releases the context.
    MXX_event_proc(kId, MXX_EV_DISCONNECTED, nullptr, 0, c);
    g_conn = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    comm_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) check_against_reference(in);
    else check_event_stream(in);
    return 0;
}
