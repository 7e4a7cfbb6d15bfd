// Device services common to the maker's instruments: identity, clock,
// external flash, flashing order and restart, and the family's probe pair.
//
// Every service is one MXX exchange and returns its result: 0 success,
// 1 failure reported by the device, 255 no answer, any other value a link
// write error (negative, COMM_ERR_*). Services print nothing.
//
// A service that reads its answer names the payload it requires ("answer:"
// below). When the exchange succeeds without it (only status frames came, or
// the payload was shorter or longer) the service copies nothing and returns
// MXX_ERR_PAYLOAD (254). Given no place for the answer, or wait 0, it reads
// nothing and requires nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/dev_time.h"

// Device type the common family reports when identified.
constexpr int32_t DEV_TYPE_R40 = 3;

constexpr uint16_t R40_CODE_GET_FW_VERSION = 8001;
constexpr uint16_t R40_CODE_GET_TIME = 8002;
constexpr uint16_t R40_CODE_SET_TIME = 8003;
constexpr uint16_t R40_CODE_GET_SERIAL = 8007;
constexpr uint16_t R40_CODE_GET_MODEL_REV = 8008;
constexpr uint16_t R40_CODE_RESTART = 8021;
constexpr uint16_t R40_CODE_ERASE_EXT_FLASH = 8100;
constexpr uint16_t R40_CODE_READ_EXT_FLASH = 8101;
constexpr uint16_t R40_CODE_WRITE_EXT_FLASH = 8102;
constexpr uint16_t R40_CODE_FLASH_FW = 8103;
constexpr uint16_t R40_CODE_SET_SERIAL = 8104;
constexpr uint16_t R40_CODE_SET_MODEL_REV = 8105;

constexpr uint16_t R40_CODE_SERIAL_ANSWER = 9007;  // get-serial answer (request + 1000)

constexpr int32_t R40_SERIAL_LEN = 8;       // serial characters on the wire
constexpr int32_t R40_SERIAL_BUF = 9;       // caller's serial buffer: text and terminator
constexpr int32_t R40_FW_VERSION_LEN = 8;   // version characters at most
constexpr int32_t R40_EXT_FLASH_READ = 64;  // bytes of one read block
constexpr int32_t R40_DEFAULT_BLOCK = 64;   // write block size when the device answers 0
constexpr int32_t R40_WRITE_BUF = 65535;    // request buffer of a block write
// Largest data length of one block write: the 2-byte index plus the data must
// stay within the largest frame payload (65533).
constexpr int32_t R40_WRITE_MAX = 65531;

// Firmware version text into `buffer`; its first 8 bytes are zeroed first,
// so give a larger zeroed buffer to keep an 8-character text terminated.
// Answer: 1 to 8 bytes.
int32_t R40_get_fw_version(int32_t id, char* buffer, int32_t wait);
// Answer: 24 bytes (dev_time_t); `record` is left as it was without them.
int32_t R40_get_time(int32_t id, dev_time_t* record, int32_t wait);
int32_t R40_set_time(int32_t id, const dev_time_t* record, int32_t wait);
// `buffer` holds R40_SERIAL_BUF bytes and is zeroed first, so it always ends
// terminated; null sends the request without taking the serial.
// Answer: 8 bytes.
int32_t R40_get_serial(int32_t id, char* buffer, int32_t wait);
// Answer: 4 bytes.
int32_t R40_get_model_rev(int32_t id, uint32_t* word, int32_t wait);
// Never waits: the result is that of the write.
int32_t R40_restart(int32_t id);
// Answer: 4 bytes, the write block size.
int32_t R40_erase_ext_flash(int32_t id, int32_t* block_size, int32_t wait);
// `buffer` holds R40_EXT_FLASH_READ bytes. Answer: 64 bytes.
int32_t R40_read_ext_flash(int32_t id, uint16_t block, uint8_t* buffer, int32_t wait);
// Refuses a length outside 0..R40_WRITE_MAX (or data missing) with
// COMM_ERR_ARG before anything is sent. With wait, status frames of status 0
// alone confirm nothing: MXX_ERR_UNCONFIRMED (253).
int32_t R40_write_ext_flash(int32_t id, uint16_t block, const uint8_t* data, int32_t length, int32_t wait);
int32_t R40_flash_FW(int32_t id, uint32_t encrypted, uint32_t checksum, int32_t wait);
// Sends the first 8 characters of `serial`, NUL-padded when shorter.
int32_t R40_set_serial(int32_t id, const char* serial, int32_t wait);
int32_t R40_set_model_rev(int32_t id, uint32_t word, int32_t wait);

// Probe pair for MXX_connect (shapes mxx_probe_t / mxx_test_probe_t).
int32_t R40_probe(int32_t id, int32_t attempt);
// Writes 3 into the device type; 1 when the frame is a get-serial answer.
int32_t R40_test_probe(int32_t id, const uint8_t* frame, int32_t* device_type, int32_t attempt);
