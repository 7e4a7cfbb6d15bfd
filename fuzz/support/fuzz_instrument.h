// A fuzzed instrument on the far end of an in-process link, for the targets
// that run real exchanges through the link layer. The link keeps a virtual
// clock: time-outs, late answers and silences cost no real time, and a run
// is the same every time for the same input.
//
// Before the exchanges the target gives the scripts: for each exchange, one
// per try, what to send once that try's request has arrived: pieces (junk,
// frames of any code, status and size, cut anywhere), each after a delay of
// its own, so that an answer may come after its time-out. Requests beyond
// the scripts get silence.
// Every frame the link dispatches is recorded by a catch-all handler with a
// sequence number, so a target can tell which frames had arrived when an
// exchange returned: a frame reaches the response slots only after the
// handlers have seen it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "libcomm/comm_peer.h"

using fuzz_bytes = std::vector<uint8_t>;

struct fuzz_piece_t {
    int32_t delay_ms;  // after the request, or after the piece before
    fuzz_bytes bytes;
};
using fuzz_script_t = std::vector<fuzz_piece_t>;

struct fuzz_frame_t {
    uint64_t seq;      // order of dispatch, from 1
    uint16_t code;
    uint8_t status;
    int32_t count;     // whole frame size
    fuzz_bytes payload;
};

// Builds an instrument script from fuzzer data: answers to `code` (its
// response code, rejections, status frames), other frames, junk, false
// headers, and frames cut short. `payload_hint`, when above 0, makes answers
// of that payload size likely; `timeout_ms` makes delays around it likely.
fuzz_script_t fuzz_script(FuzzedDataProvider& in, uint16_t code, int32_t payload_hint, int32_t timeout_ms);
fuzz_bytes fuzz_frame(uint16_t code, const fuzz_bytes& payload, uint8_t status);

class fuzz_instrument_t final : public comm_peer_t {
public:
    // Opens the link (its try count set to `tries`) and reads from `in` how
    // the far end hands over its bytes and whether the link identifies the
    // instrument. Aborts when the link cannot be opened (nothing to fuzz).
    fuzz_instrument_t(FuzzedDataProvider& in, std::vector<std::vector<fuzz_script_t>> scripts, int32_t tries);
    ~fuzz_instrument_t() override;
    fuzz_instrument_t(const fuzz_instrument_t&) = delete;
    fuzz_instrument_t& operator=(const fuzz_instrument_t&) = delete;

    int32_t id() const { return id_; }
    // Requests read from now on take their scripts from exchange `index`.
    void begin(size_t index);
    // Dispatches what the far end has sent by now.
    void catch_up();
    // Lets virtual time run until the far end has sent everything it was
    // to send for the requests written so far, all of it dispatched.
    void settle();
    // Sequence number of the last frame dispatched so far.
    uint64_t mark() const { return seq_; }
    // Frames dispatched after `since`.
    std::vector<fuzz_frame_t> frames_since(uint64_t since) const;
    // Ends the link.
    void stop();
    // After stop(): the request frames the far end read, and whether the
    // bytes it read were exactly those frames.
    const std::vector<fuzz_bytes>& requests() const { return requests_; }
    bool only_whole_requests() const { return only_whole_; }

    // The far end.
    void received(const uint8_t* bytes, size_t length, int64_t now_ms) override;
    size_t take_due(int64_t now_ms, uint8_t* buf, size_t capacity) override;
    int64_t next_due_ms(int64_t now_ms) const override;

private:
    static int32_t on_frame(int32_t id, struct mxx_conn_t* context, const uint8_t* frame, int32_t user);
    void on_request(size_t size, int64_t now_ms);

    struct outgoing_t {
        int64_t due_ms;
        fuzz_bytes bytes;
        size_t sent;
    };

    int32_t id_ = -1;
    bool stopped_ = false;
    size_t chunk_ = 4096;  // most bytes handed over at once
    std::vector<std::vector<fuzz_script_t>> scripts_;
    size_t exchange_ = 0;
    size_t last_exchange_ = 0;
    size_t tries_seen_ = 0;  // requests of the current exchange so far
    std::deque<outgoing_t> outgoing_;  // in order of due time
    fuzz_bytes pending_;               // request bytes not yet a whole frame
    bool whole_ = true;
    std::vector<fuzz_bytes> requests_;
    bool only_whole_ = false;
    uint64_t seq_ = 0;
    std::vector<fuzz_frame_t> frames_;
};

// Aborts with a message when `ok` is false: the property is broken.
void fuzz_require(bool ok, const char* what);
