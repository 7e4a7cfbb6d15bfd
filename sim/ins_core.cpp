// The instrument's front: one table of the services it answers, identity,
// clock, parameters, status, heap report and screen. The other families live
// in ins_files.cpp, ins_measure.cpp and ins_flash.cpp. Runs with sim_t::mu held.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "link/mxx_frame.h"
#include "records/dev_time.h"
#include "records/wire.h"
#include "services/r40_comm.h"
#include "services/r62_comm.h"
#include "sim/sim_internal.h"

namespace {

int64_t calendar_secs(const int32_t t[6]) {
    std::tm tm{};
    tm.tm_year = t[0] - 1900;
    tm.tm_mon = t[1] - 1;
    tm.tm_mday = t[2];
    tm.tm_hour = t[3];
    tm.tm_min = t[4];
    tm.tm_sec = t[5];
    return static_cast<int64_t>(timegm(&tm));
}

sim_reply_t on_fw_version(sim_t* s, uint16_t code, std::span<const uint8_t>, sim_clock::time_point) {
    std::vector<uint8_t> a(8, 0);
    std::memcpy(a.data(), s->ins.fw_version.data(), std::min<size_t>(8, s->ins.fw_version.size()));
    return SIMI_ok(code, std::move(a));
}

sim_reply_t on_get_time(sim_t* s, uint16_t code, std::span<const uint8_t>, sim_clock::time_point) {
    int32_t t[6];
    SIMI_get_clock(s->ins, t);
    std::vector<uint8_t> a(DEV_TIME_SIZE);
    for (size_t i = 0; i < 6; ++i) put_i32le(a.data(), 4 * i, t[i]);
    return SIMI_ok(code, std::move(a));
}

sim_reply_t on_set_time(sim_t* s, uint16_t code, std::span<const uint8_t> p, sim_clock::time_point) {
    int32_t t[6];
    for (size_t i = 0; i < 6; ++i) t[i] = get_i32le(p.data(), 4 * i);
    return SIMI_set_clock(s->ins, t) ? SIMI_ok(code) : SIMI_fail(code, SIM_ST_FAIL);
}

sim_reply_t on_get_serial(sim_t* s, uint16_t code, std::span<const uint8_t>, sim_clock::time_point) {
    return SIMI_ok(code, std::vector<uint8_t>(s->ins.serial.begin(), s->ins.serial.end()));
}

sim_reply_t on_set_serial(sim_t* s, uint16_t code, std::span<const uint8_t> p, sim_clock::time_point) {
    s->ins.serial.assign(reinterpret_cast<const char*>(p.data()), 8);
    return SIMI_ok(code);
}

sim_reply_t on_get_model(sim_t* s, uint16_t code, std::span<const uint8_t>, sim_clock::time_point) {
    return SIMI_ok(code, SIMI_u32(s->ins.model));
}

sim_reply_t on_set_model(sim_t* s, uint16_t code, std::span<const uint8_t> p, sim_clock::time_point) {
    s->ins.model = get_u32le(p.data(), 0);
    return SIMI_ok(code);
}

sim_reply_t on_heap(sim_t* s, uint16_t code, std::span<const uint8_t>, sim_clock::time_point) {
    const sim_instrument_t& ins = s->ins;
    std::vector<uint8_t> a(4 + ins.heap_text.size() + 1, 0);
    put_i32le(a.data(), 0, ins.heap_avail);
    std::memcpy(a.data() + 4, ins.heap_text.data(), ins.heap_text.size());
    return SIMI_ok(code, std::move(a));
}

sim_reply_t on_restart(sim_t* s, uint16_t, std::span<const uint8_t>, sim_clock::time_point now) {
    SIMI_reboot(s, now);
    return sim_reply_t{};  // the instrument is gone before it could answer
}

sim_reply_t on_get_params(sim_t* s, uint16_t code, std::span<const uint8_t>, sim_clock::time_point) {
    return SIMI_ok(code, s->ins.params);
}

sim_reply_t on_set_params(sim_t* s, uint16_t code, std::span<const uint8_t> p, sim_clock::time_point) {
    std::memcpy(s->ins.params.data(), p.data(), PARAMS_SET_SIZE);
    put_u16le(s->ins.status.data(), ST_CONTRAST, get_u8(s->ins.params.data(), PARAMS_OFF_CONTRAST));
    return SIMI_ok(code);
}

sim_reply_t on_get_status(sim_t* s, uint16_t code, std::span<const uint8_t>, sim_clock::time_point) {
    return SIMI_ok(code, s->ins.status);
}

sim_reply_t on_get_screen(sim_t* s, uint16_t code, std::span<const uint8_t>, sim_clock::time_point) {
    return SIMI_ok(code, SIMI_screen(s->ins));
}

struct service_t {
    uint16_t code;
    int32_t size;  // request payload size; -1: variable, checked by the handler
    sim_handler_fn handler;
};

constexpr service_t kServices[] = {
    {R40_CODE_GET_FW_VERSION, 0, on_fw_version},
    {R40_CODE_GET_TIME, 0, on_get_time},
    {R40_CODE_SET_TIME, DEV_TIME_SIZE, on_set_time},
    {R40_CODE_GET_SERIAL, 0, on_get_serial},
    {R40_CODE_GET_MODEL_REV, 0, on_get_model},
    {R40_CODE_RESTART, 0, on_restart},
    {R40_CODE_ERASE_EXT_FLASH, 0, SIMI_on_erase_flash},
    {R40_CODE_READ_EXT_FLASH, 2, SIMI_on_read_flash},
    {R40_CODE_WRITE_EXT_FLASH, -1, SIMI_on_write_flash},
    {R40_CODE_FLASH_FW, 8, SIMI_on_flash_fw},
    {R40_CODE_SET_SERIAL, 8, on_set_serial},
    {R40_CODE_SET_MODEL_REV, 4, on_set_model},
    {R62_CODE_MEMORY_USAGE, 0, on_heap},
    {R62_CODE_SEND_EVENT, 4, SIMI_on_send_event},
    {R62_CODE_SET_STATE, 4, SIMI_on_set_state},
    {R62_CODE_GET_STATE, 0, SIMI_on_get_state},
    {R62_CODE_GET_PARAMS, 0, on_get_params},
    {R62_CODE_SET_PARAMS, PARAMS_SET_SIZE, on_set_params},
    {R62_CODE_GET_STATUS, 0, on_get_status},
    {R62_CODE_GET_LOG_ENTRIES, 4, SIMI_on_entry_list},
    {R62_CODE_CLEAR_LOGS, 4, SIMI_on_clear_logs},
    {R62_CODE_FILE_INFO, FILE_REQ_SIZE, SIMI_on_file_info},
    {R62_CODE_WRITE_FILE, -1, SIMI_on_write_file},
    {R62_CODE_READ_FILE, FILE_REQ_SIZE, SIMI_on_read_file},
    {R62_CODE_MEASURE, 0, SIMI_on_measure},
    {R62_CODE_GET_SCREEN, 0, on_get_screen},
};

}  // namespace

sim_reply_t SIMI_ok(uint16_t code, std::vector<uint8_t> payload) {
    sim_reply_t r;
    r.answer = true;
    r.code = static_cast<uint16_t>(code + MXX_RESPONSE_OFFSET);
    r.payload = std::move(payload);
    return r;
}

sim_reply_t SIMI_fail(uint16_t code, uint8_t status) {
    sim_reply_t r;
    r.answer = true;
    r.code = static_cast<uint16_t>(code + MXX_RESPONSE_OFFSET);
    r.status = status;
    return r;
}

std::vector<uint8_t> SIMI_u32(uint32_t v) {
    std::vector<uint8_t> p(4);
    put_u32le(p.data(), 0, v);
    return p;
}

void SIMI_reboot(sim_t* s, sim_clock::time_point now) {
    SIMI_reset_volatile(s->ins);
    ++s->ins.restart_count;
    s->ins.reboot_until = now + std::chrono::milliseconds(std::max(0, s->settings.reboot_ms));
}

void SIMI_get_clock(const sim_instrument_t& ins, int32_t out[6]) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(sim_clock::now() - ins.clock_host);
    const auto t = static_cast<time_t>(ins.clock_secs + elapsed.count());
    std::tm tm{};
    gmtime_r(&t, &tm);
    out[0] = tm.tm_year + 1900;
    out[1] = tm.tm_mon + 1;
    out[2] = tm.tm_mday;
    out[3] = tm.tm_hour;
    out[4] = tm.tm_min;
    out[5] = tm.tm_sec;
}

bool SIMI_set_clock(sim_instrument_t& ins, const int32_t in[6]) {
    if (in[0] < 1970 || in[0] > 2105 || in[1] < 1 || in[1] > 12 || in[2] < 1 || in[2] > 31 || in[3] < 0 ||
        in[3] > 23 || in[4] < 0 || in[4] > 59 || in[5] < 0 || in[5] > 59)
        return false;
    ins.clock_secs = calendar_secs(in);
    ins.clock_host = sim_clock::now();
    return true;
}

std::vector<uint8_t> SIMI_screen(const sim_instrument_t& ins) {
    char line[3][24];
    std::snprintf(line[0], sizeof line[0], "SN %.8s", ins.serial.c_str());
    switch (ins.state) {
        case SIM_STATE_IDLE: std::snprintf(line[1], sizeof line[1], "READY TO MEASURE"); break;
        case SIM_STATE_READY: std::snprintf(line[1], sizeof line[1], "PRESS TRIGGER"); break;
        case SIM_STATE_MEASURE: std::snprintf(line[1], sizeof line[1], "MEASURING"); break;
        case SIM_STATE_SCAN:
            std::snprintf(line[1], sizeof line[1], "SCAN %zu", ins.scan_points.size());
            break;
        default: std::snprintf(line[1], sizeof line[1], "STATE %u", ins.state); break;
    }
    std::snprintf(line[2], sizeof line[2], "K=%.3f S=%.1f", static_cast<double>(ins.last_kappa),
                  static_cast<double>(ins.last_sigma));
    return SIMREC_render_screen({"QM-38 V2", line[0], line[1], line[2], "FW " + ins.fw_version});
}

void SIMI_reset_volatile(sim_instrument_t& ins) {
    SIMI_abort_measurement(ins);
    ins.state = SIM_STATE_IDLE;
    ins.sample_counter = 0;
}

void SIMI_init(sim_t* s) {
    sim_instrument_t& ins = s->ins;
    ins.params = SIMREC_default_params(64);
    ins.status = SIMREC_default_status();
    ins.heap_text = "heap total 65536, used 42080, free 23456\ntasks 7, open files 0\n";
    ins.flash.assign(SIM_FLASH_SIZE, 0xFF);
    for (const char* d : {"meas", "notes", "aux", "lut"}) ins.dirs.insert(d);
    std::tm tm = local_time_now();
    ins.clock_secs = static_cast<int64_t>(timegm(&tm));
    ins.clock_host = sim_clock::now();
}

sim_reply_t SIMI_handle(sim_t* s, uint16_t code, std::span<const uint8_t> p, sim_clock::time_point now) {
    for (const auto& e : kServices) {
        if (e.code != code) continue;
        if (e.size >= 0 && p.size() != static_cast<size_t>(e.size)) return SIMI_fail(code, SIM_ST_SIZE);
        return e.handler(s, code, p, now);
    }
    sim_reply_t r;
    r.answer = true;
    r.code = MXX_CODE_REJECT;
    r.status = SIM_ST_FAIL;
    r.payload.resize(2);
    put_u16le(r.payload.data(), 0, code);
    return r;
}
