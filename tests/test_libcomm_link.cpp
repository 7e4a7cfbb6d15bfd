// Links through the library against a pseudo-terminal (as a serial port and
// as a USB entry) and a socket pair: events, raw bytes, hang-ups, open
// failures, slots and the link walk. The link layer's exchanges use the slots and the connected
// signal too; here what they cannot reach.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "libcomm/comm_internal.h"
#include "support/console_capture.h"
#include "support/frames.h"

namespace {

using namespace std::chrono_literals;
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
        if (event == COMM_EV_DATA) l->received.insert(l->received.end(), data, data + length);
        l->cv.notify_all();
        return result;
    }
    bool wait_for(const std::function<bool()>& done) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, 5s, done);  // only reached when a test fails
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

enum class kind { pty, usb_pty, socket_pair };

// The device side of a link of each transport.
struct device {
    kind k;
    comm_fd end;       // what the test reads, writes and closes
    comm_fd link_end;  // pty slave or socket end, until the link has opened or taken it over
    std::string conn;

    explicit device(kind kd) : k(kd) {
        int fds[2] = {-1, -1};
        char text[COMM_ENTRY_SIZE] = {};
        if (k == kind::pty || k == kind::usb_pty) {
            EXPECT_EQ(openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr), 0);
            const std::string path = ttyname(fds[1]);
            conn = k == kind::pty ? "SER:115200,8,1,0,0:" + path : "USBS:" + path + "/c44";
        } else {
            EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
            EXPECT_EQ(comm_make_conn_string_fd(text, fds[1]), 0);
        }
        if (conn.empty()) conn = text;
        end.reset(fds[0]);
        link_end.reset(fds[1]);
    }
    int32_t open(test_link& l, int32_t rx_size = 4096, int32_t idle_ms = 1000) {
        const int32_t r = comm_connect(&l.id, conn.c_str(), test_link::proc, rx_size, idle_ms, &l);
        if (r == 0 && k == kind::socket_pair) link_end.release();
        link_end.reset();
        return r;
    }
    void write(const bytes& data) { ASSERT_EQ(::write(end.get(), data.data(), data.size()), ssize_t(data.size())); }
    // Exactly n bytes, or fewer if nothing more comes for a long while.
    bytes read(size_t n) {
        bytes out(n);
        size_t got = 0;
        for (pollfd p{end.get(), POLLIN, 0}; got < n && poll(&p, 1, 5000) > 0;) {
            const ssize_t r = ::read(end.get(), out.data() + got, n - got);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return out;
    }
};

// True when the link walk lists `id` with `context`.
bool walk_has(int32_t id, void* context) {
    int32_t it, walked;
    void* c;
    comm_data_cntr_init(&it);
    while (comm_get_data(&it, &walked, &c) == 1)
        if (walked == id && c == context) return true;
    return false;
}

class Transport : public ::testing::TestWithParam<kind> {};
const char* const kKindNames[] = {"Pty", "UsbEntryPty", "SocketPair"};
INSTANTIATE_TEST_SUITE_P(All, Transport, ::testing::Values(kind::pty, kind::usb_pty, kind::socket_pair),
                         [](const auto& info) { return std::string(kKindNames[info.index]); });

}  // namespace

TEST_P(Transport, ControlBytesPassBothWaysUnechoedThenTheDeviceGoingAwayEndsTheLinkWithEvent3Alone) {
    test_link l;
    device d(GetParam());
    ASSERT_EQ(d.open(l), 0);
    const bytes to_link = {0x0D, 0x0A, 0x03, 0x11, 0x13, 0x7F, 0x00, 0x04, 0x1A, 0x0D, 'e', 'n', 'd'};
    d.write(to_link);
    // A pty hang-up discards unread input in the kernel: let the link read it first.
    ASSERT_TRUE(l.wait_for([&] { return l.received.size() >= to_link.size(); }));
    // The first bytes the device sees are the link's own: no echo before them.
    const bytes to_device = {0x0A, 0x0D, 0x11, 0x03, 0x0D};
    ASSERT_EQ(comm_write(l.id, to_device.data(), static_cast<int32_t>(to_device.size()), 0, 1000), 0);
    EXPECT_EQ(d.read(to_device.size()), to_device);
    d.end.reset();
    ASSERT_TRUE(l.wait_for([&] { return !l.kinds.empty() && l.kinds.back() == COMM_EV_DISCONNECTED; }));
    EXPECT_EQ(comm_get_state(l.id), COMM_STATE_NONE);
    EXPECT_EQ(comm_disconnect(l.id), COMM_ERR_NOLINK);  // it ended by itself; returns once it is gone
    expect_ended_cleanly(l);
    EXPECT_EQ(l.count(COMM_EV_CONN_ERROR), 0);
    EXPECT_EQ(l.received, to_link);
}

TEST(OpenFailure, UnusableDevicesAndMalformedStringsFailAtOnceSayingWhy) {
    char file[] = "/tmp/libcomm_notty_XXXXXX";
    comm_fd not_tty(mkstemp(file));
    std::vector<std::tuple<std::string, int32_t, std::string>> cases = {
        {"SER:115200,8,1,0,0:/nonexistent/qm38-tty", COMM_ERR_OPEN,
         "Cannot open /nonexistent/qm38-tty: No such file or directory\n"},
        {std::string("SER:115200,8,1,0,0:") + file, COMM_ERR_OPEN,
         std::string("Cannot set up ") + file + " as a serial port: Inappropriate ioctl for device\n"},
    };
    // The three USB prefixes name one transport.
    for (const char* prefix : {"USBF", "USBS", "USBU"})
        cases.emplace_back(std::string(prefix) + ":/nonexistent/qm38-tty/c44", COMM_ERR_OPEN,
                           "Cannot open /nonexistent/qm38-tty: No such file or directory\n");
    for (const char* bad : {"SER", "XYZ:1", "USBX:/dev/ttyACM0/c44", "SER:115200,8,1,0:/dev/ttyS0", "SER:115201,8,1,0,0:/dev/ttyS0",
                            "SER:115200,8,1,5,0:/dev/ttyS0", "TCP:1000::5000", "TCP:1000:127.0.0.1:70000", "FD:7x",
                            "USBS:/dev/ttyACM0/xyz", "BT:1,60000,7316:AA:BB:CC", "BT:1,60000,7316:AA:BB:CC:DD:EE:FG"})
        cases.emplace_back(bad, COMM_ERR_ARG, std::string("Invalid connection string \"") + bad + "\"\n");
    for (const auto& [conn, result, error] : cases) {
        test_link l;
        int32_t r = 0;
        EXPECT_EQ(console_run("", [&] { r = comm_connect(&l.id, conn.c_str(), test_link::proc, 4096, 200, &l); }).err,
                  error);
        EXPECT_EQ(r, result) << conn;
        EXPECT_TRUE(l.kinds.empty());
        EXPECT_EQ(l.id, 0);
    }
    unlink(file);
    // One line each, naming the path, the reason and the way out.
    EXPECT_EQ(console_run("", [] { comm_report_open_error("/dev/ttyACM0", EACCES); }).err,
              "Cannot open /dev/ttyACM0: Permission denied (add your user to the 'dialout' group and log in "
              "again, or install udev/60-qm38.rules, see README)\n");
    EXPECT_EQ(console_run("", [] { comm_report_open_error("/dev/ttyUSB0", EBUSY); }).err,
              "Cannot open /dev/ttyUSB0: the port is in use by another program\n");
}

// A serial port is the link's alone while it is open (lock and TIOCEXCL),
// and free again once the link has ended, also for a pty someone else keeps
// open (the simulator does).
TEST(Exclusive, ASecondOpenIsRefusedUntilTheLinkEndsAndTheTtyIsLeftShareable) {
    device d(kind::pty);
    const std::string path = d.conn.substr(d.conn.rfind(':') + 1);
    comm_fd kept(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(kept.valid());
    test_link first, second;
    ASSERT_EQ(d.open(first), 0);
    int exclusive = 0;
    ASSERT_EQ(ioctl(kept.get(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    int32_t r = 0;
    EXPECT_EQ(console_run("", [&] { r = comm_connect(&second.id, d.conn.c_str(), test_link::proc, 4096, 1000, &second); })
                  .err,
              "Cannot open " + path + ": the port is in use by another program\n");
    EXPECT_EQ(r, COMM_ERR_OPEN);
    EXPECT_TRUE(second.kinds.empty());
    ASSERT_EQ(comm_disconnect(first.id), 0);
    first.id = 0;
    ASSERT_EQ(ioctl(kept.get(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(flock(kept.get(), LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(flock(kept.get(), LOCK_UN), 0);
    ASSERT_EQ(comm_connect(&second.id, d.conn.c_str(), test_link::proc, 4096, 1000, &second), 0);
}

// Slot 1 takes code 9007 (capacity 21), slot 3 code 12289 (8): a response
// wakes the wait, a status alone is reported at the time-out, counts are
// consumed, and a reported slot is held (the caller is reading it) until the
// next write.
// A link over a socket pair whose response slots the test fills itself.
class Slots : public ::testing::Test {
protected:
    using counts = std::vector<int32_t>;
    void SetUp() override { ASSERT_EQ(d.open(l), 0); }
    int32_t fill(uint16_t code, const bytes& f) {
        return comm_fill_rsp_buff(l.id, code, f.data(), static_cast<int32_t>(f.size()));
    }
    // The result and the three slot counts.
    counts wait(int32_t timeout_ms) {
        int32_t c1 = -1, c2 = -1, c3 = -1;
        const int32_t r = comm_wait_response(l.id, &c1, &c2, &c3, timeout_ms);
        return counts{r, c1, c2, c3};
    }
    test_link l;
    device d{kind::socket_pair};
};

TEST_F(Slots, ResponseWakesStatusWaitsAReportedSlotIsHeldUntilTheNextWrite) {
    uint8_t buf1[32], buf3[8];
    std::memset(buf1, 0xEE, sizeof buf1);
    ASSERT_EQ(comm_hook_response(l.id, 9007, buf1, 21, 12290, nullptr, 0, 12289, buf3, 8), 0);
    const bytes answer(21, 0x41);
    auto woken = std::async(std::launch::async, [&] { return wait(30000); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(fill(12289, bytes(5, 0x03)), 1);
    std::this_thread::sleep_for(20ms);  // a status alone must not end the wait
    EXPECT_EQ(fill(9007, bytes(22, 0x01)), 0);  // too long for the slot
    EXPECT_EQ(fill(9008, answer), 0);
    EXPECT_EQ(fill(9007, answer), 1);
    ASSERT_EQ(woken.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(woken.get(), (counts{0, 21, 0, 5}));
    EXPECT_EQ(bytes(buf1, buf1 + 22), cat({answer, {0xEE}}));
    EXPECT_EQ(wait(20), (counts{COMM_ERR_TIMEOUT, 0, 0, 0}));
    EXPECT_EQ(fill(12289, bytes(8, 0x03)), 1);
    EXPECT_EQ(wait(20), (counts{COMM_ERR_TIMEOUT, 0, 0, 8}));
    EXPECT_EQ(fill(12289, bytes(8, 0x04)), 0);
    EXPECT_EQ(bytes(buf3, buf3 + 8), bytes(8, 0x03));
    const uint8_t request = 0x42;
    ASSERT_EQ(comm_write(l.id, &request, 1, 0, 1000), 0);
    EXPECT_EQ(fill(12289, bytes(6, 0x05)), 1);
    EXPECT_EQ(wait(20), (counts{COMM_ERR_TIMEOUT, 0, 0, 6}));
    EXPECT_EQ(comm_unhook_response(l.id), 0);
    EXPECT_EQ(fill(9007, answer), 0);
    // Whatever the slots held from an earlier exchange, arming starts them empty.
    uint8_t buf2[16];
    ASSERT_EQ(comm_hook_response(l.id, 9007, buf1, 21, 12290, buf2, 16, 12289, buf3, 8), 0);
    EXPECT_EQ(fill(9007, answer), 1);
    EXPECT_EQ(fill(12290, bytes(13, 0x02)), 1);
    EXPECT_EQ(fill(12289, bytes(8, 0x03)), 1);
    ASSERT_EQ(comm_hook_response(l.id, 9007, buf1, 21, 12290, buf2, 16, 12289, buf3, 8), 0);
    EXPECT_EQ(wait(20), (counts{COMM_ERR_TIMEOUT, 0, 0, 0}));
}

// The wait check: turning non-zero ends a long wait with the slots reported
// (and a connection wait);
// an answer that is there wins; a check already non-zero when the wait
// starts leaves it its full time.
std::atomic<int32_t> g_stop{0};
std::atomic<int32_t> g_starts{0};
int32_t test_check(int32_t starting) {
    if (starting != 0) g_starts++;
    return g_stop.load();
}

TEST_F(Slots, TheWaitCheckEndsAWaitThatBeganBeforeTheStop) {
    uint8_t buf1[32], buf3[8];
    ASSERT_EQ(comm_hook_response(l.id, 9007, buf1, 32, 12290, nullptr, 0, 12289, buf3, 8), 0);
    ASSERT_EQ(comm_set_wait_check(test_check), 0);
    g_stop = 0;
    auto stopped = std::async(std::launch::async, [&] { return wait(300000); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(fill(12289, bytes(5, 3)), 1);
    g_stop = 1;
    ASSERT_EQ(stopped.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(stopped.get(), (counts{COMM_ERR_INTERRUPTED, 0, 0, 5}));

    EXPECT_EQ(fill(9007, bytes(13, 1)), 1);
    EXPECT_EQ(wait(300000), (counts{0, 13, 0, 0}));
    EXPECT_EQ(wait(60), (counts{COMM_ERR_TIMEOUT, 0, 0, 0}));
    EXPECT_EQ(g_starts.load(), 3);

    // The connection wait (the dialogue's identification) ends the same way.
    g_stop = 0;
    auto identifying = std::async(std::launch::async, [&] { return comm_wait_connected(l.id, 300000); });
    std::this_thread::sleep_for(20ms);
    g_stop = 1;
    ASSERT_EQ(identifying.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(identifying.get(), COMM_ERR_INTERRUPTED);
    ASSERT_EQ(comm_set_wait_check(nullptr), 0);
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
    EXPECT_EQ(comm_init(), 0);
}

// Writes of 1 MB, far more than any of these links holds, while the device
// reads nothing: each runs out of time part-way. A frame begun goes out whole
// before any other byte, and its retry finishes it instead of starting it
// again, so the device reads exactly the frames written, each once.
TEST_P(Transport, AWriteCutShortByItsTimeOutIsFinishedBeforeAnythingElseAndNeverRestarted) {
    test_link l;
    device d(GetParam());
    ASSERT_EQ(d.open(l), 0);
    auto frame = [](uint8_t seed, size_t n) {
        bytes f(n);
        for (size_t i = 0; i < n; ++i) f[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
        return f;
    };
    const bytes a = frame(1, 1 << 20), b = frame(2, 300), c = frame(3, 1 << 20);
    auto write = [&](const bytes& f, int32_t timeout_ms) {
        return comm_write(l.id, f.data(), static_cast<int32_t>(f.size()), 0, timeout_ms);
    };
    // A, cut short; B must wait behind it.
    EXPECT_EQ(write(a, 50), COMM_ERR_TIMEOUT);
    EXPECT_EQ(write(b, 50), COMM_ERR_TIMEOUT);
    auto got = std::async(std::launch::async, [&] { return d.read(a.size() + b.size()); });
    EXPECT_EQ(write(b, 30000), 0);
    EXPECT_TRUE(got.get() == cat({a, b})) << "a broken frame was followed by another";
    // C, cut short twice; its retries finish it, and C goes out once.
    EXPECT_EQ(write(c, 50), COMM_ERR_TIMEOUT);
    EXPECT_EQ(write(c, 50), COMM_ERR_TIMEOUT);
    got = std::async(std::launch::async, [&] { return d.read(c.size() + b.size()); });
    EXPECT_EQ(write(c, 30000), 0);
    EXPECT_EQ(write(b, 30000), 0);
    EXPECT_TRUE(got.get() == cat({c, b})) << "a frame was started again from its first byte";
}
