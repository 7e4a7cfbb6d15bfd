#include "commands/r62_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "commands/cmd_common.h"
#include "libcomm/libcomm.h"
#include "services/r62_files.h"

namespace {

constexpr int32_t LOG_CHUNK = 450;  // bytes per file read request

}  // namespace

int32_t download_record(int32_t id, int32_t slot, uint8_t* dest) {
    log_write("MAIN", "Downloading record[%d,%d]", slot, static_cast<int32_t>(MR_SIZE));
    char name[32];
    if (slot == LOG_SLOT_LAST)
        std::snprintf(name, sizeof name, "meas/last.dat");
    else
        std::snprintf(name, sizeof name, "meas/meas%.4d.dat", slot);
    uint32_t total = 0;
    // The last request still asks a full chunk; what comes past the record is dropped.
    int32_t r = r62_file_read(
        id, name, LOG_CHUNK, static_cast<uint32_t>(MR_SIZE),
        [&](const uint8_t* data, int32_t size, uint32_t offset, uint32_t) {
            std::memcpy(dest + offset, data, static_cast<size_t>(size));
            log_append("MAIN", ".");
            return true;
        },
        [](uint32_t offset) {
            if (cmd_stopped()) return false;
            log_append("MAIN", "%d", static_cast<int32_t>(offset));
            return true;
        },
        &total);
    if (r == R62_FILES_STOPPED) return -1;
    if (r != 0) return cmd_error("download_record", r);
    if (total < MR_SIZE) return -1;  // an empty chunk before the record was complete
    log_append("MAIN", "Ok\n");
    return 0;
}
