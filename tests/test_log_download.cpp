// The measurement log download against the simulated instrument: console
// text, the files it writes and their exports read back, the download order,
// odd table sizes, failures and stops. Runs in a fresh working directory.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "commands/log_format.h"
#include "commands/r62_log.h"
#include "records/params.h"
#include "records/wire.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/files.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// RFC 4180: quoted fields with doubled quotes, CRLF between records.
std::vector<std::vector<std::string>> read_csv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (quoted && c == '"' && next == '"') {
            rows.back().back() += text[++i];
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ',') {
            rows.back().emplace_back();
        } else if (!quoted && c == '\r' && next == '\n') {
            ++i;
            rows.emplace_back(1);
        } else {
            rows.back().back() += c;
        }
    }
    if (rows.back() == std::vector<std::string>(1)) rows.pop_back();
    return rows;
}

bool parses(const fs::path& path) {
    tinyxml2::XMLDocument doc;
    return doc.Parse(slurp_text(path).c_str()) == tinyxml2::XML_SUCCESS;
}

class LogDownload : public ::testing::Test {
protected:
    void TearDown() override {
        link_.reset();
        input_interrupt_clear();
    }
    void open(sim_t* sim = nullptr) {
        link_ = std::make_unique<SimLink>(sim);
        ASSERT_TRUE(link_->open());
    }
    sim_t* sim() { return link_->sim(); }
    console_capture_t run(const std::string& answers) {
        return console_run(answers, [&] { result_ = R62_cmd_get_meas_log(nullptr, 0); });
    }
    void set_max_stored(int32_t n) {
        bytes p = SIM_get_params(sim());
        put_i32le(p.data(), PARAMS_OFF_MAX_STORED_MEAS, n);
        SIM_set_params(sim(), p);
    }
    bytes record_of(uint32_t slot) {
        bytes rec;
        char name[32];
        std::snprintf(name, sizeof name, "meas/meas%.4u.dat", slot);
        SIM_get_file(sim(), name, &rec);
        return rec;
    }
    // Runs `action` when the instrument is asked to read the file `name`.
    void on_read(const std::string& name, std::function<void()> action) {
        SIM_set_request_hook(sim(), [name, action](const sim_request_t& req) {
            if (req.code == 8211 && name == reinterpret_cast<const char*>(req.payload.data())) action();
        });
    }

    WorkDir dir_;
    std::unique_ptr<SimLink> link_;
    int32_t result_ = -2;
};

}  // namespace

// A record file that ends early fails quietly, its progress shown up to there.
TEST_F(LogDownload, ShortRecordFails) {
    open();
    SIM_put_file(sim(), "meas/meas0003.dat", bytes(1000, 1));
    bytes got(MR_SIZE);
    int32_t r = 0;
    const auto cap = console_run("", [&] { r = download_record(link_->id(), 3, got.data()); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.out, "Downloading record[3,4063]0.450.900.1000");
    EXPECT_EQ(cap.err, "");
}

// The demo log with every answer yes: console text and table as expected,
// "aaa" from the entry table, raw data per record, copies byte for byte,
// and the three exports read back against the records.
TEST_F(LogDownload, DemoLogWithEverythingSaved) {
    open();
    const auto cap = run("\ny\ny\ny\n");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(cap.err, "");
    const std::string golden = std::string(QM_SOURCE_DIR) + "/tests/golden/";
    EXPECT_EQ(cap.out, slurp_text(golden + "log_demo_console.txt"));
    const fs::path out = "kappa_1234";
    EXPECT_EQ(slurp_text(out / "kappa.dat"), slurp_text(golden + "log_demo_kappa.dat"));

    const auto aaa = lines_of(slurp_text("aaa"));
    ASSERT_EQ(aaa.size(), 64u);
    const auto csv = read_csv(slurp_text(out / "kappa.csv"));
    ASSERT_EQ(csv.size(), 57u);  // the header, then the 56 records in entry order, as the demo numbers them
    std::map<std::string, size_t> column;
    for (size_t i = 0; i < csv[0].size(); ++i) column[csv[0][i]] = i;
    size_t row = 0, valid_positions = 0, discrete = 0;
    for (uint32_t s = 0; s < 64; ++s) {
        const sim_entry_t e = SIM_get_entry(sim(), s);
        EXPECT_EQ(aaa[s], std::to_string(s) + "/64   " + std::to_string(static_cast<int32_t>(e.value)));
        if (e.value == 0) continue;
        const bytes rec = record_of(s);
        const int32_t rec_no = get_i32le(rec.data(), MR_REC_NO);
        char name[64];
        std::snprintf(name, sizeof name, "data%.8d.dat", rec_no);
        const auto raw = lines_of(slurp_text(out / name));
        ASSERT_EQ(raw.size(), 482u) << name;
        EXPECT_EQ(raw[0], std::to_string(get_i32le(rec.data(), MR_SAMPLE_NO)));
        EXPECT_EQ(raw[1], std::to_string(get_i32le(rec.data(), MR_MEAS_TIME)));
        for (auto [flag, device, local] : {std::tuple{LE_NOTE, "notes/rec%.4u.wav", "rec%.8d.wav"},
                                           std::tuple{LE_AUX, "aux/aux%.4u.dat", "aux%.8d.dat"}}) {
            if (!(e.flags & flag)) continue;
            bytes want;
            char dev[32];
            std::snprintf(dev, sizeof dev, device, s);
            ASSERT_TRUE(SIM_get_file(sim(), dev, &want));
            std::snprintf(name, sizeof name, local, rec_no);
            const std::string copy = slurp_text(out / name);
            EXPECT_EQ(bytes(copy.begin(), copy.end()), want) << name;
        }
        const auto& fields = csv[++row];
        ASSERT_EQ(fields.size(), csv[0].size());
        EXPECT_EQ(fields[0], std::to_string(s));
        EXPECT_EQ(fields[2], std::to_string(rec_no));
        const bool valid = get_u32le(rec.data(), MR_GPS + GPS_FLAGS) & GPS_VALID;
        EXPECT_EQ(fields[column["latitude"]].empty(), !valid) << rec_no;
        EXPECT_EQ(fields[column["altitude"]].empty(), !valid) << rec_no;
        // Values read back as the same float; a record without one (a borehole
        // header) leaves the field empty.
        const meas_t m = meas_decode(rec.data());
        const bool has_value = log_kind(m) == log_kind_t::discrete || log_point_count(m) > 0;
        for (auto [name, v] : {std::pair{"susc", m.susc}, std::pair{"cond", m.cond}}) {
            const std::string& f = fields[column[name]];
            EXPECT_EQ(f.empty(), !has_value) << rec_no;
            if (has_value) {
                EXPECT_EQ(std::strtof(f.c_str(), nullptr), v) << rec_no << " " << f;
            }
        }
        EXPECT_EQ(fields[column["meas_time"]].empty(), log_kind(m) == log_kind_t::header) << rec_no;
        if (rec_no == 2) {
            EXPECT_EQ(fields[column["cond"]], "14.1");
        }
        valid_positions += valid;
        discrete += (get_u32le(rec.data(), MR_TYPE_WORD) & TW_TYPE_MASK) == 1;
    }
    for (const auto& entry : fs::directory_iterator(out)) EXPECT_NE(entry.path().extension(), ".part");
    ASSERT_TRUE(parses(out / "kappa.gpx"));
    EXPECT_EQ(numbers_after(slurp_text(out / "kappa.gpx"), "<wpt ").size(), valid_positions);
    ASSERT_TRUE(parses(out / "kappa.svg"));
    EXPECT_EQ(numbers_after(slurp_text(out / "kappa.svg"), "class=\"susc\"").size(), discrete);
    EXPECT_EQ(slurp_text(out / "kappa.svg"), slurp_text(golden + "log_demo_kappa.svg"));  // the README's picture
}

// Unsigned ascending order, ties lowest slot first, 0xFFFFFFFF counted but
// never read; 40 slots read as two blocks of 32 and nothing past slot 39.
TEST_F(LogDownload, OrderAndATableNotAMultipleOf32) {
    std::string error;
    open(SIM_create_file(std::string(QM_SOURCE_DIR) + "/sim/scenarios/edge_log.json", &error));
    const auto cap = run("n\nn\nn\nn\n");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(numbers_after(cap.out, "Downloading record["), (std::vector<int>{0, 1, 5, 39, 2}));
    EXPECT_EQ(SIM_request_count(sim(), 8204), 2u);
    EXPECT_NE(cap.out.find("(40 entries)..\n\n[0000] : 5 \n[0001] : 5  note\n[0005] : 5 \n[0039] : 6 \n"
                           "Meas log num entries = 4\n\n"),
              std::string::npos);
    EXPECT_NE(cap.out.find("Type=2,CurveS=0,CurveC=0 [600]\n"), std::string::npos);
    EXPECT_EQ(cap.out.substr(cap.out.size() - 25), "Num downloaded records:6\n");
    EXPECT_EQ(lines_of(slurp_text("aaa")).size(), 40u);
    EXPECT_FALSE(fs::exists("kappa_1234"));
}

// No slots: no entry request, an empty "aaa"; past 65536 (or negative) the
// table holds 65536 slots and says so once.
TEST_F(LogDownload, TableSizesZeroAndBeyondTheTable) {
    open();
    set_max_stored(0);
    auto cap = run("n\nn\nn\nn\n");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(cap.out,
              "Save to file[yes]:Save notes[no]:Save raw data[no]:Save aux. data[no]:"
              "Downloading entry table(0 entries)\n\nMeas log num entries = 0\n\nNum downloaded records:0\n");
    EXPECT_EQ(SIM_request_count(sim(), 8204), 0u);
    EXPECT_EQ(slurp_text("aaa"), "");
    for (int32_t n : {70000, -1}) {
        set_max_stored(n);
        SIM_clear_requests(sim());
        cap = run("n\nn\nn\nn\n");
        EXPECT_EQ(result_, 0);
        EXPECT_EQ(cap.err, "Log of " + std::to_string(n) +
                               " entries does not fit the entry table, reading the first 65536!\n");
        EXPECT_EQ(SIM_request_count(sim(), 8204), 2048u);
        EXPECT_EQ(numbers_after(cap.out, "Downloading record[").size(), 56u);
        EXPECT_EQ(lines_of(slurp_text("aaa")).size(), 65536u);
    }
}

// A read that fails mid-download: the note copy stays ".part", the record
// fails, no statistics, and the table keeps the lines written so far; the
// exports stay valid ".part" files, the picture drawn from the records read.
TEST_F(LogDownload, ReadFailingMidDownload) {
    open();
    int note_reads = 0;
    on_read("notes/rec0001.wav", [&, s = sim()] {
        if (++note_reads != 2) return;
        sim_faults_t f;
        f.fail_codes[8211] = SIM_ST_NOFILE;
        SIM_set_faults(s, f);
    });
    const auto cap = run("y\ny\nn\nn\n");
    EXPECT_EQ(result_, -1);
    EXPECT_EQ(cap.err, "Command download_note error(code=1)!\nCommand download_record error(code=1)!\n"
                       "\nError downloading data!\n");
    EXPECT_EQ(cap.out.find("---"), std::string::npos);
    EXPECT_EQ(numbers_after(cap.out, "Downloading record["), (std::vector<int>{0, 1, 2}));
    const auto table = lines_of(slurp_text("kappa_1234/kappa.dat"));
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[1].substr(0, 4), "2 2 ");
    EXPECT_TRUE(fs::exists("kappa_1234/rec00000002.wav.part"));
    EXPECT_FALSE(fs::exists("kappa_1234/rec00000002.wav"));
    EXPECT_EQ(read_csv(slurp_text("kappa_1234/kappa.csv.part")).size(), 3u);
    EXPECT_TRUE(parses("kappa_1234/kappa.gpx.part"));
    EXPECT_TRUE(parses("kappa_1234/kappa.svg.part"));
    for (const char* name : {"kappa.csv", "kappa.gpx", "kappa.svg"})
        EXPECT_FALSE(fs::exists(fs::path("kappa_1234") / name));
}

// Ctrl-C while a record comes in: the download stops quietly, the files are
// closed with what they hold, no picture is drawn, and the complete exports
// of an earlier run stay as they were beside the partial ones.
TEST_F(LogDownload, StopBetweenRecordsKeepsTheEarlierExports) {
    open();
    run("\nn\nn\nn\n");
    ASSERT_EQ(result_, 0);
    const fs::path out = "kappa_1234";
    std::vector<std::string> earlier;
    for (const char* name : {"kappa.csv", "kappa.gpx", "kappa.svg"}) earlier.push_back(slurp_text(out / name));
    ASSERT_EQ(read_csv(earlier[0]).size(), 57u);

    on_read("meas/meas0002.dat", [] { input_interrupt(); });
    const auto cap = run("\nn\nn\nn\n");
    EXPECT_EQ(result_, -1);
    EXPECT_EQ(cap.err, "");
    EXPECT_EQ(lines_of(slurp_text(out / "kappa.dat")).size(), 2u);
    EXPECT_EQ(slurp_text(out / "kappa.csv"), earlier[0]);
    EXPECT_EQ(slurp_text(out / "kappa.gpx"), earlier[1]);
    EXPECT_EQ(slurp_text(out / "kappa.svg"), earlier[2]);
    EXPECT_EQ(read_csv(slurp_text(out / "kappa.csv.part")).size(), 3u);
    EXPECT_TRUE(parses(out / "kappa.gpx.part"));
    EXPECT_FALSE(fs::exists(out / "kappa.svg.part"));
}

// Only "Save aux. data": one directory holds the aux copies and nothing else,
// named after a serial whose '/' and control byte cannot lead out of it.
TEST_F(LogDownload, OnlyAuxDataSavedUnderASafeName) {
    open();
    SIM_set_serial(sim(), "A000/\x01..");
    const auto cap = run("n\nn\nn\ny\n");
    EXPECT_EQ(result_, 0);
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(".")) names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"./aaa", "./kappa___..", "./kappa___../aux00000007.dat",
                                               "./kappa___../aux00000038.dat", "./kappa___../aux00000041.dat",
                                               "./kappa___../aux00000053.dat"}));
}
