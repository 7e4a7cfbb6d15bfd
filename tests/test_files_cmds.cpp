// Device file commands against the simulated instrument: the write requests
// they send, in order, what ends up on the instrument and in local files,
// and what they print.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "commands/conc_lut.h"
#include "commands/r62_files_cmds.h"
#include "console/conutil.h"
#include "records/wire.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

bytes slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}
void spit(const fs::path& p, const bytes& b) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
}
bytes pattern(size_t n, uint8_t seed) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

class SimFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("files_cmds_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        old = fs::current_path();
        fs::current_path(dir);
        ASSERT_TRUE(link.open());
        SIM_clear_requests(sim());
    }
    void TearDown() override {
        SIM_set_request_hook(sim(), {});
        input_interrupt_clear();
        fs::current_path(old);
        fs::remove_all(dir);
    }
    sim_t* sim() { return link.sim(); }
    // "<result> <standard output>|<standard error>"
    std::string run(menu_handler_t handler, const std::string& input) {
        int32_t r = 0;
        input_interrupt_clear();  // as the menu does before each command
        const auto cap = console_run(input, [&] { r = handler(nullptr, 0); });
        return std::to_string(r) + " " + cap.out + "|" + cap.err;
    }
    // Write requests as "<op> <name>" and, for appends, " <size>".
    std::vector<std::string> writes() {
        std::vector<std::string> out;
        for (const auto& r : SIM_requests(sim())) {
            if (r.code != 8210) continue;
            const char* name = reinterpret_cast<const char*>(r.payload.data());
            std::string w = std::to_string(get_u32le(r.payload.data(), 32)) + " " + std::string(name, strnlen(name, 32));
            if (get_u32le(r.payload.data(), 32) == 3) w += " " + std::to_string(get_u32le(r.payload.data(), 36));
            out.push_back(w);
        }
        return out;
    }
    // Ctrl-C as the n-th request of `code` arrives (it is still carried out).
    void interrupt_at(uint16_t code, int n) {
        SIM_set_request_hook(sim(), [code, n, seen = std::make_shared<std::atomic<int>>(0)](const sim_request_t& r) {
            if (r.code == code && ++*seen == n) input_interrupt();
        });
    }
    void set_max_stored(int32_t n) {
        bytes p = SIM_get_params(sim());
        put_i32le(p.data(), 94, n);
        SIM_set_params(sim(), p);
    }

    fs::path dir, old;
    SimLink link;
};

// The table as the test builds it: name, pairs, count 12, XOR check word.
bytes make_lut(const std::string& name, float v0, float c0) {
    bytes t(116, 0);
    std::copy(name.begin(), name.end(), t.begin() + 4);
    put_i32le(t.data(), 16, 12);
    for (size_t i = 0; i < 12; ++i) {
        put_f32le(t.data(), 20 + 4 * i, v0 + static_cast<float>(i));
        put_f32le(t.data(), 68 + 4 * i, c0 + static_cast<float>(i));
    }
    uint32_t x = 0;
    for (size_t off = 4; off < 116; off += 4) x ^= get_u32le(t.data(), off);
    put_u32le(t.data(), 0, x);
    return t;
}

}  // namespace

TEST(ConcLut, CheckWordIsTheXorOfEveryWordButItself) {
    lut_t t{};
    lut_set_name(t, "ABCDEFGHIJK");
    EXPECT_EQ(lut_check_word(t), 0x44434241u ^ 0x48474645u ^ 0x004B4A49u);  // a zero table's name words
    lut_set_value(t, 11, 1.0f);  // the last word counts too; the count is 12
    lut_seal(t);
    EXPECT_EQ(get_u32le(t.data(), 0), 0x44434241u ^ 0x48474645u ^ 0x004B4A49u ^ 0x3F800000u ^ 12u);
}

TEST_F(SimFiles, LutIndexZeroSendsNothingNegativeDeletesThenBuildsAnew) {
    EXPECT_EQ(run(R62_cmd_set_conc_lut, "0\n"), "0 LUT index[1]:|");
    EXPECT_TRUE(SIM_requests(sim()).empty());

    SIM_put_file(sim(), "lut/lut02.dat", make_lut("Old", 1, 1));
    std::string input = "-2\nn\nClay\n", prompts;
    for (int i = 0; i < 12; ++i) {
        input += std::to_string(100 + i) + "\n" + std::to_string(5 + i) + "\n";
        prompts += "Record " + std::to_string(i + 1) + "/12\nvalue [-][0.000]:conc  [%][0.000]:\n";
    }
    const std::string out = run(R62_cmd_set_conc_lut, input + "y\nsaved.dat\n");
    EXPECT_EQ(out, "0 LUT index[1]:Deleting lut with index 2.\nlut/lut02.dat\nCreating new.\n"
                   "Would you like to load LUT from file?[no]:LUT name[]:" + prompts +
                   "Would you like to save LUT to file?[no]:Enter LUT file name[conclut.dat]:Writing LUT...Ok.\n|");
    EXPECT_EQ(writes(), (std::vector<std::string>{"4 lut/lut02.dat", "1 lut", "4 lut/lut02.dat", "2 lut/lut02.dat",
                                                  "3 lut/lut02.dat 116"}));
    bytes on_device;
    ASSERT_TRUE(SIM_get_file(sim(), "lut/lut02.dat", &on_device));
    EXPECT_EQ(on_device, make_lut("Clay", 100, 5));
    EXPECT_EQ(slurp("saved.dat"), on_device);
}

// The device's table is the default; a local file replaces its first bytes
// (all of them, or what a short file has); a file that cannot be read or
// written is reported and the table still goes out.
TEST_F(SimFiles, LutLoadsShortOrMissingFilesAndSavesOrReportsTheSave) {
    const bytes current = make_lut("Sand", 2, 3);
    const std::tuple<std::optional<bytes>, std::string, std::string, std::string> rows[] = {
        {bytes{0, 0, 0, 0, 'S', 'i', 'l', 't'}, "n\n", "Silt", ""},
        {std::nullopt, "n\n", "Sand", "Error loading file.\n"},
        {make_lut("Loam", 7, 8), "y\nno/such/dir.dat\n", "Loam", "Error saving file.\n"},
    };
    for (const auto& [local, save, name, message] : rows) {
        SIM_put_file(sim(), "lut/lut01.dat", current);
        SIM_clear_requests(sim());
        fs::remove("local.dat");
        if (local) spit("local.dat", *local);
        const std::string out = run(R62_cmd_set_conc_lut, "1\ny\nlocal.dat\n" + std::string(25, '\n') + save);
        EXPECT_NE(out.find("lut/lut01.dat\nModyfying current.\n"), std::string::npos) << out;
        EXPECT_NE(out.find("LUT name[" + name + "]:"), std::string::npos) << out;
        EXPECT_NE(out.find(message), std::string::npos) << out;
        EXPECT_NE(out.find("Writing LUT...Ok.\n|"), std::string::npos) << out;
        bytes expect = local ? *local : current;
        expect.resize(116);
        if (local) std::copy(current.begin() + static_cast<long>(local->size()), current.end(),
                             expect.begin() + static_cast<long>(local->size()));
        lut_t sealed;
        std::copy(expect.begin(), expect.end(), sealed.begin());
        lut_seal(sealed);
        bytes on_device;
        ASSERT_TRUE(SIM_get_file(sim(), "lut/lut01.dat", &on_device));
        EXPECT_EQ(on_device, bytes(sealed.begin(), sealed.end())) << name;
    }
}

TEST_F(SimFiles, DeleteRecordTakesTheLastSlotAndStopsAtTheFirstFailure) {
    set_max_stored(7);
    for (const char* f : {"meas/meas0007.dat", "notes/rec0007.wav", "aux/aux0007.dat", "meas/0007.uid"})
        SIM_put_file(sim(), f, {1});
    EXPECT_EQ(run(R62_cmd_delete_record, "8\n7\n"), "0 Select entry index[0]:Select entry index[0]:Ok.\n|");
    EXPECT_EQ(writes(), (std::vector<std::string>{"4 meas/meas0007.dat", "4 notes/rec0007.wav", "4 aux/aux0007.dat"}));
    EXPECT_FALSE(SIM_has_file(sim(), "aux/aux0007.dat"));
    EXPECT_TRUE(SIM_has_file(sim(), "meas/0007.uid"));

    SIM_clear_requests(sim());
    sim_faults_t f;
    f.fail_codes[8210] = 1;
    SIM_set_faults(sim(), f);
    EXPECT_EQ(run(R62_cmd_delete_record, "3\n"), "-1 Select entry index[0]:|Command R62_cmd_delete_record error(code=1)!\n");
    EXPECT_EQ(writes(), std::vector<std::string>{"4 meas/meas0003.dat"});
}

TEST_F(SimFiles, PurgeDeletesThreeFilesPerSlotWithADotEveryTwentyAndStopsOnCtrlC) {
    const std::tuple<const char*, int32_t, const char*, size_t> rows[] = {
        {"n\n", 120, "0 Purge records[no]:|", 0},
        {"y\n", 0, "0 Purge records[no]:PurgingDone.\n|", 0},
        {"y\n", 120, "0 Purge records[no]:Purging......Done.\n|", 360},
    };
    for (const auto& [input, slots, out, deletions] : rows) {
        set_max_stored(slots);
        SIM_clear_requests(sim());
        EXPECT_EQ(run(R62_cmd_purge, input), out);
        const auto w = writes();
        EXPECT_EQ(w.size(), deletions);
        EXPECT_EQ(SIM_request_count(sim(), 8201), input[0] == 'y' ? 1u : 0u);
        if (deletions > 0) {
            EXPECT_EQ(std::vector<std::string>(w.begin(), w.begin() + 4),
                      (std::vector<std::string>{"4 meas/meas0000.dat", "4 meas/0000.uid", "4 notes/rec0000.wav",
                                                "4 meas/meas0001.dat"}));
            EXPECT_EQ(w.back(), "4 notes/rec0119.wav");
        }
    }
    SIM_clear_requests(sim());
    interrupt_at(8210, 5);
    EXPECT_EQ(run(R62_cmd_purge, "y\n"), "-1 Purge records[no]:Purging.|");
    EXPECT_EQ(writes().size(), 5u);
}

TEST_F(SimFiles, ClearLogsAsksForEverythingWithFiveMinutesMemoryUsagePrintsTheReport) {
    EXPECT_EQ(run(R62_cmd_clear_logs, ""), "0 Ok.\n|");
    ASSERT_EQ(SIM_apply_json(sim(), R"({"heap": {"avail": -5, "text": "tasks 3"}})", nullptr), 0);
    EXPECT_EQ(run(R62_cmd_memory_usage, ""), "0 Heap avail:-5 bytes\ntasks 3\n|");
    const auto reqs = SIM_requests(sim());
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].code, 8206);
    EXPECT_EQ(reqs[0].timeout, 300000 & 0xFFFF);
    EXPECT_EQ(reqs[0].payload, (bytes{255, 0, 0, 0}));
}

// Archives as the two common tools write them: GNU tar (long names as
// ././@LongLink entries) and Python's tarfile (a pax header before every
// file). Both must upload the same files under the same names.
TEST_F(SimFiles, TarFromGnuTarAndPythonUploadsDirectoriesAndFiles) {
    const std::string long_name = "d/" + std::string(118, 'n');
    const std::vector<std::pair<std::string, bytes>> files = {
        {"d/a300", pattern(300, 1)}, {"d/b256", pattern(256, 2)}, {"d/c512", pattern(512, 3)},
        {"d/e", {}},                 {long_name, pattern(10, 4)}, {"d/\xc3\xa9t\xc3\xa9", pattern(5, 5)},
    };
    fs::create_directory("d");
    std::string list = "d";
    for (const auto& [name, content] : files) {
        spit(name, content);
        list += " '" + name + "'";
    }
    fs::create_symlink("a300", "d/link");
    list += " d/link";
    ASSERT_EQ(std::system(("tar --format=gnu --no-recursion -cf gnu.tar " + list).c_str()), 0);
    const std::string py = "import sys, tarfile\nwith tarfile.open('py.tar', 'w', format=tarfile.PAX_FORMAT) as t:\n"
                           "    for n in sys.argv[1:]: t.add(n, recursive=False)\n";
    ASSERT_EQ(std::system(("python3 -c \"" + py + "\" " + list).c_str()), 0);

    for (const char* archive : {"gnu.tar", "py.tar"}) {
        SIM_clear_requests(sim());
        const std::string out = run(R62_cmd_upload_tar, std::string(archive) + "\n");
        const std::string cut = long_name.substr(0, 32);
        EXPECT_EQ(out, "0 Enter TAR file name[sd.tar]:Reading file " + std::string(archive) +
                           "...\nname of directory:d/\nfile name:d/a300 [300].DONE\n"
                           "file name:d/b256 [256].DONE\nfile name:d/c512 [512].DONE\nfile name:" +
                           long_name + " [10]DONE\nfile name:d/\xc3\xa9t\xc3\xa9 [5]DONE\n|");
        EXPECT_EQ(writes(), (std::vector<std::string>{
                                "1 d/", "2 d/a300", "3 d/a300 128", "3 d/a300 128",
                                "3 d/a300 44", "2 d/b256", "3 d/b256 128", "3 d/b256 128", "3 d/b256 0", "2 d/c512",
                                "3 d/c512 128", "3 d/c512 128", "3 d/c512 128", "3 d/c512 128", "3 d/c512 0",
                                "2 " + cut, "3 " + cut + " 10", "2 d/\xc3\xa9t\xc3\xa9", "3 d/\xc3\xa9t\xc3\xa9 5"}))
            << archive;
        for (const auto& [name, content] : files) {
            bytes got;
            EXPECT_EQ(SIM_get_file(sim(), name.substr(0, 32), &got), !content.empty()) << name;
            EXPECT_EQ(got, content) << name;
        }
    }

    // Not an archive, cut short inside a file's data, missing, interrupted.
    spit("junk.tar", bytes(2000, 'j'));
    bytes cut = slurp("gnu.tar");
    cut.resize(1024 + 100);
    spit("cut.tar", cut);
    const std::tuple<std::string, std::string, std::vector<std::string>> rows[] = {
        {"junk.tar", "Reading file junk.tar...\n|Invalid TAR header at byte 0!\n", {}},
        {"cut.tar", "Reading file cut.tar...\nname of directory:d/\n|TAR archive truncated at byte 512!\n", {"1 d/"}},
        {"none.tar", "Error loading file:none.tar!\n|", {}},
        {"gnu.tar", "Reading file gnu.tar...\nname of directory:d/\nfile name:d/a300 [300].|",
         {"1 d/", "2 d/a300", "3 d/a300 128", "3 d/a300 128"}},
    };
    for (const auto& [archive, out, sent] : rows) {
        SIM_clear_requests(sim());
        if (archive == "gnu.tar") interrupt_at(8210, 4);
        EXPECT_EQ(run(R62_cmd_upload_tar, archive + "\n"), "-1 Enter TAR file name[sd.tar]:" + out);
        EXPECT_EQ(writes(), sent) << archive;
    }
}

// 401 chunks of a 205100-byte image: percentages after chunks 200 and 400.
// A size reported as 0 prints none. A failed or interrupted download leaves
// the earlier image in place and the partial one beside it.
TEST_F(SimFiles, StorageImageIsStreamedWithProgressAndReplacesOnlyWhenComplete) {
    const std::tuple<const char*, bool, std::string> rows[] = {
        {"sd.img", false, "(size:205100)49.9%\n99.9%\nOk\n|"},
        {"zero.img", true, "(size:0)Ok\n|"},
    };
    for (const auto& [name, zero, out] : rows) {
        sim_settings_t s = SIM_get_settings(sim());
        s.raw_size = zero ? 0 : 205100;
        SIM_set_settings(sim(), s);
        if (zero) {
            SIM_set_request_hook(sim(), [this](const sim_request_t& r) {
                sim_settings_t now = SIM_get_settings(sim());
                if (r.code == 8211 && now.raw_size == 0) now.raw_size = 205100;
                SIM_set_settings(sim(), now);
            });
        }
        EXPECT_EQ(run(R62_cmd_download_sd, std::string(name) + "\n"),
                  std::string("0 Enter sd image file name[sd.img]:Downloading sd image ") + out);
        EXPECT_EQ(slurp(name), SIM_read_raw(sim(), 0, 205100));
        EXPECT_FALSE(fs::exists(std::string(name) + ".part"));
    }
    SIM_set_request_hook(sim(), {});
    for (bool ctrl_c : {true, false}) {
        spit("sd.img", {'o', 'l', 'd'});
        SIM_clear_requests(sim());
        std::string err;
        if (ctrl_c) {
            interrupt_at(8211, 3);
        } else {
            sim_faults_t f;
            f.fail_codes[8211] = 1;
            SIM_set_faults(sim(), f);
            err = "Command R62_cmd_download_sd error(code=1)!\n";
        }
        EXPECT_EQ(run(R62_cmd_download_sd, "\n"),
                  "-1 Enter sd image file name[sd.img]:Downloading sd image (size:205100)|" + err);
        EXPECT_EQ(SIM_request_count(sim(), 8211), ctrl_c ? 3u : 1u);
        EXPECT_EQ(slurp("sd.img"), (bytes{'o', 'l', 'd'}));
        EXPECT_EQ(fs::file_size("sd.img.part"), ctrl_c ? 1536u : 0u);
    }
}
