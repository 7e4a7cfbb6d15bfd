#include "services/r62_comm.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/mxx_comm.h"
#include "records/wire.h"
#include "services/r40_comm.h"

namespace {

constexpr int32_t TIMEOUT_DEFAULT = 800;
constexpr int32_t TIMEOUT_CLEAR_LOGS = 300000;
constexpr int32_t PROBE_TRIES = 3;

int32_t send(int32_t id, uint16_t code, const void* in, int32_t in_size, void* out, int32_t out_size,
             int32_t* out_size_got, int32_t timeout_ms, int32_t wait) {
    return MXX_send_cmd(id, code, in, in_size, out, out_size, out_size_got, nullptr, nullptr, timeout_ms, wait);
}

int32_t send_u32(int32_t id, uint16_t code, uint32_t v, int32_t wait) {
    uint8_t buf[4];
    put_u32le(buf, 0, v);
    return send(id, code, buf, sizeof buf, nullptr, 0, nullptr, TIMEOUT_DEFAULT, wait);
}

// An answer of min_size..max_size bytes into `out` (see MXX_send_query).
int32_t query(int32_t id, uint16_t code, const void* in, int32_t in_size, void* out, int32_t min_size,
              int32_t max_size, int32_t* got, int32_t wait) {
    return MXX_send_query(id, code, in, in_size, out, min_size, max_size, got, TIMEOUT_DEFAULT, wait);
}

// A 4-byte answer; the value keeps what it held unless one arrived.
int32_t get_u32_answer(int32_t id, uint16_t code, uint32_t* value, int32_t wait) {
    uint8_t buf[4];
    int32_t r = query(id, code, nullptr, 0, value ? buf : nullptr, 4, 4, nullptr, wait);
    if (r == 0 && wait && value) *value = get_u32le(buf, 0);
    return r;
}

}  // namespace

int32_t R62_Get_Params(int32_t id, uint8_t* record, int32_t wait, int32_t* received) {
    int32_t got = 0;
    int32_t r = send(id, R62_CODE_GET_PARAMS, nullptr, 0, record, record ? R62_PARAMS_BUF : 0, &got,
                     TIMEOUT_DEFAULT, wait);
    if (received) *received = got;
    return r;
}

int32_t R62_Set_Params(int32_t id, const uint8_t* record, int32_t wait) {
    if (!record) return COMM_ERR_ARG;
    return send(id, R62_CODE_SET_PARAMS, record, PARAMS_SET_SIZE, nullptr, 0, nullptr, TIMEOUT_DEFAULT, wait);
}

int32_t R62_Get_Status(int32_t id, uint8_t* status, int32_t wait) {
    return query(id, R62_CODE_GET_STATUS, nullptr, 0, status, ST_SIZE, ST_SIZE, nullptr, wait);
}

int32_t R62_Get_Meas_Log_Entry_List(int32_t id, uint32_t first, uint8_t* list, int32_t wait) {
    uint8_t req[4];
    put_u32le(req, 0, first);
    return query(id, R62_CODE_GET_LOG_ENTRIES, req, sizeof req, list, R62_LOG_ENTRIES_SIZE, R62_LOG_ENTRIES_SIZE,
                 nullptr, wait);
}

int32_t R62_Clear_Logs(int32_t id, uint32_t selector, int32_t wait) {
    uint8_t req[4];
    put_u32le(req, 0, selector);
    return send(id, R62_CODE_CLEAR_LOGS, req, sizeof req, nullptr, 0, nullptr, TIMEOUT_CLEAR_LOGS, wait);
}

int32_t R62_Memory_Usage(int32_t id, int32_t* heap, char* text, int32_t text_size, int32_t wait) {
    std::array<uint8_t, R62_MEMORY_ANSWER> answer{};
    int32_t got = 0;
    const bool reads = heap != nullptr || (text != nullptr && text_size > 0);
    int32_t r = query(id, R62_CODE_MEMORY_USAGE, nullptr, 0, reads ? answer.data() : nullptr, 4, R62_MEMORY_ANSWER,
                      &got, wait);
    if (r != 0 || !wait || !reads) return r;
    if (heap) *heap = get_i32le(answer.data(), 0);
    if (text && text_size > 0) {
        // The text ends at its NUL, at the end of what arrived, or at the
        // caller's size, whichever comes first.
        size_t avail = got > 4 ? static_cast<size_t>(got - 4) : 0;
        size_t limit = std::min(avail, static_cast<size_t>(text_size));
        const char* src = reinterpret_cast<const char*>(answer.data() + 4);
        size_t n = strnlen(src, limit);
        std::memcpy(text, src, n);
        std::memset(text + n, 0, static_cast<size_t>(text_size) - n);
    }
    return r;
}

int32_t R62_File_Info(int32_t id, const char* name, uint32_t* size, int32_t wait) {
    uint8_t req[FILE_REQ_SIZE];
    file_req_encode(file_req_make(name, 0, 0), req);
    uint8_t answer[FILE_INFO_SIZE];
    int32_t r = query(id, R62_CODE_FILE_INFO, req, sizeof req, size ? answer : nullptr, 4, FILE_INFO_SIZE,
                      nullptr, wait);
    if (r == 0 && wait && size) *size = get_u32le(answer, 0);
    return r;
}

namespace {

int32_t write_file(int32_t id, const char* name, uint32_t operation, const void* data, int32_t length, int32_t wait,
                   int32_t tries) {
    if (length < 0 || length > R62_WRITE_MAX || (length > 0 && !data)) return COMM_ERR_ARG;
    std::array<uint8_t, R62_WRITE_BUF> req{};
    file_req_encode(file_req_make(name, operation, static_cast<uint32_t>(length)), req.data());
    if (length > 0) std::memcpy(req.data() + FILE_REQ_SIZE, data, static_cast<size_t>(length));
    const int32_t size = static_cast<int32_t>(FILE_REQ_SIZE) + length;
    if (!wait) return send(id, R62_CODE_WRITE_FILE, req.data(), size, nullptr, 0, nullptr, TIMEOUT_DEFAULT, 0);
    return MXX_send_write(id, R62_CODE_WRITE_FILE, req.data(), size, TIMEOUT_DEFAULT, tries);
}

}  // namespace

int32_t R62_Write_File(int32_t id, const char* name, uint32_t operation, const void* data, int32_t length,
                       int32_t wait) {
    return write_file(id, name, operation, data, length, wait, 0);
}

int32_t R62_Append_File(int32_t id, const char* name, const void* data, int32_t length) {
    return write_file(id, name, FILE_OP_APPEND, data, length, 1, 1);
}

int32_t R62_Read_File(int32_t id, const char* name, void* buffer, uint32_t offset, uint32_t size, int32_t* got,
                      int32_t wait) {
    uint8_t req[FILE_REQ_SIZE];
    file_req_encode(file_req_make(name, offset, size), req);
    std::array<uint8_t, R62_READ_ANSWER> answer{};
    int32_t received = 0;
    const bool reads = buffer != nullptr || got != nullptr;
    int32_t r = query(id, R62_CODE_READ_FILE, req, sizeof req, reads ? answer.data() : nullptr, 4, R62_READ_ANSWER,
                      &received, wait);
    if (r != 0 || !wait || !reads) return r;
    // The count is the instrument's word. A count the data behind it does
    // not bear out is a failed read, never an end of file; never copy more
    // than the caller asked for.
    int64_t count = get_i32le(answer.data(), 0);
    const int64_t avail = received - 4;
    if (count < 0 || count > avail) return MXX_ERR_PAYLOAD;
    count = std::min<int64_t>(count, buffer ? size : 0);
    if (count > 0) std::memcpy(buffer, answer.data() + 4, static_cast<size_t>(count));
    if (got) *got = static_cast<int32_t>(count);
    return r;
}

int32_t R62_Measure(int32_t id, int32_t* value, int32_t wait) {
    uint32_t v = value ? static_cast<uint32_t>(*value) : 0;
    int32_t r = get_u32_answer(id, R62_CODE_MEASURE, value ? &v : nullptr, wait);
    if (value) *value = static_cast<int32_t>(v);
    return r;
}

int32_t R62_Send_Event(int32_t id, uint32_t event, int32_t wait) {
    return send_u32(id, R62_CODE_SEND_EVENT, event, wait);
}

int32_t R62_Set_State(int32_t id, uint32_t state, int32_t wait) {
    return send_u32(id, R62_CODE_SET_STATE, state, wait);
}

int32_t R62_Get_State(int32_t id, uint32_t* state, int32_t wait) {
    return get_u32_answer(id, R62_CODE_GET_STATE, state, wait);
}

int32_t R62_Get_Screen(int32_t id, uint8_t* image, int32_t wait) {
    return query(id, R62_CODE_GET_SCREEN, nullptr, 0, image, SCR_SIZE, SCR_SIZE, nullptr, wait);
}

int32_t R62_probe(int32_t id, int32_t /*attempt*/) { return R40_get_serial(id, nullptr, 0); }

int32_t R62_test_probe(int32_t id, const uint8_t* frame, int32_t* device_type, int32_t /*attempt*/) {
    if (device_type) *device_type = DEV_TYPE_R62;
    MXX_set_cmd_num_try(id, PROBE_TRIES);
    if (!frame || MXX_frame_code(frame) != R40_CODE_SERIAL_ANSWER) return 0;
    // A frame without payload has no serial to look at.
    const std::span<const uint8_t> serial = MXX_frame_payload(frame);
    return !serial.empty() && serial[0] == 'A' ? 1 : 0;
}
