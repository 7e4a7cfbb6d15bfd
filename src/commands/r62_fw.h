// The instrument's firmware commands: the common firmware handlers with the
// instrument's file names, device name and image size.
#pragma once

#include <cstdint>

#include "commands/cmd_common.h"
#include "services/r62_comm.h"

constexpr const char* R62_FW_BIN = "qm38v2.bin";
constexpr const char* R62_FW_GFW = "qm38v2.gfw";
constexpr const char* R62_FW_DEVICE = "QM-38V2";
constexpr int32_t R62_FW_MAX_SIZE = 0x7F000;  // every image is exactly this long

inline constexpr menu_text_t MENU_CREATE_GFW{"cfw", "create gfw", "creates firmware image file"};
inline constexpr menu_text_t MENU_UPLOAD_GFW{"ufw", "upload gfw", "uploads firmware image"};
inline constexpr menu_text_t MENU_VERIFY_GFW{"vfw", "verify gfw", "verifies uploaded firmware"};
inline constexpr menu_text_t MENU_FLASH_FW{"ffw", "flash fw", "flashes uploaded firmware"};

// Menu handlers: (line, argument) -> 0 success, -1 failure.
int32_t R62_cmd_create_gfw(char line[], int32_t argument);
int32_t R62_cmd_upload_gfw(char line[], int32_t argument);
int32_t R62_cmd_verify_gfw(char line[], int32_t argument);
int32_t R62_cmd_flash_fw(char line[], int32_t argument);
