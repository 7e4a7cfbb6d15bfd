#include "commands/log_export.h"

#include <tinyxml2.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <map>
#include <vector>

#include "commands/log_format.h"
#include "libcomm/libcomm.h"
#include "records/meas.h"

namespace {

constexpr const char* XML_DECLARATION = "xml version=\"1.0\" encoding=\"UTF-8\"";

std::string num(const char* format, double v) {
    char buf[64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(buf, sizeof buf, format, v);
#pragma GCC diagnostic pop
    return buf;
}

// Shortest text that reads back as the same float; "" for NaN and infinities.
std::string csv_float(float v) {
    if (!std::isfinite(v)) return {};
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

std::string csv_text(const std::string& v) {
    std::string out = "\"";
    for (char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

bool valid_date(const meas_t& m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m.year < 1 || m.year > 9999 || m.month < 1 || m.month > 12) return false;
    const bool leap = m.year % 4 == 0 && (m.year % 100 != 0 || m.year % 400 == 0);
    const int last = days[m.month - 1] + (m.month == 2 && leap ? 1 : 0);
    return m.day >= 1 && m.day <= last && m.hour <= 23 && m.minute <= 59 && m.second <= 59;
}

struct latlon_t {
    double lat, lon;
};

latlon_t position(const uint8_t* rec) {
    latlon_t p{0.0, 0.0};
    log_gps_position(rec + MR_GPS, &p.lat, &p.lon);
    return p;
}

bool on_globe(const latlon_t& p) {
    return std::fabs(p.lat) <= 90.0 && std::fabs(p.lon) <= 180.0;
}

}  // namespace

// ---- CSV ---------------------------------------------------------------------

std::string log_clean_text(const std::string& raw) {
    std::string out;
    for (char ch : raw) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F) {
            out += ch;
        } else if (c >= 0xA0) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += '?';
        }
    }
    return out;
}

std::string log_iso_time(const uint8_t* rec) {
    const meas_t m = meas_decode(rec);
    if (!valid_date(m)) return {};
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", m.year, m.month, m.day, m.hour, m.minute,
                  m.second);
    return buf;
}

std::string log_csv_header() {
    return "slot,entry_value,rec_no,group_no,time,kind,meas_mode,type,curve_s,curve_c,pin,error,dia,"
           "susc,susc_unit,cond,cond_unit,sample_no,meas_time,latitude,longitude,altitude,satellites,"
           "bh_id,bh_desc,bh_depth_from,bh_depth_to,bh_depth,bh_core_num,bh_length_unit\r\n";
}

std::string log_csv_row(uint32_t slot, uint32_t entry_value, const uint8_t* rec) {
    const meas_t m = meas_decode(rec);
    std::vector<std::string> f;
    auto add = [&](std::string v) { f.push_back(std::move(v)); };
    auto add_int = [&](int64_t v) { f.push_back(std::to_string(v)); };
    add_int(slot);
    add_int(entry_value);
    add_int(m.rec_no);
    add_int(m.group_no);
    const std::string when = log_iso_time(rec);
    add(when.empty() ? "" : csv_text(when));
    add(csv_text(log_kind_name(log_kind(m))));
    for (int32_t v : {m.meas_mode, m.type, m.curve_s, m.curve_c, m.pin, m.error, m.dia}) add_int(v);
    add(csv_float(m.susc));
    add(csv_text(log_susc_unit(m)));
    add(csv_float(m.cond));
    add(csv_text(log_cond_unit(m)));
    add_int(m.sample_no);
    add_int(m.meas_time);
    if (log_gps_valid(m)) {
        const latlon_t p = position(rec);
        add(num("%.8f", p.lat));
        add(num("%.8f", p.lon));
    } else {
        add("");
        add("");
    }
    add_int(m.alt);
    add_int(log_gps_sats(m));
    if (m.bh_kind == 1 || m.bh_kind == 2) {
        const bool header = m.bh_kind == 1;
        add_int(m.bh_id);
        add(csv_text(log_clean_text(m.bh_desc)));
        add(header ? csv_float(m.bh_depth_from) : "");
        add(header ? csv_float(m.bh_depth_to) : "");
        add(header ? "" : csv_float(m.bh_depth));
        add(header ? "" : std::to_string(m.bh_core_num));
        add(csv_text(log_length_unit(m)));
    } else {
        for (int i = 0; i < 7; ++i) add("");
    }
    std::string row;
    for (size_t i = 0; i < f.size(); ++i) {
        if (i > 0) row += ',';
        row += f[i];
    }
    return row + "\r\n";
}

// ---- XML through a house file -----------------------------------------------------

namespace {

// tinyxml2's streaming printer, writing through the house file helper.
class xml_printer_t : public tinyxml2::XMLPrinter {
public:
    explicit xml_printer_t(cmd_file_t& file) : XMLPrinter(nullptr, false), file_(file) {}
    using XMLPrinter::Write;

    void end_line() { Putc('\n'); }
    void attr(const char* name, const std::string& value) { PushAttribute(name, value.c_str()); }
    void attr(const char* name, double value) { PushAttribute(name, num("%.2f", value).c_str()); }
    // An element holding only text.
    void leaf(const char* name, const std::string& value) {
        OpenElement(name);
        PushText(value.c_str());
        CloseElement();
    }

protected:
    void Print(const char* format, ...) override {
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
    void Write(const char* data, size_t size) override { file_.write(data, size); }
    void Putc(char ch) override { file_.write(&ch, 1); }

private:
    cmd_file_t& file_;
};

}  // namespace

// ---- GPX -----------------------------------------------------------------------

struct log_gpx_t::printer_t : xml_printer_t {
    using xml_printer_t::xml_printer_t;
};

log_gpx_t::log_gpx_t() = default;
log_gpx_t::~log_gpx_t() { close(); }

bool log_gpx_t::open(const std::string& path) {
    close();
    if (!file_.open(path)) return false;
    printer_ = std::make_unique<printer_t>(file_);
    printer_->PushDeclaration(XML_DECLARATION);
    printer_->OpenElement("gpx");
    printer_->PushAttribute("version", "1.1");
    printer_->PushAttribute("creator", "qm38v2con");
    printer_->PushAttribute("xmlns", "http://www.topografix.com/GPX/1/1");
    return true;
}

void log_gpx_t::add(const uint8_t* rec) {
    if (!printer_) return;
    const meas_t m = meas_decode(rec);
    if (!log_gps_valid(m)) return;
    const latlon_t p = position(rec);
    if (!on_globe(p)) return;
    xml_printer_t& x = *printer_;
    x.OpenElement("wpt");
    x.attr("lat", num("%.8f", p.lat));
    x.attr("lon", num("%.8f", p.lon));
    x.leaf("ele", std::to_string(m.alt));
    const std::string when = log_iso_time(rec);
    if (!when.empty()) x.leaf("time", when);
    x.leaf("name", std::to_string(m.rec_no));
    std::string desc;
    auto part = [&](const std::string& s) { desc += (desc.empty() ? "" : ", ") + s; };
    if (std::isfinite(m.susc)) part("Susc=" + num("%.3f", m.susc) + " " + log_susc_unit(m));
    if (std::isfinite(m.cond)) part("Cond=" + num("%.1f", m.cond) + " " + log_cond_unit(m));
    if (m.bh_kind == 1 || m.bh_kind == 2) {
        std::string bh = "Borehole " + std::to_string(m.bh_id) + " " + log_clean_text(m.bh_desc);
        if (m.bh_kind == 2) {
            bh += " core " + std::to_string(m.bh_core_num);
            if (std::isfinite(m.bh_depth)) bh += " depth " + num("%.1f", m.bh_depth) + " " + log_length_unit(m);
        }
        part(bh);
    }
    if (!desc.empty()) x.leaf("desc", desc);
    x.leaf("sat", std::to_string(log_gps_sats(m)));
    x.CloseElement();
}

bool log_gpx_t::close() {
    if (!printer_) return false;
    printer_->CloseElement();
    printer_->end_line();
    printer_.reset();
    return file_.close();
}

// ---- SVG -------------------------------------------------------------------------

namespace {

constexpr double SVG_WIDTH = 960;
constexpr double PLOT_LEFT = 90;
constexpr double PLOT_RIGHT = SVG_WIDTH - 40;
constexpr double PLOT_HEIGHT = 200;
constexpr double PANEL_TOP = 36;     // title above the plot
constexpr double PANEL_BOTTOM = 56;  // ticks and axis label below it
constexpr double PANEL_HEIGHT = PANEL_TOP + PLOT_HEIGHT + PANEL_BOTTOM;

struct range_t {
    double lo = INFINITY, hi = -INFINITY;
    void add(double v) {
        if (!std::isfinite(v)) return;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    bool empty() const { return lo > hi; }
};

// A linear axis with round ticks, mapped onto [p0, p1] pixels.
struct scale_t {
    double lo = 0, hi = 1, step = 1, p0 = 0, p1 = 1;
    double at(double v) const { return p0 + (v - lo) / (hi - lo) * (p1 - p0); }
    int decimals() const { return std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9))); }
    std::string label(double v) const {
        std::string s = num(("%." + std::to_string(decimals()) + "f").c_str(), v);
        return s == "-0" ? "0" : s;
    }
};

scale_t make_scale(range_t r, double p0, double p1, bool integer) {
    if (r.empty()) r = {0, 1};
    if (r.hi - r.lo < 1e-12 * std::max(1.0, std::fabs(r.hi))) {
        const double pad = r.lo == 0 ? 1 : std::fabs(r.lo) * 0.1;
        r = {r.lo - pad, r.hi + pad};
    }
    const double raw = (r.hi - r.lo) / 5;
    const double mag = std::pow(10, std::floor(std::log10(raw)));
    const double norm = raw / mag;
    double step = (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * mag;
    if (integer) step = std::max(1.0, std::round(step));
    scale_t s;
    s.step = step;
    s.lo = std::floor(r.lo / step) * step;
    s.hi = std::ceil(r.hi / step) * step;
    if (s.hi <= s.lo) s.hi = s.lo + step;
    s.p0 = p0;
    s.p1 = p1;
    return s;
}

const char* unit_colour(const std::string& unit) {
    static const std::map<std::string, const char*> colours = {
        {"SI", "#1f77b4"}, {"CGS", "#ff7f0e"}, {"%", "#2ca02c"}, {"S/m", "#d62728"}, {"Ohm.m", "#9467bd"}};
    auto it = colours.find(unit);
    return it != colours.end() ? it->second : "#444444";
}

const char* series_colour(size_t i) {
    static const char* cycle[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf"};
    return cycle[i % (sizeof cycle / sizeof cycle[0])];
}

std::string join_units(const std::vector<std::string>& units) {
    std::string out;
    for (const auto& u : units) out += (out.empty() ? "" : ", ") + u;
    return out;
}

void note_unit(std::vector<std::string>& units, const char* unit) {
    if (std::find(units.begin(), units.end(), unit) == units.end()) units.emplace_back(unit);
}

// What the first walk over the records finds.
struct survey_t {
    int32_t discrete = 0;
    range_t d_susc, d_cond;
    std::vector<std::string> d_susc_units, d_cond_units;
    int64_t scan_points = 0;
    int32_t scans = 0;
    range_t s_susc, s_cond;
    std::vector<std::string> s_susc_units, s_cond_units;
    // Borehole cores, apart by length unit: [0] metres, [1] feet.
    struct cores_t {
        int32_t count = 0;
        range_t susc, depth;
        std::vector<std::string> susc_units;
        std::vector<int32_t> boreholes;
    } cores[2];
};

bool is_core(const meas_t& m) {
    const log_kind_t k = log_kind(m);
    return m.bh_kind == 2 && (k == log_kind_t::discrete || k == log_kind_t::scanner) && std::isfinite(m.susc) &&
           std::isfinite(m.bh_depth);
}

survey_t survey(const log_source_fn& records) {
    survey_t s;
    records([&](const uint8_t* rec) {
        const meas_t m = meas_decode(rec);
        const log_kind_t kind = log_kind(m);
        if (kind == log_kind_t::discrete) {
            ++s.discrete;
            s.d_susc.add(m.susc);
            s.d_cond.add(m.cond);
            if (std::isfinite(m.susc)) note_unit(s.d_susc_units, log_susc_unit(m));
            if (std::isfinite(m.cond)) note_unit(s.d_cond_units, log_cond_unit(m));
        } else if (kind == log_kind_t::scanner) {
            const int32_t n = log_point_count(m);
            ++s.scans;
            for (int32_t i = 0; i < n; ++i) {
                s.s_susc.add(log_point_susc(rec, i));
                s.s_cond.add(log_point_cond(rec, i));
            }
            if (n > 0) {
                note_unit(s.s_susc_units, log_susc_unit(m));
                note_unit(s.s_cond_units, log_cond_unit(m));
            }
            s.scan_points += n;
        }
        if (is_core(m)) {
            survey_t::cores_t& c = s.cores[m.bh_feet ? 1 : 0];
            ++c.count;
            c.susc.add(m.susc);
            c.depth.add(m.bh_depth);
            note_unit(c.susc_units, log_susc_unit(m));
            if (std::find(c.boreholes.begin(), c.boreholes.end(), m.bh_id) == c.boreholes.end())
                c.boreholes.push_back(m.bh_id);
        }
    });
    return s;
}

class svg_t {
public:
    svg_t(xml_printer_t& x, const log_source_fn& records) : x_(x), records_(records) {}

    void draw(const std::string& title) {
        const survey_t s = survey(records_);
        int panels = 0;
        if (s.discrete > 0) panels += 2;
        if (s.scan_points > 0) panels += 2;
        for (const auto& c : s.cores) panels += c.count > 0 ? 1 : 0;
        const double height = 50 + std::max(1, panels) * PANEL_HEIGHT;
        x_.OpenElement("svg");
        x_.attr("xmlns", std::string("http://www.w3.org/2000/svg"));
        x_.attr("width", num("%.0f", SVG_WIDTH));
        x_.attr("height", num("%.0f", height));
        x_.attr("viewBox", "0 0 " + num("%.0f", SVG_WIDTH) + " " + num("%.0f", height));
        x_.attr("font-family", std::string("sans-serif"));
        x_.attr("font-size", std::string("12"));
        x_.leaf("title", title);
        text(SVG_WIDTH / 2, 28, title, "middle", "16");
        top_ = 50;
        if (panels == 0) text(SVG_WIDTH / 2, top_ + 40, "No records.", "middle");
        if (s.discrete > 0) {
            discrete_panel(s, true);
            discrete_panel(s, false);
        }
        if (s.scan_points > 0) {
            scan_panel(s, true);
            scan_panel(s, false);
        }
        for (bool feet : {false, true})
            if (s.cores[feet ? 1 : 0].count > 0) core_panel(s.cores[feet ? 1 : 0], feet);
        x_.CloseElement();
    }

private:
    void text(double px, double py, const std::string& s, const char* anchor = "start", const char* size = nullptr,
              const char* transform = nullptr) {
        x_.OpenElement("text");
        x_.attr("x", px);
        x_.attr("y", py);
        if (std::string(anchor) != "start") x_.attr("text-anchor", std::string(anchor));
        if (size) x_.attr("font-size", std::string(size));
        if (transform) x_.attr("transform", std::string(transform));
        x_.PushText(s.c_str());
        x_.CloseElement();
    }

    void line(double x1, double y1, double x2, double y2, const char* cls) {
        x_.OpenElement("line");
        x_.attr("class", std::string(cls));
        x_.attr("x1", x1);
        x_.attr("y1", y1);
        x_.attr("x2", x2);
        x_.attr("y2", y2);
        x_.attr("stroke", std::string(std::string(cls) == "axis" ? "#000" : "#999"));
        if (std::string(cls) != "axis") x_.attr("stroke-dasharray", std::string("4 3"));
        x_.CloseElement();
    }

    void dot(double px, double py, const char* cls, const char* colour, const std::string& tip, double r = 2.5) {
        x_.OpenElement("circle");
        x_.attr("class", std::string(cls));
        x_.attr("cx", px);
        x_.attr("cy", py);
        x_.attr("r", r);
        x_.attr("fill", std::string(colour));
        x_.leaf("title", tip);
        x_.CloseElement();
    }

    // A polyline from collected points; emptied afterwards.
    void flush(std::string& points, const char* colour) {
        if (points.find(' ') != std::string::npos) {
            x_.OpenElement("polyline");
            x_.attr("points", points);
            x_.attr("fill", std::string("none"));
            x_.attr("stroke", std::string(colour));
            x_.attr("stroke-width", std::string("1"));
            x_.CloseElement();
        }
        points.clear();
    }
    void point(std::string& points, double px, double py) {
        if (!points.empty()) points += ' ';
        points += num("%.2f", px) + "," + num("%.2f", py);
    }

    // Frame, ticks, axis labels and legend of a panel; the plot area spans
    // PLOT_LEFT..PLOT_RIGHT and plot_top()..plot_bottom().
    void frame(const std::string& id, const std::string& title, const scale_t& sx, const scale_t& sy,
               const std::string& xlabel, const std::string& ylabel, const std::vector<std::string>& legend,
               const std::vector<std::string>& colours) {
        x_.OpenElement("g");
        x_.attr("id", id);
        text(PLOT_LEFT, top_ + 22, title, "start", "14");
        const double y0 = plot_top(), y1 = plot_bottom();
        for (double v = sx.lo; v <= sx.hi + sx.step / 2; v += sx.step) {
            const double px = sx.at(v);
            line(px, y1, px, y1 + 5, "axis");
            text(px, y1 + 18, sx.label(v), "middle");
        }
        for (double v = sy.lo; v <= sy.hi + sy.step / 2; v += sy.step) {
            const double py = sy.at(v);
            line(PLOT_LEFT - 5, py, PLOT_LEFT, py, "axis");
            text(PLOT_LEFT - 8, py + 4, sy.label(v), "end");
        }
        line(PLOT_LEFT, y0, PLOT_LEFT, y1, "axis");
        line(PLOT_LEFT, y1, PLOT_RIGHT, y1, "axis");
        line(PLOT_LEFT, y0, PLOT_RIGHT, y0, "axis");
        line(PLOT_RIGHT, y0, PLOT_RIGHT, y1, "axis");
        text((PLOT_LEFT + PLOT_RIGHT) / 2, y1 + 40, xlabel, "middle");
        const double ly = (y0 + y1) / 2;
        text(24, ly, ylabel, "middle", nullptr, ("rotate(-90 24 " + num("%.2f", ly) + ")").c_str());
        for (size_t i = 0; i < legend.size(); ++i) {
            const double py = y0 + 14 + 16 * static_cast<double>(i);
            x_.OpenElement("rect");
            x_.attr("x", PLOT_RIGHT - 110);
            x_.attr("y", py - 9);
            x_.attr("width", 10.0);
            x_.attr("height", 10.0);
            x_.attr("fill", colours[i]);
            x_.CloseElement();
            text(PLOT_RIGHT - 95, py, legend[i]);
        }
    }
    void end_panel() {
        x_.CloseElement();
        top_ += PANEL_HEIGHT;
    }
    double plot_top() const { return top_ + PANEL_TOP; }
    double plot_bottom() const { return top_ + PANEL_TOP + PLOT_HEIGHT; }

    static std::vector<std::string> colours_of(const std::vector<std::string>& units) {
        std::vector<std::string> c;
        for (const auto& u : units) c.emplace_back(unit_colour(u));
        return c;
    }

    // Discrete values by record in download order; dashed lines where the
    // group changes.
    void discrete_panel(const survey_t& s, bool susc) {
        const auto& units = susc ? s.d_susc_units : s.d_cond_units;
        const scale_t sx = make_scale({1, static_cast<double>(s.discrete)}, PLOT_LEFT + 10, PLOT_RIGHT - 10, true);
        const scale_t sy = make_scale(susc ? s.d_susc : s.d_cond, plot_bottom(), plot_top(), false);
        const std::string name = susc ? "Susceptibility" : "Conductivity";
        frame(susc ? "discrete-susc" : "discrete-cond", "Discrete records: " + name, sx, sy,
              "Discrete record (download order)", name + " [" + join_units(units) + "]", units, colours_of(units));
        int32_t k = 0;
        bool first = true;
        int32_t group = 0;
        std::string points;
        std::string unit;
        records_([&](const uint8_t* rec) {
            const meas_t m = meas_decode(rec);
            if (log_kind(m) != log_kind_t::discrete) return;
            ++k;
            const double px = sx.at(k);
            const char* u = susc ? log_susc_unit(m) : log_cond_unit(m);
            if (first || m.group_no != group) {
                flush(points, unit_colour(unit));
                line(px - (sx.at(2) - sx.at(1)) / 2, plot_top(), px - (sx.at(2) - sx.at(1)) / 2, plot_bottom(),
                     "group");
                text(px - (sx.at(2) - sx.at(1)) / 2 + 3, plot_top() + 12, "G" + std::to_string(m.group_no));
                group = m.group_no;
                first = false;
            }
            const float v = susc ? m.susc : m.cond;
            if (!std::isfinite(v) || u != unit) flush(points, unit_colour(unit));
            unit = u;
            if (!std::isfinite(v)) return;
            point(points, px, sy.at(v));
        });
        flush(points, unit_colour(unit));
        k = 0;
        records_([&](const uint8_t* rec) {
            const meas_t m = meas_decode(rec);
            if (log_kind(m) != log_kind_t::discrete) return;
            ++k;
            const float v = susc ? m.susc : m.cond;
            if (!std::isfinite(v)) return;
            const char* u = susc ? log_susc_unit(m) : log_cond_unit(m);
            dot(sx.at(k), sy.at(v), susc ? "susc" : "cond", unit_colour(u),
                "#" + std::to_string(m.rec_no) + ": " + num(susc ? "%.3f" : "%.1f", v) + " " + u);
        });
        end_panel();
    }

    // Every scan's points one after the other; marked points as dots.
    void scan_panel(const survey_t& s, bool susc) {
        const auto& units = susc ? s.s_susc_units : s.s_cond_units;
        const scale_t sx =
            make_scale({0, static_cast<double>(std::max<int64_t>(1, s.scan_points - 1))}, PLOT_LEFT + 10,
                       PLOT_RIGHT - 10, true);
        const scale_t sy = make_scale(susc ? s.s_susc : s.s_cond, plot_bottom(), plot_top(), false);
        const std::string name = susc ? "Susceptibility" : "Conductivity";
        frame(susc ? "scan-susc" : "scan-cond", "Scanner records: " + name + " along each scan", sx, sy,
              "Point (scans in download order)", name + " [" + join_units(units) + "]", units, colours_of(units));
        int64_t base = 0;
        double last_label = -1e9;
        records_([&](const uint8_t* rec) {
            const meas_t m = meas_decode(rec);
            if (log_kind(m) != log_kind_t::scanner) return;
            const int32_t n = log_point_count(m);
            if (n == 0) return;
            const char* colour = unit_colour(susc ? log_susc_unit(m) : log_cond_unit(m));
            const double start = sx.at(static_cast<double>(base) - 0.5);
            if (base > 0) line(start, plot_top(), start, plot_bottom(), "scan");
            if (start - last_label >= 40) {
                text(start + 3, plot_top() + 12, "#" + std::to_string(m.rec_no));
                last_label = start;
            }
            std::string points;
            for (int32_t i = 0; i < n; ++i) {
                const float v = susc ? log_point_susc(rec, i) : log_point_cond(rec, i);
                if (!std::isfinite(v)) {
                    flush(points, colour);
                    continue;
                }
                point(points, sx.at(static_cast<double>(base + i)), sy.at(v));
            }
            flush(points, colour);
            for (int32_t i = 0; i < n; ++i) {
                const float v = susc ? log_point_susc(rec, i) : log_point_cond(rec, i);
                if (!log_point_marked(rec, i) || !std::isfinite(v)) continue;
                dot(sx.at(static_cast<double>(base + i)), sy.at(v), "mark", colour,
                    "#" + std::to_string(m.rec_no) + " point " + std::to_string(i + 1) + ": " +
                        num(susc ? "%.3f" : "%.1f", v));
            }
            base += n;
        });
        end_panel();
    }

    // Susceptibility of the borehole cores against depth, depth downwards;
    // one panel per length unit.
    void core_panel(const survey_t::cores_t& c, bool feet) {
        const scale_t sx = make_scale(c.susc, PLOT_LEFT + 10, PLOT_RIGHT - 130, false);
        const scale_t sy = make_scale(c.depth, plot_top(), plot_bottom(), false);
        std::vector<std::string> legend, colours;
        for (size_t i = 0; i < c.boreholes.size() && i < 8; ++i) {
            legend.push_back("Borehole " + std::to_string(c.boreholes[i]));
            colours.emplace_back(series_colour(i));
        }
        const std::string unit = feet ? "ft" : "m";
        frame(feet ? "cores-ft" : "cores-m", "Borehole cores: susceptibility against depth", sx, sy,
              "Susceptibility [" + join_units(c.susc_units) + "]", "Depth [" + unit + "]", legend, colours);
        auto colour_of = [&](int32_t id) {
            const auto at = std::find(c.boreholes.begin(), c.boreholes.end(), id) - c.boreholes.begin();
            return series_colour(static_cast<size_t>(at));
        };
        auto mine = [feet](const meas_t& m) { return is_core(m) && m.bh_feet == feet; };
        std::string points;
        bool any = false;
        int32_t id = 0;
        records_([&](const uint8_t* rec) {
            const meas_t m = meas_decode(rec);
            if (!mine(m)) return;
            if (any && m.bh_id != id) flush(points, colour_of(id));
            any = true;
            id = m.bh_id;
            point(points, sx.at(m.susc), sy.at(m.bh_depth));
        });
        if (any) flush(points, colour_of(id));
        records_([&](const uint8_t* rec) {
            const meas_t m = meas_decode(rec);
            if (!mine(m)) return;
            dot(sx.at(m.susc), sy.at(m.bh_depth), "core", colour_of(m.bh_id),
                "Borehole " + std::to_string(m.bh_id) + " core " + std::to_string(m.bh_core_num) + ": " +
                    num("%.3f", m.susc) + " " + log_susc_unit(m) + " at " + num("%.1f", m.bh_depth) + " " +
                    log_length_unit(m));
        });
        end_panel();
    }

    xml_printer_t& x_;
    const log_source_fn& records_;
    double top_ = 0;
};

}  // namespace

bool log_svg_write(const std::string& path, const log_source_fn& records, const std::string& title) {
    cmd_file_t file;
    if (!file.open(path)) return false;
    xml_printer_t x(file);
    x.PushDeclaration(XML_DECLARATION);
    svg_t(x, records).draw(log_clean_text(title));
    x.end_line();
    return file.close();
}

// ---- the three together -----------------------------------------------------------

log_exports_t::~log_exports_t() { finish(false); }

void log_exports_t::open(const std::string& prefix, const std::string& title) {
    finish(false);
    open_ = true;
    title_ = title;
    svg_path_ = prefix + LOG_SVG_NAME;
    if (csv_.open(prefix + LOG_CSV_NAME)) csv_.puts(log_csv_header().c_str());
    gpx_.open(prefix + LOG_GPX_NAME);
    store_.reset(std::tmpfile());
    store_failed_ = !store_;
}

void log_exports_t::add(uint32_t slot, uint32_t entry_value, const uint8_t* rec) {
    if (!open_) return;
    csv_.puts(log_csv_row(slot, entry_value, rec).c_str());
    gpx_.add(rec);
    if (store_ && std::fwrite(rec, 1, MR_SIZE, store_.get()) != MR_SIZE) store_failed_ = true;
}

void log_exports_t::finish(bool draw) {
    if (!open_) return;
    open_ = false;
    csv_.close();
    gpx_.close();
    if (draw) {
        if (store_failed_ || std::fflush(store_.get()) != 0) {
            log_error(CMD_FILE_WRITE_ERROR, svg_path_.c_str());
        } else {
            std::FILE* f = store_.get();
            log_svg_write(
                svg_path_,
                [f](const log_visit_fn& visit) {
                    std::vector<uint8_t> rec(MR_SIZE);
                    std::rewind(f);
                    while (std::fread(rec.data(), 1, MR_SIZE, f) == MR_SIZE) visit(rec.data());
                },
                title_);
        }
    }
    store_.reset();
}
