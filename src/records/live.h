// Live-data event: payload of the instrument's unsolicited frame.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- live_event: 16-byte payload of frame code 0x2456 ----
constexpr uint16_t LIVE_CODE = 0x2456;
constexpr size_t LIVE_SIZE = 16;
constexpr size_t LIVE_OFF_EVENT_CODE = 0;   // u32; 1-4 a single measurement, 129-132 a scan
constexpr size_t LIVE_OFF_EVENT_VALUE = 4;  // i32: progress, button, error or scan start value
constexpr size_t LIVE_OFF_KAPPA = 8;        // f32
constexpr size_t LIVE_OFF_SIGMA = 12;       // f32
