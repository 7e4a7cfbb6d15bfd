// Firmware image: the header and scrambling as bytes, the create dialogue and
// its files, and upload, verify and flash against the simulated instrument.
#include <gmock/gmock.h>

#include <sys/fsuid.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "commands/gfw_image.h"
#include "commands/r40_fw.h"
#include "commands/r62_fw.h"
#include "console/globals.h"
#include "records/wire.h"
#include "support/console_capture.h"
#include "support/files.h"
#include "support/frames.h"
#include "support/sim_link.h"

namespace {

using testing::EndsWith;
namespace fs = std::filesystem;

// "<stdout><stderr>=<result>" of `body` given its console input.
std::string run(const std::function<int32_t()>& body, const std::string& input = "") {
    int32_t r = 0;
    const console_capture_t cap = console_run(input, [&] { r = body(); });
    return cap.out + cap.err + "=" + std::to_string(r);
}
std::string run(menu_handler_t f, const std::string& in = "\n") { return run([&] { return f(nullptr, 0); }, in); }
// The instrument's GFW file `gfw`, version 1.2, made from `bin`.
std::string create(const char* bin, const std::string& gfw, int32_t scramble = 1, int32_t type = DEV_TYPE_R62) {
    return run([&] { return R40_create_gfw(bin, gfw.c_str(), 1, 2, scramble, "QM-38V2", 0x7F000, type); });
}

// Each test in a fresh working directory, since the defaults are plain names,
// with the 1000-byte "fw.bin" (bytes 3, 10, 17, ...). The instrument counts
// block writes, refuses the first `refused` and sees Ctrl-C while write
// `interrupt_at` is answered.
class Fw : public ::testing::Test {
protected:
    void SetUp() override {
        fs::permissions(dir_.path(), fs::perms(0755));  // uploads read as another user
        spit("fw.bin", pattern(1000, 7, 3));
        ASSERT_TRUE(link.open());
        SIM_set_request_hook(sim(), [this](const sim_request_t& r) {
            if (r.code != R40_CODE_WRITE_EXT_FLASH) return;
            if (++writes == refused + 1) SIM_set_faults(sim(), {});
            if (writes == interrupt_at) input_interrupt();
        });
    }
    sim_t* sim() { return link.sim(); }
    WorkDir dir_;
    std::atomic<int32_t> writes{0}, refused{0}, interrupt_at{0};  // outlive the link, whose hook counts here
    SimLink link;
};

}  // namespace

// Words 0x11111111, 0x22222222, 0x44444444, 0x88888888: plain XOR ffffffff;
// scrambled they change by 0, 1, 16, 81, so the stored XOR is ffffffbf.
TEST(GfwImage, HeaderAndScramblingAsBytes) {
    bytes file(GFW_HEADER_SIZE, 0xAA);
    for (uint8_t v : {0x11, 0x22, 0x44, 0x88}) file.insert(file.end(), 4, v);
    std::tm t{};
    t.tm_year = 2026 - 1900, t.tm_mon = 2, t.tm_mday = 7, t.tm_hour = 14, t.tm_min = 5, t.tm_sec = 9;
    gfw_build(file, {"QM-38V2", 10, 1, 2, true, t});
    std::string hex;
    for (uint8_t v : file) hex += {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]};
    EXPECT_EQ(hex, "5a4f5256414e494b204649524d57415245000000"  // magic
                   "514d2d33385632" + std::string(26, '0') +    // name
                   "100000000a00000002010000ffffffffbfffffff"   // length, type, version 1.2, sums
                   "0703ea0709050e0001000000"                   // date, time, flags
                   "111111112322222254444444d9888888");
}

// The BIN padded with zeros to 0x7F000 bytes; its sum 8cdc0c3c (and ef71ec3c
// scrambled, in the flashing below) is worked out apart from the code.
// Exactly 0x7F000 bytes are taken, one more refused; a create that fails
// writing leaves the earlier file.
TEST_F(Fw, CreateWritesThePaddedImageOrNothing) {
    EXPECT_EQ(run(R62_cmd_create_gfw, "fw.bin\nout.gfw\nn\n3\n7\n"),
              "Enter BIN file name[qm38v2.bin]:Enter GFW file name[qm38v2.gfw]:Encrypt file[yes]:Major version:[0]:"
              "Minor version:[0]:Reading file fw.bin...Ok.\nRaw checksum:0x8cdc0c3c\nEnc checksum:0x8cdc0c3c\n"
              "Version:3.7\nWriting file out.gfw...Ok.\n=0");
    const bytes plain = slurp("out.gfw");
    ASSERT_EQ(plain.size(), 72u + 0x7F000);
    EXPECT_EQ(bytes(plain.begin() + 72, plain.begin() + 1072), slurp("fw.bin"));
    EXPECT_EQ(bytes(plain.begin() + 1072, plain.end()), bytes(0x7F000 - 1000, 0));
    EXPECT_EQ(get_u32le(plain.data(), 48), 0x0307u) << "version";

    spit("full.bin", bytes(0x7F000, 0x5A));
    spit("over.bin", bytes(0x7F001, 0x5A));
    spit("old.gfw", {1, 2, 3});
    EXPECT_THAT(create("full.bin", "full.gfw"), EndsWith("Writing file full.gfw...Ok.\n=0"));
    EXPECT_EQ(create("over.bin", "over.gfw"), "Reading file over.bin...Error,file longer than 0x7f000!\n=-1");
    // A full disk: the image stays "<name>.part".
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small{100000, old.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);
    const std::string full_disk = create("fw.bin", "old.gfw");
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_THAT(full_disk, EndsWith("Writing file old.gfw...Error creating file:old.gfw!\n=-1"));
    EXPECT_EQ(slurp("old.gfw"), (bytes{1, 2, 3}));
}

// Refused files (wrong device type, raw or stored sum, missing) send nothing,
// neither uploaded, verified nor flashed.
// Each block has five attempts; Ctrl-C stops between blocks; a block size no
// request carries (65532) or needing over 65535 blocks (7) sends no block. A
// plain image in blocks of 1000 (the last of 192 bytes) and a scrambled one in
// 64s, read-only, are written as stored and verified; a changed flash fails
// the verify; the flashing order carries the flag and the raw sum, then the
// link ends.
TEST_F(Fw, UploadVerifyAndFlash) {
    const std::tuple<int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, std::string, int32_t> rows[] = {
        // scrambled, device type, header byte changed (-1: no file), refused writes, Ctrl-C at write,
        // block size, the output's end, requests sent
        {1, 3, 0, 0, 0, 1000, "Reading file qm38v2.gfw...Invalid GFW file!\n=-1", 0},
        {1, 10, 52, 0, 0, 1000, "Raw chsum wrong!\n=-1", 0},
        {1, 10, 56, 0, 0, 1000, "Enc chsum wrong!\n=-1", 0},
        {1, 10, -1, 0, 0, 1000, "Enter GFW file name[qm38v2.gfw]:Error loading file:qm38v2.gfw!\n=-1", 0},
        {1, 10, 0, 5, 0, 1000, "flash....Ok.\nWriting block 1 of 521 (size:1000)...Error!\n=-1", 6},
        {1, 10, 0, 0, 2, 1000, "Ok.\nWriting block 2 of 521 (size:1000)...Ok.\n=-1", 3},
        {1, 10, 0, 0, 0, 65532, "flash....Ok.\nError,invalid block size:65532!\n=-1", 1},
        {1, 10, 0, 0, 0, 7, "flash....Ok.\nError,invalid block size:7!\n=-1", 1},
        {0, 10, 0, 4, 0, 1000, "Writing block 521 of 521 (size:192)...Ok.\n=0", 526},
        {1, 10, 0, 0, 0, 64, "Writing block 8128 of 8128 (size:64)...Ok.\n=0", 8129},
    };
    for (const auto& [scramble, type, changed, refuse, interrupt, block, ending, requests] : rows) {
        create("fw.bin", "qm38v2.gfw", scramble, type);
        bytes file = slurp("qm38v2.gfw");
        if (changed > 0) file[changed] ^= 1, spit("qm38v2.gfw", file);
        ASSERT_EQ(SIM_apply_json(sim(), "{\"settings\": {\"flash_block_size\": " + std::to_string(block) + "}}", nullptr), 0);
        if (refuse > 0) SIM_set_faults(sim(), {.fail_codes = {{R40_CODE_WRITE_EXT_FLASH, 1}}, .silent_codes = {}});
        refused = refuse, interrupt_at = interrupt, writes = 0;
        SIM_clear_requests(sim());
        // Read-only, and read as a user who may not write it (root may write any file).
        fs::permissions("qm38v2.gfw", fs::perms(0444));
        if (changed < 0) fs::remove("qm38v2.gfw");
        const int uid = ::setfsuid(65534);
        EXPECT_THAT(run(R62_cmd_upload_gfw), EndsWith(ending));
        ::setfsuid(uid);
        input_interrupt_clear();
        EXPECT_EQ(SIM_request_count(sim(), 0), static_cast<size_t>(requests)) << ending;
        EXPECT_THAT(requests == 0 ? run(R62_cmd_verify_gfw) : ending, EndsWith(ending));
        // The flashing order checks the file the same way: a refused one sends nothing.
        EXPECT_THAT(requests == 0 ? run(R62_cmd_flash_fw) : ending, EndsWith(ending));
        EXPECT_EQ(SIM_request_count(sim(), 0), static_cast<size_t>(requests)) << ending;
        if (requests < 500) continue;
        EXPECT_EQ(SIM_get_flash(sim()), bytes(file.begin() + 72, file.end()));
        EXPECT_THAT(run(R62_cmd_verify_gfw), EndsWith("blocks 7169-8128 of 8128...Ok.\nVerify OK.\n=0"));
    }
    bytes flash = SIM_get_flash(sim());
    // Bit 31 of two words: blocks 101 and 201 differ, the sum stays, the flashing goes on.
    flash[100 * 64 + 3] ^= 0x80, flash[200 * 64 + 63] ^= 0x80;
    SIM_set_flash(sim(), flash);
    EXPECT_THAT(run(R62_cmd_verify_gfw), EndsWith("Verify failed: 2 of 8128 blocks differ, first block 101!\n=-1"));
    EXPECT_EQ(run(R62_cmd_flash_fw), "Enter GFW file name[qm38v2.gfw]:Reading file qm38v2.gfw...Ok.\nEncrypted:0x01\n"
                                     "Raw checksum:0x8cdc0c3c\nEnc checksum:0xef71ec3c\n"
                                     "Starting memory flashing process...=0");
    EXPECT_EQ(SIM_requests(sim()).back().payload, (bytes{1, 0, 0, 0, 0x3c, 0x0c, 0xdc, 0x8c}));
    EXPECT_EQ(connected.load(), 0);
}

// Blocks of 8 KB to an instrument that stops reading while it holds each
// answer past the time-out: a block's tries pile up in the tty (about 11.8 KB)
// until the third is cut short part-way. "Ok." for every block means the
// flash holds the image; anything less must end in "Error!".
TEST_F(Fw, UploadOverASlowTtyClaimsOnlyBlocksThatArrivedWhole) {
    ASSERT_TRUE(link.open_pty());
    bytes bin(3 * 8192);
    for (size_t i = 0; i < bin.size(); ++i) bin[i] = static_cast<uint8_t>(i * 13 + i / 8192);
    spit("big.bin", bin);
    ASSERT_THAT(run([] { return R40_create_gfw("big.bin", "big.gfw", 1, 2, 1, "QM-38V2", -1, DEV_TYPE_R62); }),
                EndsWith("=0"));
    ASSERT_EQ(SIM_apply_json(sim(), "{\"settings\": {\"flash_block_size\": 8192}}", nullptr), 0);
    // Slow for the first block's three tries and the next block's first; the
    // rest of the upload runs at full speed.
    refused = 4;
    SIM_set_faults(sim(),
                   {.delay_ms = 2500, .only_code = R40_CODE_WRITE_EXT_FLASH, .fail_codes = {}, .silent_codes = {}});
    const std::string upload = run([] { return R40_cmd_upload_gfw(nullptr, "big.gfw", DEV_TYPE_R62, -1); }, "\n");
    SIM_set_faults(sim(), {});
    // Answered only once the instrument has handled every block write before it.
    EXPECT_EQ(MXX_send_cmd(link.id(), R40_CODE_GET_SERIAL, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 5000, 1),
              0);
    if (!upload.ends_with("=0")) {
        EXPECT_THAT(upload, EndsWith("...Error!\n=-1"));
        return;
    }
    const bytes image = slurp("big.gfw");
    const bytes flash = SIM_get_flash(sim());
    ASSERT_GE(flash.size(), image.size() - 72);
    EXPECT_TRUE(std::equal(image.begin() + 72, image.end(), flash.begin())) << upload;
}
