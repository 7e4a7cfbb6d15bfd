// The simulated instrument: services, file system, log table, flash, clock
// and the measurement/scan state machine. Every function here runs with
// sim_t::mu held.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "link/mxx_frame.h"
#include "records/wire.h"
#include "sim/sim_internal.h"

namespace {

enum : uint16_t {
    C_FW_VERSION = 8001,
    C_GET_TIME = 8002,
    C_SET_TIME = 8003,
    C_GET_SERIAL = 8007,
    C_GET_MODEL = 8008,
    C_HEAP = 8016,
    C_RESTART = 8021,
    C_SEND_EVENT = 8022,
    C_SET_STATE = 8023,
    C_GET_STATE = 8024,
    C_ERASE_FLASH = 8100,
    C_READ_FLASH = 8101,
    C_WRITE_FLASH = 8102,
    C_FLASH_FW = 8103,
    C_SET_SERIAL = 8104,
    C_SET_MODEL = 8105,
    C_GET_PARAMS = 8201,
    C_SET_PARAMS = 8202,
    C_GET_STATUS = 8203,
    C_ENTRY_LIST = 8204,
    C_CLEAR_LOGS = 8206,
    C_FILE_INFO = 8209,
    C_WRITE_FILE = 8210,
    C_READ_FILE = 8211,
    C_MEASURE = 8212,
    C_GET_SCREEN = 8213,
};

enum : uint32_t {
    EV_TRIGGER = 0x2001,
    EV_CANCEL = 0x2002,
    EV_ARM = 0x4001,
};

enum : uint32_t {
    LIVE_START = 1,
    LIVE_PROGRESS = 2,
    LIVE_FINISHED = 4,
    LIVE_SCAN_START = 129,
    LIVE_SCAN_POINT = 130,
    LIVE_SCAN_BUTTON = 131,
    LIVE_SCAN_FINISHED = 132,
};

constexpr int32_t FLASH_READ_BLOCK = 64;
constexpr int32_t FLASH_DEFAULT_BLOCK = 64;
constexpr int32_t MEAS_PROGRESS_STEPS = 3;
constexpr size_t ARM_HISTORY = 4;

sim_reply_t ok(uint16_t code, std::vector<uint8_t> payload = {}) {
    sim_reply_t r;
    r.answer = true;
    r.code = static_cast<uint16_t>(code + MXX_RESPONSE_OFFSET);
    r.payload = std::move(payload);
    return r;
}

sim_reply_t fail(uint16_t code, uint8_t status) {
    sim_reply_t r;
    r.answer = true;
    r.code = static_cast<uint16_t>(code + MXX_RESPONSE_OFFSET);
    r.status = status;
    return r;
}

std::vector<uint8_t> u32_payload(uint32_t v) {
    std::vector<uint8_t> p(4);
    put_u32le(p.data(), 0, v);
    return p;
}

std::vector<uint8_t> live(uint32_t event, int32_t value, float kappa, float sigma) {
    std::vector<uint8_t> p(LIVE_SIZE);
    put_u32le(p.data(), 0, event);
    put_i32le(p.data(), 4, value);
    put_f32le(p.data(), 8, kappa);
    put_f32le(p.data(), 12, sigma);
    return p;
}

// The name field: at most 32 bytes, up to the first NUL. Leading "./" and
// "/" and trailing "/" (as archive directory names carry) are dropped.
std::string request_name(std::span<const uint8_t> p) {
    size_t n = 0;
    while (n < FILE_REQ_NAME_SIZE && p[FILE_REQ_OFF_NAME + n] != 0) ++n;
    std::string name(reinterpret_cast<const char*>(p.data() + FILE_REQ_OFF_NAME), n);
    for (;;) {
        if (name.rfind("./", 0) == 0) name.erase(0, 2);
        else if (!name.empty() && name[0] == '/') name.erase(0, 1);
        else break;
    }
    while (!name.empty() && name.back() == '/') name.pop_back();
    return name;
}

std::string parent_of(const std::string& name) {
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

bool dir_exists(const sim_instrument_t& ins, const std::string& dir) {
    return dir.empty() || ins.dirs.count(dir) != 0;
}

bool dir_empty(const sim_instrument_t& ins, const std::string& dir) {
    const std::string prefix = dir + "/";
    auto f = ins.files.lower_bound(prefix);
    if (f != ins.files.end() && f->first.rfind(prefix, 0) == 0) return false;
    auto d = ins.dirs.lower_bound(prefix);
    return !(d != ins.dirs.end() && d->rfind(prefix, 0) == 0);
}

const std::vector<uint8_t>* find_file(const sim_instrument_t& ins, const std::string& name) {
    auto it = ins.files.find(name);
    return it == ins.files.end() ? nullptr : &it->second;
}

// ---- clock -------------------------------------------------------------

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

// ---- measurement records -------------------------------------------------

struct newest_t {
    int32_t rec_no = 0;
    int32_t group_no = 1;
};

newest_t newest_record(const sim_instrument_t& ins) {
    newest_t n;
    bool any = false;
    for (const auto& [name, content] : ins.files) {
        if (content.size() < MR_SIZE) continue;
        if (SIMI_parse_slot(name, "meas/meas", ".dat") < 0 && name != "meas/last.dat") continue;
        const int32_t rec = get_i32le(content.data(), MR_REC_NO);
        if (!any || rec > n.rec_no) {
            n.rec_no = rec;
            n.group_no = get_i32le(content.data(), MR_GROUP_NO);
            any = true;
        }
    }
    return n;
}

std::vector<uint8_t> new_record(const sim_instrument_t& ins, uint32_t type) {
    std::vector<uint8_t> rec(MR_SIZE, 0);
    uint8_t* r = rec.data();
    const newest_t last = newest_record(ins);
    std::memcpy(r, "M62\x01", 4);
    put_i32le(r, MR_REC_NO, last.rec_no + 1);
    put_i32le(r, MR_GROUP_NO, last.group_no);
    int32_t t[6];
    SIMI_get_clock(ins, t);
    put_u16le(r, MR_YEAR, static_cast<uint16_t>(t[0]));
    put_u8(r, MR_MONTH, static_cast<uint8_t>(t[1]));
    put_u8(r, MR_DAY, static_cast<uint8_t>(t[2]));
    put_u8(r, MR_HOUR, static_cast<uint8_t>(t[3]));
    put_u8(r, MR_MINUTE, static_cast<uint8_t>(t[4]));
    put_u8(r, MR_SECOND, static_cast<uint8_t>(t[5]));
    const uint8_t* p = ins.params.data();
    uint32_t tw = type;
    tw |= static_cast<uint32_t>(get_u8(p, PARAMS_OFF_USE_CONC_LUT_SUSC)) << TW_CURVE_S_SHIFT;
    tw |= static_cast<uint32_t>(get_u8(p, PARAMS_OFF_USE_CONC_LUT_COND)) << TW_CURVE_C_SHIFT;
    if (get_u8(p, PARAMS_OFF_SUSC_UNITS) != 0) tw |= TW_SUSC_CGS;
    if (get_u8(p, PARAMS_OFF_COND_UNITS) != 0) tw |= TW_COND_OHM_M;
    put_u32le(r, MR_TYPE_WORD, tw);
    put_u8(r, MR_DIA, get_u8(p, PARAMS_OFF_DIAMETER));
    put_u8(r, MR_MEAS_MODE, get_u8(p, PARAMS_OFF_MEAS_MODE));
    const double k = static_cast<double>(ins.meas_counter % 50);
    SIMREC_set_gps(r, 49.2057 + 0.0003 * k, 16.5854 - 0.0002 * k, true, 9, 287);
    return rec;
}

void store_record(sim_instrument_t& ins, const std::vector<uint8_t>& rec) {
    SIMI_put_file(ins, "meas/last.dat", rec);
    const int64_t max = std::clamp<int64_t>(SIMI_max_stored(ins), 0, 65536);
    if (max == 0) return;
    int64_t slot = -1;
    int64_t oldest_slot = 0;
    uint32_t oldest = UINT32_MAX;
    for (int64_t i = 0; i < max; ++i) {
        const sim_entry_t e = SIMI_entry(ins, static_cast<uint32_t>(i));
        if (e.value == 0) {
            slot = i;
            break;
        }
        if (e.value < oldest) {
            oldest = e.value;
            oldest_slot = i;
        }
    }
    if (slot < 0) {
        // Full: the oldest record makes room, as the instrument's ring does.
        slot = oldest_slot;
        const auto s = static_cast<uint32_t>(slot);
        SIMI_remove_file(ins, SIMI_slot_name("notes/rec", s, ".wav"));
        SIMI_remove_file(ins, SIMI_slot_name("aux/aux", s, ".dat"));
    }
    const auto s = static_cast<uint32_t>(slot);
    SIMI_remove_file(ins, SIMI_slot_name("meas/meas", s, ".dat"));
    SIMI_put_file(ins, SIMI_slot_name("meas/meas", s, ".dat"), rec);
    std::vector<uint8_t> uid(16, 0);
    put_i32le(uid.data(), 0, get_i32le(rec.data(), MR_REC_NO));
    std::memcpy(uid.data() + 4, ins.serial.data(), 8);
    SIMI_put_file(ins, SIMI_slot_name("meas/", s, ".uid"), std::move(uid));
}

float meas_kappa(int32_t m) { return 0.125f + 0.0375f * static_cast<float>(m % 9); }
float meas_sigma(int32_t m) { return 10.0f + 2.5f * static_cast<float>(m % 6); }
float scan_kappa(size_t i) { return 0.5f + 0.25f * std::sin(0.7f * static_cast<float>(i)); }
float scan_sigma(size_t i) { return 20.0f + 5.0f * std::cos(0.3f * static_cast<float>(i)); }

void finish_single(sim_instrument_t& ins, std::vector<std::vector<uint8_t>>* out) {
    const float kappa = meas_kappa(ins.meas_counter);
    const float sigma = meas_sigma(ins.meas_counter);
    std::vector<uint8_t> rec = new_record(ins, 1);
    uint8_t* r = rec.data();
    put_f32le(r, MR_SUSC, kappa);
    put_f32le(r, MR_COND, sigma);
    put_i32le(r, MR_SAMPLE_NO, MEAS_PROGRESS_STEPS);
    put_i32le(r, MR_MEAS_TIME, 1);
    for (int32_t k = 0; k < MEAS_PROGRESS_STEPS; ++k) {
        const float f = static_cast<float>(k + 1) / static_cast<float>(MEAS_PROGRESS_STEPS);
        put_f32le(r, MR_SUSC_POINTS + 4 * static_cast<size_t>(k), kappa * f);
        put_f32le(r, MR_COND_POINTS + 4 * static_cast<size_t>(k), sigma * f);
    }
    store_record(ins, rec);
    ins.last_kappa = kappa;
    ins.last_sigma = sigma;
    ins.state = SIM_STATE_IDLE;
    ins.meas = sim_meas_t::none;
    out->push_back(live(LIVE_FINISHED, 0, kappa, sigma));
}

void finish_scan(sim_instrument_t& ins, std::vector<std::vector<uint8_t>>* out) {
    std::vector<uint8_t> rec = new_record(ins, 2);
    uint8_t* r = rec.data();
    const auto n = static_cast<int32_t>(ins.scan_points.size());
    float ks = 0.0f;
    float ss = 0.0f;
    for (size_t i = 0; i < ins.scan_points.size(); ++i) {
        put_f32le(r, MR_SUSC_POINTS + 4 * i, ins.scan_points[i].first);
        put_f32le(r, MR_COND_POINTS + 4 * i, ins.scan_points[i].second);
        ks += ins.scan_points[i].first;
        ss += ins.scan_points[i].second;
        if (i % 5 == 4) SIMREC_set_mark(r, static_cast<int32_t>(i), true);
    }
    put_f32le(r, MR_SUSC, n > 0 ? ks / static_cast<float>(n) : 0.0f);
    put_f32le(r, MR_COND, n > 0 ? ss / static_cast<float>(n) : 0.0f);
    put_i32le(r, MR_SAMPLE_NO, n);
    put_i32le(r, MR_MEAS_TIME, n);
    store_record(ins, rec);
    ins.state = SIM_STATE_IDLE;
    ins.meas = sim_meas_t::none;
    ins.scan_points.clear();
    out->push_back(live(LIVE_SCAN_BUTTON, 2, 0.0f, 0.0f));
    out->push_back(live(LIVE_SCAN_FINISHED, 0, 0.0f, 0.0f));
}

void schedule(sim_instrument_t& ins, sim_clock::time_point due, sim_action_t kind, int32_t arg) {
    ins.schedule.push_back({due, kind, arg, ins.generation});
}

// Any new state request ends what was going on: no record is stored.
void abort_measurement(sim_instrument_t& ins) {
    ins.meas = sim_meas_t::none;
    ins.arm_events.clear();
    ins.scan_points.clear();
    ins.schedule.clear();
    ++ins.generation;
}

sim_reply_t on_event(sim_t* s, uint32_t ev, sim_clock::time_point now) {
    sim_instrument_t& ins = s->ins;
    sim_reply_t r = ok(C_SEND_EVENT);
    switch (ins.state) {
        case SIM_STATE_READY:
            if (ins.meas == sim_meas_t::single_armed) {
                if (ev == EV_TRIGGER) {
                    ins.meas = sim_meas_t::single_running;
                    ins.state = SIM_STATE_MEASURE;
                    ++ins.meas_counter;
                    r.live.push_back(live(LIVE_START, 0, 0.0f, 0.0f));
                    const auto total = std::chrono::milliseconds(std::max(0, s->settings.meas_ms));
                    for (int32_t k = 1; k <= MEAS_PROGRESS_STEPS; ++k)
                        schedule(ins, now + total * k / (MEAS_PROGRESS_STEPS + 1), sim_action_t::progress, k);
                    schedule(ins, now + total, sim_action_t::finish, 0);
                    r.scheduled = true;
                } else if (ev == EV_CANCEL) {
                    abort_measurement(ins);
                    ins.state = SIM_STATE_IDLE;
                }
                break;
            }
            ins.arm_events.push_back(ev);
            if (ins.arm_events.size() > ARM_HISTORY) ins.arm_events.erase(ins.arm_events.begin());
            if (ev == EV_TRIGGER) {
                const std::vector<uint32_t>& a = ins.arm_events;
                const size_t n = a.size();
                const bool single = n >= 3 && a[n - 3] == EV_CANCEL && a[n - 2] == EV_ARM &&
                                    !(n >= 4 && a[n - 4] == EV_CANCEL);
                const bool scan = n >= 4 && a[n - 4] == EV_CANCEL && a[n - 3] == EV_CANCEL && a[n - 2] == EV_ARM;
                ins.arm_events.clear();
                if (single) {
                    ins.meas = sim_meas_t::single_armed;
                } else if (scan) {
                    ins.meas = sim_meas_t::scanning;
                    ins.state = SIM_STATE_SCAN;
                    ins.scan_points.clear();
                    r.live.push_back(live(LIVE_SCAN_START, 0, 0.0f, 0.0f));
                }
            }
            break;
        case SIM_STATE_MEASURE:
            if (ev == EV_CANCEL) {
                abort_measurement(ins);
                ins.state = SIM_STATE_IDLE;
            }
            break;
        case SIM_STATE_SCAN:
            if (ev == EV_TRIGGER) {
                if (ins.scan_points.size() < static_cast<size_t>(MR_POINTS)) {
                    const size_t i = ins.scan_points.size();
                    ins.scan_points.emplace_back(scan_kappa(i), scan_sigma(i));
                    ins.last_kappa = scan_kappa(i);
                    ins.last_sigma = scan_sigma(i);
                    r.live.push_back(live(LIVE_SCAN_BUTTON, 1, 0.0f, 0.0f));
                    r.live.push_back(live(LIVE_SCAN_POINT, static_cast<int32_t>(i + 1), scan_kappa(i), scan_sigma(i)));
                }
            } else if (ev == EV_CANCEL) {
                finish_scan(ins, &r.live);
            }
            break;
        default:
            break;  // buttons do nothing outside a measurement
    }
    return r;
}

sim_reply_t on_set_state(sim_t* s, uint32_t state, sim_clock::time_point now) {
    sim_instrument_t& ins = s->ins;
    sim_reply_t r = ok(C_SET_STATE);
    abort_measurement(ins);
    if (state == SIM_STATE_PREPARE) {
        if (s->settings.arm_delay_ms <= 0) {
            ins.state = SIM_STATE_READY;
        } else {
            ins.state = SIM_STATE_PREPARE;
            schedule(ins, now + std::chrono::milliseconds(s->settings.arm_delay_ms), sim_action_t::ready, 0);
            r.scheduled = true;
        }
    } else {
        ins.state = state;
    }
    return r;
}

void reboot(sim_t* s, sim_clock::time_point now) {
    SIMI_reset_volatile(s->ins);
    ++s->ins.restart_count;
    s->ins.reboot_until = now + std::chrono::milliseconds(std::max(0, s->settings.reboot_ms));
}

int32_t effective_block(int32_t answered) { return answered > 0 ? answered : FLASH_DEFAULT_BLOCK; }

// ---- file services -------------------------------------------------------

sim_reply_t on_file_info(sim_t* s, std::span<const uint8_t> p) {
    const std::string name = request_name(p);
    std::vector<uint8_t> a(FILE_INFO_SIZE, 0);
    if (name == "raw") {
        put_u32le(a.data(), 0, s->settings.raw_size);
    } else if (const auto* f = find_file(s->ins, name)) {
        put_u32le(a.data(), 0, static_cast<uint32_t>(f->size()));
    } else if (name.empty() || !dir_exists(s->ins, name)) {
        return fail(C_FILE_INFO, SIM_ST_NOFILE);
    }
    return ok(C_FILE_INFO, std::move(a));
}

sim_reply_t on_read_file(sim_t* s, std::span<const uint8_t> p) {
    const std::string name = request_name(p);
    const uint32_t offset = get_u32le(p.data(), FILE_REQ_OFF_PARAM);
    const uint32_t want = std::min(get_u32le(p.data(), FILE_REQ_OFF_SIZE), FILE_READ_MAX);
    uint32_t size = 0;
    const std::vector<uint8_t>* f = nullptr;
    if (name == "raw") {
        size = s->settings.raw_size;
    } else if ((f = find_file(s->ins, name)) != nullptr) {
        size = static_cast<uint32_t>(f->size());
    } else {
        return fail(C_READ_FILE, SIM_ST_NOFILE);
    }
    const uint32_t count = offset >= size ? 0 : std::min(want, size - offset);
    std::vector<uint8_t> a(4 + count);
    put_i32le(a.data(), 0, static_cast<int32_t>(count));
    if (f != nullptr) {
        std::memcpy(a.data() + 4, f->data() + offset, count);
    } else {
        for (uint32_t i = 0; i < count; ++i) a[4 + i] = SIM_raw_byte(offset + i);
    }
    return ok(C_READ_FILE, std::move(a));
}

sim_reply_t on_write_file(sim_t* s, std::span<const uint8_t> p) {
    sim_instrument_t& ins = s->ins;
    const uint32_t op = get_u32le(p.data(), FILE_REQ_OFF_PARAM);
    const uint32_t n = get_u32le(p.data(), FILE_REQ_OFF_SIZE);
    if (p.size() - FILE_REQ_SIZE != n) return fail(C_WRITE_FILE, SIM_ST_SIZE);
    if (op != FILE_OP_APPEND && n != 0) return fail(C_WRITE_FILE, SIM_ST_SIZE);
    const std::string name = request_name(p);
    if (name.empty() || name == "raw") return fail(C_WRITE_FILE, SIM_ST_FAIL);
    const bool is_file = ins.files.count(name) != 0;
    const bool is_dir = ins.dirs.count(name) != 0;
    switch (op) {
        case FILE_OP_MKDIR:
            if (is_dir) break;  // existing directory: fine, the table writer relies on it
            if (is_file) return fail(C_WRITE_FILE, SIM_ST_FAIL);
            if (!dir_exists(ins, parent_of(name))) return fail(C_WRITE_FILE, SIM_ST_NOFILE);
            ins.dirs.insert(name);
            break;
        case FILE_OP_CREATE:
            if (is_dir) return fail(C_WRITE_FILE, SIM_ST_FAIL);
            if (!dir_exists(ins, parent_of(name))) return fail(C_WRITE_FILE, SIM_ST_NOFILE);
            SIMI_put_file(ins, name, {});
            break;
        case FILE_OP_APPEND: {
            if (!is_file) return fail(C_WRITE_FILE, SIM_ST_NOFILE);
            if (ins.file_bytes + n > s->settings.storage_limit) return fail(C_WRITE_FILE, SIM_ST_FAIL);
            std::vector<uint8_t>& f = ins.files[name];
            f.insert(f.end(), p.begin() + FILE_REQ_SIZE, p.end());
            ins.file_bytes += n;
            break;
        }
        case FILE_OP_DELETE:
            if (is_file) {
                SIMI_remove_file(ins, name);
            } else if (is_dir) {
                if (!dir_empty(ins, name)) return fail(C_WRITE_FILE, SIM_ST_FAIL);
                ins.dirs.erase(name);
            }
            break;  // a missing file is already gone: success, the purge relies on it
        default:
            return fail(C_WRITE_FILE, SIM_ST_FAIL);
    }
    return ok(C_WRITE_FILE);
}

sim_reply_t on_entry_list(sim_t* s, uint32_t first) {
    std::vector<uint8_t> a(LE_SIZE * LE_PER_ANSWER, 0);
    for (size_t i = 0; i < LE_PER_ANSWER; ++i) {
        const uint64_t slot = static_cast<uint64_t>(first) + i;
        if (slot > UINT32_MAX) break;
        const sim_entry_t e = SIMI_entry(s->ins, static_cast<uint32_t>(slot));
        put_u32le(a.data(), i * LE_SIZE, e.value);
        put_u8(a.data(), i * LE_SIZE + 4, e.flags);
    }
    return ok(C_ENTRY_LIST, std::move(a));
}

// ---- flash -----------------------------------------------------------------

sim_reply_t on_write_flash(sim_t* s, std::span<const uint8_t> p) {
    sim_instrument_t& ins = s->ins;
    const uint32_t index = get_u16le(p.data(), 0);
    const size_t len = p.size() - 2;
    const auto block = static_cast<size_t>(ins.flash_block);
    const size_t off = index * block;
    if (len == 0 || len > block || off + len > ins.flash.size()) return fail(C_WRITE_FLASH, SIM_ST_FAIL);
    // Flash cells only go from 1 to 0; an unerased block keeps its zeros.
    for (size_t i = 0; i < len; ++i) ins.flash[off + i] &= p[2 + i];
    return ok(C_WRITE_FLASH);
}

sim_reply_t on_flash_fw(sim_t* s, std::span<const uint8_t> p, sim_clock::time_point now) {
    const uint32_t encrypted = get_u32le(p.data(), 0);
    const uint32_t checksum = get_u32le(p.data(), 4);
    uint32_t x = 0;
    const std::vector<uint8_t>& f = s->ins.flash;
    for (uint32_t i = 0; i < SIM_FLASH_SIZE / 4; ++i) {
        uint32_t w = get_u32le(f.data(), 4 * static_cast<size_t>(i));
        if (encrypted & 1u) w ^= i * i * i * i;
        x ^= w;
    }
    if (x != checksum) return fail(C_FLASH_FW, SIM_ST_CHECKSUM);
    ++s->ins.flash_count;
    reboot(s, now);  // the new firmware starts: the answer goes out, then silence
    return ok(C_FLASH_FW);
}

struct service_t {
    uint16_t code;
    int32_t size;  // exact request payload size; -1: checked by the handler
};

constexpr service_t kServices[] = {
    {C_FW_VERSION, 0}, {C_GET_TIME, 0},   {C_SET_TIME, DT_SIZE}, {C_GET_SERIAL, 0},   {C_GET_MODEL, 0},
    {C_HEAP, 0},       {C_RESTART, 0},    {C_SEND_EVENT, 4},     {C_SET_STATE, 4},    {C_GET_STATE, 0},
    {C_ERASE_FLASH, 0}, {C_READ_FLASH, 2}, {C_WRITE_FLASH, -1},  {C_FLASH_FW, 8},     {C_SET_SERIAL, 8},
    {C_SET_MODEL, 4},  {C_GET_PARAMS, 0}, {C_SET_PARAMS, PARAMS_SET_SIZE}, {C_GET_STATUS, 0}, {C_ENTRY_LIST, 4},
    {C_CLEAR_LOGS, 4}, {C_FILE_INFO, FILE_REQ_SIZE}, {C_WRITE_FILE, -1}, {C_READ_FILE, FILE_REQ_SIZE}, {C_MEASURE, 0},
    {C_GET_SCREEN, 0},
};

}  // namespace

// ---- shared helpers ----------------------------------------------------------

std::string SIMI_slot_name(const char* prefix, uint32_t slot, const char* suffix) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%.4u%s", prefix, slot, suffix);
    return buf;
}

int64_t SIMI_parse_slot(const std::string& name, const char* prefix, const char* suffix) {
    const size_t pl = std::strlen(prefix);
    const size_t sl = std::strlen(suffix);
    if (name.size() < pl + sl + 4 || name.compare(0, pl, prefix) != 0 ||
        name.compare(name.size() - sl, sl, suffix) != 0)
        return -1;
    const std::string digits = name.substr(pl, name.size() - pl - sl);
    if (digits.size() > 10 || (digits.size() > 4 && digits[0] == '0')) return -1;
    int64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v > UINT32_MAX ? -1 : v;
}

void SIMI_put_file(sim_instrument_t& ins, const std::string& name, std::vector<uint8_t> content) {
    auto it = ins.files.find(name);
    if (it != ins.files.end()) ins.file_bytes -= it->second.size();
    ins.file_bytes += content.size();
    ins.files[name] = std::move(content);
    const int64_t slot = SIMI_parse_slot(name, "meas/meas", ".dat");
    if (slot >= 0 && ins.entry_seq.count(static_cast<uint32_t>(slot)) == 0)
        ins.entry_seq[static_cast<uint32_t>(slot)] = ins.next_seq++;
}

bool SIMI_remove_file(sim_instrument_t& ins, const std::string& name) {
    auto it = ins.files.find(name);
    if (it == ins.files.end()) return false;
    ins.file_bytes -= it->second.size();
    ins.files.erase(it);
    const int64_t slot = SIMI_parse_slot(name, "meas/meas", ".dat");
    if (slot >= 0) {
        ins.entry_seq.erase(static_cast<uint32_t>(slot));
        ins.entry_override.erase(static_cast<uint32_t>(slot));
    }
    return true;
}

void SIMI_make_dirs(sim_instrument_t& ins, const std::string& path) {
    for (size_t pos = path.find('/'); pos != std::string::npos; pos = path.find('/', pos + 1))
        if (pos > 0) ins.dirs.insert(path.substr(0, pos));
}

sim_entry_t SIMI_entry(const sim_instrument_t& ins, uint32_t slot) {
    const bool has_record = ins.files.count(SIMI_slot_name("meas/meas", slot, ".dat")) != 0;
    auto ov = ins.entry_override.find(slot);
    if (ov == ins.entry_override.end() && !has_record) return {};
    uint8_t flags = 0;
    if (ins.files.count(SIMI_slot_name("notes/rec", slot, ".wav"))) flags |= LE_NOTE;
    if (ins.files.count(SIMI_slot_name("aux/aux", slot, ".dat"))) flags |= LE_AUX;
    if (ov != ins.entry_override.end())
        return {ov->second.value, ov->second.flags >= 0 ? static_cast<uint8_t>(ov->second.flags) : flags};
    auto seq = ins.entry_seq.find(slot);
    return {seq != ins.entry_seq.end() ? seq->second : slot + 1, flags};
}

void SIMI_set_entry(sim_instrument_t& ins, uint32_t slot, uint32_t value, int32_t flags) {
    if (value == 0) {
        ins.entry_override.erase(slot);
        return;
    }
    ins.entry_override[slot] = {value, flags};
    // New records must come after every value set here (the top two are markers).
    if (value < UINT32_MAX - 1 && value >= ins.next_seq) ins.next_seq = value + 1;
}

void SIMI_clear_log(sim_instrument_t& ins, uint32_t selector) {
    std::vector<std::string> doomed;
    for (const auto& [name, content] : ins.files) {
        const bool record = SIMI_parse_slot(name, "meas/meas", ".dat") >= 0 ||
                            SIMI_parse_slot(name, "meas/", ".uid") >= 0 || name == "meas/last.dat";
        const bool note = SIMI_parse_slot(name, "notes/rec", ".wav") >= 0;
        const bool aux = SIMI_parse_slot(name, "aux/aux", ".dat") >= 0;
        if ((record && (selector & 1u)) || (note && (selector & 2u)) || (aux && (selector & 4u)))
            doomed.push_back(name);
    }
    for (const auto& name : doomed) SIMI_remove_file(ins, name);
    if (selector & 1u) ins.entry_override.clear();
}

int32_t SIMI_max_stored(const sim_instrument_t& ins) { return get_i32le(ins.params.data(), PARAMS_OFF_MAX_STORED_MEAS); }

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
    abort_measurement(ins);
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
    const time_t now = time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    ins.clock_secs = static_cast<int64_t>(timegm(&tm));
    ins.clock_host = sim_clock::now();
}

sim_clock::time_point SIMI_run_due(sim_t* s, sim_clock::time_point now, std::vector<std::vector<uint8_t>>* out) {
    sim_instrument_t& ins = s->ins;
    std::stable_sort(ins.schedule.begin(), ins.schedule.end(),
                     [](const sim_scheduled_t& a, const sim_scheduled_t& b) { return a.due < b.due; });
    while (!ins.schedule.empty() && ins.schedule.front().due <= now) {
        const sim_scheduled_t a = ins.schedule.front();
        ins.schedule.erase(ins.schedule.begin());
        if (a.generation != ins.generation) continue;
        switch (a.kind) {
            case sim_action_t::ready:
                if (ins.state == SIM_STATE_PREPARE) ins.state = SIM_STATE_READY;
                break;
            case sim_action_t::progress:
                if (ins.meas == sim_meas_t::single_running) {
                    const float f = static_cast<float>(a.arg) / static_cast<float>(MEAS_PROGRESS_STEPS + 1);
                    out->push_back(live(LIVE_PROGRESS, a.arg, meas_kappa(ins.meas_counter) * f,
                                        meas_sigma(ins.meas_counter) * f));
                }
                break;
            case sim_action_t::finish:
                if (ins.meas == sim_meas_t::single_running) finish_single(ins, out);
                break;
        }
    }
    return ins.schedule.empty() ? sim_clock::time_point::max() : ins.schedule.front().due;
}

sim_reply_t SIMI_handle(sim_t* s, uint16_t code, std::span<const uint8_t> p, sim_clock::time_point now) {
    sim_instrument_t& ins = s->ins;
    const service_t* svc = nullptr;
    for (const auto& e : kServices)
        if (e.code == code) svc = &e;
    if (svc == nullptr) {
        sim_reply_t r;
        r.answer = true;
        r.code = MXX_CODE_REJECT;
        r.status = SIM_ST_FAIL;
        r.payload.resize(2);
        put_u16le(r.payload.data(), 0, code);
        return r;
    }
    if (svc->size >= 0 && p.size() != static_cast<size_t>(svc->size)) return fail(code, SIM_ST_SIZE);
    if (code == C_WRITE_FLASH && p.size() < 3) return fail(code, SIM_ST_SIZE);
    if (code == C_WRITE_FILE && p.size() < FILE_REQ_SIZE) return fail(code, SIM_ST_SIZE);

    switch (code) {
        case C_FW_VERSION: {
            std::vector<uint8_t> a(8, 0);
            std::memcpy(a.data(), ins.fw_version.data(), std::min<size_t>(8, ins.fw_version.size()));
            return ok(code, std::move(a));
        }
        case C_GET_TIME: {
            int32_t t[6];
            SIMI_get_clock(ins, t);
            std::vector<uint8_t> a(DT_SIZE);
            for (size_t i = 0; i < 6; ++i) put_i32le(a.data(), 4 * i, t[i]);
            return ok(code, std::move(a));
        }
        case C_SET_TIME: {
            int32_t t[6];
            for (size_t i = 0; i < 6; ++i) t[i] = get_i32le(p.data(), 4 * i);
            return SIMI_set_clock(ins, t) ? ok(code) : fail(code, SIM_ST_FAIL);
        }
        case C_GET_SERIAL: return ok(code, std::vector<uint8_t>(ins.serial.begin(), ins.serial.end()));
        case C_GET_MODEL: return ok(code, u32_payload(ins.model));
        case C_HEAP: {
            std::vector<uint8_t> a(4 + ins.heap_text.size() + 1, 0);
            put_i32le(a.data(), 0, ins.heap_avail);
            std::memcpy(a.data() + 4, ins.heap_text.data(), ins.heap_text.size());
            return ok(code, std::move(a));
        }
        case C_RESTART: {
            reboot(s, now);
            return sim_reply_t{};  // the instrument is gone before it could answer
        }
        case C_SEND_EVENT: return on_event(s, get_u32le(p.data(), 0), now);
        case C_SET_STATE: return on_set_state(s, get_u32le(p.data(), 0), now);
        case C_GET_STATE: return ok(code, u32_payload(ins.state));
        case C_ERASE_FLASH: {
            std::fill(ins.flash.begin(), ins.flash.end(), 0xFF);
            ins.flash_block = effective_block(s->settings.flash_block_size);
            return ok(code, u32_payload(static_cast<uint32_t>(s->settings.flash_block_size)));
        }
        case C_READ_FLASH: {
            const size_t off = static_cast<size_t>(get_u16le(p.data(), 0)) * FLASH_READ_BLOCK;
            if (off + FLASH_READ_BLOCK > ins.flash.size()) return fail(code, SIM_ST_FAIL);
            return ok(code, std::vector<uint8_t>(ins.flash.begin() + static_cast<std::ptrdiff_t>(off),
                                                 ins.flash.begin() + static_cast<std::ptrdiff_t>(off + FLASH_READ_BLOCK)));
        }
        case C_WRITE_FLASH: return on_write_flash(s, p);
        case C_FLASH_FW: return on_flash_fw(s, p, now);
        case C_SET_SERIAL:
            ins.serial.assign(reinterpret_cast<const char*>(p.data()), 8);
            return ok(code);
        case C_SET_MODEL: ins.model = get_u32le(p.data(), 0); return ok(code);
        case C_GET_PARAMS: return ok(code, ins.params);
        case C_SET_PARAMS:
            std::memcpy(ins.params.data(), p.data(), PARAMS_SET_SIZE);
            put_u16le(ins.status.data(), ST_CONTRAST, get_u8(ins.params.data(), PARAMS_OFF_CONTRAST));
            return ok(code);
        case C_GET_STATUS: return ok(code, ins.status);
        case C_ENTRY_LIST: return on_entry_list(s, get_u32le(p.data(), 0));
        case C_CLEAR_LOGS: SIMI_clear_log(ins, get_u32le(p.data(), 0)); return ok(code);
        case C_FILE_INFO: return on_file_info(s, p);
        case C_WRITE_FILE: return on_write_file(s, p);
        case C_READ_FILE: return on_read_file(s, p);
        case C_MEASURE: {
            const double n = ins.sample_counter++;
            const double v = 20000.0 * std::sin(2.0 * M_PI * n / 50.0) + 3000.0 * std::sin(2.0 * M_PI * n / 7.0);
            return ok(code, u32_payload(static_cast<uint32_t>(static_cast<int32_t>(std::lround(v)))));
        }
        case C_GET_SCREEN: return ok(code, SIMI_screen(ins));
        default: break;
    }
    return fail(code, SIM_ST_FAIL);
}

uint8_t SIM_raw_byte(uint32_t offset) {
    static constexpr char kBoot[] = "QM38SIM STORAGE IMAGE";
    if (offset < sizeof kBoot - 1) return static_cast<uint8_t>(kBoot[offset]);
    if (offset == 510) return 0x55;
    if (offset == 511) return 0xAA;
    if (offset < 512) return 0;
    // splitmix64 of the 8-byte block index: cheap, deterministic, no state.
    uint64_t z = (offset / 8) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<uint8_t>(z >> (8 * (offset % 8)));
}
