#include "services/r62_files.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "libcomm/libcomm.h"
#include "services/r62_comm.h"

int32_t r62_file_read(int32_t id, const char* name, int32_t chunk, uint32_t limit, const r62_chunk_fn& on_chunk,
                      const r62_before_fn& before, uint32_t* total) {
    if (total) *total = 0;
    if (chunk <= 0 || chunk > R62_READ_MAX) return COMM_ERR_ARG;
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
                       bool final_append, const r62_chunk_fn& on_chunk) {
    size_t at = 0;
    const auto source = [&](uint8_t* out, int32_t size) {
        std::memcpy(out, data.data() + at, static_cast<size_t>(size));
        at += static_cast<size_t>(size);
        return true;
    };
    return r62_file_write_from(id, name, data.size(), chunk, create, final_append, source, on_chunk);
}

int32_t r62_file_write_from(int32_t id, const char* name, uint64_t length, int32_t chunk, bool create,
                            bool final_append, const r62_source_fn& source, const r62_chunk_fn& on_chunk) {
    if (chunk <= 0 || chunk > R62_WRITE_MAX) return COMM_ERR_ARG;
    if (create) {
        int32_t r = R62_Write_File(id, name, FILE_OP_CREATE, nullptr, 0, 1);
        if (r != 0) return r;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(chunk));
    uint64_t offset = 0;
    uint32_t index = 0;
    while (offset < length || (final_append && offset == length)) {
        const auto n = static_cast<int32_t>(std::min<uint64_t>(length - offset, static_cast<uint64_t>(chunk)));
        const bool last = n < chunk;
        if (n > 0 && !source(buffer.data(), n)) return R62_FILES_NO_DATA;
        int32_t r = R62_Write_File(id, name, FILE_OP_APPEND, buffer.data(), n, 1);
        if (r != 0) return r;
        if (on_chunk && !on_chunk(buffer.data(), n, static_cast<uint32_t>(offset), index)) return R62_FILES_STOPPED;
        offset += static_cast<uint64_t>(n);
        ++index;
        if (last) break;
    }
    return 0;
}
