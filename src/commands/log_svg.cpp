#include "commands/log_svg.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "commands/cmd_file.h"
#include "commands/log_export.h"
#include "commands/log_format.h"
#include "commands/log_xml.h"
#include "libcomm/text.h"
#include "records/meas.h"

namespace {

constexpr double WIDTH = 1000;
constexpr double LEFT = 84;    // plot area, x
constexpr double RIGHT = WIDTH - 24;
constexpr double HEAD = 44;    // panel title and legend above the plot
constexpr double PLOT_H = 180;
constexpr double FOOT = 46;    // tick labels and axis label below it
constexpr double GAP = 14;
constexpr double PANEL_H = HEAD + PLOT_H + FOOT + GAP;
constexpr double TOP = 62;     // title and summary line
constexpr double FONT = 11;
constexpr double COLUMN = 2;   // px per envelope column
constexpr size_t MANY_GROUPS = 200;  // above this, group bands lose their tooltips
constexpr double LABEL_GAP = 6;

const char* const STYLE =
    ".ax{stroke:#000;fill:none}.tk{stroke:#000}.grid{stroke:#e4e4e4}.band{fill:#f3f3f3}"
    ".sep{stroke:#ccc}.mean{stroke-dasharray:5 3;stroke-width:1.5}.env{stroke-width:2;stroke-opacity:.35}"
    ".line{fill:none;stroke-width:1}.mark{fill:#fff;stroke-width:1.5}.dots{stroke-width:4;stroke-linecap:round}"
    "text{font-family:sans-serif;font-size:11px}.t1{font-size:16px;font-weight:bold}.t2{font-size:13px}";

// ---- units -----------------------------------------------------------------------

struct quantity_t {
    const char* name;
    const char* unit;
    const char* colour;
};

// Susceptibility then conductivity, each by unit index (log_susc_unit order).
constexpr quantity_t SUSC[] = {{"Susceptibility", "SI", "#1f77b4"},
                               {"Susceptibility", "CGS", "#e6550d"},
                               {"Susceptibility curve", "%", "#2ca02c"}};
constexpr quantity_t COND[] = {{"Conductivity", "S/m", "#d62728"},
                               {"Resistivity", "Ohm.m", "#9467bd"},
                               {"Conductivity curve", "%", "#17becf"}};
constexpr const char* BOREHOLE_COLOURS[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#8c564b", "#e377c2"};

uint8_t susc_unit(const meas_t& m) { return m.curve_s != 0 ? 2 : m.susc_cgs ? 1 : 0; }
uint8_t cond_unit(const meas_t& m) { return m.curve_c != 0 ? 2 : m.cond_ohm_m ? 1 : 0; }

// ---- what one walk over the records finds --------------------------------------

struct disc_t {
    int32_t rec_no, group;
    float value[2];  // susceptibility, conductivity
    uint8_t unit[2];
};
struct scan_t {
    int32_t rec_no, points;
    uint8_t unit[2];
};
struct core_t {
    float susc, depth;
    int32_t bh_id, num, rec_no;
    uint8_t unit;
    bool feet;
};

struct range_t {
    double lo = INFINITY, hi = -INFINITY;
    void add(double v) {
        if (!std::isfinite(v)) return;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    bool empty() const { return lo > hi; }
};

struct survey_t {
    int64_t records = 0, headers = 0, unknown = 0;
    std::string first, last;  // ISO times
    std::vector<disc_t> discrete;
    std::vector<scan_t> scans;
    range_t scan_range[2][3];
    int64_t scan_points[2][3] = {};
    std::vector<core_t> cores;
    std::map<int32_t, std::string> boreholes;  // id, description
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
        ++s.records;
        const std::string when = log_iso_time(rec);
        if (!when.empty()) {
            if (s.first.empty() || when < s.first) s.first = when;
            if (s.last.empty() || when > s.last) s.last = when;
        }
        const uint8_t unit[2] = {susc_unit(m), cond_unit(m)};
        switch (log_kind(m)) {
            case log_kind_t::discrete:
                s.discrete.push_back({m.rec_no, m.group_no, {m.susc, m.cond}, {unit[0], unit[1]}});
                break;
            case log_kind_t::scanner: {
                const int32_t n = log_svg_scan_points(rec);
                s.scans.push_back({m.rec_no, n, {unit[0], unit[1]}});
                for (int q = 0; q < 2; ++q) {
                    s.scan_points[q][unit[q]] += n;
                    for (int32_t i = 0; i < n; ++i)
                        s.scan_range[q][unit[q]].add(q == 0 ? meas_point_susc(rec, i) : meas_point_cond(rec, i));
                }
                break;
            }
            case log_kind_t::header: ++s.headers; break;
            case log_kind_t::unknown: ++s.unknown; break;
        }
        if (m.bh_kind == 1 || is_core(m)) s.boreholes.emplace(m.bh_id, log_clean_text(m.bh_desc));
        if (is_core(m)) s.cores.push_back({m.susc, m.bh_depth, m.bh_id, m.bh_core_num, m.rec_no, unit[0], m.bh_feet});
    });
    return s;
}

// ---- scales and labels -------------------------------------------------------------

// A linear axis with round ticks, mapped onto [p0, p1] pixels.
struct scale_t {
    double lo = 0, hi = 1, step = 1, p0 = 0, p1 = 1;
    double at(double v) const { return p0 + (v - lo) / (hi - lo) * (p1 - p0); }
    std::string label(double v) const {
        // Very small or large values in exponent form, short enough for the axis.
        if (std::fabs(v) < step / 2) return "0";
        if (step < 1e-3 || std::fabs(v) >= 1e6) return text_format("%.3g", v);
        const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
        std::string s = text_format(("%." + std::to_string(std::min(decimals, 9)) + "f").c_str(), v);
        return s.find_first_not_of("-0.") == std::string::npos ? "0" : s;
    }
};

// About `ticks` round steps over the range; `pad` widens it by that many
// units on each side (record numbers sit half a step inside the frame).
scale_t make_scale(range_t r, double p0, double p1, int ticks, bool integer, double pad = 0) {
    if (r.empty()) r = {0, 1};
    if (r.hi - r.lo < 1e-9 * std::max(1.0, std::fabs(r.hi))) {
        const double d = integer ? 1 : r.lo == 0 ? 1 : std::fabs(r.lo) * 0.1;
        r = {r.lo - d, r.hi + d};
    }
    if (!integer) {
        // Values never sit on the frame.
        const double margin = (r.hi - r.lo) * 0.04;
        r = {r.lo >= 0 && r.lo < margin ? 0 : r.lo - margin, r.hi + margin};
    }
    const double raw = (r.hi - r.lo) / std::max(1, ticks);
    const double mag = std::pow(10, std::floor(std::log10(raw)));
    const double norm = raw / mag;
    double step = (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * mag;
    if (integer) step = std::max(1.0, std::round(step));
    scale_t s;
    s.step = step;
    if (integer) {
        s.lo = r.lo - pad;
        s.hi = r.hi + pad;
    } else {
        s.lo = std::floor(r.lo / step) * step;
        s.hi = std::ceil(r.hi / step) * step;
    }
    s.p0 = p0;
    s.p1 = p1;
    return s;
}

struct box_t {
    double x0, y0, x1, y1;
    bool overlaps(const box_t& o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
};

enum class anchor_t { start, middle, end };

// The box a text is estimated to cover; `vertical` for text turned by -90°.
box_t text_box(double x, double y, const std::string& s, double size, anchor_t a, bool vertical) {
    const double w = static_cast<double>(s.size()) * size * LOG_SVG_CHAR_WIDTH;
    const double shift = a == anchor_t::start ? 0 : a == anchor_t::middle ? w / 2 : w;
    if (vertical) return {x - size * 0.8, y - w + shift, x + size * 0.25, y + shift};
    return {x - shift, y - size * 0.8, x - shift + w, y + size * 0.25};
}

std::string short_time(const std::string& iso) {
    std::string s = iso.substr(0, 16);
    if (s.size() > 10) s[10] = ' ';
    return s;
}

std::string plural(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// ---- the picture -------------------------------------------------------------------

class svg_t {
public:
    svg_t(log_xml_t& x, const log_source_fn& records) : x_(x), records_(records) {}

    void draw(const std::string& serial) {
        const survey_t s = survey(records_);
        int panels = 0;
        for (int q = 0; q < 2; ++q)
            for (uint8_t u = 0; u < 3; ++u) panels += (discrete_count(s, q, u) > 0) + (s.scan_points[q][u] > 0);
        for (bool feet : {false, true})
            for (uint8_t u = 0; u < 3; ++u) panels += core_count(s, feet, u) > 0;
        const double height = TOP + std::max(1, panels) * PANEL_H;
        x_.OpenElement("svg");
        x_.attr("xmlns", "http://www.w3.org/2000/svg");
        x_.attr("width", WIDTH);
        x_.attr("height", height);
        x_.attr("viewBox", text_format("0 0 %.0f %.0f", WIDTH, height));
        std::string title = "QM-38 " + (serial.empty() ? std::string("(no serial)") : serial) + ": " +
                            plural(s.records, "record", "records");
        if (!s.first.empty())
            title += s.first == s.last ? ", " + short_time(s.first)
                                       : ", " + short_time(s.first) + " to " + short_time(s.last);
        x_.leaf("title", title);
        x_.leaf("style", STYLE);
        x_.OpenElement("rect");
        x_.attr("width", "100%");
        x_.attr("height", "100%");
        x_.attr("fill", "#fff");
        x_.CloseElement();
        text(WIDTH / 2, 24, title, anchor_t::middle, "t1", 16, true);
        std::string summary = plural(static_cast<int64_t>(s.discrete.size()), "discrete record", "discrete records") +
                              ", " + plural(static_cast<int64_t>(s.scans.size()), "scan", "scans") + ", " +
                              plural(static_cast<int64_t>(s.cores.size()), "borehole core", "borehole cores") +
                              ", " + plural(s.headers, "borehole header", "borehole headers");
        if (s.unknown > 0) summary += ", " + plural(s.unknown, "unknown record", "unknown records");
        text(WIDTH / 2, 44, summary, anchor_t::middle, nullptr, FONT, true);
        top_ = TOP;
        if (panels == 0) text(WIDTH / 2, top_ + 40, "No records.", anchor_t::middle, nullptr, FONT, true);
        for (int q = 0; q < 2; ++q)
            for (uint8_t u = 0; u < 3; ++u)
                if (discrete_count(s, q, u) > 0) discrete_panel(s, q, u);
        for (int q = 0; q < 2; ++q)
            for (uint8_t u = 0; u < 3; ++u)
                if (s.scan_points[q][u] > 0) scan_panel(s, q, u);
        for (bool feet : {false, true})
            for (uint8_t u = 0; u < 3; ++u)
                if (core_count(s, feet, u) > 0) core_panel(s, feet, u);
        x_.CloseElement();
    }

private:
    static size_t discrete_count(const survey_t& s, int q, uint8_t u) {
        return static_cast<size_t>(std::count_if(s.discrete.begin(), s.discrete.end(), [&](const disc_t& d) {
            return d.unit[q] == u && std::isfinite(d.value[q]);
        }));
    }
    static size_t core_count(const survey_t& s, bool feet, uint8_t u) {
        return static_cast<size_t>(std::count_if(s.cores.begin(), s.cores.end(),
                                                 [&](const core_t& c) { return c.feet == feet && c.unit == u; }));
    }

    // ---- elements ----

    // Places a text unless it would overlap one already placed; `always` for
    // the layout's own fixed texts (titles, axis labels), placed regardless.
    bool text(double px, double py, const std::string& s, anchor_t a, const char* cls, double size, bool always,
              bool vertical = false) {
        const box_t b = text_box(px, py, s, size, a, vertical);
        // Labels that may be left out keep a gap, so a row of them stays legible.
        const box_t wide{b.x0 - LABEL_GAP, b.y0, b.x1 + LABEL_GAP, b.y1};
        if (!always) {
            if (b.x0 < 0 || b.x1 > WIDTH) return false;
            for (const box_t& o : placed_)
                if (wide.overlaps(o)) return false;
        }
        placed_.push_back(b);
        x_.OpenElement("text");
        if (cls) x_.attr("class", cls);
        x_.attr("x", px);
        x_.attr("y", py);
        if (a != anchor_t::start) x_.attr("text-anchor", a == anchor_t::middle ? "middle" : "end");
        if (vertical) x_.attr("transform", text_format("rotate(-90 %.2f %.2f)", px, py));
        x_.PushText(s.c_str());
        x_.CloseElement();
        return true;
    }
    void line(double x1, double y1, double x2, double y2, const char* cls, const char* colour = nullptr) {
        x_.OpenElement("line");
        x_.attr("class", cls);
        x_.attr("x1", x1);
        x_.attr("y1", y1);
        x_.attr("x2", x2);
        x_.attr("y2", y2);
        if (colour) x_.attr("stroke", colour);
        x_.CloseElement();
    }
    void rect(double x0, double y0, double x1, double y1, const char* cls, const char* fill = nullptr,
              const char* opacity = nullptr) {
        x_.OpenElement("rect");
        if (cls) x_.attr("class", cls);
        x_.attr("x", std::min(x0, x1));
        x_.attr("y", std::min(y0, y1));
        x_.attr("width", std::fabs(x1 - x0));
        x_.attr("height", std::max(std::fabs(y1 - y0), 0.5));
        if (fill) x_.attr("fill", fill);
        if (opacity) x_.attr("fill-opacity", opacity);
        x_.CloseElement();
    }
    // A dot, or with `ring` a ring (a marked point); `tip` shows on hover.
    void circle(double px, double py, double r, const char* cls, const char* colour, bool ring,
                const std::string& tip = {}) {
        x_.OpenElement("circle");
        x_.attr("class", cls);
        x_.attr("cx", px);
        x_.attr("cy", py);
        x_.attr("r", r);
        x_.attr(ring ? "stroke" : "fill", colour);
        if (ring) x_.attr("fill", "#fff");
        if (!tip.empty()) x_.leaf("title", tip);
        x_.CloseElement();
    }
    void path(const std::string& d, const char* cls, const char* colour) {
        if (d.empty()) return;
        x_.OpenElement("path");
        x_.attr("class", cls);
        x_.attr("d", d);
        x_.attr("stroke", colour);
        x_.CloseElement();
    }
    static std::string xy(double px, double py) { return text_format("%.1f,%.1f", px, py); }

    // ---- panel frame ----

    double plot_top() const { return top_ + HEAD; }
    double plot_bottom() const { return top_ + HEAD + PLOT_H; }

    struct legend_t {
        enum kind_t { dot, ring, line, dashed, band, bar, tick } kind;
        const char* colour;
        std::string text;
    };

    // Opens the panel's group: title, legend, frame, the value axis with its
    // ticks and label. The x axis is the panel's own (x_axis()).
    void open_panel(const char* kind, const char* unit, const std::string& title, const scale_t& sy,
                    const std::string& ylabel, const std::vector<legend_t>& legend) {
        x_.OpenElement("g");
        x_.attr("class", "panel");
        x_.attr("data-kind", kind);
        x_.attr("data-unit", unit);
        text(LEFT, top_ + 16, title, anchor_t::start, "t2", 13, true);
        double lx = LEFT;
        const double ly = top_ + 34;
        for (const legend_t& l : legend) {
            const double w = 22 + static_cast<double>(l.text.size()) * FONT * LOG_SVG_CHAR_WIDTH;
            if (lx + w > RIGHT) break;
            swatch(lx, ly - 4, l);
            text(lx + 16, ly, l.text, anchor_t::start, nullptr, FONT, true);
            lx += w + 10;
        }
        // The axis label first: a tick label too long to fit beside it is left out.
        axis_label(18, (plot_top() + plot_bottom()) / 2, ylabel, true);
        for (double v = sy.lo; v <= sy.hi + sy.step / 2; v += sy.step) {
            const double py = sy.at(v);
            line(LEFT, py, RIGHT, py, "grid");
            line(LEFT - 4, py, LEFT, py, "tk");
            text(LEFT - 7, py + 4, sy.label(v), anchor_t::end, nullptr, FONT, false);
        }
        x_.OpenElement("rect");
        x_.attr("class", "ax");
        x_.attr("x", LEFT);
        x_.attr("y", plot_top());
        x_.attr("width", RIGHT - LEFT);
        x_.attr("height", PLOT_H);
        x_.CloseElement();
    }
    void axis_label(double px, double py, const std::string& s, bool vertical) {
        text(px, py, s, anchor_t::middle, "axis-label", FONT, true, vertical);
    }
    void x_axis(const scale_t& sx, const std::string& label) {
        for (double v = std::ceil(sx.lo / sx.step) * sx.step; v <= sx.hi + 1e-9; v += sx.step) {
            const double px = sx.at(v);
            line(px, plot_bottom(), px, plot_bottom() + 4, "tk");
            text(px, plot_bottom() + 16, sx.label(v), anchor_t::middle, nullptr, FONT, false);
        }
        axis_label((LEFT + RIGHT) / 2, plot_bottom() + 36, label, false);
    }
    void close_panel() {
        x_.CloseElement();
        top_ += PANEL_H;
    }
    void swatch(double px, double py, const legend_t& l) {
        switch (l.kind) {
            case legend_t::dot: circle(px + 5, py, 3, "key", l.colour, false); break;
            case legend_t::ring: circle(px + 5, py, 3.5, "key", l.colour, true); break;
            case legend_t::line: line(px, py, px + 12, py, "line", l.colour); break;
            case legend_t::dashed: line(px, py, px + 12, py, "mean", l.colour); break;
            case legend_t::band: rect(px, py - 5, px + 12, py + 5, nullptr, l.colour, "0.18"); break;
            case legend_t::bar: line(px + 5, py - 6, px + 5, py + 6, "env", l.colour); break;
            case legend_t::tick: line(px + 5, py - 3, px + 5, py + 5, "line", l.colour); break;
        }
    }

    // ---- discrete records by record number ----

    struct group_t {
        int32_t group, first, last;
        int64_t n = 0;
        double sum = 0, sum_sq = 0;
    };

    // The groups of the records in order of their first record number; the
    // records' numbers and values widen `xr` and `yr`.
    static std::vector<group_t> discrete_groups(const std::vector<const disc_t*>& pts, int q, range_t& xr,
                                                range_t& yr) {
        std::vector<group_t> groups;
        std::map<int32_t, size_t> group_at;
        for (const disc_t* d : pts) {
            auto [it, fresh] = group_at.emplace(d->group, groups.size());
            if (fresh) groups.push_back({d->group, d->rec_no, d->rec_no});
            group_t& g = groups[it->second];
            g.first = std::min(g.first, d->rec_no);
            g.last = std::max(g.last, d->rec_no);
            ++g.n;
            g.sum += d->value[q];
            g.sum_sq += static_cast<double>(d->value[q]) * d->value[q];
            xr.add(d->rec_no);
            yr.add(d->value[q]);
        }
        std::sort(groups.begin(), groups.end(), [](const group_t& a, const group_t& b) { return a.first < b.first; });
        return groups;
    }

    static std::vector<legend_t> discrete_legend(const quantity_t& qu, bool detailed) {
        std::vector<legend_t> legend;
        if (detailed) {
            legend.push_back({legend_t::dot, qu.colour, "record"});
        } else {
            legend.push_back({legend_t::bar, qu.colour, "min-max per " + text_format("%.0f", COLUMN) + " px column"});
            legend.push_back({legend_t::line, qu.colour, "their mean"});
        }
        legend.push_back({legend_t::dashed, qu.colour, "group mean"});
        legend.push_back({legend_t::band, qu.colour, "group mean +/- std dev"});
        legend.push_back({legend_t::band, "#999", "group (G<number>)"});
        return legend;
    }

    // Bands: the group's record numbers across, its mean and standard
    // deviation up; many groups go into a few paths without tooltips. Then
    // each group's label.
    void group_bands(const std::vector<group_t>& groups, const scale_t& sx, const scale_t& sy, const quantity_t& qu) {
        const bool many = groups.size() > MANY_GROUPS;
        std::string bands, spread, means;
        for (size_t i = 0; i < groups.size(); ++i) {
            const group_t& g = groups[i];
            const double x0 = sx.at(g.first - 0.5), x1 = sx.at(g.last + 0.5);
            const double mean = g.sum / static_cast<double>(g.n);
            const double var = g.n > 1 ? (g.sum_sq - static_cast<double>(g.n) * mean * mean) / (g.n - 1) : 0;
            const double sd = std::sqrt(std::max(0.0, var));
            const double y0 = sy.at(mean + sd), y1 = sy.at(mean - sd);
            if (many) {
                if (i % 2 == 0) bands += "M" + xy(x0, plot_top()) + "H" + text_format("%.1f", x1) + "V" +
                                         text_format("%.1f", plot_bottom()) + "H" + text_format("%.1f", x0) + "Z";
                if (g.n > 1)
                    spread += "M" + xy(x0, y0) + "H" + text_format("%.1f", x1) + "V" + text_format("%.1f", y1) + "H" +
                              text_format("%.1f", x0) + "Z";
                means += "M" + xy(x0, sy.at(mean)) + "H" + text_format("%.1f", x1);
                continue;
            }
            x_.OpenElement("g");
            x_.attr("class", "group");
            x_.leaf("title", "Group " + std::to_string(g.group) + ": mean " + text_format("%.4g", mean) + " +/- " +
                                 text_format("%.3g", sd) + " " + qu.unit + " (" + plural(g.n, "record", "records") +
                                 ")");
            if (i % 2 == 0) rect(x0, plot_top(), x1, plot_bottom(), "band");
            if (g.n > 1) rect(x0, y0, x1, y1, nullptr, qu.colour, "0.18");
            line(x0, sy.at(mean), x1, sy.at(mean), "mean", qu.colour);
            x_.CloseElement();
        }
        if (many) {
            x_.OpenElement("path");
            x_.attr("class", "band");
            x_.attr("d", bands);
            x_.CloseElement();
            x_.OpenElement("path");
            x_.attr("d", spread);
            x_.attr("fill", qu.colour);
            x_.attr("fill-opacity", "0.18");
            x_.CloseElement();
            path(means, "mean", qu.colour);
        }
        for (const group_t& g : groups)
            text((sx.at(g.first - 0.5) + sx.at(g.last + 0.5)) / 2, plot_top() + 12, "G" + std::to_string(g.group),
                 anchor_t::middle, nullptr, FONT, false);
    }

    // A line through each group's records, then the records.
    void discrete_points(const std::vector<group_t>& groups, const std::vector<const disc_t*>& pts, int q,
                         const scale_t& sx, const scale_t& sy, const quantity_t& qu) {
        for (const group_t& g : groups) {
            std::string points;
            for (const disc_t* d : pts)
                if (d->group == g.group)
                    points += (points.empty() ? "" : " ") + xy(sx.at(d->rec_no), sy.at(d->value[q]));
            if (points.find(' ') == std::string::npos) continue;
            x_.OpenElement("polyline");
            x_.attr("class", "line");
            x_.attr("points", points);
            x_.attr("stroke", qu.colour);
            x_.CloseElement();
        }
        for (const disc_t* d : pts)
            circle(sx.at(d->rec_no), sy.at(d->value[q]), 2.5, q == 0 ? "susc" : "cond", qu.colour, false,
                   "#" + std::to_string(d->rec_no) + " G" + std::to_string(d->group) + ": " +
                       text_format(q == 0 ? "%.3f" : "%.1f", d->value[q]) + " " + qu.unit);
    }

    void discrete_panel(const survey_t& s, int q, uint8_t u) {
        const quantity_t& qu = q == 0 ? SUSC[u] : COND[u];
        std::vector<const disc_t*> pts;
        for (const disc_t& d : s.discrete)
            if (d.unit[q] == u && std::isfinite(d.value[q])) pts.push_back(&d);
        range_t xr, yr;
        const std::vector<group_t> groups = discrete_groups(pts, q, xr, yr);
        const bool detailed = pts.size() <= LOG_SVG_DETAIL_RECORDS;
        const std::string unit = std::string("[") + qu.unit + "]";
        const scale_t sx = make_scale(xr, LEFT, RIGHT, 10, true, 0.5);
        const scale_t sy = make_scale(yr, plot_bottom(), plot_top(), 5, false);
        open_panel("discrete", qu.unit,
                   std::string("Discrete records: ") + qu.name + " " + unit + " (" +
                       plural(static_cast<int64_t>(pts.size()), "record", "records") + ", " +
                       plural(static_cast<int64_t>(groups.size()), "group", "groups") + ")",
                   sy, std::string(qu.name) + " " + unit, discrete_legend(qu, detailed));
        group_bands(groups, sx, sy, qu);
        if (detailed) {
            discrete_points(groups, pts, q, sx, sy, qu);
        } else {
            envelope(pts.size(), [&](const auto& add) {
                for (const disc_t* d : pts) add(sx.at(d->rec_no), sy.at(d->value[q]));
            }, qu.colour);
        }
        x_axis(sx, "Record number");
        close_panel();
    }

    // One pale bar per COLUMN px from the lowest to the highest value drawn
    // into it, and a line through the columns' means. `walk` calls its
    // argument with each point's pixels.
    template <class walk_fn>
    void envelope(size_t count, const walk_fn& walk, const char* colour) {
        const size_t columns = static_cast<size_t>((RIGHT - LEFT) / COLUMN) + 1;
        std::vector<range_t> col(columns);
        std::vector<double> sum(columns, 0);
        std::vector<int64_t> n(columns, 0);
        walk([&](double px, double py) {
            const auto c = static_cast<size_t>(std::clamp((px - LEFT) / COLUMN, 0.0, static_cast<double>(columns - 1)));
            col[c].add(py);
            sum[c] += py;
            ++n[c];
        });
        std::string d, mean;
        for (size_t c = 0; c < columns; ++c) {
            if (col[c].empty()) continue;
            const double px = LEFT + (static_cast<double>(c) + 0.5) * COLUMN;
            d += "M" + xy(px, col[c].lo - 0.5) + "V" + text_format("%.1f", col[c].hi + 0.5);
            mean += (mean.empty() ? "M" : "L") + xy(px, sum[c] / static_cast<double>(n[c]));
        }
        x_.OpenElement("path");
        x_.attr("class", "env");
        x_.attr("data-values", std::to_string(count));
        x_.attr("d", d);
        x_.attr("stroke", colour);
        x_.CloseElement();
        path(mean, "line", colour);
    }

    // ---- scans one after another ----

    static std::vector<legend_t> scan_legend(const quantity_t& qu, bool detailed,
                                             const std::vector<const scan_t*>& scans) {
        std::vector<legend_t> legend;
        if (detailed) {
            legend.push_back({legend_t::line, qu.colour, "scan, one vertex per point"});
            if (std::any_of(scans.begin(), scans.end(), [](const scan_t* sc) { return sc->points == 1; }))
                legend.push_back({legend_t::dot, qu.colour, "one-point scan"});
        } else {
            legend.push_back({legend_t::bar, qu.colour, "min-max per " + text_format("%.0f", COLUMN) + " px column"});
            legend.push_back({legend_t::line, qu.colour, "their mean"});
        }
        legend.push_back({detailed ? legend_t::ring : legend_t::tick, qu.colour,
                          detailed ? "marked point" : "marked points (ticks at the bottom)"});
        if (detailed && scans.size() > 1) legend.push_back({legend_t::line, "#ccc", "start of a scan"});
        return legend;
    }

    // Calls `add(m, rec, n, base)` for each scan of quantity `q` in unit `u`
    // that has points: `n` of them, after `base` points of the scans before.
    template <class add_fn>
    void walk_scans(int q, uint8_t u, const add_fn& add) {
        int64_t base = 0;
        records_([&](const uint8_t* rec) {
            const meas_t m = meas_decode(rec);
            if (log_kind(m) != log_kind_t::scanner || (q == 0 ? susc_unit(m) : cond_unit(m)) != u) return;
            const int32_t n = log_svg_scan_points(rec);
            if (n == 0) return;
            add(m, rec, n, base);
            base += n;
        });
    }

    static float point_value(const uint8_t* rec, int q, int32_t i) {
        return q == 0 ? meas_point_susc(rec, i) : meas_point_cond(rec, i);
    }

    // One scan in full: its line, broken where a value is missing, a dot for
    // a single point, its marked points ringed. Its start goes into `starts`.
    void scan_detail(const meas_t& m, const uint8_t* rec, int32_t n, int64_t base, int q, const quantity_t& qu,
                     const scale_t& sx, const scale_t& sy, std::string& starts) {
        const double start = sx.at(static_cast<double>(base) - 0.5);
        if (base > 0) starts += "M" + xy(start, plot_top()) + "V" + text_format("%.1f", plot_bottom());
        x_.OpenElement("g");
        x_.attr("class", "scan");
        x_.attr("data-rec", std::to_string(m.rec_no));
        x_.attr("data-points", std::to_string(n));
        x_.leaf("title", "Scan #" + std::to_string(m.rec_no) + ": " + plural(n, "point", "points"));
        std::string points;
        auto flush = [&] {
            if (points.empty()) return;
            x_.OpenElement("polyline");
            x_.attr("class", "line");
            x_.attr("points", points);
            x_.attr("stroke", qu.colour);
            x_.CloseElement();
            points.clear();
        };
        for (int32_t i = 0; i < n; ++i) {
            const float v = point_value(rec, q, i);
            if (!std::isfinite(v)) {
                flush();
                continue;
            }
            points += (points.empty() ? "" : " ") + xy(sx.at(static_cast<double>(base + i)), sy.at(v));
        }
        flush();
        const float first = point_value(rec, q, 0);
        if (n == 1 && std::isfinite(first))
            circle(sx.at(static_cast<double>(base)), sy.at(first), 2.5, "pt", qu.colour, false);
        for (int32_t i = 0; i < n; ++i) {
            const float v = point_value(rec, q, i);
            if (!meas_point_marked(rec, i) || !std::isfinite(v)) continue;
            circle(sx.at(static_cast<double>(base + i)), sy.at(v), 3.5, "mark", qu.colour, true,
                   "#" + std::to_string(m.rec_no) + " point " + std::to_string(i + 1) + ": " +
                       text_format(q == 0 ? "%.3f" : "%.1f", v) + " " + qu.unit);
        }
        x_.CloseElement();
    }

    // Too many points to draw: their envelope, and a tick at the bottom of
    // each column that holds a marked point.
    void scan_envelope(int64_t total, int q, uint8_t u, const quantity_t& qu, const scale_t& sx, const scale_t& sy) {
        const size_t columns = static_cast<size_t>((RIGHT - LEFT) / COLUMN) + 1;
        std::vector<bool> marked(columns, false);
        envelope(static_cast<size_t>(total), [&](const auto& add) {
            walk_scans(q, u, [&](const meas_t&, const uint8_t* rec, int32_t n, int64_t base) {
                for (int32_t i = 0; i < n; ++i) {
                    const float v = point_value(rec, q, i);
                    const double px = sx.at(static_cast<double>(base + i));
                    if (meas_point_marked(rec, i))
                        marked[static_cast<size_t>(std::clamp((px - LEFT) / COLUMN, 0.0,
                                                              static_cast<double>(columns - 1)))] = true;
                    if (std::isfinite(v)) add(px, sy.at(v));
                }
            });
        }, qu.colour);
        std::string marks;
        for (size_t c = 0; c < columns; ++c)
            if (marked[c]) marks += "M" + xy(LEFT + (static_cast<double>(c) + 0.5) * COLUMN, plot_bottom() - 6) + "v6";
        path(marks, "line", qu.colour);
    }

    // Scan starts, and their record numbers as the x axis where they fit.
    void scan_axis(const std::vector<const scan_t*>& scans, const scale_t& sx, const std::string& starts) {
        int64_t at = 0;
        for (const scan_t* sc : scans) {
            const double px = sx.at(static_cast<double>(at) - 0.5);
            if (text(std::max(px + 2, LEFT), plot_bottom() + 16, "#" + std::to_string(sc->rec_no), anchor_t::start,
                     nullptr, FONT, false))
                line(px, plot_bottom(), px, plot_bottom() + 4, "tk");
            at += sc->points;
        }
        path(starts, "sep", "#ccc");
        axis_label((LEFT + RIGHT) / 2, plot_bottom() + 36,
                   "Record number of each scan (scans in download order, each as wide as its points)", false);
    }

    void scan_panel(const survey_t& s, int q, uint8_t u) {
        const quantity_t& qu = q == 0 ? SUSC[u] : COND[u];
        std::vector<const scan_t*> scans;
        for (const scan_t& sc : s.scans)
            if (sc.unit[q] == u && sc.points > 0) scans.push_back(&sc);
        const int64_t total = s.scan_points[q][u];
        const bool detailed = total <= LOG_SVG_SCAN_POINTS && scans.size() <= LOG_SVG_DETAIL_RECORDS;
        const std::string unit = std::string("[") + qu.unit + "]";
        // Scans follow one another, each over as many units as it has points.
        scale_t sx;
        sx.lo = -0.5;
        sx.hi = static_cast<double>(total) - 0.5;
        sx.p0 = LEFT;
        sx.p1 = RIGHT;
        const scale_t sy = make_scale(s.scan_range[q][u], plot_bottom(), plot_top(), 5, false);
        open_panel("scan", qu.unit,
                   std::string("Scans: ") + qu.name + " " + unit + " (" +
                       plural(static_cast<int64_t>(scans.size()), "scan", "scans") + ", " +
                       plural(total, "point", "points") + ")",
                   sy, std::string(qu.name) + " " + unit, scan_legend(qu, detailed, scans));
        std::string starts;
        if (detailed) {
            walk_scans(q, u, [&](const meas_t& m, const uint8_t* rec, int32_t n, int64_t base) {
                scan_detail(m, rec, n, base, q, qu, sx, sy, starts);
            });
        } else {
            scan_envelope(total, q, u, qu, sx, sy);
        }
        scan_axis(scans, sx, starts);
        close_panel();
    }

    // ---- borehole cores against depth ----

    static const char* borehole_colour(const std::vector<int32_t>& ids, int32_t id) {
        const size_t i = static_cast<size_t>(std::find(ids.begin(), ids.end(), id) - ids.begin());
        return BOREHOLE_COLOURS[i % std::size(BOREHOLE_COLOURS)];
    }

    // One borehole's cores by depth: a line through them, then a dot each
    // (with its tooltip, when `detailed`).
    void borehole_cores(int32_t id, const std::vector<const core_t*>& cores, const char* colour, bool detailed,
                        const scale_t& sx, const scale_t& sy, const quantity_t& qu, const char* length) {
        std::vector<const core_t*> bh;
        for (const core_t* c : cores)
            if (c->bh_id == id) bh.push_back(c);
        std::stable_sort(bh.begin(), bh.end(), [](const core_t* a, const core_t* b) { return a->depth < b->depth; });
        std::string points, dots;
        for (const core_t* c : bh) {
            points += (points.empty() ? "" : " ") + xy(sx.at(c->susc), sy.at(c->depth));
            if (!detailed) dots += "M" + xy(sx.at(c->susc), sy.at(c->depth)) + "h0";
        }
        if (bh.size() > 1) {
            x_.OpenElement("polyline");
            x_.attr("class", "line");
            x_.attr("points", points);
            x_.attr("stroke", colour);
            x_.CloseElement();
        }
        if (!detailed) {
            path(dots, "dots", colour);
            return;
        }
        for (const core_t* c : bh)
            circle(sx.at(c->susc), sy.at(c->depth), 2.5, "core", colour, false,
                   "Borehole " + std::to_string(id) + " core " + std::to_string(c->num) + " (#" +
                       std::to_string(c->rec_no) + "): " + text_format("%.3f", c->susc) + " " + qu.unit + " at " +
                       text_format("%.2f", c->depth) + " " + length);
    }

    void core_panel(const survey_t& s, bool feet, uint8_t u) {
        const quantity_t& qu = SUSC[u];
        std::vector<const core_t*> cores;
        std::vector<int32_t> ids;
        range_t xr, yr;
        for (const core_t& c : s.cores) {
            if (c.feet != feet || c.unit != u) continue;
            cores.push_back(&c);
            xr.add(c.susc);
            yr.add(c.depth);
            if (std::find(ids.begin(), ids.end(), c.bh_id) == ids.end()) ids.push_back(c.bh_id);
        }
        const char* length = feet ? "ft" : "m";
        std::vector<legend_t> legend;
        for (int32_t id : ids) {
            auto it = s.boreholes.find(id);
            const std::string desc = it != s.boreholes.end() && !it->second.empty() ? " " + it->second : "";
            legend.push_back({legend_t::dot, borehole_colour(ids, id), "Borehole " + std::to_string(id) + desc});
        }
        const scale_t sx = make_scale(xr, LEFT + 10, RIGHT - 10, 8, false);
        const scale_t sy = make_scale(yr, plot_top(), plot_bottom(), 5, false);  // depth downwards
        const std::string unit = std::string("[") + qu.unit + "]";
        open_panel("cores", qu.unit,
                   std::string("Borehole cores: ") + qu.name + " " + unit + " against depth [" + length + "] (" +
                       plural(static_cast<int64_t>(cores.size()), "core", "cores") + ")",
                   sy, std::string("Depth [") + length + "]", legend);
        const bool detailed = cores.size() <= LOG_SVG_DETAIL_RECORDS;
        for (int32_t id : ids) borehole_cores(id, cores, borehole_colour(ids, id), detailed, sx, sy, qu, length);
        x_axis(sx, std::string(qu.name) + " " + unit);
        close_panel();
    }

    log_xml_t& x_;
    const log_source_fn& records_;
    std::vector<box_t> placed_;
    double top_ = 0;
};

}  // namespace

int32_t log_svg_scan_points(const uint8_t* rec) {
    const meas_t m = meas_decode(rec);
    if (m.meas_time <= 0) return 0;
    if (m.meas_time <= MR_POINTS) return m.meas_time;
    int32_t n = MR_POINTS;
    while (n > 0 && meas_point_susc(rec, n - 1) == 0.0f && meas_point_cond(rec, n - 1) == 0.0f) --n;
    return n;
}

bool log_svg_write(const std::string& path, const log_source_fn& records, const std::string& serial,
                   log_svg_end_t end) {
    cmd_file_t file;
    if (!file.open(path, end == log_svg_end_t::close ? cmd_file_t::kind_t::text : cmd_file_t::kind_t::download))
        return false;
    log_xml_t x(file);
    x.PushDeclaration(LOG_XML_DECLARATION);
    svg_t(x, records).draw(log_clean_text(serial));
    x.end_line();
    return end == log_svg_end_t::commit ? file.commit() : file.close();
}
