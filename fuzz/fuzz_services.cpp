// Every service against a fuzzed instrument over an in-process link on a
// virtual clock: answers of every size and status, status frames,
// rejections, junk and cut frames, at once or late.
//
// What must hold, whatever arrived:
// - a service that reads its answer returns 0 only when, during its
//   exchange, an answer under its code + 1000 with status 0 and the payload
//   it requires was dispatched, and what it hands back is decoded from
//   such an answer; an absent, short or oversized payload gives 254;
// - a service that reads no answer returns 0 only after an answer or a
//   status frame of status 0, a file or flash write only after its answer;
// - nothing is written past the caller's buffers (exactly sized here).
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "libcomm/libcomm.h"
#include "link/mxx_comm.h"
#include "records/wire.h"
#include "services/r40_comm.h"
#include "services/r62_comm.h"
#include "support/fuzz_instrument.h"

namespace {

constexpr int32_t SHORT_OR_ABSENT = 254;
constexpr uint8_t FILL = 0xEE;

// A service call: runs it and tells whether an answer's payload decodes to
// what it handed back (only asked on success).
using decoded_fn = std::function<bool(const fuzz_bytes& payload)>;
using call_fn = std::function<int32_t(int32_t id, decoded_fn* decoded)>;

struct service_t {
    uint16_t code;
    int32_t min;  // payload the service requires; 0 and 0: it reads none
    int32_t max;
    call_fn call;
    // It hands back how many payload bytes came, leaving the requirement to
    // its callers: 0 may then rest on a status frame, with nothing copied.
    bool counts = false;
};

std::string name_of(FuzzedDataProvider& in) {
    return in.ConsumeRandomLengthString(40);
}

bool same(const uint8_t* a, const fuzz_bytes& b, size_t n) {
    return n <= b.size() && (n == 0 || std::memcmp(a, b.data(), n) == 0);
}

// A fixed-size answer copied as it is into an exactly sized buffer.
service_t copy_service(uint16_t code, int32_t size, int32_t (*fn)(int32_t, uint8_t*, int32_t)) {
    return {code, size, size, [=](int32_t id, decoded_fn* decoded) {
                auto out = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(size));
                const int32_t r = fn(id, out->data(), 1);
                *decoded = [=](const fuzz_bytes& p) { return same(out->data(), p, out->size()); };
                return r;
            }};
}

// A little-endian 32-bit answer.
service_t word_service(uint16_t code, std::function<int32_t(int32_t, uint32_t*)> fn) {
    return {code, 4, 4, [=](int32_t id, decoded_fn* decoded) {
                auto value = std::make_shared<uint32_t>(0x13572468);
                const int32_t r = fn(id, value.get());
                *decoded = [=](const fuzz_bytes& p) { return get_u32le(p.data(), 0) == *value; };
                return r;
            }};
}

// A service that reads no answer payload.
service_t plain_service(uint16_t code, std::function<int32_t(int32_t)> fn) {
    return {code, 0, 0, [=](int32_t id, decoded_fn* decoded) {
                *decoded = [](const fuzz_bytes&) { return true; };
                return fn(id);
            }};
}

std::vector<service_t> services(FuzzedDataProvider& in) {
    std::vector<service_t> s;
    s.push_back({R40_CODE_GET_FW_VERSION, 1, R40_FW_VERSION_LEN, [](int32_t id, decoded_fn* decoded) {
                     auto text = std::make_shared<std::array<char, R40_FW_VERSION_LEN>>();
                     text->fill('?');
                     const int32_t r = R40_get_fw_version(id, text->data(), 1);
                     *decoded = [=](const fuzz_bytes& p) {
                         return same(reinterpret_cast<const uint8_t*>(text->data()), p, p.size()) &&
                                std::all_of(text->begin() + static_cast<long>(p.size()), text->end(),
                                            [](char c) { return c == 0; });
                     };
                     return r;
                 }});
    s.push_back({R40_CODE_GET_TIME, static_cast<int32_t>(DEV_TIME_SIZE), static_cast<int32_t>(DEV_TIME_SIZE),
                 [](int32_t id, decoded_fn* decoded) {
                     auto t = std::make_shared<dev_time_t>(dev_time_t{1, 2, 3, 4, 5, 6});
                     const int32_t r = R40_get_time(id, t.get(), 1);
                     *decoded = [=](const fuzz_bytes& p) {
                         const dev_time_t d = dev_time_decode(p.data());
                         return std::memcmp(&d, t.get(), sizeof d) == 0;
                     };
                     return r;
                 }});
    s.push_back({R40_CODE_GET_SERIAL, R40_SERIAL_LEN, R40_SERIAL_LEN, [](int32_t id, decoded_fn* decoded) {
                     auto text = std::make_shared<std::array<char, R40_SERIAL_BUF>>();
                     const int32_t r = R40_get_serial(id, text->data(), 1);
                     *decoded = [=](const fuzz_bytes& p) {
                         return same(reinterpret_cast<const uint8_t*>(text->data()), p, R40_SERIAL_LEN) &&
                                (*text)[R40_SERIAL_LEN] == 0;
                     };
                     return r;
                 }});
    s.push_back(plain_service(R40_CODE_GET_SERIAL, [](int32_t id) { return R40_get_serial(id, nullptr, 1); }));
    s.push_back(word_service(R40_CODE_GET_MODEL_REV, [](int32_t id, uint32_t* v) { return R40_get_model_rev(id, v, 1); }));
    s.push_back(word_service(R40_CODE_ERASE_EXT_FLASH, [](int32_t id, uint32_t* v) {
        int32_t size = static_cast<int32_t>(*v);
        const int32_t r = R40_erase_ext_flash(id, &size, 1);
        *v = static_cast<uint32_t>(size);
        return r;
    }));
    s.push_back(copy_service(R40_CODE_READ_EXT_FLASH, R40_EXT_FLASH_READ, [](int32_t id, uint8_t* b, int32_t w) {
        return R40_read_ext_flash(id, 7, b, w);
    }));
    s.push_back(copy_service(R62_CODE_GET_STATUS, ST_SIZE, R62_Get_Status));
    s.push_back(copy_service(R62_CODE_GET_SCREEN, SCR_SIZE, R62_Get_Screen));
    const uint32_t first = in.ConsumeIntegral<uint32_t>();
    s.push_back({R62_CODE_GET_LOG_ENTRIES, R62_LOG_ENTRIES_SIZE, R62_LOG_ENTRIES_SIZE,
                 [first](int32_t id, decoded_fn* decoded) {
                     auto out = std::make_shared<std::vector<uint8_t>>(R62_LOG_ENTRIES_SIZE);
                     const int32_t r = R62_Get_Meas_Log_Entry_List(id, first, out->data(), 1);
                     *decoded = [=](const fuzz_bytes& p) { return same(out->data(), p, out->size()); };
                     return r;
                 }});
    s.push_back(word_service(R62_CODE_GET_STATE, [](int32_t id, uint32_t* v) { return R62_Get_State(id, v, 1); }));
    s.push_back(word_service(R62_CODE_MEASURE, [](int32_t id, uint32_t* v) {
        int32_t value = static_cast<int32_t>(*v);
        const int32_t r = R62_Measure(id, &value, 1);
        *v = static_cast<uint32_t>(value);
        return r;
    }));
    s.push_back({R62_CODE_GET_PARAMS, static_cast<int32_t>(PARAMS_SET_SIZE), MXX_RSP_CAP1 - static_cast<int32_t>(MXX_OVERHEAD),
                 [](int32_t id, decoded_fn* decoded) {
                     auto record = std::make_shared<std::vector<uint8_t>>(R62_PARAMS_BUF, FILL);
                     auto received = std::make_shared<int32_t>(-1);
                     const int32_t r = R62_Get_Params(id, record->data(), 1, received.get());
                     *decoded = [=](const fuzz_bytes& p) {
                         return *received == static_cast<int32_t>(p.size()) && same(record->data(), p, p.size()) &&
                                std::all_of(record->begin() + static_cast<long>(p.size()), record->end(),
                                            [](uint8_t b) { return b == FILL; });
                     };
                     return r;
                 },
                 true});
    const int32_t text_size = in.ConsumeIntegralInRange<int32_t>(0, R62_MEMORY_ANSWER + 8);
    s.push_back({R62_CODE_MEMORY_USAGE, 4, R62_MEMORY_ANSWER, [text_size](int32_t id, decoded_fn* decoded) {
                     auto heap = std::make_shared<int32_t>(-5);
                     auto text = std::make_shared<std::vector<char>>(static_cast<size_t>(text_size), '?');
                     const int32_t r = R62_Memory_Usage(id, heap.get(), text->data(), text_size, 1);
                     *decoded = [=](const fuzz_bytes& p) {
                         if (get_i32le(p.data(), 0) != *heap) return false;
                         const size_t avail = std::min(p.size() - 4, text->size());
                         const size_t n = strnlen(reinterpret_cast<const char*>(p.data() + 4), avail);
                         return same(reinterpret_cast<const uint8_t*>(text->data()), fuzz_bytes(p.begin() + 4, p.end()), n) &&
                                std::all_of(text->begin() + static_cast<long>(n), text->end(), [](char c) { return c == 0; });
                     };
                     return r;
                 }});
    const std::string name = name_of(in);
    s.push_back({R62_CODE_FILE_INFO, 4, FILE_INFO_SIZE, [name](int32_t id, decoded_fn* decoded) {
                     auto size = std::make_shared<uint32_t>(0xDEADBEEF);
                     const int32_t r = R62_File_Info(id, name.c_str(), size.get(), 1);
                     *decoded = [=](const fuzz_bytes& p) { return get_u32le(p.data(), 0) == *size; };
                     return r;
                 }});
    const uint32_t offset = in.ConsumeIntegral<uint32_t>();
    const uint32_t wanted = in.ConsumeIntegralInRange<uint32_t>(0, R62_READ_ANSWER + 8);
    s.push_back({R62_CODE_READ_FILE, 4, R62_READ_ANSWER, [=](int32_t id, decoded_fn* decoded) {
                     auto buffer = std::make_shared<std::vector<uint8_t>>(wanted, FILL);
                     auto got = std::make_shared<int32_t>(-3);
                     const int32_t r = R62_Read_File(id, name.c_str(), buffer->data(), offset, wanted, got.get(), 1);
                     *decoded = [=](const fuzz_bytes& p) {
                         // A count the data bears out, held to what was asked for.
                         const int64_t said = get_i32le(p.data(), 0);
                         if (said < 0 || said > static_cast<int64_t>(p.size()) - 4) return false;
                         const int64_t count = std::min<int64_t>(said, wanted);
                         return *got == count &&
                                same(buffer->data(), fuzz_bytes(p.begin() + 4, p.end()), static_cast<size_t>(count));
                     };
                     return r;
                 }});

    // Services that read no answer payload.
    const uint32_t word = in.ConsumeIntegral<uint32_t>();
    const fuzz_bytes data = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 300));
    s.push_back(plain_service(R40_CODE_SET_TIME, [](int32_t id) {
        const dev_time_t t{2026, 1, 2, 3, 4, 5};
        return R40_set_time(id, &t, 1);
    }));
    s.push_back(plain_service(R40_CODE_SET_SERIAL, [name](int32_t id) { return R40_set_serial(id, name.c_str(), 1); }));
    s.push_back(plain_service(R40_CODE_SET_MODEL_REV, [word](int32_t id) { return R40_set_model_rev(id, word, 1); }));
    s.push_back(plain_service(R40_CODE_WRITE_EXT_FLASH, [data, word](int32_t id) {
        return R40_write_ext_flash(id, static_cast<uint16_t>(word), data.data(), static_cast<int32_t>(data.size()), 1);
    }));
    s.push_back(plain_service(R40_CODE_FLASH_FW, [word](int32_t id) { return R40_flash_FW(id, word & 1, word, 1); }));
    s.push_back(plain_service(R62_CODE_SET_PARAMS, [data](int32_t id) {
        fuzz_bytes record(PARAMS_SET_SIZE, 0);
        std::copy_n(data.begin(), std::min(data.size(), record.size()), record.begin());
        return R62_Set_Params(id, record.data(), 1);
    }));
    s.push_back(plain_service(R62_CODE_CLEAR_LOGS, [word](int32_t id) { return R62_Clear_Logs(id, word, 1); }));
    s.push_back(plain_service(R62_CODE_WRITE_FILE, [name, data, word](int32_t id) {
        return R62_Write_File(id, name.c_str(), word % 5, data.data(), static_cast<int32_t>(data.size()), 1);
    }));
    s.push_back(plain_service(R62_CODE_SEND_EVENT, [word](int32_t id) { return R62_Send_Event(id, word, 1); }));
    s.push_back(plain_service(R62_CODE_SET_STATE, [word](int32_t id) { return R62_Set_State(id, word, 1); }));
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    comm_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const size_t which = in.ConsumeIntegral<uint8_t>();
    const int32_t tries = in.ConsumeIntegralInRange<int32_t>(1, 3);
    std::vector<service_t> all = services(in);
    const service_t& service = all[which % all.size()];

    // A service's time-out, as the services use them, paces the delays.
    const int32_t pace = in.ConsumeBool() ? 1000 : in.ConsumeIntegralInRange<int32_t>(1, 30000);
    std::vector<std::vector<fuzz_script_t>> scripts(1);
    for (int32_t t = 0; t < tries; ++t)
        scripts[0].push_back(fuzz_script(in, service.code, in.ConsumeBool() ? service.max : service.min, pace));

    fuzz_instrument_t instrument(in, std::move(scripts), tries);
    decoded_fn decoded;
    const uint64_t before = instrument.mark();
    const int32_t result = service.call(instrument.id(), &decoded);
    const std::vector<fuzz_frame_t> seen = instrument.frames_since(before);
    instrument.stop();

    const bool reads_answer = service.max > 0;
    const uint16_t answer = static_cast<uint16_t>(service.code + MXX_RESPONSE_OFFSET);
    // Writes are confirmed only by their answer, never by status frames alone.
    const bool confirmed = service.code == R62_CODE_WRITE_FILE || service.code == R40_CODE_WRITE_EXT_FLASH;
    fuzz_require(result == 0 || result == 1 || result == 255 || result < 0 ||
                     (reads_answer && result == SHORT_OR_ABSENT) || (confirmed && result == MXX_ERR_UNCONFIRMED),
                 "service result is 0, 1, 255, 254 (reading services), 253 (writes) or a link error");
    if (result != 0) return 0;
    const bool justified = std::any_of(seen.begin(), seen.end(), [&](const fuzz_frame_t& f) {
        if (f.status != 0 || f.count > MXX_RSP_CAP1) return false;
        if (confirmed) return f.code == answer;
        if (!reads_answer) return f.code == answer || (f.code == MXX_CODE_STATUS && f.count <= MXX_RSP_CAP3);
        const auto n = static_cast<int32_t>(f.payload.size());
        if (service.counts && (f.code == answer || (f.code == MXX_CODE_STATUS && f.count <= MXX_RSP_CAP3)) &&
            decoded({}))
            return true;
        return f.code == answer && (service.counts || n >= service.min) && n <= service.max && decoded(f.payload);
    });
    fuzz_require(justified, reads_answer ? "0 only with the required payload, decoded from it"
                                         : "0 only after an answer or status frame of status 0");
    return 0;
}
