// TAR archive header block (POSIX ustar, with the GNU and pax extensions the
// upload recognises).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t TAR_BLOCK = 512;
constexpr size_t TAR_OFF_NAME = 0;        // char[100], NUL-terminated when shorter
constexpr size_t TAR_NAME_SIZE = 100;
constexpr size_t TAR_OFF_SIZE = 124;      // char[12]: octal text, or base-256 when the first byte has bit 7
constexpr size_t TAR_SIZE_SIZE = 12;
constexpr size_t TAR_SIZE_DIGITS = 11;    // the 12th byte is the terminator
constexpr size_t TAR_OFF_CHKSUM = 148;    // char[8]: octal sum of the block with this field as spaces
constexpr size_t TAR_CHKSUM_SIZE = 8;
constexpr size_t TAR_OFF_TYPE = 156;      // char
constexpr size_t TAR_OFF_MAGIC = 257;     // "ustar\0" (POSIX) or "ustar  \0" (GNU)
constexpr size_t TAR_OFF_PREFIX = 345;    // char[155], POSIX ustar only
constexpr size_t TAR_PREFIX_SIZE = 155;

// Type flags.
constexpr char TAR_TYPE_FILE = '0';
constexpr char TAR_TYPE_FILE_OLD = '\0';  // regular file of pre-POSIX archives
constexpr char TAR_TYPE_DIR = '5';
constexpr char TAR_TYPE_GNU_LONGNAME = 'L';  // data: the next entry's name
constexpr char TAR_TYPE_PAX = 'x';           // data: "len key=value\n" records for the next entry
