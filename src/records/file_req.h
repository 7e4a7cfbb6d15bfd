// Request head of the device file services, and the write operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "records/wire.h"

// File request record, the head of the three file services' requests:
//    0  char[32] name  (at most 32 characters, NUL-padded; no terminator at 32)
//   32  u32 param      (read: byte offset; write: FILE_OP_*)
//   36  u32 size       (read: bytes wanted; write: data bytes that follow)
//   40  data           (write only)
struct file_req_t {
    char name[32];
    uint32_t param;
    uint32_t size;
};
constexpr size_t FILE_REQ_OFF_NAME = 0;
constexpr size_t FILE_REQ_NAME_SIZE = 32;
constexpr size_t FILE_REQ_OFF_PARAM = 32;
constexpr size_t FILE_REQ_OFF_SIZE = 36;
constexpr size_t FILE_REQ_SIZE = 40;

// Write operations (param of R62_Write_File).
enum : uint32_t {
    FILE_OP_MKDIR = 1,   // create the directory `name`
    FILE_OP_CREATE = 2,  // create the file `name`, empty
    FILE_OP_APPEND = 3,  // append the data to the file `name`
    FILE_OP_DELETE = 4,  // delete the file `name`
};

constexpr uint32_t FILE_READ_MAX = 3996;  // data bytes per read answer
constexpr size_t FILE_INFO_SIZE = 40;      // file info answer (size first)

// Fills a request from a name (cut at 32 characters), param and size.
inline file_req_t file_req_make(const char* name, uint32_t param, uint32_t size) {
    file_req_t req{};
    if (name) std::memcpy(req.name, name, strnlen(name, FILE_REQ_NAME_SIZE));
    req.param = param;
    req.size = size;
    return req;
}

inline void file_req_encode(const file_req_t& req, uint8_t out[FILE_REQ_SIZE]) {
    std::memcpy(out + FILE_REQ_OFF_NAME, req.name, FILE_REQ_NAME_SIZE);
    put_u32le(out, FILE_REQ_OFF_PARAM, req.param);
    put_u32le(out, FILE_REQ_OFF_SIZE, req.size);
}
