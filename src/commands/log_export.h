// Exports of a downloaded measurement log that other programs open as they
// are: "kappa.csv" (RFC 4180, one row per record), "kappa.gpx" (GPX 1.1, a
// waypoint per record with a valid position, times in UTC) and "kappa.svg"
// (the log drawn, log_svg.h). Values a record does not have, values that are
// not numbers, impossible dates and positions off the globe are left out (an
// empty CSV field, no element, no point) and never make a file invalid.
//
// During a download the three are "<name>.part"; only a complete download
// renames them, so an earlier complete set survives a failed or stopped one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "commands/cmd_file.h"
#include "commands/log_svg.h"

constexpr const char* LOG_CSV_NAME = "kappa.csv";
constexpr const char* LOG_GPX_NAME = "kappa.gpx";
constexpr const char* LOG_SVG_NAME = "kappa.svg";

// Header row and one record's row, each ending in CRLF.
std::string log_csv_header();
std::string log_csv_row(uint32_t slot, uint32_t entry_value, const uint8_t* rec);

// "YYYY-MM-DDThh:mm:ss" of the record, or "" when the date is impossible.
std::string log_iso_time(const uint8_t* rec);
// The same instant in UTC, "YYYY-MM-DDThh:mm:ssZ": the instrument keeps the
// local time of the computer that set its clock, read here in this
// computer's time zone (TZ), daylight saving as that zone had it then.
std::string log_utc_time(const uint8_t* rec);
// Free text of a record made safe for any export: printable ASCII kept,
// bytes from 0xA0 read as Latin-1, other control bytes as '?'.
std::string log_clean_text(const std::string& raw);

// A GPX file written record by record; closing (or destroying) it writes the
// closing tags, so a download that ends early still leaves a valid file;
// commit() renames a download over its real name.
class log_gpx_t {
public:
    log_gpx_t();
    ~log_gpx_t();
    log_gpx_t(const log_gpx_t&) = delete;
    log_gpx_t& operator=(const log_gpx_t&) = delete;

    bool open(const std::string& path, cmd_file_t::kind_t kind = cmd_file_t::kind_t::text);
    void add(const uint8_t* rec);
    bool close();
    bool commit();

private:
    bool end();
    struct printer_t;
    cmd_file_t file_;
    std::unique_ptr<printer_t> printer_;
};

// The three exports of one download under one directory prefix. Records are
// kept in an anonymous temporary file until the picture is drawn, so memory
// stays flat in the number of records.
class log_exports_t {
public:
    log_exports_t() = default;
    ~log_exports_t();
    log_exports_t(const log_exports_t&) = delete;
    log_exports_t& operator=(const log_exports_t&) = delete;

    // `serial` names the instrument in the picture's title.
    void open(const std::string& prefix, const std::string& serial);
    void add(uint32_t slot, uint32_t entry_value, const uint8_t* rec);
    // A download that ended early: the CSV and GPX stay valid "<name>.part"
    // files, and with `draw` the records read are drawn into "kappa.svg.part".
    void finish(bool draw);
    // The whole log: all three drawn and renamed to their names.
    void complete();

private:
    void end(bool draw, bool commit);
    bool open_ = false;
    cmd_file_t csv_;
    log_gpx_t gpx_;
    file_ptr store_;
    bool store_failed_ = false;
    std::string svg_path_;
    std::string serial_;
};
