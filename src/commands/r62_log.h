// Measurement log download: the entry table, the records in ascending order
// of their entry values, the text table, raw data, note and aux copies and
// the exports, plus the record reader the measurement command shares.
#pragma once

#include <cstdint>
#include <string>

#include "records/meas.h"

// Slot of the latest measurement ("meas/last.dat").
constexpr int32_t LOG_SLOT_LAST = -1;

// Reads the record of `slot` (LOG_SLOT_LAST: the latest measurement) into
// `dest`, which holds MR_SIZE bytes, printing its progress. 0, or -1 after a
// failed or stopped read (a read that ends early counts as failed).
int32_t download_record(int32_t id, int32_t slot, uint8_t* dest);
