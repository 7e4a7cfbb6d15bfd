#include "services/r62_files.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "libcomm/libcomm.h"
#include "link/mxx_comm.h"
#include "services/r62_comm.h"

int32_t r62_file_read(int32_t id, const char* name, int32_t chunk, uint32_t limit, const r62_chunk_fn& on_chunk,
                      const r62_before_fn& before, uint32_t* total) {
    if (total) *total = 0;
    if (chunk <= 0 || static_cast<uint32_t>(chunk) > FILE_READ_MAX) return COMM_ERR_ARG;
    std::vector<uint8_t> buffer(static_cast<size_t>(chunk));
    uint32_t offset = 0;
    for (uint32_t index = 0; limit == 0 || offset < limit; ++index) {
        if (before && !before(offset)) return R62_FILES_STOPPED;
        int32_t got = 0;
        int32_t r = R62_Read_File(id, name, buffer.data(), offset, static_cast<uint32_t>(chunk), &got, 1);
        if (r != 0) return r;
        if (got <= 0) break;
        int32_t take = got;
        if (limit != 0) take = static_cast<int32_t>(std::min<uint32_t>(static_cast<uint32_t>(got), limit - offset));
        uint32_t at = offset;
        offset += static_cast<uint32_t>(take);
        if (total) *total = offset;
        if (on_chunk && !on_chunk(buffer.data(), take, at, index)) return R62_FILES_STOPPED;
    }
    return 0;
}

int32_t r62_file_write(int32_t id, const char* name, std::span<const uint8_t> data, int32_t chunk, bool create,
                       bool final_append, const r62_chunk_fn& on_chunk, uint64_t* device_size) {
    size_t at = 0;
    const auto source = [&](uint8_t* out, int32_t size) {
        std::memcpy(out, data.data() + at, static_cast<size_t>(size));
        at += static_cast<size_t>(size);
        return true;
    };
    return r62_file_write_from(id, name, data.size(), chunk, create, final_append, source, on_chunk, device_size);
}

namespace {

// Appends in a row that went without their own answer before the transfer
// gives up: a link that confirms nothing ends in an error, not in hours,
// while one that loses an answer now and then still gets through.
constexpr int32_t UNCONFIRMED_MAX = 5;
// Sends of one chunk that did not land before the transfer gives up.
constexpr int32_t SENDS_MAX = 3;

// Results that leave open whether an append was carried out (a write that
// timed out may have sent part of its frame, or all of it).
bool left_open(int32_t r) { return r == 255 || r == MXX_ERR_UNCONFIRMED || r == COMM_ERR_TIMEOUT; }

int32_t size_on_device(int32_t id, const char* name, uint64_t* size) {
    uint32_t s = 0;
    const int32_t r = R62_File_Info(id, name, &s, 1);
    if (r == 0) *size = s;
    return r;
}

}  // namespace

int32_t r62_file_write_from(int32_t id, const char* name, uint64_t length, int32_t chunk, bool create,
                            bool final_append, const r62_source_fn& source, const r62_chunk_fn& on_chunk,
                            uint64_t* device_size) {
    if (chunk <= 0 || chunk > R62_WRITE_MAX) return COMM_ERR_ARG;
    if (create) {
        int32_t r = R62_Write_File(id, name, FILE_OP_CREATE, nullptr, 0, 1);
        if (r != 0) return r;
    }
    const auto mismatch = [&](uint64_t have) {
        if (device_size) *device_size = have;
        return R62_FILES_MISMATCH;
    };
    std::vector<uint8_t> buffer(static_cast<size_t>(chunk));
    uint64_t offset = 0;
    uint32_t index = 0;
    int32_t unconfirmed = 0;
    while (offset < length || (final_append && offset == length)) {
        const auto n = static_cast<int32_t>(std::min<uint64_t>(length - offset, static_cast<uint64_t>(chunk)));
        const bool last = n < chunk;
        if (n > 0 && !source(buffer.data(), n)) return R62_FILES_NO_DATA;
        // Sent again only when the file shows it did not land.
        for (int32_t sends = 1;; ++sends) {
            const int32_t r = R62_Append_File(id, name, buffer.data(), n);
            if (r == 0) {
                unconfirmed = 0;
                break;
            }
            if (!left_open(r) || ++unconfirmed >= UNCONFIRMED_MAX) return r;
            uint64_t have = 0;
            const int32_t q = size_on_device(id, name, &have);
            if (q != 0) return q;
            if (have == offset + static_cast<uint64_t>(n)) break;
            if (have != offset) return mismatch(have);
            if (sends >= SENDS_MAX) return r;
        }
        if (on_chunk && !on_chunk(buffer.data(), n, static_cast<uint32_t>(offset), index)) return R62_FILES_STOPPED;
        offset += static_cast<uint64_t>(n);
        ++index;
        if (last) break;
    }
    uint64_t have = 0;
    const int32_t q = size_on_device(id, name, &have);
    if (q != 0) return q;
    return have == length ? 0 : mismatch(have);
}
