// Services of the susceptibility/conductivity instrument (device type 10):
// parameters, status, measurement log table, heap report, device file
// transfer, measurement, events and state, screen capture, and the family's
// probe pair.
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

#include "records/file_req.h"
#include "records/meas.h"
#include "records/params.h"
#include "records/status.h"

// Device type the instrument family reports when identified.
constexpr int32_t DEV_TYPE_R62 = 10;

constexpr uint16_t R62_CODE_GET_PARAMS = 8201;
constexpr uint16_t R62_CODE_SET_PARAMS = 8202;
constexpr uint16_t R62_CODE_GET_STATUS = 8203;
constexpr uint16_t R62_CODE_GET_LOG_ENTRIES = 8204;
constexpr uint16_t R62_CODE_CLEAR_LOGS = 8206;
constexpr uint16_t R62_CODE_MEMORY_USAGE = 8016;
constexpr uint16_t R62_CODE_FILE_INFO = 8209;
constexpr uint16_t R62_CODE_WRITE_FILE = 8210;
constexpr uint16_t R62_CODE_READ_FILE = 8211;
constexpr uint16_t R62_CODE_MEASURE = 8212;
constexpr uint16_t R62_CODE_SEND_EVENT = 8022;
constexpr uint16_t R62_CODE_SET_STATE = 8023;
constexpr uint16_t R62_CODE_GET_STATE = 8024;
constexpr uint16_t R62_CODE_GET_SCREEN = 8213;

constexpr int32_t R62_PARAMS_BUF = 4319;     // room offered for a parameter record
constexpr int32_t R62_LOG_ENTRIES_SIZE = static_cast<int32_t>(LE_PER_ANSWER * LE_SIZE);  // 160
constexpr int32_t R62_MEMORY_ANSWER = 2048;
constexpr int32_t R62_READ_ANSWER = 4 + static_cast<int32_t>(FILE_READ_MAX);  // count + data
constexpr int32_t R62_WRITE_BUF = 4096;      // request buffer of a file write
constexpr int32_t R62_WRITE_MAX = R62_WRITE_BUF - static_cast<int32_t>(FILE_REQ_SIZE);  // 4056
constexpr uint32_t R62_CLEAR_ALL = 255;      // selector used by the clear-logs command

// `record` holds R62_PARAMS_BUF bytes. `received`, when given, gets the
// number of record bytes the answer delivered (0 when none was copied).
// Answer: up to R62_PARAMS_BUF bytes; the callers require the settable head
// (PARAMS_SET_SIZE) and report a shorter record themselves.
int32_t R62_Get_Params(int32_t id, uint8_t* record, int32_t wait, int32_t* received = nullptr);
// Sends the first PARAMS_SET_SIZE bytes of `record`.
int32_t R62_Set_Params(int32_t id, const uint8_t* record, int32_t wait);
// `status` holds ST_SIZE bytes. Answer: 20 bytes.
int32_t R62_Get_Status(int32_t id, uint8_t* status, int32_t wait);
// `list` holds R62_LOG_ENTRIES_SIZE bytes. Answer: 160 bytes.
int32_t R62_Get_Meas_Log_Entry_List(int32_t id, uint32_t first, uint8_t* list, int32_t wait);
int32_t R62_Clear_Logs(int32_t id, uint32_t selector, int32_t wait);
// Free heap into `heap`; the report text into `text`, at most `text_size`
// characters, stopping at its NUL or at the end of the answer, NUL-padded to
// `text_size` when shorter (a text of `text_size` characters is not
// terminated: give one byte more than you pass). Answer: 4 to 2048 bytes.
int32_t R62_Memory_Usage(int32_t id, int32_t* heap, char* text, int32_t text_size, int32_t wait);
// File size into `size` when given and the exchange succeeded. Answer: 4 to
// 40 bytes (the size, then bytes not used).
int32_t R62_File_Info(int32_t id, const char* name, uint32_t* size, int32_t wait);
// Sends the request record and `length` data bytes. A length outside
// 0..R62_WRITE_MAX, or data missing for a length above 0, is refused with
// COMM_ERR_ARG before anything is sent. With wait, only the answer confirms
// the write: status frames of status 0 alone give MXX_ERR_UNCONFIRMED (253).
int32_t R62_Write_File(int32_t id, const char* name, uint32_t operation, const void* data, int32_t length,
                       int32_t wait);
// FILE_OP_APPEND of `length` bytes, waiting, sent once: an append carries no
// offset, so sending it again could append it twice. 255 or
// MXX_ERR_UNCONFIRMED leave open whether it was carried out.
int32_t R62_Append_File(int32_t id, const char* name, const void* data, int32_t length);
// Reads up to `size` bytes at `offset` into `buffer` (which holds `size`
// bytes). `got` receives the bytes copied: never more than the answer
// carried nor than `size`; 0 at the end of the file. Answer: 4 to 4000
// bytes (the count, then the data; a negative count, or one above the data
// that came, gives MXX_ERR_PAYLOAD and stores nothing).
int32_t R62_Read_File(int32_t id, const char* name, void* buffer, uint32_t offset, uint32_t size, int32_t* got,
                      int32_t wait);
// One signed 32-bit sample value. Answer: 4 bytes.
int32_t R62_Measure(int32_t id, int32_t* value, int32_t wait);
int32_t R62_Send_Event(int32_t id, uint32_t event, int32_t wait);
int32_t R62_Set_State(int32_t id, uint32_t state, int32_t wait);
// Answer: 4 bytes.
int32_t R62_Get_State(int32_t id, uint32_t* state, int32_t wait);
// `image` holds SCR_SIZE bytes. Answer: 1060 bytes.
int32_t R62_Get_Screen(int32_t id, uint8_t* image, int32_t wait);

// Probe pair for MXX_connect (shapes mxx_probe_t / mxx_test_probe_t).
int32_t R62_probe(int32_t id, int32_t attempt);
// Writes 10 into the device type and sets the link's try count to 3 on every
// call; 1 when the frame is a get-serial answer whose serial begins with 'A'.
int32_t R62_test_probe(int32_t id, const uint8_t* frame, int32_t* device_type, int32_t attempt);
