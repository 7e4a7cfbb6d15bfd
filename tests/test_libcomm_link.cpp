// Links through the library against a pseudo-terminal, a socket pair and a
// loopback TCP listener: events, raw bytes, writes, hang-ups, slots,
// connected signalling and the link walk.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libcomm/comm_internal.h"

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;

constexpr auto LONG_WAIT = 5s;  // only ever reached when a test fails

struct event_t {
    int32_t id;
    uint8_t event;
    bytes data;
};

// Event procedure context: records every event; `action` runs inside the
// procedure and gives its return value.
struct recorder {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<event_t> events;
    bytes received;
    int after_close = 0;
    bool closed = false;
    std::function<int32_t(int32_t id, uint8_t event, const uint8_t* data, int32_t length)> action;

    static int32_t proc(int32_t id, uint8_t event, const uint8_t* data, int32_t length, void* context) {
        auto* r = static_cast<recorder*>(context);
        int32_t result = r->action ? r->action(id, event, data, length) : 0;
        std::lock_guard lock(r->mu);
        if (r->closed) ++r->after_close;
        r->events.push_back({id, event, bytes(data, data + length)});
        if (event == COMM_EV_DATA) r->received.insert(r->received.end(), data, data + length);
        if (event == COMM_EV_DISCONNECTED) r->closed = true;
        r->cv.notify_all();
        return result;
    }

    bool wait_for(const std::function<bool()>& done) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, LONG_WAIT, done);
    }
    bool wait_received(size_t n) {
        return wait_for([&] { return received.size() >= n; });
    }
    bool wait_closed() {
        return wait_for([&] { return closed; });
    }
    int count(uint8_t event) {
        std::lock_guard lock(mu);
        int n = 0;
        for (const event_t& e : events) n += e.event == event;
        return n;
    }
    std::vector<uint8_t> kinds() {
        std::lock_guard lock(mu);
        std::vector<uint8_t> k;
        for (const event_t& e : events) k.push_back(e.event);
        return k;
    }
};

// Ends the link before its recorder goes out of scope.
struct link_guard {
    int32_t id = 0;
    ~link_guard() {
        if (id > 0) comm_disconnect(id);
    }
};

int32_t open_link(const char* conn, recorder& rec, link_guard& guard, int32_t rx_size = 4096, int32_t idle_ms = 1000) {
    return comm_connect(&guard.id, conn, recorder::proc, rx_size, idle_ms, &rec);
}

struct socket_pair {
    comm_fd link_end, peer;
    socket_pair() {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        link_end.reset(sv[0]);
        peer.reset(sv[1]);
    }
    // Connects the link end; the link owns it from then on.
    int32_t connect(recorder& rec, link_guard& guard, int32_t rx_size = 4096, int32_t idle_ms = 1000) {
        char conn[COMM_ENTRY_SIZE];
        EXPECT_EQ(comm_make_conn_string_fd(conn, link_end.get()), 0);
        int32_t r = open_link(conn, rec, guard, rx_size, idle_ms);
        if (r == 0) link_end.release();
        return r;
    }
};

struct pty_pair {
    comm_fd master;
    std::string slave_path;
    comm_fd slave;  // held until the link has opened the slave itself
    pty_pair() {
        int m = -1, s = -1;
        EXPECT_EQ(openpty(&m, &s, nullptr, nullptr, nullptr), 0);
        master.reset(m);
        slave.reset(s);
        slave_path = ttyname(s);
    }
    int32_t connect(recorder& rec, link_guard& guard, int32_t idle_ms = 1000) {
        char conn[COMM_ENTRY_SIZE];
        EXPECT_EQ(comm_make_conn_string_serial_path(conn, slave_path.c_str(), 115200, 8, 1, 0, 0), 0);
        int32_t r = open_link(conn, rec, guard, 4096, idle_ms);
        slave.reset();
        return r;
    }
};

void write_all(int fd, const bytes& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0);
        done += static_cast<size_t>(n);
    }
}

// Reads exactly n bytes, or fewer if nothing more comes for LONG_WAIT.
bytes read_n(int fd, size_t n, size_t chunk = 4096) {
    bytes out;
    std::vector<uint8_t> buf(chunk);
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(LONG_WAIT).count())) <= 0) break;
        ssize_t r = read(fd, buf.data(), std::min(chunk, n - out.size()));
        if (r <= 0) break;
        out.insert(out.end(), buf.begin(), buf.begin() + r);
    }
    return out;
}

// Captures what the library writes to the error channel during `call`.
std::string capture_stderr(const std::function<void()>& call) {
    fflush(stderr);
    char path[] = "/tmp/libcomm_stderr_XXXXXX";
    comm_fd file(mkstemp(path));
    unlink(path);
    comm_fd saved(dup(2));
    dup2(file.get(), 2);
    call();
    fflush(stderr);
    dup2(saved.get(), 2);
    std::string text;
    char buf[512];
    lseek(file.get(), 0, SEEK_SET);
    for (ssize_t n; (n = read(file.get(), buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    return text;
}

// ---------------------------------------------------------------------------

TEST(PtyLinkRawMode, ControlBytesPassUnchangedBothWaysAndNothingIsEchoed) {
    recorder rec;
    link_guard guard;
    pty_pair pty;
    ASSERT_EQ(pty.connect(rec, guard), 0);
    ASSERT_TRUE(rec.wait_for([&] { return !rec.events.empty(); }));

    const bytes to_link = {0x0D, 0x0A, 0x03, 0x11, 0x13, 0x7F, 0x00, 0x04, 0x1A, 0x0D};
    write_all(pty.master.get(), to_link);
    ASSERT_TRUE(rec.wait_received(to_link.size()));
    {
        std::lock_guard lock(rec.mu);
        EXPECT_EQ(rec.received, to_link);
    }

    // The first bytes the device sees are the link's own: no echo before them.
    const bytes to_device = {0x0A, 0x0D, 0x11, 0x03, 0x0D};
    ASSERT_EQ(comm_write(guard.id, to_device.data(), static_cast<int32_t>(to_device.size()), 0, 1000), 0);
    EXPECT_EQ(read_n(pty.master.get(), to_device.size()), to_device);
}

TEST(PtyLinkRawMode, ReachedThroughAUsbEntryToo) {
    recorder rec;
    link_guard guard;
    pty_pair pty;
    const std::string conn = "USBS:" + pty.slave_path + "/c44";
    ASSERT_EQ(open_link(conn.c_str(), rec, guard), 0);
    pty.slave.reset();
    const bytes to_link = {'B', 'R', 0x0D, 0x0A};
    write_all(pty.master.get(), to_link);
    ASSERT_TRUE(rec.wait_received(to_link.size()));
    std::lock_guard lock(rec.mu);
    EXPECT_EQ(rec.received, to_link);
}

TEST(PtyLinkHangUp, MasterClosingEndsTheLinkWithOneEvent3AndNoError) {
    recorder rec;
    link_guard guard;
    pty_pair pty;
    ASSERT_EQ(pty.connect(rec, guard), 0);
    pty.master.reset();
    ASSERT_TRUE(rec.wait_closed());
    EXPECT_EQ(rec.count(COMM_EV_DISCONNECTED), 1);
    EXPECT_EQ(rec.count(COMM_EV_CONN_ERROR), 0);
    EXPECT_EQ(rec.kinds().front(), COMM_EV_PROBE);
    EXPECT_EQ(rec.kinds().back(), COMM_EV_DISCONNECTED);
    EXPECT_EQ(comm_get_state(guard.id), COMM_STATE_NONE);
    // Already ended by itself: no open link has the id any more.
    EXPECT_EQ(comm_disconnect(guard.id), COMM_ERR_NOLINK);
    EXPECT_EQ(rec.after_close, 0);
}

TEST(PtyLinkWrite, LargeWriteArrivesCompleteWhileTheDeviceReadsSlowly) {
    recorder rec;
    link_guard guard;
    pty_pair pty;
    ASSERT_EQ(pty.connect(rec, guard), 0);
    bytes data(200000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    std::atomic<int32_t> result{1};
    std::thread writer([&] { result = comm_write(guard.id, data.data(), static_cast<int32_t>(data.size()), 0, 20000); });
    bytes got;
    while (got.size() < data.size()) {
        bytes part = read_n(pty.master.get(), std::min<size_t>(700, data.size() - got.size()), 700);
        if (part.empty()) break;
        got.insert(got.end(), part.begin(), part.end());
        if (got.size() % 7000 < 700) std::this_thread::sleep_for(1ms);
    }
    writer.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

// ---------------------------------------------------------------------------

TEST(LinkEvents, ProbeFirstThenDataInChunksThenIdleAndEvent3LastAfterDisconnect) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    ASSERT_EQ(sp.connect(rec, guard, 4, 20), 0);
    ASSERT_TRUE(rec.wait_for([&] { return !rec.events.empty(); }));
    const std::string text = "0123456789";
    write_all(sp.peer.get(), bytes(text.begin(), text.end()));
    ASSERT_TRUE(rec.wait_received(text.size()));
    const size_t data_seen = rec.events.size();
    ASSERT_TRUE(rec.wait_for([&] { return rec.events.size() > data_seen && rec.events.back().event == COMM_EV_IDLE; }));

    ASSERT_EQ(comm_disconnect(guard.id), 0);
    // Returned only after event 3 was delivered.
    std::vector<uint8_t> kinds = rec.kinds();
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds.front(), COMM_EV_PROBE);
    EXPECT_EQ(kinds.back(), COMM_EV_DISCONNECTED);
    EXPECT_EQ(rec.count(COMM_EV_PROBE), 1);
    EXPECT_EQ(rec.count(COMM_EV_DISCONNECTED), 1);
    EXPECT_EQ(rec.count(COMM_EV_CONN_ERROR), 0);
    std::lock_guard lock(rec.mu);
    EXPECT_EQ(std::string(rec.received.begin(), rec.received.end()), text);
    for (const event_t& e : rec.events) {
        EXPECT_EQ(e.id, guard.id);
        if (e.event == COMM_EV_DATA) {
            EXPECT_GE(e.data.size(), 1u);
            EXPECT_LE(e.data.size(), 4u);
        }
    }
    EXPECT_EQ(rec.after_close, 0);
    // The link closed the descriptor it took over: the peer sees the end.
    uint8_t b;
    EXPECT_EQ(read(sp.peer.get(), &b, 1), 0);
}

TEST(LinkEvents, IdleEventsRepeatWhileNothingArrives) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    ASSERT_EQ(sp.connect(rec, guard, 4096, 10), 0);
    ASSERT_TRUE(rec.wait_for([&] {
        int idles = 0;
        for (const event_t& e : rec.events) idles += e.event == COMM_EV_IDLE;
        return idles >= 3;
    }));
    EXPECT_EQ(rec.kinds().front(), COMM_EV_PROBE);
}

TEST(LinkEvents, PeerClosingEndsTheLinkWithEvent3Only) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    ASSERT_EQ(sp.connect(rec, guard), 0);
    ASSERT_TRUE(rec.wait_for([&] { return !rec.events.empty(); }));
    write_all(sp.peer.get(), {'e', 'n', 'd'});
    sp.peer.reset();
    ASSERT_TRUE(rec.wait_closed());
    // Bytes sent just before the end are still delivered.
    EXPECT_EQ(rec.kinds(), (std::vector<uint8_t>{COMM_EV_PROBE, COMM_EV_DATA, COMM_EV_DISCONNECTED}));
    std::lock_guard lock(rec.mu);
    EXPECT_EQ(rec.received, (bytes{'e', 'n', 'd'}));
}

TEST(LinkEvents, DisconnectFromTheOwnEventProcedureEndsAfterThatEvent) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    std::atomic<int32_t> inner{1};
    rec.action = [&](int32_t id, uint8_t event, const uint8_t*, int32_t) {
        if (event == COMM_EV_DATA) inner = comm_disconnect(id);
        return 0;
    };
    ASSERT_EQ(sp.connect(rec, guard), 0);
    write_all(sp.peer.get(), {'x'});
    ASSERT_TRUE(rec.wait_closed());
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(rec.kinds(), (std::vector<uint8_t>{COMM_EV_PROBE, COMM_EV_DATA, COMM_EV_DISCONNECTED}));
    EXPECT_EQ(comm_disconnect(guard.id), COMM_ERR_NOLINK);
}

TEST(LinkEvents, DisconnectingAnUnknownIdFails) {
    EXPECT_EQ(comm_disconnect(0), COMM_ERR_NOLINK);
    EXPECT_EQ(comm_disconnect(987654), COMM_ERR_NOLINK);
    EXPECT_EQ(comm_get_state(987654), COMM_STATE_NONE);
}

TEST(LinkEvents, ShutEndsEveryLinkWithItsEvent3) {
    recorder a, b;
    link_guard ga, gb;
    socket_pair sa, sb;
    ASSERT_EQ(sa.connect(a, ga), 0);
    ASSERT_EQ(sb.connect(b, gb), 0);
    EXPECT_EQ(comm_shut(), 0);
    EXPECT_EQ(a.count(COMM_EV_DISCONNECTED), 1);
    EXPECT_EQ(b.count(COMM_EV_DISCONNECTED), 1);
    EXPECT_EQ(comm_get_state(ga.id), COMM_STATE_NONE);
    EXPECT_EQ(comm_init(), 0);
}

TEST(LinkEvents, IdsArePositiveAndNeverReused) {
    recorder rec;
    std::vector<int32_t> ids;
    for (int i = 0; i < 3; ++i) {
        link_guard guard;
        socket_pair sp;
        ASSERT_EQ(sp.connect(rec, guard), 0);
        ids.push_back(guard.id);
        ASSERT_EQ(comm_disconnect(guard.id), 0);
        guard.id = 0;
    }
    EXPECT_GT(ids[0], 0);
    EXPECT_LT(ids[0], ids[1]);
    EXPECT_LT(ids[1], ids[2]);
}

// ---------------------------------------------------------------------------

TEST(LinkWrite, TimesOutWhenThePeerNeverReads) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    ASSERT_EQ(sp.connect(rec, guard), 0);
    bytes data(4 << 20, 0x55);
    EXPECT_EQ(comm_write(guard.id, data.data(), static_cast<int32_t>(data.size()), 0, 50), COMM_ERR_TIMEOUT);
}

TEST(LinkWrite, BlockedWriteEndsWhenTheLinkIsDisconnected) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    ASSERT_EQ(sp.connect(rec, guard), 0);
    bytes data(4 << 20, 0x55);
    std::atomic<int32_t> result{1};
    std::atomic<bool> started{false};
    std::thread writer([&] {
        started = true;
        result = comm_write(guard.id, data.data(), static_cast<int32_t>(data.size()), 0, 60000);
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(comm_disconnect(guard.id), 0);
    writer.join();
    EXPECT_EQ(result, COMM_ERR_CLOSED);
}

TEST(LinkWrite, BadArgumentsAndClosedLinks) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    ASSERT_EQ(sp.connect(rec, guard), 0);
    const uint8_t b = 1;
    EXPECT_EQ(comm_write(guard.id, &b, 1, 1, 100), COMM_ERR_ARG);
    EXPECT_EQ(comm_write(guard.id, nullptr, 1, 0, 100), COMM_ERR_ARG);
    EXPECT_EQ(comm_write(guard.id, &b, -1, 0, 100), COMM_ERR_ARG);
    EXPECT_EQ(comm_write(987654, &b, 1, 0, 100), COMM_ERR_NOLINK);
    sp.peer.reset();
    ASSERT_TRUE(rec.wait_closed());
    const int32_t r = comm_write(guard.id, &b, 1, 0, 100);
    EXPECT_TRUE(r == COMM_ERR_CLOSED || r == COMM_ERR_NOLINK) << r;
}

// ---------------------------------------------------------------------------

TEST(TcpLink, CarriesBytesBothWaysAndEndsWhenTheServerCloses) {
    comm_fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    char conn[COMM_ENTRY_SIZE];
    ASSERT_EQ(comm_make_conn_string_net(conn, "127.0.0.1", ntohs(addr.sin_port), 1000), 0);

    recorder rec;
    link_guard guard;
    ASSERT_EQ(open_link(conn, rec, guard), 0);
    comm_fd server(accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(server.valid());
    const bytes request = {0x42, 0x52, 0x4E, 0x4F, 0x00, 0x0D};
    ASSERT_EQ(comm_write(guard.id, request.data(), static_cast<int32_t>(request.size()), 0, 1000), 0);
    EXPECT_EQ(read_n(server.get(), request.size()), request);
    write_all(server.get(), {0x0A, 0x00, 0xFF});
    ASSERT_TRUE(rec.wait_received(3));
    server.reset();
    ASSERT_TRUE(rec.wait_closed());
    EXPECT_EQ(rec.count(COMM_EV_CONN_ERROR), 0);
    std::lock_guard lock(rec.mu);
    EXPECT_EQ(rec.received, (bytes{0x0A, 0x00, 0xFF}));
}

TEST(TcpLink, ConnectionResetRaisesEvent2ThenEvent3) {
    comm_fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    char conn[COMM_ENTRY_SIZE];
    ASSERT_EQ(comm_make_conn_string_net(conn, "127.0.0.1", ntohs(addr.sin_port), 1000), 0);

    recorder rec;
    link_guard guard;
    std::atomic<int32_t> state_at_error{-1};
    rec.action = [&](int32_t id, uint8_t event, const uint8_t*, int32_t) {
        if (event == COMM_EV_CONN_ERROR) state_at_error = comm_get_state(id);
        return 0;
    };
    ASSERT_EQ(open_link(conn, rec, guard), 0);
    comm_fd server(accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(server.valid());
    linger abort_on_close{1, 0};
    ASSERT_EQ(setsockopt(server.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close), 0);
    server.reset();  // sends a reset
    ASSERT_TRUE(rec.wait_closed());
    std::vector<uint8_t> kinds = rec.kinds();
    ASSERT_GE(kinds.size(), 3u);
    EXPECT_EQ(kinds[kinds.size() - 2], COMM_EV_CONN_ERROR);
    EXPECT_EQ(kinds.back(), COMM_EV_DISCONNECTED);
    EXPECT_EQ(state_at_error, COMM_STATE_FAILED);
    EXPECT_EQ(comm_get_state(guard.id), COMM_STATE_NONE);
}

TEST(TcpLink, RefusedConnectionFailsWithTheReason) {
    comm_fd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(probe.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const unsigned port = ntohs(addr.sin_port);  // bound but not listening: refused
    char conn[COMM_ENTRY_SIZE];
    ASSERT_EQ(comm_make_conn_string_net(conn, "127.0.0.1", static_cast<uint16_t>(port), 1000), 0);
    recorder rec;
    link_guard guard;
    int32_t r = 0;
    const std::string err = capture_stderr([&] { r = open_link(conn, rec, guard); });
    EXPECT_EQ(r, COMM_ERR_OPEN);
    EXPECT_EQ(err, "Cannot connect to 127.0.0.1 port " + std::to_string(port) + ": Connection refused\n");
    EXPECT_TRUE(rec.events.empty());
}

// ---------------------------------------------------------------------------

TEST(OpenFailure, MissingPortFailsAtOnceSayingWhy) {
    recorder rec;
    link_guard guard;
    int32_t r = 0;
    const std::string err =
        capture_stderr([&] { r = open_link("SER:115200,8,1,0,0:/nonexistent/qm38-tty", rec, guard); });
    EXPECT_EQ(r, COMM_ERR_OPEN);
    EXPECT_EQ(err, "Cannot open /nonexistent/qm38-tty: No such file or directory\n");
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ(guard.id, 0);
}

TEST(OpenFailure, AFileThatIsNoTtyIsRefused) {
    char path[] = "/tmp/libcomm_notty_XXXXXX";
    comm_fd file(mkstemp(path));
    const std::string conn = std::string("SER:115200,8,1,0,0:") + path;
    recorder rec;
    link_guard guard;
    int32_t r = 0;
    const std::string err = capture_stderr([&] { r = open_link(conn.c_str(), rec, guard); });
    unlink(path);
    EXPECT_EQ(r, COMM_ERR_OPEN);
    EXPECT_EQ(err, std::string("Cannot set up ") + path + " as a serial port: Inappropriate ioctl for device\n");
}

TEST(OpenFailure, PermissionDeniedPointsAtDialoutAndTheUdevRule) {
    const std::string err = capture_stderr([] { comm_report_open_error("/dev/ttyACM0", EACCES); });
    EXPECT_EQ(err.rfind("Cannot open /dev/ttyACM0: Permission denied\n", 0), 0u) << err;
    EXPECT_NE(err.find("'dialout' group"), std::string::npos);
    EXPECT_NE(err.find("sudo cp udev/99-qm38.rules /etc/udev/rules.d/ && sudo udevadm control --reload-rules && "
                       "sudo udevadm trigger"),
              std::string::npos);
}

TEST(OpenFailure, MalformedConnectionStringsAreRejected) {
    const char* bad[] = {
        "",
        "SER",
        "XYZ:1",
        "SER:115200,8,1,0,0:",
        "SER:115200,8,1,0:/dev/ttyS0",
        "SER:115201,8,1,0,0:/dev/ttyS0",
        "SER:115200,9,1,0,0:/dev/ttyS0",
        "SER:115200,8,3,0,0:/dev/ttyS0",
        "SER:115200,8,1,5,0:/dev/ttyS0",
        "SER:abc,8,1,0,0:/dev/ttyS0",
        "TCP:1000:127.0.0.1",
        "TCP:1000::5000",
        "TCP:x:127.0.0.1:5000",
        "TCP:1000:127.0.0.1:0",
        "TCP:1000:127.0.0.1:70000",
        "FD:",
        "FD:-1",
        "FD:7x",
        "USBS:/dev/ttyACM0",
        "USBS:/dev/ttyACM0/",
        "USBS:/dev/ttyACM0/xyz",
        "BT:1,60000,7316:AA:BB:CC",
        "BT:0,60000,7316:AA:BB:CC:DD:EE:FF",
        "BT:1,60000,7316:AA:BB:CC:DD:EE:FG",
        "BT:1,60000,7316:AA:BB:CC:DD:EE:FFX",
    };
    for (const char* conn : bad) {
        recorder rec;
        link_guard guard;
        int32_t r = 0;
        const std::string err = capture_stderr([&] { r = open_link(conn, rec, guard); });
        EXPECT_EQ(r, COMM_ERR_ARG) << conn;
        if (conn[0] != '\0') {
            EXPECT_EQ(err, std::string("Invalid connection string \"") + conn + "\"\n") << conn;
        }
        EXPECT_EQ(guard.id, 0) << conn;
    }
}

TEST(OpenFailure, BadConnectArgumentsAreRejected) {
    recorder rec;
    int32_t id = 0;
    EXPECT_EQ(comm_connect(&id, "FD:0", nullptr, 4096, 200, &rec), COMM_ERR_ARG);
    EXPECT_EQ(comm_connect(&id, "FD:0", recorder::proc, 0, 200, &rec), COMM_ERR_ARG);
    EXPECT_EQ(comm_connect(&id, "FD:0", recorder::proc, 4096, 0, &rec), COMM_ERR_ARG);
    EXPECT_EQ(comm_connect(nullptr, "FD:0", recorder::proc, 4096, 200, &rec), COMM_ERR_ARG);
    EXPECT_EQ(comm_connect(&id, nullptr, recorder::proc, 4096, 200, &rec), COMM_ERR_ARG);
    EXPECT_EQ(id, 0);
}

TEST(OpenFailure, ClosedDescriptorIsRefused) {
    recorder rec;
    link_guard guard;
    int32_t r = 0;
    const std::string err = capture_stderr([&] { r = open_link("FD:999999", rec, guard); });
    EXPECT_EQ(r, COMM_ERR_OPEN);
    EXPECT_EQ(err, "Cannot open FD:999999: Bad file descriptor\n");
}

// ---------------------------------------------------------------------------

struct slots_fixture : ::testing::Test {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    uint8_t buf1[32], buf2[16], buf3[8];
    void SetUp() override {
        ASSERT_EQ(sp.connect(rec, guard), 0);
        memset(buf1, 0xEE, sizeof buf1);
        memset(buf2, 0xEE, sizeof buf2);
        memset(buf3, 0xEE, sizeof buf3);
        ASSERT_EQ(comm_hook_response(guard.id, 9007, buf1, 21, 12290, buf2, 16, 12289, buf3, 8), 0);
    }
    int32_t fill(uint16_t code, const bytes& frame) {
        return comm_fill_rsp_buff(guard.id, code, frame.data(), static_cast<int32_t>(frame.size()));
    }
};

const bytes serial_answer = {0x42, 0x52, 0x4E, 0x4F, 0x2F, 0x23, 0x09, 0x00, 0x00, 0x00, 0x00,
                             0x14, 0x41, 0x30, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34, 0x75};

TEST_F(slots_fixture, Slot1FrameEndsTheWaitWithItsLength) {
    int32_t l1 = -1, l2 = -1, l3 = -1, r = 1;
    std::thread waiter([&] { r = comm_wait_response(guard.id, &l1, &l2, &l3, 10000); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(fill(9007, serial_answer), 1);
    waiter.join();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(l1, 21);
    EXPECT_EQ(l2, 0);
    EXPECT_EQ(l3, 0);
    EXPECT_EQ(bytes(buf1, buf1 + 21), serial_answer);
    EXPECT_EQ(buf1[21], 0xEE);
}

TEST_F(slots_fixture, Slot2FrameEndsTheWaitToo) {
    int32_t l1 = -1, l2 = -1, l3 = -1, r = 1;
    std::thread waiter([&] { r = comm_wait_response(guard.id, &l1, &l2, &l3, 10000); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(fill(12290, bytes(13, 0x02)), 1);
    waiter.join();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(l1, 0);
    EXPECT_EQ(l2, 13);
    EXPECT_EQ(l3, 0);
}

TEST_F(slots_fixture, StatusFrameAloneIsReportedAtTheTimeOut) {
    EXPECT_EQ(fill(12289, bytes(8, 0x03)), 1);
    int32_t l1 = -1, l2 = -1, l3 = -1;
    EXPECT_EQ(comm_wait_response(guard.id, &l1, &l2, &l3, 30), COMM_ERR_TIMEOUT);
    EXPECT_EQ(l1, 0);
    EXPECT_EQ(l2, 0);
    EXPECT_EQ(l3, 8);
    EXPECT_EQ(bytes(buf3, buf3 + 8), bytes(8, 0x03));
}

TEST_F(slots_fixture, ResponseAndStatusTogetherAreBothReported) {
    EXPECT_EQ(fill(12289, bytes(5, 0x03)), 1);
    EXPECT_EQ(fill(9007, serial_answer), 1);
    int32_t l1 = -1, l2 = -1, l3 = -1;
    EXPECT_EQ(comm_wait_response(guard.id, &l1, &l2, &l3, 10000), 0);
    EXPECT_EQ(l1, 21);
    EXPECT_EQ(l2, 0);
    EXPECT_EQ(l3, 5);
}

TEST_F(slots_fixture, FrameLongerThanTheSlotIsNeverCopied) {
    EXPECT_EQ(fill(12289, bytes(9, 0x03)), 0);
    int32_t l1 = -1, l2 = -1, l3 = -1;
    EXPECT_EQ(comm_wait_response(guard.id, &l1, &l2, &l3, 20), COMM_ERR_TIMEOUT);
    EXPECT_EQ(l3, 0);
    EXPECT_EQ(bytes(buf3, buf3 + 8), bytes(8, 0xEE));
    EXPECT_EQ(fill(9007, bytes(22, 0x01)), 0);  // slot 1 armed with capacity 21
    EXPECT_EQ(buf1[0], 0xEE);
}

TEST_F(slots_fixture, OtherCodesAreNotTaken) {
    EXPECT_EQ(fill(9008, serial_answer), 0);
    EXPECT_EQ(fill(0x2456, serial_answer), 0);
    EXPECT_EQ(buf1[0], 0xEE);
}

TEST_F(slots_fixture, CountsAreConsumedByTheWaitThatReportsThem) {
    EXPECT_EQ(fill(9007, serial_answer), 1);
    int32_t l1 = -1, l2 = -1, l3 = -1;
    EXPECT_EQ(comm_wait_response(guard.id, &l1, &l2, &l3, 10000), 0);
    EXPECT_EQ(l1, 21);
    EXPECT_EQ(comm_wait_response(guard.id, &l1, &l2, &l3, 20), COMM_ERR_TIMEOUT);
    EXPECT_EQ(l1, 0);
    EXPECT_EQ(l2, 0);
    EXPECT_EQ(l3, 0);
}

TEST_F(slots_fixture, ReportedSlotIsHeldUntilTheNextWrite) {
    EXPECT_EQ(fill(12289, bytes(8, 0x03)), 1);
    int32_t l1, l2, l3;
    EXPECT_EQ(comm_wait_response(guard.id, &l1, &l2, &l3, 20), COMM_ERR_TIMEOUT);
    EXPECT_EQ(l3, 8);
    // The caller is reading buf3 now: a late duplicate must not overwrite it.
    EXPECT_EQ(fill(12289, bytes(8, 0x04)), 0);
    EXPECT_EQ(bytes(buf3, buf3 + 8), bytes(8, 0x03));
    // The next try's write releases it; what arrives before its wait is reported.
    const uint8_t request = 0x42;
    ASSERT_EQ(comm_write(guard.id, &request, 1, 0, 1000), 0);
    EXPECT_EQ(fill(12289, bytes(6, 0x05)), 1);
    EXPECT_EQ(comm_wait_response(guard.id, &l1, &l2, &l3, 20), COMM_ERR_TIMEOUT);
    EXPECT_EQ(l3, 6);
    EXPECT_EQ(bytes(buf3, buf3 + 6), bytes(6, 0x05));
}

TEST_F(slots_fixture, UnhookedSlotsTakeNothing) {
    EXPECT_EQ(comm_unhook_response(guard.id), 0);
    EXPECT_EQ(fill(9007, serial_answer), 0);
    EXPECT_EQ(buf1[0], 0xEE);
}

TEST_F(slots_fixture, WaitReturnsWhenTheLinkEnds) {
    int32_t l1 = -1, l2 = -1, l3 = -1, r = 1;
    std::thread waiter([&] { r = comm_wait_response(guard.id, &l1, &l2, &l3, 60000); });
    std::this_thread::sleep_for(20ms);
    sp.peer.reset();
    waiter.join();
    EXPECT_EQ(r, COMM_ERR_CLOSED);
    EXPECT_EQ(l1, 0);
}

TEST_F(slots_fixture, UnknownIdsAreRefused) {
    int32_t l1 = -1, l2 = -1, l3 = -1;
    EXPECT_EQ(comm_wait_response(987654, &l1, &l2, &l3, 10), COMM_ERR_NOLINK);
    EXPECT_EQ(l1, 0);
    EXPECT_EQ(l2, 0);
    EXPECT_EQ(l3, 0);
    EXPECT_EQ(comm_fill_rsp_buff(987654, 9007, serial_answer.data(), 21), COMM_ERR_NOLINK);
    EXPECT_EQ(comm_hook_response(987654, 1, buf1, 1, 2, buf2, 1, 3, buf3, 1), COMM_ERR_NOLINK);
    EXPECT_EQ(comm_unhook_response(987654), COMM_ERR_NOLINK);
}

// ---------------------------------------------------------------------------

TEST(ConnectedSignal, GiveUpInsideTheIdleEventIsVisibleWhenTheWaiterWakes) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    rec.action = [](int32_t id, uint8_t event, const uint8_t*, int32_t) {
        if (event != COMM_EV_IDLE) return 0;
        comm_signal_connected(id);
        std::this_thread::sleep_for(30ms);  // a waiter woken too early would see state 1 now
        return -1;
    };
    ASSERT_EQ(sp.connect(rec, guard, 4096, 10), 0);
    EXPECT_EQ(comm_wait_connected(guard.id, 10000), 0);
    EXPECT_EQ(comm_get_state(guard.id), COMM_STATE_GAVE_UP);
}

TEST(ConnectedSignal, IdentificationInsideTheDataEventGivesState2) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    rec.action = [](int32_t id, uint8_t event, const uint8_t*, int32_t) {
        if (event != COMM_EV_DATA) return 0;
        comm_signal_connected(id);
        std::this_thread::sleep_for(30ms);
        return 0;
    };
    ASSERT_EQ(sp.connect(rec, guard), 0);
    EXPECT_EQ(comm_get_state(guard.id), COMM_STATE_OPENING);
    write_all(sp.peer.get(), serial_answer);
    EXPECT_EQ(comm_wait_connected(guard.id, 10000), 0);
    EXPECT_EQ(comm_get_state(guard.id), COMM_STATE_CONNECTED);
}

TEST(ConnectedSignal, SignalFromAnotherThreadGivesState2) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    ASSERT_EQ(sp.connect(rec, guard), 0);
    std::thread other([&] { EXPECT_EQ(comm_signal_connected(guard.id), 0); });
    EXPECT_EQ(comm_wait_connected(guard.id, 10000), 0);
    other.join();
    EXPECT_EQ(comm_get_state(guard.id), COMM_STATE_CONNECTED);
}

TEST(ConnectedSignal, WaitFailsOnTimeOutOrWhenTheLinkEndsFirst) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    ASSERT_EQ(sp.connect(rec, guard), 0);
    EXPECT_EQ(comm_wait_connected(guard.id, 10), COMM_ERR_TIMEOUT);
    std::thread closer([&] {
        std::this_thread::sleep_for(20ms);
        sp.peer.reset();
    });
    EXPECT_EQ(comm_wait_connected(guard.id, 60000), COMM_ERR_CLOSED);
    closer.join();
    EXPECT_EQ(comm_get_state(guard.id), COMM_STATE_NONE);
    EXPECT_EQ(comm_signal_connected(987654), COMM_ERR_NOLINK);
    EXPECT_EQ(comm_wait_connected(987654, 10), COMM_ERR_NOLINK);
}

// ---------------------------------------------------------------------------

std::vector<std::pair<int32_t, void*>> walk() {
    std::vector<std::pair<int32_t, void*>> seen;
    int32_t it;
    comm_data_cntr_init(&it);
    int32_t id;
    void* context;
    while (comm_get_data(&it, &id, &context) == 1) seen.emplace_back(id, context);
    return seen;
}

bool walk_has(int32_t id) {
    for (auto& [i, c] : walk())
        if (i == id) return true;
    return false;
}

TEST(LinkWalk, ListsOpenLinksWithTheirContextsAndDropsClosedOnes) {
    recorder a, b;
    link_guard ga, gb;
    socket_pair sa, sb;
    ASSERT_EQ(sa.connect(a, ga), 0);
    ASSERT_EQ(sb.connect(b, gb), 0);
    auto seen = walk();
    EXPECT_NE(std::find(seen.begin(), seen.end(), std::make_pair(ga.id, static_cast<void*>(&a))), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), std::make_pair(gb.id, static_cast<void*>(&b))), seen.end());
    ASSERT_EQ(comm_disconnect(ga.id), 0);
    EXPECT_FALSE(walk_has(ga.id));
    EXPECT_TRUE(walk_has(gb.id));
}

TEST(LinkWalk, LinkIsOutOfTheWalkBeforeItsEvent3) {
    recorder rec;
    link_guard guard;
    socket_pair sp;
    std::atomic<int> listed_at_close{-1};
    rec.action = [&](int32_t id, uint8_t event, const uint8_t*, int32_t) {
        if (event == COMM_EV_DISCONNECTED) listed_at_close = walk_has(id) ? 1 : 0;
        return 0;
    };
    ASSERT_EQ(sp.connect(rec, guard), 0);
    EXPECT_TRUE(walk_has(guard.id));
    ASSERT_EQ(comm_disconnect(guard.id), 0);
    EXPECT_EQ(listed_at_close, 0);
}

}  // namespace
