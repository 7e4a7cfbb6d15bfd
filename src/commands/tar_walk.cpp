#include "commands/tar_walk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace {

// Extension data beyond this is not believed; the entry is skipped.
constexpr uint64_t EXTENSION_MAX = 1u << 20;

bool all_zero(std::span<const uint8_t> b) {
    return std::all_of(b.begin(), b.end(), [](uint8_t c) { return c == 0; });
}

// Octal text: leading spaces, then digits up to the first other byte.
std::optional<uint64_t> octal(std::span<const uint8_t> field) {
    size_t i = 0;
    while (i < field.size() && field[i] == ' ') ++i;
    if (i == field.size() || field[i] < '0' || field[i] > '7') return std::nullopt;
    uint64_t v = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (v > (UINT64_MAX >> 3)) return std::nullopt;
        v = (v << 3) | static_cast<uint64_t>(field[i] - '0');
    }
    return v;
}

uint64_t size_field(std::span<const uint8_t, TAR_BLOCK> b) {
    const auto field = b.subspan(TAR_OFF_SIZE, TAR_SIZE_SIZE);
    if ((field[0] & 0x80) != 0) {
        // Base-256 (GNU, for sizes of 8 GiB and more): big-endian in the
        // remaining bytes; a negative or oversized value is not a size.
        if ((field[0] & 0x40) != 0) return 0;
        uint64_t v = 0;
        for (size_t i = 1; i < field.size(); ++i) {
            if (v > (UINT64_MAX >> 8)) return 0;
            v = (v << 8) | field[i];
        }
        return v;
    }
    return octal(field.first(TAR_SIZE_DIGITS)).value_or(0);
}

bool checksum_ok(std::span<const uint8_t, TAR_BLOCK> b) {
    const auto stored = octal(b.subspan(TAR_OFF_CHKSUM, TAR_CHKSUM_SIZE));
    if (!stored) return false;
    // Old tools summed signed bytes; both sums are accepted.
    uint64_t sum = 0;
    int64_t signed_sum = 0;
    for (size_t i = 0; i < TAR_BLOCK; ++i) {
        const bool in_field = i >= TAR_OFF_CHKSUM && i < TAR_OFF_CHKSUM + TAR_CHKSUM_SIZE;
        const uint8_t c = in_field ? ' ' : b[i];
        sum += c;
        signed_sum += static_cast<int8_t>(c);
    }
    return *stored == sum || static_cast<int64_t>(*stored) == signed_sum;
}

std::string text_field(std::span<const uint8_t> field) {
    const char* p = reinterpret_cast<const char*>(field.data());
    return std::string(p, strnlen(p, field.size()));
}

bool is_file_type(char type) { return type == TAR_TYPE_FILE || type == TAR_TYPE_FILE_OLD; }

}  // namespace

tar_header_t tar_parse_header(std::span<const uint8_t, TAR_BLOCK> block) {
    tar_header_t h;
    if (all_zero(block)) {
        h.block = tar_block_t::zero;
        return h;
    }
    if (!checksum_ok(block)) return h;
    h.block = tar_block_t::header;
    h.type = static_cast<char>(block[TAR_OFF_TYPE]);
    h.size = size_field(block);
    h.name = text_field(block.subspan(TAR_OFF_NAME, TAR_NAME_SIZE));
    // Only POSIX ustar has a prefix there; GNU keeps other fields at 345.
    if (std::memcmp(block.data() + TAR_OFF_MAGIC, "ustar\0", 6) == 0) {
        const std::string prefix = text_field(block.subspan(TAR_OFF_PREFIX, TAR_PREFIX_SIZE));
        if (!prefix.empty()) h.name = prefix + "/" + h.name;
    }
    return h;
}

uint64_t tar_padded(uint64_t size) { return (size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK; }

void tar_pax_apply(std::span<const uint8_t> data, std::optional<std::string>* path, std::optional<uint64_t>* size) {
    // Records: "<length> <key>=<value>\n", the length counting the whole record.
    size_t at = 0;
    while (at < data.size()) {
        size_t i = at;
        uint64_t len = 0;
        while (i < data.size() && data[i] >= '0' && data[i] <= '9' && len < data.size()) {
            len = len * 10 + static_cast<uint64_t>(data[i] - '0');
            ++i;
        }
        if (i == at || i >= data.size() || data[i] != ' ' || len > data.size() - at || at + len <= i + 1) return;
        const size_t end = at + static_cast<size_t>(len);  // one past the record's '\n'
        if (data[end - 1] != '\n') return;
        const std::string record(reinterpret_cast<const char*>(data.data() + i + 1), end - 1 - (i + 1));
        const size_t eq = record.find('=');
        if (eq != std::string::npos) {
            const std::string key = record.substr(0, eq);
            const std::string value = record.substr(eq + 1);
            if (key == "path" && path) {
                *path = value;
            } else if (key == "size" && size) {
                const std::span<const uint8_t> digits(reinterpret_cast<const uint8_t*>(value.data()), value.size());
                uint64_t v = 0;
                bool ok = !value.empty();
                for (uint8_t c : digits) {
                    if (c < '0' || c > '9' || v > (UINT64_MAX - 9) / 10) {
                        ok = false;
                        break;
                    }
                    v = v * 10 + (c - '0');
                }
                if (ok) *size = v;
            }
        }
        at = end;
    }
}

tar_walk_t::tar_walk_t(read_fn read, std::optional<uint64_t> length) : read_(std::move(read)), length_(length) {}

size_t tar_walk_t::take(uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
        const size_t r = read_(out + got, n - got);
        if (r == 0) break;
        got += r;
    }
    offset_ += got;
    return got;
}

bool tar_walk_t::skip(uint64_t n) {
    std::array<uint8_t, TAR_BLOCK> scratch;
    while (n > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(n, scratch.size()));
        if (take(scratch.data(), want) != want) return false;
        n -= want;
    }
    return true;
}

bool tar_walk_t::data_of(uint64_t size, std::string* out) {
    out->clear();
    if (size > EXTENSION_MAX) return skip(tar_padded(size));
    out->resize(static_cast<size_t>(size));
    if (take(reinterpret_cast<uint8_t*>(out->data()), out->size()) != out->size()) return false;
    return skip(tar_padded(size) - size);
}

tar_next_t tar_walk_t::rewind_to(uint64_t start, tar_next_t result) {
    offset_ = start;
    return result;
}

std::optional<tar_next_t> tar_walk_t::read_block(std::span<uint8_t, TAR_BLOCK> block) {
    const uint64_t start = offset_;
    const size_t got = take(block.data(), block.size());
    if (got == 0) return tar_next_t::end;
    if (got < block.size()) {
        // Zero padding that stops short of a block still ends the archive.
        return rewind_to(start, all_zero(block.first(got)) ? tar_next_t::end : tar_next_t::bad);
    }
    return std::nullopt;
}

bool tar_walk_t::read_extension(const tar_header_t& h, extension_t& ext) {
    std::string data;
    if (!data_of(h.size, &data)) return false;
    if (h.type == TAR_TYPE_GNU_LONGNAME) {
        if (h.size > 0 && h.size <= EXTENSION_MAX) ext.name = data.substr(0, strnlen(data.c_str(), data.size()));
    } else {
        const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        tar_pax_apply(bytes, &ext.name, &ext.size);
    }
    return true;
}

std::optional<tar_next_t> tar_walk_t::skip_entry(uint64_t size, uint64_t start, extension_t& ext) {
    ext = {};
    if (!skip(tar_padded(size))) return rewind_to(start, tar_next_t::truncated);
    return std::nullopt;
}

std::optional<tar_next_t> tar_walk_t::take_header(const tar_header_t& h, uint64_t start, extension_t& ext,
                                                  tar_entry_t* entry) {
    if (h.type == TAR_TYPE_GNU_LONGNAME || h.type == TAR_TYPE_PAX) {
        if (!read_extension(h, ext)) return rewind_to(start, tar_next_t::truncated);
        return std::nullopt;
    }
    const bool file = is_file_type(h.type);
    const uint64_t size = file && ext.size ? *ext.size : h.size;
    // Links, devices, global pax headers, volume labels, ...: their data (if
    // any) is not a header.
    if (!file && h.type != TAR_TYPE_DIR) return skip_entry(h.size, start, ext);
    // "tar cf x.tar ." names every entry "./..." and lists "./" itself:
    // the same tree as "tar cf x.tar *", as "tar tf" shows it.
    std::string name = ext.name.value_or(h.name);
    while (name.starts_with("./")) name.erase(0, 2);
    if (name.empty() || name == ".") return skip_entry(file ? size : h.size, start, ext);
    if (file && length_ && size > *length_ - std::min(*length_, offset_))
        return rewind_to(start, tar_next_t::truncated);
    entry->kind = file ? tar_kind_t::file : tar_kind_t::dir;
    entry->name = std::move(name);
    entry->size = file ? size : 0;
    if (file) {
        left_ = size;
        padding_ = tar_padded(size) - size;
    } else if (!skip(tar_padded(h.size))) {
        return rewind_to(start, tar_next_t::truncated);
    }
    return tar_next_t::entry;
}

tar_next_t tar_walk_t::next(tar_entry_t* entry) {
    if (!skip(left_)) return tar_next_t::truncated;
    // Data that is all there but misses its padding still ends the archive.
    const bool padded = skip(padding_);
    left_ = padding_ = 0;
    if (!padded) return tar_next_t::end;
    extension_t ext;
    std::array<uint8_t, TAR_BLOCK> block;
    for (;;) {
        const uint64_t start = offset_;
        if (const auto end = read_block(block)) return *end;
        const tar_header_t h = tar_parse_header(block);
        if (h.block == tar_block_t::zero) continue;
        if (h.block == tar_block_t::bad) return rewind_to(start, tar_next_t::bad);
        if (const auto result = take_header(h, start, ext, entry)) return *result;
    }
}

bool tar_walk_t::read(uint8_t* out, size_t n) {
    if (n > left_) return false;
    const size_t got = take(out, n);
    left_ -= got;
    return got == n;
}
