// Answers the instrument should never send: each service and handler keeps
// within the bytes that arrived and the caller's buffers. A scripted
// instrument on a socket pair plays the far end.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>

#include "commands/r62_params.h"
#include "commands/r62_status.h"
#include "services/r40_comm.h"
#include "support/console_capture.h"
#include "support/link_peer.h"
#include "support/sim_link.h"

namespace {

bytes le32(int32_t v, const bytes& tail = {}) { return cat({u32(static_cast<uint32_t>(v)), tail}); }

// The link layer on one end of a socket pair; the peer answers each request
// with what the script gives, the probe (when the script gives nothing) with
// the instrument's serial.
class ScriptedLink : public ::testing::Test {
protected:
    using script_t = std::function<bytes(uint16_t code)>;

    void SetUp() override { open(R62_test_probe); }
    void TearDown() override { link.close(); }
    void open(mxx_test_probe_t test_probe) {
        peer.start([this](const bytes& request, int) {
            const uint16_t code = MXX_frame_code(request.data());
            std::lock_guard lock(mutex_);
            codes_.push_back(code);
            const bytes answer = script_ ? script_(code) : bytes{};
            return answer.empty() && code == R40_CODE_GET_SERIAL ? frame(9007, kSerial) : answer;
        });
        ASSERT_TRUE(link.open_fd(peer.take_link_end(), 5000, R62_probe, test_probe));
        id = link.id();
    }
    void script(script_t s) {
        std::lock_guard lock(mutex_);
        script_ = std::move(s);
    }
    size_t count(uint16_t code) {
        std::lock_guard lock(mutex_);
        return static_cast<size_t>(std::count(codes_.begin(), codes_.end(), code));
    }

    Peer peer;
    SimLink link;
    int32_t id = -1;

private:
    std::mutex mutex_;
    script_t script_;
    std::vector<uint16_t> codes_;
};

}  // namespace

// A count the data does not bear out is a failed read (code 254, nothing
// stored), never an end of file; one above the size asked is held to it.
TEST_F(ScriptedLink, ReadCountIsHeldToTheBytesThatArrivedAndTheSizeAsked) {
    const std::tuple<const char*, bytes, uint32_t, int32_t> rows[] = {
        {"count above what arrived", le32(100, bytes(10, 0x5A)), 150, -1},
        {"count alone", le32(512, {}), 512, -1},
        {"count above the size asked", le32(50, bytes(50, 0x5A)), 20, 20},
        {"end of file", le32(0, {}), 16, 0},
        {"negative count", le32(-7, bytes(8, 0x5A)), 16, -1},
        {"no count at all", {}, 16, -1},
    };
    for (const auto& [name, payload, size, expect] : rows) {
        script([&](uint16_t code) { return code == R62_CODE_READ_FILE ? frame(9211, payload) : bytes{}; });
        bytes buf(size, 0xEE);  // exactly the size asked: a longer copy trips the sanitizer
        int32_t got = -1;
        EXPECT_EQ(R62_Read_File(id, "f", buf.data(), 0, size, &got, 1), expect < 0 ? 254 : 0) << name;
        EXPECT_EQ(got, expect) << name;
        EXPECT_EQ(std::count(buf.begin(), buf.end(), 0x5A), std::max(expect, 0)) << name;
    }
}

// A fetch that fails or brings less than the settable head: reported under
// the command's name, no prompt, nothing sent back.
TEST_F(ScriptedLink, ParameterRecordShorterThanItsHeadIsReportedAndNeverSentBack) {
    const std::tuple<size_t, uint8_t, menu_handler_t, int32_t, const char*> rows[] = {
        {100, 0, R62_cmd_set_params, -1, "Invalid parameter record (100 bytes)!\n"},
        {0, 1, R62_cmd_set_params, -1, "Command R62_cmd_set_params error(code=1)!\n"},
        {0, 1, R62_cmd_get_params, -1, "Command R62_cmd_get_params error(code=1)!\n"},
        {319, 0, R62_cmd_set_memory, 0, ""},  // the whole head is enough
    };
    for (const auto& [size, status, handler, result, error] : rows) {
        script([size = size, status = status](uint16_t code) {
            if (code == R62_CODE_GET_PARAMS) return frame(9201, bytes(size, 0x11), 0, status);
            return code == R62_CODE_SET_PARAMS ? frame(9202, {}) : bytes{};
        });
        int32_t r = 1;
        const auto cap = console_run("", [&, handler = handler] { r = handler(nullptr, 0); });
        EXPECT_EQ(r, result) << error;
        EXPECT_EQ(cap.err, error);
        EXPECT_EQ(cap.out, "") << error;
        EXPECT_EQ(count(R62_CODE_SET_PARAMS), result == 0 ? 1u : 0u) << error;
    }
}

// Status and screen answers shorter than their records: the command fails
// and prints or saves nothing of them.
TEST_F(ScriptedLink, ShortStatusAndScreenAreFailures) {
    const std::tuple<uint16_t, size_t, menu_handler_t, const char*> rows[] = {
        {R62_CODE_GET_STATUS, 19, R62_cmd_get_status, ""},
        {R62_CODE_GET_SCREEN, 1059, R62_cmd_get_screen, "Capturing screen image..."},
    };
    for (const auto& [code, size, handler, out] : rows) {
        script([code = code, size = size](uint16_t c) { return c == code ? frame(c + 1000, bytes(size, 0xFF)) : bytes{}; });
        int32_t r = 0;
        const auto cap = console_run("\n", [&, handler = handler] { r = handler(nullptr, 0); });
        EXPECT_EQ(r, -1) << code;
        EXPECT_EQ(cap.out, out);
        EXPECT_NE(cap.err.find("error(code=254)!\n"), std::string::npos) << cap.err;
    }
    EXPECT_FALSE(std::filesystem::exists("screen.bmp"));
}

TEST_F(ScriptedLink, OversizedWritesAreRefusedWithoutTrafficTheLargestGoOut) {
    script([](uint16_t code) { return frame(static_cast<uint16_t>(code + 1000), {}); });
    std::vector<uint8_t> data(70000, 1);
    EXPECT_EQ(R62_Write_File(id, "f", FILE_OP_APPEND, data.data(), 4057, 1), COMM_ERR_ARG);
    EXPECT_EQ(R62_Write_File(id, "f", FILE_OP_APPEND, data.data(), -1, 1), COMM_ERR_ARG);
    EXPECT_EQ(R62_Write_File(id, "f", FILE_OP_APPEND, nullptr, 10, 1), COMM_ERR_ARG);
    // 2 index bytes + 65532 would pass the largest frame payload (65533).
    EXPECT_EQ(R40_write_ext_flash(id, 0, data.data(), 65532, 1), COMM_ERR_ARG);
    EXPECT_EQ(R40_write_ext_flash(id, 0, data.data(), -1, 1), COMM_ERR_ARG);
    EXPECT_EQ(count(R62_CODE_WRITE_FILE) + count(R40_CODE_WRITE_EXT_FLASH), 0u);

    EXPECT_EQ(R62_Write_File(id, "f", FILE_OP_APPEND, data.data(), 4056, 1), 0);
    EXPECT_EQ(count(R62_CODE_WRITE_FILE), 1u);
    // The largest frame, sent without waiting: this far end cannot take in a frame that size.
    EXPECT_EQ(R40_write_ext_flash(id, 0, data.data(), R40_WRITE_MAX, 0), 0);
}

