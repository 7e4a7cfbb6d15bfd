// The instrument's live-data frames: one console line per known event,
// printed on the link's thread while a measurement or scan runs.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "link/mxx_comm.h"
#include "records/live.h"

// The line for one live_event payload; empty for an unknown event code and
// for a payload shorter than the record.
std::string live_event_line(std::span<const uint8_t> payload);

// Asynchronous handler of frame code LIVE_CODE: prints the frame's line as
// one call, so no other line can tear it. Always 0.
int32_t R62_event_live_data(int32_t id, mxx_conn_t* context, const uint8_t* frame, int32_t user);

// Routes the link's live frames to R62_event_live_data; the result of
// MXX_hook_async_event (0, or -1 when the link's handler table is full).
int32_t R62_cmd_hook_events(int32_t id);
