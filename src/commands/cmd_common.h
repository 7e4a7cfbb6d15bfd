// Helpers every command handler uses: the connected check, the failure
// report, menu entry texts, the writable command line, the serial rule's
// read/write pair, and the stop check of long-running commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "console/conutil.h"

// 1 when the link is up; else prints "\nDevice not connected!\n" and gives 0.
int32_t cmd_connected();
// Prints "Command <handler> error(code=<code>)!\n" (nothing for a wait the
// operator stopped); returns -1.
int32_t cmd_error(const char* handler, int32_t code);
// Reports a transfer of `name` that came out at `got` bytes where the other
// side has `expected`; returns -1.
int32_t cmd_size_error(const char* name, uint64_t got, uint64_t expected);

// 1 when the running command must stop now: Ctrl-C was pressed or standard
// input has ended. Handlers check it after each prompt and loops between
// exchanges; once it is 1, no request that changes the instrument is sent
// and no file is written.
int32_t cmd_stopped();

// Longest file name a prompt takes, and the plain prompt.
constexpr uint32_t CMD_FILE_NAME_MAX = 255;
constexpr const char* CMD_FILE_NAME_PROMPT = "Enter file name";
// Asks for a file name of at most `max` characters, offering `fallback` (cut
// to `max`; null: none); nothing when the command must stop.
std::optional<std::string> cmd_ask_file_name(const char* prompt, const char* fallback,
                                             uint32_t max = CMD_FILE_NAME_MAX);

// A command line the prompts may cut into tokens, also when none was given.
char* cmd_writable_line(char line[], char (&spare)[1]);

// Menu entry texts shared by the families' menus.
struct menu_text_t {
    const char* key;
    const char* name;
    const char* description;
};
inline constexpr menu_text_t MENU_VERSION{"ve", "version", "displays device firmware version"};
inline constexpr menu_text_t MENU_GET_SERIAL{"gs", "get serial", "displays device serial number"};
inline constexpr menu_text_t MENU_SET_SERIAL{"ss", "set serial", "sets device serial number"};
inline constexpr menu_text_t MENU_GET_TIME{"gt", "get time", "displays device date/time"};
inline constexpr menu_text_t MENU_SET_TIME{"st", "set time", "sets device date/time"};
inline constexpr menu_text_t MENU_RESTART{"re", "restart", "restarts device"};
int32_t menu_add_text(menu_t* menu, const menu_text_t& text, menu_handler_t handler);

// Shared by both families' serial rules.
constexpr const char* SERIAL_PROMPT = "Enter serial";
// Reads the current serial; `suffix` (5 bytes) gets its last 4 characters
// when it is exactly 8 long, else "0000". Returns the exchange result.
int32_t serial_read_suffix(char suffix[5]);
// Announces and writes a serial; reports a failure under `handler`.
int32_t serial_write(const char* handler, const char* serial);
// Asks for the last 4 characters (from the command line's first parameter,
// else prompted with `suffix` as the default) and writes
// "<prefix>000<suffix>"; -1, writing nothing, when the command must stop.
int32_t serial_write_suffix(const char* handler, char prefix, char suffix[5], char line[]);
