#include "link/mxx_comm.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// Set by MXX_init, cleared by MXX_shut, used by MXX_idle_wait.
std::atomic<mxx_wait_callback_t> MXX_wait_callback{nullptr};

// Serialises every walk over the open links against the release of a closing
// link's context: a walk may hand out a context pointer, and event 3 frees it.
// The library drops a link from its walk before raising event 3, so once the
// release below has the lock no later walk can return the released context.
// It also guards the handler tables, which any thread may extend.
std::mutex g_link_walk;

constexpr uint16_t MXX_VID = 0x1781;
constexpr uint16_t MXX_PID_FAST = 0x0C44;
constexpr uint16_t MXX_PID_SLOW = 0x0C45;
constexpr uint16_t MXX_PID_LIST_MAX = 0x0C4D;
constexpr uint32_t MXX_BT_CLASS = 0xFFE050;

// The size check must hold in every build: a negative size would otherwise
// turn into a 65535-byte read of the caller's buffer.
[[noreturn]] void mxx_check_failed(const char* condition, const char* text, const char* file, int line) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%d: Assertion `%s' failed: %s\n", file, line, condition, text);
    std::abort();
}
#define MXX_CHECK(cond, text) ((cond) ? static_cast<void>(0) : mxx_check_failed(#cond, text, __FILE__, __LINE__))

// Calls `fn` with the context of the open link `id` while holding the walk
// lock; returns false when no open link has that id.
template <typename Fn>
bool with_link(int32_t id, Fn&& fn) {
    std::lock_guard<std::mutex> lock(g_link_walk);
    int32_t it = 0;
    if (comm_data_cntr_init(&it) != 0) return false;
    int32_t link_id = -1;
    void* context = nullptr;
    // Bounded: the library's walk ends after its (finite) table of links.
    while (comm_get_data(&it, &link_id, &context) == 1) {
        if (link_id == id && context != nullptr) {
            fn(*static_cast<mxx_conn_t*>(context));
            return true;
        }
    }
    return false;
}

int32_t MXX_make_command(uint8_t* frame, uint16_t code, const void* payload, uint16_t size, uint16_t timeout) {
    return MXX_build_frame(frame, code, payload, size, timeout, 0);
}

enum : int32_t { MXX_KIND_STATUS = 0, MXX_KIND_RESPONSE = 1, MXX_KIND_REJECT = 2 };

int32_t MXX_test_response(int32_t /*id*/, const uint8_t* frame1, int32_t count1, const uint8_t* frame2,
                          int32_t count2, const uint8_t* frame3, int32_t count3, void* outbuff,
                          int32_t outbuff_size, int32_t* out_size, int32_t* out_timeout, int32_t* out_status,
                          int32_t* out_kind) {
    const uint8_t* frame = nullptr;
    int32_t count = 0;
    int32_t kind = MXX_KIND_STATUS;
    if (count1 != 0) {
        frame = frame1;
        count = count1;
        kind = MXX_KIND_RESPONSE;
    } else if (count2 != 0) {
        frame = frame2;
        count = count2;
        kind = MXX_KIND_REJECT;
    } else if (count3 != 0) {
        frame = frame3;
        count = count3;
    }
    if (out_kind) *out_kind = kind;
    if (frame == nullptr) return 255;

    const uint8_t status = MXX_frame_status(frame);
    if (out_timeout) *out_timeout = MXX_frame_timeout(frame);
    if (out_status) *out_status = status;

    const std::span<const uint8_t> payload = MXX_frame_payload(frame, static_cast<size_t>(count));
    const auto size = static_cast<int32_t>(payload.size());
    if (kind == MXX_KIND_RESPONSE && status == 0 && size > 0 && outbuff != nullptr && size <= outbuff_size) {
        std::memcpy(outbuff, payload.data(), payload.size());
        if (out_size) *out_size = size;
    }
    return (kind == MXX_KIND_REJECT || status != 0) ? 1 : 0;
}

// The library reports at most a slot's capacity; anything else is clamped so
// the check never reads past the slot buffer.
int32_t clamp_count(int32_t count, int32_t capacity) {
    if (count < 0) return 0;
    return count > capacity ? capacity : count;
}

// Entries in use, whatever a caller left in hook_count.
int32_t hook_entries(const mxx_conn_t& c) {
    if (c.hook_count < 0) return 0;
    return c.hook_count > MXX_HOOK_SLOTS ? MXX_HOOK_SLOTS : c.hook_count;
}

struct mxx_dispatch_t {
    int32_t id;
    mxx_conn_t* conn;
};

void MXX_dispatch_frame(const uint8_t* frame, int32_t count, void* user) {
    const auto* d = static_cast<const mxx_dispatch_t*>(user);
    mxx_conn_t* c = d->conn;
    const int32_t id = d->id;

    if (!c->identified && c->test_probe != nullptr) {
        if (c->test_probe(id, frame, &c->device_type, c->probe_attempts) != 0) {
            c->identified = 1;
            if (c->on_connected) c->on_connected(id, c, c->device_type, c->user);
            comm_signal_connected(id);
        }
    }

    // Handlers may be registered from another thread: pick one under the
    // lock, call it outside (a handler may register handlers itself).
    const uint16_t code = MXX_frame_code(frame);
    mxx_hook_handler_t handler = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_link_walk);
        const int32_t n = hook_entries(*c);
        for (int32_t i = 0; i < n && handler == nullptr; ++i) {
            if (c->hooks[i].code == code) handler = c->hooks[i].handler;
        }
        const mxx_hook_t& any = c->hooks[MXX_HOOK_SLOTS - 1];
        if (handler == nullptr && any.code == MXX_HOOK_ANY) handler = any.handler;
    }
    if (handler != nullptr) handler(id, c, frame, c->user);

    comm_fill_rsp_buff(id, code, frame, count);
}

}  // namespace

// ---- exchange ----

namespace {

// On the link's own clock: an in-process link's is virtual.
int32_t elapsed_ms(int32_t id, int64_t since) {
    return static_cast<int32_t>(std::clamp<int64_t>(comm_clock_ms(id) - since, 0, INT32_MAX));
}

// Lets go by the answers still under way after an exchange that sent `owed`
// more tries than it received answers, so that none of them can be taken for
// a later request of the same code (the frame carries no request number).
// The slots stay armed for the exchange's own codes meanwhile. It ends when
// they all came, or when none came for `silence_ms`; a lost link or any
// other end of the wait ends it too.
void MXX_drain_late(int32_t id, int32_t owed, int32_t silence_ms) {
    for (; owed > 0; --owed) {
        int32_t count1 = 0, count2 = 0, count3 = 0;
        if (comm_wait_response(id, &count1, &count2, &count3, silence_ms) != 0) return;
    }
}

// The link's try count when `tries` is 0 or less; at least 1.
int32_t MXX_tries(int32_t id, int32_t tries) {
    if (tries > 0) return tries;
    tries = 1;
    with_link(id, [&](mxx_conn_t& c) { tries = c.cmd_num_try.load(std::memory_order_relaxed); });
    return std::max(tries, 1);
}

// The slots an exchange arms: its answer, rejections, status frames.
// Deliberately left uninitialised: only the bytes written are ever read.
struct mxx_slots_t {
    std::array<uint8_t, MXX_RSP_CAP1> answer;
    std::array<uint8_t, MXX_RSP_CAP2> reject;
    std::array<uint8_t, MXX_RSP_CAP3> status;

    void arm(int32_t id, uint16_t req) {
        comm_hook_response(id, static_cast<uint16_t>(req + MXX_RESPONSE_OFFSET), answer.data(), MXX_RSP_CAP1,
                           MXX_CODE_REJECT, reject.data(), MXX_RSP_CAP2, MXX_CODE_STATUS, status.data(), MXX_RSP_CAP3);
    }
};

// Where an exchange hands over what answered it.
struct mxx_out_t {
    void* buff;
    int32_t buff_size;
    int32_t* size;
    int32_t* timeout;
    int32_t* status;
};

// One try's wait for its answer: MXX_test_response's result, or
// COMM_ERR_INTERRUPTED when the operator stopped the wait, or
// COMM_ERR_CLOSED when the link ended without an answer.
int32_t MXX_await(int32_t id, mxx_slots_t& s, const mxx_out_t& out, int32_t timeout_ms, int32_t* kind) {
    int32_t count1 = 0, count2 = 0, count3 = 0;
    const int32_t waited = comm_wait_response(id, &count1, &count2, &count3, timeout_ms);
    if (waited == COMM_ERR_INTERRUPTED) return waited;
    const int32_t result = MXX_test_response(
        id, s.answer.data(), clamp_count(count1, MXX_RSP_CAP1), s.reject.data(), clamp_count(count2, MXX_RSP_CAP2),
        s.status.data(), clamp_count(count3, MXX_RSP_CAP3), out.buff, out.buff_size, out.size, out.timeout,
        out.status, kind);
    // A link that ended is reported as such whatever tries remain.
    if (*kind == MXX_KIND_STATUS && waited == COMM_ERR_CLOSED) return COMM_ERR_CLOSED;
    return result;
}

// The exchange of MXX_send_cmd with at most `tries` tries (0: the link's
// count); `kind` gets what ended it (MXX_KIND_*), status frames and silence
// both giving MXX_KIND_STATUS.
int32_t MXX_exchange(int32_t id, int32_t code, const void* inbuff, int32_t inbuff_size, const mxx_out_t& out,
                     int32_t timeout_ms, int32_t wait, int32_t tries, int32_t* kind) {
    MXX_CHECK(inbuff_size >= 0 && inbuff_size < (UINT16_MAX - 1), "Invalid data size for MXX frame!");
    tries = MXX_tries(id, tries);

    std::array<uint8_t, MXX_FRAME_BUF_SIZE> frame;  // uninitialised: only the bytes written are read
    mxx_slots_t slots;
    const uint16_t req = static_cast<uint16_t>(code);
    const int32_t frame_size = MXX_make_command(frame.data(), req, inbuff, static_cast<uint16_t>(inbuff_size),
                                                static_cast<uint16_t>(timeout_ms));
    if (wait) slots.arm(id, req);

    int32_t result = 255;
    int32_t last_kind = MXX_KIND_STATUS;
    bool done = !wait;
    int32_t sent = 0, answers = 0;
    const int64_t start = comm_clock_ms(id);
    for (int32_t t = 0; t < tries; ++t) {
        result = comm_write(id, frame.data(), frame_size, 0, timeout_ms);
        if (result == 0 && wait) {
            ++sent;
            result = MXX_await(id, slots, out, timeout_ms, &last_kind);
            // Stopped by the operator: the request stays sent, no try follows,
            // and nothing is drained (a drain would wait out the very time-out
            // he cut short). Ended: nothing more can come.
            if (result == COMM_ERR_INTERRUPTED || result == COMM_ERR_CLOSED) {
                sent = answers;
                break;
            }
            done = last_kind == MXX_KIND_RESPONSE || last_kind == MXX_KIND_REJECT;
            if (done) ++answers;
        }
        if (done) break;
    }

    if (wait) {
        if (sent > answers) {
            // Answers that come later than the time-out come about as late
            // as the one that ended this exchange, measured from the first try.
            const int32_t taken = answers > 0 ? elapsed_ms(id, start) : 0;
            MXX_drain_late(id, sent - answers, std::max(timeout_ms, taken + timeout_ms / 2));
        }
        comm_unhook_response(id);
    }
    if (kind) *kind = last_kind;
    return result;
}

}  // namespace

int32_t MXX_send_cmd(int32_t id, int32_t code, const void* inbuff, int32_t inbuff_size, void* outbuff,
                     int32_t outbuff_size, int32_t* out_size, int32_t* out_timeout, int32_t* out_status,
                     int32_t timeout_ms, int32_t wait) {
    return MXX_exchange(id, code, inbuff, inbuff_size, {outbuff, outbuff_size, out_size, out_timeout, out_status},
                        timeout_ms, wait, 0, nullptr);
}

int32_t MXX_send_write(int32_t id, int32_t code, const void* inbuff, int32_t inbuff_size, int32_t timeout_ms,
                       int32_t tries) {
    int32_t kind = MXX_KIND_STATUS;
    const int32_t r =
        MXX_exchange(id, code, inbuff, inbuff_size, {nullptr, 0, nullptr, nullptr, nullptr}, timeout_ms, 1, tries, &kind);
    // Status frames alone confirm nothing.
    if (r == 0 && kind != MXX_KIND_RESPONSE) return MXX_ERR_UNCONFIRMED;
    return r;
}

int32_t MXX_send_query(int32_t id, int32_t code, const void* inbuff, int32_t inbuff_size, void* out,
                       int32_t min_size, int32_t max_size, int32_t* got, int32_t timeout_ms, int32_t wait) {
    if (!wait || out == nullptr)
        return MXX_send_cmd(id, code, inbuff, inbuff_size, nullptr, 0, nullptr, nullptr, nullptr, timeout_ms, wait);
    // The answer lands here first, so a short one never reaches the caller.
    std::array<uint8_t, MXX_MAX_ANSWER> answer;
    const int32_t cap = std::min(max_size, MXX_MAX_ANSWER);
    int32_t size = 0;
    const int32_t r = MXX_send_cmd(id, code, inbuff, inbuff_size, answer.data(), cap, &size, nullptr, nullptr,
                                   timeout_ms, 1);
    if (r != 0) return r;
    if (size < min_size || size <= 0) return MXX_ERR_PAYLOAD;
    std::memcpy(out, answer.data(), static_cast<size_t>(size));
    if (got) *got = size;
    return 0;
}

int32_t MXX_set_cmd_num_try(int32_t id, int32_t n) {
    with_link(id, [&](mxx_conn_t& c) { c.cmd_num_try.store(n, std::memory_order_relaxed); });
    return 0;
}

int32_t MXX_idle_wait(int32_t id, uint16_t code, int32_t value) {
    const mxx_wait_callback_t cb = MXX_wait_callback.load();
    return cb ? cb(id, code, value) : 0;
}

// ---- lifecycle ----

int32_t MXX_init(mxx_wait_callback_t wait_callback, comm_usb_callback_t usb_callback, int32_t usb_user) {
    if (comm_init() != 0) return -1;
    MXX_wait_callback.store(wait_callback);
    return comm_usb_register(usb_callback, usb_user);
}

int32_t MXX_shut() {
    comm_usb_deregister();
    comm_shut();
    MXX_wait_callback.store(nullptr);
    return 0;
}

namespace {

// Opens a link through `open` (which stores the library's id through its
// first argument) with a fresh context, released again if it fails.
template <typename Open>
int32_t MXX_open(int32_t* id, Open open, mxx_on_connected_t on_connected, mxx_on_event_t on_error,
                 mxx_on_event_t on_closed, mxx_probe_t probe, mxx_test_probe_t test_probe, int32_t user) {
    auto* c = new (std::nothrow) mxx_conn_t{};
    if (c == nullptr) return -1;
    c->user = user;
    c->on_connected = on_connected;
    c->on_error = on_error;
    c->on_closed = on_closed;
    c->probe = probe;
    c->test_probe = test_probe;
    MXX_rx_reset(&c->rx);
    c->identified = 0;
    c->probe_attempts = 0;
    c->cmd_num_try.store(1);
    int32_t local_id = -1;
    if (open(id ? id : &local_id, c) != 0) {
        delete c;
        return -1;
    }
    return 0;
}

}  // namespace

int32_t MXX_connect(const char* conn, int32_t* id, mxx_on_connected_t on_connected, mxx_on_event_t on_error,
                    mxx_on_event_t on_closed, mxx_probe_t probe, mxx_test_probe_t test_probe, int32_t user) {
    if (conn == nullptr || conn[0] == '\0') return -1;
    const auto open = [conn](int32_t* out, mxx_conn_t* c) {
        return comm_connect(out, conn, MXX_event_proc, MXX_RX_CHUNK, MXX_IDLE_MS, c);
    };
    return MXX_open(id, open, on_connected, on_error, on_closed, probe, test_probe, user);
}

int32_t MXX_connect_peer(comm_peer_t* peer, int32_t* id, mxx_on_connected_t on_connected, mxx_on_event_t on_error,
                         mxx_on_event_t on_closed, mxx_probe_t probe, mxx_test_probe_t test_probe, int32_t user) {
    const auto open = [peer](int32_t* out, mxx_conn_t* c) {
        return comm_connect_peer(out, peer, MXX_event_proc, MXX_RX_CHUNK, MXX_IDLE_MS, c);
    };
    return MXX_open(id, open, on_connected, on_error, on_closed, probe, test_probe, user);
}

int32_t MXX_wait_connected(int32_t id, int32_t timeout_ms) { return comm_wait_connected(id, timeout_ms); }

int32_t MXX_get_conn_state_id(int32_t id) { return comm_get_state(id); }

int32_t MXX_disconnect(int32_t id) { return comm_disconnect(id); }

int32_t MXX_event_proc(int32_t id, uint8_t event, const uint8_t* data, int32_t length, void* context) {
    auto* c = static_cast<mxx_conn_t*>(context);
    if (c == nullptr) return 0;
    switch (event) {
    case MXX_EV_PROBE:
        if (c->probe) c->probe(id, c->probe_attempts);
        return 0;
    case MXX_EV_CONN_ERROR:
        if (c->on_error) c->on_error(id, c, c->user);
        return 0;
    case MXX_EV_DISCONNECTED: {
        if (c->on_closed) c->on_closed(id, c, c->user);
        std::lock_guard<std::mutex> lock(g_link_walk);
        delete c;
        return 0;
    }
    case MXX_EV_DATA:
        if (data != nullptr && length > 0) {
            mxx_dispatch_t d{id, c};
            MXX_rx_feed(&c->rx, data, static_cast<size_t>(length), MXX_dispatch_frame, &d);
        }
        return 0;
    case MXX_EV_IDLE:
        if (c->identified) {
            c->rx.rx_count = 0;
            c->rx.rx_expected = 0;
        } else if (c->probe_attempts <= 5) {
            if (c->probe) c->probe(id, c->probe_attempts);
            c->probe_attempts++;
        } else {
            comm_signal_connected(id);
            return -1;
        }
        return 0;
    default:
        return 0;
    }
}

int32_t MXX_hook_async_event(int32_t id, uint16_t code, mxx_hook_handler_t handler) {
    int32_t result = 0;
    with_link(id, [&](mxx_conn_t& c) {
        const int32_t n = hook_entries(c);
        for (int32_t i = 0; i < n; ++i) {
            if (c.hooks[i].code == code && c.hooks[i].handler == handler) return;
        }
        mxx_hook_t& last = c.hooks[MXX_HOOK_SLOTS - 1];
        if (c.hook_count > MXX_HOOK_SLOTS - 1 || (c.hook_count == MXX_HOOK_SLOTS - 1 && last.code != 0)) {
            result = -1;
            return;
        }
        if (code == MXX_HOOK_ANY) {
            last = mxx_hook_t{MXX_HOOK_ANY, handler};
            return;
        }
        c.hooks[c.hook_count] = mxx_hook_t{code, handler};
        c.hook_count++;
    });
    return result;
}

// ---- discovery and connection strings ----

void MXX_rewrite_usb_entry(char* entry) {
    const size_t len = strnlen(entry, COMM_ENTRY_SIZE);
    const char* slash = nullptr;
    for (size_t i = 0; i < len; ++i) {
        if (entry[i] == '/') slash = entry + i;
    }
    if (slash == nullptr) return;
    const char* first = slash + 1;
    const char* end = entry + len;
    if (end - first >= 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X')) first += 2;
    unsigned value = 0;
    const auto parsed = std::from_chars(first, end, value, 16);
    if (parsed.ec != std::errc{} || value != MXX_PID_FAST || len < 4) return;
    std::memcpy(entry, "USBF", 4);
}

int32_t MXX_list_usb_devices(char* list, int32_t maximum, int32_t* count) {
    const int32_t r = comm_list_devices_usb(0, list, maximum, count, "", "", MXX_VID, MXX_VID, MXX_PID_FAST,
                                            MXX_PID_LIST_MAX);
    if (list == nullptr || count == nullptr) return r;
    int32_t n = *count;
    if (n > maximum) n = maximum;
    for (int32_t i = 0; i < n; ++i) MXX_rewrite_usb_entry(list + static_cast<size_t>(i) * COMM_ENTRY_SIZE);
    return r;
}

int32_t MXX_make_usb_conn_string(char* out, const char* entry, int32_t size) {
    if (entry == nullptr) return -1;
    uint16_t pid = 0;
    if (std::strncmp(entry, "USBF", 4) == 0 || std::strncmp(entry, "USBS", 4) == 0) pid = MXX_PID_FAST;
    else if (std::strncmp(entry, "USBU", 4) == 0) pid = MXX_PID_SLOW;
    else return -1;
    return comm_make_conn_string_usb(out, entry, size, MXX_VID, pid);
}

int32_t MXX_make_serial_conn_string(char* out, uint16_t port) {
    return comm_make_conn_string_serial(out, port, 115200, 8, 1, 0, 0);
}

int32_t MXX_make_serial_path_conn_string(char* out, const char* path) {
    return comm_make_conn_string_serial_path(out, path, 115200, 8, 1, 0, 0);
}

int32_t MXX_make_bt_conn_string(char* out, const char* address, const char* extra) {
    return comm_make_conn_string_bt(out, address, extra, MXX_BT_CLASS, 1, "7316", 60000);
}

int32_t MXX_make_net_conn_string(char* out, const char* address, uint16_t port) {
    return comm_make_conn_string_net(out, address, port, 1000);
}

int32_t MXX_bt_is_available() { return comm_bt_is_available(); }

int32_t MXX_comm_bt_discover(int32_t a, int32_t b) { return comm_bt_discover(a, MXX_BT_CLASS, b); }

int32_t MXX_comm_bt_discover_wait(char* list, int32_t* count) { return comm_bt_discover_wait(list, count); }

int32_t MXX_comm_bt_discover_cancel() { return comm_bt_discover_cancel(); }
