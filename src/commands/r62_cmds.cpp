#include "commands/r62_cmds.h"

#include <cstring>

#include "commands/cmd_common.h"
#include "commands/r40_cmds.h"
#include "commands/r62_log.h"
#include "commands/r62_measure.h"
#include "commands/r62_files_cmds.h"
#include "commands/r62_fw.h"
#include "commands/r62_params.h"
#include "commands/r62_status.h"
#include "libcomm/libcomm.h"

namespace {

constexpr char SERIAL_PREFIX = 'A';

bool serial_unset(const char* suffix) {
    return std::strcmp(suffix, "XXXX") == 0 || std::strcmp(suffix, "xxxx") == 0;
}

}  // namespace

int32_t R62_cmd_get_fw_version(char line[], int32_t argument) { return R40_cmd_get_fw_version(line, argument); }
int32_t R62_cmd_get_serial(char line[], int32_t argument) { return R40_cmd_get_serial(line, argument); }
int32_t R62_cmd_get_time(char line[], int32_t argument) { return R40_cmd_get_time(line, argument); }
int32_t R62_cmd_set_time(char line[], int32_t argument) { return R40_cmd_set_time(line, argument); }
int32_t R62_cmd_restart(char line[], int32_t argument) { return R40_cmd_restart(line, argument); }

int32_t R62_cmd_set_serial(char line[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_set_serial";
    if (!cmd_connected()) return -1;
    char suffix[5];
    int32_t r = serial_read_suffix(suffix);
    if (r != 0) return cmd_error(NAME, r);
    if (!serial_unset(suffix)) {
        log_write("MAIN", "serial number already set\n");
        return 0;
    }
    return serial_write_suffix(NAME, SERIAL_PREFIX, suffix, line);
}

int32_t R62_cmd_create_menu(menu_t* menu, int32_t) {
    menu_add_text(menu, MENU_SET_MEMORY, R62_cmd_set_memory);
    menu_add_text(menu, MENU_RESTART, R62_cmd_restart);
    return 0;
}

int32_t R62_cmd_create_service_menu(menu_t* menu, menu_handler_t connect) {
    menu_add_text(menu, MENU_SET_MEMORY, R62_cmd_set_memory);
    menu_add_text(menu, MENU_RESTART, R62_cmd_restart);
    menu_add(menu, "co", "connect", "connects a device", connect);
    menu_add_text(menu, MENU_VERSION, R62_cmd_get_fw_version);
    menu_add_text(menu, MENU_GET_SERIAL, R62_cmd_get_serial);
    menu_add_text(menu, MENU_SET_SERIAL, R62_cmd_set_serial);
    menu_add_text(menu, MENU_GET_TIME, R62_cmd_get_time);
    menu_add_text(menu, MENU_SET_TIME, R62_cmd_set_time);
    menu_add(menu, "gp", "get params", "displays device parameters", R62_cmd_get_params);
    menu_add(menu, "sp", "set params", "edits device parameters", R62_cmd_set_params);
    menu_add_text(menu, MENU_GET_STATUS, R62_cmd_get_status);
    menu_add_text(menu, MENU_GET_MODEL, R62_cmd_get_model_rev);
    menu_add_text(menu, MENU_SET_MODEL, R62_cmd_set_model_rev);
    menu_add_text(menu, MENU_SCREEN, R62_cmd_get_screen);
    menu_add_text(menu, MENU_MEASURE, R62_cmd_measure);
    menu_add_text(menu, MENU_SCANNER, R62_cmd_scanner);
    menu_add_text(menu, MENU_MEASURE_DATA, R62_cmd_measure_data);
    menu_add_text(menu, MENU_MEAS_LOG, R62_cmd_get_meas_log);
    menu_add_text(menu, MENU_CONC_LUT, R62_cmd_set_conc_lut);
    menu_add_text(menu, MENU_DELETE_RECORD, R62_cmd_delete_record);
    menu_add_text(menu, MENU_CLEAR_LOGS, R62_cmd_clear_logs);
    menu_add_text(menu, MENU_PURGE, R62_cmd_purge);
    menu_add_text(menu, MENU_UPLOAD_TAR, R62_cmd_upload_tar);
    menu_add_text(menu, MENU_DOWNLOAD_SD, R62_cmd_download_sd);
    menu_add_text(menu, MENU_MEMORY_USAGE, R62_cmd_memory_usage);
    menu_add_text(menu, MENU_CREATE_GFW, R62_cmd_create_gfw);
    menu_add_text(menu, MENU_UPLOAD_GFW, R62_cmd_upload_gfw);
    menu_add_text(menu, MENU_VERIFY_GFW, R62_cmd_verify_gfw);
    menu_add_text(menu, MENU_FLASH_FW, R62_cmd_flash_fw);
    return 0;
}
