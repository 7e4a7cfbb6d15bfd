// Simulator internals shared by the instrument model (ins_*.cpp), the
// generators (demo.cpp), scenarios (scenario.cpp) and the server (server.cpp).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/records.h"
#include "sim/sim.h"

using sim_clock = std::chrono::steady_clock;

struct sim_endpoint_t;
struct sim_listener_t;

enum class sim_meas_t : uint8_t { none, single_armed, single_running, scanning };
enum class sim_action_t : uint8_t { ready, progress, finish };

struct sim_scheduled_t {
    sim_clock::time_point due;
    sim_action_t kind;
    int32_t arg;
    uint64_t generation;  // stale when the measurement it belongs to was reset
};

struct sim_entry_override_t {
    uint32_t value;
    int32_t flags;  // -1: derived from the files
};

// The instrument; every field is guarded by sim_t::mu.
struct sim_instrument_t {
    std::string serial = std::string("A0001234");  // exactly 8 bytes
    std::string fw_version = "2.17";
    uint32_t model = 0x1103;
    std::vector<uint8_t> params;
    std::vector<uint8_t> status;
    int32_t heap_avail = 23456;
    std::string heap_text;

    std::map<std::string, std::vector<uint8_t>> files;
    std::set<std::string> dirs;
    uint64_t file_bytes = 0;
    std::map<uint32_t, sim_entry_override_t> entry_override;
    std::map<uint32_t, uint32_t> entry_seq;  // slot -> value of its record file
    uint32_t next_seq = 1;

    std::vector<uint8_t> flash;
    int32_t flash_block = 64;  // block size in effect for writes
    int32_t flash_count = 0;

    int64_t clock_secs = 0;  // device time (seconds, calendar arithmetic) at clock_host
    sim_clock::time_point clock_host{};

    uint32_t state = SIM_STATE_IDLE;
    std::vector<uint32_t> arm_events;
    sim_meas_t meas = sim_meas_t::none;
    std::vector<std::pair<float, float>> scan_points;
    int32_t meas_counter = 0;
    int32_t sample_counter = 0;
    float last_kappa = 0.0f;
    float last_sigma = 0.0f;
    std::vector<sim_scheduled_t> schedule;
    uint64_t generation = 0;
    std::weak_ptr<sim_endpoint_t> owner;  // receives the live frames

    int32_t restart_count = 0;
    sim_clock::time_point reboot_until{};
};

struct sim_t {
    std::mutex mu;
    sim_instrument_t ins;
    sim_faults_t faults;
    sim_settings_t settings;
    int64_t answer_counter = 0;
    int64_t corrupt_counter = 0;
    std::vector<sim_request_t> requests;
    std::condition_variable requests_cv;
    std::function<void(const sim_request_t&)> hook;

    std::condition_variable tick_cv;
    bool stopping = false;
    std::thread ticker;

    std::mutex ep_mu;  // never taken while holding mu
    std::vector<std::shared_ptr<sim_endpoint_t>> endpoints;
    std::vector<std::shared_ptr<sim_listener_t>> listeners;
};

// An answer decided by the instrument.
struct sim_reply_t {
    bool answer = false;
    uint16_t code = 0;
    uint8_t status = 0;
    std::vector<uint8_t> payload;
    std::vector<std::vector<uint8_t>> live;  // live_event payloads sent right after the answer
    bool scheduled = false;                  // new actions were scheduled: wake the ticker
};

// ---- ins_*.cpp, the instrument by family (callers hold sim_t::mu) ----
using sim_handler_fn = sim_reply_t (*)(sim_t* s, uint16_t code, std::span<const uint8_t> payload,
                                       sim_clock::time_point now);
sim_reply_t SIMI_ok(uint16_t code, std::vector<uint8_t> payload = {});
sim_reply_t SIMI_fail(uint16_t code, uint8_t status);
std::vector<uint8_t> SIMI_u32(uint32_t v);
void SIMI_reboot(sim_t* s, sim_clock::time_point now);  // the answer goes out, then silence
// ins_files.cpp
sim_reply_t SIMI_on_file_info(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
sim_reply_t SIMI_on_read_file(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
sim_reply_t SIMI_on_write_file(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
sim_reply_t SIMI_on_entry_list(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
sim_reply_t SIMI_on_clear_logs(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
// A new record goes to meas/last.dat and the first free slot (the oldest when full).
void SIMI_store_record(sim_instrument_t& ins, const std::vector<uint8_t>& rec);
// ins_measure.cpp
sim_reply_t SIMI_on_send_event(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
sim_reply_t SIMI_on_set_state(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
sim_reply_t SIMI_on_get_state(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
sim_reply_t SIMI_on_measure(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
void SIMI_abort_measurement(sim_instrument_t& ins);
// A record of the given type stamped with the clock, settings and a position.
std::vector<uint8_t> SIMI_new_record(const sim_instrument_t& ins, uint32_t type);
// ins_flash.cpp
sim_reply_t SIMI_on_erase_flash(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
sim_reply_t SIMI_on_read_flash(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
sim_reply_t SIMI_on_write_flash(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
sim_reply_t SIMI_on_flash_fw(sim_t*, uint16_t, std::span<const uint8_t>, sim_clock::time_point);
// the rest
void SIMI_init(sim_t* s);  // empty instrument: directories, params, status, flash, clock
sim_reply_t SIMI_handle(sim_t* s, uint16_t code, std::span<const uint8_t> payload, sim_clock::time_point now);
// Runs due actions; appends live payloads. Returns the next due time, or max() when none.
sim_clock::time_point SIMI_run_due(sim_t* s, sim_clock::time_point now, std::vector<std::vector<uint8_t>>* live);
void SIMI_reset_volatile(sim_instrument_t& ins);
void SIMI_put_file(sim_instrument_t& ins, const std::string& name, std::vector<uint8_t> content);
bool SIMI_remove_file(sim_instrument_t& ins, const std::string& name);
void SIMI_make_dirs(sim_instrument_t& ins, const std::string& path);  // every directory of the path
sim_entry_t SIMI_entry(const sim_instrument_t& ins, uint32_t slot);
void SIMI_set_entry(sim_instrument_t& ins, uint32_t slot, uint32_t value, int32_t flags);
void SIMI_clear_log(sim_instrument_t& ins, uint32_t selector);
int32_t SIMI_max_stored(const sim_instrument_t& ins);
void SIMI_get_clock(const sim_instrument_t& ins, int32_t out[6]);
bool SIMI_set_clock(sim_instrument_t& ins, const int32_t in[6]);  // false: out of range
std::vector<uint8_t> SIMI_screen(const sim_instrument_t& ins);
std::string SIMI_slot_name(const char* prefix, uint32_t slot, const char* suffix);
// Slot of "meas/meas%.4d.dat" etc.; -1 when the name is not of that form.
int64_t SIMI_parse_slot(const std::string& name, const char* prefix, const char* suffix);

// ---- demo.cpp ----
void SIMD_build_demo(sim_instrument_t& ins);
void SIMD_build_log(sim_instrument_t& ins, int32_t records);
void SIMD_build_empty(sim_instrument_t& ins);

// ---- scenario.cpp ----
int32_t SIMS_apply(sim_t* s, const std::string& json, bool allow_base, std::string* error);

// ---- server.cpp ----
sim_t* SIMX_new();  // allocated instrument with its ticker running
