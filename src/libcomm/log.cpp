// Console output. Text goes out exactly as formatted: the tool's dialogues
// build their lines piece by piece, so no tag, prefix or time stamp is added.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "libcomm/comm_internal.h"
#include "libcomm/text.h"

namespace {

struct log_setup_t {
    std::string tag;
    int32_t level[4] = {};
    std::string level_text;
    int32_t error[4] = {};
    std::string error_text;
};

std::mutex& log_mutex() {
    static std::mutex* mu = new std::mutex;  // usable by threads still running at exit
    return *mu;
}

log_setup_t& log_setup() {
    static log_setup_t* s = new log_setup_t;
    return *s;
}

// The status line and where standard output left the cursor; guarded by the
// log mutex.
struct status_t {
    size_t shown = 0;       // columns the status line takes now; 0: none shown
    size_t out_column = 0;  // bytes standard output wrote since its last line end
};

status_t& status() {
    static status_t* s = new status_t;
    return *s;
}

// Erases the status line and puts the cursor back where standard output left it.
void status_clear(status_t& s) {
    if (s.shown == 0) return;
    fprintf(stderr, "\033[%zuD\033[K", s.shown);
    fflush(stderr);
    s.shown = 0;
}

void note_output(status_t& s, const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n' || text[i] == '\r') s.out_column = 0;
        else ++s.out_column;
    }
}

int32_t print_to(FILE* out, const char* format, va_list args) {
    if (!format) return COMM_ERR_ARG;
    // Formatted first, so the column standard output reaches is known.
    const std::string text = text_vformat(format, args);
    std::lock_guard lock(log_mutex());
    status_t& s = status();
    status_clear(s);
    if (out == stderr) fflush(stdout);
    fwrite(text.data(), 1, text.size(), out);
    fflush(out);
    if (out == stdout) note_output(s, text.data(), text.size());
    return 0;
}

}  // namespace

int32_t log_addlevel(const char* tag, int32_t a, int32_t b, int32_t c, int32_t d, const char* text) {
    std::lock_guard lock(log_mutex());
    log_setup_t& s = log_setup();
    s.tag = tag ? tag : "";
    s.level[0] = a;
    s.level[1] = b;
    s.level[2] = c;
    s.level[3] = d;
    s.level_text = text ? text : "";
    return 0;
}

int32_t log_seterror(int32_t a, int32_t b, int32_t c, int32_t d, const char* text) {
    std::lock_guard lock(log_mutex());
    log_setup_t& s = log_setup();
    s.error[0] = a;
    s.error[1] = b;
    s.error[2] = c;
    s.error[3] = d;
    s.error_text = text ? text : "";
    return 0;
}

int32_t log_write(const char* /*tag*/, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = print_to(stdout, format, args);
    va_end(args);
    return r;
}

int32_t log_append(const char* /*tag*/, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = print_to(stdout, format, args);
    va_end(args);
    return r;
}

int32_t log_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = print_to(stderr, format, args);
    va_end(args);
    return r;
}

int32_t log_status(const char* text) {
    static const bool on_terminal = isatty(STDERR_FILENO) != 0;
    static const bool out_on_terminal = isatty(STDOUT_FILENO) != 0;
    if (!on_terminal) return 0;
    std::lock_guard lock(log_mutex());
    status_t& s = status();
    status_clear(s);
    if (text == nullptr || text[0] == '\0') return 0;
    winsize ws{};
    const size_t width = ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
    // Behind what standard output left on the line, never wrapping: a
    // wrapped line could not be erased again.
    const size_t written = out_on_terminal ? s.out_column : 0;
    const size_t column = written % width;
    if (written > 0 && column == 0) return 0;
    const std::string lead = column > 0 ? " " : "";
    if (column + lead.size() + 1 >= width) return 0;
    std::string line = lead + text;
    if (line.size() > width - column - 1) line.resize(width - column - 1);
    fflush(stdout);
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
    s.shown = line.size();
    return 0;
}

int32_t log_line_typed() {
    std::lock_guard lock(log_mutex());
    status().out_column = 0;
    return 0;
}
