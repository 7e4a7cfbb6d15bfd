// Serving over a pseudo-terminal and TCP, and the qm38sim program itself.
#include "test_sim_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace {

sim_client_ptr open_tty(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    EXPECT_GE(fd, 0) << path;
    return sim_client_ptr(fd < 0 ? nullptr : SIMC_open(fd));
}

int connect_tcp(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    ::close(fd);
    return -1;
}

// A qm38sim child with its standard output and error on one pipe.
struct program_t {
    pid_t pid = -1;
    int out = -1;

    explicit program_t(std::vector<std::string> args) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return;
        args.insert(args.begin(), std::string(QM_BIN_DIR) + "/qm38sim");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if ((pid = fork()) == 0) {
            dup2(p[1], 1);
            dup2(p[1], 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(p[1]);
        out = p[0];
    }
    // One line of output without its newline; each byte waited for at most 10 s.
    std::string line() {
        std::string l;
        char c = 0;
        for (pollfd pf{out, POLLIN, 0}; ::poll(&pf, 1, 10000) > 0 && ::read(out, &c, 1) == 1 && c != '\n';) l += c;
        return l;
    }
    // Exit status after `sig` (0: none sent), or -1 when it does not end within 10 s.
    int finish(int sig) {
        if (pid <= 0) return -1;
        if (sig) ::kill(pid, sig);
        int st = 0;
        pid_t got = 0;
        for (int i = 0; i < 1000 && (got = waitpid(pid, &st, WNOHANG)) == 0; ++i) usleep(10000);
        if (got != pid) return -1;
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
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

TEST(SimServePty, ToolsMayOpenAndCloseThePortAgainUntilTheLinkDrops) {
    sim_ptr sim(SIM_create_demo());
    std::string path;
    int32_t com = 0;
    ASSERT_EQ(SIM_serve_pty(sim.get(), &path, &com), 0);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    EXPECT_EQ(com, 129 + std::stoi(path.substr(9))) << path;
    sim_frame_t f;
    for (int round = 0; round < 2; ++round) {
        sim_client_ptr c = open_tty(path);
        ASSERT_TRUE(c && SIMC_call(c.get(), 8007, {}, &f)) << "round " << round;
        EXPECT_EQ(f.payload, kSerial);
        ASSERT_TRUE(SIMC_call(c.get(), 8201, {}, &f));
        EXPECT_EQ(f.payload, SIM_get_params(sim.get())) << "a 400-byte answer arrives whole";
    }
    // A dropped link on a pty: the port stays open but goes mute; requests are still logged.
    sim_faults_t faults;
    faults.drop_link_after = 1;
    SIM_set_faults(sim.get(), faults);
    SIM_clear_requests(sim.get());
    sim_client_ptr c = open_tty(path);
    ASSERT_TRUE(c && SIMC_call(c.get(), 8007, {}, &f));
    EXPECT_FALSE(SIMC_call(c.get(), 8007, {}, &f, 200));
    EXPECT_EQ(SIM_request_count(sim.get(), 8007), 2u);
}

TEST(SimProgram, PrintsItsComPortLineAndServesUntilInterrupted) {
    const std::string name = "/tmp/qm38sim_scenario_" + std::to_string(getpid()) + ".json";
    std::ofstream(name) << R"({"serial": "A000XXXX", "faults": {"fail_codes": {"8001": 3}},
                            "settings": {"flash_block_size": 128}})";
    program_t p({"--scenario", name, "--tcp", "0", "--print-path", "--print-requests", "--drop-first", "1",
                 "--reject", "--only-code", "8201", "--reboot-ms", "0"});
    const std::string path = p.line(), serving = p.line(), tcp = p.line();
    std::remove(name.c_str());
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    EXPECT_EQ(serving, "qm38sim: serving instrument A000XXXX on " + path + " (COM port " +
                           std::to_string(129 + std::stoi(path.substr(9))) + ")");
    const std::string prefix = "qm38sim: also serving on 127.0.0.1:";
    ASSERT_EQ(tcp.rfind(prefix, 0), 0u) << tcp;
    const int port = std::stoi(tcp.substr(prefix.size()));
    EXPECT_EQ(tcp, prefix + std::to_string(port));

    // Two TCP connections and the pty, served together; options add to the
    // scenario's faults and settings.
    sim_client_ptr a(SIMC_open(connect_tcp(static_cast<uint16_t>(port))));
    sim_client_ptr b(SIMC_open(connect_tcp(static_cast<uint16_t>(port))));
    sim_frame_t f;
    ASSERT_TRUE(SIMC_call(a.get(), 8001, {}, &f));
    EXPECT_EQ(f.status, 3) << "the scenario's fault is kept";
    EXPECT_FALSE(SIMC_call(a.get(), 8201, {}, &f, 200)) << "the first answer of that code is dropped";
    ASSERT_TRUE(SIMC_call(b.get(), 8201, {}, &f));
    EXPECT_EQ(f.code, 12290);
    ASSERT_TRUE(SIMC_call(b.get(), 8100, {}, &f));
    EXPECT_EQ(f.payload, (bytes{128, 0, 0, 0})) << "the scenario's block size is kept";
    sim_client_ptr tty = open_tty(path);
    ASSERT_TRUE(tty && SIMC_call(tty.get(), 8007, {}, &f));
    EXPECT_EQ(f.payload, (bytes{'A', '0', '0', '0', 'X', 'X', 'X', 'X'}));
    ASSERT_TRUE(SIMC_call(b.get(), 8022, {0x01, 0x20, 0, 0}, &f));
    for (const char* code : {"8001", "8201", "8201", "8100", "8007"})
        EXPECT_EQ(p.line().substr(0, 21), "qm38sim: request " + std::string(code));
    EXPECT_EQ(p.line(), "qm38sim: request 8022 timeout 800 payload 4 bytes 01 20 00 00");
    EXPECT_EQ(p.finish(SIGINT), 0) << "ends cleanly with connections open";
}

TEST(SimProgram, RefusesBadOptionsAndFiles) {
    const struct {
        std::vector<std::string> args;
        int exit_code;
    } cases[] = {{{"--drop-first"}, 2}, {{"--no-such-option"}, 2}, {{"--scenario", "/nonexistent.json"}, 1}};
    for (const auto& c : cases) EXPECT_EQ(program_t(c.args).finish(0), c.exit_code) << c.args[0];
    program_t help({"--help"});
    EXPECT_EQ(help.line().rfind("usage: qm38sim", 0), 0u);
    EXPECT_EQ(help.finish(0), 0);
}
