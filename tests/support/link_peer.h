// The far end of a socket-pair link for the link-layer and service tests:
// it reads request frames and answers them from a script on its own thread.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "link/mxx_comm.h"
#include "support/frames.h"

// The responder gets every request frame with its index (counted over the
// peer's life) and returns the bytes to send back, if any. What the peer
// received may be read only while it is stopped.
class Peer {
public:
    using responder_t = std::function<bytes(const bytes& request, int index)>;

    Peer() {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        link_end_ = sv[0];
        mine_ = sv[1];
        MXX_rx_reset(rx_.get());
    }
    ~Peer() {
        hang_up();
        if (link_end_ >= 0) ::close(link_end_);
    }
    // The link's end, for the library to take over.
    int take_link_end() { return std::exchange(link_end_, -1); }
    std::string conn_string() {
        char out[COMM_ENTRY_SIZE] = {};
        EXPECT_EQ(comm_make_conn_string_fd(out, take_link_end()), 0);
        return out;
    }
    void start(responder_t responder) {
        responder_ = std::move(responder);
        running_ = true;
        thread_ = std::thread([this] {
            while (running_) pump(10);
            while (pump(20)) {
            }
        });
    }
    // Stops the thread after taking in whatever is already written.
    void stop() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    // Closes this end: the link sees the peer go away.
    void hang_up() {
        stop();
        if (mine_ >= 0) ::close(mine_);
        mine_ = -1;
    }
    bool send(const bytes& b) { return ::send(mine_, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size()); }

    std::vector<bytes> frames;  // the request frames

private:
    static void on_frame(const uint8_t* f, int32_t count, void* user) {
        auto* self = static_cast<Peer*>(user);
        self->frames.emplace_back(f, f + count);
        if (self->responder_) self->send(self->responder_(self->frames.back(), int(self->frames.size()) - 1));
    }
    bool pump(int timeout_ms) {
        pollfd p{mine_, POLLIN, 0};
        uint8_t buf[8192];
        if (::poll(&p, 1, timeout_ms) <= 0) return false;
        const ssize_t n = ::recv(mine_, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) return false;
        MXX_rx_feed(rx_.get(), buf, static_cast<size_t>(n), on_frame, this);
        return true;
    }

    int link_end_ = -1, mine_ = -1;
    std::unique_ptr<mxx_rx_t> rx_ = std::make_unique<mxx_rx_t>();
    responder_t responder_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// The link library, started once per test program.
class LinkEnv : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(MXX_init(nullptr, [](int32_t) { return 0; }, 0), 0); }
    void TearDown() override { MXX_shut(); }
};

// A link to a peer, identified by the peer's serial answer before the test
// body runs; closed afterwards.
class IdentifiedLink : public ::testing::Test {
protected:
    void SetUp() override {
        // Identifies the get-serial answer whose serial begins with 'A'.
        auto accept = [](int32_t, const uint8_t* f, int32_t* device_type, int32_t) -> int32_t {
            *device_type = 10;
            const std::span<const uint8_t> serial = MXX_frame_payload(f);
            return MXX_frame_code(f) == 9007 && !serial.empty() && serial[0] == 'A';
        };
        ASSERT_EQ(MXX_connect(peer.conn_string().c_str(), &id, nullptr, nullptr, nullptr, nullptr, accept, 0), 0);
        ASSERT_TRUE(peer.send(kSerialAnswer));
        ASSERT_EQ(MXX_wait_connected(id, 5000), 0);
        ASSERT_EQ(MXX_get_conn_state_id(id), COMM_STATE_CONNECTED);
    }
    void TearDown() override {
        if (id >= 0) MXX_disconnect(id);
        peer.stop();
    }

    Peer peer;
    int32_t id = -1;
};

// Context of the open link `id`, looked up through the library's walk.
inline mxx_conn_t* link_context(int32_t id) {
    int32_t it = 0, link_id = -1;
    void* ctx = nullptr;
    comm_data_cntr_init(&it);
    while (comm_get_data(&it, &link_id, &ctx) == 1)
        if (link_id == id) return static_cast<mxx_conn_t*>(ctx);
    return nullptr;
}
