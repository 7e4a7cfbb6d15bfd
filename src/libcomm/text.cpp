#include "libcomm/text.h"

#include <array>
#include <cstdio>

std::string text_vformat(const char* format, va_list args) {
    if (!format) return {};
    va_list again;
    va_copy(again, args);
    // Most texts fit the buffer on the stack: formatted once.
    std::array<char, 512> small;
    const int n = std::vsnprintf(small.data(), small.size(), format, args);
    std::string text;
    if (n > 0 && static_cast<size_t>(n) < small.size()) {
        text.assign(small.data(), static_cast<size_t>(n));
    } else if (n > 0) {
        text.resize(static_cast<size_t>(n));
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}

std::string text_format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = text_vformat(format, args);
    va_end(args);
    return text;
}
