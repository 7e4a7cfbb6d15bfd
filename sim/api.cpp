// Creating instruments and reading or changing their state from outside.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "records/wire.h"
#include "sim/sim_internal.h"

namespace {

std::string eight(const std::string& text) {
    std::string s = text.substr(0, 8);
    s.resize(8, '\0');
    return s;
}

}  // namespace

sim_t* SIM_create_demo() {
    sim_t* s = SIMX_new();
    std::lock_guard lk(s->mu);
    SIMD_build_demo(s->ins);
    return s;
}

sim_t* SIM_create_log(int32_t records) {
    sim_t* s = SIMX_new();
    std::lock_guard lk(s->mu);
    SIMD_build_log(s->ins, records);
    return s;
}

sim_t* SIM_create_json(const std::string& json, std::string* error) {
    sim_t* s = SIMX_new();
    if (SIMS_apply(s, json, true, error) != 0) {
        SIM_destroy(s);
        return nullptr;
    }
    return s;
}

sim_t* SIM_create_file(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read scenario file " + path;
        return nullptr;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return SIM_create_json(text.str(), error);
}

int32_t SIM_apply_json(sim_t* s, const std::string& json, std::string* error) {
    return SIMS_apply(s, json, false, error);
}

std::vector<sim_request_t> SIM_requests(sim_t* s) {
    std::lock_guard lk(s->mu);
    return s->requests;
}

size_t SIM_request_count(sim_t* s, uint16_t code) {
    std::lock_guard lk(s->mu);
    if (code == 0) return s->requests.size();
    return static_cast<size_t>(
        std::count_if(s->requests.begin(), s->requests.end(), [code](const auto& r) { return r.code == code; }));
}

bool SIM_wait_requests(sim_t* s, uint16_t code, size_t n, int32_t timeout_ms) {
    std::unique_lock lk(s->mu);
    return s->requests_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] {
        if (code == 0) return s->requests.size() >= n;
        return static_cast<size_t>(std::count_if(s->requests.begin(), s->requests.end(),
                                                 [code](const auto& r) { return r.code == code; })) >= n;
    });
}

void SIM_clear_requests(sim_t* s) {
    std::lock_guard lk(s->mu);
    s->requests.clear();
}

void SIM_set_request_hook(sim_t* s, std::function<void(const sim_request_t&)> hook) {
    std::lock_guard lk(s->mu);
    s->hook = std::move(hook);
}

std::vector<uint8_t> SIM_get_params(sim_t* s) {
    std::lock_guard lk(s->mu);
    return s->ins.params;
}

int32_t SIM_set_params(sim_t* s, const std::vector<uint8_t>& record) {
    if (record.size() < PARAMS_SET_SIZE) return -1;
    std::lock_guard lk(s->mu);
    s->ins.params = record;
    return 0;
}

int32_t SIM_get_max_stored(sim_t* s) {
    std::lock_guard lk(s->mu);
    return SIMI_max_stored(s->ins);
}

std::string SIM_get_serial(sim_t* s) {
    std::lock_guard lk(s->mu);
    return std::string(s->ins.serial.c_str());
}

void SIM_set_serial(sim_t* s, const std::string& serial) {
    std::lock_guard lk(s->mu);
    s->ins.serial = eight(serial);
}

uint32_t SIM_get_model(sim_t* s) {
    std::lock_guard lk(s->mu);
    return s->ins.model;
}

void SIM_set_model(sim_t* s, uint32_t word) {
    std::lock_guard lk(s->mu);
    s->ins.model = word;
}

std::string SIM_get_fw_version(sim_t* s) {
    std::lock_guard lk(s->mu);
    return s->ins.fw_version;
}

void SIM_set_fw_version(sim_t* s, const std::string& version) {
    std::lock_guard lk(s->mu);
    s->ins.fw_version = version.substr(0, 8);
}

std::vector<uint8_t> SIM_get_status(sim_t* s) {
    std::lock_guard lk(s->mu);
    return s->ins.status;
}

void SIM_set_status(sim_t* s, const std::vector<uint8_t>& status) {
    std::lock_guard lk(s->mu);
    s->ins.status = status;
}

std::vector<uint8_t> SIM_get_screen(sim_t* s) {
    std::lock_guard lk(s->mu);
    return SIMI_screen(s->ins);
}

bool SIM_get_file(sim_t* s, const std::string& name, std::vector<uint8_t>* content) {
    std::lock_guard lk(s->mu);
    auto it = s->ins.files.find(name);
    if (it == s->ins.files.end()) return false;
    if (content) *content = it->second;
    return true;
}

void SIM_put_file(sim_t* s, const std::string& name, const std::vector<uint8_t>& content) {
    std::lock_guard lk(s->mu);
    SIMI_make_dirs(s->ins, name);
    SIMI_put_file(s->ins, name, content);
}

bool SIM_remove_file(sim_t* s, const std::string& name) {
    std::lock_guard lk(s->mu);
    return SIMI_remove_file(s->ins, name);
}

bool SIM_has_file(sim_t* s, const std::string& name) {
    std::lock_guard lk(s->mu);
    return s->ins.files.count(name) != 0;
}

bool SIM_has_dir(sim_t* s, const std::string& name) {
    std::lock_guard lk(s->mu);
    return s->ins.dirs.count(name) != 0;
}

std::vector<std::string> SIM_list_files(sim_t* s) {
    std::lock_guard lk(s->mu);
    std::vector<std::string> names;
    names.reserve(s->ins.files.size());
    for (const auto& f : s->ins.files) names.push_back(f.first);
    return names;
}

std::vector<uint8_t> SIM_read_raw(sim_t* s, uint32_t offset, uint32_t count) {
    uint32_t size;
    {
        std::lock_guard lk(s->mu);
        size = s->settings.raw_size;
    }
    std::vector<uint8_t> out;
    for (uint64_t o = offset; o < size && o < static_cast<uint64_t>(offset) + count; ++o)
        out.push_back(SIM_raw_byte(static_cast<uint32_t>(o)));
    return out;
}

sim_entry_t SIM_get_entry(sim_t* s, uint32_t slot) {
    std::lock_guard lk(s->mu);
    return SIMI_entry(s->ins, slot);
}

void SIM_set_entry(sim_t* s, uint32_t slot, uint32_t value, int32_t flags) {
    std::lock_guard lk(s->mu);
    SIMI_set_entry(s->ins, slot, value, flags);
}

std::vector<uint8_t> SIM_get_flash(sim_t* s) {
    std::lock_guard lk(s->mu);
    return s->ins.flash;
}

void SIM_set_flash(sim_t* s, const std::vector<uint8_t>& image) {
    std::lock_guard lk(s->mu);
    std::fill(s->ins.flash.begin(), s->ins.flash.end(), 0xFF);
    std::copy_n(image.begin(), std::min<size_t>(image.size(), s->ins.flash.size()), s->ins.flash.begin());
}

int32_t SIM_flash_count(sim_t* s) {
    std::lock_guard lk(s->mu);
    return s->ins.flash_count;
}

uint32_t SIM_get_state(sim_t* s) {
    std::lock_guard lk(s->mu);
    return s->ins.state;
}

void SIM_set_state(sim_t* s, uint32_t state) {
    std::lock_guard lk(s->mu);
    SIMI_reset_volatile(s->ins);
    s->ins.state = state;
}

void SIM_get_clock(sim_t* s, int32_t out[6]) {
    std::lock_guard lk(s->mu);
    SIMI_get_clock(s->ins, out);
}

void SIM_set_clock(sim_t* s, const int32_t in[6]) {
    std::lock_guard lk(s->mu);
    SIMI_set_clock(s->ins, in);
}

int32_t SIM_restart_count(sim_t* s) {
    std::lock_guard lk(s->mu);
    return s->ins.restart_count;
}

bool SIM_is_rebooting(sim_t* s) {
    std::lock_guard lk(s->mu);
    return sim_clock::now() < s->ins.reboot_until;
}

sim_faults_t SIM_get_faults(sim_t* s) {
    std::lock_guard lk(s->mu);
    return s->faults;
}

void SIM_set_faults(sim_t* s, const sim_faults_t& faults) {
    std::lock_guard lk(s->mu);
    s->faults = faults;
    s->answer_counter = 0;
    s->corrupt_counter = 0;
}

sim_settings_t SIM_get_settings(sim_t* s) {
    std::lock_guard lk(s->mu);
    return s->settings;
}

void SIM_set_settings(sim_t* s, const sim_settings_t& settings) {
    std::lock_guard lk(s->mu);
    s->settings = settings;
}
