#include "commands/log_xml.h"

#include <cstdarg>
#include <cstdio>

std::string log_num(const char* format, double v) {
    char buf[64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(buf, sizeof buf, format, v);
#pragma GCC diagnostic pop
    return buf;
}

void log_xml_t::attr(const char* name, double value) {
    std::string s = log_num("%.2f", value);
    // Trailing zeros cost bytes in every coordinate of a large picture.
    while (s.find('.') != std::string::npos && (s.back() == '0' || s.back() == '.')) {
        const bool dot = s.back() == '.';
        s.pop_back();
        if (dot) break;
    }
    if (s == "-0") s = "0";
    PushAttribute(name, s.c_str());
}

void log_xml_t::Print(const char* format, ...) {
    char small[256];
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    if (n > 0 && static_cast<size_t>(n) < sizeof small) {
        file_.write(small, static_cast<size_t>(n));
    } else if (n > 0) {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(big.data(), big.size(), format, again);
        file_.write(big.data(), static_cast<size_t>(n));
    }
    va_end(again);
    va_end(args);
}
