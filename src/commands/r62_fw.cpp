#include "commands/r62_fw.h"

#include "commands/r40_fw.h"

int32_t R62_cmd_create_gfw(char line[], int32_t) {
    return R40_cmd_create_gfw(line, R62_FW_BIN, R62_FW_GFW, R62_FW_DEVICE, R62_FW_MAX_SIZE, DEV_TYPE_R62);
}

int32_t R62_cmd_upload_gfw(char line[], int32_t) {
    return R40_cmd_upload_gfw(line, R62_FW_GFW, DEV_TYPE_R62, R62_FW_MAX_SIZE);
}

int32_t R62_cmd_verify_gfw(char line[], int32_t) {
    return R40_cmd_verify_gfw(line, R62_FW_GFW, DEV_TYPE_R62, R62_FW_MAX_SIZE);
}

int32_t R62_cmd_flash_fw(char line[], int32_t) {
    return R40_cmd_flash_fw(line, R62_FW_GFW, DEV_TYPE_R62, R62_FW_MAX_SIZE);
}
