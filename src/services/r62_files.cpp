#include "services/r62_files.h"

#include <algorithm>
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
    if (chunk <= 0 || chunk > R62_WRITE_MAX) return COMM_ERR_ARG;
    if (create) {
        int32_t r = R62_Write_File(id, name, FILE_OP_CREATE, nullptr, 0, 1);
        if (r != 0) return r;
    }
    size_t offset = 0;
    uint32_t index = 0;
    while (offset < data.size() || (final_append && offset == data.size())) {
        size_t n = std::min(data.size() - offset, static_cast<size_t>(chunk));
        bool last = n < static_cast<size_t>(chunk);
        int32_t r = R62_Write_File(id, name, FILE_OP_APPEND, data.data() + offset, static_cast<int32_t>(n), 1);
        if (r != 0) return r;
        if (on_chunk && !on_chunk(data.data() + offset, static_cast<int32_t>(n), static_cast<uint32_t>(offset), index))
            return R62_FILES_STOPPED;
        offset += n;
        ++index;
        if (last) break;
    }
    return 0;
}
