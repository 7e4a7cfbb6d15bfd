// Firmware image: the header and scrambling as bytes, the create dialogue and
// its files, and upload, verify and flash against the simulated instrument.
#include <gtest/gtest.h>

#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "commands/gfw_image.h"
#include "commands/r40_fw.h"
#include "commands/r62_fw.h"
#include "console/globals.h"
#include "records/wire.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}
void write_file(const std::string& path, const bytes& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::ssize(data));
}
bytes pattern(size_t n) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}
std::string hex(const bytes& b) {
    std::string s;
    for (uint8_t v : b) s += {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]};
    return s;
}

// "<result> <stdout><stderr>" of a handler given its console input.
std::string run(menu_handler_t handler, const std::string& input) {
    int32_t r = 0;
    char line[] = "x\n";
    const console_capture_t cap = console_run(input, [&] { r = handler(line, 0); });
    return std::to_string(r) + " " + cap.out + cap.err;
}

// Each test in a fresh working directory, since the defaults are plain names.
class FwFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/qm_fw_XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        ::chmod(dir, 0755);  // the read-only case reads as another user
        old_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    // A 1000-byte BIN made into the instrument's GFW file `name`.
    static bytes make_gfw(const std::string& name, int32_t scramble, int32_t type = R62_FW_DEV_TYPE) {
        write_file("fw.bin", pattern(1000));
        console_run("", [&] {
            R40_create_gfw("fw.bin", name.c_str(), 1, 2, scramble, R62_FW_DEVICE, R62_FW_MAX_SIZE, type);
        });
        return read_file(name);
    }
    fs::path dir_, old_;
};

}  // namespace

// Words 0x11111111, 0x22222222, 0x44444444, 0x88888888: plain XOR ffffffff;
// scrambled they change by 0, 1, 16, 81, so the stored XOR is ffffffbf.
TEST(GfwImage, HeaderAndScramblingAsBytes) {
    bytes plain(GFW_HEADER_SIZE, 0xAA);
    for (uint8_t v : {0x11, 0x22, 0x44, 0x88}) plain.insert(plain.end(), 4, v);
    std::tm t{};
    t.tm_year = 2026 - 1900, t.tm_mon = 2, t.tm_mday = 7, t.tm_hour = 14, t.tm_min = 5, t.tm_sec = 9;
    bytes file = plain;
    gfw_build(file, {"QM-38V2", 10, 1, 2, true, t});
    EXPECT_EQ(hex(file), "5a4f5256414e494b204649524d57415245000000"  // magic
                         "514d2d33385632" + std::string(26, '0') +    // name
                         "100000000a00000002010000ffffffffbfffffff"   // length, type, version 1.2, sums
                         "0703ea0709050e0001000000"                   // date, time, flags
                         "111111112322222254444444d9888888");
    gfw_scramble(std::span(file).subspan(GFW_HEADER_SIZE));  // its own inverse
    EXPECT_EQ(bytes(file.begin() + GFW_HEADER_SIZE, file.end()), bytes(plain.begin() + GFW_HEADER_SIZE, plain.end()));
}

TEST_F(FwFiles, CreateDialogueWritesThePaddedImage) {
    write_file("in.bin", pattern(1000));
    const std::string out = run(R62_cmd_create_gfw, "in.bin\nout.gfw\nn\n3\n7\n");
    const bytes file = read_file("out.gfw");
    ASSERT_EQ(file.size(), 72u + 520192u);
    const std::span<const uint8_t> image(file.begin() + GFW_HEADER_SIZE, file.end());
    EXPECT_EQ(bytes(image.begin(), image.begin() + 1000), pattern(1000));
    EXPECT_EQ(std::count(image.begin() + 1000, image.end(), 0), 520192 - 1000);
    const gfw_header_t h = gfw_header_decode(file.data());
    EXPECT_EQ(h.raw_checksum, gfw_checksum(image));
    char sums[64];
    std::snprintf(sums, sizeof sums, "Raw checksum:0x%.8x\nEnc checksum:0x%.8x\n", h.raw_checksum, h.raw_checksum);
    EXPECT_EQ(out, "0 Enter BIN file name[qm38v2.bin]:Enter GFW file name[qm38v2.gfw]:Encrypt file[yes]:"
                   "Major version:[0]:Minor version:[0]:Reading file in.bin...Ok.\n" +
                       std::string(sums) + "Version:3.7\nWriting file out.gfw...Ok.\n");
    const bytes scrambled = make_gfw("s.gfw", 1);
    for (size_t i = 0; i < 4; ++i)  // words 0..3 XOR 0, 1, 16, 81
        EXPECT_EQ(get_u32le(scrambled.data(), 72 + 4 * i), get_u32le(file.data(), 72 + 4 * i) ^ gfw_word_key(i));
    EXPECT_EQ(gfw_header_decode(scrambled.data()).raw_checksum, h.raw_checksum);
}

TEST_F(FwFiles, CreateRefusesWithoutLeavingATruncatedImage) {
    write_file("full.bin", bytes(0x7F000, 0x5A));
    write_file("over.bin", bytes(0x7F001, 0x5A));
    write_file("old.gfw", {1, 2, 3});
    // "<result> <output>", from "Writing" on when it was reached.
    auto create = [](const char* bin, const char* gfw) {
        int32_t r = 0;
        const auto cap = console_run("", [&] { r = R40_create_gfw(bin, gfw, 0, 0, 1, "QM-38V2", 0x7F000, 10); });
        const std::string all = cap.out + cap.err;
        const size_t at = all.find("Writing");
        return std::to_string(r) + " " + (at == std::string::npos ? all : all.substr(at));
    };
    EXPECT_EQ(create("full.bin", "full.gfw"), "0 Writing file full.gfw...Ok.\n");
    EXPECT_EQ(create("over.bin", "over.gfw"), "-1 Reading file over.bin...Error,file longer than 0x7f000!\n");
    EXPECT_EQ(create("none.bin", "x.gfw"), "-1 Error loading file:none.bin!\n");
    EXPECT_EQ(create("full.bin", "no/x.gfw"), "-1 Writing file no/x.gfw...Error writing file:no/x.gfw!\n");
    // A full disk: the image stays "<name>.part", the earlier file survives.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{}, small{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    small = {100000, old.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);
    const std::string full_disk = create("full.bin", "old.gfw");
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(full_disk, "-1 Writing file old.gfw...Error creating file:old.gfw!\n");
    EXPECT_EQ(read_file("old.gfw"), (bytes{1, 2, 3}));
}

namespace {

class SimFw : public FwFiles {
protected:
    void SetUp() override {
        FwFiles::SetUp();
        ASSERT_TRUE(link.open());
        SIM_clear_requests(sim());
        // Counts block writes; refuses the first `refused`; Ctrl-C while write `interrupt_at` is answered.
        SIM_set_request_hook(sim(), [this](const sim_request_t& r) {
            if (r.code != R40_CODE_WRITE_EXT_FLASH) return;
            const int32_t n = ++writes;
            if (n == refused + 1) SIM_set_faults(sim(), {});
            if (n == interrupt_at) input_interrupt();
        });
    }
    void TearDown() override {
        SIM_set_request_hook(sim(), nullptr);
        input_interrupt_clear();
        FwFiles::TearDown();
    }
    sim_t* sim() { return link.sim(); }
    // Uploads "qm38v2.gfw" made read-only, as a user who may not write it
    // (root may write any file, so the upload runs with another file-system uid).
    std::string upload_read_only(int32_t block) {
        sim_settings_t st = SIM_get_settings(sim());
        st.flash_block_size = block;
        SIM_set_settings(sim(), st);
        ::chmod("qm38v2.gfw", 0444);
        writes = 0;
        SIM_clear_requests(sim());
        const int previous = ::setfsuid(65534);
        const std::string out = run(R62_cmd_upload_gfw, "\n");
        ::setfsuid(previous);
        return out;
    }

    SimLink link;
    std::atomic<int32_t> writes{0};
    int32_t refused = 0;
    int32_t interrupt_at = 0;
};

}  // namespace

TEST_F(SimFw, UploadWritesTheImageAsStoredAndVerifyReadsItBack) {
    const std::tuple<int32_t, int32_t, int32_t, int32_t> rows[] = {{1, 64, 8128, 64}, {0, 1000, 521, 192}};
    for (const auto& [scramble, block, total, last] : rows) {
        const bytes file = make_gfw("qm38v2.gfw", scramble);
        const gfw_header_t h = gfw_header_decode(file.data());
        char head[512];
        std::snprintf(head, sizeof head,
                      "0 Enter GFW file name[qm38v2.gfw]:Reading file qm38v2.gfw...Ok (size=0x7f000,flags=0x%.2x).\n"
                      "Version:1.02\nEncrypted:0x%.2x\nCalc raw checksum:0x%.8x\nCalc enc checksum:0x%.8x\n"
                      "File raw checksum:0x%.8x\nFile enc checksum:0x%.8x\nErasing external flash....Ok.\n"
                      "Writing block 1 of %d (size:%d)...Ok.\n",
                      scramble, scramble, h.raw_checksum, h.stored_checksum, h.raw_checksum, h.stored_checksum,
                      total, block);
        const std::string out = upload_read_only(block);
        EXPECT_TRUE(out.starts_with(head)) << out.substr(0, 600);
        const std::string n = std::to_string(total);
        EXPECT_TRUE(out.ends_with("Writing block " + n + " of " + n + " (size:" + std::to_string(last) + ")...Ok.\n"));
        EXPECT_EQ(SIM_get_flash(sim()), bytes(file.begin() + GFW_HEADER_SIZE, file.end()));
        const bytes final_block = SIM_requests(sim()).back().payload;
        EXPECT_EQ(writes.load(), total);
        EXPECT_EQ(final_block.size(), 2u + last);
        EXPECT_EQ(get_u16le(final_block.data(), 0), total - 1);
        EXPECT_TRUE(run(R62_cmd_verify_gfw, "\n").ends_with("Reading blocks 7169-8128 of 8128...Ok.\nVerify OK.\n"));
    }
    bytes altered = SIM_get_flash(sim());
    altered[100 * 64] ^= 1;
    altered[200 * 64 + 63] ^= 0x80;
    SIM_set_flash(sim(), altered);
    const std::string differs = run(R62_cmd_verify_gfw, "\n");
    EXPECT_TRUE(differs.starts_with("-1 ") && differs.ends_with("Reading blocks 7169-8128 of 8128...Ok.\n"
                                                                "Verify failed: 2 of 8128 blocks differ, first block 101!\n"));
}

TEST_F(SimFw, UploadRetriesEachBlockFiveTimesStopsOnCtrlCAndRefusesUnusableBlockSizes) {
    make_gfw("qm38v2.gfw", 1);
    const std::string b1 = "Writing block 1 of 521 (size:1000)...", b2 = "Writing block 2 of 521 (size:1000)...";
    const std::tuple<int32_t, int32_t, int32_t, std::string, int32_t> rows[] = {
        // refused writes, Ctrl-C at write, block size, output after the erase (its start), writes sent
        {4, 0, 1000, "Ok.\n" + b1 + "Ok.\n" + b2 + "Ok.\n", 525},
        {5, 0, 1000, "Ok.\n" + b1 + "Error!\n", 5},
        {0, 2, 1000, "Ok.\n" + b1 + "Ok.\n" + b2 + "Ok.\n", 2},
        {0, 0, 65532, "Ok.\nError,invalid block size:65532!\n", 0},  // more than a request carries
        {0, 0, 7, "Ok.\nError,invalid block size:7!\n", 0},          // 74314 blocks
    };
    for (const auto& [refuse, interrupt, block, after_erase, sent] : rows) {
        refused = refuse, interrupt_at = interrupt;
        sim_faults_t refusing;
        refusing.fail_codes[R40_CODE_WRITE_EXT_FLASH] = 1;
        if (refuse > 0) SIM_set_faults(sim(), refusing);
        const std::string out = upload_read_only(block);
        input_interrupt_clear();
        EXPECT_EQ(out.substr(out.find("flash....") + 9, after_erase.size()), after_erase) << block;
        EXPECT_EQ(out.starts_with("0 "), sent > 500);
        EXPECT_EQ(writes.load(), sent);
    }
}

TEST_F(SimFw, RefusedFilesSendNothing) {
    make_gfw("type.gfw", 1, 3);
    bytes file = make_gfw("enc.gfw", 1);
    put_u32le(file.data(), GFW_OFF_STORED_SUM, get_u32le(file.data(), GFW_OFF_STORED_SUM) ^ 1);
    write_file("enc.gfw", file);
    put_u32le(file.data(), GFW_OFF_RAW_SUM, get_u32le(file.data(), GFW_OFF_RAW_SUM) ^ 1);
    write_file("raw.gfw", file);
    const std::pair<const char*, const char*> rows[] = {
        {"type.gfw", "Reading file type.gfw...Invalid GFW file!\n"},
        {"raw.gfw", "Raw chsum wrong!\n"},
        {"enc.gfw", "Enc chsum wrong!\n"},
        {"missing.gfw", "Error loading file:missing.gfw!\n"},
    };
    for (const auto& [name, message] : rows) {
        for (menu_handler_t handler : {R62_cmd_upload_gfw, R62_cmd_verify_gfw}) {
            const std::string out = run(handler, std::string(name) + "\n");
            EXPECT_TRUE(out.starts_with("-1 ") && out.ends_with(message)) << out;
        }
    }
    EXPECT_EQ(SIM_request_count(sim(), 0), 0u);
}

TEST_F(SimFw, FlashSendsTheFlagAndRawChecksumThenDropsTheLink) {
    const gfw_header_t h = gfw_header_decode(make_gfw("qm38v2.gfw", 1).data());
    ASSERT_TRUE(upload_read_only(1000).starts_with("0 "));
    char printed[256];
    std::snprintf(printed, sizeof printed,
                  "Enter GFW file name[qm38v2.gfw]:Reading file qm38v2.gfw...Ok.\nEncrypted:0x01\n"
                  "Raw checksum:0x%.8x\nEnc checksum:0x%.8x\nStarting memory flashing process...",
                  h.raw_checksum, h.stored_checksum);
    SIM_clear_requests(sim());
    EXPECT_EQ(run(R62_cmd_flash_fw, "\n"), "0 " + std::string(printed));
    bytes order(8);
    put_u32le(order.data(), 0, 1);
    put_u32le(order.data(), 4, h.raw_checksum);
    EXPECT_EQ(SIM_requests(sim()).back().payload, order);
    EXPECT_EQ(SIM_flash_count(sim()), 1);
    EXPECT_EQ(connected.load(), 0);
}
