#include "commands/cmd_common.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "console/globals.h"
#include "libcomm/libcomm.h"
#include "services/r40_comm.h"

int32_t cmd_connected() {
    if (connected.load() != 0) return 1;
    log_error("\nDevice not connected!\n");
    return 0;
}

int32_t cmd_error(const char* handler, int32_t code) {
    // A wait the operator stopped is no failure of the instrument: the menu
    // says "Interrupted." for it.
    if (code == COMM_ERR_INTERRUPTED) return -1;
    log_error("Command %s error(code=%d)!\n", handler, code);
    return -1;
}

int32_t cmd_size_error(const char* name, uint64_t got, uint64_t expected) {
    log_error("Size of %s wrong: %" PRIu64 " bytes instead of %" PRIu64 "!\n", name, got, expected);
    return -1;
}

int32_t cmd_stopped() { return (input_eof() || input_interrupted()) ? 1 : 0; }

std::optional<std::string> cmd_ask_file_name(const char* prompt, const char* fallback, uint32_t max) {
    std::vector<char> name(max + 1);
    std::snprintf(name.data(), name.size(), "%s", fallback ? fallback : "");
    input_string_msg(name.data(), 0, max, prompt);
    if (cmd_stopped()) return std::nullopt;
    return std::string(name.data());
}

char* cmd_writable_line(char line[], char (&spare)[1]) {
    spare[0] = '\0';
    return line ? line : spare;
}

int32_t menu_add_text(menu_t* menu, const menu_text_t& text, menu_handler_t handler) {
    return menu_add(menu, text.key, text.name, text.description, handler);
}

int32_t serial_read_suffix(char suffix[5]) {
    char current[R40_SERIAL_BUF];
    int32_t r = R40_get_serial(id_conn, current, 1);
    std::memcpy(suffix, "0000", 5);
    if (r == 0 && std::strlen(current) == static_cast<size_t>(R40_SERIAL_LEN)) std::memcpy(suffix, current + 4, 5);
    return r;
}

int32_t serial_write_suffix(const char* handler, char prefix, char suffix[5], char line[]) {
    char spare[1];
    input_string_msg_cmd(suffix, 4, 4, SERIAL_PROMPT, cmd_writable_line(line, spare), 1);
    if (cmd_stopped()) return -1;
    char serial[R40_SERIAL_BUF];
    std::snprintf(serial, sizeof serial, "%c000%s", prefix, suffix);
    return serial_write(handler, serial);
}

int32_t serial_write(const char* handler, const char* serial) {
    log_write("MAIN", "Setting serial to:%s\n", serial);
    int32_t r = R40_set_serial(id_conn, serial, 1);
    if (r != 0) return cmd_error(handler, r);
    return 0;
}
