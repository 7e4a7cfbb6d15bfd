// Every service's request as the simulated instrument receives it: code,
// payload bytes and the time-out field, and what the answer fills in.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "link/wire.h"
#include "services/r40_comm.h"
#include "services/r62_comm.h"
#include "sim/sim.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes name_field(const std::string& name) {
    bytes b(32, 0);
    std::memcpy(b.data(), name.data(), std::min<size_t>(32, name.size()));
    return b;
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class SimServices : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.open());
        SIM_clear_requests(sim());
    }
    sim_t* sim() { return link.sim(); }
    int32_t id() { return link.id(); }
    // The one request logged since the last clear.
    sim_request_t only_request() {
        auto reqs = SIM_requests(sim());
        EXPECT_EQ(reqs.size(), 1u);
        SIM_clear_requests(sim());
        return reqs.empty() ? sim_request_t{} : reqs.back();
    }
    void expect_request(uint16_t code, uint16_t timeout, const bytes& payload) {
        sim_request_t r = only_request();
        EXPECT_EQ(r.code, code);
        EXPECT_EQ(r.timeout, timeout) << "code " << code;
        EXPECT_EQ(r.payload, payload) << "code " << code;
    }

    SimLink link;
};

}  // namespace

// ---- common services ------------------------------------------------------------

TEST_F(SimServices, IdentityRequestsAndAnswers) {
    SIM_set_fw_version(sim(), "V1.23abc");
    char version[16];
    std::memset(version, 0, sizeof version);
    std::memset(version, '#', 8);
    EXPECT_EQ(R40_get_fw_version(id(), version, 1), 0);
    EXPECT_STREQ(version, "V1.23abc");
    expect_request(8001, 1000, {});

    char serial[R40_SERIAL_BUF];
    std::memset(serial, '#', sizeof serial);
    EXPECT_EQ(R40_get_serial(id(), serial, 1), 0);
    EXPECT_STREQ(serial, "A0001234");
    expect_request(8007, 100, {});

    EXPECT_EQ(R40_get_serial(id(), nullptr, 1), 0);  // no buffer: answered, nothing copied
    expect_request(8007, 100, {});

    SIM_set_model(sim(), 0x12345678);
    uint32_t word = 0;
    EXPECT_EQ(R40_get_model_rev(id(), &word, 1), 0);
    EXPECT_EQ(word, 0x12345678u);
    expect_request(8008, 1000, {});

    EXPECT_EQ(R40_set_serial(id(), "A0009876", 1), 0);
    expect_request(8104, 1000, {'A', '0', '0', '0', '9', '8', '7', '6'});
    EXPECT_EQ(SIM_get_serial(sim()), "A0009876");

    EXPECT_EQ(R40_set_model_rev(id(), 0x00001103, 1), 0);
    expect_request(8105, 1000, {0x03, 0x11, 0x00, 0x00});
    EXPECT_EQ(SIM_get_model(sim()), 0x1103u);
}

TEST_F(SimServices, ClockTravelsAsSixLittleEndianWords) {
    dev_time_t t{2026, 5, 14, 10, 20, 30};
    EXPECT_EQ(R40_set_time(id(), &t, 1), 0);
    expect_request(8003, 1000,
                   {0xEA, 0x07, 0, 0, 0x05, 0, 0, 0, 0x0E, 0, 0, 0, 0x0A, 0, 0, 0, 0x14, 0, 0, 0, 0x1E, 0, 0, 0});

    dev_time_t back{};
    EXPECT_EQ(R40_get_time(id(), &back, 1), 0);
    expect_request(8002, 1000, {});
    EXPECT_EQ(back.year, 2026);
    EXPECT_EQ(back.month, 5);
    EXPECT_EQ(back.day, 14);
    EXPECT_EQ(back.hour, 10);
    EXPECT_EQ(back.minute, 20);
}

TEST_F(SimServices, ExternalFlashRequests) {
    sim_settings_t settings = SIM_get_settings(sim());
    settings.flash_block_size = 128;
    SIM_set_settings(sim(), settings);
    int32_t block_size = -1;
    EXPECT_EQ(R40_erase_ext_flash(id(), &block_size, 1), 0);
    EXPECT_EQ(block_size, 128);
    expect_request(8100, 60000, {});

    std::vector<uint8_t> data(128);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(R40_write_ext_flash(id(), 3, data.data(), 128, 1), 0);
    expect_request(8102, 1000, cat({{0x03, 0x00}, data}));

    std::array<uint8_t, 64> block{};
    EXPECT_EQ(R40_read_ext_flash(id(), 3, block.data(), 1), 0);
    expect_request(8101, 1000, {0x03, 0x00});
    // Reads come in 64-byte blocks: block 3 of 128 bytes starts at read block 6.
    EXPECT_EQ(R40_read_ext_flash(id(), 6, block.data(), 1), 0);
    expect_request(8101, 1000, {0x06, 0x00});
    EXPECT_TRUE(std::equal(block.begin(), block.end(), data.begin()));

    R40_flash_FW(id(), 1, 0x12345678, 1);
    expect_request(8103, 30000, {0x01, 0, 0, 0, 0x78, 0x56, 0x34, 0x12});
}

TEST_F(SimServices, RestartIsSentWithoutWaiting) {
    sim_settings_t s = SIM_get_settings(sim());
    s.reboot_ms = 2000;  // silent long after the call returned
    SIM_set_settings(sim(), s);
    EXPECT_EQ(R40_restart(id()), 0);
    ASSERT_TRUE(SIM_wait_requests(sim(), 8021, 1, 2000));
    expect_request(8021, 1000, {});
}

// ---- instrument services -----------------------------------------------------------

TEST_F(SimServices, ParameterRecordFetchedWholeAndSentBackAsItsHead) {
    bytes sim_params = SIM_get_params(sim());
    ASSERT_GE(sim_params.size(), 319u);
    std::array<uint8_t, R62_PARAMS_BUF> rec;
    rec.fill(0xEE);
    int32_t got = -1;
    EXPECT_EQ(R62_Get_Params(id(), rec.data(), 1), 0);  // the base form works on its own
    expect_request(8201, 800, {});
    EXPECT_EQ(R62_Get_Params(id(), rec.data(), 1, &got), 0);
    expect_request(8201, 800, {});
    EXPECT_EQ(got, static_cast<int32_t>(sim_params.size()));
    EXPECT_TRUE(std::equal(sim_params.begin(), sim_params.end(), rec.begin()));
    EXPECT_EQ(rec[sim_params.size()], 0xEE);  // nothing beyond the answer

    for (size_t i = 0; i < R62_PARAMS_BUF; ++i) rec[i] = static_cast<uint8_t>(i * 13 + 1);
    EXPECT_EQ(R62_Set_Params(id(), rec.data(), 1), 0);
    expect_request(8202, 800, bytes(rec.begin(), rec.begin() + 319));
}

TEST_F(SimServices, StatusEntryTableAndScreen) {
    std::array<uint8_t, 20> status{};
    EXPECT_EQ(R62_Get_Status(id(), status.data(), 1), 0);
    expect_request(8203, 800, {});
    EXPECT_EQ(bytes(status.begin(), status.end()), SIM_get_status(sim()));

    std::array<uint8_t, 160> list{};
    EXPECT_EQ(R62_Get_Meas_Log_Entry_List(id(), 32, list.data(), 1), 0);
    expect_request(8204, 800, {0x20, 0, 0, 0});

    std::vector<uint8_t> screen(R62_SCREEN_SIZE);
    EXPECT_EQ(R62_Get_Screen(id(), screen.data(), 1), 0);
    expect_request(8213, 800, {});
    EXPECT_EQ(screen, SIM_get_screen(sim()));
}

TEST_F(SimServices, ClearLogsCarriesItsLongTimeoutInTheLow16Bits) {
    EXPECT_EQ(R62_Clear_Logs(id(), R62_CLEAR_ALL, 1), 0);
    expect_request(8206, 37856, {0xFF, 0, 0, 0});
}

TEST_F(SimServices, HeapReport) {
    int32_t heap = 0;
    char text[256];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(R62_Memory_Usage(id(), &heap, text, sizeof text - 1, 1), 0);
    expect_request(8016, 800, {});
    EXPECT_GT(heap, 0);
    EXPECT_EQ(std::string(text).rfind("heap ", 0), 0u) << text;
    EXPECT_EQ(text[sizeof text - 2], '\0');  // padded
}

TEST_F(SimServices, StateEventMeasureRequests) {
    EXPECT_EQ(R62_Set_State(id(), 25, 1), 0);
    expect_request(8023, 800, {0x19, 0, 0, 0});
    uint32_t state = 0xFFFFFFFF;
    EXPECT_EQ(R62_Get_State(id(), &state, 1), 0);
    expect_request(8024, 800, {});
    EXPECT_EQ(state, SIM_get_state(sim()));

    R62_Send_Event(id(), 0x4001, 1);
    expect_request(8022, 800, {0x01, 0x40, 0, 0});

    int32_t first = 0, second = 0;
    EXPECT_EQ(R62_Measure(id(), &first, 1), 0);
    expect_request(8212, 800, {});
    EXPECT_EQ(R62_Measure(id(), &second, 1), 0);
    SIM_clear_requests(sim());
    EXPECT_NE(first, second);  // each call takes a new sample
}

// ---- device files -------------------------------------------------------------------

TEST_F(SimServices, FileInfoSendsTheNameRecord) {
    bytes content(1000, 0x42);
    SIM_put_file(sim(), "aux/aux0007.dat", content);
    uint32_t size = 0;
    EXPECT_EQ(R62_File_Info(id(), "aux/aux0007.dat", &size, 1), 0);
    EXPECT_EQ(size, 1000u);
    expect_request(8209, 800, cat({name_field("aux/aux0007.dat"), bytes(8, 0)}));

    EXPECT_EQ(R62_File_Info(id(), "aux/aux0007.dat", nullptr, 1), 0);  // no size output
    expect_request(8209, 800, cat({name_field("aux/aux0007.dat"), bytes(8, 0)}));

    // A 40-character name goes as its first 32, without terminator.
    std::string long_name = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    R62_File_Info(id(), long_name.c_str(), &size, 1);
    bytes expect = cat({name_field(long_name), bytes(8, 0)});
    EXPECT_EQ(expect[31], '5');
    expect_request(8209, 800, expect);
}

TEST_F(SimServices, WritingAFileMakesItsDirectoryCreatesAndAppends) {
    EXPECT_EQ(R62_Write_File(id(), "tst", FILE_OP_MKDIR, nullptr, 0, 1), 0);
    expect_request(8210, 800, cat({name_field("tst"), {1, 0, 0, 0}, {0, 0, 0, 0}}));
    EXPECT_EQ(R62_Write_File(id(), "tst/a.bin", FILE_OP_CREATE, nullptr, 0, 1), 0);
    expect_request(8210, 800, cat({name_field("tst/a.bin"), {2, 0, 0, 0}, {0, 0, 0, 0}}));
    bytes piece(128);
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<uint8_t>(255 - i);
    EXPECT_EQ(R62_Write_File(id(), "tst/a.bin", FILE_OP_APPEND, piece.data(), 128, 1), 0);
    expect_request(8210, 800, cat({name_field("tst/a.bin"), {3, 0, 0, 0}, {128, 0, 0, 0}, piece}));
    EXPECT_EQ(R62_Write_File(id(), "tst/a.bin", FILE_OP_APPEND, piece.data(), 128, 1), 0);
    SIM_clear_requests(sim());
    bytes content;
    ASSERT_TRUE(SIM_get_file(sim(), "tst/a.bin", &content));
    EXPECT_EQ(content, cat({piece, piece}));

    // Delete: exactly the 40-byte record, size 0.
    EXPECT_EQ(R62_Write_File(id(), "tst/a.bin", FILE_OP_DELETE, nullptr, 0, 1), 0);
    expect_request(8210, 800, cat({name_field("tst/a.bin"), {4, 0, 0, 0}, {0, 0, 0, 0}}));
    EXPECT_FALSE(SIM_has_file(sim(), "tst/a.bin"));
}

TEST_F(SimServices, ReadingAFileInChunksUntilACountOfZero) {
    bytes content(1000);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 31 + 7);
    SIM_put_file(sim(), "notes/rec0003.wav", content);

    std::array<uint8_t, 450> chunk{};
    int32_t got = -1;
    EXPECT_EQ(R62_Read_File(id(), "notes/rec0003.wav", chunk.data(), 900, 450, &got, 1), 0);
    expect_request(8211, 800, cat({name_field("notes/rec0003.wav"), {0x84, 0x03, 0, 0}, {0xC2, 0x01, 0, 0}}));
    EXPECT_EQ(got, 100);
    EXPECT_TRUE(std::equal(chunk.begin(), chunk.begin() + 100, content.begin() + 900));

    bytes all;
    uint32_t offset = 0;
    for (int guard = 0; guard < 10; ++guard) {
        got = -1;
        ASSERT_EQ(R62_Read_File(id(), "notes/rec0003.wav", chunk.data(), offset, 450, &got, 1), 0);
        if (got == 0) break;
        all.insert(all.end(), chunk.begin(), chunk.begin() + got);
        offset += static_cast<uint32_t>(got);
    }
    EXPECT_EQ(all, content);
    EXPECT_EQ(got, 0);  // at the end: result 0, count 0

    chunk.fill(0xEE);
    EXPECT_EQ(R62_Read_File(id(), "notes/rec0003.wav", chunk.data(), 1000, 450, nullptr, 1), 0);  // no count output
    EXPECT_EQ(chunk[0], 0xEE);
}
