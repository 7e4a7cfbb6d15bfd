// Every command that moves a file or a block, against the simulated
// instrument with one link fault at a time: lost, corrupted and late answers,
// status frames instead of answers, answers cut after their count, a link
// that ends half-way. Whatever a command reports done must be byte for byte
// its source; otherwise it reports an error and what it wrote of a download
// stays "<name>.part". Each case also says which of the two it must be, so a
// fault that starts to fail a transfer that used to recover shows too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "commands/r40_fw.h"
#include "commands/r62_files_cmds.h"
#include "commands/r62_fw.h"
#include "commands/r62_log.h"
#include "commands/r62_measure.h"
#include "console/conutil.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/files.h"
#include "support/frames.h"
#include "support/sim_link.h"

namespace {

namespace fs = std::filesystem;
using tree = std::map<std::string, bytes>;

enum class op_t { log, sd, tar, lut, fw, md };
enum class outcome_t { identical, error, loss };

const char* op_name(op_t op) {
    static const char* const names[] = {"log", "sd", "tar", "lut", "ufw+vfw", "md"};
    return names[static_cast<int>(op)];
}
const char* outcome_name(outcome_t o) {
    static const char* const names[] = {"identical", "error", "LOSS"};
    return names[static_cast<int>(o)];
}

// Two records, a note of four chunks and an aux file of three, a storage
// image of three chunks.
constexpr const char* kInstrument = R"({"base": "empty", "params": {"max_stored_meas": 4},
  "settings": {"raw_size": 1300, "flash_block_size": 4096},
  "files": {
    "meas/meas0000.dat": {"record": {"rec_no": 7, "group_no": 1, "type": 1, "susc": 0.5, "cond": 10.0,
                                     "sample_no": 3, "meas_time": 3, "susc_points": [1, 2, 3]}},
    "meas/meas0002.dat": {"record": {"rec_no": 9, "group_no": 1, "type": 1, "susc": 0.75, "cond": 12.5,
                                     "sample_no": 4, "meas_time": 4, "susc_points": [4, 5, 6, 7]}},
    "notes/rec0000.wav": {"wav": 700},
    "aux/aux0002.dat": {"size": 1000}}})";

tree files_under(const fs::path& dir) {
    tree t;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) t[fs::relative(e.path(), dir).string()] = slurp(e.path());
    return t;
}

// The error lines of the case, for the figures.
std::string g_errors;

struct run_t {
    int32_t result = 0;
    std::string out, err;
};

// The simulated instrument, faulted as asked, in a working directory of its own.
class Matrix {
public:
    bool open(const std::string& faults) {
        std::string err;
        sim_t* s = SIM_create_json(kInstrument, &err);
        if (s == nullptr) return false;
        link_ = std::make_unique<SimLink>(s);
        if (!link_->open()) return false;
        return faults.empty() || SIM_apply_json(sim(), "{\"faults\": {" + faults + "}}", nullptr) == 0;
    }
    // Every file the commands left, once the link is closed.
    tree files() {
        link_->close();
        return files_under(dir_.path());
    }
    sim_t* sim() { return link_->sim(); }
    run_t run(menu_handler_t handler, const std::string& input) {
        run_t r;
        input_interrupt_clear();
        const auto cap = console_run(input, [&] { r.result = handler(nullptr, 0); });
        r.out = cap.out;
        r.err = cap.err;
        g_errors += cap.err;
        return r;
    }

private:
    WorkDir dir_;
    std::unique_ptr<SimLink> link_;
};

bool failed(const run_t& r) { return r.result != 0 || !r.err.empty(); }

// The log: every file against a clean run's. A failed run may leave what it
// could not finish as ".part"; the exports it writes as it goes are checked
// only when it succeeded.
outcome_t check_log(const tree& got, const tree& want, const run_t& r) {
    if (!failed(r)) return got == want ? outcome_t::identical : outcome_t::loss;
    for (const auto& [name, content] : got) {
        if (name.ends_with(".part") || name.find("kappa.") != std::string::npos) continue;
        const auto w = want.find(name);
        if (w == want.end() || w->second != content) return outcome_t::loss;
    }
    return outcome_t::error;
}

std::string lut_input() {
    std::string in = "1\nn\nMATRIX\n";
    for (int i = 0; i < 12; ++i) in += std::to_string(100 * i + 1) + "\n" + std::to_string(i + 0.5) + "\n";
    return in + "y\n\n";
}

// The sample the instrument gives as its n-th.
int32_t sample(int64_t n) {
    const double v = 20000.0 * std::sin(2.0 * M_PI * static_cast<double>(n) / 50.0) +
                     3000.0 * std::sin(2.0 * M_PI * static_cast<double>(n) / 7.0);
    return static_cast<int32_t>(std::lround(v));
}

struct case_t {
    op_t op;
    const char* fault;
    std::string faults;  // "faults" keys of a scenario
    outcome_t expected;
};
void PrintTo(const case_t& c, std::ostream* os) { *os << op_name(c.op) << " " << c.fault; }

std::string only(int code, const std::string& keys) { return "\"only_code\": " + std::to_string(code) + ", " + keys; }

class FaultMatrix : public ::testing::TestWithParam<case_t> {};

outcome_t run_case(const case_t& c) {
    g_errors.clear();
    const tree reference = [&] {
        if (c.op != op_t::log) return tree{};
        Matrix clean;
        if (!clean.open("")) return tree{};
        const run_t r = clean.run(R62_cmd_get_meas_log, "y\ny\ny\ny\n");
        EXPECT_FALSE(failed(r)) << r.err;
        return clean.files();
    }();
    Matrix m;
    if (!m.open(c.faults)) {
        ADD_FAILURE() << "no link";
        return outcome_t::loss;
    }
    switch (c.op) {
        case op_t::log: {
            const run_t r = m.run(R62_cmd_get_meas_log, "y\ny\ny\ny\n");
            return check_log(m.files(), reference, r);
        }
        case op_t::sd: {
            const run_t r = m.run(R62_cmd_download_sd, "\n");
            const bytes raw = SIM_read_raw(m.sim(), 0, 1300);
            if (!failed(r)) return slurp("sd.img") == raw ? outcome_t::identical : outcome_t::loss;
            return fs::exists("sd.img") ? outcome_t::loss : outcome_t::error;
        }
        case op_t::tar: {
            fs::create_directories("d");
            const bytes a = pattern(1000, 7, 1), b = pattern(300, 13, 5);
            spit("d/a1000", a);
            spit("d/b300", b);
            if (std::system("tar --format=gnu -cf sd.tar d") != 0) return outcome_t::loss;
            const run_t r = m.run(R62_cmd_upload_tar, "\n");
            const std::map<std::string, bytes> source = {{"d/a1000", a}, {"d/b300", b}};
            // Each "file name:<name> [<size>]...DONE" line: that file is done.
            size_t done = 0;
            std::istringstream lines(r.out);
            for (std::string line; std::getline(lines, line);) {
                const size_t at = line.find("file name:"), end = line.find(" [");
                if (at == std::string::npos || end == std::string::npos || !line.ends_with("DONE")) continue;
                const std::string name = line.substr(at + 10, end - at - 10);
                bytes on_device;
                if (!source.count(name) || !SIM_get_file(m.sim(), name, &on_device) || on_device != source.at(name))
                    return outcome_t::loss;
                ++done;
            }
            if (!failed(r)) return done == 2 ? outcome_t::identical : outcome_t::loss;
            return outcome_t::error;
        }
        case op_t::lut: {
            const run_t r = m.run(R62_cmd_set_conc_lut, lut_input());
            bytes on_device;
            const bool ok = r.out.find("Writing LUT...Ok.") != std::string::npos;
            if (!failed(r) && ok)
                return SIM_get_file(m.sim(), "lut/lut01.dat", &on_device) && on_device == slurp("conclut.dat")
                           ? outcome_t::identical
                           : outcome_t::loss;
            return failed(r) && !ok ? outcome_t::error : outcome_t::loss;
        }
        case op_t::fw: {
            bytes bin(20000);
            for (size_t i = 0; i < bin.size(); ++i) bin[i] = static_cast<uint8_t>((i * 31) ^ (i >> 5));
            spit("fw.bin", bin);
            if (R40_create_gfw("fw.bin", "qm38v2.gfw", 1, 2, 1, "QM-38V2", 0x7F000, DEV_TYPE_R62) != 0)
                return outcome_t::loss;
            const bytes file = slurp("qm38v2.gfw");
            const bytes image(file.begin() + 72, file.end());
            const run_t up = m.run(R62_cmd_upload_gfw, "\n");
            const bool up_ok = !failed(up) && up.out.find("Error") == std::string::npos;
            if (up_ok && SIM_get_flash(m.sim()) != image) return outcome_t::loss;
            const run_t verify = m.run(R62_cmd_verify_gfw, "\n");
            const bool verified = verify.out.find("Verify OK.") != std::string::npos;
            if (verified && SIM_get_flash(m.sim()) != image) return outcome_t::loss;
            if (up_ok && verified) return outcome_t::identical;
            return (!up_ok && failed(up)) || (!verified && failed(verify)) ? outcome_t::error : outcome_t::loss;
        }
        case op_t::md: {
            const run_t r = m.run(R62_cmd_measure_data, "4\ny\n\n");
            std::istringstream console(r.out.substr(r.out.rfind(':') + 1));
            std::vector<int32_t> printed;
            for (int32_t v; console >> v;) printed.push_back(v);
            // Every value the instrument's own, in its order: a retried
            // request takes a new sample, a late answer would repeat one.
            int64_t n = 0;
            for (const int32_t v : printed) {
                while (n < 1000 && sample(n) != v) ++n;
                if (n++ >= 1000) return outcome_t::loss;
            }
            if (failed(r)) return fs::exists("samples.dat") ? outcome_t::loss : outcome_t::error;
            std::istringstream saved(slurp_text("samples.dat"));
            std::vector<int32_t> file;
            for (int32_t v; saved >> v;) file.push_back(v);
            return printed.size() == 4 && file == printed ? outcome_t::identical : outcome_t::loss;
        }
    }
    return outcome_t::loss;
}

TEST_P(FaultMatrix, DoneIsExactOtherwiseAnError) {
    const case_t& c = GetParam();
    const outcome_t got = run_case(c);
    // One line per case for the figures of the matrix.
    std::string errors = g_errors;
    std::replace(errors.begin(), errors.end(), '\n', ' ');
    std::printf("matrix: %s | %s | %s | %s\n", op_name(c.op), c.fault, outcome_name(got), errors.c_str());
    EXPECT_NE(got, outcome_t::loss);
    EXPECT_EQ(got, c.expected) << outcome_name(got);
}

constexpr int kRead = 8211, kWrite = 8210, kInfo = 8209, kParams = 8201, kFlashWrite = 8102, kFlashRead = 8101,
              kMeasure = 8212;
constexpr auto ok = outcome_t::identical;
constexpr auto err = outcome_t::error;
// One time-out is 800 ms: 1700 ms is two late, 1200 ms one and a half.
const std::string kLateOnce = "\"delay_ms\": 1700, \"delay_every\": ";
const std::string kLateAll = "\"delay_ms\": 1200";

const case_t kCases[] = {
    {op_t::log, "lost", only(kRead, "\"drop_every\": 9"), ok},
    {op_t::log, "corrupted", only(kRead, "\"corrupt_every\": 11"), ok},
    {op_t::log, "late once", only(kRead, kLateOnce + "12"), ok},
    {op_t::log, "late every file info", only(kInfo, kLateAll), ok},
    {op_t::log, "status only", only(kRead, "\"status_only\": 0"), err},
    {op_t::log, "count only once", only(kRead, "\"answer_size\": 4, \"size_every\": 23"), err},
    {op_t::log, "parameter record missing", only(kParams, "\"status_only\": 0"), err},
    {op_t::log, "parameter record short", only(kParams, "\"answer_size\": 90"), err},
    {op_t::log, "link lost", "\"drop_link_after\": 12", err},
    {op_t::sd, "lost", only(kRead, "\"drop_every\": 2"), ok},
    {op_t::sd, "corrupted", only(kRead, "\"corrupt_every\": 2"), ok},
    {op_t::sd, "late once", only(kRead, kLateOnce + "3"), ok},
    {op_t::sd, "late every", only(kRead, kLateAll), ok},
    {op_t::sd, "status only", only(kRead, "\"status_only\": 0"), err},
    {op_t::sd, "count only once", only(kRead, "\"answer_size\": 4, \"size_every\": 2"), err},
    {op_t::sd, "link lost", "\"drop_link_after\": 3", err},
    {op_t::tar, "lost", only(kWrite, "\"drop_every\": 4"), ok},
    {op_t::tar, "corrupted", only(kWrite, "\"corrupt_every\": 5"), ok},
    {op_t::tar, "late once", only(kWrite, kLateOnce + "6"), ok},
    {op_t::tar, "late every", only(kWrite, kLateAll), err},
    {op_t::tar, "status only", only(kWrite, "\"status_only\": 0"), err},
    {op_t::tar, "file info lost", only(kInfo, "\"drop_every\": 2"), ok},
    {op_t::tar, "link lost", "\"drop_link_after\": 8", err},
    {op_t::lut, "lost", only(kWrite, "\"drop_every\": 4"), ok},
    {op_t::lut, "corrupted", only(kWrite, "\"corrupt_every\": 4"), ok},
    {op_t::lut, "late once", only(kWrite, kLateOnce + "4"), ok},
    {op_t::lut, "status only", only(kWrite, "\"status_only\": 0"), err},
    {op_t::lut, "link lost", "\"drop_link_after\": 5", err},
    {op_t::fw, "lost", only(kFlashWrite, "\"drop_every\": 60"), ok},
    {op_t::fw, "corrupted", only(kFlashWrite, "\"corrupt_every\": 60"), ok},
    {op_t::fw, "late once", only(kFlashWrite, kLateOnce + "50"), ok},
    {op_t::fw, "late once on verify", only(kFlashRead, kLateOnce + "3000"), ok},
    {op_t::fw, "status only", only(kFlashWrite, "\"status_only\": 0"), err},
    {op_t::fw, "answer without data on verify", only(kFlashRead, "\"answer_size\": 0, \"size_every\": 500"), err},
    {op_t::fw, "link lost", "\"drop_link_after\": 40", err},
    {op_t::md, "lost", only(kMeasure, "\"drop_every\": 3"), ok},
    {op_t::md, "corrupted", only(kMeasure, "\"corrupt_every\": 3"), ok},
    {op_t::md, "late once", only(kMeasure, kLateOnce + "4"), ok},
    {op_t::md, "late every", only(kMeasure, kLateAll), ok},
    {op_t::md, "status only", only(kMeasure, "\"status_only\": 0"), err},
    {op_t::md, "answer without data", only(kMeasure, "\"answer_size\": 0, \"size_every\": 4"), err},
    {op_t::md, "link lost", "\"drop_link_after\": 3", err},
};

std::string case_name(const ::testing::TestParamInfo<case_t>& info) {
    std::string n = std::string(op_name(info.param.op)) + "_" + info.param.fault;
    for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Transfers, FaultMatrix, ::testing::ValuesIn(kCases), case_name);

}  // namespace
