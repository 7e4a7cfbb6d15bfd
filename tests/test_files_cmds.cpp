// Device file, status, model word and screen commands against the simulated
// instrument: the write requests they send, in order, what ends up on the
// instrument and in local files (the screen image read back by a reader of
// its own), and what they print.
#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "commands/r62_files_cmds.h"
#include "commands/r62_status.h"
#include "console/conutil.h"
#include "records/wire.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/files.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;
using strings = std::vector<std::string>;
using ::testing::HasSubstr;
using ::testing::StartsWith;
namespace fs = std::filesystem;

class SimFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.open());
        SIM_clear_requests(sim());
    }
    sim_t* sim() { return link.sim(); }
    void apply(const std::string& json) { ASSERT_EQ(SIM_apply_json(sim(), json, nullptr), 0) << json; }
    // "<result> <standard output>|<standard error>"
    std::string run(menu_handler_t handler, const std::string& input = "") {
        int32_t r = 0;
        input_interrupt_clear();  // as the menu does before each command
        const auto cap = console_run(input, [&] { r = handler(nullptr, 0); });
        return std::to_string(r) + " " + cap.out + "|" + cap.err;
    }
    // Write requests as "<op> <name>" and, for appends, " <size>".
    strings writes() {
        strings out;
        for (const auto& r : SIM_requests(sim())) {
            if (r.code != 8210) continue;
            const char* name = reinterpret_cast<const char*>(r.payload.data());
            std::string w = std::to_string(get_u32le(r.payload.data(), 32)) + " " + std::string(name, strnlen(name, 32));
            if (get_u32le(r.payload.data(), 32) == 3) w += " " + std::to_string(get_u32le(r.payload.data(), 36));
            out.push_back(w);
        }
        return out;
    }
    bytes device(const std::string& name) {
        bytes b;
        EXPECT_TRUE(SIM_get_file(sim(), name, &b)) << name;
        return b;
    }
    // Ctrl-C as the n-th request of `code` arrives (it is still carried out).
    void interrupt_at(uint16_t code, int n) {
        SIM_set_request_hook(sim(), [code, n, seen = std::make_shared<std::atomic<int>>(0)](const sim_request_t& r) {
            if (r.code == code && ++*seen == n) input_interrupt();
        });
    }

    WorkDir dir;
    SimLink link;
};
using SimStatus = SimFiles;  // the status, model and screen tests keep their suite name

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

// The headers of a 128 x 81 1-bit BMP as any reader expects them: "BM", file
// size 1358, reserved, pixels at 62; info size 40, 128 x 81, 1 plane, 1 bit,
// no compression, 1296 image bytes, no resolution, 2 colours; white, black.
const bytes kBmpHead = {0x42, 0x4d, 0x4e, 0x05, 0, 0, 0, 0, 0, 0, 0x3e, 0, 0, 0, 0x28, 0, 0, 0, 0x80, 0, 0, 0,
                        0x51, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0x10, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                        2, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0, 0, 0, 0, 0};

}  // namespace

// Index 0 sends nothing; -2 deletes table 2 and builds it anew from the
// answers. Modifying it then, a short local file replaces only its first
// bytes (sealed anew), and local files that cannot be read or written are
// reported while the table still goes out.
TEST_F(SimFiles, LutIndexZeroNegativeRebuildsLocalFilesLoadAndSave) {
    EXPECT_EQ(run(R62_cmd_set_conc_lut, "0\n"), "0 LUT index[1]:|");
    EXPECT_TRUE(SIM_requests(sim()).empty());

    SIM_put_file(sim(), "lut/lut02.dat", make_lut("Old", 1, 1));
    std::string input = "-2\nn\nClay\n", prompts;
    for (int i = 0; i < 12; ++i) {
        input += std::to_string(100 + i) + "\n" + std::to_string(5 + i) + "\n";
        prompts += "Record " + std::to_string(i + 1) + "/12\nvalue [-][0.000]:conc  [%][0.000]:\n";
    }
    EXPECT_EQ(run(R62_cmd_set_conc_lut, input + "y\nsaved.dat\n"),
              "0 LUT index[1]:Deleting lut with index 2.\nlut/lut02.dat\nCreating new.\n"
              "Would you like to load LUT from file?[no]:LUT name[]:" + prompts +
                  "Would you like to save LUT to file?[no]:Enter LUT file name[conclut.dat]:Writing LUT...Ok.\n|");
    EXPECT_EQ(writes(), (strings{"4 lut/lut02.dat", "1 lut", "4 lut/lut02.dat", "2 lut/lut02.dat",
                                 "3 lut/lut02.dat 116"}));
    EXPECT_EQ(device("lut/lut02.dat"), make_lut("Clay", 100, 5));
    EXPECT_EQ(slurp("saved.dat"), make_lut("Clay", 100, 5));

    spit("short.dat", {0, 0, 0, 0, 'S', 'i', 'l', 't'});
    const std::string keep(25, '\n');
    EXPECT_THAT(run(R62_cmd_set_conc_lut, "2\ny\nshort.dat\n" + keep + "y\nno/such/dir.dat\n"),
                AllOf(HasSubstr("lut/lut02.dat\nModyfying current.\n"),
                      HasSubstr("Writing LUT...Ok.\n|Error saving file.\n")));
    EXPECT_EQ(device("lut/lut02.dat"), make_lut("Silt", 100, 5));
    EXPECT_THAT(run(R62_cmd_set_conc_lut, "2\ny\nnone.dat\n" + keep + "n\n"),
                AllOf(HasSubstr("Error loading file.\nLUT name[Silt]:"), HasSubstr("Writing LUT...Ok.\n|")));
}

TEST_F(SimFiles, DeleteRecordTakesTheLastSlotAndStopsAtTheFirstFailure) {
    apply(R"({"params": {"max_stored_meas": 7}})");
    EXPECT_EQ(run(R62_cmd_delete_record, "8\n7\n"), "0 Select entry index[0]:Select entry index[0]:Ok.\n|");
    EXPECT_EQ(writes(), (strings{"4 meas/meas0007.dat", "4 notes/rec0007.wav", "4 aux/aux0007.dat"}));

    SIM_clear_requests(sim());
    apply(R"({"faults": {"fail_codes": {"8210": 1}}})");
    EXPECT_EQ(run(R62_cmd_delete_record, "3\n"), "-1 Select entry index[0]:|Command R62_cmd_delete_record error(code=1)!\n");
    EXPECT_EQ(writes(), strings{"4 meas/meas0003.dat"});
}

TEST_F(SimFiles, PurgeDeletesThreeFilesPerSlotWithADotEveryTwentyAndStopsOnCtrlC) {
    EXPECT_EQ(run(R62_cmd_purge, "n\n"), "0 Purge records[no]:|");
    EXPECT_TRUE(SIM_requests(sim()).empty());
    apply(R"({"params": {"max_stored_meas": 0}})");
    EXPECT_EQ(run(R62_cmd_purge, "y\n"), "0 Purge records[no]:PurgingDone.\n|");
    apply(R"({"params": {"max_stored_meas": 120}})");
    EXPECT_EQ(run(R62_cmd_purge, "y\n"), "0 Purge records[no]:Purging......Done.\n|");
    const strings w = writes();
    ASSERT_EQ(w.size(), 360u);
    EXPECT_EQ(strings(w.begin(), w.begin() + 4),
              (strings{"4 meas/meas0000.dat", "4 meas/0000.uid", "4 notes/rec0000.wav", "4 meas/meas0001.dat"}));
    EXPECT_EQ(w.back(), "4 notes/rec0119.wav");

    SIM_clear_requests(sim());
    interrupt_at(8210, 5);
    EXPECT_EQ(run(R62_cmd_purge, "y\n"), "-1 Purge records[no]:Purging.|");
    EXPECT_EQ(writes().size(), 5u);
}

// The request itself (code, time-out) is the service's; the command picks the selector.
TEST_F(SimFiles, ClearLogsAsksForEverythingMemoryUsagePrintsTheReport) {
    EXPECT_EQ(run(R62_cmd_clear_logs, ""), "0 Ok.\n|");
    EXPECT_EQ(SIM_requests(sim()).at(0).payload, (bytes{255, 0, 0, 0}));
    apply(R"({"heap": {"avail": -5, "text": "tasks 3"}})");
    EXPECT_EQ(run(R62_cmd_memory_usage, ""), "0 Heap avail:-5 bytes\ntasks 3\n|");
}

// Archives as the two common tools write them: GNU tar (long names as
// ././@LongLink entries) and Python's tarfile (a pax header before every
// file). Both must upload the same files under the same names.
TEST_F(SimFiles, TarFromGnuTarAndPythonUploadsDirectoriesAndFiles) {
    const std::string long_name = "d/" + std::string(118, 'n'), cut = long_name.substr(0, 32);
    // Contents: stretches of the simulator's pseudo-random storage image.
    const std::vector<std::pair<std::string, bytes>> files = {
        {"d/a300", SIM_read_raw(sim(), 1000, 300)}, {"d/b256", SIM_read_raw(sim(), 2000, 256)},
        {"d/c512", SIM_read_raw(sim(), 3000, 512)}, {"d/e", {}}, {long_name, SIM_read_raw(sim(), 4000, 10)},
    };
    fs::create_directory("d");
    fs::create_symlink("a300", "d/link");
    std::string list = "d";
    for (const auto& [name, content] : files) {
        spit(name, content);
        list += " " + name;
    }
    list += " d/link";
    ASSERT_EQ(std::system(("tar --format=gnu --no-recursion -cf gnu.tar " + list).c_str()), 0);
    const std::string py = "import sys, tarfile\nwith tarfile.open('py.tar', 'w', format=tarfile.PAX_FORMAT) as t:\n"
                           "    for n in sys.argv[1:]: t.add(n, recursive=False)\n";
    ASSERT_EQ(std::system(("python3 -c \"" + py + "\" " + list).c_str()), 0);

    for (const std::string archive : {"gnu.tar", "py.tar"}) {
        SIM_clear_requests(sim());
        EXPECT_EQ(run(R62_cmd_upload_tar, archive + "\n"),
                  "0 Enter TAR file name[sd.tar]:Reading file " + archive +
                      "...\nname of directory:d/\nfile name:d/a300 [300].DONE\nfile name:d/b256 [256].DONE\n"
                      "file name:d/c512 [512].DONE\nfile name:" + long_name + " [10]DONE\n|");
        EXPECT_EQ(writes(), (strings{"1 d/", "2 d/a300", "3 d/a300 128", "3 d/a300 128", "3 d/a300 44", "2 d/b256",
                                     "3 d/b256 128", "3 d/b256 128", "3 d/b256 0", "2 d/c512", "3 d/c512 128",
                                     "3 d/c512 128", "3 d/c512 128", "3 d/c512 128", "3 d/c512 0", "2 " + cut,
                                     "3 " + cut + " 10"}))
            << archive;
        for (const auto& [name, content] : files) {
            bytes got;
            EXPECT_EQ(SIM_get_file(sim(), name.substr(0, 32), &got), !content.empty()) << name;
            EXPECT_EQ(got, content) << name;
        }
    }

    // Not an archive, missing, cut short inside a file's data, interrupted.
    const std::string head = "-1 Enter TAR file name[sd.tar]:";
    spit("junk.tar", bytes(2000, 'j'));
    EXPECT_EQ(run(R62_cmd_upload_tar, "junk.tar\n"), head + "Reading file junk.tar...\n|Invalid TAR header at byte 0!\n");
    EXPECT_EQ(run(R62_cmd_upload_tar, "none.tar\n"), head + "Error loading file:none.tar!\n|");
    bytes part = slurp("gnu.tar");
    part.resize(1024 + 100);
    spit("cut.tar", part);
    SIM_clear_requests(sim());
    EXPECT_EQ(run(R62_cmd_upload_tar, "cut.tar\n"),
              head + "Reading file cut.tar...\nname of directory:d/\n|TAR archive truncated at byte 512!\n");
    EXPECT_EQ(writes(), strings{"1 d/"});
    SIM_clear_requests(sim());
    interrupt_at(8210, 4);
    EXPECT_EQ(run(R62_cmd_upload_tar, "gnu.tar\n"),
              head + "Reading file gnu.tar...\nname of directory:d/\nfile name:d/a300 [300].|");
    EXPECT_EQ(writes(), (strings{"1 d/", "2 d/a300", "3 d/a300 128", "3 d/a300 128"}));
}

// GNU tar's "tar cf x.tar ." names everything "./..." and lists "./" itself:
// it uploads the same device files as "tar cf x.tar *", under the names
// "tar tf" lists for the latter.
TEST_F(SimFiles, TarOfDotUploadsTheSameTreeAsTarOfStar) {
    fs::create_directories("tree/sub");
    spit("tree/a", SIM_read_raw(sim(), 1000, 300));
    spit("tree/sub/b", SIM_read_raw(sim(), 2000, 20));
    ASSERT_EQ(std::system("cd tree && tar --format=gnu -cf ../dot.tar . && tar --format=gnu -cf ../star.tar * && "
                          "tar tf ../star.tar > ../star.txt"), 0);
    std::map<std::string, strings> uploads;
    for (const std::string archive : {"dot.tar", "star.tar"}) {
        SIM_clear_requests(sim());
        EXPECT_THAT(run(R62_cmd_upload_tar, archive + "\n"), StartsWith("0 ")) << archive;
        strings w = writes();
        std::sort(w.begin(), w.end());
        uploads[archive] = w;
    }
    EXPECT_EQ(uploads["dot.tar"], uploads["star.tar"]);
    std::set<std::string> created, listed;
    for (const std::string& w : uploads["dot.tar"])
        if (w.starts_with("1 ") || w.starts_with("2 ")) created.insert(w.substr(2));
    const bytes listing = slurp("star.txt");
    std::istringstream lines(std::string(listing.begin(), listing.end()));
    for (std::string line; std::getline(lines, line);) listed.insert(line);
    EXPECT_EQ(created, listed);
    EXPECT_EQ(device("sub/b"), slurp("tree/sub/b"));
}

// 401 chunks of a 205100-byte image: percentages after chunks 200 and 400.
// A size reported as 0 prints none, and an image that does not come out at
// the reported size is an error that stays ".part". A failed or interrupted
// download leaves the earlier image in place.
TEST_F(SimFiles, StorageImageIsStreamedWithProgressAndReplacesOnlyWhenComplete) {
    const std::string head = "Enter sd image file name[sd.img]:Downloading sd image (size:";
    apply(R"({"settings": {"raw_size": 205100}})");
    EXPECT_EQ(run(R62_cmd_download_sd, "\n"), "0 " + head + "205100)49.9%\n99.9%\nOk\n|");
    EXPECT_EQ(slurp("sd.img"), SIM_read_raw(sim(), 0, 205100));

    apply(R"({"settings": {"raw_size": 0}})");
    SIM_set_request_hook(sim(), [s = sim()](const sim_request_t& r) {
        if (r.code == 8211) SIM_apply_json(s, R"({"settings": {"raw_size": 205100}})", nullptr);
    });
    EXPECT_EQ(run(R62_cmd_download_sd, "zero.img\n"),
              "-1 " + head + "0)|Size of raw wrong: 205100 bytes instead of 0!\n");
    EXPECT_EQ(slurp("zero.img.part"), slurp("sd.img"));
    EXPECT_FALSE(fs::exists("zero.img"));

    spit("sd.img", {'o', 'l', 'd'});
    interrupt_at(8211, 3);
    EXPECT_EQ(run(R62_cmd_download_sd, "\n"), "-1 " + head + "205100)|");
    SIM_set_request_hook(sim(), {});
    apply(R"({"faults": {"fail_codes": {"8211": 1}}})");
    EXPECT_EQ(run(R62_cmd_download_sd, "\n"), "-1 " + head + "205100)|Command R62_cmd_download_sd error(code=1)!\n");
    EXPECT_EQ(slurp("sd.img"), (bytes{'o', 'l', 'd'}));
}

// The record as the instrument lays it out, every field at its limit.
TEST_F(SimStatus, StatusFieldsPrintUnsignedAndFlashInWholeMebibytes) {
    const std::pair<uint32_t, const char*> rows[] = {{1048575, "0MB"}, {8388608, "8MB"}};
    for (const auto& [flash, shown] : rows) {
        bytes st = {0xEF, 0xBE, 0xAD, 0xDE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 7, 0, 0, 0, 0, 0};
        put_u32le(st.data(), 16, flash);
        SIM_set_status(sim(), st);
        EXPECT_EQ(run(R62_cmd_get_status), "0 \nStatus.error           = 0xdeadbeef\n"
                                           "Status.bat_voltage     = -1mV\nStatus.bat_perc        = 65535%\n"
                                           "Status.contrast        = 65535\nStatus.bt_status       = 65535\n"
                                           "Status.gps_status      = 7\nStatus.flash_size      = " +
                                               std::string(shown) + "\n\n|");
    }
}

TEST_F(SimStatus, ModelWordShowsItsOptionsAndKeepsOnlyTheOtherBitsEightToFifteen) {
    SIM_set_model(sim(), 0xFFFF1200);
    EXPECT_EQ(run(R62_cmd_get_model_rev), "0 Model information:\nBluetooth disabled.\n24bit ADC\n|");
    SIM_set_model(sim(), 0x5300);
    EXPECT_EQ(run(R62_cmd_get_model_rev),
              "0 Model information:\nZorvanik logo displayed.\nBluetooth disabled.\n24bit ADC\nRect. coil\n|");
    // Asked in the order ADC, logo, Bluetooth, coil; the current bits are the defaults.
    const std::tuple<uint32_t, const char*, const char*, uint32_t> edits[] = {
        {0xFFFFEFFF, "", "24bit ADC[0]:Zorvanik logo[1]:Disable bluetooth[1]:Rect. coil[1]:", 0xEF00},
        {0x00005300, "1\n0\n1\n0\n", "24bit ADC[1]:Zorvanik logo[1]:Disable bluetooth[1]:Rect. coil[1]:", 0x1200},
        {0x0000A4FF, "0\n1\n0\n1\n", "24bit ADC[0]:Zorvanik logo[0]:Disable bluetooth[0]:Rect. coil[0]:", 0xE500},
    };
    for (const auto& [word, input, prompts, written] : edits) {
        SIM_set_model(sim(), word);
        EXPECT_EQ(run(R62_cmd_set_model_rev, input + std::string(4, '\n')), std::string("0 ") + prompts + "Ok.\n|");
        EXPECT_EQ(SIM_get_model(sim()), written) << std::hex << word;
    }
    apply(R"({"faults": {"fail_codes": {"8008": 1}}})");
    SIM_clear_requests(sim());
    EXPECT_EQ(run(R62_cmd_set_model_rev), "-1 |Command R62_cmd_set_model_rev error(code=1)!\n");
    EXPECT_EQ(SIM_request_count(sim(), 8105), 0u);
}

TEST_F(SimStatus, ScreenIsSavedAsBmpBottomRowFirst) {
    const bytes screen = SIM_get_screen(sim());
    ASSERT_GT(screen.size() - std::count(screen.begin(), screen.end(), 0), 20u);  // the display shows text
    EXPECT_EQ(run(R62_cmd_get_screen, "\n"), "0 Capturing screen image...Ok.\nEnter file name[screen.bmp]:|");
    const bytes f = slurp("screen.bmp");
    ASSERT_EQ(f.size(), 1358u);
    EXPECT_EQ(bytes(f.begin(), f.begin() + 62), kBmpHead);
    // Read back as a viewer would: row stride 16, height positive (bottom
    // up), bit 7 the leftmost pixel, palette index 1 black.
    const uint32_t data = get_u32le(f.data(), 10), width = get_u32le(f.data(), 18), height = get_u32le(f.data(), 22);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const bool pixel = (f[data + (height - 1 - y) * 16 + x / 8] >> (7 - x % 8)) & 1;
            ASSERT_EQ(pixel, x < 104 && ((screen[y * 13 + x / 8] >> (7 - x % 8)) & 1)) << x << "," << y;
        }
    }
}

// The instrument's file is the judge of an upload: a file that does not come
// out at the size sent is reported and never done, and an append whose answer
// was lost is sent again when the file shows it did not land. (That one that
// landed is not sent again shows in the fault matrix: the file would differ.)
TEST_F(SimFiles, UploadsEndAtTheSizeSentOrReportTheDifference) {
    spit("d300", SIM_read_raw(sim(), 0, 300));
    ASSERT_EQ(std::system("tar --format=gnu -cf sd.tar d300"), 0);
    // Something else writes to the file while it is checked.
    SIM_set_request_hook(sim(), [s = sim()](const sim_request_t& r) {
        if (r.code == 8209) SIM_put_file(s, "d300", bytes(10, 1));
    });
    EXPECT_EQ(run(R62_cmd_upload_tar, "\n"),
              "-1 Enter TAR file name[sd.tar]:Reading file sd.tar...\nfile name:d300 [300].|"
              "Size of d300 wrong: 10 bytes instead of 300!\n");
    // The first append gets only a status and the file shows it did not
    // land: sent again, once.
    SIM_clear_requests(sim());
    SIM_set_request_hook(sim(), [s = sim(), n = std::make_shared<int>(0)](const sim_request_t& r) {
        if (r.code != 8210) return;
        ++*n;
        if (*n == 2) SIM_apply_json(s, R"({"faults": {"only_code": 8210, "status_only": 0}})", nullptr);
        if (*n == 3) SIM_apply_json(s, R"({"faults": {}})", nullptr);
    });
    EXPECT_EQ(run(R62_cmd_upload_tar, "\n"),
              "0 Enter TAR file name[sd.tar]:Reading file sd.tar...\nfile name:d300 [300].DONE\n|");
    EXPECT_EQ(writes(), (strings{"2 d300", "3 d300 128", "3 d300 128", "3 d300 128", "3 d300 44"}));
    EXPECT_EQ(device("d300"), SIM_read_raw(sim(), 0, 300));
}
