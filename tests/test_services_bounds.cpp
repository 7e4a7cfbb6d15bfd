// Answers the instrument should never send: each service and handler keeps
// within the bytes that arrived and the caller's buffers. A scripted
// instrument on a socket pair plays the far end.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands/r62_params.h"
#include "console/globals.h"
#include "link/libcomm.h"
#include "link/mxx_comm.h"
#include "link/wire.h"
#include "services/r40_comm.h"
#include "services/r62_comm.h"
#include "support/console_capture.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes frame(uint16_t code, const bytes& payload, uint8_t status = 0) {
    bytes out(payload.size() + MXX_OVERHEAD);
    int32_t n = MXX_build_frame(out.data(), code, payload.data(), static_cast<uint16_t>(payload.size()), 0, status);
    out.resize(static_cast<size_t>(n));
    return out;
}

bytes le32(int32_t v) {
    bytes b(4);
    put_i32le(b.data(), 0, v);
    return b;
}

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const bytes kSerial = {'A', '0', '0', '0', '1', '2', '3', '4'};

// The far end: answers each request frame with what the script returns.
class ScriptedInstrument {
public:
    using script_t = std::function<bytes(uint16_t code, const bytes& payload)>;

    ScriptedInstrument() {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
            link_fd_ = sv[0];
            my_fd_ = sv[1];
        }
        MXX_rx_reset(&rx_);
    }
    ~ScriptedInstrument() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        if (my_fd_ >= 0) ::close(my_fd_);
        if (link_fd_ >= 0) ::close(link_fd_);
    }

    void set_script(script_t s) {
        std::lock_guard lock(mutex_);
        script_ = std::move(s);
    }
    int take_link_fd() {
        int fd = link_fd_;
        link_fd_ = -1;
        return fd;
    }
    void start() {
        running_ = true;
        thread_ = std::thread([this] {
            while (running_) {
                pollfd p{my_fd_, POLLIN, 0};
                if (::poll(&p, 1, 10) <= 0) continue;
                uint8_t buf[8192];
                ssize_t n = ::recv(my_fd_, buf, sizeof buf, MSG_DONTWAIT);
                if (n <= 0) break;
                MXX_rx_feed(&rx_, buf, static_cast<size_t>(n), on_frame, this);
            }
        });
    }
    size_t count(uint16_t code) {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (uint16_t c : codes_) n += c == code ? 1 : 0;
        return n;
    }

private:
    static void on_frame(const uint8_t* f, int32_t count, void* user) {
        auto* self = static_cast<ScriptedInstrument*>(user);
        uint16_t code = MXX_frame_code(f);
        bytes payload(f + MXX_HEADER_SIZE, f + count - 1);
        bytes answer;
        {
            std::lock_guard lock(self->mutex_);
            self->codes_.push_back(code);
            if (self->script_) answer = self->script_(code, payload);
        }
        for (size_t off = 0; off < answer.size();) {
            ssize_t n = ::send(self->my_fd_, answer.data() + off, answer.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }

    int link_fd_ = -1;
    int my_fd_ = -1;
    mxx_rx_t rx_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex mutex_;
    script_t script_;
    std::vector<uint16_t> codes_;
};

int32_t on_connected(int32_t, mxx_conn_t*, int32_t type, int32_t) {
    connected.store(1);
    dev_type.store(type);
    return 0;
}
int32_t on_gone(int32_t, mxx_conn_t*, int32_t) {
    connected.store(0);
    return 0;
}
int32_t usb_changed(int32_t) { return 0; }

class ScriptedLink : public ::testing::Test {
protected:
    // Opens the link with a probe check; the script answers the probe.
    void open(mxx_test_probe_t test_probe) {
        ASSERT_EQ(MXX_init(nullptr, usb_changed, 0), 0);
        inst.set_script([this](uint16_t code, const bytes& payload) {
            if (code == R40_CODE_GET_SERIAL) return frame(9007, kSerial);
            return answer ? answer(code, payload) : bytes{};
        });
        inst.start();
        char conn[COMM_ENTRY_SIZE];
        ASSERT_EQ(comm_make_conn_string_fd(conn, inst.take_link_fd()), 0);
        ASSERT_EQ(MXX_connect(conn, &id, on_connected, on_gone, on_gone, R62_probe, test_probe, 0), 0);
        ASSERT_EQ(MXX_wait_connected(id, 5000), 0);
        ASSERT_EQ(MXX_get_conn_state_id(id), COMM_STATE_CONNECTED);
        id_conn = id;
    }
    void SetUp() override { open(R62_test_probe); }
    void TearDown() override {
        MXX_shut();
        connected.store(0);
        id_conn = -1;
    }

    ScriptedInstrument inst;
    std::function<bytes(uint16_t, const bytes&)> answer;
    int32_t id = -1;
};

}  // namespace

// ---- file reads -------------------------------------------------------------

TEST_F(ScriptedLink, ReadCountAboveTheBytesThatArrivedCopiesOnlyThoseBytes) {
    answer = [](uint16_t code, const bytes&) {
        return code == R62_CODE_READ_FILE ? frame(9211, le32(100) + bytes(10, 0x5A)) : bytes{};
    };
    std::array<uint8_t, 200> buf;
    buf.fill(0xEE);
    int32_t got = -1;
    EXPECT_EQ(R62_Read_File(id, "meas/meas0001.dat", buf.data(), 0, 150, &got, 1), 0);
    EXPECT_EQ(got, 10);
    EXPECT_EQ(buf[9], 0x5A);
    EXPECT_EQ(buf[10], 0xEE);
}

TEST_F(ScriptedLink, ReadCountAboveTheWantedSizeStopsAtTheCallersBuffer) {
    answer = [](uint16_t code, const bytes&) {
        return code == R62_CODE_READ_FILE ? frame(9211, le32(50) + bytes(50, 0x5A)) : bytes{};
    };
    std::array<uint8_t, 40> buf;
    buf.fill(0xEE);
    int32_t got = -1;
    EXPECT_EQ(R62_Read_File(id, "f", buf.data(), 0, 20, &got, 1), 0);
    EXPECT_EQ(got, 20);
    EXPECT_EQ(buf[19], 0x5A);
    EXPECT_EQ(buf[20], 0xEE);
}

TEST_F(ScriptedLink, NegativeOrMissingReadCountReadsAsEndOfFile) {
    answer = [](uint16_t code, const bytes&) {
        return code == R62_CODE_READ_FILE ? frame(9211, le32(-7) + bytes(8, 0x5A)) : bytes{};
    };
    std::array<uint8_t, 16> buf;
    buf.fill(0xEE);
    int32_t got = -1;
    EXPECT_EQ(R62_Read_File(id, "f", buf.data(), 0, 16, &got, 1), 0);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(buf[0], 0xEE);

    answer = [](uint16_t code, const bytes&) { return code == R62_CODE_READ_FILE ? frame(9211, {}) : bytes{}; };
    got = -1;
    EXPECT_EQ(R62_Read_File(id, "f", buf.data(), 0, 16, &got, 1), 0);
    EXPECT_EQ(got, 0);
}

// ---- heap report --------------------------------------------------------------

TEST_F(ScriptedLink, HeapTextWithoutTerminatorEndsWithTheAnswer) {
    answer = [](uint16_t code, const bytes&) {
        return code == R62_CODE_MEMORY_USAGE ? frame(9016, le32(12345) + bytes(2044, 'x')) : bytes{};
    };
    std::vector<char> text(3000, '#');
    int32_t heap = 0;
    EXPECT_EQ(R62_Memory_Usage(id, &heap, text.data(), 2999, 1), 0);
    EXPECT_EQ(heap, 12345);
    EXPECT_EQ(std::strlen(text.data()), 2044u);
    EXPECT_EQ(text[2998], '\0');  // padded to the size
    EXPECT_EQ(text[2999], '#');   // and not beyond
}

TEST_F(ScriptedLink, HeapTextIsCutAtTheCallersSize) {
    answer = [](uint16_t code, const bytes&) {
        bytes t = {'h', 'e', 'a', 'p', ' ', 'o', 'k', 0, 'z', 'z'};
        return code == R62_CODE_MEMORY_USAGE ? frame(9016, le32(7) + t) : bytes{};
    };
    char text[8];
    std::memset(text, '#', sizeof text);
    int32_t heap = 0;
    EXPECT_EQ(R62_Memory_Usage(id, &heap, text, 4, 1), 0);
    EXPECT_EQ(std::string(text, 4), "heap");
    EXPECT_EQ(text[4], '#');
    EXPECT_EQ(R62_Memory_Usage(id, &heap, text, 8, 1), 0);
    EXPECT_EQ(std::string(text, 8), std::string("heap ok\0", 8));
}

// ---- serial buffer -------------------------------------------------------------

TEST_F(ScriptedLink, SerialBufferIsAllZeroAfterAFailedRead) {
    inst.set_script([](uint16_t code, const bytes&) {
        return code == R40_CODE_GET_SERIAL ? frame(9007, {}, 1) : bytes{};
    });
    char buf[R40_SERIAL_BUF];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(R40_get_serial(id, buf, 1), 1);
    for (char c : buf) EXPECT_EQ(c, '\0');
}

// ---- short parameter records ----------------------------------------------------

TEST_F(ScriptedLink, ShortParameterRecordIsReportedAndNeverSentBack) {
    answer = [](uint16_t code, const bytes&) {
        if (code == R62_CODE_GET_PARAMS) return frame(9201, bytes(100, 0x11));
        if (code == R62_CODE_SET_PARAMS) return frame(9202, {});
        return bytes{};
    };
    int32_t got = -1;
    std::array<uint8_t, R62_PARAMS_BUF> rec{};
    EXPECT_EQ(R62_Get_Params(id, rec.data(), 1, &got), 0);
    EXPECT_EQ(got, 100);

    int32_t r = 0;
    auto cap = console_run("", [&] { r = R62_cmd_set_memory(nullptr, 0); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.err, "Invalid parameter record (100 bytes)!\n");
    EXPECT_EQ(cap.out, "");

    cap = console_run("", [&] { r = R62_cmd_set_params(nullptr, 0); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.err, "Invalid parameter record (100 bytes)!\n");
    EXPECT_EQ(cap.out, "");  // no prompt either

    cap = console_run("", [&] { r = R62_cmd_get_params(nullptr, 0); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.err, "Invalid parameter record (100 bytes)!\n");
    EXPECT_EQ(inst.count(R62_CODE_SET_PARAMS), 0u);
}

TEST_F(ScriptedLink, EmptyParameterAnswerIsAShortRecordOfZeroBytes) {
    answer = [](uint16_t code, const bytes&) {
        return code == R62_CODE_GET_PARAMS ? frame(9201, {}) : bytes{};
    };
    int32_t r = 0;
    auto cap = console_run("", [&] { r = R62_cmd_set_memory(nullptr, 0); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.err, "Invalid parameter record (0 bytes)!\n");
    EXPECT_EQ(inst.count(R62_CODE_SET_PARAMS), 0u);
}

TEST_F(ScriptedLink, FullHeadIsEnoughToSendBack) {
    answer = [](uint16_t code, const bytes&) {
        if (code == R62_CODE_GET_PARAMS) return frame(9201, bytes(319, 0x22));
        if (code == R62_CODE_SET_PARAMS) return frame(9202, {});
        return bytes{};
    };
    int32_t r = -1;
    auto cap = console_run("", [&] { r = R62_cmd_set_memory(nullptr, 0); });
    EXPECT_EQ(r, 0) << cap.err;
    EXPECT_EQ(inst.count(R62_CODE_SET_PARAMS), 1u);
}

// ---- requests refused before anything is sent -------------------------------------

TEST_F(ScriptedLink, OversizedWritesAreRefusedWithoutTraffic) {
    std::vector<uint8_t> data(70000, 1);
    EXPECT_EQ(R62_Write_File(id, "f", FILE_OP_APPEND, data.data(), 4057, 1), COMM_ERR_ARG);
    EXPECT_EQ(R62_Write_File(id, "f", FILE_OP_APPEND, data.data(), -1, 1), COMM_ERR_ARG);
    EXPECT_EQ(R62_Write_File(id, "f", FILE_OP_APPEND, nullptr, 10, 1), COMM_ERR_ARG);
    EXPECT_EQ(R40_write_ext_flash(id, 0, data.data(), 65534, 1), COMM_ERR_ARG);
    // 2 index bytes + 65532 would pass the largest frame payload (65533).
    EXPECT_EQ(R40_write_ext_flash(id, 0, data.data(), 65532, 1), COMM_ERR_ARG);
    EXPECT_EQ(R40_write_ext_flash(id, 0, data.data(), -1, 1), COMM_ERR_ARG);
    EXPECT_EQ(inst.count(R62_CODE_WRITE_FILE), 0u);
    EXPECT_EQ(inst.count(R40_CODE_WRITE_EXT_FLASH), 0u);
}

TEST_F(ScriptedLink, LargestWritesStillGoOut) {
    answer = [](uint16_t code, const bytes&) { return frame(static_cast<uint16_t>(code + 1000), {}); };
    std::vector<uint8_t> data(R40_WRITE_MAX, 1);
    EXPECT_EQ(R62_Write_File(id, "f", FILE_OP_APPEND, data.data(), 4056, 1), 0);
    EXPECT_EQ(inst.count(R62_CODE_WRITE_FILE), 1u);
    // The largest block makes the largest frame; sent without waiting, as
    // the far end here cannot take in a frame that size.
    EXPECT_EQ(R40_write_ext_flash(id, 0, data.data(), R40_WRITE_MAX, 0), 0);
}

// ---- the probe check ------------------------------------------------------------

class ProbeTryCount : public ScriptedLink {
protected:
    // Identified by the common family's check, which leaves one try per exchange.
    void SetUp() override { open(R40_test_probe); }
};

TEST_F(ProbeTryCount, RejectedSerialStillSetsThreeTriesPerExchange) {
    // Status frames only: no exchange is ever done before its last try.
    inst.set_script([](uint16_t, const bytes&) { return frame(MXX_CODE_STATUS, {}); });
    size_t before = inst.count(R40_CODE_GET_SERIAL);
    EXPECT_EQ(R40_get_serial(id, nullptr, 1), 0);
    EXPECT_EQ(inst.count(R40_CODE_GET_SERIAL) - before, 1u);

    bytes b_serial = frame(9007, {'B', '0', '0', '0', '1', '2', '3', '4'});
    int32_t type = 0;
    EXPECT_EQ(R62_test_probe(id, b_serial.data(), &type, 0), 0);
    EXPECT_EQ(type, 10);

    before = inst.count(R40_CODE_GET_SERIAL);
    EXPECT_EQ(R40_get_serial(id, nullptr, 1), 0);
    EXPECT_EQ(inst.count(R40_CODE_GET_SERIAL) - before, 3u);
}

TEST(ProbeCheck, AcceptsOnlyASerialAnswerBeginningWithA) {
    int32_t type = 0;
    bytes a = frame(9007, kSerial);
    EXPECT_EQ(R62_test_probe(-1, a.data(), &type, 0), 1);
    EXPECT_EQ(type, 10);
    bytes lower = frame(9007, {'a', '0', '0', '0', '1', '2', '3', '4'});
    EXPECT_EQ(R62_test_probe(-1, lower.data(), &type, 0), 0);
    bytes other_code = frame(9008, kSerial);
    EXPECT_EQ(R62_test_probe(-1, other_code.data(), &type, 0), 0);
    // Without a payload there is no serial, whatever the bytes behind the header.
    bytes empty = frame(9007, {});
    empty.push_back('A');
    EXPECT_EQ(R62_test_probe(-1, empty.data(), &type, 0), 0);

    type = 0;
    bytes b = frame(9007, {'B', '0', '0', '0', '1', '2', '3', '4'});
    EXPECT_EQ(R40_test_probe(-1, b.data(), &type, 0), 1);  // the common check looks at the code only
    EXPECT_EQ(type, 3);
    EXPECT_EQ(R40_test_probe(-1, other_code.data(), &type, 0), 0);
}
