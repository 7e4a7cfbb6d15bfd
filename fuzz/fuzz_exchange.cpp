// Exchanges (MXX_send_cmd) against a fuzzed instrument over an in-process
// link on a virtual clock: junk, false headers, cut and corrupted frames,
// status frames, rejections, answers of any size and status, each at once
// or late (around the time-out, after it, past the idle period), up to three
// exchanges on one link with one to three tries each.
//
// What must hold, whatever arrived:
// - 0 only when, during that exchange, an answer under code + 1000 with
//   status 0 or a status frame with status 0 was dispatched;
// - 1 only when a rejection, or an answer or status frame with a non-zero
//   status, was dispatched;
// - a copied payload is that of such an answer, fits the buffer, and is
//   reported in out_size; without out_size the buffer is untouched;
// - frames dispatched before an exchange started never count for it; the
//   far end's late bytes for an earlier exchange may run into it unless
//   the input lets them all arrive first;
// - the instrument reads only whole request frames, each one of ours, at
//   most the try count per exchange.
#include <algorithm>
#include <cstring>
#include <vector>

#include "libcomm/libcomm.h"
#include "link/mxx_comm.h"
#include "support/fuzz_instrument.h"

namespace {

constexpr uint8_t FILL = 0xA5;
constexpr int32_t UNSET = -7777;

struct exchange_t {
    uint16_t code;
    fuzz_bytes request;
    int32_t outbuff_size;
    bool with_outbuff;
    int32_t timeout_ms;
    bool wait;
};

bool slot_fits(const fuzz_frame_t& f, int32_t capacity) { return f.count <= capacity; }

void check_exchange(const exchange_t& x, int32_t result, const std::vector<fuzz_frame_t>& seen,
                    const std::vector<uint8_t>& out, int32_t out_size, int32_t out_status) {
    if (!x.wait) {
        fuzz_require(result == 0 || result < 0, "send-only gives the write's result");
        fuzz_require(out_size == UNSET && out_status == UNSET, "send-only reports no answer");
        return;
    }
    const uint16_t answer = static_cast<uint16_t>(x.code + MXX_RESPONSE_OFFSET);
    bool answer_ok = false, answer_failed = false, status_ok = false, status_failed = false, rejected = false;
    for (const fuzz_frame_t& f : seen) {
        if (f.code == answer && slot_fits(f, MXX_RSP_CAP1)) (f.status == 0 ? answer_ok : answer_failed) = true;
        if (f.code == MXX_CODE_REJECT && slot_fits(f, MXX_RSP_CAP2)) rejected = true;
        if (f.code == MXX_CODE_STATUS && slot_fits(f, MXX_RSP_CAP3)) (f.status == 0 ? status_ok : status_failed) = true;
    }
    fuzz_require(result == 0 || result == 1 || result == 255 || result < 0, "exchange result is 0, 1, 255 or a link error");
    if (result == 0) fuzz_require(answer_ok || status_ok, "0 only after an answer or status frame of status 0");
    if (result == 1) fuzz_require(rejected || answer_failed || status_failed, "1 only after a failure was reported");
    if (out_status != UNSET) {
        const bool reported = std::any_of(seen.begin(), seen.end(), [&](const fuzz_frame_t& f) {
            return f.status == out_status &&
                   (f.code == answer || f.code == MXX_CODE_REJECT || f.code == MXX_CODE_STATUS);
        });
        fuzz_require(reported, "out_status comes from a frame that arrived");
    }

    if (out_size == UNSET) {
        fuzz_require(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == FILL; }),
                     "nothing copied without out_size");
        return;
    }
    fuzz_require(result == 0 && x.with_outbuff, "a payload is copied only on success");
    fuzz_require(out_size > 0 && out_size <= x.outbuff_size, "the copied payload fits the buffer");
    const bool from_answer = std::any_of(seen.begin(), seen.end(), [&](const fuzz_frame_t& f) {
        return f.code == answer && f.status == 0 && slot_fits(f, MXX_RSP_CAP1) &&
               f.payload.size() == static_cast<size_t>(out_size) &&
               std::memcmp(f.payload.data(), out.data(), f.payload.size()) == 0;
    });
    fuzz_require(from_answer, "the copied payload is an answer's");
    fuzz_require(std::all_of(out.begin() + out_size, out.end(), [](uint8_t b) { return b == FILL; }),
                 "nothing copied past the payload");
}

exchange_t make_exchange(FuzzedDataProvider& in) {
    static constexpr uint16_t codes[] = {8001, 8002, 8007, 8201, 8203, 8211, 8213, 8024};
    exchange_t x{};
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: x.code = in.ConsumeIntegral<uint16_t>(); break;  // also codes whose answer is 0x3001/0x3002
    default: x.code = codes[in.ConsumeIntegralInRange<size_t>(0, std::size(codes) - 1)]; break;
    }
    const size_t request_size = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 64)
                                                 : in.ConsumeIntegralInRange<size_t>(0, MXX_MAX_PAYLOAD);
    x.request = in.ConsumeBytes<uint8_t>(request_size);
    x.request.resize(request_size, 0x5A);
    x.with_outbuff = in.ConsumeIntegralInRange<int>(0, 7) != 0;
    x.outbuff_size = in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(0, 64) : in.ConsumeIntegralInRange<int32_t>(-1, 4200);
    // Virtual time: the long ones cost nothing, and they span idle periods.
    static constexpr int32_t timeouts[] = {1, 3, 10, 30, 250, 1000, 30000};
    x.timeout_ms = timeouts[in.ConsumeIntegralInRange<size_t>(0, std::size(timeouts) - 1)];
    x.wait = in.ConsumeIntegralInRange<int>(0, 15) != 15;
    return x;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    comm_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t tries = in.ConsumeIntegralInRange<int32_t>(1, 3);
    const size_t count = in.ConsumeIntegralInRange<size_t>(1, 3);
    std::vector<exchange_t> exchanges;
    std::vector<std::vector<fuzz_script_t>> scripts(count);
    for (size_t i = 0; i < count; ++i) {
        exchanges.push_back(make_exchange(in));
        const int32_t hint = std::max<int32_t>(exchanges[i].outbuff_size, 0);
        for (int32_t t = 0; t < tries; ++t)
            scripts[i].push_back(fuzz_script(in, exchanges[i].code, hint, exchanges[i].timeout_ms));
    }
    const uint8_t settle = in.ConsumeIntegral<uint8_t>();  // bit i: exchange i waits for earlier late bytes

    fuzz_instrument_t instrument(in, std::move(scripts), tries);
    for (size_t i = 0; i < count; ++i) {
        const exchange_t& x = exchanges[i];
        // Exactly the buffer's size, so that the address sanitizer sees any overrun.
        std::vector<uint8_t> out(static_cast<size_t>(std::max<int32_t>(x.outbuff_size, 0)), FILL);
        int32_t out_size = UNSET, out_timeout = UNSET, out_status = UNSET;
        if (i > 0 && (settle >> i & 1) == 0) instrument.settle();
        instrument.catch_up();
        instrument.begin(i);
        const uint64_t before = instrument.mark();
        const int32_t result =
            MXX_send_cmd(instrument.id(), x.code, x.request.data(), static_cast<int32_t>(x.request.size()),
                         x.with_outbuff ? out.data() : nullptr, x.outbuff_size, &out_size, &out_timeout,
                         &out_status, x.timeout_ms, x.wait ? 1 : 0);
        check_exchange(x, result, instrument.frames_since(before), out, out_size, out_status);
    }
    instrument.stop();

    fuzz_require(instrument.only_whole_requests(), "the link sent only whole request frames");
    size_t most = 0;
    for (const exchange_t& x : exchanges) most += x.wait ? static_cast<size_t>(tries) : 1;
    const auto& requests = instrument.requests();
    fuzz_require(requests.size() >= exchanges.size() && requests.size() <= most,
                 "each exchange sends its request at least once and at most its try count");
    std::vector<fuzz_bytes> frames;
    for (const exchange_t& x : exchanges) frames.push_back(fuzz_frame(x.code, x.request, 0));
    for (const fuzz_bytes& r : requests) {
        bool ours = false;
        for (size_t i = 0; i < exchanges.size() && !ours; ++i) {
            const fuzz_bytes& f = frames[i];
            ours = r.size() == f.size() &&
                   std::equal(r.begin() + MXX_OFF_CODE, r.begin() + MXX_OFF_TIMEOUT, f.begin() + MXX_OFF_CODE) &&
                   std::equal(r.begin() + static_cast<long>(MXX_HEADER_SIZE), r.end(),
                              f.begin() + static_cast<long>(MXX_HEADER_SIZE)) &&
                   MXX_frame_timeout(r.data()) == static_cast<uint16_t>(exchanges[i].timeout_ms) &&
                   MXX_frame_status(r.data()) == 0;
        }
        fuzz_require(ours, "every request read is one of the exchanges' requests");
    }
    return 0;
}
