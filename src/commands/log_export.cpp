#include "commands/log_export.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <vector>

#include "commands/log_format.h"
#include "commands/log_svg.h"
#include "commands/log_xml.h"
#include "libcomm/libcomm.h"
#include "libcomm/text.h"
#include "records/meas.h"

namespace {


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
    return text_format("%04d-%02d-%02dT%02d:%02d:%02d", m.year, m.month, m.day, m.hour, m.minute, m.second);
}

std::string log_utc_time(const uint8_t* rec) {
    const meas_t m = meas_decode(rec);
    if (!valid_date(m)) return {};
    std::tm local{};
    local.tm_year = m.year - 1900;
    local.tm_mon = m.month - 1;
    local.tm_mday = m.day;
    local.tm_hour = m.hour;
    local.tm_min = m.minute;
    local.tm_sec = m.second;
    local.tm_isdst = -1;  // the zone's rule for that date decides
    const time_t t = std::mktime(&local);
    std::tm utc{};
    if (t == static_cast<time_t>(-1) && local.tm_year != 69) return {};
    if (gmtime_r(&t, &utc) == nullptr) return {};
    return text_format("%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                       utc.tm_hour, utc.tm_min, utc.tm_sec);
}

std::string log_csv_header() {
    return "slot,entry_value,rec_no,group_no,time,kind,meas_mode,type,curve_s,curve_c,pin,error,dia,"
           "susc,susc_unit,cond,cond_unit,sample_no,meas_time,latitude,longitude,altitude,satellites,"
           "bh_id,bh_desc,bh_depth_from,bh_depth_to,bh_depth,bh_core_num,bh_length_unit\r\n";
}

namespace {

// One CSV row's fields, in order.
struct csv_fields_t {
    std::vector<std::string> f;
    void add(std::string v) { f.push_back(std::move(v)); }
    void add_int(int64_t v) { f.push_back(std::to_string(v)); }
    void add_empty(int n) {
        for (int i = 0; i < n; ++i) add("");
    }
    std::string row() const {
        std::string row;
        for (size_t i = 0; i < f.size(); ++i) {
            if (i > 0) row += ',';
            row += f[i];
        }
        return row + "\r\n";
    }
};

// From the measuring mode to the measuring time. A borehole header or an
// unknown record measured nothing, and a scan without points has no value:
// their fields stay empty rather than 0.
void csv_measurement(csv_fields_t& f, const meas_t& m, log_kind_t kind) {
    const bool measured = kind == log_kind_t::discrete || kind == log_kind_t::scanner;
    const bool has_value = kind == log_kind_t::discrete || (kind == log_kind_t::scanner && log_point_count(m) > 0);
    auto add_measured = [&](int64_t v) { f.add(measured ? std::to_string(v) : ""); };
    add_measured(m.meas_mode);
    f.add_int(m.type);
    f.add_int(m.curve_s);
    f.add_int(m.curve_c);
    for (int32_t v : {m.pin, m.error, m.dia}) add_measured(v);
    f.add(has_value ? csv_float(m.susc) : "");
    f.add(has_value ? csv_text(log_susc_unit(m)) : "");
    f.add(has_value ? csv_float(m.cond) : "");
    f.add(has_value ? csv_text(log_cond_unit(m)) : "");
    add_measured(m.sample_no);
    add_measured(m.meas_time);
}

// Latitude, longitude and altitude of a valid position, and the satellites.
void csv_position(csv_fields_t& f, const meas_t& m, const uint8_t* rec) {
    if (log_gps_valid(m)) {
        const latlon_t p = position(rec);
        f.add(text_format("%.8f", p.lat));
        f.add(text_format("%.8f", p.lon));
        f.add_int(m.alt);
    } else {
        f.add_empty(3);
    }
    f.add_int(log_gps_sats(m));
}

// A borehole header's or core's fields.
void csv_borehole(csv_fields_t& f, const meas_t& m) {
    if (m.bh_kind != 1 && m.bh_kind != 2) {
        f.add_empty(7);
        return;
    }
    const bool header = m.bh_kind == 1;
    f.add_int(m.bh_id);
    f.add(csv_text(log_clean_text(m.bh_desc)));
    f.add(header ? csv_float(m.bh_depth_from) : "");
    f.add(header ? csv_float(m.bh_depth_to) : "");
    f.add(header ? "" : csv_float(m.bh_depth));
    f.add(header ? "" : std::to_string(m.bh_core_num));
    f.add(csv_text(log_length_unit(m)));
}

}  // namespace

std::string log_csv_row(uint32_t slot, uint32_t entry_value, const uint8_t* rec) {
    const meas_t m = meas_decode(rec);
    csv_fields_t f;
    f.add_int(slot);
    f.add_int(entry_value);
    f.add_int(m.rec_no);
    f.add_int(m.group_no);
    const std::string when = log_iso_time(rec);
    f.add(when.empty() ? "" : csv_text(when));
    const log_kind_t kind = log_kind(m);
    f.add(csv_text(log_kind_name(kind)));
    csv_measurement(f, m, kind);
    csv_position(f, m, rec);
    csv_borehole(f, m);
    return f.row();
}

// ---- GPX -----------------------------------------------------------------------

struct log_gpx_t::printer_t : log_xml_t {
    using log_xml_t::log_xml_t;
};

log_gpx_t::log_gpx_t() = default;
log_gpx_t::~log_gpx_t() { close(); }

bool log_gpx_t::open(const std::string& path, cmd_file_t::kind_t kind) {
    close();
    if (!file_.open(path, kind)) return false;
    printer_ = std::make_unique<printer_t>(file_);
    printer_->PushDeclaration(LOG_XML_DECLARATION);
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
    log_xml_t& x = *printer_;
    x.OpenElement("wpt");
    x.attr("lat", text_format("%.8f", p.lat));
    x.attr("lon", text_format("%.8f", p.lon));
    x.leaf("ele", std::to_string(m.alt));
    const std::string when = log_utc_time(rec);
    if (!when.empty()) x.leaf("time", when);
    x.leaf("name", std::to_string(m.rec_no));
    std::string desc;
    auto part = [&](const std::string& s) { desc += (desc.empty() ? "" : ", ") + s; };
    const log_kind_t kind = log_kind(m);
    if (kind == log_kind_t::discrete || (kind == log_kind_t::scanner && log_point_count(m) > 0)) {
        if (std::isfinite(m.susc)) part("Susc=" + text_format("%.3f", m.susc) + " " + log_susc_unit(m));
        if (std::isfinite(m.cond)) part("Cond=" + text_format("%.1f", m.cond) + " " + log_cond_unit(m));
    }
    if (m.bh_kind == 1 || m.bh_kind == 2) {
        std::string bh = "Borehole " + std::to_string(m.bh_id) + " " + log_clean_text(m.bh_desc);
        if (m.bh_kind == 2) {
            bh += " core " + std::to_string(m.bh_core_num);
            if (std::isfinite(m.bh_depth)) bh += " depth " + text_format("%.1f", m.bh_depth) + " " + log_length_unit(m);
        }
        part(bh);
    }
    if (!desc.empty()) x.leaf("desc", desc);
    x.leaf("sat", std::to_string(log_gps_sats(m)));
    x.CloseElement();
}

bool log_gpx_t::end() {
    if (!printer_) return false;
    printer_->CloseElement();
    printer_->end_line();
    printer_.reset();
    return true;
}

bool log_gpx_t::close() { return end() && file_.close(); }
bool log_gpx_t::commit() { return end() && file_.commit(); }

// ---- the three together -----------------------------------------------------------

log_exports_t::~log_exports_t() { finish(false); }

void log_exports_t::open(const std::string& prefix, const std::string& serial) {
    finish(false);
    open_ = true;
    serial_ = serial;
    svg_path_ = prefix + LOG_SVG_NAME;
    if (csv_.open(prefix + LOG_CSV_NAME, cmd_file_t::kind_t::download)) csv_.puts(log_csv_header().c_str());
    gpx_.open(prefix + LOG_GPX_NAME, cmd_file_t::kind_t::download);
    store_.reset(std::tmpfile());
    store_failed_ = !store_;
}

void log_exports_t::add(uint32_t slot, uint32_t entry_value, const uint8_t* rec) {
    if (!open_) return;
    csv_.puts(log_csv_row(slot, entry_value, rec).c_str());
    gpx_.add(rec);
    if (store_ && std::fwrite(rec, 1, MR_SIZE, store_.get()) != MR_SIZE) store_failed_ = true;
}

void log_exports_t::end(bool draw, bool commit) {
    if (!open_) return;
    open_ = false;
    if (commit) {
        csv_.commit();
        gpx_.commit();
    } else {
        csv_.close();
        gpx_.close();
    }
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
                serial_, commit ? log_svg_end_t::commit : log_svg_end_t::keep_part);
        }
    }
    store_.reset();
}

void log_exports_t::finish(bool draw) { end(draw, false); }
void log_exports_t::complete() { end(true, true); }
