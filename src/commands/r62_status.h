// The instrument's condition and identity: status record, model word
// (hardware options) and a copy of its display as a BMP file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "commands/cmd_common.h"

inline constexpr menu_text_t MENU_GET_STATUS{"gst", "get status", "displays device status"};
inline constexpr menu_text_t MENU_GET_MODEL{"gmw", "get model", "displays hardware options"};
inline constexpr menu_text_t MENU_SET_MODEL{"smw", "set model", "sets hardware options"};
inline constexpr menu_text_t MENU_SCREEN{"scr", "screen", "saves device screen as BMP"};

// The status lines, each ending in a line feed (without the blank lines
// around them). `status` holds the 20-byte record.
std::vector<std::string> status_lines(const uint8_t* status);
// The option lines of the bits set in a model word, in table order.
std::vector<std::string> model_lines(uint32_t word);

// Menu handlers: (line, argument) -> 0 success, -1 failure.
int32_t R62_cmd_get_status(char line[], int32_t argument);
int32_t R62_cmd_get_model_rev(char line[], int32_t argument);
// Asks for the four options; bits 8 to 15 not asked for are kept, all
// others are 0.
int32_t R62_cmd_set_model_rev(char line[], int32_t argument);
// Saves the display as a 1358-byte BMP ("screen.bmp").
int32_t R62_cmd_get_screen(char line[], int32_t argument);
