// tinyxml2's streaming printer writing through a house file, shared by the
// XML exports of the log (GPX, SVG): nothing is held in memory but the
// element stack, and free text is escaped on the way out.
#pragma once

#include <tinyxml2.h>

#include <string>

#include "commands/cmd_file.h"

constexpr const char* LOG_XML_DECLARATION = "xml version=\"1.0\" encoding=\"UTF-8\"";

class log_xml_t : public tinyxml2::XMLPrinter {
public:
    explicit log_xml_t(cmd_file_t& file) : XMLPrinter(nullptr, false), file_(file) {}
    using XMLPrinter::Write;

    void end_line() { Putc('\n'); }
    void attr(const char* name, const std::string& value) { PushAttribute(name, value.c_str()); }
    void attr(const char* name, const char* value) { PushAttribute(name, value); }
    // Coordinates: two decimals, enough for a screen and short.
    void attr(const char* name, double value);
    // An element holding only text.
    void leaf(const char* name, const std::string& value) {
        OpenElement(name);
        PushText(value.c_str());
        CloseElement();
    }

protected:
    void Print(const char* format, ...) override;
    void Write(const char* data, size_t size) override { file_.write(data, size); }
    void Putc(char ch) override { file_.write(&ch, 1); }

private:
    cmd_file_t& file_;
};
