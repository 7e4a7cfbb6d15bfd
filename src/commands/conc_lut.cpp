#include "commands/conc_lut.h"

#include <algorithm>
#include <cstring>

#include "records/wire.h"

uint32_t lut_check_word(const lut_t& lut) {
    uint32_t x = 0;
    for (size_t off = LUT_CHECK + 4; off < LUT_SIZE; off += 4) x ^= get_u32le(lut.data(), off);
    return x;
}

void lut_seal(lut_t& lut) {
    put_i32le(lut.data(), LUT_COUNT, LUT_PAIRS);
    put_u32le(lut.data(), LUT_CHECK, lut_check_word(lut));
}

std::string lut_name(const lut_t& lut) {
    const char* p = reinterpret_cast<const char*>(lut.data() + LUT_NAME);
    return std::string(p, strnlen(p, LUT_NAME_MAX));
}

void lut_set_name(lut_t& lut, const std::string& name) {
    const size_t n = std::min<size_t>(name.size(), LUT_NAME_MAX);
    std::memcpy(lut.data() + LUT_NAME, name.data(), n);
    lut[LUT_NAME + n] = 0;
}

float lut_value(const lut_t& lut, int32_t pair) { return get_f32le(lut.data(), LUT_VALUE + 4 * static_cast<size_t>(pair)); }
float lut_conc(const lut_t& lut, int32_t pair) { return get_f32le(lut.data(), LUT_CONC + 4 * static_cast<size_t>(pair)); }

void lut_set_value(lut_t& lut, int32_t pair, float value) {
    put_f32le(lut.data(), LUT_VALUE + 4 * static_cast<size_t>(pair), value);
}

void lut_set_conc(lut_t& lut, int32_t pair, float conc) {
    put_f32le(lut.data(), LUT_CONC + 4 * static_cast<size_t>(pair), conc);
}
