// The log's pure parts at their edges: point listings and statistics, the
// download order, and the CSV, GPX and SVG exports of hand-made records. The
// ordinary record lines show in the demo log's golden files.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "commands/log_export.h"
#include "commands/log_format.h"
#include "records/meas.h"
#include "records/wire.h"
#include "support/files.h"

namespace {

using bytes = std::vector<uint8_t>;

uint32_t lat_word(uint32_t ddmm, uint32_t fraction) { return ddmm | (fraction << 17); }

// A discrete record 2024-02-29 23:59:58 at 49°12.3456'N 16°35.1240'E.
bytes discrete(float susc, float cond, uint32_t type_word = 1) {
    bytes r(MR_SIZE, 0);
    put_i32le(r.data(), MR_REC_NO, 17);
    put_i32le(r.data(), MR_GROUP_NO, 3);
    put_u16le(r.data(), MR_YEAR, 2024);
    for (auto [off, v] : {std::pair{MR_MONTH, 2}, {MR_DAY, 29}, {MR_HOUR, 23}, {MR_MINUTE, 59}, {MR_SECOND, 58},
                          {MR_PIN, 1}, {MR_ERROR, 2}, {MR_DIA, 7}, {MR_MEAS_MODE, 4}})
        put_u8(r.data(), off, static_cast<uint8_t>(v));
    put_u32le(r.data(), MR_TYPE_WORD, type_word);
    put_f32le(r.data(), MR_SUSC, susc);
    put_f32le(r.data(), MR_COND, cond);
    put_i32le(r.data(), MR_SAMPLE_NO, 3);
    put_i32le(r.data(), MR_MEAS_TIME, 3);
    put_u32le(r.data(), MR_GPS + GPS_FLAGS, GPS_VALID | GPS_NORTH | GPS_EAST | (9u << 11));
    put_u32le(r.data(), MR_GPS + GPS_LAT, lat_word(4912, 3456));
    put_u32le(r.data(), MR_GPS + GPS_LON, lat_word(1635, 1240));
    put_i32le(r.data(), MR_GPS + GPS_ALT, 42);
    return r;
}

bytes scanner(int32_t points) {
    bytes r = discrete(0, 0, 2);
    put_i32le(r.data(), MR_MEAS_TIME, points);
    for (int32_t i = 0; i < MR_POINTS; ++i) {
        put_f32le(r.data(), MR_SUSC_POINTS + 4 * static_cast<size_t>(i), 0.5f * static_cast<float>(i));
        put_f32le(r.data(), MR_COND_POINTS + 4 * static_cast<size_t>(i), 10.0f + static_cast<float>(i));
    }
    r[MR_MARKS] = 0x02;  // point 1
    return r;
}

bytes borehole_header(const char* desc) {
    bytes r = discrete(0, 0, 1u << 24);
    std::memcpy(r.data() + MR_BH_DESC, desc, std::min<size_t>(16, std::strlen(desc)));
    put_i32le(r.data(), MR_BH_ID, 301);
    put_u8(r.data(), MR_BH_FEET, 1);
    put_f32le(r.data(), MR_BH_DEPTH_FROM, 10.0f);
    put_f32le(r.data(), MR_BH_DEPTH_TO, 60.25f);
    return r;
}

// Elements of class `cls` among `e`, its siblings and everything below them.
int count_class(const tinyxml2::XMLElement* e, const char* cls) {
    int n = 0;
    for (; e; e = e->NextSiblingElement()) {
        const char* c = e->Attribute("class");
        n += (c && std::string(c) == cls) + count_class(e->FirstChildElement(), cls);
    }
    return n;
}

}  // namespace

// A count past the arrays lists the 480 points they hold, a negative count
// none; the raw data file always holds all 480.
TEST(LogRecordLines, PointListingStaysInsideTheArrays) {
    EXPECT_EQ(log_point_lines(scanner(-3).data()), "\n");
    const std::string all = log_point_lines(scanner(481).data());
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 96);
    EXPECT_EQ(all.substr(all.size() - 18), "( 239.500  489.0)\n");
    const std::string raw = log_raw_text(scanner(481).data());
    EXPECT_EQ(raw.substr(0, 26), "3\n481\n 0.000   10.0\n 0.500");
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), 482);
}

// Equal values leave the single-precision variance below zero: 0.000, never nan.
TEST(LogStatistics, EqualValuesShowNoDeviation) {
    for (auto [v, n, avg] : {std::tuple{1.1f, 3, " 1.100"}, std::tuple{12.4f, 6, "12.400"}}) {
        float s = 0, s2 = 0;
        for (int i = 0; i < n; ++i) s += v, s2 += v * v;
        EXPECT_EQ(log_stats_text(s, s2, n), std::string("--- ") + avg + " +/-  0.000 " + std::string(54, '-') + "\n\n");
    }
}

TEST(LogDownloadOrder, UnsignedAscendingTiesBySlotNeverAllOnes) {
    std::vector<uint8_t> table(LOG_TABLE_SIZE, 0);
    auto set = [&](uint32_t slot, uint32_t v) { put_u32le(table.data(), slot * LE_SIZE, v); };
    set(0, 7);
    set(1, 0x80000000u);  // negative as signed: after every positive value
    set(2, LOG_ENTRY_NEVER);
    set(3, 7);
    set(4, 2);
    set(6, 0xFFFFFFFEu);
    set(40, 1);  // beyond the slots in use
    EXPECT_EQ(log_download_order(table.data(), 40), (std::vector<uint32_t>{4, 0, 3, 1, 6}));
    EXPECT_TRUE(log_download_order(table.data(), 0).empty());

    // The same order the plain scan takes, on a full table with many ties.
    std::mt19937 rng(7);
    for (uint32_t s = 0; s < LOG_TABLE_SLOTS; ++s) {
        const uint32_t pick = rng() % 8;
        set(s, pick == 0 ? 0 : pick == 1 ? LOG_ENTRY_NEVER : pick == 2 ? 0x80000000u + rng() % 50 : rng() % 500 + 1);
    }
    const uint32_t slots = 3000;
    const auto order = log_download_order(table.data(), slots);
    std::vector<uint32_t> scanned;
    for (int64_t s; (s = log_next_slot_scan(table.data(), slots)) >= 0;) scanned.push_back(static_cast<uint32_t>(s));
    EXPECT_EQ(order, scanned);
}

TEST(LogCsv, RowsQuoteTextAndLeaveBadValuesEmpty) {
    const std::string header = log_csv_header();
    EXPECT_EQ(std::count(header.begin(), header.end(), ','), 29);
    EXPECT_EQ(log_csv_row(5, 0x80000000u, discrete(0.152f, 12.5f).data()),
              "5,2147483648,17,3,\"2024-02-29T23:59:58\",\"discrete\",4,1,0,0,1,2,7,0.152,\"SI\",12.5,\"S/m\",3,3,"
              "49.20576000,16.58540000,42,9,,,,,,,\r\n");
    bytes bad = borehole_header("say \"hi\",\x01\xe9tc-16-bytes");
    put_f32le(bad.data(), MR_SUSC, NAN);
    put_f32le(bad.data(), MR_BH_DEPTH_TO, INFINITY);
    put_u8(bad.data(), MR_DAY, 30);  // 30 February
    put_u32le(bad.data(), MR_GPS + GPS_FLAGS, 0);
    // A header measured nothing: no mode, pin, error, dia, values, counts; no
    // altitude without a position.
    EXPECT_EQ(log_csv_row(0, 1, bad.data()),
              "0,1,17,3,,\"borehole header\",,0,0,0,,,,,,,,,,,,,0,301,"
              "\"say \"\"hi\"\",?\xc3\xa9tc-16\",10,,,,\"ft\"\r\n");
    // A scan without points has no value; one with points keeps its mean. The
    // shortest text that reads back as the same float: 14.1, never 14.099999.
    const std::string empty_scan = log_csv_row(2, 3, scanner(0).data());
    EXPECT_NE(empty_scan.find(",\"scanner\",4,2,0,0,1,2,7,,,,,3,0,49.2"), std::string::npos) << empty_scan;
    bytes full = scanner(4);
    put_f32le(full.data(), MR_SUSC, 0.30000001f);
    put_f32le(full.data(), MR_COND, 14.1f);
    const std::string full_scan = log_csv_row(2, 3, full.data());
    EXPECT_NE(full_scan.find(",0.3,\"SI\",14.1,\"S/m\",3,4,"), std::string::npos) << full_scan;
}

// GPX times: the instrument's local time read in this computer's zone, in
// UTC with "Z", daylight saving as the zone had it on that date.
TEST(LogGpx, TimesInUtcFromTheLocalZone) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    bytes winter = discrete(1, 1);  // 2024-02-29 23:59:58
    bytes summer = discrete(1, 1);
    put_u8(summer.data(), MR_MONTH, 7);
    put_u8(summer.data(), MR_DAY, 1);
    put_u8(summer.data(), MR_HOUR, 1);
    const std::string w = log_utc_time(winter.data()), s = log_utc_time(summer.data());
    bytes bad = discrete(1, 1);
    put_u8(bad.data(), MR_MONTH, 0);
    const std::string b = log_utc_time(bad.data());
    setenv("TZ", "UTC0", 1);
    tzset();
    const std::string u = log_utc_time(winter.data());
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
    EXPECT_EQ(w, "2024-02-29T22:59:58Z");
    EXPECT_EQ(s, "2024-06-30T23:59:58Z");
    EXPECT_EQ(b, "");
    EXPECT_EQ(u, "2024-02-29T23:59:58Z");
}

// The XML files parse back; free text is escaped; bad values leave their
// element out; the picture holds one point per finite value.
TEST(LogXml, GpxAndSvgStayValidWithBadData) {
    const WorkDir dir;
    const std::string gpx_path = "kappa.gpx", svg_path = "kappa.svg";
    bytes core = discrete(0.25f, NAN, 1 | (2u << 24));
    std::memcpy(core.data() + MR_BH_DESC, "<A&B> \"x\"", 9);
    put_u8(core.data(), MR_MONTH, 13);
    bytes off_globe = discrete(1, 1);
    put_u32le(off_globe.data(), MR_GPS + GPS_LAT, lat_word(9100, 0));
    bytes no_fix = discrete(INFINITY, 3);
    put_u32le(no_fix.data(), MR_GPS + GPS_FLAGS, 0);
    const std::vector<bytes> recs = {discrete(0.5f, 2), core, off_globe, no_fix, scanner(7), borehole_header("H")};
    {
        log_gpx_t gpx;
        ASSERT_TRUE(gpx.open(gpx_path));
        for (const auto& r : recs) gpx.add(r.data());
    }
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.LoadFile(gpx_path.c_str()), tinyxml2::XML_SUCCESS);
    std::vector<std::string> descs;
    int times = 0;
    for (auto* w = doc.RootElement()->FirstChildElement("wpt"); w; w = w->NextSiblingElement("wpt")) {
        EXPECT_STREQ(w->Attribute("lat"), "49.20576000");
        EXPECT_STREQ(w->FirstChildElement("ele")->GetText(), "42");
        times += w->FirstChildElement("time") ? 1 : 0;
        descs.emplace_back(w->FirstChildElement("desc")->GetText());
    }
    ASSERT_EQ(descs.size(), 4u);  // not the one off the globe, not the one without a fix
    EXPECT_EQ(times, 3);
    EXPECT_EQ(descs[1], "Susc=0.250 SI, Borehole 0 <A&B> \"x\" core 0 depth 0.0 m");

    ASSERT_TRUE(log_svg_write(
        svg_path, [&](const log_visit_fn& visit) { for (const auto& r : recs) visit(r.data()); }, "kappa_<1>"));
    ASSERT_EQ(doc.LoadFile(svg_path.c_str()), tinyxml2::XML_SUCCESS);
    EXPECT_EQ(count_class(doc.RootElement(), "susc"), 3);  // four discrete records, one infinite
    EXPECT_EQ(count_class(doc.RootElement(), "cond"), 3);  // one not a number
    EXPECT_EQ(count_class(doc.RootElement(), "mark"), 2);  // point 1 in each of the two scan panels
    EXPECT_STREQ(doc.RootElement()->FirstChildElement("title")->GetText(),
                 "QM-38 kappa_<1>: 6 records, 2024-02-29 23:59");
}

// Point i's mark is bit i % 8 of marks byte i / 8; setting one mark changes
// only its bit, and points outside the record are never marked.
TEST(MeasPointMarks, BitOrderOnePointAtATimeNothingOutside) {
    bytes r(MR_SIZE, 0xA5);
    std::fill_n(r.begin() + MR_MARKS, 60, 0);
    r[MR_MARKS + 1] = 0x04;
    for (int32_t i = 0; i < MR_POINTS; ++i) EXPECT_EQ(meas_point_marked(r.data(), i), i == 10) << i;
    meas_set_point_mark(r.data(), 479, true);
    meas_set_point_mark(r.data(), 8, true);
    meas_set_point_mark(r.data(), 10, false);
    for (int32_t i : {-1, MR_POINTS, 1000}) {
        meas_set_point_mark(r.data(), i, true);
        EXPECT_FALSE(meas_point_marked(r.data(), i)) << i;
    }
    bytes expected(MR_SIZE, 0xA5);
    std::fill_n(expected.begin() + MR_MARKS, 60, 0);
    expected[MR_MARKS + 1] = 0x01;
    expected[MR_MARKS + 59] = 0x80;
    EXPECT_EQ(r, expected);
}
