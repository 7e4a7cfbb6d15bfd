#include "services/r40_comm.h"

#include <array>
#include <cstring>
#include <vector>

#include "link/mxx_comm.h"
#include "records/wire.h"

namespace {

constexpr int32_t TIMEOUT_DEFAULT = 1000;
constexpr int32_t TIMEOUT_SERIAL = 100;
constexpr int32_t TIMEOUT_ERASE = 60000;
constexpr int32_t TIMEOUT_FLASH = 30000;

int32_t send(int32_t id, uint16_t code, const void* in, int32_t in_size, void* out, int32_t out_size,
             int32_t timeout_ms, int32_t wait) {
    return MXX_send_cmd(id, code, in, in_size, out, out_size, nullptr, nullptr, nullptr, timeout_ms, wait);
}

// A 4-byte answer; the value keeps what it held unless one arrived.
int32_t get_u32_answer(int32_t id, uint16_t code, uint32_t* value, int32_t timeout_ms, int32_t wait) {
    uint8_t buf[4];
    int32_t r = MXX_send_query(id, code, nullptr, 0, value ? buf : nullptr, 4, 4, nullptr, timeout_ms, wait);
    if (r == 0 && wait && value) *value = get_u32le(buf, 0);
    return r;
}

int32_t send_u32(int32_t id, uint16_t code, uint32_t v, int32_t timeout_ms, int32_t wait) {
    uint8_t buf[4];
    put_u32le(buf, 0, v);
    return send(id, code, buf, sizeof buf, nullptr, 0, timeout_ms, wait);
}

}  // namespace

int32_t R40_get_fw_version(int32_t id, char* buffer, int32_t wait) {
    if (buffer) std::memset(buffer, 0, R40_FW_VERSION_LEN);
    return MXX_send_query(id, R40_CODE_GET_FW_VERSION, nullptr, 0, buffer, 1, R40_FW_VERSION_LEN, nullptr,
                          TIMEOUT_DEFAULT, wait);
}

int32_t R40_get_time(int32_t id, dev_time_t* record, int32_t wait) {
    uint8_t buf[DEV_TIME_SIZE];
    int32_t r = MXX_send_query(id, R40_CODE_GET_TIME, nullptr, 0, record ? buf : nullptr, DEV_TIME_SIZE,
                               DEV_TIME_SIZE, nullptr, TIMEOUT_DEFAULT, wait);
    if (r == 0 && wait && record) *record = dev_time_decode(buf);
    return r;
}

int32_t R40_set_time(int32_t id, const dev_time_t* record, int32_t wait) {
    uint8_t buf[DEV_TIME_SIZE] = {};
    if (record) dev_time_encode(*record, buf);
    return send(id, R40_CODE_SET_TIME, buf, sizeof buf, nullptr, 0, TIMEOUT_DEFAULT, wait);
}

int32_t R40_get_serial(int32_t id, char* buffer, int32_t wait) {
    if (buffer) std::memset(buffer, 0, R40_SERIAL_BUF);
    return MXX_send_query(id, R40_CODE_GET_SERIAL, nullptr, 0, buffer, R40_SERIAL_LEN, R40_SERIAL_LEN, nullptr,
                          TIMEOUT_SERIAL, wait);
}

int32_t R40_get_model_rev(int32_t id, uint32_t* word, int32_t wait) {
    return get_u32_answer(id, R40_CODE_GET_MODEL_REV, word, TIMEOUT_DEFAULT, wait);
}

int32_t R40_restart(int32_t id) {
    return send(id, R40_CODE_RESTART, nullptr, 0, nullptr, 0, TIMEOUT_DEFAULT, 0);
}

int32_t R40_erase_ext_flash(int32_t id, int32_t* block_size, int32_t wait) {
    uint32_t size = block_size ? static_cast<uint32_t>(*block_size) : 0;
    int32_t r = get_u32_answer(id, R40_CODE_ERASE_EXT_FLASH, block_size ? &size : nullptr, TIMEOUT_ERASE, wait);
    if (block_size) *block_size = static_cast<int32_t>(size);
    return r;
}

int32_t R40_read_ext_flash(int32_t id, uint16_t block, uint8_t* buffer, int32_t wait) {
    uint8_t req[2];
    put_u16le(req, 0, block);
    return MXX_send_query(id, R40_CODE_READ_EXT_FLASH, req, sizeof req, buffer, R40_EXT_FLASH_READ,
                          R40_EXT_FLASH_READ, nullptr, TIMEOUT_DEFAULT, wait);
}

int32_t R40_write_ext_flash(int32_t id, uint16_t block, const uint8_t* data, int32_t length, int32_t wait) {
    if (length < 0 || length > R40_WRITE_MAX || (length > 0 && !data)) return COMM_ERR_ARG;
    // Too big for the stack of a console handler: one heap buffer per block.
    std::vector<uint8_t> req(static_cast<size_t>(length) + 2);
    put_u16le(req.data(), 0, block);
    if (length > 0) std::memcpy(req.data() + 2, data, static_cast<size_t>(length));
    if (!wait) return send(id, R40_CODE_WRITE_EXT_FLASH, req.data(), length + 2, nullptr, 0, TIMEOUT_DEFAULT, 0);
    return MXX_send_write(id, R40_CODE_WRITE_EXT_FLASH, req.data(), length + 2, TIMEOUT_DEFAULT, 0);
}

int32_t R40_flash_FW(int32_t id, uint32_t encrypted, uint32_t checksum, int32_t wait) {
    uint8_t req[8];
    put_u32le(req, 0, encrypted);
    put_u32le(req, 4, checksum);
    return send(id, R40_CODE_FLASH_FW, req, sizeof req, nullptr, 0, TIMEOUT_FLASH, wait);
}

int32_t R40_set_serial(int32_t id, const char* serial, int32_t wait) {
    uint8_t req[R40_SERIAL_LEN] = {};
    if (serial) std::memcpy(req, serial, strnlen(serial, R40_SERIAL_LEN));
    return send(id, R40_CODE_SET_SERIAL, req, sizeof req, nullptr, 0, TIMEOUT_DEFAULT, wait);
}

int32_t R40_set_model_rev(int32_t id, uint32_t word, int32_t wait) {
    return send_u32(id, R40_CODE_SET_MODEL_REV, word, TIMEOUT_DEFAULT, wait);
}

int32_t R40_probe(int32_t id, int32_t /*attempt*/) { return R40_get_serial(id, nullptr, 0); }

int32_t R40_test_probe(int32_t /*id*/, const uint8_t* frame, int32_t* device_type, int32_t /*attempt*/) {
    if (device_type) *device_type = DEV_TYPE_R40;
    return frame && MXX_frame_code(frame) == R40_CODE_SERIAL_ANSWER ? 1 : 0;
}
