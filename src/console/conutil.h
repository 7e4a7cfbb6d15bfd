// Console utilities: line input, keyword matching, parsers, typed prompts
// and the command menu. Console thread only.
#pragma once

#include <cstdint>

// Line input and keyword matching.
// Reads one line (end-of-line kept when it fits). A longer line is cut and
// the rest of it dropped. Returns at once, with an empty line, once Ctrl-C
// was pressed or the input has ended.
int32_t input_get(char* buf, int size);
// 1 once a read found nothing more (a last line without end-of-line is
// still read first) or standard input failed.
int32_t input_eof();
// 1 once Ctrl-C was pressed or standard input has ended, also while a
// command waits for the instrument: unless `starting`, looks at standard
// input without taking any line typed ahead. The program hands it to the
// link library's waits. Asked with COMM_WAIT_CHECK_OPERATOR (a link coming
// up), only Ctrl-C counts.
int32_t input_wait_check(int32_t starting);
// Ctrl-C: the signal handler raises the flag (async-signal-safe); the menu
// clears it before it runs the next command.
int32_t input_interrupted();
void input_interrupt();
void input_interrupt_clear();
// Makes Ctrl-C (SIGINT) raise the flag instead of ending the program, and
// makes a read blocked on standard input return. Call once, on the console
// thread, before reading anything.
void input_catch_interrupt();
int32_t input_equal(const char* line, const char* name, const char* key);
int32_t input_empty(const char* line);
int32_t input_integer(const char* text, int32_t* out, int32_t min, int32_t max);
int32_t input_hex_integer(const char* text, uint32_t* out, uint32_t min, uint32_t max);
int32_t input_hex_char(const char* text, uint8_t* out, uint8_t min, uint8_t max);
int32_t input_hex_short(const char* text, uint16_t* out, uint16_t min, uint16_t max);
int32_t input_float(const char* text, float* out, float min, float max);
int32_t input_string(const char* text, char* out, uint32_t min, uint32_t max);
int32_t input_has_params(const char* line);
int32_t input_wait_enter();
int32_t input_yesno_msg(int32_t* value, const char* prompt);
int32_t do_sleep();

// Typed prompts: value, lower bound, upper bound, prompt text; the _cmd
// variants add the writable command line and the parameter index. Once
// Ctrl-C was pressed or the input has ended they return at once and the
// value keeps its default: callers check cmd_stopped() after them.
int32_t input_integer_msg(int32_t* value, int32_t min, int32_t max, const char* prompt);
int32_t input_integer_msg_cmd(int32_t* value, int32_t min, int32_t max, const char* prompt, char* line,
                              int32_t index);
int32_t input_char_msg(int8_t* value, int8_t min, int8_t max, const char* prompt);
int32_t input_uchar_msg(uint8_t* value, uint8_t min, uint8_t max, const char* prompt);
int32_t input_short_msg(int16_t* value, int32_t min, int32_t max, const char* prompt);
int32_t input_hex_integer_msg(uint32_t* value, uint32_t min, uint32_t max, const char* prompt);
int32_t input_hex_char_msg(uint8_t* value, uint8_t min, uint8_t max, const char* prompt);
int32_t input_hex_short_msg(uint16_t* value, uint16_t min, uint16_t max, const char* prompt);
int32_t input_float_msg(float* value, float min, float max, const char* prompt);
int32_t input_string_msg(char* value, uint32_t min, uint32_t max, const char* prompt);
int32_t input_string_msg_cmd(char* value, uint32_t min, uint32_t max, const char* prompt, char* line,
                             int32_t index);

// Command menu.
using menu_handler_t = int32_t (*)(char line[], int32_t argument);

constexpr int32_t MENU_CAPACITY = 255;
constexpr int32_t MENU_LINE_SIZE = 255;

struct menu_entry_t {
    char key[4];
    char name[16];
    char description[64];
    menu_handler_t handler;  // none: the quit entry
};

struct menu_t {
    int32_t count;
    uint32_t longest_name;
    menu_entry_t entries[MENU_CAPACITY];
};

int32_t menu_init(menu_t* menu);
int32_t menu_add(menu_t* menu, const char* key, const char* name, const char* description, menu_handler_t handler);
int32_t menu_print(const menu_t* menu);
// Runs the prompt loop; returns when the quit entry is chosen, on Ctrl-C at
// its prompt, or when standard input ends (also inside a command). After a
// command stopped by Ctrl-C it says "\nInterrupted.\n" and asks again.
int32_t menu_run(menu_t* menu);
