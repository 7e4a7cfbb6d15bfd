// Instrument simulator: a simulated QM-38 V2 that answers the tool's MXX
// requests over a socket pair, a pseudo-terminal or TCP on 127.0.0.1.
//
// One sim_t is one instrument (parameters, files, log, flash, clock, state
// machine) plus the endpoints that serve it. All functions are thread-safe:
// tests inspect and change the instrument while endpoints serve it.
//
// Answers carry the request code + 1000 and a `timeout` field of 0 (the
// request's timeout is not echoed). A request the instrument refuses is
// answered under code + 1000 with a non-zero status and no payload, using
// the SIM_ST_* values below; an unknown request code is answered with a
// rejection frame (12290) whose payload is the rejected code (u16).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "records/live.h"

struct sim_t;

// Status bytes of refused requests.
enum : uint8_t {
    SIM_ST_FAIL = 1,      // refused (state, range, read-only, full storage)
    SIM_ST_SIZE = 2,      // payload size wrong for the service
    SIM_ST_NOFILE = 3,    // file or directory missing
    SIM_ST_CHECKSUM = 4,  // flashing order: image in flash does not match the checksum
};

// Instrument states reported by get-state (8024).
enum : uint32_t {
    SIM_STATE_IDLE = 0,
    SIM_STATE_READY = STATE_READY,      // reached after set-state 25; arming events are taken here
    SIM_STATE_PREPARE = STATE_PREPARE,  // requested by the tool; becomes 2 after arm_delay_ms
    SIM_STATE_MEASURE = STATE_MEASURE,  // a single measurement runs
    SIM_STATE_SCAN = STATE_SCAN,        // a scan is armed/running, until stop
};

constexpr uint32_t SIM_FLASH_SIZE = 0x7F000;  // external flash image size

// Faults, for reliability tests. Defaults: no fault. Answer counters
// (drop_first, drop_every, delay_every, size_every; corrupt_every has its own) count the answers the instrument
// would send (with only_code: that code's answers), across connections, and
// restart when the faults are set.
// A dropped, corrupted or delayed answer belongs to a request that was
// carried out; a replaced answer (status_only, reject, fail_codes) and a
// silent or ignored request mean the request was not carried out. Every
// received frame is logged, answered or not.
struct sim_faults_t {
    int32_t drop_first = 0;       // do not send the first N answers
    int32_t drop_every = 0;       // do not send every N-th answer (the N-th, 2N-th, ...)
    int32_t status_only = -1;     // >= 0: answer every request with only a status frame (12289) of this status
    bool reject = false;          // answer every request with a rejection frame (12290)
    int32_t corrupt_every = 0;    // flip one bit in every N-th answer (1: every answer); checksums stay as sent
    int32_t stray = 0;            // N stray bytes (never 0x42 'B') before every frame sent
    int32_t stray_b = 0;          // N bytes 0x42 ('B', a frame's first byte) before every frame sent
    bool false_header = false;    // before every frame sent, the start of a header that never completed
                                  // (magic, the frame's code, one byte): the frame's first 5 bytes make it
                                  // 12 bytes with a bad checksum
    int32_t answer_size = -1;     // >= 0: every answer under code + 1000 carries exactly N payload bytes
                                  // (cut, or padded with zeros)
    int32_t size_every = 0;       // > 0: answer_size only for every N-th answer
    int32_t split = 0;            // write every frame in pieces of at most N bytes, 1 ms apart
    int32_t delay_ms = 0;         // wait this long before every answer
    int32_t delay_every = 0;      // > 0: delay only every N-th answer
    bool ignore_probe = false;    // never answer get-serial (8007), the tool's probe
    int32_t drop_link_after = 0;  // after N requests on one connection: a socket is closed (the tool sees
                                  // the end of the link); a pty goes mute (requests logged, never answered)
    int32_t baud = 0;             // pace the link as a serial line at this rate, 10 bits per byte, both ways
    uint16_t only_code = 0;       // non-zero: drop/status_only/reject/corrupt/delay/answer_size apply to this
                                  // request code only
    std::map<uint16_t, uint8_t> fail_codes;  // request code -> answer code + 1000 with this status, no payload
    std::set<uint16_t> silent_codes;         // request codes never answered
};

// Timings and sizes of the simulated instrument.
struct sim_settings_t {
    int32_t reboot_ms = 300;        // silence after restart (8021) and after an accepted flashing order
    int32_t arm_delay_ms = 0;       // set-state 25 -> state 2 after this delay (0: at once)
    int32_t meas_ms = 120;          // length of a single measurement (start .. finished)
    int32_t flash_block_size = 64;  // int32 answered by erase (8100); 0 is answered as is and means 64
    uint32_t raw_size = 2u << 20;   // size of the read-only storage image "raw"
    uint32_t storage_limit = 64u << 20;  // total bytes of all files; appends beyond it are refused
};

// One frame received by the instrument, as logged.
struct sim_request_t {
    uint16_t code = 0;
    uint16_t timeout = 0;
    std::vector<uint8_t> payload;
};

// Log entry as delivered by the entry table (8204).
struct sim_entry_t {
    uint32_t value = 0;  // 0: free slot
    uint8_t flags = 0;   // bit 0 note, bit 1 aux
};

// ---- creating and destroying ----------------------------------------------

// The built-in demo instrument (serial "A0001234", 56 log records).
sim_t* SIM_create_demo();
// An instrument whose log holds `records` generated records (slots 0..N-1,
// max_stored_meas N), for benchmarks.
sim_t* SIM_create_log(int32_t records);
// From a scenario (format: sim/scenario.h). nullptr and a reason in *error
// (may be null) when the text is not a valid scenario.
sim_t* SIM_create_json(const std::string& json, std::string* error);
sim_t* SIM_create_file(const std::string& path, std::string* error);
// Applies a scenario text to a running instrument (same format; "base" is
// not allowed here). 0 on success, -1 with *error set.
int32_t SIM_apply_json(sim_t* sim, const std::string& json, std::string* error);
// Stops every endpoint, joins every thread and frees the instrument.
void SIM_destroy(sim_t* sim);

struct sim_deleter {
    void operator()(sim_t* sim) const { SIM_destroy(sim); }
};
using sim_ptr = std::unique_ptr<sim_t, sim_deleter>;

// ---- serving ----------------------------------------------------------------

// Serves a new socket pair; returns the tool-side fd (the caller owns it and
// closes it), -1 on failure. Closing it ends that endpoint.
int32_t SIM_serve_socketpair(sim_t* sim);
// Serves a new pseudo-terminal in raw mode. The sim keeps a slave fd open,
// so tools may open and close the slave any number of times. Stores the
// slave path (e.g. "/dev/pts/5") and the COM-port number (129 + 5).
int32_t SIM_serve_pty(sim_t* sim, std::string* slave_path, int32_t* com_port);
// Listens on 127.0.0.1:port (0 = any free port; the bound port is stored);
// every accepted connection is served until it closes.
int32_t SIM_serve_tcp(sim_t* sim, uint16_t port, uint16_t* bound_port);
// Ends every endpoint and joins their threads; the instrument stays usable.
void SIM_stop(sim_t* sim);

// ---- request log --------------------------------------------------------------

std::vector<sim_request_t> SIM_requests(sim_t* sim);
// Number of logged requests with this code (0: all codes).
size_t SIM_request_count(sim_t* sim, uint16_t code);
// Waits until at least n requests of this code (0: any) are logged; false on time-out.
bool SIM_wait_requests(sim_t* sim, uint16_t code, size_t n, int32_t timeout_ms);
void SIM_clear_requests(sim_t* sim);
// Called on the serving thread for every request received (after logging).
void SIM_set_request_hook(sim_t* sim, std::function<void(const sim_request_t&)> hook);

// ---- instrument state -------------------------------------------------------

// Whole parameter answer (319-byte head + tail); set replaces it (>= 319 bytes).
std::vector<uint8_t> SIM_get_params(sim_t* sim);
int32_t SIM_set_params(sim_t* sim, const std::vector<uint8_t>& record);
int32_t SIM_get_max_stored(sim_t* sim);  // max_stored_meas of the parameter record

std::string SIM_get_serial(sim_t* sim);
void SIM_set_serial(sim_t* sim, const std::string& serial);  // first 8 characters, NUL-padded
uint32_t SIM_get_model(sim_t* sim);
void SIM_set_model(sim_t* sim, uint32_t word);
std::string SIM_get_fw_version(sim_t* sim);
void SIM_set_fw_version(sim_t* sim, const std::string& version);  // at most 8 characters
std::vector<uint8_t> SIM_get_status(sim_t* sim);                  // 20 bytes
void SIM_set_status(sim_t* sim, const std::vector<uint8_t>& status);
std::vector<uint8_t> SIM_get_screen(sim_t* sim);                  // 1060 bytes as answered now

// Files: names as on the instrument ("meas/meas0001.dat"). "raw" is
// generated; SIM_get_file refuses it (use SIM_read_raw).
bool SIM_get_file(sim_t* sim, const std::string& name, std::vector<uint8_t>* content);
// Creates or replaces a file, creating its directories; a record file of a
// slot gets a log entry (see SIM_set_entry) when it has none.
void SIM_put_file(sim_t* sim, const std::string& name, const std::vector<uint8_t>& content);
bool SIM_remove_file(sim_t* sim, const std::string& name);
bool SIM_has_file(sim_t* sim, const std::string& name);
bool SIM_has_dir(sim_t* sim, const std::string& name);
std::vector<std::string> SIM_list_files(sim_t* sim);  // sorted
std::vector<uint8_t> SIM_read_raw(sim_t* sim, uint32_t offset, uint32_t count);

// Log entry table. An entry is derived from the files: a slot is occupied
// while "meas/meas%.4d.dat" exists; flags come from the note and aux files.
// SIM_set_entry overrides value and flags of one slot (flags -1: derived),
// even for a slot without a record file; value 0 removes the override.
sim_entry_t SIM_get_entry(sim_t* sim, uint32_t slot);
void SIM_set_entry(sim_t* sim, uint32_t slot, uint32_t value, int32_t flags);

// External flash (SIM_FLASH_SIZE bytes).
std::vector<uint8_t> SIM_get_flash(sim_t* sim);
void SIM_set_flash(sim_t* sim, const std::vector<uint8_t>& image);
int32_t SIM_flash_count(sim_t* sim);  // accepted flashing orders

uint32_t SIM_get_state(sim_t* sim);
void SIM_set_state(sim_t* sim, uint32_t state);
// Device clock: year, month, day, hour, minute, second. It runs on from the
// time last set.
void SIM_get_clock(sim_t* sim, int32_t out[6]);
void SIM_set_clock(sim_t* sim, const int32_t in[6]);
int32_t SIM_restart_count(sim_t* sim);
bool SIM_is_rebooting(sim_t* sim);

sim_faults_t SIM_get_faults(sim_t* sim);
void SIM_set_faults(sim_t* sim, const sim_faults_t& faults);
sim_settings_t SIM_get_settings(sim_t* sim);
void SIM_set_settings(sim_t* sim, const sim_settings_t& settings);

// Byte `offset` of the generated storage image (independent of any sim).
uint8_t SIM_raw_byte(uint32_t offset);
