#include "commands/bmp.h"

#include <cstring>

#include "records/wire.h"

bmp_t bmp_from_screen(std::span<const uint8_t, SCR_SIZE> screen) {
    bmp_t f{};
    f[BMP_OFF_MAGIC] = 'B';
    f[BMP_OFF_MAGIC + 1] = 'M';
    put_u32le(f.data(), BMP_OFF_FILE_SIZE, static_cast<uint32_t>(BMP_SIZE));
    put_u32le(f.data(), BMP_OFF_RESERVED, 0);
    put_u32le(f.data(), BMP_OFF_DATA, static_cast<uint32_t>(BMP_HEADER_SIZE));
    put_u32le(f.data(), BMP_OFF_INFO_SIZE, static_cast<uint32_t>(BMP_INFO_SIZE));
    put_i32le(f.data(), BMP_OFF_WIDTH, BMP_WIDTH);
    put_i32le(f.data(), BMP_OFF_HEIGHT, static_cast<int32_t>(SCR_ROWS));
    put_u16le(f.data(), BMP_OFF_PLANES, 1);
    put_u16le(f.data(), BMP_OFF_BPP, 1);
    put_u32le(f.data(), BMP_OFF_COMPRESSION, 0);
    put_u32le(f.data(), BMP_OFF_IMAGE_SIZE, static_cast<uint32_t>(BMP_IMAGE_SIZE));
    put_i32le(f.data(), BMP_OFF_XRES, 0);
    put_i32le(f.data(), BMP_OFF_YRES, 0);
    put_u32le(f.data(), BMP_OFF_COLOURS, 2);
    put_u32le(f.data(), BMP_OFF_IMPORTANT, 0);
    const uint8_t palette[8] = {0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(f.data() + BMP_OFF_PALETTE, palette, sizeof palette);
    for (size_t k = 0; k < SCR_ROWS; ++k) {
        const uint8_t* row = screen.data() + (SCR_ROWS - 1 - k) * SCR_ROW_BYTES;
        std::memcpy(f.data() + BMP_HEADER_SIZE + k * BMP_ROW_BYTES, row, SCR_ROW_BYTES);
    }
    return f;
}
