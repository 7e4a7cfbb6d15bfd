// Concentration look-up table.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- conc_lut: 116 bytes ----
constexpr size_t LUT_SIZE = 116;
constexpr size_t LUT_CHECK = 0;   // u32: XOR of the words at 4..112
constexpr size_t LUT_NAME = 4;    // char[12]
constexpr size_t LUT_COUNT = 16;  // i32
constexpr size_t LUT_VALUE = 20;  // f32[12]
constexpr size_t LUT_CONC = 68;   // f32[12]
constexpr int32_t LUT_PAIRS = 12;

