// Firmware replacement common to the device families: build a GFW file from
// a firmware binary, upload it into the device's external flash, read it
// back to verify, and order the device to flash itself from there.
#pragma once

#include <cstdint>

#include "commands/cmd_common.h"

// Builds the GFW file `gfw_path` from `bin_path`: the image is the BIN's
// bytes padded with zeros to `max_size` (-1: the BIN's own size) rounded up
// to whole words, scrambled when `scramble` is non-zero. The file is written
// as "<gfw_path>.part" and renamed when complete. 0 or -1.
int32_t R40_create_gfw(const char* bin_path, const char* gfw_path, int32_t major, int32_t minor, int32_t scramble,
                       const char* device_name, int32_t max_size, int32_t dev_type);

// Menu handlers with their family's defaults; 0 or -1.
// Asks for the file names, the scrambling and the version; needs no link.
int32_t R40_cmd_create_gfw(char line[], const char* bin_name, const char* gfw_name, const char* device_name,
                           int32_t max_size, int32_t dev_type);
// Checks the GFW file (device type, size, both checksums) before any
// traffic, erases the external flash and writes the image (padded with 0xFF
// to `max_size`) block by block, each block up to 5 attempts. An interrupted
// or failed upload leaves the flash partly written.
int32_t R40_cmd_upload_gfw(char line[], const char* gfw_name, int32_t dev_type, int32_t max_size);
// Checks the GFW file as the upload does, then reads the external flash back
// over `max_size` and compares it with the image as uploaded.
int32_t R40_cmd_verify_gfw(char line[], const char* gfw_name, int32_t dev_type, int32_t max_size);
// Checks the image file as the upload does (a refused file sends nothing),
// sends the header's scrambling flag and raw checksum as the flashing order,
// then drops the link.
int32_t R40_cmd_flash_fw(char line[], const char* gfw_name, int32_t dev_type, int32_t max_size);
