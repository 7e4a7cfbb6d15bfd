// MXX frame: layout, building and byte-stream assembly.
// Pure functions over byte buffers: no I/O, no globals, so the assembler can
// be fuzzed and reused on the instrument side of the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Frame layout (little-endian):
//   0  magic "BRNO" (0x42 0x52 0x4E 0x4F)
//   4  u16 code
//   6  u16 length = payload bytes + 1 (the payload checksum)
//   8  u16 timeout (request: low 16 bits of the requester's time-out in ms)
//  10  u8  status (0 in requests; 0 = success in responses)
//  11  u8  header checksum: XOR of bytes 0..10
//  12  payload, then one payload checksum byte (XOR of the payload)
constexpr uint8_t MXX_MAGIC[4] = {0x42, 0x52, 0x4E, 0x4F};
constexpr size_t MXX_OFF_CODE = 4;
constexpr size_t MXX_OFF_LENGTH = 6;
constexpr size_t MXX_OFF_TIMEOUT = 8;
constexpr size_t MXX_OFF_STATUS = 10;
constexpr size_t MXX_OFF_HCHECK = 11;
constexpr size_t MXX_HEADER_SIZE = 12;
constexpr size_t MXX_OVERHEAD = 13;            // header + payload checksum
constexpr int32_t MXX_MAX_PAYLOAD = 65533;     // largest request payload
constexpr size_t MXX_FRAME_BUF_SIZE = 65548;   // room for any frame we build
constexpr size_t MXX_RX_BUF_SIZE = 65536;      // receive assembly buffer

constexpr uint16_t MXX_CODE_STATUS = 12289;    // 0x3001: status only, ends nothing
constexpr uint16_t MXX_CODE_REJECT = 12290;    // 0x3002: rejection, ends the exchange
constexpr uint16_t MXX_RESPONSE_OFFSET = 1000; // response code = request code + 1000

uint8_t MXX_xor(const uint8_t* data, size_t n);

// Writes a whole frame (size + 13 bytes) into `out`, which must hold that
// many bytes. `payload` may be null when size is 0. Returns the frame size.
int32_t MXX_build_frame(uint8_t* out, uint16_t code, const void* payload, uint16_t size,
                        uint16_t timeout, uint8_t status);

inline uint16_t MXX_frame_code(const uint8_t* frame) {
    return static_cast<uint16_t>(frame[4] | (frame[5] << 8));
}
inline uint16_t MXX_frame_length(const uint8_t* frame) {
    return static_cast<uint16_t>(frame[6] | (frame[7] << 8));
}
inline uint16_t MXX_frame_timeout(const uint8_t* frame) {
    return static_cast<uint16_t>(frame[8] | (frame[9] << 8));
}
inline uint8_t MXX_frame_status(const uint8_t* frame) { return frame[10]; }

// Bytes of a whole frame carrying `payload` bytes.
constexpr size_t MXX_frame_size(size_t payload) { return payload + MXX_OVERHEAD; }

// Whether the 12 header bytes at `frame` hold the magic and their checksum.
bool MXX_header_check(const uint8_t* frame);
// Whether `count` bytes are exactly one valid frame: magic, header checksum,
// a length that accounts for every byte, and the payload checksum.
bool MXX_frame_check(const uint8_t* frame, size_t count);

// The payload of a frame whose header has been checked, as its length field
// declares it (without the payload checksum byte).
std::span<const uint8_t> MXX_frame_payload(const uint8_t* frame);
// The same, never reaching past the `count` bytes held: a frame cut short
// (e.g. by a receive slot's capacity) yields only the payload bytes it holds.
std::span<const uint8_t> MXX_frame_payload(const uint8_t* frame, size_t count);

// Receive assembly state. Bytes are taken one at a time. Until a header is
// accepted (magic, checksum, a length that fits), a start that fails is
// dropped by its first byte only, so a valid frame right after junk (a stray
// 'B', a false header) is never lost. Once accepted, the header's length
// decides: the frame ends after that many bytes and is dispatched if its
// payload checksum holds, dropped whole if not.
struct mxx_rx_t {
    uint8_t rx_buf[MXX_RX_BUF_SIZE];
    int32_t rx_count;     // bytes held in rx_buf
    int32_t rx_expected;  // length field of the frame being assembled, 0 until its header is accepted
    int32_t rx_received;  // bytes after the header received so far
};

// Called once per valid frame; the frame is rx_buf with `count` bytes and is
// valid only during the call.
using mxx_frame_sink_t = void (*)(const uint8_t* frame, int32_t count, void* user);

void MXX_rx_reset(mxx_rx_t* rx);
// Feeds `n` bytes. A header whose declared length would not fit rx_buf is
// not accepted. Returns the number of valid frames dispatched.
int32_t MXX_rx_feed(mxx_rx_t* rx, const uint8_t* data, size_t n, mxx_frame_sink_t sink, void* user);
