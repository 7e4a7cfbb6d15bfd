// "kappa.svg": a downloaded log drawn for a browser, readable from one
// record to a full table at about 1000 px wide. Discrete values by record
// number, one panel per quantity and unit (SI, CGS and % susceptibility
// apart; S/m conductivity, Ohm.m resistivity and % apart), with each group
// as a band of its mean and standard deviation; scans one after another,
// each over exactly its points, marked points ringed; borehole cores'
// susceptibility against depth in the record's length unit. Above a few
// hundred records a panel draws a min/max envelope per pixel column, so the
// file stays small. Labels are placed only where they overlap no other.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Records in download order; a source may be walked any number of times.
using log_visit_fn = std::function<void(const uint8_t* rec)>;
using log_source_fn = std::function<void(const log_visit_fn& visit)>;

// Width of a text of `chars` characters at font size `size`, as the layout
// estimates it: a common sans-serif digit is 0.64 em, capitals up to 0.75.
constexpr double LOG_SVG_CHAR_WIDTH = 0.66;
// Panels with more records than this, or scan panels with more points than
// LOG_SVG_SCAN_POINTS, draw envelopes instead of one mark per value.
constexpr size_t LOG_SVG_DETAIL_RECORDS = 300;
constexpr int64_t LOG_SVG_SCAN_POINTS = 3000;

// How the file ends: a plain file, "kappa.svg.part" left as it is, or
// written as "<name>.part" and renamed when complete.
enum class log_svg_end_t { close, keep_part, commit };

// Draws the records into an SVG file titled with the instrument's serial;
// false (reported) when it cannot be written.
bool log_svg_write(const std::string& path, const log_source_fn& records, const std::string& serial,
                   log_svg_end_t end = log_svg_end_t::close);

// The points a scan is drawn with: its count; a count past the arrays is no
// count, so then the points up to the last one holding a value.
int32_t log_svg_scan_points(const uint8_t* rec);
