// Links through the library against a pseudo-terminal, a socket pair and a
// loopback TCP listener: events, raw bytes, writes, hang-ups, slots,
// connected signalling and the link walk.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libcomm/comm_internal.h"

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using kinds_t = std::vector<uint8_t>;

// Event procedure context of one link: records every event; `action` runs
// inside the procedure and gives its return value. Ends its link when it goes.
// Read the records without the lock only once the link has ended.
struct test_link {
    int32_t id = 0;
    std::mutex mu;
    std::condition_variable cv;
    std::vector<int32_t> ids;     // the id each event came with
    kinds_t kinds;                // each event
    std::vector<int32_t> chunks;  // the length of each data event
    bytes received;
    std::function<int32_t(int32_t id, uint8_t event)> action;

    ~test_link() {
        if (id > 0) comm_disconnect(id);
    }
    static int32_t proc(int32_t id, uint8_t event, const uint8_t* data, int32_t length, void* context) {
        auto* l = static_cast<test_link*>(context);
        const int32_t result = l->action ? l->action(id, event) : 0;
        std::lock_guard lock(l->mu);
        l->ids.push_back(id);
        l->kinds.push_back(event);
        if (event == COMM_EV_DATA) {
            l->chunks.push_back(length);
            l->received.insert(l->received.end(), data, data + length);
        }
        l->cv.notify_all();
        return result;
    }
    bool wait_for(const std::function<bool()>& done) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, 5s, done);  // only reached when a test fails
    }
    bool wait_received(size_t n) {
        return wait_for([&] { return received.size() >= n; });
    }
    bool wait_closed() {
        return wait_for([&] { return !kinds.empty() && kinds.back() == COMM_EV_DISCONNECTED; });
    }
    int count(uint8_t event) const { return static_cast<int>(std::count(kinds.begin(), kinds.end(), event)); }
};

// Once the link has ended and its thread is gone: every event carried the
// link's id, the probe came first and event 3 once and last.
void expect_ended_cleanly(const test_link& l) {
    ASSERT_FALSE(l.kinds.empty());
    EXPECT_EQ(l.ids, std::vector<int32_t>(l.kinds.size(), l.id));
    EXPECT_EQ(l.kinds.front(), COMM_EV_PROBE);
    EXPECT_EQ(l.kinds.back(), COMM_EV_DISCONNECTED);
    EXPECT_EQ(l.count(COMM_EV_PROBE), 1);
    EXPECT_EQ(l.count(COMM_EV_DISCONNECTED), 1);
}

uint16_t bind_loopback(int fd) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    return ntohs(addr.sin_port);
}

enum class kind { pty, usb_pty, socket_pair, tcp };

// The device side of a link of each transport.
struct device {
    kind k;
    comm_fd end;       // what the test reads, writes and closes
    comm_fd link_end;  // pty slave or socket end, until the link has opened or taken it over
    comm_fd listener;
    std::string conn;

    explicit device(kind kd) : k(kd) {
        int fds[2] = {-1, -1};
        char text[COMM_ENTRY_SIZE] = {};
        if (k == kind::pty || k == kind::usb_pty) {
            EXPECT_EQ(openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr), 0);
            const std::string path = ttyname(fds[1]);
            conn = k == kind::pty ? "SER:115200,8,1,0,0:" + path : "USBS:" + path + "/c44";
        } else if (k == kind::socket_pair) {
            EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
            EXPECT_EQ(comm_make_conn_string_fd(text, fds[1]), 0);
        } else {
            listener.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            const uint16_t port = bind_loopback(listener.get());
            EXPECT_EQ(listen(listener.get(), 1), 0);
            EXPECT_EQ(comm_make_conn_string_net(text, "127.0.0.1", port, 1000), 0);
        }
        if (conn.empty()) conn = text;
        end.reset(fds[0]);
        link_end.reset(fds[1]);
    }
    int32_t open(test_link& l, int32_t rx_size = 4096, int32_t idle_ms = 1000) {
        const int32_t r = comm_connect(&l.id, conn.c_str(), test_link::proc, rx_size, idle_ms, &l);
        if (r == 0 && k == kind::socket_pair) link_end.release();
        link_end.reset();
        if (r == 0 && k == kind::tcp) end.reset(accept(listener.get(), nullptr, nullptr));
        return r;
    }
};

void write_all(int fd, const bytes& data) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0);
        done += static_cast<size_t>(n);
    }
}

// Reads exactly n bytes, or fewer if nothing more comes for a long while.
bytes read_n(int fd, size_t n, size_t chunk = 4096) {
    bytes out, buf(chunk);
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        const ssize_t r = read(fd, buf.data(), std::min(chunk, n - out.size()));
        if (r <= 0) break;
        out.insert(out.end(), buf.begin(), buf.begin() + r);
    }
    return out;
}

// What the library writes to the error channel during `call`.
std::string capture_stderr(const std::function<void()>& call) {
    fflush(stderr);
    char path[] = "/tmp/libcomm_stderr_XXXXXX";
    comm_fd file(mkstemp(path)), saved(dup(2));
    unlink(path);
    dup2(file.get(), 2);
    call();
    fflush(stderr);
    dup2(saved.get(), 2);
    lseek(file.get(), 0, SEEK_SET);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(file.get(), buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    return text;
}

// Every (id, context) pair of the link walk.
std::vector<std::pair<int32_t, void*>> walk() {
    std::vector<std::pair<int32_t, void*>> seen;
    int32_t it, id;
    void* context;
    comm_data_cntr_init(&it);
    while (comm_get_data(&it, &id, &context) == 1) seen.emplace_back(id, context);
    return seen;
}

bool walk_has(int32_t id, void* context) {
    const auto seen = walk();
    return std::find(seen.begin(), seen.end(), std::make_pair(id, context)) != seen.end();
}

class Transport : public ::testing::TestWithParam<kind> {};

std::string kind_name(const ::testing::TestParamInfo<kind>& info) {
    const char* names[] = {"Pty", "UsbEntryPty", "SocketPair", "Tcp"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(All, Transport, ::testing::Values(kind::pty, kind::usb_pty, kind::socket_pair, kind::tcp),
                         kind_name);

}  // namespace

TEST_P(Transport, ControlBytesPassBothWaysUnechoedThenTheDeviceGoingAwayEndsTheLinkWithEvent3Alone) {
    test_link l;
    device d(GetParam());
    ASSERT_EQ(d.open(l), 0);
    const bytes to_link = {0x0D, 0x0A, 0x03, 0x11, 0x13, 0x7F, 0x00, 0x04, 0x1A, 0x0D};
    write_all(d.end.get(), to_link);
    ASSERT_TRUE(l.wait_received(to_link.size()));
    EXPECT_EQ(l.received, to_link);
    // The first bytes the device sees are the link's own: no echo before them.
    const bytes to_device = {0x0A, 0x0D, 0x11, 0x03, 0x0D};
    ASSERT_EQ(comm_write(l.id, to_device.data(), static_cast<int32_t>(to_device.size()), 0, 1000), 0);
    EXPECT_EQ(read_n(d.end.get(), to_device.size()), to_device);

    write_all(d.end.get(), {'e', 'n', 'd'});
    // A pty hang-up discards unread input in the kernel: let the link read it first.
    if (d.k == kind::pty || d.k == kind::usb_pty) {
        ASSERT_TRUE(l.wait_received(to_link.size() + 3));
    }
    d.end.reset();
    ASSERT_TRUE(l.wait_closed());
    EXPECT_EQ(comm_get_state(l.id), COMM_STATE_NONE);
    EXPECT_EQ(comm_disconnect(l.id), COMM_ERR_NOLINK);  // it ended by itself; returns once it is gone
    expect_ended_cleanly(l);
    EXPECT_EQ(l.count(COMM_EV_CONN_ERROR), 0);
    ASSERT_EQ(l.received.size(), to_link.size() + 3);  // what was sent just before the end arrived
    EXPECT_EQ(bytes(l.received.end() - 3, l.received.end()), (bytes{'e', 'n', 'd'}));
}

TEST_P(Transport, LargeWriteArrivesWholeWhileTheDeviceReadsSlowly) {
    test_link l;
    device d(GetParam());
    ASSERT_EQ(d.open(l), 0);
    bytes data(200000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    std::atomic<int32_t> result{1};
    std::thread writer([&] { result = comm_write(l.id, data.data(), static_cast<int32_t>(data.size()), 0, 20000); });
    bytes got;
    while (got.size() < data.size()) {
        const bytes part = read_n(d.end.get(), std::min<size_t>(700, data.size() - got.size()), 700);
        if (part.empty()) break;
        got.insert(got.end(), part.begin(), part.end());
        if (got.size() % 7000 < 700) std::this_thread::sleep_for(1ms);
    }
    writer.join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(got == data) << got.size();
}

TEST(LinkEvents, DataInChunksIdleOnSilenceAndDisconnectReturnsAfterEvent3) {
    test_link l;
    device d(kind::socket_pair);
    ASSERT_EQ(d.open(l, 4, 20), 0);
    const bytes text = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    write_all(d.end.get(), text);
    ASSERT_TRUE(l.wait_received(text.size()));
    ASSERT_TRUE(l.wait_for([&] { return l.kinds.end()[-1] == COMM_EV_IDLE && l.kinds.end()[-2] == COMM_EV_IDLE; }));
    ASSERT_EQ(comm_disconnect(l.id), 0);
    expect_ended_cleanly(l);
    EXPECT_EQ(l.count(COMM_EV_CONN_ERROR), 0);
    EXPECT_EQ(l.received, text);
    EXPECT_GE(*std::min_element(l.chunks.begin(), l.chunks.end()), 1);
    EXPECT_LE(*std::max_element(l.chunks.begin(), l.chunks.end()), 4);
    uint8_t b;
    EXPECT_EQ(read(d.end.get(), &b, 1), 0);  // the link closed the descriptor it took over
}

TEST(LinkEvents, DisconnectFromTheOwnEventProcedureEndsAfterThatEvent) {
    test_link l;
    device d(kind::socket_pair);
    std::atomic<int32_t> inner{1};
    l.action = [&](int32_t id, uint8_t event) {
        if (event == COMM_EV_DATA) inner = comm_disconnect(id);
        return 0;
    };
    ASSERT_EQ(d.open(l), 0);
    write_all(d.end.get(), {'x'});
    ASSERT_TRUE(l.wait_closed());
    EXPECT_EQ(comm_disconnect(l.id), COMM_ERR_NOLINK);
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(l.kinds, (kinds_t{COMM_EV_PROBE, COMM_EV_DATA, COMM_EV_DISCONNECTED}));
}

TEST(LinkWrite, TimesOutWhenNothingIsReadAndAWaitingWriteEndsWithTheLink) {
    test_link l;
    device d(kind::socket_pair);
    ASSERT_EQ(d.open(l), 0);
    const uint8_t b = 1;
    EXPECT_EQ(comm_write(l.id, &b, 1, 1, 100), COMM_ERR_ARG);
    EXPECT_EQ(comm_write(l.id, nullptr, 1, 0, 100), COMM_ERR_ARG);
    EXPECT_EQ(comm_write(l.id, &b, -1, 0, 100), COMM_ERR_ARG);
    const bytes data(4 << 20, 0x55);
    EXPECT_EQ(comm_write(l.id, data.data(), static_cast<int32_t>(data.size()), 0, 50), COMM_ERR_TIMEOUT);
    std::atomic<int32_t> result{1};
    std::thread writer([&] { result = comm_write(l.id, data.data(), static_cast<int32_t>(data.size()), 0, 60000); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(comm_disconnect(l.id), 0);
    writer.join();
    EXPECT_EQ(result, COMM_ERR_CLOSED);
}

TEST(TcpLink, ConnectionResetRaisesEvent2InStateFailedThenEvent3) {
    test_link l;
    device d(kind::tcp);
    std::atomic<int32_t> state_at_error{-1};
    l.action = [&](int32_t id, uint8_t event) {
        if (event == COMM_EV_CONN_ERROR) state_at_error = comm_get_state(id);
        return 0;
    };
    ASSERT_EQ(d.open(l), 0);
    const linger abort_on_close{1, 0};
    ASSERT_EQ(setsockopt(d.end.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close), 0);
    d.end.reset();  // sends a reset
    ASSERT_TRUE(l.wait_closed());
    EXPECT_EQ(comm_disconnect(l.id), COMM_ERR_NOLINK);
    expect_ended_cleanly(l);
    EXPECT_EQ(l.kinds.end()[-2], COMM_EV_CONN_ERROR);
    EXPECT_EQ(state_at_error, COMM_STATE_FAILED);
    EXPECT_EQ(comm_get_state(l.id), COMM_STATE_NONE);
}

// ---------------------------------------------------------------------------

TEST(OpenFailure, UnusableDevicesFailAtOnceSayingWhy) {
    char file[] = "/tmp/libcomm_notty_XXXXXX";
    comm_fd not_tty(mkstemp(file)), not_listening(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const std::string port = std::to_string(bind_loopback(not_listening.get()));
    struct failure {
        std::string conn;
        int32_t result;
        std::string error;
    };
    std::vector<failure> cases = {
        {"SER:115200,8,1,0,0:/nonexistent/qm38-tty", COMM_ERR_OPEN,
         "Cannot open /nonexistent/qm38-tty: No such file or directory\n"},
        {std::string("SER:115200,8,1,0,0:") + file, COMM_ERR_OPEN,
         std::string("Cannot set up ") + file + " as a serial port: Inappropriate ioctl for device\n"},
        {"FD:999999", COMM_ERR_OPEN, "Cannot open FD:999999: Bad file descriptor\n"},
        {"TCP:1000:127.0.0.1:" + port, COMM_ERR_OPEN,
         "Cannot connect to 127.0.0.1 port " + port + ": Connection refused\n"},
    };
    if (!comm_bt_is_available()) {
        cases.push_back({"BT:1,60000,7316:00:1A:7D:DA:71:13", COMM_ERR_UNSUPPORTED,
                         "Cannot open Bluetooth link to 00:1A:7D:DA:71:13: no Bluetooth adapter\n"});
    }
    for (const auto& c : cases) {
        test_link l;
        int32_t r = 0;
        EXPECT_EQ(capture_stderr([&] { r = comm_connect(&l.id, c.conn.c_str(), test_link::proc, 4096, 200, &l); }),
                  c.error);
        EXPECT_EQ(r, c.result) << c.conn;
        EXPECT_TRUE(l.kinds.empty());
        EXPECT_EQ(l.id, 0);
    }
    unlink(file);
}

TEST(OpenFailure, PermissionDeniedPointsAtDialoutAndTheUdevRule) {
    const std::string err = capture_stderr([] { comm_report_open_error("/dev/ttyACM0", EACCES); });
    EXPECT_EQ(err.rfind("Cannot open /dev/ttyACM0: Permission denied\n", 0), 0u) << err;
    EXPECT_NE(err.find("'dialout' group"), std::string::npos);
    EXPECT_NE(err.find("sudo cp udev/99-qm38.rules /etc/udev/rules.d/ && sudo udevadm control --reload-rules && "
                       "sudo udevadm trigger"),
              std::string::npos);
}

TEST(OpenFailure, MalformedStringsAndArgumentsAreRejected) {
    const char* bad[] = {
        "SER", "XYZ:1", "SER:115200,8,1,0,0:", "SER:115200,8,1,0:/dev/ttyS0", "SER:115201,8,1,0,0:/dev/ttyS0",
        "SER:115200,9,1,0,0:/dev/ttyS0", "SER:115200,8,3,0,0:/dev/ttyS0", "SER:115200,8,1,5,0:/dev/ttyS0",
        "SER:abc,8,1,0,0:/dev/ttyS0", "TCP:1000:127.0.0.1", "TCP:1000::5000", "TCP:x:127.0.0.1:5000",
        "TCP:1000:127.0.0.1:0", "TCP:1000:127.0.0.1:70000", "FD:", "FD:-1", "FD:7x", "USBS:/dev/ttyACM0",
        "USBS:/dev/ttyACM0/", "USBS:/dev/ttyACM0/xyz", "BT:1,60000,7316:AA:BB:CC", "BT:0,60000,7316:AA:BB:CC:DD:EE:FF",
        "BT:1,60000,7316:AA:BB:CC:DD:EE:FG", "BT:1,60000,7316:AA:BB:CC:DD:EE:FFX",
    };
    test_link l;
    for (const char* conn : bad) {
        int32_t r = 0;
        EXPECT_EQ(capture_stderr([&] { r = comm_connect(&l.id, conn, test_link::proc, 4096, 200, &l); }),
                  std::string("Invalid connection string \"") + conn + "\"\n");
        EXPECT_EQ(r, COMM_ERR_ARG) << conn;
    }
    EXPECT_EQ(comm_connect(&l.id, "", test_link::proc, 4096, 200, &l), COMM_ERR_ARG);
    EXPECT_EQ(comm_connect(&l.id, nullptr, test_link::proc, 4096, 200, &l), COMM_ERR_ARG);
    EXPECT_EQ(comm_connect(nullptr, "FD:0", test_link::proc, 4096, 200, &l), COMM_ERR_ARG);
    EXPECT_EQ(comm_connect(&l.id, "FD:0", nullptr, 4096, 200, &l), COMM_ERR_ARG);
    EXPECT_EQ(comm_connect(&l.id, "FD:0", test_link::proc, 0, 200, &l), COMM_ERR_ARG);
    EXPECT_EQ(comm_connect(&l.id, "FD:0", test_link::proc, 4096, 0, &l), COMM_ERR_ARG);
    EXPECT_EQ(l.id, 0);
    EXPECT_TRUE(l.kinds.empty());
}

TEST(UnknownIds, AreRefusedEverywhere) {
    const int32_t none = 987654;
    int32_t l1 = -1, l2 = -1, l3 = -1;
    uint8_t buf[4] = {};
    EXPECT_EQ(comm_disconnect(none), COMM_ERR_NOLINK);
    EXPECT_EQ(comm_get_state(none), COMM_STATE_NONE);
    EXPECT_EQ(comm_wait_response(none, &l1, &l2, &l3, 10), COMM_ERR_NOLINK);
    EXPECT_EQ(l1 + l2 + l3, 0);
    EXPECT_EQ(comm_fill_rsp_buff(none, 9007, buf, 4), COMM_ERR_NOLINK);
    EXPECT_EQ(comm_hook_response(none, 1, buf, 1, 2, buf, 1, 3, buf, 1), COMM_ERR_NOLINK);
    EXPECT_EQ(comm_unhook_response(none), COMM_ERR_NOLINK);
    EXPECT_EQ(comm_signal_connected(none), COMM_ERR_NOLINK);
}

// ---------------------------------------------------------------------------

// Slot 1 takes code 9007 (capacity 21), slot 2 code 12290 (16), slot 3 code 12289 (8).
class Slots : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(d.open(l), 0);
        memset(buf1, 0xEE, sizeof buf1);
        memset(buf2, 0xEE, sizeof buf2);
        memset(buf3, 0xEE, sizeof buf3);
        ASSERT_EQ(comm_hook_response(l.id, 9007, buf1, 21, 12290, buf2, 16, 12289, buf3, 8), 0);
    }
    int32_t fill(uint16_t code, const bytes& frame) {
        return comm_fill_rsp_buff(l.id, code, frame.data(), static_cast<int32_t>(frame.size()));
    }
    // Waits and gives the result and the three counts.
    std::vector<int32_t> wait(int32_t timeout_ms) {
        int32_t l1 = -1, l2 = -1, l3 = -1;
        const int32_t r = comm_wait_response(l.id, &l1, &l2, &l3, timeout_ms);
        return {r, l1, l2, l3};
    }
    test_link l;
    device d{kind::socket_pair};
    uint8_t buf1[32], buf2[16], buf3[8];
    const bytes answer = {0x42, 0x52, 0x4E, 0x4F, 0x2F, 0x23, 0x09, 0x00, 0x00, 0x00, 0x00,
                          0x14, 0x41, 0x30, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34, 0x75};
    using counts = std::vector<int32_t>;
};

TEST_F(Slots, Slot1OrSlot2FrameWakesTheWaitWithItsLength) {
    const std::pair<uint16_t, counts> cases[] = {{9007, {0, 21, 0, 0}}, {12290, {0, 0, 13, 0}}};
    for (const auto& [code, expected] : cases) {
        auto waiter = std::async(std::launch::async, [&] { return wait(30000); });
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(fill(code, code == 9007 ? answer : bytes(13, 0x02)), 1);
        ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready) << code;  // woken, not timed out
        EXPECT_EQ(waiter.get(), expected) << code;
    }
    EXPECT_EQ(bytes(buf1, buf1 + 21), answer);
    EXPECT_EQ(buf1[21], 0xEE);
}

TEST_F(Slots, StatusAloneIsReportedAtTheTimeOutCountsAreConsumedAndAReportedSlotIsHeldUntilTheNextWrite) {
    EXPECT_EQ(fill(12289, bytes(5, 0x03)), 1);
    EXPECT_EQ(fill(9007, answer), 1);
    EXPECT_EQ(wait(10000), (counts{0, 21, 0, 5}));
    EXPECT_EQ(wait(20), (counts{COMM_ERR_TIMEOUT, 0, 0, 0}));
    EXPECT_EQ(fill(12289, bytes(8, 0x03)), 1);
    EXPECT_EQ(wait(20), (counts{COMM_ERR_TIMEOUT, 0, 0, 8}));
    // The caller is reading buf3 now: a late duplicate must not overwrite it.
    EXPECT_EQ(fill(12289, bytes(8, 0x04)), 0);
    EXPECT_EQ(bytes(buf3, buf3 + 8), bytes(8, 0x03));
    // The next try's write releases it; what arrives before its wait is reported.
    const uint8_t request = 0x42;
    ASSERT_EQ(comm_write(l.id, &request, 1, 0, 1000), 0);
    EXPECT_EQ(fill(12289, bytes(6, 0x05)), 1);
    EXPECT_EQ(wait(20), (counts{COMM_ERR_TIMEOUT, 0, 0, 6}));
    EXPECT_EQ(bytes(buf3, buf3 + 6), bytes(6, 0x05));
}

TEST_F(Slots, FramesTooLongOfOtherCodesOrForUnhookedSlotsAreNeverCopied) {
    EXPECT_EQ(fill(12289, bytes(9, 0x03)), 0);
    EXPECT_EQ(fill(9007, bytes(22, 0x01)), 0);
    EXPECT_EQ(fill(9008, answer), 0);
    EXPECT_EQ(wait(20), (counts{COMM_ERR_TIMEOUT, 0, 0, 0}));
    EXPECT_EQ(comm_unhook_response(l.id), 0);
    EXPECT_EQ(fill(9007, answer), 0);
    EXPECT_EQ(bytes(buf1, buf1 + 32), bytes(32, 0xEE));
    EXPECT_EQ(bytes(buf3, buf3 + 8), bytes(8, 0xEE));
}

// Whatever the slots held from an earlier exchange, arming starts them empty.
TEST_F(Slots, ArmingEmptiesTheSlots) {
    EXPECT_EQ(fill(9007, answer), 1);
    EXPECT_EQ(fill(12290, bytes(13, 0x02)), 1);
    EXPECT_EQ(fill(12289, bytes(8, 0x03)), 1);
    ASSERT_EQ(comm_hook_response(l.id, 9007, buf1, 21, 12290, buf2, 16, 12289, buf3, 8), 0);
    EXPECT_EQ(wait(20), (counts{COMM_ERR_TIMEOUT, 0, 0, 0}));
}

TEST_F(Slots, WaitReturnsWhenTheLinkEnds) {
    counts got;
    std::thread waiter([&] { got = wait(60000); });
    std::this_thread::sleep_for(20ms);
    d.end.reset();
    waiter.join();
    EXPECT_EQ(got, (counts{COMM_ERR_CLOSED, 0, 0, 0}));
}

// ---------------------------------------------------------------------------

// Signalled inside the event procedure, the state the waiter sees depends on
// what the procedure returns; the waiter wakes only once it has returned.
TEST(ConnectedSignal, InsideTheEventProcedureMinusOneGivesState3ElseState2) {
    const struct {
        uint8_t event;
        int32_t result, state;
    } cases[] = {{COMM_EV_IDLE, -1, COMM_STATE_GAVE_UP}, {COMM_EV_DATA, 0, COMM_STATE_CONNECTED}};
    for (const auto& c : cases) {
        test_link l;
        device d(kind::socket_pair);
        l.action = [&](int32_t id, uint8_t event) {
            if (event != c.event) return 0;
            comm_signal_connected(id);
            std::this_thread::sleep_for(30ms);  // a waiter woken too early would see state 1 now
            return c.result;
        };
        ASSERT_EQ(d.open(l, 4096, c.event == COMM_EV_IDLE ? 10 : 1000), 0);
        if (c.event == COMM_EV_DATA) {
            EXPECT_EQ(comm_get_state(l.id), COMM_STATE_OPENING);
            write_all(d.end.get(), {0x42});
        }
        EXPECT_EQ(comm_wait_connected(l.id, 10000), 0);
        EXPECT_EQ(comm_get_state(l.id), c.state);
    }
}

TEST(ConnectedSignal, WaitFailsOnTimeOutOrWhenTheLinkEndsFirst) {
    test_link l;
    device d(kind::socket_pair);
    ASSERT_EQ(d.open(l), 0);
    EXPECT_EQ(comm_wait_connected(l.id, 10), COMM_ERR_TIMEOUT);
    std::thread closer([&] {
        std::this_thread::sleep_for(20ms);
        d.end.reset();
    });
    EXPECT_EQ(comm_wait_connected(l.id, 60000), COMM_ERR_CLOSED);
    closer.join();
    EXPECT_EQ(comm_get_state(l.id), COMM_STATE_NONE);
}

TEST(Links, IdsAreNeverReusedTheWalkDropsALinkBeforeItsEvent3AndShutEndsTheRest) {
    test_link a, b, c;
    device da(kind::socket_pair), db(kind::socket_pair), dc(kind::socket_pair);
    std::atomic<int> listed_at_close{-1};
    a.action = [&](int32_t id, uint8_t event) {
        if (event == COMM_EV_DISCONNECTED) listed_at_close = walk_has(id, &a);
        return 0;
    };
    ASSERT_EQ(da.open(a), 0);
    ASSERT_EQ(db.open(b), 0);
    EXPECT_TRUE(walk_has(a.id, &a));
    EXPECT_TRUE(walk_has(b.id, &b));
    ASSERT_EQ(comm_disconnect(a.id), 0);
    EXPECT_EQ(listed_at_close, 0);
    EXPECT_FALSE(walk_has(a.id, &a));
    EXPECT_TRUE(walk_has(b.id, &b));
    ASSERT_EQ(dc.open(c), 0);
    EXPECT_GT(a.id, 0);
    EXPECT_LT(a.id, b.id);
    EXPECT_LT(b.id, c.id);
    EXPECT_EQ(comm_shut(), 0);
    expect_ended_cleanly(b);
    expect_ended_cleanly(c);
    EXPECT_EQ(comm_get_state(c.id), COMM_STATE_NONE);
    EXPECT_EQ(comm_init(), 0);
}
