// The screen image as a monochrome BMP file (layout in records/status.h).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "records/status.h"

using bmp_t = std::array<uint8_t, BMP_SIZE>;

// The file for a screen buffer: 104 display columns on the left, 24 white
// ones on the right; palette entry 0 white, 1 black; the last display row
// is the first row in the file. The buffer's 7 unused bytes are ignored.
bmp_t bmp_from_screen(std::span<const uint8_t, SCR_SIZE> screen);
