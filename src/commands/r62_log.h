// Measurement log download: the entry table, the records in ascending order
// of their entry values, the text table, raw data, note and aux copies and
// the exports, plus the record reader the measurement command shares.
#pragma once

#include <cstdint>
#include <string>

#include "commands/cmd_file.h"
#include "commands/cmd_common.h"
#include "records/meas.h"

inline constexpr menu_text_t MENU_MEAS_LOG{"log", "meas log", "downloads measurement log"};

// Slot of the latest measurement ("meas/last.dat").
constexpr int32_t LOG_SLOT_LAST = -1;

// Reads the record of `slot` (LOG_SLOT_LAST: the latest measurement) into
// `dest`, which holds MR_SIZE bytes, printing its progress. 0, or -1 after a
// failed or stopped read (a read that ends early counts as failed).
int32_t download_record(int32_t id, int32_t slot, uint8_t* dest);

// Copy the note or aux file of a slot into `path` ("<path>.part" until the
// copy is complete). 0 also when the local file cannot be created
// (reported); -1 when the instrument fails or the operator stops.
int32_t download_note(int32_t id, int32_t slot, const std::string& path);
int32_t download_aux(int32_t id, int32_t slot, const std::string& path);

// Writes the record's raw data file; a file that cannot be written is
// reported and skipped.
void save_meas(const std::string& path, const uint8_t* rec);

// Prints a group's statistics line and writes it to `file` when open.
void calc_avg_std_dev(float sum, float sum_sq, int32_t n, cmd_file_t* file);

// The record's position: one console line, and the table text (to `file`
// when open).
void write_gps_coords(const uint8_t* rec);
void write_gps_coords_file(cmd_file_t* file, const uint8_t* rec);

// Menu handler: downloads the whole log.
int32_t R62_cmd_get_meas_log(char line[], int32_t argument);
