// Scenario files: JSON text applied to an instrument (format: sim/scenario.h).
// Exceptions stay inside this file; callers get 0 or -1 and a reason.
#include "sim/scenario.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <limits>
#include <stdexcept>

#include "link/mxx_frame.h"
#include "records/meas.h"
#include "records/wire.h"
#include "sim/sim_internal.h"

namespace {

using json = nlohmann::json;

struct scenario_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void bad(const std::string& what) { throw scenario_error(what); }

int64_t integer(const json& v, int64_t lo, int64_t hi, const std::string& what) {
    int64_t x;
    if (v.is_boolean()) x = v.get<bool>() ? 1 : 0;
    else if (v.is_number_unsigned()) {
        const uint64_t u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) bad(what + ": out of range");
        x = static_cast<int64_t>(u);
    } else if (v.is_number_integer()) x = v.get<int64_t>();
    else bad(what + ": integer expected");
    if (x < lo || x > hi) bad(what + ": out of range");
    return x;
}

std::string text(const json& v, const std::string& what) {
    if (!v.is_string()) bad(what + ": text expected");
    return v.get<std::string>();
}

std::vector<uint8_t> hex_bytes(const json& v, const std::string& what) {
    std::string h;
    for (char c : text(v, what))
        if (c != ' ' && c != ':' && c != '\n') h.push_back(c);
    if (h.size() % 2 != 0) bad(what + ": odd number of hex digits");
    std::vector<uint8_t> out(h.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned b = 0;
        for (size_t k = 0; k < 2; ++k) {
            const char c = h[2 * i + k];
            int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                     : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (d < 0) bad(what + ": not a hex digit");
            b = b * 16 + static_cast<unsigned>(d);
        }
        out[i] = static_cast<uint8_t>(b);
    }
    return out;
}

void put_bytes(std::vector<uint8_t>& buf, size_t off, const std::vector<uint8_t>& bytes, const std::string& what) {
    if (off > buf.size() || bytes.size() > buf.size() - off) bad(what + ": beyond the end of the record");
    std::memcpy(buf.data() + off, bytes.data(), bytes.size());
}

void put_element(std::vector<uint8_t>& buf, const sim_field_t& f, size_t index, const json& v,
                 const std::string& what) {
    const size_t off = f.offset + index * SIMREC_ftype_size(f.type);
    if (off + SIMREC_ftype_size(f.type) > buf.size()) bad(what + ": beyond the end of the record");
    uint8_t* p = buf.data();
    switch (f.type) {
        case sim_ftype::u8: put_u8(p, off, static_cast<uint8_t>(integer(v, 0, 255, what))); break;
        case sim_ftype::u16: put_u16le(p, off, static_cast<uint16_t>(integer(v, 0, 65535, what))); break;
        case sim_ftype::i32:
        case sim_ftype::u32:
            // Either reading of the 32 bits is accepted: -1 and 4294967295 store the same word.
            put_u32le(p, off, static_cast<uint32_t>(integer(v, INT32_MIN, UINT32_MAX, what)));
            break;
        case sim_ftype::f32:
            if (!v.is_number()) bad(what + ": number expected");
            put_f32le(p, off, v.get<float>());
            break;
        case sim_ftype::text: break;
    }
}

// "name" or "name[i]" of a table field.
void put_field(std::vector<uint8_t>& buf, std::span<const sim_field_t> table, const std::string& key, const json& v) {
    std::string name = key;
    int64_t index = -1;
    const size_t br = key.find('[');
    if (br != std::string::npos && key.back() == ']') {
        name = key.substr(0, br);
        const std::string digits = key.substr(br + 1, key.size() - br - 2);
        if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos)
            bad(key + ": bad index");
        index = std::stoll(digits);
    }
    const sim_field_t* f = SIMREC_find(table, name);
    if (f == nullptr) bad(key + ": no such field");
    if (f->type == sim_ftype::text) {
        const std::string t = text(v, key);
        if (t.size() > f->count) bad(key + ": text longer than the field");
        std::memset(buf.data() + f->offset, 0, f->count);
        std::memcpy(buf.data() + f->offset, t.data(), t.size());
        return;
    }
    if (index >= 0) {
        if (index >= f->count) bad(key + ": index beyond the array");
        put_element(buf, *f, static_cast<size_t>(index), v, key);
    } else if (v.is_array()) {
        if (v.size() > f->count) bad(key + ": more elements than the array holds");
        for (size_t i = 0; i < v.size(); ++i) put_element(buf, *f, i, v[i], key);
    } else {
        if (f->count != 1) bad(key + ": array expected");
        put_element(buf, *f, 0, v, key);
    }
}

void put_offset_bytes(std::vector<uint8_t>& buf, const json& obj, const std::string& what) {
    if (!obj.is_object()) bad(what + ": object expected");
    for (const auto& [k, v] : obj.items()) {
        if (k.empty() || k.size() > 6 || k.find_first_not_of("0123456789") != std::string::npos)
            bad(what + ": bad offset " + k);
        put_bytes(buf, std::stoul(k), hex_bytes(v, what), what);
    }
}

void apply_record_fields(std::vector<uint8_t>& buf, std::span<const sim_field_t> table, const json& obj,
                         const std::string& what, const std::set<std::string>& handled) {
    if (!obj.is_object()) bad(what + ": object expected");
    if (obj.contains("hex")) put_bytes(buf, 0, hex_bytes(obj["hex"], what), what);
    for (const auto& [k, v] : obj.items()) {
        if (k == "hex" || k == "bytes" || handled.count(k)) continue;
        put_field(buf, table, k, v);
    }
}

std::vector<uint8_t> make_record(const json& r) {
    static const std::set<std::string> handled = {"type", "curve_s", "curve_c", "bh_kind",
                                                  "susc_cgs", "cond_ohm_m", "gps", "marks"};
    std::vector<uint8_t> rec(MR_SIZE, 0);
    apply_record_fields(rec, SIMREC_meas_fields(), r, "record", handled);
    uint32_t tw = get_u32le(rec.data(), MR_TYPE_WORD);
    auto part = [&](const char* key, uint32_t mask, uint32_t shift) {
        if (!r.contains(key)) return;
        const auto v = static_cast<uint32_t>(integer(r[key], 0, mask, key));
        tw = (tw & ~(mask << shift)) | (v << shift);
    };
    part("type", 0x3, 0);
    part("curve_s", 0xFF, TW_CURVE_S_SHIFT);
    part("curve_c", 0xFF, TW_CURVE_C_SHIFT);
    part("bh_kind", 0xFF, TW_BH_KIND_SHIFT);
    part("susc_cgs", 1, 26);
    part("cond_ohm_m", 1, 27);
    put_u32le(rec.data(), MR_TYPE_WORD, tw);
    if (r.contains("gps")) {
        const json& g = r["gps"];
        if (!g.is_object()) bad("gps: object expected");
        if (g.contains("lat") || g.contains("lon")) {
            const double lat = g.value("lat", 0.0);
            const double lon = g.value("lon", 0.0);
            if (lat < -90 || lat > 90 || lon < -180 || lon > 180) bad("gps: position out of range");
            SIMREC_set_gps(rec.data(), lat, lon, g.value("valid", true),
                           static_cast<uint32_t>(integer(g.value("sats", json(0)), 0, 31, "gps.sats")),
                           static_cast<int32_t>(integer(g.value("alt", json(0)), INT32_MIN, INT32_MAX, "gps.alt")));
        } else {
            for (const auto& [k, v] : g.items()) put_field(rec, SIMREC_meas_fields(), "gps." + k, v);
        }
    }
    if (r.contains("marks")) {
        const json& m = r["marks"];
        if (!m.is_array()) bad("marks: array of point indices expected");
        for (const auto& i : m) meas_set_point_mark(rec.data(), static_cast<int32_t>(integer(i, 0, MR_POINTS - 1, "marks")), true);
    }
    if (r.contains("bytes")) put_offset_bytes(rec, r["bytes"], "record bytes");
    return rec;
}

std::vector<uint8_t> make_lut(const json& l) {
    if (!l.is_object()) bad("lut: object expected");
    std::vector<uint8_t> lut(LUT_SIZE, 0);
    const std::string name = l.contains("name") ? text(l["name"], "lut.name") : std::string();
    if (name.size() > 11) bad("lut.name: at most 11 characters");
    std::memcpy(lut.data() + LUT_NAME, name.data(), name.size());
    put_i32le(lut.data(), LUT_COUNT, static_cast<int32_t>(integer(l.value("count", json(LUT_PAIRS)), INT32_MIN,
                                                                   INT32_MAX, "lut.count")));
    for (const char* key : {"values", "conc"}) {
        if (!l.contains(key)) continue;
        const json& a = l[key];
        if (!a.is_array() || a.size() > LUT_PAIRS) bad(std::string("lut.") + key + ": up to 12 numbers");
        const size_t base = std::strcmp(key, "values") == 0 ? LUT_VALUE : LUT_CONC;
        for (size_t i = 0; i < a.size(); ++i) {
            if (!a[i].is_number()) bad(std::string("lut.") + key + ": number expected");
            put_f32le(lut.data(), base + 4 * i, a[i].get<float>());
        }
    }
    const uint32_t check = l.contains("check") ? static_cast<uint32_t>(integer(l["check"], 0, UINT32_MAX, "lut.check"))
                                               : SIMREC_lut_check(lut.data());
    put_u32le(lut.data(), LUT_CHECK, check);
    return lut;
}

std::vector<uint8_t> make_content(const std::string& name, const json& c) {
    if (!c.is_object() || c.size() != 1) bad(name + ": one of hex, text, size, wav, record, lut expected");
    const auto it = c.begin();
    const std::string kind = it.key();
    const json& v = it.value();
    if (kind == "hex") return hex_bytes(v, name);
    if (kind == "text") {
        const std::string t = text(v, name);
        return std::vector<uint8_t>(t.begin(), t.end());
    }
    if (kind == "size") {
        std::vector<uint8_t> b(static_cast<size_t>(integer(v, 0, 64 << 20, name)));
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>((i * 31 + 7) & 0xFF);
        return b;
    }
    if (kind == "wav") return SIMREC_make_wav(static_cast<uint32_t>(integer(v, 0, 16 << 20, name)), 1);
    if (kind == "record") return make_record(v);
    if (kind == "lut") return make_lut(v);
    bad(name + ": unknown content kind " + kind);
}

void apply_faults(sim_faults_t& f, const json& j) {
    if (!j.is_object()) bad("faults: object expected");
    f = sim_faults_t{};
    for (const auto& [k, v] : j.items()) {
        if (k == "drop_first") f.drop_first = static_cast<int32_t>(integer(v, 0, INT32_MAX, k));
        else if (k == "drop_every") f.drop_every = static_cast<int32_t>(integer(v, 0, INT32_MAX, k));
        else if (k == "status_only") f.status_only = static_cast<int32_t>(integer(v, -1, 255, k));
        else if (k == "reject") f.reject = integer(v, 0, 1, k) != 0;
        else if (k == "corrupt_every") f.corrupt_every = static_cast<int32_t>(integer(v, 0, INT32_MAX, k));
        else if (k == "stray") f.stray = static_cast<int32_t>(integer(v, 0, 4096, k));
        else if (k == "stray_b") f.stray_b = static_cast<int32_t>(integer(v, 0, 4096, k));
        else if (k == "false_header") f.false_header = integer(v, 0, 1, k) != 0;
        else if (k == "answer_size") f.answer_size = static_cast<int32_t>(integer(v, -1, MXX_MAX_PAYLOAD, k));
        else if (k == "split") f.split = static_cast<int32_t>(integer(v, 0, 65535, k));
        else if (k == "delay_ms") f.delay_ms = static_cast<int32_t>(integer(v, 0, 600000, k));
        else if (k == "delay_every") f.delay_every = static_cast<int32_t>(integer(v, 0, INT32_MAX, k));
        else if (k == "size_every") f.size_every = static_cast<int32_t>(integer(v, 0, INT32_MAX, k));
        else if (k == "ignore_probe") f.ignore_probe = integer(v, 0, 1, k) != 0;
        else if (k == "drop_link_after") f.drop_link_after = static_cast<int32_t>(integer(v, 0, INT32_MAX, k));
        else if (k == "baud") f.baud = static_cast<int32_t>(integer(v, 0, 100000000, k));
        else if (k == "only_code") f.only_code = static_cast<uint16_t>(integer(v, 0, 65535, k));
        else if (k == "fail_codes") {
            if (!v.is_object()) bad("fail_codes: object expected");
            for (const auto& [code, st] : v.items()) {
                if (code.empty() || code.size() > 5 || code.find_first_not_of("0123456789") != std::string::npos)
                    bad("fail_codes: bad code " + code);
                const unsigned long c = std::stoul(code);
                if (c > 65535) bad("fail_codes: bad code " + code);
                f.fail_codes[static_cast<uint16_t>(c)] = static_cast<uint8_t>(integer(st, 1, 255, "fail_codes"));
            }
        } else if (k == "silent_codes") {
            if (!v.is_array()) bad("silent_codes: array expected");
            for (const auto& c : v) f.silent_codes.insert(static_cast<uint16_t>(integer(c, 0, 65535, k)));
        } else {
            bad("faults: unknown fault " + k);
        }
    }
}

void apply_settings(sim_settings_t& st, const json& j) {
    if (!j.is_object()) bad("settings: object expected");
    for (const auto& [k, v] : j.items()) {
        if (k == "reboot_ms") st.reboot_ms = static_cast<int32_t>(integer(v, 0, 600000, k));
        else if (k == "arm_delay_ms") st.arm_delay_ms = static_cast<int32_t>(integer(v, 0, 600000, k));
        else if (k == "meas_ms") st.meas_ms = static_cast<int32_t>(integer(v, 0, 600000, k));
        else if (k == "flash_block_size")
            st.flash_block_size = static_cast<int32_t>(integer(v, 0, static_cast<int64_t>(SIM_FLASH_SIZE), k));
        else if (k == "raw_size") st.raw_size = static_cast<uint32_t>(integer(v, 0, UINT32_MAX, k));
        else if (k == "storage_limit") st.storage_limit = static_cast<uint32_t>(integer(v, 0, UINT32_MAX, k));
        else bad("settings: unknown setting " + k);
    }
}

void apply(sim_instrument_t& ins, sim_settings_t& st, sim_faults_t& faults, const json& j, bool allow_base) {
    static const std::set<std::string> known = {
        "base",   "log_records", "clear_log", "serial", "fw_version", "model", "clock",   "state",  "heap",
        "settings", "params",    "status",    "dirs",   "files",      "entries", "faults"};
    if (!j.is_object()) bad("a scenario is a JSON object");
    for (const auto& [k, v] : j.items())
        if (!known.count(k)) bad("unknown key " + k);

    if (j.contains("base") || j.contains("log_records")) {
        if (!allow_base) bad("base: only when creating an instrument");
        const std::string base = j.contains("base") ? text(j["base"], "base") : std::string("demo");
        if (base == "demo") SIMD_build_demo(ins);
        else if (base == "empty") SIMD_build_empty(ins);
        else if (base == "log")
            SIMD_build_log(ins, static_cast<int32_t>(integer(j.value("log_records", json(4000)), 0, 65535, "log_records")));
        else bad("base: demo, empty or log");
    } else if (allow_base) {
        SIMD_build_demo(ins);
    }
    if (j.contains("clear_log") && integer(j["clear_log"], 0, 1, "clear_log")) SIMI_clear_log(ins, 0xFF);
    if (j.contains("serial")) {
        const std::string s = text(j["serial"], "serial");
        if (s.size() > 8) bad("serial: at most 8 characters");
        ins.serial = s;
        ins.serial.resize(8, '\0');
    }
    if (j.contains("fw_version")) {
        const std::string v = text(j["fw_version"], "fw_version");
        if (v.size() > 8) bad("fw_version: at most 8 characters");
        ins.fw_version = v;
    }
    if (j.contains("model")) ins.model = static_cast<uint32_t>(integer(j["model"], 0, UINT32_MAX, "model"));
    if (j.contains("clock")) {
        const json& c = j["clock"];
        if (!c.is_array() || c.size() != 6) bad("clock: [year, month, day, hour, minute, second] expected");
        int32_t t[6];
        for (size_t i = 0; i < 6; ++i) t[i] = static_cast<int32_t>(integer(c[i], 0, 9999, "clock"));
        if (!SIMI_set_clock(ins, t)) bad("clock: not a valid date and time");
    }
    if (j.contains("state")) ins.state = static_cast<uint32_t>(integer(j["state"], 0, UINT32_MAX, "state"));
    if (j.contains("heap")) {
        const json& h = j["heap"];
        if (!h.is_object()) bad("heap: object expected");
        if (h.contains("avail")) ins.heap_avail = static_cast<int32_t>(integer(h["avail"], INT32_MIN, INT32_MAX, "heap.avail"));
        if (h.contains("text")) {
            ins.heap_text = text(h["text"], "heap.text");
            if (ins.heap_text.size() > 4000) bad("heap.text: too long");
        }
    }
    if (j.contains("settings")) apply_settings(st, j["settings"]);
    if (j.contains("params")) {
        const json& p = j["params"];
        if (!p.is_object()) bad("params: object expected");
        if (p.contains("size")) ins.params.resize(static_cast<size_t>(integer(p["size"], PARAMS_SET_SIZE, 65533, "params.size")), 0);
        apply_record_fields(ins.params, SIMREC_params_fields(), p, "params", {"size"});
        if (p.contains("bytes")) put_offset_bytes(ins.params, p["bytes"], "params bytes");
    }
    if (j.contains("status")) {
        apply_record_fields(ins.status, SIMREC_status_fields(), j["status"], "status", {});
        if (j["status"].contains("bytes")) put_offset_bytes(ins.status, j["status"]["bytes"], "status bytes");
    }
    if (j.contains("dirs")) {
        const json& d = j["dirs"];
        if (!d.is_array()) bad("dirs: array expected");
        for (const auto& name : d) {
            const std::string n = text(name, "dirs");
            if (n.empty() || n.size() > FILE_REQ_NAME_SIZE) bad("dirs: bad name " + n);
            SIMI_make_dirs(ins, n + "/");
        }
    }
    if (j.contains("files")) {
        const json& f = j["files"];
        if (!f.is_object()) bad("files: object expected");
        for (const auto& [name, content] : f.items()) {
            if (name.empty() || name.size() > FILE_REQ_NAME_SIZE || name == "raw") bad("files: bad name " + name);
            if (content.is_null()) {
                SIMI_remove_file(ins, name);
                continue;
            }
            std::vector<uint8_t> bytes = make_content(name, content);
            SIMI_make_dirs(ins, name);
            SIMI_remove_file(ins, name);  // a replaced record takes a fresh entry value
            SIMI_put_file(ins, name, std::move(bytes));
        }
    }
    if (j.contains("entries")) {
        const json& e = j["entries"];
        if (!e.is_object()) bad("entries: object expected");
        for (const auto& [slot, v] : e.items()) {
            if (slot.empty() || slot.size() > 10 || slot.find_first_not_of("0123456789") != std::string::npos)
                bad("entries: bad slot " + slot);
            const unsigned long long sl = std::stoull(slot);
            if (sl > UINT32_MAX) bad("entries: bad slot " + slot);
            uint32_t value;
            int32_t flags = -1;
            if (v.is_object()) {
                value = static_cast<uint32_t>(integer(v.value("value", json(0)), INT32_MIN, UINT32_MAX, "entries.value"));
                if (v.contains("flags")) flags = static_cast<int32_t>(integer(v["flags"], 0, 255, "entries.flags"));
            } else {
                value = static_cast<uint32_t>(integer(v, INT32_MIN, UINT32_MAX, "entries"));
            }
            SIMI_set_entry(ins, static_cast<uint32_t>(sl), value, flags);
        }
    }
    if (j.contains("faults")) apply_faults(faults, j["faults"]);
}

}  // namespace

int32_t SIMS_apply(sim_t* s, const std::string& text_in, bool allow_base, std::string* error) {
    try {
        const json j = json::parse(text_in);
        std::lock_guard lk(s->mu);
        // Work on copies so that a scenario with a mistake changes nothing.
        sim_instrument_t ins = s->ins;
        sim_settings_t st = s->settings;
        sim_faults_t faults = s->faults;
        apply(ins, st, faults, j, allow_base);
        const bool new_faults = j.contains("faults");
        s->ins = std::move(ins);
        s->settings = st;
        s->faults = faults;
        if (new_faults) {
            s->answer_counter = 0;
            s->corrupt_counter = 0;
        }
        s->tick_cv.notify_all();
        return 0;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return -1;
    }
}
