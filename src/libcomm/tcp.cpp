// TCP transport: "TCP:<timeout ms>:<host>:<port>", the port after the last
// ':' so that a numeric IPv6 host may carry colons of its own.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "libcomm/comm_internal.h"

namespace {

constexpr long MAX_CONNECT_MS = 600000;

int32_t tcp_open(const char* conn, const char* params, comm_io_t* io) {
    comm_tcp_conf_t conf;
    if (!comm_parse_tcp(params, &conf)) {
        comm_report_bad_conn(conn);
        return COMM_ERR_ARG;
    }
    const std::string& host = conf.host;
    const long port = conf.port;
    const long timeout_ms = conf.timeout_ms;
    const std::string service = std::to_string(port);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int gai = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (gai != 0) {
        log_error("Cannot resolve %s: %s\n", host.c_str(), gai_strerror(gai));
        return COMM_ERR_OPEN;
    }
    int err = EHOSTUNREACH;
    for (addrinfo* a = found; a; a = a->ai_next) {
        comm_fd fd(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd.valid()) {
            err = errno;
            continue;
        }
        err = comm_connect_socket(fd.get(), a->ai_addr, a->ai_addrlen, static_cast<int32_t>(timeout_ms));
        if (err == 0) {
            int one = 1;
            setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // frames are small and latency-bound
            io->fd = std::move(fd);
            break;
        }
    }
    freeaddrinfo(found);
    if (err != 0) {
        log_error("Cannot connect to %s port %ld: %s\n", host.c_str(), port, comm_error_text(err).text);
        return COMM_ERR_OPEN;
    }
    return 0;
}

}  // namespace

bool comm_parse_tcp(const char* params, comm_tcp_conf_t* conf) {
    long timeout_ms;
    long port;
    const char* p = params;
    const char* colon = strrchr(p, ':');
    const char* port_text = colon ? colon + 1 : nullptr;
    if (!comm_parse_number(p, 0, MAX_CONNECT_MS, ':', &timeout_ms) || !colon || colon <= p ||
        !comm_parse_number(port_text, 1, 65535, '\0', &port))
        return false;
    *conf = comm_tcp_conf_t{static_cast<int32_t>(timeout_ms), std::string(p, static_cast<size_t>(colon - p)),
                            static_cast<uint16_t>(port)};
    return true;
}

constexpr const char* tcp_prefixes[] = {"TCP"};
const comm_transport_t comm_tcp_transport = {tcp_prefixes, tcp_open, comm_fd_read, comm_sock_write, false};

int32_t comm_make_conn_string_net(char* out, const char* address, uint16_t port, int32_t timeout_ms) {
    if (!out) return COMM_ERR_ARG;
    out[0] = '\0';
    if (!address || address[0] == '\0' || port == 0 || timeout_ms < 0 || timeout_ms > MAX_CONNECT_MS)
        return COMM_ERR_ARG;
    return comm_format_entry(out, "TCP:%d:%s:%u", timeout_ms, address, static_cast<unsigned>(port));
}
