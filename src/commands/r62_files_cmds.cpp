#include "commands/r62_files_cmds.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "commands/cmd_file.h"
#include "commands/conc_lut.h"
#include "commands/progress.h"
#include "commands/r62_params.h"
#include "commands/tar_walk.h"
#include "console/conutil.h"
#include "console/globals.h"
#include "libcomm/libcomm.h"
#include "services/r62_comm.h"
#include "services/r62_files.h"

namespace {

constexpr const char* TAG = "MAIN";

constexpr int32_t LUT_INDEX_MAX = 3;
constexpr const char* LUT_FILE_DEFAULT = "conclut.dat";
constexpr const char* LUT_FILE_PROMPT = "Enter LUT file name";
constexpr float LUT_VALUE_MAX = 20000.0f;
constexpr float LUT_CONC_MAX = 1000.0f;

constexpr int32_t TAR_CHUNK = 128;
constexpr uint32_t TAR_DOT_EVERY = 10;

constexpr const char* RAW_NAME = "raw";
constexpr int32_t RAW_CHUNK = 512;
constexpr uint32_t RAW_PROGRESS_EVERY = 200;

constexpr uint32_t PURGE_DOT_EVERY = 20;

bool ask_yes(const char* prompt) {
    int32_t yes = 0;
    input_yesno_msg(&yes, prompt);
    return yes != 0;
}

int32_t delete_file(const char* name) { return R62_Write_File(id_conn, name, FILE_OP_DELETE, nullptr, 0, 1); }

// ---- look-up table ----

void edit_lut(lut_t& lut) {
    char name[LUT_NAME_MAX + 1];
    std::snprintf(name, sizeof name, "%s", lut_name(lut).c_str());
    input_string_msg(name, 1, LUT_NAME_MAX, "LUT name");
    if (cmd_stopped()) return;
    lut_set_name(lut, name);
    for (int32_t i = 0; i < LUT_PAIRS; ++i) {
        log_write(TAG, "Record %d/%d\n", i + 1, LUT_PAIRS);
        // Stored only when the answer changed it, so kept values keep their bits.
        float value = lut_value(lut, i);
        const float value_before = value;
        input_float_msg(&value, 0.0f, LUT_VALUE_MAX, "value [-]");
        if (std::memcmp(&value, &value_before, sizeof value) != 0) lut_set_value(lut, i, value);
        float conc = lut_conc(lut, i);
        const float conc_before = conc;
        input_float_msg(&conc, 0.0f, LUT_CONC_MAX, "conc  [%]");
        if (std::memcmp(&conc, &conc_before, sizeof conc) != 0) lut_set_conc(lut, i, conc);
        log_write(TAG, "\n");
        if (cmd_stopped()) return;
    }
}

void load_lut(lut_t& lut) {
    const auto path = cmd_ask_file_name(LUT_FILE_PROMPT, LUT_FILE_DEFAULT);
    if (!path) return;
    file_ptr f(std::fopen(path->c_str(), "rb"));
    if (!f) {
        log_write(TAG, "Error loading file.\n");
        return;
    }
    // A shorter file fills only the table's first bytes.
    (void)std::fread(lut.data(), 1, lut.size(), f.get());
}

void save_lut(const lut_t& lut) {
    const auto path = cmd_ask_file_name(LUT_FILE_PROMPT, LUT_FILE_DEFAULT);
    if (!path) return;
    cmd_file_t file;
    if (!file.open(*path, cmd_file_t::kind_t::download, "Error saving file.\n")) return;
    file.write(lut.data(), lut.size());
    file.commit();
}

// ---- storage image ----

struct sd_progress_t {
    uint32_t size = 0;
    uint32_t chunks = 0;
};

}  // namespace

int32_t R62_cmd_set_conc_lut(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_set_conc_lut";
    if (!cmd_connected()) return -1;
    lut_t lut{};
    int32_t index = 1;
    input_integer_msg(&index, -LUT_INDEX_MAX, LUT_INDEX_MAX, "LUT index");
    if (cmd_stopped()) return -1;
    if (index == 0) return 0;
    const int32_t number = std::abs(index);
    char device_name[32];
    std::snprintf(device_name, sizeof device_name, "lut/lut%.2d.dat", number);
    if (index < 0) {
        log_write(TAG, "Deleting lut with index %d.\n", number);
        const int32_t r = delete_file(device_name);
        if (r != 0) return cmd_error(NAME, r);
    }
    log_write(TAG, "%s\n", device_name);
    // The read decides only the message: a table that cannot be read is built anew.
    if (R62_Read_File(id_conn, device_name, lut.data(), 0, LUT_SIZE, nullptr, 1) != 0) {
        log_write(TAG, "Creating new.\n");
    } else {
        log_write(TAG, "Modyfying current.\n");
    }
    if (ask_yes("Would you like to load LUT from file?")) load_lut(lut);
    if (cmd_stopped()) return -1;
    edit_lut(lut);
    if (cmd_stopped()) return -1;
    lut_seal(lut);
    if (ask_yes("Would you like to save LUT to file?")) save_lut(lut);
    if (cmd_stopped()) return -1;

    log_write(TAG, "Writing LUT...");
    const auto step = [&](uint32_t op, const char* name, const void* data, int32_t length) -> int32_t {
        if (cmd_stopped()) return R62_FILES_STOPPED;
        return R62_Write_File(id_conn, name, op, data, length, 1);
    };
    int32_t r = step(FILE_OP_MKDIR, "lut", nullptr, 0);
    if (r == 0) r = step(FILE_OP_DELETE, device_name, nullptr, 0);
    uint64_t have = 0;
    if (r == 0 && cmd_stopped()) r = R62_FILES_STOPPED;
    if (r == 0) r = r62_file_write(id_conn, device_name, lut, LUT_SIZE, true, false, {}, &have);
    if (r == R62_FILES_STOPPED) return -1;
    if (r == R62_FILES_MISMATCH) return cmd_size_error(device_name, have, lut.size());
    if (r != 0) return cmd_error(NAME, r);
    log_append(TAG, "Ok.\n");
    return 0;
}

int32_t R62_cmd_delete_record(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_delete_record";
    if (!cmd_connected()) return -1;
    std::array<uint8_t, R62_PARAMS_BUF> record{};
    int32_t slots = 0;
    if (params_fetch_slots(NAME, record.data(), &slots) != 0) return -1;
    int32_t slot = 0;
    input_integer_msg(&slot, 0, slots, "Select entry index");
    if (cmd_stopped()) return -1;
    for (const char* pattern : {"meas/meas%.4d.dat", "notes/rec%.4d.wav", "aux/aux%.4d.dat"}) {
        char name[64];
        std::snprintf(name, sizeof name, pattern, slot);
        if (cmd_stopped()) return -1;
        const int32_t r = delete_file(name);
        if (r != 0) return cmd_error(NAME, r);
    }
    log_write(TAG, "Ok.\n");
    return 0;
}

int32_t R62_cmd_clear_logs(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_clear_logs";
    if (!cmd_connected()) return -1;
    const int32_t r = R62_Clear_Logs(id_conn, R62_CLEAR_ALL, 1);
    if (r != 0) return cmd_error(NAME, r);
    log_write(TAG, "Ok.\n");
    return 0;
}

int32_t R62_cmd_purge(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_purge";
    if (!cmd_connected()) return -1;
    const bool yes = ask_yes("Purge records");
    if (cmd_stopped()) return -1;
    if (!yes) return 0;
    std::array<uint8_t, R62_PARAMS_BUF> record{};
    int32_t max_stored = 0;
    if (params_fetch_slots(NAME, record.data(), &max_stored) != 0) return -1;
    const auto slots = static_cast<uint32_t>(max_stored);
    log_write(TAG, "Purging");
    progress_line bar(slots, "slots");
    for (uint32_t i = 0; i < slots; ++i) {
        bar.update(i);
        for (const char* pattern : {"meas/meas%.4u.dat", "meas/%.4u.uid", "notes/rec%.4u.wav"}) {
            char name[64];
            std::snprintf(name, sizeof name, pattern, i);
            if (cmd_stopped()) return -1;
            const int32_t r = delete_file(name);
            if (r != 0) return cmd_error(NAME, r);
        }
        if (i % PURGE_DOT_EVERY == 0) log_append(TAG, ".");
    }
    log_append(TAG, "Done.\n");
    return 0;
}

namespace {

constexpr const char* UPLOAD_TAR = "R62_cmd_upload_tar";

int32_t tar_truncated(const tar_walk_t& walk) {
    log_error("TAR archive truncated at byte %" PRIu64 "!\n", walk.offset());
    return -1;
}

// An archive's directory made on the instrument; 0 or -1.
int32_t upload_tar_dir(const tar_entry_t& entry) {
    log_write(TAG, "name of directory:%s\n", entry.name.c_str());
    if (cmd_stopped()) return -1;
    const int32_t r = R62_Write_File(id_conn, entry.name.c_str(), FILE_OP_MKDIR, nullptr, 0, 1);
    return r != 0 ? cmd_error(UPLOAD_TAR, r) : 0;
}

// An archive's file written to the instrument from the walk, a dot every
// TAR_DOT_EVERY whole chunks; 0, or -1 after reporting or a stop.
int32_t upload_tar_file(tar_walk_t& walk, const tar_entry_t& entry, progress_line& bar) {
    log_write(TAG, "file name:%s [%" PRIu64 "]", entry.name.c_str(), entry.size);
    if (cmd_stopped()) return -1;
    const auto source = [&](uint8_t* out, int32_t size) { return walk.read(out, static_cast<size_t>(size)); };
    const auto progress = [&](const uint8_t*, int32_t size, uint32_t, uint32_t index) {
        bar.update(static_cast<int64_t>(walk.offset()));
        if (size == TAR_CHUNK && index % TAR_DOT_EVERY == 0) log_append(TAG, ".");
        return cmd_stopped() == 0;
    };
    uint64_t have = 0;
    const int32_t r = r62_file_write_from(id_conn, entry.name.c_str(), entry.size, TAR_CHUNK, true, true, source,
                                          progress, &have);
    if (r == R62_FILES_STOPPED) return -1;
    if (r == R62_FILES_MISMATCH) return cmd_size_error(entry.name.c_str(), have, entry.size);
    if (r == R62_FILES_NO_DATA) {
        log_append(TAG, "\n");
        return tar_truncated(walk);
    }
    if (r != 0) return cmd_error(UPLOAD_TAR, r);
    log_append(TAG, "DONE\n");
    return 0;
}

}  // namespace

int32_t R62_cmd_upload_tar(char[], int32_t) {
    if (!cmd_connected()) return -1;
    const auto path = cmd_ask_file_name("Enter TAR file name", "sd.tar");
    if (!path) return -1;
    file_ptr f(std::fopen(path->c_str(), "rb"));
    if (!f) {
        log_write(TAG, CMD_FILE_LOAD_ERROR, path->c_str());
        return -1;
    }
    std::optional<uint64_t> length;
    if (const int64_t size = cmd_file_length(f.get()); size >= 0) length = static_cast<uint64_t>(size);
    log_write(TAG, "Reading file %s...\n", path->c_str());

    tar_walk_t walk([&](uint8_t* out, size_t n) { return std::fread(out, 1, n, f.get()); }, length);
    progress_line bar(static_cast<int64_t>(length.value_or(0)), "bytes");
    for (;;) {
        tar_entry_t entry;
        switch (walk.next(&entry)) {
            case tar_next_t::end: return 0;
            case tar_next_t::bad: log_error("Invalid TAR header at byte %" PRIu64 "!\n", walk.offset()); return -1;
            case tar_next_t::truncated: return tar_truncated(walk);
            case tar_next_t::entry: break;
        }
        int32_t r = 0;
        if (entry.kind == tar_kind_t::dir) r = upload_tar_dir(entry);
        else if (entry.size > 0) r = upload_tar_file(walk, entry, bar);  // an empty file is not created
        if (r != 0) return r;
    }
}

int32_t R62_cmd_download_sd(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_download_sd";
    if (!cmd_connected()) return -1;
    const auto path = cmd_ask_file_name("Enter sd image file name", "sd.img");
    if (!path) return -1;
    sd_progress_t p;
    int32_t r = R62_File_Info(id_conn, RAW_NAME, &p.size, 1);
    if (r != 0) return cmd_error(NAME, r);
    log_write(TAG, "Downloading sd image (size:%u)", p.size);
    cmd_file_t file;
    if (!file.open(*path, cmd_file_t::kind_t::download)) return -1;
    progress_line bar(p.size, "bytes");
    const auto write = [&](const uint8_t* data, int32_t size, uint32_t offset, uint32_t) {
        bar.update(static_cast<int64_t>(offset) + size);
        // A file that cannot take the bytes ends the download (already reported).
        if (!file.write(data, static_cast<size_t>(size))) return false;
        ++p.chunks;
        // A size of 0 gives no meaningful percentage.
        if (p.chunks % RAW_PROGRESS_EVERY == 0 && p.size != 0) {
            const double done = static_cast<double>(offset) + static_cast<double>(size);
            log_append(TAG, "%.1f%%\n", done * 100.0 / static_cast<double>(p.size));
        }
        return true;
    };
    uint32_t total = 0;
    r = r62_file_read(id_conn, RAW_NAME, RAW_CHUNK, 0, write, [](uint32_t) { return cmd_stopped() == 0; }, &total);
    if (r == R62_FILES_STOPPED) return -1;
    if (r != 0) return cmd_error(NAME, r);
    if (total != p.size) return cmd_size_error(RAW_NAME, total, p.size);
    log_append(TAG, "Ok\n");
    return file.commit() ? 0 : -1;
}

int32_t R62_cmd_memory_usage(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_memory_usage";
    if (!cmd_connected()) return -1;
    constexpr int32_t TEXT_MAX = R62_MEMORY_ANSWER - 4;
    std::array<char, TEXT_MAX + 1> text{};
    int32_t heap = 0;
    const int32_t r = R62_Memory_Usage(id_conn, &heap, text.data(), TEXT_MAX, 1);
    if (r != 0) return cmd_error(NAME, r);
    log_write(TAG, "Heap avail:%d bytes\n", heap);
    log_write(TAG, "%s\n", text.data());
    return 0;
}
