// printf-style text into a std::string: the library's own output and every
// layer above format their texts with it.
#pragma once

#include <cstdarg>
#include <string>

// The formatted text, however long; empty when the format is null or fails.
std::string text_vformat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::string text_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
