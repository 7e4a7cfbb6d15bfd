// Every service's request as the simulated instrument receives it: code,
// payload bytes and the time-out field, for the requests the commands' tests
// do not pin already (they show what the answers fill in, too).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "services/r40_comm.h"
#include "services/r62_comm.h"
#include "support/frames.h"
#include "support/sim_link.h"

namespace {

// A file request record: the name in 32 bytes (cut, not terminated), then two words.
bytes file_record(const std::string& name, bytes param, bytes size) {
    bytes b(32, 0);
    std::memcpy(b.data(), name.data(), std::min<size_t>(32, name.size()));
    return cat({b, param, size});
}

const bytes kBlock = pattern(128, 7);
const bytes kPiece = pattern(128, 3);

}  // namespace

TEST(SimServices, EachRequestCarriesItsCodeTimeoutAndPayloadByteForByte) {
    SimLink link;
    ASSERT_TRUE(link.open());
    sim_t* const sim = link.sim();
    const int32_t id = link.id();
    SIM_clear_requests(sim);
    sim_settings_t settings = SIM_get_settings(sim);
    settings.flash_block_size = 128;
    SIM_set_settings(sim, settings);
    char text[256];
    int32_t got = 0;
    dev_time_t t{2026, 5, 14, 10, 20, 30};
    const std::string long_name = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    SIM_put_file(sim, long_name.substr(0, 32), {});  // a longer name goes as its first 32 characters
    SIM_put_file(sim, "tst/a.bin", {});
    const std::tuple<const char*, std::function<int32_t()>, uint16_t, uint16_t, bytes> rows[] = {
        {"version", [&] { return R40_get_fw_version(id, text, 1); }, 8001, 1000, {}},
        {"serial", [&] { return R40_get_serial(id, nullptr, 1); }, 8007, 100, {}},
        // Six little-endian words, 24 bytes.
        {"set time", [&] { return R40_set_time(id, &t, 1); }, 8003, 1000,
         {0xEA, 0x07, 0, 0, 5, 0, 0, 0, 14, 0, 0, 0, 10, 0, 0, 0, 20, 0, 0, 0, 30, 0, 0, 0}},
        {"erase", [&] { return R40_erase_ext_flash(id, &got, 1); }, 8100, 60000, {}},
        {"write flash", [&] { return R40_write_ext_flash(id, 3, kBlock.data(), 128, 1); }, 8102, 1000,
         cat({{0x03, 0x00}, kBlock})},
        // Refused, as the flash holds no image of that checksum; sent all the same.
        {"flash", [&] { return R40_flash_FW(id, 1, 0x12345678, 1) != 0 ? 0 : -1; }, 8103, 30000,
         {1, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}},
        {"file info", [&] { return R62_File_Info(id, long_name.c_str(), nullptr, 1); }, 8209, 800,
         file_record(long_name, bytes(4, 0), bytes(4, 0))},
        {"append", [&] { return R62_Write_File(id, "tst/a.bin", FILE_OP_APPEND, kPiece.data(), 128, 1); }, 8210,
         800, cat({file_record("tst/a.bin", {3, 0, 0, 0}, {128, 0, 0, 0}), kPiece})},
        // Exactly the 40-byte record.
        // 300000 ms does not fit the 16-bit field: its low 16 bits travel.
        {"clear logs", [&] { return R62_Clear_Logs(id, R62_CLEAR_ALL, 1); }, 8206, 37856, {0xFF, 0, 0, 0}},
        {"delete", [&] { return R62_Write_File(id, "tst/a.bin", FILE_OP_DELETE, nullptr, 0, 1); }, 8210, 800,
         file_record("tst/a.bin", {4, 0, 0, 0}, bytes(4, 0))},
    };
    for (const auto& [name, call, code, timeout, payload] : rows) {
        EXPECT_EQ(call(), 0) << name;
        ASSERT_TRUE(SIM_wait_requests(sim, code, 1, 2000)) << name;
        const auto reqs = SIM_requests(sim);
        SIM_clear_requests(sim);
        ASSERT_EQ(reqs.size(), 1u) << name;
        EXPECT_EQ(reqs[0].code, code) << name;
        EXPECT_EQ(reqs[0].timeout, timeout) << name;
        EXPECT_EQ(reqs[0].payload, payload) << name;
    }
    EXPECT_FALSE(SIM_has_file(sim, "tst/a.bin"));
}

// Each service succeeds only with the payload it requires: an answer cut or
// padded one byte past it fails with 254 and leaves the caller's buffer alone.
TEST(SimServices, AnswerWithoutTheRequiredPayloadIs254AndCopiesNothing) {
    SimLink link;
    ASSERT_TRUE(link.open());
    sim_t* const sim = link.sim();
    const int32_t id = link.id();
    SIM_put_file(sim, "tst/a", bytes(300, 0x5A));
    bytes out(4096);
    char text[256];
    int32_t got = 0;
    uint32_t word = 0;
    dev_time_t clock{};
    const std::tuple<uint16_t, int32_t, int32_t, std::function<int32_t()>> rows[] = {
        {8001, 1, 8, [&] { return R40_get_fw_version(id, text, 1); }},
        {8002, 24, 24, [&] { return R40_get_time(id, &clock, 1); }},
        {8007, 8, 8, [&] { return R40_get_serial(id, text, 1); }},
        {8008, 4, 4, [&] { return R40_get_model_rev(id, &word, 1); }},
        {8101, 64, 64, [&] { return R40_read_ext_flash(id, 0, out.data(), 1); }},
        {8203, 20, 20, [&] { return R62_Get_Status(id, out.data(), 1); }},
        {8204, 160, 160, [&] { return R62_Get_Meas_Log_Entry_List(id, 0, out.data(), 1); }},
        {8016, 4, 2048, [&] { return R62_Memory_Usage(id, &got, text, 100, 1); }},
        {8209, 4, 40, [&] { return R62_File_Info(id, "tst/a", &word, 1); }},
        {8211, 4, 4000, [&] { return R62_Read_File(id, "tst/a", out.data(), 0, 100, &got, 1); }},
        {8212, 4, 4, [&] { return R62_Measure(id, &got, 1); }},
        {8213, 1060, 1060, [&] { return R62_Get_Screen(id, out.data(), 1); }},
    };
    for (const auto& [code, least, most, call] : rows) {
        const std::pair<int32_t, int32_t> sizes[] = {{least - 1, 254}, {most + 1, 254}, {most, 0}};
        for (const auto& [size, result] : sizes) {
            sim_faults_t f;
            f.only_code = code;
            f.answer_size = size;
            SIM_set_faults(sim, f);
            std::fill(out.begin(), out.end(), 0xEE);
            EXPECT_EQ(call(), result) << code << " answer size " << size;
            if (result != 0) {
                EXPECT_EQ(out, bytes(4096, 0xEE)) << code << " answer size " << size;
            }
        }
    }
}
