// Walks a TAR archive as real tools write it (POSIX ustar, GNU long names,
// pax extended headers) and hands on only what the instrument takes:
// directories and regular files, each with its whole name (a leading "./"
// dropped, the entry "./" itself skipped).
//
// Every header's checksum is checked: an all-zero block is skipped, any
// other block that does not check stops the walk, so a file that is not an
// archive yields nothing. Entries of other types (links, devices, pax and
// GNU extension headers) are skipped together with their data blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "records/tar.h"

// ---- one header block ----

enum class tar_block_t : uint8_t { zero, bad, header };

struct tar_header_t {
    tar_block_t block = tar_block_t::bad;
    char type = 0;
    std::string name;   // name field, with the ustar prefix and a '/' before it when there is one
    uint64_t size = 0;  // octal (a field without a number counts as 0) or base-256
};

tar_header_t tar_parse_header(std::span<const uint8_t, TAR_BLOCK> block);
// `size` rounded up to whole blocks.
uint64_t tar_padded(uint64_t size);

// Takes "path" and "size" from the records of a pax extended header; other
// keys and a malformed tail are ignored.
void tar_pax_apply(std::span<const uint8_t> data, std::optional<std::string>* path, std::optional<uint64_t>* size);

// ---- the walk ----

enum class tar_kind_t : uint8_t { file, dir };

struct tar_entry_t {
    tar_kind_t kind = tar_kind_t::file;
    std::string name;
    uint64_t size = 0;  // files: data bytes that follow
};

enum class tar_next_t : uint8_t {
    entry,      // *entry is set
    end,        // the archive ended cleanly
    bad,        // a block that is not a header (offset(): where it starts)
    truncated,  // the archive ends inside a header or an entry's data
};

class tar_walk_t {
public:
    // Fills `out` with up to `n` bytes; fewer only at the end of the archive.
    using read_fn = std::function<size_t(uint8_t* out, size_t n)>;

    // `length`, when known, lets a file entry whose data would run past the
    // end be refused before any of it is read.
    explicit tar_walk_t(read_fn read, std::optional<uint64_t> length = std::nullopt);

    // The next directory or regular file. Data of the previous file that
    // was not read is skipped.
    tar_next_t next(tar_entry_t* entry);
    // The next `n` bytes of the current file's data, at most what is left
    // of it. False when the archive ends first (or nothing is left).
    bool read(uint8_t* out, size_t n);
    // Archive bytes consumed so far; after bad or truncated, where the
    // offending block starts.
    uint64_t offset() const { return offset_; }

private:
    size_t take(uint8_t* out, size_t n);
    bool skip(uint64_t n);
    // Reads an extension header's data (kept up to a sane size, else only
    // skipped); false when the archive ends inside it.
    bool data_of(uint64_t size, std::string* out);

    // The name and size extension headers give the entry behind them.
    struct extension_t {
        std::optional<std::string> name;
        std::optional<uint64_t> size;
    };
    // Reads the next header block: nothing when a whole block came.
    std::optional<tar_next_t> read_block(std::span<uint8_t, TAR_BLOCK> block);
    // Takes a parsed header that starts at `start`: nothing when the walk
    // goes on to the next header.
    std::optional<tar_next_t> take_header(const tar_header_t& h, uint64_t start, extension_t& ext,
                                          tar_entry_t* entry);
    bool read_extension(const tar_header_t& h, extension_t& ext);
    // Skips an entry that is not walked, with the extensions that named it.
    std::optional<tar_next_t> skip_entry(uint64_t size, uint64_t start, extension_t& ext);
    // A failed header: offset() goes back to where it starts.
    tar_next_t rewind_to(uint64_t start, tar_next_t result);

    read_fn read_;
    std::optional<uint64_t> length_;
    uint64_t offset_ = 0;
    uint64_t left_ = 0;     // unread data bytes of the current file
    uint64_t padding_ = 0;  // block padding behind them
};
