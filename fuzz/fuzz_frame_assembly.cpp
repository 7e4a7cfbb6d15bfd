// Random byte streams, cut into random-sized data events with idle events in
// between, through the link's event procedure. No link is open: the frames
// offered to the response slots go to an unknown id.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    comm_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
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
    return 0;
}
