// Console utilities: line input, keyword matching, parsers, typed prompts
// and the command menu.
#include "console/conutil.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "libcomm/libcomm.h"

namespace {

constexpr const char* TAG = "MAIN";
// Prompt answers: at most 1023 characters.
constexpr int PROMPT_LINE_SIZE = 1024;
// Keyword comparison: words are cut to 254 characters.
constexpr size_t KEYWORD_SIZE = 255;

// White space as the scanf family sees it (C locale).
bool is_blank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

const char* skip_blanks(const char* text) {
    while (*text != '\0' && is_blank(*text)) ++text;
    return text;
}

const char* safe_text(const char* text) {
    return text != nullptr ? text : "";
}

// Ctrl-C was pressed or standard input has ended: no prompt may read more.
bool input_stopped() {
    return input_interrupted() != 0 || input_eof() != 0;
}

// The first word of a text: where it starts and how long it is, uncut.
struct word_t {
    const char* start;
    size_t length;
};

word_t first_word(const char* text) {
    const char* start = skip_blanks(safe_text(text));
    const char* end = start;
    while (*end != '\0' && !is_blank(*end)) ++end;
    return {start, static_cast<size_t>(end - start)};
}

bool equal_nocase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const int ca = std::tolower(static_cast<unsigned char>(*a));
        const int cb = std::tolower(static_cast<unsigned char>(*b));
        if (ca != cb) return false;
        if (ca == 0) return true;
    }
}

// Signed decimal as %d reads it; a number that does not fit 32 bits is
// refused rather than wrapped.
bool parse_decimal(const char* text, int32_t* value) {
    const char* start = safe_text(text);
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(start, &end, 10);
    if (end == start || errno == ERANGE) return false;
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hexadecimal as %x reads it, with an optional 0x. A minus sign is refused
// (it would wrap to a huge unsigned value), and so is anything beyond 32 bits.
bool parse_hex(const char* text, uint32_t* value) {
    const char* p = skip_blanks(safe_text(text));
    if (*p == '+') ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0) p += 2;
    if (hex_digit(*p) < 0) return false;
    uint64_t v = 0;
    for (; hex_digit(*p) >= 0; ++p) {
        v = v * 16 + static_cast<uint64_t>(hex_digit(*p));
        if (v > std::numeric_limits<uint32_t>::max()) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// Shows a prompt, reads answers until one is accepted or the answer is empty.
// Once the input has stopped (Ctrl-C, end of input) it returns at once and
// the value keeps its default: the caller sees the stop and sends nothing.
template <typename Show, typename Accept>
void prompt_until(Show show, Accept accept) {
    std::array<char, PROMPT_LINE_SIZE> line{};
    while (!input_stopped()) {
        show();
        input_get(line.data(), static_cast<int>(line.size()));
        if (input_stopped() || input_empty(line.data()) != 0) return;
        if (accept(line.data())) return;
    }
}

void show_decimal(const char* prompt, int32_t value) {
    log_write(TAG, "%s[%d]:", safe_text(prompt), value);
}

// Two digits at least: 8- and 16-bit hex values share this format.
void show_hex_short(const char* prompt, uint32_t value) {
    log_write(TAG, "%s[0x%.2x]:", safe_text(prompt), value);
}

// Decimal prompt shared by every integer width: the bounds must already lie
// within the target type, so the narrowing store cannot change the value.
int32_t prompt_decimal(int32_t* value, int32_t min, int32_t max, const char* prompt) {
    prompt_until([&] { show_decimal(prompt, *value); },
                 [&](const char* line) {
                     int32_t scratch = 0;
                     if (input_integer(line, &scratch, min, max) == 0) return false;
                     *value = scratch;
                     return true;
                 });
    return 0;
}

template <typename T>
int32_t prompt_narrow(T* value, int32_t min, int32_t max, const char* prompt) {
    if (value == nullptr) return 0;
    min = std::max<int32_t>(min, std::numeric_limits<T>::min());
    max = std::min<int32_t>(max, std::numeric_limits<T>::max());
    int32_t wide = *value;
    prompt_decimal(&wide, min, max, prompt);
    *value = static_cast<T>(wide);
    return 0;
}

// Cuts the command line in place at spaces and returns the index-th token
// after the command key, or null when there is none. Runs of spaces make no
// empty tokens.
char* command_param(char* line, int32_t index) {
    if (line == nullptr || index <= 0) return nullptr;
    char* cursor = line;
    auto next = [&cursor]() -> char* {
        while (*cursor == ' ') ++cursor;
        if (*cursor == '\0') return nullptr;
        char* token = cursor;
        while (*cursor != '\0' && *cursor != ' ') ++cursor;
        if (*cursor != '\0') *cursor++ = '\0';
        return token;
    };
    char* token = next();  // the command key
    for (int32_t i = 0; token != nullptr && i < index; ++i) token = next();
    return token;
}

// Text values travel through a word buffer of the prompt line's size.
int32_t prompt_string(char* value, uint32_t min, uint32_t max, const char* prompt) {
    std::array<char, PROMPT_LINE_SIZE> word{};
    const uint32_t cap = std::min<uint32_t>(max, PROMPT_LINE_SIZE - 1);
    prompt_until([&] { log_write(TAG, "%s[%s]:", safe_text(prompt), value); },
                 [&](const char* line) {
                     if (input_string(line, word.data(), min, cap) == 0) return false;
                     std::memcpy(value, word.data(), std::strlen(word.data()) + 1);
                     return true;
                 });
    return 0;
}

// Copies text into a fixed field, cut so that the terminator always fits,
// and zero-fills the rest.
template <size_t N>
void copy_field(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    const char* src = safe_text(text);
    std::memcpy(field, src, strnlen(src, N - 1));
}

}  // namespace

// ---- Line input and keyword matching ----

namespace {

// Lock-free so the signal handler may set it; atomic because that handler
// (and tests) may run on another thread than the console's.
std::atomic<int> interrupt_flag{0};
static_assert(std::atomic<int>::is_always_lock_free);
// Set once the program catches Ctrl-C itself (input_catch_interrupt).
bool interrupt_caught = false;
pthread_t console_thread;
// The tail of a cut line is still to be dropped (a Ctrl-C stopped that).
bool tail_pending = false;

void on_interrupt(int) {
    const int saved = errno;
    interrupt_flag.store(1);
    // Only the console thread's blocked read must return: pass the signal on
    // when a link thread caught it.
    if (pthread_equal(pthread_self(), console_thread) == 0) pthread_kill(console_thread, SIGINT);
    errno = saved;
}

// A character the end-of-input probe read and gave back: it is there to
// read although the descriptor may show nothing more.
bool char_given_back = false;

// One character of standard input; EOF at its end, on an error, or when
// Ctrl-C interrupted the read. Other signals only restart the read.
int read_char() {
    for (;;) {
        char_given_back = false;
        const int c = std::getc(stdin);
        if (c != EOF || std::ferror(stdin) == 0 || errno != EINTR) return c;
        // An interrupted read is no error of the input.
        std::clearerr(stdin);
        if (input_interrupted() != 0) return EOF;
    }
}

// Drops the rest of a line that did not fit its buffer. False when Ctrl-C
// stopped it; the next read drops what is left.
bool drop_tail() {
    for (;;) {
        const int c = read_char();
        if (c == '\n') break;
        if (c != EOF) continue;
        if (input_interrupted() != 0) return false;
        break;
    }
    tail_pending = false;
    return true;
}

// Waits until standard input has something to read (or has ended). False on
// Ctrl-C. SIGINT is let through only inside ppoll, so a Ctrl-C just before
// the wait cannot be missed while the read blocks.
bool wait_for_input() {
    if (!interrupt_caught || char_given_back) return input_interrupted() == 0;
    sigset_t block, before;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block, &before);
    bool ready = false;
    while (!ready && input_interrupted() == 0) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int n = ppoll(&p, 1, nullptr, &before);
        ready = n > 0 || (n < 0 && errno != EINTR);  // a poll error is the read's to report
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return ready;
}

}  // namespace

int32_t input_get(char* buf, int size) {
    if (buf == nullptr || size <= 0) return 0;
    buf[0] = '\0';
    // Prompts end without a line feed; they must be visible before we block.
    std::fflush(stdout);
    if (size < 2 || input_stopped()) return 0;
    if (tail_pending && !drop_tail()) return 0;
    if (!wait_for_input()) return 0;
    int n = 0;
    while (n < size - 1) {
        const int c = read_char();
        if (c == EOF) break;
        buf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[n] = '\0';
    if (input_interrupted() != 0) {
        // Half a line is no answer; its rest must not become the next one.
        if (n > 0 && buf[n - 1] != '\n') tail_pending = true;
        buf[0] = '\0';
        return 0;
    }
    if (n > 0) {
        static const bool typed = isatty(STDIN_FILENO) != 0;
        if (typed && buf[n - 1] == '\n') log_line_typed();
        // The tail of an over-long line is never another command or answer.
        if (n == size - 1 && buf[n - 1] != '\n') {
            tail_pending = true;
            drop_tail();
        }
        // A last line without end-of-line is a line like any other: the end
        // of input counts when a read finds nothing.
        std::clearerr(stdin);
    }
    return 0;
}

int32_t input_eof() {
    // A read error ends the input as well: no later read will succeed.
    return (std::feof(stdin) != 0 || std::ferror(stdin) != 0) ? 1 : 0;
}

int32_t input_wait_check(int32_t starting) {
    if (starting == COMM_WAIT_CHECK_OPERATOR) return input_interrupted();
    if (input_stopped()) return 1;
    if (starting != 0) return 0;
    // Only an unbuffered standard input shows on its descriptor what is left.
    if (!interrupt_caught || char_given_back) return 0;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || (p.revents & (POLLIN | POLLHUP)) == 0) return 0;
    int pending = 0;
    if (ioctl(STDIN_FILENO, FIONREAD, &pending) != 0 || pending > 0) return 0;
    // Readable with nothing to read: the end (Ctrl-D, a closed pipe, the end
    // of a file); the read only notes it. A byte that came meanwhile goes back.
    const int c = read_char();
    if (c != EOF) {
        std::ungetc(c, stdin);
        char_given_back = true;
    }
    return input_stopped() ? 1 : 0;
}

int32_t input_interrupted() { return interrupt_flag.load() != 0 ? 1 : 0; }
void input_interrupt() { interrupt_flag.store(1); }
void input_interrupt_clear() { interrupt_flag.store(0); }

void input_catch_interrupt() {
    console_thread = pthread_self();
    // Unbuffered, so nothing read ahead hides in the stream while we wait
    // on the descriptor.
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    struct sigaction action{};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked read must return
    sigaction(SIGINT, &action, nullptr);
    interrupt_caught = true;
}

int32_t input_equal(const char* line, const char* name, const char* key) {
    const word_t word = first_word(line);
    if (word.length == 0) return 0;
    std::array<char, KEYWORD_SIZE> buf{};
    std::memcpy(buf.data(), word.start, std::min(word.length, KEYWORD_SIZE - 1));
    if (name != nullptr && equal_nocase(buf.data(), name)) return 1;
    if (key != nullptr && equal_nocase(buf.data(), key)) return 1;
    return 0;
}

int32_t input_empty(const char* line) {
    return first_word(line).length == 0 ? 1 : 0;
}

int32_t input_integer(const char* text, int32_t* out, int32_t min, int32_t max) {
    int32_t v = 0;
    if (out == nullptr || !parse_decimal(text, &v)) return 0;
    *out = v;
    return (v >= min && v <= max) ? 1 : 0;
}

int32_t input_hex_integer(const char* text, uint32_t* out, uint32_t min, uint32_t max) {
    uint32_t v = 0;
    if (out == nullptr || !parse_hex(text, &v)) return 0;
    *out = v;
    return (v >= min && v <= max) ? 1 : 0;
}

int32_t input_hex_char(const char* text, uint8_t* out, uint8_t min, uint8_t max) {
    uint32_t v = 0;
    if (out == nullptr || !parse_hex(text, &v) || v < min || v > max) return 0;
    *out = static_cast<uint8_t>(v);
    return 1;
}

int32_t input_hex_short(const char* text, uint16_t* out, uint16_t min, uint16_t max) {
    uint32_t v = 0;
    if (out == nullptr || !parse_hex(text, &v) || v < min || v > max) return 0;
    *out = static_cast<uint16_t>(v);
    return 1;
}

int32_t input_float(const char* text, float* out, float min, float max) {
    const char* start = safe_text(text);
    char* end = nullptr;
    const float v = std::strtof(start, &end);
    if (out == nullptr || end == start) return 0;
    *out = v;
    return (v >= min && v <= max) ? 1 : 0;  // NaN fails both
}

int32_t input_string(const char* text, char* out, uint32_t min, uint32_t max) {
    const word_t word = first_word(text);
    if (out != nullptr) {
        // The caller's buffer holds max + 1 bytes: a longer word is cut there.
        const size_t n = std::min<size_t>(word.length, max);
        std::memcpy(out, word.start, n);
        out[n] = '\0';
    }
    return (word.length >= min && word.length <= max) ? 1 : 0;
}

int32_t input_has_params(const char* line) {
    return std::strchr(safe_text(line), ' ') != nullptr ? 1 : 0;
}

int32_t input_wait_enter() {
    std::array<char, PROMPT_LINE_SIZE> line{};
    return input_get(line.data(), static_cast<int>(line.size()));
}

int32_t input_yesno_msg(int32_t* value, const char* prompt) {
    if (value == nullptr) return 0;
    prompt_until([&] { log_write(TAG, "%s[%s]:", safe_text(prompt), *value != 0 ? "yes" : "no"); },
                 [&](const char* line) {
                     if (input_equal(line, "yes", "y") != 0) {
                         *value = 1;
                         return true;
                     }
                     if (input_equal(line, "no", "n") != 0) {
                         *value = 0;
                         return true;
                     }
                     return false;
                 });
    return 0;
}

int32_t do_sleep() {
    return 0;
}

// ---- Typed prompts ----

int32_t input_integer_msg(int32_t* value, int32_t min, int32_t max, const char* prompt) {
    if (value == nullptr) return 0;
    return prompt_decimal(value, min, max, prompt);
}

int32_t input_integer_msg_cmd(int32_t* value, int32_t min, int32_t max, const char* prompt, char* line,
                              int32_t index) {
    if (value == nullptr) return 0;
    int32_t scratch = 0;
    const char* param = command_param(line, index);
    if (param != nullptr && input_integer(param, &scratch, min, max) != 0) {
        *value = scratch;
        return 0;
    }
    return prompt_decimal(value, min, max, prompt);
}

int32_t input_char_msg(int8_t* value, int8_t min, int8_t max, const char* prompt) {
    return prompt_narrow(value, min, max, prompt);
}

int32_t input_uchar_msg(uint8_t* value, uint8_t min, uint8_t max, const char* prompt) {
    return prompt_narrow(value, min, max, prompt);
}

int32_t input_short_msg(int16_t* value, int32_t min, int32_t max, const char* prompt) {
    // The bounds come as int32; values outside int16 would be stored wrapped.
    return prompt_narrow(value, min, max, prompt);
}

int32_t input_hex_integer_msg(uint32_t* value, uint32_t min, uint32_t max, const char* prompt) {
    if (value == nullptr) return 0;
    prompt_until([&] { log_write(TAG, "%s[0x%.8x]:", safe_text(prompt), *value); },
                 [&](const char* line) {
                     uint32_t scratch = 0;
                     if (input_hex_integer(line, &scratch, min, max) == 0) return false;
                     *value = scratch;
                     return true;
                 });
    return 0;
}

int32_t input_hex_char_msg(uint8_t* value, uint8_t min, uint8_t max, const char* prompt) {
    if (value == nullptr) return 0;
    prompt_until([&] { show_hex_short(prompt, *value); },
                 [&](const char* line) {
                     uint8_t scratch = 0;
                     if (input_hex_char(line, &scratch, min, max) == 0) return false;
                     *value = scratch;
                     return true;
                 });
    return 0;
}

int32_t input_hex_short_msg(uint16_t* value, uint16_t min, uint16_t max, const char* prompt) {
    if (value == nullptr) return 0;
    prompt_until([&] { show_hex_short(prompt, *value); },
                 [&](const char* line) {
                     uint16_t scratch = 0;
                     if (input_hex_short(line, &scratch, min, max) == 0) return false;
                     *value = scratch;
                     return true;
                 });
    return 0;
}

int32_t input_float_msg(float* value, float min, float max, const char* prompt) {
    if (value == nullptr) return 0;
    prompt_until([&] { log_write(TAG, "%s[%.3f]:", safe_text(prompt), static_cast<double>(*value)); },
                 [&](const char* line) {
                     float scratch = 0;
                     if (input_float(line, &scratch, min, max) == 0) return false;
                     *value = scratch;
                     return true;
                 });
    return 0;
}

int32_t input_string_msg(char* value, uint32_t min, uint32_t max, const char* prompt) {
    if (value == nullptr) return 0;
    return prompt_string(value, min, max, prompt);
}

int32_t input_string_msg_cmd(char* value, uint32_t min, uint32_t max, const char* prompt, char* line,
                             int32_t index) {
    if (value == nullptr) return 0;
    std::array<char, PROMPT_LINE_SIZE> word{};
    const uint32_t cap = std::min<uint32_t>(max, PROMPT_LINE_SIZE - 1);
    const char* param = command_param(line, index);
    if (param != nullptr && input_string(param, word.data(), min, cap) != 0) {
        std::memcpy(value, word.data(), std::strlen(word.data()) + 1);
        return 0;
    }
    return prompt_string(value, min, max, prompt);
}

// ---- Command menu ----

int32_t menu_init(menu_t* menu) {
    if (menu == nullptr) return -1;
    std::memset(menu, 0, sizeof(*menu));
    return 0;
}

int32_t menu_add(menu_t* menu, const char* key, const char* name, const char* description, menu_handler_t handler) {
    if (menu == nullptr || menu->count < 0 || menu->count >= MENU_CAPACITY) return -1;
    menu_entry_t& entry = menu->entries[menu->count];
    copy_field(entry.key, key);
    copy_field(entry.name, name);
    copy_field(entry.description, description);
    entry.handler = handler;
    // The listing pads the stored (possibly cut) names, so measure those.
    menu->longest_name = std::max<uint32_t>(menu->longest_name, static_cast<uint32_t>(std::strlen(entry.name)));
    ++menu->count;
    return 0;
}

int32_t menu_print(const menu_t* menu) {
    log_write(TAG, "[ he] help\n");
    if (menu == nullptr) return -1;
    const int32_t count = std::clamp<int32_t>(menu->count, 0, MENU_CAPACITY);
    for (int32_t i = 0; i < count; ++i) {
        const menu_entry_t& entry = menu->entries[i];
        log_write(TAG, "[%3s] %s", entry.key, entry.name);
        const uint32_t length = static_cast<uint32_t>(std::strlen(entry.name));
        if (menu->longest_name > length) log_append(TAG, "%*s", static_cast<int>(menu->longest_name - length), "");
        log_append(TAG, " - %s\n", entry.description);
    }
    return 0;
}

int32_t menu_run(menu_t* menu) {
    if (menu == nullptr) return -1;
    std::array<char, MENU_LINE_SIZE> line{};
    std::array<char, MENU_LINE_SIZE> handler_line{};
    for (;;) {
        log_write(TAG, ">");
        input_get(line.data(), static_cast<int>(line.size()));
        // Ctrl-C at the prompt, or no more input: leave as quit does.
        if (input_stopped()) return 0;
        if (input_equal(line.data(), "help", "he") != 0) menu_print(menu);
        const int32_t count = std::clamp<int32_t>(menu->count, 0, MENU_CAPACITY);
        for (int32_t i = 0; i < count; ++i) {
            const menu_entry_t& entry = menu->entries[i];
            if (input_equal(line.data(), entry.name, entry.key) == 0) continue;
            if (entry.handler == nullptr) return 0;
            // Handlers may cut their line into tokens; each one gets it whole.
            handler_line = line;
            entry.handler(handler_line.data(), 0);
            const bool interrupted = input_interrupted() != 0;
            if (interrupted) {
                log_error("\nInterrupted.\n");
                input_interrupt_clear();
            }
            // A command that met the end of input ends the program.
            if (input_eof() != 0) return 0;
            if (interrupted) break;
        }
    }
}
