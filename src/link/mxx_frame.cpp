#include "link/mxx_frame.h"

#include <algorithm>
#include <cstring>

uint8_t MXX_xor(const uint8_t* data, size_t n) {
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i) x ^= data[i];
    return x;
}

int32_t MXX_build_frame(uint8_t* out, uint16_t code, const void* payload, uint16_t size,
                        uint16_t timeout, uint8_t status) {
    std::memcpy(out, MXX_MAGIC, 4);
    const uint16_t length = static_cast<uint16_t>(size + 1);
    out[4] = static_cast<uint8_t>(code);
    out[5] = static_cast<uint8_t>(code >> 8);
    out[6] = static_cast<uint8_t>(length);
    out[7] = static_cast<uint8_t>(length >> 8);
    out[8] = static_cast<uint8_t>(timeout);
    out[9] = static_cast<uint8_t>(timeout >> 8);
    out[10] = status;
    out[11] = MXX_xor(out, 11);
    if (size > 0 && payload != nullptr) std::memcpy(out + MXX_HEADER_SIZE, payload, size);
    else if (size > 0) std::memset(out + MXX_HEADER_SIZE, 0, size);
    out[MXX_HEADER_SIZE + size] = MXX_xor(out + MXX_HEADER_SIZE, size);
    return static_cast<int32_t>(MXX_frame_size(size));
}

bool MXX_header_check(const uint8_t* frame) {
    return std::memcmp(frame, MXX_MAGIC, 4) == 0 && MXX_xor(frame, MXX_HEADER_SIZE) == 0;
}

bool MXX_frame_check(const uint8_t* frame, size_t count) {
    if (frame == nullptr || count < MXX_HEADER_SIZE || !MXX_header_check(frame)) return false;
    if (count != MXX_HEADER_SIZE + MXX_frame_length(frame)) return false;
    // The payload checksum makes the XOR of payload and checksum zero.
    return MXX_xor(frame + MXX_HEADER_SIZE, count - MXX_HEADER_SIZE) == 0;
}

std::span<const uint8_t> MXX_frame_payload(const uint8_t* frame) {
    if (frame == nullptr) return {};
    // Length counts the payload and its checksum byte; 0 means neither.
    const uint16_t length = MXX_frame_length(frame);
    return {frame + MXX_HEADER_SIZE, length > 1 ? length - 1u : 0u};
}

std::span<const uint8_t> MXX_frame_payload(const uint8_t* frame, size_t count) {
    if (frame == nullptr || count <= MXX_OVERHEAD) return {};
    const std::span<const uint8_t> declared = MXX_frame_payload(frame);
    return declared.first(std::min(declared.size(), count - MXX_OVERHEAD));
}

void MXX_rx_reset(mxx_rx_t* rx) {
    rx->rx_count = 0;
    rx->rx_expected = 0;
    rx->rx_received = 0;
}

namespace {

constexpr int32_t RX_HEADER = static_cast<int32_t>(MXX_HEADER_SIZE);

// Whether the header byte at `at` keeps the bytes held a possible start:
// the magic so far, and with the 12th byte the checksum and a length that
// fits rx_buf.
bool rx_byte_viable(const mxx_rx_t* rx, int32_t at) {
    if (at < 4) return rx->rx_buf[at] == MXX_MAGIC[at];
    if (at < RX_HEADER - 1) return true;
    if (!MXX_header_check(rx->rx_buf)) return false;
    return MXX_HEADER_SIZE + MXX_frame_length(rx->rx_buf) <= MXX_RX_BUF_SIZE;
}

bool rx_header_viable(const mxx_rx_t* rx) {
    for (int32_t at = 0; at < rx->rx_count; ++at) {
        if (!rx_byte_viable(rx, at)) return false;
    }
    return true;
}

}  // namespace

int32_t MXX_rx_feed(mxx_rx_t* rx, const uint8_t* data, size_t n, mxx_frame_sink_t sink, void* user) {
    int32_t frames = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = data[i];
        if (rx->rx_count < RX_HEADER) {
            if (rx->rx_count == 0 && b != MXX_MAGIC[0]) continue;
            rx->rx_buf[rx->rx_count++] = b;
            if (!rx_byte_viable(rx, rx->rx_count - 1)) {
                // A start that fails gives up only its first byte: the next
                // 'B' held after it is tried as a start, and so on. At most
                // 11 bytes move per failed start, so assembly stays linear.
                do {
                    const auto* next = static_cast<const uint8_t*>(
                        std::memchr(rx->rx_buf + 1, MXX_MAGIC[0], static_cast<size_t>(rx->rx_count - 1)));
                    const int32_t drop = next ? static_cast<int32_t>(next - rx->rx_buf) : rx->rx_count;
                    std::memmove(rx->rx_buf, rx->rx_buf + drop, static_cast<size_t>(rx->rx_count - drop));
                    rx->rx_count -= drop;
                } while (rx->rx_count > 0 && !rx_header_viable(rx));
            }
            if (rx->rx_count < RX_HEADER) continue;
            rx->rx_expected = MXX_frame_length(rx->rx_buf);
            rx->rx_received = 0;
            if (rx->rx_expected != 0) continue;
            // length 0: no payload, no checksum; complete at once.
        } else {
            if (rx->rx_received < rx->rx_expected) {
                rx->rx_buf[rx->rx_count++] = b;
                rx->rx_received++;
            }
            if (rx->rx_received != rx->rx_expected) continue;
        }
        // Frame complete. A bad payload checksum drops the whole frame: its
        // header was sound, so its bytes are not searched for another start.
        if (MXX_frame_check(rx->rx_buf, static_cast<size_t>(rx->rx_count))) {
            ++frames;
            if (sink) sink(rx->rx_buf, rx->rx_count, user);
        }
        rx->rx_count = 0;
        rx->rx_expected = 0;
    }
    return frames;
}
