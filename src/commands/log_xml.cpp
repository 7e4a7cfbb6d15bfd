#include "commands/log_xml.h"

#include <cstdarg>

#include "libcomm/text.h"

void log_xml_t::attr(const char* name, double value) {
    std::string s = text_format("%.2f", value);
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
    va_list args;
    va_start(args, format);
    const std::string text = text_vformat(format, args);
    va_end(args);
    file_.write(text.data(), text.size());
}
