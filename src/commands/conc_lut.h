// Concentration look-up table: 116 raw bytes, the same on the instrument
// ("lut/lut%.2d.dat") and in a local file. Fields at the offsets of
// records/lut.h, read and written through the little-endian accessors.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "records/lut.h"

using lut_t = std::array<uint8_t, LUT_SIZE>;

constexpr size_t LUT_NAME_SIZE = 12;
constexpr uint32_t LUT_NAME_MAX = 11;  // characters before the terminator

// XOR of the 28 little-endian words at offsets 4 to 112 (everything but
// the check word itself).
uint32_t lut_check_word(const lut_t& lut);
// Sets the pair count to 12 and the check word to match the rest.
void lut_seal(lut_t& lut);

// The name up to its terminator, at most 11 characters.
std::string lut_name(const lut_t& lut);
// Stores `name` (cut at 11 characters) and its terminator; bytes behind
// the terminator stay as they are.
void lut_set_name(lut_t& lut, const std::string& name);

float lut_value(const lut_t& lut, int32_t pair);
float lut_conc(const lut_t& lut, int32_t pair);
void lut_set_value(lut_t& lut, int32_t pair, float value);
void lut_set_conc(lut_t& lut, int32_t pair, float conc);
