// Packed instrument records as the simulator stores and answers them.
// Offsets are written once here; every access goes through records/wire.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "records/dev_time.h"
#include "records/file_req.h"
#include "records/lut.h"
#include "records/live.h"
#include "records/meas.h"
#include "records/params.h"
#include "records/status.h"

constexpr size_t PAR_DEFAULT_SIZE = 400;  // answer size of the built-in parameter records

// Named fields of a record, for scenario files. Arrays have count > 1.
enum class sim_ftype : uint8_t { u8, u16, i32, u32, f32, text };
struct sim_field_t {
    const char* name;
    uint16_t offset;
    sim_ftype type;
    uint16_t count;  // array elements; for text: bytes
};
std::span<const sim_field_t> SIMREC_params_fields();
std::span<const sim_field_t> SIMREC_status_fields();
std::span<const sim_field_t> SIMREC_meas_fields();
const sim_field_t* SIMREC_find(std::span<const sim_field_t> table, const std::string& name);
size_t SIMREC_ftype_size(sim_ftype t);

// Builders and helpers shared by the generators and the instrument.
std::vector<uint8_t> SIMREC_default_params(int32_t max_stored_meas);
std::vector<uint8_t> SIMREC_default_status();
uint32_t SIMREC_gps_raw(double degrees_abs);  // DDMM + fraction packing of |degrees|
void SIMREC_set_gps(uint8_t* record, double lat, double lon, bool valid, uint32_t sats, int32_t alt);
std::vector<uint8_t> SIMREC_make_lut(const std::string& name, const float values[12], const float conc[12]);
uint32_t SIMREC_lut_check(const uint8_t* lut);
// Small mono WAV file of `samples` 8-bit samples at 8000 Hz (a deterministic tone).
std::vector<uint8_t> SIMREC_make_wav(uint32_t samples, uint32_t seed);
// The 1060-byte screen picture: a frame and up to five text lines.
std::vector<uint8_t> SIMREC_render_screen(const std::vector<std::string>& lines);
