// Link table, reader threads, link events, connected signalling, response
// slots and writes. Nothing here knows which transport a link uses.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "libcomm/comm_internal.h"
#include "libcomm/comm_peer.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int32_t MAX_LINKS = 64;
constexpr int32_t MAX_RX_SIZE = 1 << 20;
constexpr int SLOT_COUNT = 3;

struct slot_t {
    uint16_t code = 0;
    uint8_t* buf = nullptr;
    int32_t cap = 0;
    int32_t count = 0;  // bytes of the frame waiting to be reported; 0: empty
    bool held = false;  // reported, the caller may be reading the buffer
};

struct link_t {
    int32_t id = 0;
    comm_event_proc_t proc = nullptr;
    void* context = nullptr;
    const comm_transport_t* transport = nullptr;
    int32_t idle_ms = 0;
    std::vector<uint8_t> rx;

    comm_fd stop_fd;  // eventfd, readable from the moment the link must end; never drained
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> finished{false};  // the reader thread has delivered event 3

    std::mutex join_mu;
    std::thread thread;

    std::mutex write_mu;
    comm_fd fd;  // closed by the reader thread under write_mu
    std::unique_ptr<comm_link_state_t> transport_state;  // released after the fd is closed
    // Under write_mu: the bytes of a write that ran out of time part-way,
    // and how many of them went out. Finished before anything else is sent.
    std::vector<uint8_t> unfinished;
    size_t unfinished_sent = 0;

    // In-process links: the far end, the virtual clock, the next idle event.
    comm_peer_t* peer = nullptr;
    int64_t now_ms = 0;
    int64_t idle_at_ms = 0;
    bool running = false;  // its events are being raised; a nested run runs nothing

    bool listed = true;           // in the link walk; guarded by the table mutex
    bool signal_pending = false;  // reader thread only: signalled inside the event procedure

    std::mutex mu;  // guards what follows
    std::condition_variable cv;
    int32_t state = COMM_STATE_OPENING;
    bool signalled = false;
    bool ended = false;
    slot_t slots[SLOT_COUNT];
};

using link_ptr = std::shared_ptr<link_t>;

// Never destroyed: a reader thread still running at exit must not meet a
// destroyed table.
struct table_t {
    std::mutex mu;
    std::map<int32_t, link_ptr> links;  // open links, and ended ones not yet joined
    int32_t next_id = 1;
};

table_t& table() {
    static table_t* t = new table_t;
    return *t;
}

thread_local link_t* t_current_link = nullptr;  // the link whose reader thread this is

std::atomic<comm_wait_check_t> g_wait_check{nullptr};

link_ptr find_link(int32_t id) {
    table_t& t = table();
    std::lock_guard lock(t.mu);
    auto it = t.links.find(id);
    return it == t.links.end() ? nullptr : it->second;
}

void request_stop(link_t& link) {
    link.stop_requested = true;
    uint64_t one = 1;
    ssize_t r = write(link.stop_fd.get(), &one, sizeof one);
    (void)r;  // the counter cannot overflow from a handful of writes
}

void join_link(link_t& link) {
    std::lock_guard lock(link.join_mu);
    if (link.thread.joinable()) link.thread.join();
}

void forget_link(const link_ptr& link) {
    table_t& t = table();
    std::lock_guard lock(t.mu);
    auto it = t.links.find(link->id);
    if (it != t.links.end() && it->second == link) t.links.erase(it);
}

// Joins the threads of links that ended on their own.
void reap_finished() {
    std::vector<link_ptr> done;
    {
        table_t& t = table();
        std::lock_guard lock(t.mu);
        for (auto it = t.links.begin(); it != t.links.end();) {
            if (it->second->finished && it->second.get() != t_current_link) {
                done.push_back(std::move(it->second));
                it = t.links.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const link_ptr& link : done) join_link(*link);
}

void raise_event(link_t& link, uint8_t event, const uint8_t* data, int32_t length) {
    int32_t r = link.proc(link.id, event, data, length, link.context);
    if (link.signal_pending) {
        link.signal_pending = false;
        std::lock_guard lock(link.mu);
        if (!link.ended) {
            link.state = r == -1 ? COMM_STATE_GAVE_UP : COMM_STATE_CONNECTED;
            link.signalled = true;
            link.cv.notify_all();
        }
    }
}

int ms_until(clock_type::time_point deadline) {
    auto left = deadline - clock_type::now();
    if (left <= clock_type::duration::zero()) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

enum class end_kind { closed, failed };

end_kind read_loop(link_t& link) {
    const auto idle = std::chrono::milliseconds(link.idle_ms);
    auto deadline = clock_type::now() + idle;
    const int fd = link.fd.get();
    while (!link.stop_requested) {
        pollfd p[2] = {{fd, POLLIN, 0}, {link.stop_fd.get(), POLLIN, 0}};
        int r = poll(p, 2, ms_until(deadline));
        if (r < 0) {
            if (errno == EINTR) continue;
            return end_kind::failed;
        }
        if (p[1].revents) break;
        const short re = p[0].revents;
        if (re == 0) {
            if (clock_type::now() >= deadline) {
                raise_event(link, COMM_EV_IDLE, nullptr, 0);
                deadline = clock_type::now() + idle;
            }
            continue;
        }
        if (re & POLLNVAL) return end_kind::failed;
        ssize_t n = link.transport->read(fd, link.rx.data(), link.rx.size());
        if (n > 0) {
            raise_event(link, COMM_EV_DATA, link.rx.data(), static_cast<int32_t>(n));
            deadline = clock_type::now() + idle;
            continue;
        }
        if (n == 0) break;  // end of stream
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (re & POLLERR) return end_kind::failed;
            if (re & POLLHUP) break;
            continue;
        }
        // A pty slave reads EIO once its master has gone: a hang-up, not a fault.
        if (errno == EIO && (re & POLLHUP)) break;
        return end_kind::failed;
    }
    return end_kind::closed;
}

void reader_main(link_ptr link) {
    t_current_link = link.get();
    raise_event(*link, COMM_EV_PROBE, nullptr, 0);
    if (read_loop(*link) == end_kind::failed && !link->stop_requested) {
        {
            std::lock_guard lock(link->mu);
            link->state = COMM_STATE_FAILED;
        }
        raise_event(*link, COMM_EV_CONN_ERROR, nullptr, 0);
    }
    {
        std::lock_guard lock(link->mu);
        link->ended = true;
        link->state = COMM_STATE_NONE;
        link->cv.notify_all();
    }
    {
        table_t& t = table();
        std::lock_guard lock(t.mu);
        link->listed = false;
    }
    request_stop(*link);  // wakes a writer waiting for room
    {
        std::lock_guard lock(link->write_mu);
        link->fd.reset();
    }
    link->transport_state.reset();
    raise_event(*link, COMM_EV_DISCONNECTED, nullptr, 0);
    t_current_link = nullptr;
    link->finished = true;
}

// The wait check for a wait about to start: null when there is none, or when
// it is already non-zero (the wait was begun on purpose after a stop and
// runs its full time). The check may read the console: it is never called
// under a link's lock.
comm_wait_check_t started_check() {
    const comm_wait_check_t check = g_wait_check.load();
    return check != nullptr && check(1) == 0 ? check : nullptr;
}

// Waits under `lock` until `done` holds or the deadline; with a check, in
// slices, ending as soon as check(`during`) turns non-zero (true then).
template <typename Done>
bool wait_checked(link_t& link, std::unique_lock<std::mutex>& lock, clock_type::time_point deadline,
                  comm_wait_check_t check, int32_t during, Done done) {
    if (!check) {
        link.cv.wait_until(lock, deadline, done);
        return false;
    }
    const auto slice = std::chrono::milliseconds(COMM_WAIT_CHECK_MS);
    while (!done() && clock_type::now() < deadline) {
        link.cv.wait_until(lock, std::min(deadline, clock_type::now() + slice), done);
        lock.unlock();
        const bool stopped = check(during) != 0;
        lock.lock();
        if (stopped) return true;
    }
    return false;
}

// ---- in-process links ----

// The calling thread acts as `link`'s reader thread while this lives.
class reader_scope {
public:
    explicit reader_scope(link_t& link) : outer_(t_current_link) { t_current_link = &link; }
    ~reader_scope() { t_current_link = outer_; }
    reader_scope(const reader_scope&) = delete;
    reader_scope& operator=(const reader_scope&) = delete;

private:
    link_t* const outer_;
};

// Ends an in-process link as its reader thread would: out of the walk, then
// event 3, on the calling thread.
void peer_end(link_t& link) {
    if (link.finished) return;
    link.stop_requested = true;
    {
        std::lock_guard lock(link.mu);
        link.ended = true;
        link.state = COMM_STATE_NONE;
    }
    {
        table_t& t = table();
        std::lock_guard lock(t.mu);
        link.listed = false;
    }
    {
        reader_scope as_reader(link);
        raise_event(link, COMM_EV_DISCONNECTED, nullptr, 0);
    }
    link.finished = true;
}

// One run's events: data for the bytes due, idle in the silences, virtual
// time moving on only when nothing is due.
template <typename Done>
void peer_events(link_t& link, int64_t deadline, Done done) {
    while (!link.stop_requested && !done()) {
        const size_t n = link.peer->take_due(link.now_ms, link.rx.data(), link.rx.size());
        if (n > 0) {
            raise_event(link, COMM_EV_DATA, link.rx.data(), static_cast<int32_t>(std::min(n, link.rx.size())));
            link.idle_at_ms = link.now_ms + link.idle_ms;
            continue;
        }
        if (link.now_ms >= deadline) break;
        int64_t next = link.peer->next_due_ms(link.now_ms);
        if (next <= link.now_ms) next = COMM_PEER_NEVER;  // a far end that contradicts itself sends nothing
        link.now_ms = std::min({next, link.idle_at_ms, deadline});
        if (link.now_ms >= link.idle_at_ms) {
            raise_event(link, COMM_EV_IDLE, nullptr, 0);
            link.idle_at_ms = link.now_ms + link.idle_ms;
        }
    }
}

// The reader thread's work for an in-process link, on the caller's thread,
// until `done` holds or the clock reaches `deadline`.
template <typename Done>
void peer_run(link_t& link, int64_t deadline, Done done) {
    if (link.running || link.finished) return;
    link.running = true;
    {
        reader_scope as_reader(link);
        peer_events(link, deadline, done);
    }
    link.running = false;
    if (link.stop_requested) peer_end(link);
}

// Takes in what is due by now, raising nothing else.
void peer_catch_up(link_t& link) {
    peer_run(link, link.now_ms, [] { return false; });
}

bool slot_answered(const link_t& link) { return link.slots[0].count > 0 || link.slots[1].count > 0; }

const comm_transport_t* const transports[] = {
    &comm_serial_transport, &comm_usb_transport, &comm_tcp_transport, &comm_fd_transport, &comm_bt_transport,
};

const comm_transport_t* find_transport(const char* conn, const char** params) {
    const char* colon = strchr(conn, ':');
    if (!colon) return nullptr;
    const size_t len = static_cast<size_t>(colon - conn);
    for (const comm_transport_t* tp : transports) {
        for (const char* prefix : tp->prefixes) {
            if (strlen(prefix) == len && memcmp(prefix, conn, len) == 0) {
                *params = colon + 1;
                return tp;
            }
        }
    }
    return nullptr;
}

// Room for one more link, and an id for it (ids never wrap round to a used
// one). Called under the table mutex.
bool link_room(const table_t& t) {
    int32_t open_links = 0;
    for (const auto& [key, l] : t.links) open_links += l->listed ? 1 : 0;
    return open_links < MAX_LINKS && t.next_id > 0;
}

// A link not yet in the table, or null when there is no memory or no room.
link_ptr new_link(comm_event_proc_t proc, int32_t rx_size, int32_t idle_ms, void* context) {
    link_ptr link;
    try {
        link = std::make_shared<link_t>();
        link->rx.resize(static_cast<size_t>(rx_size));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    link->proc = proc;
    link->context = context;
    link->idle_ms = idle_ms;
    table_t& t = table();
    std::lock_guard lock(t.mu);
    return link_room(t) ? link : nullptr;
}

// The link's id, taken under the table lock.
void enter_link(table_t& t, const link_ptr& link) {
    link->id = t.next_id++;
    if (t.next_id == INT32_MAX) t.next_id = -1;
    t.links[link->id] = link;
}

// The link itself when called on its own reader thread (no table lock on
// the hot path), else a table look-up.
link_ptr lookup(int32_t id, link_t** fast) {
    *fast = nullptr;
    if (t_current_link && t_current_link->id == id) {
        *fast = t_current_link;
        return nullptr;
    }
    return find_link(id);
}

}  // namespace

int32_t comm_init() {
    return 0;
}

int32_t comm_shut() {
    std::vector<link_ptr> all;
    {
        table_t& t = table();
        std::lock_guard lock(t.mu);
        for (auto& [id, link] : t.links) all.push_back(link);
    }
    for (const link_ptr& link : all) request_stop(*link);
    for (const link_ptr& link : all) {
        if (link.get() == t_current_link) continue;  // ends after the current event
        if (link->peer) peer_end(*link);
        join_link(*link);
        forget_link(link);
    }
    comm_usb_stop();
    comm_bt_stop();
    return 0;
}

int32_t comm_connect(int32_t* id, const char* conn, comm_event_proc_t proc, int32_t rx_size, int32_t idle_ms,
                     void* context) {
    if (!id || !conn || !proc || rx_size < 1 || rx_size > MAX_RX_SIZE || idle_ms < 1) return COMM_ERR_ARG;
    if (conn[0] == '\0') return COMM_ERR_ARG;
    const char* params = nullptr;
    const comm_transport_t* tp = find_transport(conn, &params);
    if (!tp) {
        comm_report_bad_conn(conn);
        return COMM_ERR_ARG;
    }
    reap_finished();

    link_ptr link = new_link(proc, rx_size, idle_ms, context);
    if (!link) return COMM_ERR_NOMEM;
    link->transport = tp;
    link->stop_fd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!link->stop_fd.valid()) return COMM_ERR_NOMEM;

    comm_io_t io;
    int32_t r = tp->open(conn, params, &io);
    if (r != 0) return r;
    link->fd = std::move(io.fd);
    link->transport_state = std::move(io.state);
    link->idle_ms = std::max(idle_ms, io.min_idle_ms);

    table_t& t = table();
    std::unique_lock lock(t.mu);
    // Checked again: other links may have opened while this one was opening.
    if (!link_room(t)) {
        if (tp->adopts_fd) link->fd.release();
        return COMM_ERR_NOMEM;
    }
    enter_link(t, link);
    try {
        // Started under the table lock, so the thread exists before anyone
        // can find the link and join it.
        link->thread = std::thread(reader_main, link);
    } catch (const std::system_error&) {
        t.links.erase(link->id);
        if (tp->adopts_fd) link->fd.release();
        return COMM_ERR_NOMEM;
    }
    *id = link->id;
    return 0;
}

int32_t comm_disconnect(int32_t id) {
    link_ptr link = find_link(id);
    if (!link) return COMM_ERR_NOLINK;
    bool was_open;
    {
        table_t& t = table();
        std::lock_guard lock(t.mu);
        was_open = link->listed;
    }
    request_stop(*link);
    if (link.get() == t_current_link) return was_open ? 0 : COMM_ERR_NOLINK;
    if (link->peer) peer_end(*link);
    join_link(*link);
    forget_link(link);
    return was_open ? 0 : COMM_ERR_NOLINK;
}

int32_t comm_connect_peer(int32_t* id, comm_peer_t* peer, comm_event_proc_t proc, int32_t rx_size, int32_t idle_ms,
                          void* context) {
    if (!id || !peer || !proc || rx_size < 1 || rx_size > MAX_RX_SIZE || idle_ms < 1) return COMM_ERR_ARG;
    reap_finished();
    link_ptr link = new_link(proc, rx_size, idle_ms, context);
    if (!link) return COMM_ERR_NOMEM;
    link->peer = peer;
    link->idle_at_ms = idle_ms;
    {
        table_t& t = table();
        std::lock_guard lock(t.mu);
        if (!link_room(t)) return COMM_ERR_NOMEM;
        enter_link(t, link);
    }
    *id = link->id;
    {
        reader_scope as_reader(*link);
        raise_event(*link, COMM_EV_PROBE, nullptr, 0);
    }
    if (link->stop_requested) peer_end(*link);
    return 0;
}

int32_t comm_peer_run(int32_t id, int32_t ms) {
    link_ptr link = find_link(id);
    if (!link || !link->peer) return COMM_ERR_NOLINK;
    peer_run(*link, link->now_ms + std::max(ms, 0), [] { return false; });
    return 0;
}

int64_t comm_clock_ms(int32_t id) {
    if (link_ptr link = find_link(id); link && link->peer) return link->now_ms;
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now().time_since_epoch()).count();
}

int32_t comm_get_state(int32_t id) {
    link_t* fast;
    link_ptr held = lookup(id, &fast);
    link_t* link = fast ? fast : held.get();
    if (!link) return COMM_STATE_NONE;
    std::lock_guard lock(link->mu);
    return link->ended ? COMM_STATE_NONE : link->state;
}

int32_t comm_wait_connected(int32_t id, int32_t timeout_ms) {
    link_ptr link = find_link(id);
    if (!link) return COMM_ERR_NOLINK;
    const auto settled = [&] { return link->signalled || link->ended; };
    if (link->peer) {
        peer_run(*link, link->now_ms + std::max(timeout_ms, 0), [&] {
            std::lock_guard lock(link->mu);
            return settled();
        });
    }
    const auto deadline = clock_type::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    const comm_wait_check_t check = link->peer ? nullptr : started_check();
    std::unique_lock lock(link->mu);
    const bool stopped =
        !link->peer && wait_checked(*link, lock, deadline, check, COMM_WAIT_CHECK_OPERATOR, settled);
    if (link->signalled) return 0;
    if (stopped) return COMM_ERR_INTERRUPTED;
    return link->ended ? COMM_ERR_CLOSED : COMM_ERR_TIMEOUT;
}

int32_t comm_signal_connected(int32_t id) {
    link_t* fast;
    link_ptr held = lookup(id, &fast);
    if (fast) {
        // Inside the event procedure: the outcome depends on what it returns.
        fast->signal_pending = true;
        return 0;
    }
    if (!held) return COMM_ERR_NOLINK;
    std::lock_guard lock(held->mu);
    if (held->ended) return COMM_ERR_CLOSED;
    held->state = COMM_STATE_CONNECTED;
    held->signalled = true;
    held->cv.notify_all();
    return 0;
}

int32_t comm_data_cntr_init(int32_t* iterator) {
    if (!iterator) return COMM_ERR_ARG;
    *iterator = 0;
    return 0;
}

int32_t comm_get_data(int32_t* iterator, int32_t* id, void** context) {
    if (!iterator) return 0;
    table_t& t = table();
    std::lock_guard lock(t.mu);
    for (auto it = t.links.upper_bound(*iterator); it != t.links.end(); ++it) {
        if (!it->second->listed) continue;
        *iterator = it->first;
        if (id) *id = it->first;
        if (context) *context = it->second->context;
        return 1;
    }
    return 0;
}

namespace {

// Writes data[*sent..len) until the deadline, advancing *sent.
int32_t write_until(link_t& link, int fd, const uint8_t* data, size_t len, clock_type::time_point deadline,
                    size_t* sent) {
    while (*sent < len) {
        ssize_t n = link.transport->write(fd, data + *sent, len - *sent);
        if (n > 0) {
            *sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return COMM_ERR_IO;
        for (;;) {
            const int left = ms_until(deadline);
            if (left <= 0) return COMM_ERR_TIMEOUT;
            pollfd p[2] = {{fd, POLLOUT, 0}, {link.stop_fd.get(), POLLIN, 0}};
            int r = poll(p, 2, left);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return COMM_ERR_IO;
            if (r == 0) return COMM_ERR_TIMEOUT;
            if (p[1].revents) return COMM_ERR_CLOSED;
            if (p[0].revents & POLLOUT) break;
            return COMM_ERR_IO;  // error or hang-up without room to write
        }
    }
    return 0;
}

}  // namespace

int32_t comm_write(int32_t id, const uint8_t* bytes, int32_t length, int32_t flags, int32_t timeout_ms) {
    if (flags != 0 || length < 0 || (length > 0 && !bytes)) return COMM_ERR_ARG;
    link_t* fast;
    link_ptr held = lookup(id, &fast);
    link_t* link = fast ? fast : held.get();
    if (!link) return COMM_ERR_NOLINK;
    if (link->peer) peer_catch_up(*link);
    {
        std::lock_guard lock(link->mu);
        for (slot_t& s : link->slots) s.held = false;
    }
    if (link->peer) {
        if (link->stop_requested) return COMM_ERR_CLOSED;
        link->peer->received(bytes, static_cast<size_t>(length), link->now_ms);
        return 0;
    }
    std::lock_guard wlock(link->write_mu);
    if (!link->fd.valid() || link->stop_requested) return COMM_ERR_CLOSED;
    const int fd = link->fd.get();
    const auto deadline = clock_type::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    const auto size = static_cast<size_t>(length);
    std::vector<uint8_t>& rest = link->unfinished;
    if (!rest.empty()) {
        // The far end is inside that frame: new bytes now would land in it.
        const int32_t r = write_until(*link, fd, rest.data(), rest.size(), deadline, &link->unfinished_sent);
        if (r != 0) return r;
        // A retry of the same bytes is the frame just finished, not another.
        const bool retry = size == rest.size() && std::equal(bytes, bytes + size, rest.begin());
        rest.clear();
        link->unfinished_sent = 0;
        if (retry) return 0;
    }
    size_t sent = 0;
    const int32_t r = write_until(*link, fd, bytes, size, deadline, &sent);
    if (r != 0 && sent > 0) {
        try {
            rest.assign(bytes, bytes + size);
            link->unfinished_sent = sent;
        } catch (const std::bad_alloc&) {
            request_stop(*link);  // the far end would never see that frame end
        }
    }
    return r;
}

int32_t comm_hook_response(int32_t id, uint16_t code1, uint8_t* buf1, int32_t cap1, uint16_t code2, uint8_t* buf2,
                           int32_t cap2, uint16_t code3, uint8_t* buf3, int32_t cap3) {
    if (cap1 < 0 || cap2 < 0 || cap3 < 0) return COMM_ERR_ARG;
    link_ptr link = find_link(id);
    if (!link) return COMM_ERR_NOLINK;
    if (link->peer) peer_catch_up(*link);
    std::lock_guard lock(link->mu);
    if (link->ended) return COMM_ERR_CLOSED;
    link->slots[0] = slot_t{code1, buf1, buf1 ? cap1 : 0, 0, false};
    link->slots[1] = slot_t{code2, buf2, buf2 ? cap2 : 0, 0, false};
    link->slots[2] = slot_t{code3, buf3, buf3 ? cap3 : 0, 0, false};
    return 0;
}

int32_t comm_fill_rsp_buff(int32_t id, uint16_t code, const uint8_t* frame, int32_t length) {
    if (length < 0 || (length > 0 && !frame)) return COMM_ERR_ARG;
    link_t* fast;
    link_ptr held = lookup(id, &fast);
    link_t* link = fast ? fast : held.get();
    if (!link) return COMM_ERR_NOLINK;
    if (length == 0) return 0;
    bool took = false;
    {
        std::lock_guard lock(link->mu);
        if (link->ended) return 0;
        for (slot_t& s : link->slots) {
            if (!s.buf || s.code != code || s.held || length > s.cap) continue;
            memcpy(s.buf, frame, static_cast<size_t>(length));
            s.count = length;
            took = true;
        }
    }
    // Outside the lock, so the waiter does not wake only to block on it.
    if (took) link->cv.notify_all();
    return took ? 1 : 0;
}

int32_t comm_wait_response(int32_t id, int32_t* len1, int32_t* len2, int32_t* len3, int32_t timeout_ms) {
    int32_t* outs[SLOT_COUNT] = {len1, len2, len3};
    for (int32_t* out : outs)
        if (out) *out = 0;
    link_ptr link = find_link(id);
    if (!link) return COMM_ERR_NOLINK;
    const auto arrived = [&] { return slot_answered(*link) || link->ended; };
    const auto deadline = clock_type::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    const comm_wait_check_t check = link->peer ? nullptr : started_check();
    std::unique_lock lock(link->mu);
    for (slot_t& s : link->slots) s.held = false;
    bool stopped = false;
    if (link->peer) {
        lock.unlock();  // its events take the lock
        peer_run(*link, link->now_ms + std::max(timeout_ms, 0), [&] {
            std::lock_guard held(link->mu);
            return arrived();
        });
        lock.lock();
    } else {
        stopped = wait_checked(*link, lock, deadline, check, 0, arrived);
    }
    const bool answered = slot_answered(*link);
    for (int i = 0; i < SLOT_COUNT; ++i) {
        slot_t& s = link->slots[i];
        if (outs[i]) *outs[i] = s.count;
        s.held = s.count > 0;
        s.count = 0;
    }
    if (answered) return 0;
    if (stopped) return COMM_ERR_INTERRUPTED;
    return link->ended ? COMM_ERR_CLOSED : COMM_ERR_TIMEOUT;
}

bool comm_operator_stopped() {
    const comm_wait_check_t check = g_wait_check.load();
    return check != nullptr && check(COMM_WAIT_CHECK_OPERATOR) != 0;
}

int32_t comm_set_wait_check(comm_wait_check_t check) {
    g_wait_check.store(check);
    return 0;
}

int32_t comm_unhook_response(int32_t id) {
    link_ptr link = find_link(id);
    if (!link) return COMM_ERR_NOLINK;
    std::lock_guard lock(link->mu);
    for (slot_t& s : link->slots) s = slot_t{};
    return 0;
}
