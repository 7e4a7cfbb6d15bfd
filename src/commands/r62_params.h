// The instrument's parameter record and the commands that show, edit and
// adjust it. The record travels as bytes and every field is read and written
// at its offset through the little-endian accessors, never through a cast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "commands/cmd_common.h"
#include "records/params.h"
#include "services/r62_comm.h"

int32_t params_max_stored_meas(const uint8_t* record);
// Fetches the record into `record` (R62_PARAMS_BUF bytes); reports a failure
// under `handler`, or a record shorter than its settable head, and gives -1.
int32_t params_fetch(const char* handler, uint8_t* record);
// Fetches the record for the number of log slots: a failure, or a record that
// does not reach `max_stored_meas`, is reported under `handler` (a short one
// as MXX_ERR_PAYLOAD) and gives -1; else 0 and the slots in `slots`.
int32_t params_fetch_slots(const char* handler, uint8_t* record, int32_t* slots);
void params_set_max_stored_meas(uint8_t* record, int32_t value);

constexpr int32_t PARAMS_MEMORY_RECORDS = 4000;  // what `sm` sets

inline constexpr menu_text_t MENU_SET_MEMORY{"sm", "set memory", "set memory records to 4000"};

// The dump, one line per field, each ending in a line feed.
std::vector<std::string> params_dump_lines(const uint8_t* record, bool extended);

// One editor prompt.
enum class param_kind : uint8_t { i8, i16, i32, f32 };
struct param_prompt_t {
    std::string label;
    param_kind kind;
    size_t offset;
    int32_t min;  // integers only; floats take any value
    int32_t max;
};
std::vector<param_prompt_t> params_editor_prompts(bool extended);
// Runs the prompts on the record; a field changes only when its answer is
// accepted and differs.
void params_edit(uint8_t* record, bool extended);

// Menu handlers: (line, argument) -> 0 success, -1 failure.
int32_t R62_cmd_get_params(char line[], int32_t argument);
int32_t R62_cmd_set_params(char line[], int32_t argument);
int32_t R62_cmd_set_memory(char line[], int32_t argument);
