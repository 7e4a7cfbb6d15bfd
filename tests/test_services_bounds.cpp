// Answers the instrument should never send: each service and handler keeps
// within the bytes that arrived and the caller's buffers. A scripted
// instrument on a socket pair plays the far end.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "commands/r62_params.h"
#include "commands/r62_status.h"
#include "services/r40_comm.h"
#include "libcomm/libcomm.h"
#include "records/wire.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes frame(uint16_t code, const bytes& payload, uint8_t status = 0) {
    bytes out(payload.size() + MXX_OVERHEAD);
    out.resize(static_cast<size_t>(
        MXX_build_frame(out.data(), code, payload.data(), static_cast<uint16_t>(payload.size()), 0, status)));
    return out;
}

bytes le32(int32_t v, bytes tail = {}) {
    tail.insert(tail.begin(), 4, 0);
    put_i32le(tail.data(), 0, v);
    return tail;
}

const bytes kSerial = {'A', '0', '0', '0', '1', '2', '3', '4'};

// The link layer on one end of a socket pair; this fixture answers on the other.
class ScriptedLink : public ::testing::Test {
protected:
    using script_t = std::function<bytes(uint16_t code)>;

    void SetUp() override { open(R62_test_probe); }
    void TearDown() override {
        link.close();
        ::shutdown(far_, SHUT_RDWR);  // ends the answering thread's read
        if (thread_.joinable()) thread_.join();
        ::close(far_);
    }
    void open(mxx_test_probe_t test_probe) {
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        far_ = sv[1];
        MXX_rx_reset(&rx_);
        thread_ = std::thread([this] { serve(); });
        ASSERT_TRUE(link.open_fd(sv[0], 5000, R62_probe, test_probe));
        id = link.id();
    }
    // Each request is answered with what the script gives; the probe, when the script gives nothing, with
    // the instrument's serial.
    void script(script_t s) {
        std::lock_guard lock(mutex_);
        script_ = std::move(s);
    }
    size_t count(uint16_t code) {
        std::lock_guard lock(mutex_);
        return static_cast<size_t>(std::count(codes_.begin(), codes_.end(), code));
    }

    SimLink link;
    int32_t id = -1;

private:
    void serve() {
        uint8_t buf[8192];
        for (ssize_t n; (n = ::recv(far_, buf, sizeof buf, 0)) > 0;)
            MXX_rx_feed(&rx_, buf, static_cast<size_t>(n), on_frame, this);
    }
    static void on_frame(const uint8_t* f, int32_t, void* user) {
        auto* self = static_cast<ScriptedLink*>(user);
        const uint16_t code = MXX_frame_code(f);
        bytes answer;
        {
            std::lock_guard lock(self->mutex_);
            self->codes_.push_back(code);
            if (self->script_) answer = self->script_(code);
        }
        if (answer.empty() && code == R40_CODE_GET_SERIAL) answer = frame(9007, kSerial);
        ::send(self->far_, answer.data(), answer.size(), MSG_NOSIGNAL);  // blocking: all or a closed link
    }

    int far_ = -1;
    mxx_rx_t rx_;
    std::thread thread_;
    std::mutex mutex_;
    script_t script_;
    std::vector<uint16_t> codes_;
};

}  // namespace

TEST_F(ScriptedLink, ReadCountIsHeldToTheBytesThatArrivedAndTheSizeAsked) {
    const std::tuple<const char*, bytes, uint32_t, int32_t> rows[] = {
        {"count above what arrived", le32(100, bytes(10, 0x5A)), 150, 10},
        {"count above the size asked", le32(50, bytes(50, 0x5A)), 20, 20},
        {"negative count", le32(-7, bytes(8, 0x5A)), 16, 0},
        {"no count at all", {}, 16, -1},  // no answer to read: code 254, nothing stored
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

TEST_F(ScriptedLink, HeapTextEndsAtItsTerminatorTheAnswerOrTheCallersSize) {
    const bytes ok = {'h', 'e', 'a', 'p', ' ', 'o', 'k', 0, 'z'};
    const std::tuple<bytes, int32_t, std::string> rows[] = {
        {bytes(2044, 'x'), 2999, std::string(2044, 'x') + std::string(955, '\0')},  // no terminator came
        {ok, 4, "heap"},
        {ok, 8, std::string("heap ok\0", 8)},
    };
    for (const auto& [text, size, expect] : rows) {
        script([&](uint16_t code) {
            return code == R62_CODE_MEMORY_USAGE ? frame(9016, le32(123456789, text)) : bytes{};
        });
        std::vector<char> buf(static_cast<size_t>(size) + 1, '#');
        int32_t heap = 0;
        EXPECT_EQ(R62_Memory_Usage(id, &heap, buf.data(), size, 1), 0);
        EXPECT_EQ(heap, 123456789);
        EXPECT_EQ(std::string(buf.begin(), buf.end()), expect + "#") << size;  // padded, and nothing beyond
    }
}

TEST_F(ScriptedLink, SerialBufferIsAllZeroAfterAFailedRead) {
    script([](uint16_t code) { return code == R40_CODE_GET_SERIAL ? frame(9007, {}, 1) : bytes{}; });
    char buf[R40_SERIAL_BUF];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(R40_get_serial(id, buf, 1), 1);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '\0'));
}

// A fetch that fails or brings less than the settable head: reported under
// the command's name, no prompt, nothing sent back.
TEST_F(ScriptedLink, ParameterRecordShorterThanItsHeadIsReportedAndNeverSentBack) {
    const std::tuple<size_t, uint8_t, menu_handler_t, int32_t, const char*> rows[] = {
        {100, 0, R62_cmd_set_memory, -1, "Invalid parameter record (100 bytes)!\n"},
        {100, 0, R62_cmd_set_params, -1, "Invalid parameter record (100 bytes)!\n"},
        {100, 0, R62_cmd_get_params, -1, "Invalid parameter record (100 bytes)!\n"},
        {0, 0, R62_cmd_set_memory, -1, "Invalid parameter record (0 bytes)!\n"},
        {0, 1, R62_cmd_set_memory, -1, "Command R62_cmd_set_memory error(code=1)!\n"},
        {0, 1, R62_cmd_set_params, -1, "Command R62_cmd_set_params error(code=1)!\n"},
        {0, 1, R62_cmd_get_params, -1, "Command R62_cmd_get_params error(code=1)!\n"},
        {319, 0, R62_cmd_set_memory, 0, ""},  // the whole head is enough
    };
    for (const auto& [size, status, handler, result, error] : rows) {
        script([size = size, status = status](uint16_t code) {
            if (code == R62_CODE_GET_PARAMS) return frame(9201, bytes(size, 0x11), status);
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

class ProbeTryCount : public ScriptedLink {
protected:
    // Identified by the common family's check, which leaves one try per exchange.
    void SetUp() override { open(R40_test_probe); }
};

TEST_F(ProbeTryCount, RejectedSerialStillSetsThreeTriesPerExchange) {
    // Status frames only: no exchange is ever done before its last try.
    script([](uint16_t) { return frame(MXX_CODE_STATUS, {}); });
    size_t before = count(R40_CODE_GET_SERIAL);
    EXPECT_EQ(R40_get_serial(id, nullptr, 1), 0);
    EXPECT_EQ(count(R40_CODE_GET_SERIAL) - before, 1u);

    const bytes b_serial = frame(9007, {'B', '0', '0', '0', '1', '2', '3', '4'});
    int32_t type = 0;
    EXPECT_EQ(R62_test_probe(id, b_serial.data(), &type, 0), 0);
    before = count(R40_CODE_GET_SERIAL);
    EXPECT_EQ(R40_get_serial(id, nullptr, 1), 0);
    EXPECT_EQ(count(R40_CODE_GET_SERIAL) - before, 3u);
}

TEST(ProbeCheck, InstrumentTakesOnlyASerialAnswerBeginningWithA) {
    bytes empty = frame(9007, {});
    empty[MXX_HEADER_SIZE] = 'A';  // without a payload there is no serial, whatever follows the header
    const std::tuple<const char*, bytes, int32_t, int32_t> rows[] = {
        {"A serial", frame(9007, kSerial), 1, 1},
        {"B serial", frame(9007, {'B', '0', '0', '0', '1', '2', '3', '4'}), 0, 1},  // the common check: code only
        {"lower-case a", frame(9007, {'a', '0', '0', '0', '1', '2', '3', '4'}), 0, 1},
        {"other code", frame(9008, kSerial), 0, 0},
        {"no payload", empty, 0, 1},
    };
    for (const auto& [name, f, instrument, common] : rows) {
        int32_t type = 0;
        EXPECT_EQ(R62_test_probe(-1, f.data(), &type, 0), instrument) << name;
        EXPECT_EQ(type, 10) << name;
        EXPECT_EQ(R40_test_probe(-1, f.data(), &type, 0), common) << name;
        EXPECT_EQ(type, 3) << name;
    }
}
