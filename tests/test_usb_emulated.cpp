// USB instruments against emulated devices: a umockdev test bed holds sysfs,
// the udev database and the /dev nodes, each tty node backed by a pty whose
// other end the test owns. Runs under umockdev's preload library
// (tests/support/umockdev_run.sh); the programs started from here inherit it.
#include <fcntl.h>
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libcomm/comm_internal.h"
#include "link/mxx_comm.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/files.h"
#include "support/process.h"

namespace {

using namespace std::chrono_literals;

const std::string kUsbRoot = "/devices/pci0000:00/usb1";

// A USB device at 1-<port>; with a CDC-ACM interface and its tty when `tty` is given.
std::string usb_record(int port, const char* vid, const char* pid, const char* serial, const char* tty = nullptr,
                       int minor = 0) {
    const std::string dev = kUsbRoot + "/1-" + std::to_string(port);
    std::string r = "P: " + dev + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=" + vid +
                    "\nA: idProduct=" + pid + "\nA: manufacturer=Zorvanik\nA: product=QM-38 V2\nA: serial=" + serial +
                    "\n\n";
    if (!tty) return r;
    const std::string intf = dev + "/1-" + std::to_string(port) + ":1.0";
    r += "P: " + intf + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=cdc_acm\n\n";
    r += "P: " + intf + "/tty/" + tty + "\nN: " + tty + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty +
         "\nE: MAJOR=166\nE: MINOR=" + std::to_string(minor) + "\nE: ID_VENDOR_ID=" + vid +
         "\nE: ID_MODEL_ID=" + pid + "\nA: dev=166:" + std::to_string(minor) + "\n\n";
    return r;
}

std::string tty_syspath(int port, const char* tty) {
    return "/sys" + kUsbRoot + "/1-" + std::to_string(port) + "/1-" + std::to_string(port) + ":1.0/tty/" + tty;
}
std::string usb_syspath(int port) { return "/sys" + kUsbRoot + "/1-" + std::to_string(port); }

const char kPlatformTty[] =
    "P: /devices/platform/serial8250/tty/ttyS0\nN: ttyS0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyS0\n"
    "E: MAJOR=4\nE: MINOR=64\nA: dev=4:64\n\n";

struct testbed {
    UMockdevTestbed* tb = umockdev_testbed_new();
    ~testbed() { g_object_unref(tb); }
    testbed() = default;
    testbed(const testbed&) = delete;
    testbed& operator=(const testbed&) = delete;

    void add(const std::string& record) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(tb, record.c_str(), &error)) {
            ADD_FAILURE() << (error ? error->message : "invalid device record");
            if (error) g_error_free(error);
        }
    }
    // The pty master behind a node. The test bed owns it; the programs this
    // test starts must not inherit it, or unplugging could not hang up the port.
    int master(const char* node) {
        const int fd = umockdev_testbed_get_dev_fd(tb, node);
        if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
        return fd;
    }
    void uevent(const std::string& syspath, const char* action) {
        umockdev_testbed_uevent(tb, syspath.c_str(), action);
    }
    std::string root() const {
        gchar* dir = umockdev_testbed_get_root_dir(tb);
        std::string r = dir;
        g_free(dir);
        return r;
    }
};

// The instruments and decoys every listing sees: two instruments (their
// sysfs order is not their node order), another maker's CDC-ACM tty, the
// maker's device of another product, a platform serial port, and an
// instrument without a tty.
void add_instruments_and_decoys(testbed& t) {
    t.add(usb_record(1, "1781", "0c44", "A0001234", "ttyACM10", 10));
    t.add(usb_record(2, "1781", "0c4d", "A0002222", "ttyACM2", 2));
    t.add(usb_record(3, "2341", "0043", "85736323", "ttyACM0", 0));
    t.add(usb_record(4, "1781", "0c4e", "A0003333", "ttyACM3", 3));
    t.add(kPlatformTty);
    t.add(usb_record(5, "1781", "0c46", "A0004444"));
}

// Carries bytes between a pty master (which must stay open: the test bed
// owns it) and the simulator's socket, until stopped.
class bridge {
public:
    bridge(int master, int sim_fd) : master_(master), sim_(sim_fd), stop_(eventfd(0, EFD_CLOEXEC)) {
        thread_ = std::thread([this] { run(); });
    }
    ~bridge() { stop(); }
    void stop() {
        if (!thread_.joinable()) return;
        uint64_t one = 1;
        EXPECT_EQ(write(stop_.get(), &one, sizeof one), ssize_t(sizeof one));
        thread_.join();
    }

private:
    static bool write_all(int fd, const char* p, ssize_t n) {
        while (n > 0) {
            const ssize_t w = write(fd, p, static_cast<size_t>(n));
            if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
                pollfd o{fd, POLLOUT, 0};
                poll(&o, 1, 100);
                continue;
            }
            if (w <= 0) return false;
            p += w;
            n -= w;
        }
        return true;
    }
    void run() {
        char buf[4096];
        for (;;) {
            pollfd p[3] = {{master_, POLLIN, 0}, {sim_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
            if (poll(p, 3, -1) < 0 && errno != EINTR) return;
            if (p[2].revents) return;
            if (p[0].revents & POLLIN) {
                const ssize_t n = read(master_, buf, sizeof buf);
                if (n > 0 && !write_all(sim_.get(), buf, n)) return;
            } else if (p[0].revents) {
                // No program has the port open: wait for one.
                poll(&p[2], 1, 10);
            }
            if (p[1].revents & POLLIN) {
                const ssize_t n = read(sim_.get(), buf, sizeof buf);
                if (n <= 0 || !write_all(master_, buf, n)) return;
            }
        }
    }
    int master_;
    comm_fd sim_;
    comm_fd stop_;
    std::thread thread_;
};

// What the kernel does when an instrument is pulled out: udev reports its
// tty gone, the node disappears, and the open port is hung up (the pty's
// master end goes away; the fd number stays valid for the test bed).
void unplug(testbed& t, bridge& b, int port, const char* tty) {
    const std::string node = std::string("/dev/") + tty;
    const int master = t.master(node.c_str());
    t.uevent(tty_syspath(port, tty), "remove");
    b.stop();
    comm_fd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    ASSERT_EQ(dup2(null.get(), master), master);
    umockdev_testbed_remove_device(t.tb, usb_syspath(port).c_str());
    std::filesystem::remove(t.root() + node);
}

class Emulated : public ::testing::Test {
protected:
    void SetUp() override {
        add_instruments_and_decoys(bed);
        // The preload library shows the test bed's sysfs in place of the real one.
        ASSERT_TRUE(std::filesystem::exists(usb_syspath(1) + "/idVendor"))
            << "run under umockdev-wrapper (tests/support/umockdev_run.sh)";
    }
    testbed bed;
};

TEST_F(Emulated, ListingGivesExactlyTheInstrumentsInNodeOrderWithTheirDisplayText) {
    char list[MXX_LIST_ENTRIES][COMM_ENTRY_SIZE] = {};
    int32_t count = -1;
    ASSERT_EQ(MXX_list_usb_devices(&list[0][0], MXX_LIST_ENTRIES, &count), 0);
    ASSERT_EQ(count, 2);
    // c44 is the fast interface: its entry carries the prefix USBF.
    EXPECT_STREQ(list[0], "USBS:/dev/ttyACM2/c4d");
    EXPECT_STREQ(list[1], "USBF:/dev/ttyACM10/c44");
    char text[COMM_ENTRY_SIZE];
    ASSERT_EQ(comm_get_devid_string(list[0], text), 0);
    EXPECT_STREQ(text, "Zorvanik QM-38 V2 S/N A0002222 (/dev/ttyACM2)");
    ASSERT_EQ(comm_get_devid_string(list[1], text), 0);
    EXPECT_STREQ(text, "Zorvanik QM-38 V2 S/N A0001234 (/dev/ttyACM10)");
    // A capacity of one keeps the first in order.
    ASSERT_EQ(MXX_list_usb_devices(&list[0][0], 1, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(list[0], "USBS:/dev/ttyACM2/c4d");
}

TEST_F(Emulated, APortHeldElsewhereIsRefusedNamingItAndHeldExclusivelyUntilTheLinkEnds) {
    auto proc = [](int32_t, uint8_t, const uint8_t*, int32_t, void*) -> int32_t { return 0; };
    const char* conn = "USBS:/dev/ttyACM2/c4d";
    const std::string busy =
        "Cannot open /dev/ttyACM2: the port is in use by another program (ModemManager may be probing it: "
        "install udev/60-qm38.rules, see README)\n";
    int32_t id = 0, r = 0;
    {
        // Another program holding the port, as serial libraries and terminal programs do.
        comm_fd other(open("/dev/ttyACM2", O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(other.valid());
        ASSERT_EQ(flock(other.get(), LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(console_run("", [&] { r = comm_connect(&id, conn, proc, 4096, 200, nullptr); }).err, busy);
        EXPECT_EQ(r, COMM_ERR_OPEN);
    }
    ASSERT_EQ(comm_connect(&id, conn, proc, 4096, 200, nullptr), 0);
    int32_t second = 0;
    EXPECT_EQ(console_run("", [&] { r = comm_connect(&second, conn, proc, 4096, 200, nullptr); }).err, busy);
    EXPECT_EQ(r, COMM_ERR_OPEN);
    comm_fd other(open("/dev/ttyACM2", O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(other.valid());
    EXPECT_NE(flock(other.get(), LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(comm_disconnect(id), 0);
    EXPECT_EQ(flock(other.get(), LOCK_EX | LOCK_NB), 0);
    other.reset();
    // Released: the next link opens it.
    ASSERT_EQ(comm_connect(&id, conn, proc, 4096, 200, nullptr), 0);
    EXPECT_EQ(comm_disconnect(id), 0);
}

struct callback_count {
    static inline std::mutex mu;
    static inline std::condition_variable cv;
    static inline int calls = 0;
    static int32_t callback(int32_t) {
        std::lock_guard lock(mu);
        ++calls;
        cv.notify_all();
        return 0;
    }
    static int wait_for(int n) {
        std::unique_lock lock(mu);
        cv.wait_for(lock, 10s, [&] { return calls >= n; });  // the limit only ends a failing test
        return calls;
    }
};

// Each event sequence ends with one the callback must see; the events
// before it are handled first (one monitor, in order).
TEST_F(Emulated, TheDeviceListCallbackRunsOnceForEachInstrumentTtyComingOrGoing) {
#if defined(__SANITIZE_THREAD__)
    // Under ThreadSanitizer the test bed now and then delivers one of its
    // synthesized events too late for the count, so the run says nothing.
    GTEST_SKIP() << "the test bed's events come too late under ThreadSanitizer";
#endif
    callback_count::calls = 0;
    ASSERT_EQ(comm_usb_register(callback_count::callback, 7), 0);
    // Plugged in: the record's add events (the USB device, its interface, its tty).
    bed.add(usb_record(6, "1781", "0c45", "A0005555", "ttyACM5", 5));
    EXPECT_EQ(callback_count::wait_for(1), 1);
    // Repeated and foreign events, then an instrument's tty removed (one
    // that was there before the callback was registered).
    bed.uevent(tty_syspath(6, "ttyACM5"), "add");
    bed.uevent(tty_syspath(6, "ttyACM5"), "change");
    bed.uevent(tty_syspath(3, "ttyACM0"), "add");
    bed.uevent(tty_syspath(3, "ttyACM0"), "remove");
    bed.uevent("/sys/devices/platform/serial8250/tty/ttyS0", "remove");
    bed.uevent(tty_syspath(4, "ttyACM3"), "remove");
    bed.uevent(usb_syspath(5), "remove");
    bed.uevent(tty_syspath(2, "ttyACM2"), "remove");
    EXPECT_EQ(callback_count::wait_for(2), 2);
    // Unplugged, and a repeated removal.
    bed.uevent(tty_syspath(6, "ttyACM5"), "remove");
    bed.uevent(tty_syspath(2, "ttyACM2"), "remove");
    umockdev_testbed_remove_device(bed.tb, usb_syspath(6).c_str());
    bed.add(usb_record(7, "1781", "0c44", "A0007777", "ttyACM7", 7));
    EXPECT_EQ(callback_count::wait_for(4), 4);
    comm_usb_deregister();
    EXPECT_EQ(callback_count::calls, 4);
}

// The service edition as an operator runs it, choosing USB; the simulator
// answers on the emulated port's other end.
class EmulatedProgram : public Emulated {
protected:
    WorkDir work;
    sim_ptr sim{SIM_create_demo()};
};

const std::string kListed =
    "0. No device\n1. 'Zorvanik QM-38 V2 S/N A0002222 (/dev/ttyACM2)'\n"
    "2. 'Zorvanik QM-38 V2 S/N A0001234 (/dev/ttyACM10)'\n\nSelect device[2]:\nConnecting device...Ok.\n";

TEST_F(EmulatedProgram, ChoosingUsbConnectsThroughTheNodeAndCommandsWork) {
    bridge b(bed.master("/dev/ttyACM10"), SIM_serve_socketpair(sim.get()));
    BackgroundProcess tool({bin_path("qm38v2con-service")}, true);
    ASSERT_TRUE(tool.send("2\n\nsm\ngs\nq\n"));
    EXPECT_EQ(tool.wait_exit(30000), 0);
    const std::string out = tool.output();
    EXPECT_NE(out.find(kListed), std::string::npos) << out;
    EXPECT_NE(out.find("Serial = A0001234\n"), std::string::npos) << out;
    EXPECT_EQ(SIM_get_max_stored(sim.get()), 4000);
}

TEST_F(EmulatedProgram, UnpluggedDuringADownloadTheLinkIsLostAndNoFileIsComplete) {
    sim_faults_t slow;
    slow.delay_ms = 20;  // the download lasts seconds
    SIM_set_faults(sim.get(), slow);
    bridge b(bed.master("/dev/ttyACM10"), SIM_serve_socketpair(sim.get()));
    BackgroundProcess tool({bin_path("qm38v2con-service")}, true);
    ASSERT_TRUE(tool.send("2\n\n"));
    ASSERT_FALSE(tool.wait_for("Ok.\n").empty()) << tool.output();
    const size_t before = SIM_request_count(sim.get(), 0);
    ASSERT_TRUE(tool.send("sd\n\n"));
    ASSERT_TRUE(SIM_wait_requests(sim.get(), 0, before + 5, 10000));
    unplug(bed, b, 1, "ttyACM10");
    ASSERT_FALSE(tool.wait_for("\nDevice disconnected!\n").empty()) << tool.output();
    ASSERT_TRUE(tool.send("sm\nq\n"));
    EXPECT_EQ(tool.wait_exit(30000), 0);
    const std::string out = tool.output();
    const std::string download = out.substr(out.find("Downloading sd image"));
    EXPECT_NE(download.find("Command R62_cmd_download_sd error"), std::string::npos) << out;
    EXPECT_EQ(download.find("Ok\n"), std::string::npos) << out;
    EXPECT_NE(download.find("\nDevice not connected!\n"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(work.path() / "sd.img"));
    // The instrument is gone from the list too.
    char list[MXX_LIST_ENTRIES][COMM_ENTRY_SIZE] = {};
    int32_t count = -1;
    ASSERT_EQ(MXX_list_usb_devices(&list[0][0], MXX_LIST_ENTRIES, &count), 0);
    EXPECT_EQ(count, 1);
}

// The installed rule: the instrument's ids only, numbered before systemd's
// 73-seat-late.rules (which acts on the uaccess tag).
TEST(UdevRule, MatchesExactlyTheInstrumentsAndSortsBeforeTheSeatRules) {
    const std::filesystem::path rules = std::filesystem::path(QM_SOURCE_DIR) / "udev";
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(rules)) files.push_back(e.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_LT(files[0].filename().string(), "73");
    std::ifstream in(files[0]);
    int rule_lines = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        ++rule_lines;
        const std::string key = "ATTRS{idProduct}==\"";
        const size_t at = line.find(key);
        ASSERT_NE(at, std::string::npos) << line;
        const std::string pattern = line.substr(at + key.size(), line.find('"', at + key.size()) - at - key.size());
        for (unsigned pid = 0; pid <= 0xFFFF; ++pid) {
            char id[8];
            std::snprintf(id, sizeof id, "%04x", pid);
            EXPECT_EQ(fnmatch(pattern.c_str(), id, 0) == 0, pid >= 0x0C44 && pid <= 0x0C4D) << id;
        }
        EXPECT_NE(line.find("ATTRS{idVendor}==\"1781\""), std::string::npos) << line;
        EXPECT_NE(line.find("ACTION==\"add|change\""), std::string::npos) << line;
        EXPECT_NE(line.find("SUBSYSTEM==\"tty\""), std::string::npos) << line;
    }
    EXPECT_EQ(rule_lines, 2);
    std::ifstream again(files[0]);
    const std::string text((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("TAG+=\"uaccess\""), std::string::npos);
    EXPECT_NE(text.find("ENV{ID_MM_DEVICE_IGNORE}=\"1\""), std::string::npos);
    EXPECT_NE(text.find("SYMLINK+=\"qm38-$attr{serial}\""), std::string::npos);
}

}  // namespace
