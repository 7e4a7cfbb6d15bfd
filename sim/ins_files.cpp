// The instrument's storage: device files and directories, the log entry
// table over the record files, the storage image. Runs with sim_t::mu held.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "records/wire.h"
#include "services/r40_comm.h"
#include "services/r62_comm.h"
#include "sim/sim_internal.h"

namespace {

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

}  // namespace

sim_reply_t SIMI_on_file_info(sim_t* s, uint16_t, std::span<const uint8_t> p, sim_clock::time_point) {
    const std::string name = request_name(p);
    std::vector<uint8_t> a(FILE_INFO_SIZE, 0);
    if (name == "raw") {
        put_u32le(a.data(), 0, s->settings.raw_size);
    } else if (const auto* f = find_file(s->ins, name)) {
        put_u32le(a.data(), 0, static_cast<uint32_t>(f->size()));
    } else if (name.empty() || !dir_exists(s->ins, name)) {
        return SIMI_fail(R62_CODE_FILE_INFO, SIM_ST_NOFILE);
    }
    return SIMI_ok(R62_CODE_FILE_INFO, std::move(a));
}

sim_reply_t SIMI_on_read_file(sim_t* s, uint16_t, std::span<const uint8_t> p, sim_clock::time_point) {
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
        return SIMI_fail(R62_CODE_READ_FILE, SIM_ST_NOFILE);
    }
    const uint32_t count = offset >= size ? 0 : std::min(want, size - offset);
    std::vector<uint8_t> a(4 + count);
    put_i32le(a.data(), 0, static_cast<int32_t>(count));
    if (f != nullptr) {
        std::memcpy(a.data() + 4, f->data() + offset, count);
    } else {
        for (uint32_t i = 0; i < count; ++i) a[4 + i] = SIM_raw_byte(offset + i);
    }
    return SIMI_ok(R62_CODE_READ_FILE, std::move(a));
}

sim_reply_t SIMI_on_write_file(sim_t* s, uint16_t, std::span<const uint8_t> p, sim_clock::time_point) {
    if (p.size() < FILE_REQ_SIZE) return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_SIZE);
    sim_instrument_t& ins = s->ins;
    const uint32_t op = get_u32le(p.data(), FILE_REQ_OFF_PARAM);
    const uint32_t n = get_u32le(p.data(), FILE_REQ_OFF_SIZE);
    if (p.size() - FILE_REQ_SIZE != n) return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_SIZE);
    if (op != FILE_OP_APPEND && n != 0) return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_SIZE);
    const std::string name = request_name(p);
    if (name.empty() || name == "raw") return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_FAIL);
    const bool is_file = ins.files.count(name) != 0;
    const bool is_dir = ins.dirs.count(name) != 0;
    switch (op) {
        case FILE_OP_MKDIR:
            if (is_dir) break;  // existing directory: fine, the table writer relies on it
            if (is_file) return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_FAIL);
            if (!dir_exists(ins, parent_of(name))) return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_NOFILE);
            ins.dirs.insert(name);
            break;
        case FILE_OP_CREATE:
            if (is_dir) return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_FAIL);
            if (!dir_exists(ins, parent_of(name))) return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_NOFILE);
            SIMI_put_file(ins, name, {});
            break;
        case FILE_OP_APPEND: {
            if (!is_file) return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_NOFILE);
            if (ins.file_bytes + n > s->settings.storage_limit) return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_FAIL);
            std::vector<uint8_t>& f = ins.files[name];
            f.insert(f.end(), p.begin() + FILE_REQ_SIZE, p.end());
            ins.file_bytes += n;
            break;
        }
        case FILE_OP_DELETE:
            if (is_file) {
                SIMI_remove_file(ins, name);
            } else if (is_dir) {
                if (!dir_empty(ins, name)) return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_FAIL);
                ins.dirs.erase(name);
            }
            break;  // a missing file is already gone: success, the purge relies on it
        default:
            return SIMI_fail(R62_CODE_WRITE_FILE, SIM_ST_FAIL);
    }
    return SIMI_ok(R62_CODE_WRITE_FILE);
}

sim_reply_t SIMI_on_entry_list(sim_t* s, uint16_t, std::span<const uint8_t> p, sim_clock::time_point) {
    const uint32_t first = get_u32le(p.data(), 0);
    std::vector<uint8_t> a(LE_SIZE * LE_PER_ANSWER, 0);
    for (size_t i = 0; i < LE_PER_ANSWER; ++i) {
        const uint64_t slot = static_cast<uint64_t>(first) + i;
        if (slot > UINT32_MAX) break;
        const sim_entry_t e = SIMI_entry(s->ins, static_cast<uint32_t>(slot));
        put_u32le(a.data(), i * LE_SIZE, e.value);
        put_u8(a.data(), i * LE_SIZE + 4, e.flags);
    }
    return SIMI_ok(R62_CODE_GET_LOG_ENTRIES, std::move(a));
}

sim_reply_t SIMI_on_clear_logs(sim_t* s, uint16_t code, std::span<const uint8_t> p, sim_clock::time_point) {
    SIMI_clear_log(s->ins, get_u32le(p.data(), 0));
    return SIMI_ok(code);
}

namespace {

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

}  // namespace

std::vector<uint8_t> SIMI_new_record(const sim_instrument_t& ins, uint32_t type) {
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

void SIMI_store_record(sim_instrument_t& ins, const std::vector<uint8_t>& rec) {
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
