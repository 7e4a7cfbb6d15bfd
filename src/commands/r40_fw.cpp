#include "commands/r40_fw.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <span>
#include <vector>

#include "commands/cmd_file.h"
#include "commands/gfw_image.h"
#include "commands/progress.h"
#include "console/globals.h"
#include "libcomm/libcomm.h"
#include "link/mxx_comm.h"
#include "records/dev_time.h"
#include "services/r40_comm.h"

namespace {

constexpr const char* TAG = "MAIN";
constexpr const char* READING = "Reading file %s...";
constexpr const char* TOO_LONG = "Error,file longer than 0x%x!\n";
constexpr const char* RAW_SUM = "Raw checksum:0x%.8x\n";
constexpr const char* ENC_SUM = "Enc checksum:0x%.8x\n";
constexpr const char* ENCRYPTED = "Encrypted:0x%.2x\n";
constexpr const char* OK = "Ok.\n";
constexpr const char* GFW_PROMPT = "Enter GFW file name";

constexpr uint32_t NAME_MAX_CREATE = 254;  // create, upload and verify; the flashing order takes 255
constexpr int32_t WRITE_ATTEMPTS = 5;
constexpr int64_t MAX_BLOCKS = 65535;  // the block index travels as a u16
constexpr int32_t VERIFY_GROUP = 1024;  // blocks per progress line of the verify

bool read_exact(std::FILE* f, void* data, size_t size) { return std::fread(data, 1, size, f) == size; }

// Reads a GFW file's header and image, the image into a buffer of
// `max_size` bytes (-1: the file's image length) padded with 0xFF, and
// checks its device type and size. Prints the reading and the reason of a
// refusal; false when the file must not be uploaded.
bool read_gfw(const char* name, int32_t dev_type, int32_t max_size, std::vector<uint8_t>& buffer,
              gfw_header_t* header) {
    // Only read: firmware is often distributed read-only.
    file_ptr f(std::fopen(name, "rb"));
    const int64_t length = f ? cmd_file_length(f.get()) : -1;
    if (length < 0) {
        log_write(TAG, CMD_FILE_LOAD_ERROR, name);
        return false;
    }
    // The length check below needs a size that is not negative; a file too
    // short for its header fails on the header.
    const int64_t size = max_size == -1 ? std::max<int64_t>(0, length - static_cast<int64_t>(GFW_HEADER_SIZE))
                                        : std::max<int32_t>(0, max_size);
    log_write(TAG, READING, name);
    uint8_t head[GFW_HEADER_SIZE];
    if (!read_exact(f.get(), head, sizeof head)) {
        log_write(TAG, CMD_FILE_LOAD_ERROR, name);
        return false;
    }
    const gfw_header_t h = gfw_header_decode(head);
    if (h.dev_type != dev_type) {
        log_write(TAG, "Invalid GFW file!\n");
        return false;
    }
    if (h.image_length > static_cast<uint64_t>(size)) {
        log_write(TAG, TOO_LONG, static_cast<uint32_t>(size));
        return false;
    }
    buffer.assign(static_cast<size_t>(size), 0xFF);
    if (!read_exact(f.get(), buffer.data(), h.image_length)) {
        log_write(TAG, CMD_FILE_LOAD_ERROR, name);
        return false;
    }
    *header = h;
    return true;
}

// Checks both checksums of the image in `buffer` against its header;
// `report` prints the header and the sums first. False after printing the
// one that is wrong.
bool check_gfw_sums(const gfw_header_t& h, const std::vector<uint8_t>& buffer, bool report) {
    const bool scrambled = (h.flags & GFW_FLAG_SCRAMBLED) != 0;
    const std::span<const uint8_t> image(buffer);
    const uint32_t calc_stored = gfw_checksum(image);
    const uint32_t calc_raw = gfw_checksum(image, scrambled);
    if (report) {
        log_write(TAG, "Ok (size=0x%x,flags=0x%.2x).\n", h.image_length, h.flags);
        log_write(TAG, "Version:%d.%.2d\n", gfw_version_major(h.version), gfw_version_minor(h.version));
        log_write(TAG, ENCRYPTED, scrambled ? 1u : 0u);
        log_write(TAG, "Calc raw checksum:0x%.8x\n", calc_raw);
        log_write(TAG, "Calc enc checksum:0x%.8x\n", calc_stored);
        log_write(TAG, "File raw checksum:0x%.8x\n", h.raw_checksum);
        log_write(TAG, "File enc checksum:0x%.8x\n", h.stored_checksum);
    }
    if (h.raw_checksum != calc_raw) {
        log_write(TAG, "Raw chsum wrong!\n");
        return false;
    }
    if (h.stored_checksum != calc_stored) {
        log_write(TAG, "Enc chsum wrong!\n");
        return false;
    }
    return true;
}

// Reads a GFW file as the upload takes it and checks it (read_gfw, then
// check_gfw_sums). `report` off: only the reading and a refusal are printed
// (the flashing order).
bool load_gfw(const char* name, int32_t dev_type, int32_t max_size, std::vector<uint8_t>& buffer,
              gfw_header_t* header = nullptr, bool report = true) {
    gfw_header_t h{};
    if (!read_gfw(name, dev_type, max_size, buffer, &h)) return false;
    if (header) *header = h;
    return check_gfw_sums(h, buffer, report);
}

enum class write_result { ok, failed, stopped };

// One block, up to WRITE_ATTEMPTS attempts; a stop between attempts sends no
// further one.
write_result write_block(uint16_t index, std::span<const uint8_t> data) {
    for (int32_t attempt = 0; attempt < WRITE_ATTEMPTS; ++attempt) {
        if (attempt > 0 && cmd_stopped()) return write_result::stopped;
        if (R40_write_ext_flash(id_conn, index, data.data(), static_cast<int32_t>(data.size()), 1) == 0)
            return write_result::ok;
    }
    return write_result::failed;
}

}  // namespace

int32_t R40_create_gfw(const char* bin_path, const char* gfw_path, int32_t major, int32_t minor, int32_t scramble,
                       const char* device_name, int32_t max_size, int32_t dev_type) {
    file_ptr in(std::fopen(bin_path, "rb"));
    if (!in) {
        log_write(TAG, CMD_FILE_LOAD_ERROR, bin_path);
        return -1;
    }
    log_write(TAG, READING, bin_path);
    const int64_t bin_size = cmd_file_length(in.get());
    if (bin_size < 0) {
        log_write(TAG, CMD_FILE_LOAD_ERROR, bin_path);
        return -1;
    }
    const int64_t image_length = gfw_image_length(bin_size, max_size);
    if (image_length < 0) {
        log_write(TAG, TOO_LONG, static_cast<uint32_t>(max_size == -1 ? UINT32_MAX : max_size));
        return -1;
    }
    // Header room, then the image: the file is written as one piece.
    std::vector<uint8_t> file(GFW_HEADER_SIZE + static_cast<size_t>(image_length), 0);
    if (!read_exact(in.get(), file.data() + GFW_HEADER_SIZE, static_cast<size_t>(bin_size))) {
        log_write(TAG, CMD_FILE_LOAD_ERROR, bin_path);
        return -1;
    }
    log_write(TAG, OK);
    in.reset();

    const gfw_header_t h = gfw_build(file, {device_name, dev_type, major, minor, scramble != 0, local_time_now()});
    log_write(TAG, RAW_SUM, h.raw_checksum);
    log_write(TAG, ENC_SUM, h.stored_checksum);
    log_write(TAG, "Version:%d.%d\n", major, minor);
    log_write(TAG, "Writing file %s...", gfw_path);
    // Under "<name>.part" until complete: a failed create never leaves a
    // truncated image under the real name.
    cmd_file_t out;
    if (!out.open(gfw_path, cmd_file_t::kind_t::download, CMD_FILE_WRITE_ERROR, "Error creating file:%s!\n"))
        return -1;
    if (!out.write(file.data(), file.size()) || !out.commit()) return -1;
    log_write(TAG, OK);
    return 0;
}

int32_t R40_cmd_create_gfw(char[], const char* bin_name, const char* gfw_name, const char* device_name,
                           int32_t max_size, int32_t dev_type) {
    const auto bin = cmd_ask_file_name("Enter BIN file name", bin_name, NAME_MAX_CREATE);
    if (!bin) return -1;
    const auto gfw = cmd_ask_file_name(GFW_PROMPT, gfw_name, NAME_MAX_CREATE);
    if (!gfw) return -1;
    int32_t scramble = 1;
    input_yesno_msg(&scramble, "Encrypt file");
    if (cmd_stopped()) return -1;
    int32_t major = 0;
    input_integer_msg(&major, 0, 255, "Major version:");
    if (cmd_stopped()) return -1;
    int32_t minor = 0;
    input_integer_msg(&minor, 0, 255, "Minor version:");
    if (cmd_stopped()) return -1;
    return R40_create_gfw(bin->c_str(), gfw->c_str(), major, minor, scramble, device_name, max_size, dev_type);
}

int32_t R40_cmd_upload_gfw(char[], const char* gfw_name, int32_t dev_type, int32_t max_size) {
    static constexpr const char* NAME = "R40_cmd_upload_gfw";
    if (!cmd_connected()) return -1;
    const auto name = cmd_ask_file_name(GFW_PROMPT, gfw_name, NAME_MAX_CREATE);
    if (!name) return -1;
    std::vector<uint8_t> buffer;
    if (!load_gfw(name->c_str(), dev_type, max_size, buffer)) return -1;
    if (cmd_stopped()) return -1;

    log_write(TAG, "Erasing external flash....");
    int32_t block = 0;
    const int32_t r = R40_erase_ext_flash(id_conn, &block, 1);
    if (r != 0) return cmd_error(NAME, r);
    log_write(TAG, OK);
    if (block == 0) block = R40_DEFAULT_BLOCK;

    const auto size = static_cast<int64_t>(buffer.size());
    const int64_t full = block > 0 ? size / block : 0;
    const int64_t rest = block > 0 ? size % block : 0;
    const int64_t total = full + (rest > 0 ? 1 : 0);
    // The size comes from the device; refuse one no request can carry or
    // whose block indices would not fit in 16 bits.
    if (block < 0 || block > R40_WRITE_MAX || total > MAX_BLOCKS) {
        log_write(TAG, "Error,invalid block size:%d!\n", block);
        return -1;
    }
    progress_line bar(total, "blocks");
    for (int64_t k = 0; k < total; ++k) {
        bar.update(k);
        if (cmd_stopped()) return -1;
        const int64_t length = k < full ? block : rest;
        log_write(TAG, "Writing block %d of %d (size:%d)...", static_cast<int32_t>(k + 1), static_cast<int32_t>(total),
                  static_cast<int32_t>(length));
        const std::span<const uint8_t> data(buffer.data() + k * block, static_cast<size_t>(length));
        switch (write_block(static_cast<uint16_t>(k), data)) {
            case write_result::ok: log_write(TAG, OK); break;
            case write_result::stopped: return -1;
            case write_result::failed: log_write(TAG, "Error!\n"); return -1;
        }
    }
    return 0;
}

int32_t R40_cmd_verify_gfw(char[], const char* gfw_name, int32_t dev_type, int32_t max_size) {
    static constexpr const char* NAME = "R40_cmd_verify_gfw";
    if (!cmd_connected()) return -1;
    const auto name = cmd_ask_file_name(GFW_PROMPT, gfw_name, NAME_MAX_CREATE);
    if (!name) return -1;
    std::vector<uint8_t> buffer;
    if (!load_gfw(name->c_str(), dev_type, max_size, buffer)) return -1;

    const int64_t size = static_cast<int64_t>(buffer.size());
    const int64_t total = (size + R40_EXT_FLASH_READ - 1) / R40_EXT_FLASH_READ;
    if (total > MAX_BLOCKS + 1) {
        log_write(TAG, TOO_LONG, static_cast<uint32_t>((MAX_BLOCKS + 1) * R40_EXT_FLASH_READ));
        return -1;
    }
    int64_t first_bad = -1;
    int64_t bad = 0;
    uint8_t block[R40_EXT_FLASH_READ];
    progress_line bar(total, "blocks");
    for (int64_t k = 0; k < total; ++k) {
        bar.update(k);
        if (cmd_stopped()) return -1;
        if (k % VERIFY_GROUP == 0)
            log_write(TAG, "Reading blocks %d-%d of %d...", static_cast<int32_t>(k + 1),
                      static_cast<int32_t>(std::min<int64_t>(k + VERIFY_GROUP, total)), static_cast<int32_t>(total));
        std::fill(std::begin(block), std::end(block), 0);
        const int32_t r = R40_read_ext_flash(id_conn, static_cast<uint16_t>(k), block, 1);
        if (r != 0) return cmd_error(NAME, r);
        const auto off = static_cast<size_t>(k * R40_EXT_FLASH_READ);
        const size_t length = std::min<size_t>(R40_EXT_FLASH_READ, buffer.size() - off);
        if (!std::equal(block, block + length, buffer.begin() + static_cast<std::ptrdiff_t>(off))) {
            if (first_bad < 0) first_bad = k;
            ++bad;
        }
        if ((k + 1) % VERIFY_GROUP == 0 || k + 1 == total) log_write(TAG, OK);
    }
    if (bad > 0) {
        log_write(TAG, "Verify failed: %d of %d blocks differ, first block %d!\n", static_cast<int32_t>(bad),
                  static_cast<int32_t>(total), static_cast<int32_t>(first_bad + 1));
        return -1;
    }
    log_write(TAG, "Verify OK.\n");
    return 0;
}

int32_t R40_cmd_flash_fw(char[], const char* gfw_name, int32_t dev_type, int32_t max_size) {
    if (!cmd_connected()) return -1;
    const auto name = cmd_ask_file_name(GFW_PROMPT, gfw_name);
    if (!name) return -1;
    // The instrument programs itself from whatever the external flash holds:
    // an image the upload would refuse is never ordered flashed.
    std::vector<uint8_t> buffer;
    gfw_header_t h{};
    if (!load_gfw(name->c_str(), dev_type, max_size, buffer, &h, false)) return -1;
    if (cmd_stopped()) return -1;
    log_write(TAG, OK);
    const uint32_t scrambled = h.flags & GFW_FLAG_SCRAMBLED;
    log_write(TAG, ENCRYPTED, scrambled);
    log_write(TAG, RAW_SUM, h.raw_checksum);
    log_write(TAG, ENC_SUM, h.stored_checksum);
    log_write(TAG, "Starting memory flashing process...");
    const int32_t r = R40_flash_FW(id_conn, scrambled, h.raw_checksum, 1);
    if (r != 0) return cmd_error("R40_cmd_flash_fw", r);
    MXX_disconnect(id_conn);
    return 0;
}
