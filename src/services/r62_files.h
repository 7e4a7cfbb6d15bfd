// Whole device files moved in chunks over the file services. Silent: the
// callers print their own progress from the per-chunk callback, which also
// lets them stop between requests (Ctrl-C, end of input).
#pragma once

#include <cstdint>
#include <functional>
#include <span>

// Returned when a callback asked to stop; distinct from every exchange
// result and link error.
constexpr int32_t R62_FILES_STOPPED = -1000;
// Returned when a source could not supply the bytes of the next append.
constexpr int32_t R62_FILES_NO_DATA = -1001;
// Returned when the file on the instrument did not come out at the size sent.
constexpr int32_t R62_FILES_MISMATCH = -1002;

// `data` and `size`: the chunk's bytes; `offset`: where they start in the
// device file; `index`: the chunk's number from 0. Return false to stop.
using r62_chunk_fn = std::function<bool(const uint8_t* data, int32_t size, uint32_t offset, uint32_t index)>;
// Called before each request with its offset; return false to stop.
using r62_before_fn = std::function<bool(uint32_t offset)>;
// Fills `out` with exactly the next `size` bytes of the content; false when
// they cannot be had.
using r62_source_fn = std::function<bool(uint8_t* out, int32_t size)>;

// Reads `name` from offset 0, asking `chunk` bytes per request, until a
// chunk of 0 bytes arrives or `limit` bytes have come (0: no limit; the
// last chunk handed on is cut at the limit). `total` (when given) gets the
// bytes handed on. Returns 0, the failing request's result, or
// R62_FILES_STOPPED.
int32_t r62_file_read(int32_t id, const char* name, int32_t chunk, uint32_t limit, const r62_chunk_fn& on_chunk,
                      const r62_before_fn& before = {}, uint32_t* total = nullptr);

// Creates `name` (when `create`) and appends `data` in chunks of `chunk`
// bytes; with `final_append` the remainder goes as one more append also
// when it is 0 bytes. `on_chunk` sees each append after it landed.
//
// An append carries no offset, so it is sent once; when its answer does not
// come (or only status frames do) the file info decides: a file that grew by
// the chunk took it, a file of the size before gets it again (three sends at
// most), any other size ends the transfer. After five appends in a row
// without their own answer the transfer ends with the last one's result. The
// finished file's size on the instrument must be what was sent.
// Returns 0, the failing request's result, R62_FILES_STOPPED, or
// R62_FILES_MISMATCH with the instrument's size in `device_size`.
int32_t r62_file_write(int32_t id, const char* name, std::span<const uint8_t> data, int32_t chunk, bool create,
                       bool final_append, const r62_chunk_fn& on_chunk = {}, uint64_t* device_size = nullptr);

// The same for `length` bytes taken from `source` one append at a time, so
// the content never has to be in memory as a whole. Also R62_FILES_NO_DATA
// (nothing of the missing chunk was sent).
int32_t r62_file_write_from(int32_t id, const char* name, uint64_t length, int32_t chunk, bool create,
                            bool final_append, const r62_source_fn& source, const r62_chunk_fn& on_chunk = {},
                            uint64_t* device_size = nullptr);
