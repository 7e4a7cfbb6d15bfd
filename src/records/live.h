// Live-data event: payload of the instrument's unsolicited frame.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- live_event: 16-byte payload of frame code 0x2456 ----
constexpr uint16_t LIVE_CODE = 0x2456;
constexpr size_t LIVE_SIZE = 16;

