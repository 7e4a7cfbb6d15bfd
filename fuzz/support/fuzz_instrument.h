// A fuzzed instrument on the far end of an "FD:" link (a socket pair), for
// the targets that run real exchanges through the link layer.
//
// Before the exchanges the target gives the scripts: for each exchange, one
// per try, the bytes to send once that try's request has arrived (junk,
// frames of any code, status and size, cut anywhere). Requests beyond the
// scripts get silence.
// Every frame the link dispatches is recorded by a catch-all handler with a
// sequence number, so a target can tell which frames had arrived when an
// exchange returned: a frame reaches the response slots only after the
// handlers have seen it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

using fuzz_bytes = std::vector<uint8_t>;

// Code of the far end's synchronisation frame; no exchange answers under it.
constexpr uint16_t FUZZ_SYNC_CODE = 0x7E57;

struct fuzz_frame_t {
    uint64_t seq;      // order of dispatch, from 1
    uint16_t code;
    uint8_t status;
    int32_t count;     // whole frame size
    fuzz_bytes payload;
};

// Builds instrument scripts from fuzzer data: answers to `code` (its
// response code, rejections, status frames), other frames, junk, false
// headers, and frames cut short, each piece sent in chunks of any size.
// `payload_hint`, when above 0, makes answers of that payload size likely.
fuzz_bytes fuzz_script(FuzzedDataProvider& in, uint16_t code, int32_t payload_hint);
fuzz_bytes fuzz_frame(uint16_t code, const fuzz_bytes& payload, uint8_t status);
// What ends a script, so that an exchange with a long time-out need not
// wait it out: zero bytes that complete or break any frame left open, then
// an answer (of the hinted size or another) or a rejection; rarely nothing
// when `silence` is allowed.
fuzz_bytes fuzz_script_end(FuzzedDataProvider& in, uint16_t code, int32_t payload_hint, bool silence);

class fuzz_instrument_t {
public:
    // Opens the link and the far end; the link's try count is set to `tries`.
    // Aborts when the link cannot be opened (nothing to fuzz then).
    fuzz_instrument_t(std::vector<std::vector<fuzz_bytes>> scripts, int32_t tries);
    ~fuzz_instrument_t();
    fuzz_instrument_t(const fuzz_instrument_t&) = delete;
    fuzz_instrument_t& operator=(const fuzz_instrument_t&) = delete;

    int32_t id() const { return id_; }
    // Requests read from now on take their scripts from exchange `index`.
    void begin(size_t index);
    // Waits until everything the far end was to send for the requests
    // written so far has been dispatched (or dropped) by the link: the far
    // end sends zero bytes that end any frame left open, then a frame of
    // FUZZ_SYNC_CODE, and this returns once a handler has seen it. False
    // when it did not come (the link has gone).
    bool sync();
    // Sequence number of the last frame dispatched so far.
    uint64_t mark();
    // Frames dispatched after `since`.
    std::vector<fuzz_frame_t> frames_since(uint64_t since);
    // Disconnects and waits for the far end to read the end of the stream.
    void stop();
    // After stop(): the request frames the far end read, and whether the
    // bytes it read were exactly those frames.
    const std::vector<fuzz_bytes>& requests() const { return requests_; }
    bool only_whole_requests() const { return only_whole_; }

private:
    static int32_t on_frame(int32_t id, struct mxx_conn_t* context, const uint8_t* frame, int32_t user);
    void serve(int fd);

    int wake_ = -1;  // eventfd: a sync was asked for
    std::condition_variable synced_;
    uint64_t sync_asked_ = 0;  // under mu_
    uint64_t sync_seen_ = 0;   // under mu_

    int32_t id_ = -1;
    int far_ = -1;
    bool stopped_ = false;
    std::vector<std::vector<fuzz_bytes>> scripts_;
    std::atomic<size_t> exchange_{0};
    std::vector<fuzz_bytes> requests_;
    bool only_whole_ = false;
    std::thread thread_;
    std::mutex mu_;
    uint64_t seq_ = 0;
    std::vector<fuzz_frame_t> frames_;
};

// Aborts with a message when `ok` is false: the property is broken.
void fuzz_require(bool ok, const char* what);
