#include "commands/r62_log.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "commands/log_export.h"
#include "commands/log_format.h"
#include "commands/progress.h"
#include "commands/r62_cmds.h"
#include "commands/r62_params.h"
#include "console/globals.h"
#include "libcomm/libcomm.h"
#include "libcomm/text.h"
#include "records/wire.h"
#include "services/r62_comm.h"
#include "services/r62_files.h"

namespace {

constexpr const char* TAG = "MAIN";
constexpr const char* NAME = "R62_cmd_get_meas_log";
constexpr int32_t LOG_CHUNK = 450;     // bytes per file read request
constexpr uint32_t DOTS_EVERY = 30;    // note and aux copies: one dot per this many chunks
constexpr const char* SPACES20 = "                    ";
constexpr const char* TABLE_NAME = "kappa.dat";
constexpr const char* SLOTS_NAME = "aaa";
constexpr const char* TOO_MANY_SLOTS = "Log of %d entries does not fit the entry table, reading the first %u!\n";

// The last four characters of the serial, kept to one safe path component.
std::string serial_dir_name() {
    const size_t len = strnlen(serial_no, R40_SERIAL_BUF);
    std::string name = "kappa_";
    for (size_t i = 4; i < len; ++i) {
        const auto c = static_cast<unsigned char>(serial_no[i]);
        name += (c < 0x20 || c >= 0x7F || c == '/' || c == '\\') ? '_' : static_cast<char>(c);
    }
    return name;
}

int32_t download_copy(int32_t id, int32_t slot, const std::string& path, const char* device_format,
                      const char* header_format, const char* handler) {
    char name[32];
    std::snprintf(name, sizeof name, device_format, slot);
    uint32_t size = 0;
    int32_t r = R62_File_Info(id, name, &size, 1);
    if (r != 0) return cmd_error(handler, r);
    log_write(TAG, header_format, slot, static_cast<int32_t>(size));
    cmd_file_t file;
    if (!file.open(path, cmd_file_t::kind_t::download)) return 0;
    uint32_t total = 0;
    r = r62_file_read(
        id, name, LOG_CHUNK, 0,
        [&](const uint8_t* data, int32_t n, uint32_t, uint32_t index) {
            if (!file.write(data, static_cast<size_t>(n))) return false;
            if ((index + 1) % DOTS_EVERY == 0) log_append(TAG, ".");
            return true;
        },
        [](uint32_t) { return cmd_stopped() == 0; }, &total);
    if (r == R62_FILES_STOPPED) return cmd_stopped() ? -1 : 0;  // stopped, or the local file failed (reported)
    if (r != 0) return cmd_error(handler, r);
    if (total != size) return cmd_size_error(name, total, size);
    log_append(TAG, "Ok\n");
    file.commit();
    return 0;
}

void print(const std::string& text) { log_write(TAG, "%s", text.c_str()); }

}  // namespace

int32_t download_record(int32_t id, int32_t slot, uint8_t* dest) {
    log_write(TAG, "Downloading record[%d,%d]", slot, static_cast<int32_t>(MR_SIZE));
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
            log_append(TAG, ".");
            return true;
        },
        [](uint32_t offset) {
            if (cmd_stopped()) return false;
            log_append(TAG, "%d", static_cast<int32_t>(offset));
            return true;
        },
        &total);
    if (r == R62_FILES_STOPPED) return -1;
    if (r != 0) return cmd_error("download_record", r);
    if (total < MR_SIZE) return -1;  // an empty chunk before the record was complete
    log_append(TAG, "Ok\n");
    return 0;
}

int32_t download_note(int32_t id, int32_t slot, const std::string& path) {
    return download_copy(id, slot, path, "notes/rec%.4d.wav", "Downloading note[%d,%d]", "download_note");
}

int32_t download_aux(int32_t id, int32_t slot, const std::string& path) {
    return download_copy(id, slot, path, "aux/aux%.4d.dat", "Downloading aux. data[%d,%d]", "download_aux");
}

void save_meas(const std::string& path, const uint8_t* rec) {
    cmd_file_t file;
    if (!file.open(path)) return;
    file.puts(log_raw_text(rec).c_str());
    file.close();
}

void calc_avg_std_dev(float sum, float sum_sq, int32_t n, cmd_file_t* file) {
    const std::string text = log_stats_text(sum, sum_sq, n);
    if (text.empty()) return;
    print(text);
    if (file) file->puts(text.c_str());
}

void write_gps_coords(const uint8_t* rec) { print(log_gps_line(rec)); }

void write_gps_coords_file(cmd_file_t* file, const uint8_t* rec) {
    if (file) file->puts(log_gps_table_text(rec).c_str());
}

namespace {

// ---- the log command's steps ----

struct log_choices_t {
    int32_t file = 1, notes = 0, raw = 0, aux = 0;
    bool any() const { return file || notes || raw || aux; }
};

// Running sums of the current group's discrete records.
struct group_stats_t {
    float sum_s = 0.0f, sum_s2 = 0.0f, sum_c = 0.0f, sum_c2 = 0.0f;
    int32_t n = 0;
    int32_t group = -1;

    void add(const meas_t& m) {
        sum_s += m.susc;
        sum_s2 += m.susc * m.susc;
        sum_c += m.cond;
        sum_c2 += m.cond * m.cond;
        ++n;
    }
    // Prints (and writes) the group's statistics and starts anew.
    void close_group(cmd_file_t& file) {
        calc_avg_std_dev(sum_s, sum_s2, n, &file);
        calc_avg_std_dev(sum_c, sum_c2, n, &file);
        sum_s = sum_s2 = sum_c = sum_c2 = 0.0f;
        n = 0;
    }
};

// Where the download goes: the folder prefix, the text table, the exports.
struct log_outputs_t {
    std::string prefix;
    cmd_file_t table_file;
    log_exports_t exports;
    group_stats_t stats;
};

uint32_t entry_value(const uint8_t* table, uint32_t slot) {
    return get_u32le(table, static_cast<size_t>(slot) * LE_SIZE);
}
uint8_t entry_flags(const uint8_t* table, uint32_t slot) {
    return get_u8(table, static_cast<size_t>(slot) * LE_SIZE + 4);
}

// The four questions; false when the command must stop.
bool ask_log_choices(log_choices_t& c) {
    for (auto [answer, prompt] : {std::pair{&c.file, "Save to file"}, std::pair{&c.notes, "Save notes"},
                                  std::pair{&c.raw, "Save raw data"}, std::pair{&c.aux, "Save aux. data"}}) {
        input_yesno_msg(answer, prompt);
        if (cmd_stopped()) return false;
    }
    return true;
}

// The number of log slots from the parameter record, and the slots the
// entry table can hold; 0, or -1 after reporting.
int32_t fetch_log_size(int32_t* max_stored, uint32_t* slots) {
    std::vector<uint8_t> params(R62_PARAMS_BUF, 0);
    if (params_fetch_slots(NAME, params.data(), max_stored) != 0) return -1;
    *slots = static_cast<uint32_t>(*max_stored);
    if (*slots > LOG_TABLE_SLOTS) {
        *slots = LOG_TABLE_SLOTS;
        log_error(TOO_MANY_SLOTS, *max_stored, *slots);
    }
    return 0;
}

// The entry table, LE_PER_ANSWER entries a request, a dot for each; 0 or -1.
int32_t fetch_entry_table(uint8_t* table, uint32_t slots, int32_t max_stored) {
    log_write(TAG, "Downloading entry table(%d entries)", max_stored);
    for (uint32_t first = 0; first < slots; first += LE_PER_ANSWER) {
        if (cmd_stopped()) return -1;
        const int32_t r = R62_Get_Meas_Log_Entry_List(id_conn, first, table + static_cast<size_t>(first) * LE_SIZE, 1);
        if (r != 0) return cmd_error(NAME, r);
        log_append(TAG, ".");
    }
    log_append(TAG, "\n\n");
    return 0;
}

// The slots in use with their values and note marks, and their number.
void list_entries(const uint8_t* table, uint32_t slots) {
    int32_t listed = 0;
    for (uint32_t slot = 0; slot < slots; ++slot) {
        const auto value = static_cast<int32_t>(entry_value(table, slot));
        if (value <= 0) continue;
        log_write(TAG, "[%.4d] : %d ", static_cast<int32_t>(slot), value);
        if (entry_flags(table, slot) & LE_NOTE) log_append(TAG, " note");
        log_append(TAG, "\n");
        ++listed;
    }
    log_write(TAG, "Meas log num entries = %d\n\n", listed);
}

// Reads the serial and makes the folder named after it; its prefix
// ("kappa_<serial>/") in `prefix`. 0, or -1 after reporting or a stop.
int32_t make_log_folder(std::string* prefix) {
    if (R62_cmd_get_serial(nullptr, 0) != 0) return cmd_error(NAME, -1);
    if (cmd_stopped()) return -1;
    const std::string dir = serial_dir_name();
    cmd_make_dir(dir);
    *prefix = dir + "/";
    return 0;
}

// The slot listing: every slot and its entry value. Returns the slots in use.
int32_t write_slot_file(const uint8_t* table, uint32_t slots, int32_t max_stored) {
    int32_t stored = 0;
    cmd_file_t slot_file;
    slot_file.open(SLOTS_NAME);
    for (uint32_t slot = 0; slot < slots; ++slot) {
        const auto value = static_cast<int32_t>(entry_value(table, slot));
        slot_file.printf("%d/%d   %d\n", static_cast<int32_t>(slot), max_stored, value);
        if (value != 0) ++stored;
    }
    return stored;
}

// One record's console lines and table lines; a discrete record joins its
// group's statistics.
void show_record(const meas_t& m, const uint8_t* rec, log_outputs_t& out) {
    cmd_file_t& table_file = out.table_file;
    switch (log_kind(m)) {
        case log_kind_t::discrete:
            print(log_discrete_line(m));
            if (m.bh_kind == 2) print(log_core_line(m));
            table_file.puts(log_discrete_table_line(m).c_str());
            out.stats.add(m);
            print(SPACES20);
            write_gps_coords(rec);
            break;
        case log_kind_t::scanner: {
            print(log_scanner_line(m));
            if (m.bh_kind == 2) print(log_core_line(m));
            table_file.puts(log_scanner_table_line(m).c_str());
            const std::string points = log_point_lines(rec);
            print(points);
            table_file.puts(points.c_str());
            print(SPACES20);
            write_gps_coords(rec);
            break;
        }
        case log_kind_t::header: print(log_header_lines(m)); break;
        case log_kind_t::unknown: print("Unknown record.\n"); break;
    }
    if (table_file.is_open()) {
        write_gps_coords_file(&table_file, rec);
        table_file.puts("\n");
    }
}

// The record's raw data file, note and aux copies, as chosen; -1 when the
// command must stop.
int32_t copy_record_files(const log_choices_t& choices, uint32_t slot, uint8_t flags, const meas_t& m,
                          const uint8_t* rec, const std::string& prefix) {
    if (cmd_stopped()) return -1;
    if (choices.raw) save_meas(prefix + text_format("data%.8d.dat", m.rec_no), rec);
    if (choices.notes && (flags & LE_NOTE)) {
        print(SPACES20);
        download_note(id_conn, static_cast<int32_t>(slot), prefix + text_format("rec%.8d.wav", m.rec_no));
    }
    if (choices.aux && (flags & LE_AUX)) {
        if (cmd_stopped()) return -1;
        print(SPACES20);
        download_aux(id_conn, static_cast<int32_t>(slot), prefix + text_format("aux%.8d.dat", m.rec_no));
    }
    return 0;
}

// Every record in download order: shown, written, exported, with its
// copies. 0, or -1 after a failed download (reported) or a stop.
int32_t download_records(const uint8_t* table, uint32_t slots, const log_choices_t& choices, log_outputs_t& out) {
    std::vector<uint8_t> rec(MR_SIZE, 0);
    const std::vector<uint32_t> order = log_download_order(table, slots);
    progress_line bar(static_cast<int64_t>(order.size()), "records");
    for (const uint32_t& slot : order) {
        bar.update(&slot - order.data());
        if (cmd_stopped()) return -1;
        if (download_record(id_conn, static_cast<int32_t>(slot), rec.data()) != 0) {
            if (cmd_stopped()) return -1;
            log_error("\nError downloading data!\n");
            out.exports.finish(true);
            return -1;
        }
        const meas_t m = meas_decode(rec.data());
        if (m.group_no != out.stats.group) out.stats.close_group(out.table_file);
        out.stats.group = m.group_no;
        show_record(m, rec.data(), out);
        out.exports.add(slot, entry_value(table, slot), rec.data());
        if (copy_record_files(choices, slot, entry_flags(table, slot), m, rec.data(), out.prefix) != 0) return -1;
    }
    return cmd_stopped() ? -1 : 0;
}

}  // namespace

int32_t R62_cmd_get_meas_log(char[], int32_t) {
    if (!cmd_connected()) return -1;
    log_choices_t choices;
    if (!ask_log_choices(choices)) return -1;
    int32_t max_stored = 0;
    uint32_t slots = 0;
    if (fetch_log_size(&max_stored, &slots) != 0) return -1;
    // Too large for the stack.
    std::vector<uint8_t> table(LOG_TABLE_SIZE, 0);
    if (fetch_entry_table(table.data(), slots, max_stored) != 0) return -1;
    list_entries(table.data(), slots);

    log_outputs_t out;
    if (choices.any()) {
        if (const int32_t r = make_log_folder(&out.prefix); r != 0) return r;
    }
    if (choices.file) {
        out.table_file.open(out.prefix + TABLE_NAME);
        out.exports.open(out.prefix, std::string(serial_no, strnlen(serial_no, R40_SERIAL_BUF)));
    }
    const int32_t stored = write_slot_file(table.data(), slots, max_stored);
    if (download_records(table.data(), slots, choices, out) != 0) return -1;
    out.stats.close_group(out.table_file);
    out.table_file.close();
    out.exports.complete();
    log_write(TAG, "Num downloaded records:%d\n", stored);
    return 0;
}
