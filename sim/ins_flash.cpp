// External flash: erase, block reads and writes, and the flashing order
// that checks the image and restarts the instrument. Runs with sim_t::mu held.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "records/wire.h"
#include "services/r40_comm.h"
#include "services/r62_comm.h"
#include "sim/sim_internal.h"

namespace {


int32_t effective_block(int32_t answered) { return answered > 0 ? answered : R40_DEFAULT_BLOCK; }

// A simulated firmware carries its version as "QMFW-VERSION:" and up to 8
// printable characters somewhere in its plain image; an image without it
// keeps the version the instrument had.
constexpr std::string_view VERSION_MARK = "QMFW-VERSION:";
constexpr size_t VERSION_MAX = 8;

std::optional<std::string> image_version(const std::vector<uint8_t>& plain) {
    const auto mark = std::search(plain.begin(), plain.end(), VERSION_MARK.begin(), VERSION_MARK.end());
    if (mark == plain.end()) return std::nullopt;
    std::string version;
    for (auto it = mark + static_cast<std::ptrdiff_t>(VERSION_MARK.size());
         it != plain.end() && version.size() < VERSION_MAX && *it > ' ' && *it < 0x7F; ++it)
        version.push_back(static_cast<char>(*it));
    if (version.empty()) return std::nullopt;
    return version;
}

}  // namespace

sim_reply_t SIMI_on_erase_flash(sim_t* s, uint16_t code, std::span<const uint8_t>, sim_clock::time_point) {
    std::fill(s->ins.flash.begin(), s->ins.flash.end(), 0xFF);
    s->ins.flash_block = effective_block(s->settings.flash_block_size);
    return SIMI_ok(code, SIMI_u32(static_cast<uint32_t>(s->settings.flash_block_size)));
}

sim_reply_t SIMI_on_read_flash(sim_t* s, uint16_t code, std::span<const uint8_t> p, sim_clock::time_point) {
    const std::vector<uint8_t>& f = s->ins.flash;
    const size_t off = static_cast<size_t>(get_u16le(p.data(), 0)) * R40_EXT_FLASH_READ;
    if (off + R40_EXT_FLASH_READ > f.size()) return SIMI_fail(code, SIM_ST_FAIL);
    return SIMI_ok(code, std::vector<uint8_t>(f.begin() + static_cast<std::ptrdiff_t>(off),
                                              f.begin() + static_cast<std::ptrdiff_t>(off + R40_EXT_FLASH_READ)));
}

sim_reply_t SIMI_on_write_flash(sim_t* s, uint16_t, std::span<const uint8_t> p, sim_clock::time_point) {
    if (p.size() < 3) return SIMI_fail(R40_CODE_WRITE_EXT_FLASH, SIM_ST_SIZE);
    sim_instrument_t& ins = s->ins;
    const uint32_t index = get_u16le(p.data(), 0);
    const size_t len = p.size() - 2;
    const auto block = static_cast<size_t>(ins.flash_block);
    const size_t off = index * block;
    if (len == 0 || len > block || off + len > ins.flash.size()) return SIMI_fail(R40_CODE_WRITE_EXT_FLASH, SIM_ST_FAIL);
    // Flash cells only go from 1 to 0; an unerased block keeps its zeros.
    for (size_t i = 0; i < len; ++i) ins.flash[off + i] &= p[2 + i];
    return SIMI_ok(R40_CODE_WRITE_EXT_FLASH);
}

sim_reply_t SIMI_on_flash_fw(sim_t* s, uint16_t, std::span<const uint8_t> p, sim_clock::time_point now) {
    const uint32_t encrypted = get_u32le(p.data(), 0);
    const uint32_t checksum = get_u32le(p.data(), 4);
    uint32_t x = 0;
    const std::vector<uint8_t>& f = s->ins.flash;
    std::vector<uint8_t> plain(f.size());
    for (uint32_t i = 0; i < SIM_FLASH_SIZE / 4; ++i) {
        uint32_t w = get_u32le(f.data(), 4 * static_cast<size_t>(i));
        if (encrypted & 1u) w ^= i * i * i * i;
        put_u32le(plain.data(), 4 * static_cast<size_t>(i), w);
        x ^= w;
    }
    if (x != checksum) return SIMI_fail(R40_CODE_FLASH_FW, SIM_ST_CHECKSUM);
    ++s->ins.flash_count;
    if (auto version = image_version(plain)) s->ins.fw_version = *version;
    SIMI_reboot(s, now);  // the new firmware starts: the answer goes out, then silence
    return SIMI_ok(R40_CODE_FLASH_FW);
}

