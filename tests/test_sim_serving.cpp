// Serving over a pseudo-terminal and TCP, and the qm38sim program itself.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/client.h"
#include "sim/sim.h"

namespace {

using bytes = std::vector<uint8_t>;
const bytes kSerial = {'A', '0', '0', '0', '1', '2', '3', '4'};

// sscanf over the whole text: the format ends in %n, which must reach the end.
template <typename... T>
bool whole_match(const std::string& text, const char* format, T*... values) {
    int end = -1;
    const int got = std::sscanf(text.c_str(), format, values..., &end);
    return got == static_cast<int>(sizeof...(T)) && end == static_cast<int>(text.size());
}

int open_tty(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

int connect_tcp(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A qm38sim child with its standard output and error on one pipe.
struct program_t {
    pid_t pid = -1;
    int out = -1;
    std::string buffered;

    bool start(const std::vector<std::string>& args) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return false;
        pid = fork();
        if (pid == 0) {
            dup2(p[1], 1);
            dup2(p[1], 2);
            std::vector<char*> argv;
            std::string exe = std::string(QM_BIN_DIR) + "/qm38sim";
            argv.push_back(exe.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        ::close(p[1]);
        out = p[0];
        return pid > 0;
    }
    // One line of output (without its newline), waiting at most 10 s.
    bool line(std::string* l) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            const size_t nl = buffered.find('\n');
            if (nl != std::string::npos) {
                *l = buffered.substr(0, nl);
                buffered.erase(0, nl + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd pf{out, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pf, 1, static_cast<int>(left.count())) <= 0) return false;
            char buf[256];
            const ssize_t n = ::read(out, buf, sizeof buf);
            if (n <= 0) return false;
            buffered.append(buf, static_cast<size_t>(n));
        }
    }
    // Exit status after `sig` (0: none sent), or -1 when it does not end within 10 s.
    int finish(int sig) {
        if (sig) ::kill(pid, sig);
        for (int i = 0; i < 1000; ++i) {
            int st = 0;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            usleep(10000);
        }
        return -1;
    }
    ~program_t() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) ::close(out);
    }
};

}  // namespace

TEST(SimServePty, ToolsMayOpenAndCloseThePortAgain) {
    sim_ptr sim(SIM_create_demo());
    std::string path;
    int32_t com = 0;
    ASSERT_EQ(SIM_serve_pty(sim.get(), &path, &com), 0);
    int n = -1;
    ASSERT_TRUE(whole_match(path, "/dev/pts/%d%n", &n)) << path;
    EXPECT_EQ(com, 129 + n);
    for (int round = 0; round < 3; ++round) {
        const int fd = open_tty(path);
        ASSERT_GE(fd, 0) << path;
        sim_client_ptr c(SIMC_open(fd));
        sim_frame_t f;
        ASSERT_TRUE(SIMC_call(c.get(), 8007, {}, &f)) << "round " << round;
        EXPECT_EQ(f.payload, kSerial);
        ASSERT_TRUE(SIMC_call(c.get(), 8201, {}, &f));
        EXPECT_EQ(f.payload, SIM_get_params(sim.get())) << "a 400-byte answer arrives whole";
    }
}

TEST(SimServePty, DropLinkAfterMutesThePort) {
    sim_ptr sim(SIM_create_demo());
    sim_faults_t f;
    f.drop_link_after = 1;
    SIM_set_faults(sim.get(), f);
    std::string path;
    ASSERT_EQ(SIM_serve_pty(sim.get(), &path, nullptr), 0);
    sim_client_ptr c(SIMC_open(open_tty(path)));
    sim_frame_t a;
    EXPECT_TRUE(SIMC_call(c.get(), 8007, {}, &a));
    EXPECT_FALSE(SIMC_call(c.get(), 8007, {}, &a, 200));
    EXPECT_EQ(SIM_request_count(sim.get(), 8007), 2u);
}

TEST(SimServeTcp, ConnectionsAreServedInTurnAndTogether) {
    sim_ptr sim(SIM_create_demo());
    uint16_t port = 0;
    ASSERT_EQ(SIM_serve_tcp(sim.get(), 0, &port), 0);
    ASSERT_NE(port, 0);
    sim_frame_t f;
    {
        sim_client_ptr c(SIMC_open(connect_tcp(port)));
        ASSERT_TRUE(SIMC_call(c.get(), 8007, {}, &f));
        EXPECT_EQ(f.payload, kSerial);
    }
    sim_client_ptr a(SIMC_open(connect_tcp(port)));
    sim_client_ptr b(SIMC_open(connect_tcp(port)));
    ASSERT_TRUE(SIMC_call(b.get(), 8001, {}, &f));
    EXPECT_EQ(f.code, 9001);
    ASSERT_TRUE(SIMC_call(a.get(), 8007, {}, &f));
    EXPECT_EQ(f.code, 9007);
    SIM_stop(sim.get());
    EXPECT_TRUE(SIMC_wait_closed(a.get(), 3000));
    EXPECT_LT(connect_tcp(port), 0) << "stopped: nobody listens any more";
}

TEST(SimProgram, PrintsTheComPortAndServesUntilTerminated) {
    program_t p;
    ASSERT_TRUE(p.start({}));
    std::string l;
    ASSERT_TRUE(p.line(&l));
    int n = -1;
    int com = -1;
    ASSERT_TRUE(whole_match(l, "qm38sim: serving instrument A0001234 on /dev/pts/%d (COM port %d)%n", &n, &com)) << l;
    EXPECT_EQ(com, 129 + n);
    const std::string path = "/dev/pts/" + std::to_string(n);
    for (int round = 0; round < 2; ++round) {
        sim_client_ptr c(SIMC_open(open_tty(path)));
        sim_frame_t f;
        ASSERT_TRUE(SIMC_call(c.get(), 8007, {}, &f));
        EXPECT_EQ(f.payload, kSerial);
    }
    EXPECT_EQ(p.finish(SIGINT), 0);
}

TEST(SimProgram, OptionsScenarioTcpAndPrintPath) {
    char name[] = "/tmp/qm38sim_scenario_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    const std::string scenario = R"({"serial": "A000XXXX", "params": {"max_stored_meas": 7}})";
    ASSERT_EQ(::write(fd, scenario.data(), scenario.size()), static_cast<ssize_t>(scenario.size()));
    ::close(fd);
    program_t p;
    ASSERT_TRUE(p.start({"--scenario", name, "--tcp", "0", "--print-path", "--reject", "--only-code", "8201"}));
    std::string path, serving, tcp;
    ASSERT_TRUE(p.line(&path));
    ASSERT_TRUE(p.line(&serving));
    ASSERT_TRUE(p.line(&tcp));
    ::unlink(name);
    EXPECT_EQ(serving.find("qm38sim: serving instrument A000XXXX on " + path + " (COM port "), 0u) << serving;
    int port = -1;
    ASSERT_TRUE(whole_match(tcp, "qm38sim: also serving on 127.0.0.1:%d%n", &port)) << tcp;
    sim_client_ptr c(SIMC_open(connect_tcp(static_cast<uint16_t>(port))));
    sim_frame_t f;
    ASSERT_TRUE(SIMC_call(c.get(), 8007, {}, &f));
    EXPECT_EQ(f.payload, (bytes{'A', '0', '0', '0', 'X', 'X', 'X', 'X'}));
    ASSERT_TRUE(SIMC_call(c.get(), 8201, {}, &f));
    EXPECT_EQ(f.code, 12290);
    EXPECT_EQ(p.finish(SIGTERM), 0);
}

TEST(SimProgram, FaultOptionsAndRequestPrinting) {
    program_t p;
    ASSERT_TRUE(p.start({"--serial", "B0001234", "--drop-first", "1", "--print-requests", "--print-path"}));
    std::string path, l;
    ASSERT_TRUE(p.line(&path));
    ASSERT_TRUE(p.line(&l));
    EXPECT_EQ(l.find("qm38sim: serving instrument B0001234 on " + path), 0u) << l;
    sim_client_ptr c(SIMC_open(open_tty(path)));
    sim_frame_t f;
    EXPECT_FALSE(SIMC_call(c.get(), 8007, {}, &f, 200)) << "the first answer is dropped";
    ASSERT_TRUE(SIMC_call(c.get(), 8007, {}, &f));
    EXPECT_EQ(f.payload, (bytes{'B', '0', '0', '0', '1', '2', '3', '4'}));
    ASSERT_TRUE(SIMC_call(c.get(), 8022, {0x01, 0x20, 0, 0}, &f));
    ASSERT_TRUE(p.line(&l));
    EXPECT_EQ(l, "qm38sim: request 8007 timeout 800 payload 0 bytes");
    ASSERT_TRUE(p.line(&l));
    EXPECT_EQ(l, "qm38sim: request 8007 timeout 800 payload 0 bytes");
    ASSERT_TRUE(p.line(&l));
    EXPECT_EQ(l, "qm38sim: request 8022 timeout 800 payload 4 bytes 01 20 00 00");
    EXPECT_EQ(p.finish(SIGTERM), 0);
}

TEST(SimProgram, RefusesBadOptionsAndFiles) {
    {
        program_t p;
        ASSERT_TRUE(p.start({"--drop-first"}));
        EXPECT_EQ(p.finish(0), 2);
    }
    {
        program_t p;
        ASSERT_TRUE(p.start({"--no-such-option"}));
        EXPECT_EQ(p.finish(0), 2);
    }
    {
        program_t p;
        ASSERT_TRUE(p.start({"--scenario", "/nonexistent.json"}));
        EXPECT_EQ(p.finish(0), 1);
    }
    {
        program_t p;
        ASSERT_TRUE(p.start({"--help"}));
        std::string l;
        ASSERT_TRUE(p.line(&l));
        EXPECT_EQ(l.rfind("usage: qm38sim", 0), 0u);
        EXPECT_EQ(p.finish(0), 0);
    }
}

TEST(SimScenarioFiles, ShippedScenariosLoad) {
    const std::string dir = std::string(QM_SOURCE_DIR) + "/sim/scenarios";
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    int count = 0;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() < 5 || n.substr(n.size() - 5) != ".json") continue;
        std::string err;
        sim_ptr s(SIM_create_file(dir + "/" + n, &err));
        EXPECT_TRUE(s) << n << ": " << err;
        ++count;
    }
    closedir(d);
    EXPECT_GE(count, 4);
}
