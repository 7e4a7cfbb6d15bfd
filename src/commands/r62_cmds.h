// The instrument family's identity, clock and restart commands, and its menus.
#pragma once

#include <cstdint>

#include "console/conutil.h"

// Pass on to the common handlers with the same line and argument.
int32_t R62_cmd_get_fw_version(char line[], int32_t argument);
int32_t R62_cmd_get_serial(char line[], int32_t argument);
int32_t R62_cmd_get_time(char line[], int32_t argument);
int32_t R62_cmd_set_time(char line[], int32_t argument);
int32_t R62_cmd_restart(char line[], int32_t argument);
// Only an unset serial (ending "XXXX" or "xxxx") may be set; the new serial
// is "A000" and 4 characters from the operator.
int32_t R62_cmd_set_serial(char line[], int32_t argument);

// The program's menu: exactly sm and re.
int32_t R62_cmd_create_menu(menu_t* menu, int32_t argument);
// The service edition's menu: every instrument command that exists, and
// `connect` (the connection dialogue, which lives above the commands) right
// after re.
int32_t R62_cmd_create_service_menu(menu_t* menu, menu_handler_t connect);
