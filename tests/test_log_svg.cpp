// The log picture read back: every scan over exactly its points, one unit
// per value axis and every axis labelled with its unit, no two labels on top
// of each other, marked points shown, and a small file for a large log.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "commands/log_export.h"
#include "commands/log_format.h"
#include "records/wire.h"
#include "support/files.h"

namespace {

using bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

bytes record(int32_t rec_no, int32_t group, uint32_t type_word) {
    bytes r(MR_SIZE, 0);
    put_i32le(r.data(), MR_REC_NO, rec_no);
    put_i32le(r.data(), MR_GROUP_NO, group);
    put_u16le(r.data(), MR_YEAR, 2025);
    put_u8(r.data(), MR_MONTH, 3);
    put_u8(r.data(), MR_DAY, static_cast<uint8_t>(1 + rec_no % 28));
    put_u8(r.data(), MR_HOUR, 10);
    put_u32le(r.data(), MR_TYPE_WORD, type_word);
    return r;
}

bytes discrete(int32_t rec_no, int32_t group, float susc, float cond, uint32_t units = 0) {
    bytes r = record(rec_no, group, 1 | units);
    put_f32le(r.data(), MR_SUSC, susc);
    put_f32le(r.data(), MR_COND, cond);
    return r;
}

// A scan with `count` as its point count and `filled` points holding values
// (the rest zero), every third point marked.
bytes scan(int32_t rec_no, int32_t count, int32_t filled, uint32_t units = 0) {
    bytes r = record(rec_no, 50, 2 | units);
    put_i32le(r.data(), MR_MEAS_TIME, count);
    for (int32_t i = 0; i < filled; ++i) {
        put_f32le(r.data(), MR_SUSC_POINTS + 4 * static_cast<size_t>(i), 0.2f + 0.01f * static_cast<float>(i % 17));
        put_f32le(r.data(), MR_COND_POINTS + 4 * static_cast<size_t>(i), 9.0f + static_cast<float>(i % 5));
        if (i % 3 == 0) r[MR_MARKS + static_cast<size_t>(i / 8)] |= static_cast<uint8_t>(1 << (i % 8));
    }
    return r;
}

bytes core(int32_t rec_no, int32_t bh_id, bool feet, float depth, float susc) {
    bytes r = discrete(rec_no, 60 + bh_id, susc, 20.0f, 2u << TW_BH_KIND_SHIFT);
    put_i32le(r.data(), MR_BH_ID, bh_id);
    std::memcpy(r.data() + MR_BH_DESC, "BH", 2);
    put_u8(r.data(), MR_BH_FEET, feet ? 1 : 0);
    put_f32le(r.data(), MR_BH_DEPTH, depth);
    return r;
}

// The generated log of the simulator's shape: nine discrete records and a
// 24-point scan in every ten, groups of twenty.
bytes generated(int32_t i) {
    const int32_t n = i + 1;
    if (i % 10 == 9) return scan(n, 24, 24);
    return discrete(n, i / 20 + 1, 0.1f + 0.001f * static_cast<float>(i % 500),
                    10.0f + 0.01f * static_cast<float>(i % 900));
}

struct svg_file_t {
    std::string text;
    tinyxml2::XMLDocument doc;
};

class LogSvg : public ::testing::Test {
protected:
    // Draws `count` records made by `make` and reads the file back.
    void draw(int32_t count, const std::function<bytes(int32_t)>& make) {
        const fs::path path = work_.path() / "kappa.svg";
        ASSERT_TRUE(log_svg_write(
            path.string(), [&](const log_visit_fn& visit) { for (int32_t i = 0; i < count; ++i) visit(make(i).data()); },
            "A0001234"));
        svg_.text = slurp_text(path);
        ASSERT_EQ(svg_.doc.Parse(svg_.text.c_str()), tinyxml2::XML_SUCCESS);
    }
    void draw(const std::vector<bytes>& recs) {
        draw(static_cast<int32_t>(recs.size()), [&](int32_t i) { return recs[static_cast<size_t>(i)]; });
    }

    WorkDir work_;
    svg_file_t svg_;
};

void walk(const tinyxml2::XMLElement* e, const std::function<void(const tinyxml2::XMLElement*)>& visit) {
    for (; e; e = e->NextSiblingElement()) {
        visit(e);
        walk(e->FirstChildElement(), visit);
    }
}

std::string cls(const tinyxml2::XMLElement* e) { return e->Attribute("class") ? e->Attribute("class") : ""; }

size_t vertices(const char* points) {
    size_t n = 0;
    for (const char* p = points; *p; ++p) n += *p == ',';
    return n;
}

struct box_t {
    double x0, y0, x1, y1;
};

// Every text's box estimated from its position, anchor, size and length;
// rotated texts stand upright.
std::vector<std::pair<box_t, std::string>> text_boxes(const tinyxml2::XMLElement* root) {
    std::vector<std::pair<box_t, std::string>> boxes;
    walk(root, [&](const tinyxml2::XMLElement* e) {
        if (std::string(e->Name()) != "text") return;
        const double size = cls(e) == "t1" ? 16 : cls(e) == "t2" ? 13 : 11;
        const std::string s = e->GetText() ? e->GetText() : "";
        const double w = static_cast<double>(s.size()) * size * LOG_SVG_CHAR_WIDTH;
        const char* anchor = e->Attribute("text-anchor");
        const double shift = !anchor ? 0 : std::string(anchor) == "middle" ? w / 2 : w;
        const double x = e->DoubleAttribute("x"), y = e->DoubleAttribute("y");
        if (e->Attribute("transform"))
            boxes.push_back({{x - size * 0.8, y - w + shift, x + size * 0.25, y + shift}, s});
        else
            boxes.push_back({{x - shift, y - size * 0.8, x - shift + w, y + size * 0.25}, s});
    });
    return boxes;
}

void expect_no_overlap(const tinyxml2::XMLElement* root) {
    const auto boxes = text_boxes(root);
    ASSERT_FALSE(boxes.empty());
    size_t overlaps = 0, outside = 0;
    std::string first;
    for (size_t i = 0; i < boxes.size(); ++i) {
        const box_t& a = boxes[i].first;
        outside += a.x0 < 0 || a.x1 > 1000;
        for (size_t j = i + 1; j < boxes.size(); ++j) {
            const box_t& b = boxes[j].first;
            if (!(a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1)) continue;
            if (overlaps++ == 0) first = "\"" + boxes[i].second + "\" and \"" + boxes[j].second + "\"";
        }
    }
    EXPECT_EQ(overlaps, 0u) << "first: " << first;
    EXPECT_EQ(outside, 0u);
}

// Each panel: its unit, the texts of its two axis labels.
std::vector<std::pair<std::string, std::vector<std::string>>> panels(const tinyxml2::XMLElement* root) {
    std::vector<std::pair<std::string, std::vector<std::string>>> out;
    walk(root, [&](const tinyxml2::XMLElement* e) {
        if (cls(e) != "panel") return;
        std::vector<std::string> labels;
        walk(e->FirstChildElement(), [&](const tinyxml2::XMLElement* t) {
            if (cls(t) == "axis-label") labels.emplace_back(t->GetText());
        });
        out.emplace_back(std::string(e->Attribute("data-kind")) + " " + e->Attribute("data-unit"), labels);
    });
    return out;
}

}  // namespace

// A small log of every kind and unit: scans over exactly their points (a
// count past the arrays over the points that hold values), one unit per
// panel with the unit on its axis, marked points, cores by length unit.
TEST_F(LogSvg, SmallLogOfEveryKindAndUnit) {
    std::vector<bytes> recs;
    int32_t n = 1;
    for (uint32_t units : {0u, TW_SUSC_CGS | TW_COND_OHM_M, (1u << TW_CURVE_S_SHIFT) | (2u << TW_CURVE_C_SHIFT)})
        for (int i = 0; i < 4; ++i, ++n) recs.push_back(discrete(n, n / 3, 0.5f + 0.1f * i, 12.0f + i, units));
    for (int i = 0; i < 4; ++i)  // tiny values still get tick labels
        put_f32le(recs[8 + static_cast<size_t>(i)].data(), MR_COND, 1e-6f * static_cast<float>(i + 1));
    const std::map<int32_t, int32_t> scan_points = {{20, 1}, {21, 7}, {22, 30}, {24, 3}};
    recs.push_back(scan(20, 1, 1));
    recs.push_back(scan(21, 7, 7));
    recs.push_back(scan(22, 30, 30));
    recs.push_back(scan(23, 0, 5));  // no points: not drawn
    recs.push_back(scan(24, 600, 3));
    recs.push_back(record(30, 70, 1u << TW_BH_KIND_SHIFT));  // a borehole header
    for (int i = 1; i <= 4; ++i) {
        recs.push_back(core(30 + i, 1, false, 0.5f * static_cast<float>(i), 1.0f + 0.2f * static_cast<float>(i)));
        recs.push_back(core(40 + i, 2, true, 10.0f * static_cast<float>(i), 0.3f));
    }
    draw(recs);
    const tinyxml2::XMLElement* root = svg_.doc.RootElement();

    std::map<int32_t, int32_t> drawn;
    int marks = 0, one_point_dots = 0;
    walk(root, [&](const tinyxml2::XMLElement* e) {
        if (cls(e) == "mark") ++marks;
        if (cls(e) == "pt") ++one_point_dots;
        if (cls(e) != "scan") return;
        size_t v = 0;
        for (auto* p = e->FirstChildElement("polyline"); p; p = p->NextSiblingElement("polyline"))
            v += vertices(p->Attribute("points"));
        EXPECT_EQ(static_cast<int32_t>(v), e->IntAttribute("data-points")) << e->IntAttribute("data-rec");
        drawn[e->IntAttribute("data-rec")] += static_cast<int32_t>(v);
    });
    std::map<int32_t, int32_t> both;  // each scan in a susceptibility and a conductivity panel
    for (auto [rec_no, count] : scan_points) both[rec_no] = 2 * count;
    EXPECT_EQ(drawn, both);
    EXPECT_EQ(marks, 2 * (1 + 3 + 10 + 1));  // every third point
    EXPECT_EQ(one_point_dots, 2);

    // Every value axis has its tick labels (right-aligned left of the plot).
    walk(root, [&](const tinyxml2::XMLElement* e) {
        if (cls(e) != "panel") return;
        int ticks = 0;
        walk(e->FirstChildElement(), [&](const tinyxml2::XMLElement* t) {
            ticks += std::string(t->Name()) == "text" && t->Attribute("text-anchor") &&
                     std::string(t->Attribute("text-anchor")) == "end";
        });
        EXPECT_GE(ticks, 3) << e->Attribute("data-kind") << " " << e->Attribute("data-unit");
    });

    const auto found = panels(root);
    std::vector<std::string> kinds;
    for (const auto& [kind, labels] : found) {
        kinds.push_back(kind);
        ASSERT_EQ(labels.size(), 2u) << kind;
        const std::string unit = kind.substr(kind.find(' ') + 1);
        if (kind.rfind("cores", 0) == 0) {
            EXPECT_TRUE(labels[0].ends_with("[m]") || labels[0].ends_with("[ft]")) << labels[0];
            EXPECT_TRUE(labels[1].ends_with("[" + unit + "]")) << labels[1];
        } else {
            EXPECT_TRUE(labels[0].ends_with("[" + unit + "]")) << labels[0];
            EXPECT_FALSE(labels[1].empty());
        }
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"discrete SI", "discrete CGS", "discrete %", "discrete S/m",
                                               "discrete Ohm.m", "discrete %", "scan SI", "scan S/m", "cores SI",
                                               "cores SI"}));
    // The value of every record shown in the panel of its own unit.
    walk(root, [&](const tinyxml2::XMLElement* e) {
        if (cls(e) != "panel") return;
        const std::string unit = std::string(" ") + e->Attribute("data-unit");
        walk(e->FirstChildElement(), [&](const tinyxml2::XMLElement* c) {
            if (cls(c) == "susc" || cls(c) == "cond") {
                EXPECT_TRUE(std::string(c->FirstChildElement("title")->GetText()).ends_with(unit));
            }
        });
    });
    EXPECT_STREQ(root->FirstChildElement("title")->GetText(),
                 "QM-38 A0001234: 26 records, 2025-03-02 10:00 to 2025-03-25 10:00");
    expect_no_overlap(root);
}

// 4000 records, the simulator's generated log: envelopes instead of marks,
// every value still counted, group labels thinned, a small file.
TEST_F(LogSvg, LargeLogStaysSmallAndLegible) {
    draw(4000, generated);
    const tinyxml2::XMLElement* root = svg_.doc.RootElement();
    size_t elements = 0, values = 0, group_labels = 0;
    walk(root, [&](const tinyxml2::XMLElement* e) {
        ++elements;
        if (cls(e) == "env") values += static_cast<size_t>(e->IntAttribute("data-values"));
        if (cls(e) == "susc" || cls(e) == "cond" || cls(e) == "scan") ADD_FAILURE() << "one element per value";
        const char* t = e->GetText();
        if (std::string(e->Name()) == "text" && t && t[0] == 'G' && std::isdigit(static_cast<unsigned char>(t[1])))
            ++group_labels;
    });
    EXPECT_EQ(values, 2u * 3600 + 2u * 400 * 24);
    EXPECT_LT(svg_.text.size(), 400'000u);
    EXPECT_LT(elements, 3000u);
    EXPECT_GT(group_labels, 20u);
    EXPECT_LT(group_labels, 2u * 200);  // thinned: 200 groups a panel do not fit
    expect_no_overlap(root);
}

// A full table: still a picture of bounded size.
TEST_F(LogSvg, FullTableBounded) {
    draw(65536, generated);
    EXPECT_LT(svg_.text.size(), 1'000'000u);
    expect_no_overlap(svg_.doc.RootElement());
}
