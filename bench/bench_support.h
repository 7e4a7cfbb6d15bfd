// What every benchmark that connects the way the program does needs: the
// link events that keep the program's connection state.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console/globals.h"
#include "link/mxx_comm.h"
#include "link/mxx_frame.h"
#include "sim/sim.h"

inline int32_t bench_on_connected(int32_t, mxx_conn_t*, int32_t type, int32_t) {
    dev_type.store(type);
    connected.store(1);
    return 0;
}

// The demo instrument, its line paced at `baud` (0: unpaced).
inline sim_ptr bench_paced_sim(int32_t baud) {
    sim_ptr sim(SIM_create_demo());
    sim_faults_t f;
    f.baud = baud;
    SIM_set_faults(sim.get(), f);
    return sim;
}

inline int32_t bench_on_closed(int32_t, mxx_conn_t*, int32_t) {
    connected.store(0);
    return 0;
}

// Opens the simulator's end the way the tool would, but bare.
inline int open_bare_link(sim_t* sim, bool tcp) {
    if (!tcp) {
        std::string path;
        int32_t port = 0;
        if (SIM_serve_pty(sim, &path, &port) != 0) return -1;
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
        return fd;
    }
    uint16_t port = 0;
    if (SIM_serve_tcp(sim, 0, &port) != 0) return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

// `count` requests of `code` (payload from `payload(i)`) from a bare loop: no
// console, no link library, one thread, against a fresh instrument on the
// same kind of paced line. What the machine and the simulator cost before
// any of the tool's code runs. Seconds, or -1.
template <typename Payload>
double bench_bare_exchanges(int32_t baud, bool tcp, uint16_t code, int32_t count, Payload payload) {
    sim_ptr sim = bench_paced_sim(baud);
    const int fd = open_bare_link(sim.get(), tcp);
    if (fd < 0) return -1;
    struct seen_t {
        uint16_t code;
        int answers;
    } seen{static_cast<uint16_t>(code + MXX_RESPONSE_OFFSET), 0};
    auto sink = [](const uint8_t* frame, int32_t, void* user) {
        auto* s = static_cast<seen_t*>(user);
        if (MXX_frame_code(frame) == s->code) ++s->answers;
    };
    auto rx = std::make_unique<mxx_rx_t>();
    MXX_rx_reset(rx.get());
    std::vector<uint8_t> request(MXX_FRAME_BUF_SIZE);
    std::array<uint8_t, 4096> buf{};
    const auto t0 = std::chrono::steady_clock::now();
    bool ok = true;
    for (int32_t i = 0; i < count && ok; ++i) {
        const std::vector<uint8_t> p = payload(i);
        const int32_t n = MXX_build_frame(request.data(), code, p.data(), static_cast<uint16_t>(p.size()), 1000, 0);
        ok = ::write(fd, request.data(), static_cast<size_t>(n)) == n;
        seen.answers = 0;
        while (ok && seen.answers == 0) {
            const ssize_t got = ::read(fd, buf.data(), buf.size());
            ok = got > 0;
            if (ok) MXX_rx_feed(rx.get(), buf.data(), static_cast<size_t>(got), sink, &seen);
        }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ::close(fd);
    return ok ? s : -1;
}
