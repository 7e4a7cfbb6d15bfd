// Console output. Text goes out exactly as formatted: the tool's dialogues
// build their lines piece by piece, so no tag, prefix or time stamp is added.
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "libcomm/comm_internal.h"

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

int32_t print_to(FILE* out, const char* format, va_list args) {
    if (!format) return COMM_ERR_ARG;
    std::lock_guard lock(log_mutex());
    if (out == stderr) fflush(stdout);
    vfprintf(out, format, args);
    fflush(out);
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
