// Commands on the instrument's files and memory as a whole: look-up tables,
// record deletion, clearing and purging the log, TAR upload, the storage
// image and the heap report.
#pragma once

#include <cstdint>

#include "commands/cmd_common.h"

inline constexpr menu_text_t MENU_CONC_LUT{"lut", "conc lut", "edits concentration look-up table"};
inline constexpr menu_text_t MENU_DELETE_RECORD{"del", "delete record", "deletes one log record"};
inline constexpr menu_text_t MENU_CLEAR_LOGS{"clr", "clear logs", "clears device logs"};
inline constexpr menu_text_t MENU_PURGE{"pur", "purge", "deletes all log records"};
inline constexpr menu_text_t MENU_UPLOAD_TAR{"tar", "upload tar", "uploads TAR archive to device"};
inline constexpr menu_text_t MENU_DOWNLOAD_SD{"sd", "download sd", "downloads storage image"};
inline constexpr menu_text_t MENU_MEMORY_USAGE{"mem", "memory usage", "displays device heap report"};

// Menu handlers: (line, argument) -> 0 success, -1 failure. Each needs the
// link; an early end without a failure (index 0, purge declined) gives 0.

// Creates, replaces or (negative index) deletes and rebuilds table 1..3,
// optionally loaded from and saved to a local file ("conclut.dat").
int32_t R62_cmd_set_conc_lut(char line[], int32_t argument);
// Deletes the record, note and aux files of one log slot.
int32_t R62_cmd_delete_record(char line[], int32_t argument);
// Asks the instrument to clear its logs (selector 255; it may take minutes).
int32_t R62_cmd_clear_logs(char line[], int32_t argument);
// Deletes the record, identifier and note files of every slot.
int32_t R62_cmd_purge(char line[], int32_t argument);
// Copies the directories and regular files of a local TAR archive
// ("sd.tar") onto the instrument, 128 bytes per append.
int32_t R62_cmd_upload_tar(char line[], int32_t argument);
// Streams the storage image "raw" into a local file ("sd.img", written as
// "sd.img.part" until the last chunk has arrived).
int32_t R62_cmd_download_sd(char line[], int32_t argument);
// Prints the free heap and the instrument's memory report.
int32_t R62_cmd_memory_usage(char line[], int32_t argument);
