// In-process links: the far end is an object in this process and the link
// keeps its own virtual clock, so tests and fuzz targets run exchanges with
// time-outs, late answers and silences of any length without threads and
// without waiting.
//
// Such a link has no reader thread. Its events run on the thread that uses
// it, inside the calls that would wait for the reader thread:
// comm_wait_response, comm_wait_connected and comm_peer_run. Before
// comm_write and comm_hook_response the link first takes in every byte due by
// then, as a reader thread that is never late would have. Only one thread may
// use an in-process link.
//
// Virtual time stands still while bytes are due. It moves on, to the next
// moment something happens (the far end's next bytes, an idle event, the end
// of the wait), only when the link has nothing else to do. Writes reach the
// far end at once and whole. The wait check is not consulted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "libcomm/libcomm.h"

constexpr int64_t COMM_PEER_NEVER = std::numeric_limits<int64_t>::max();

// The far end of an in-process link. Its functions run on the link's thread.
struct comm_peer_t {
    virtual ~comm_peer_t() = default;
    // The link wrote these bytes at virtual time `now_ms`.
    virtual void received(const uint8_t* bytes, size_t length, int64_t now_ms) = 0;
    // Copies at most `capacity` bytes the far end has sent by `now_ms`;
    // returns how many (0: none due yet).
    virtual size_t take_due(int64_t now_ms, uint8_t* buf, size_t capacity) = 0;
    // When the next bytes become due, later than `now_ms`; COMM_PEER_NEVER
    // when none are on their way.
    virtual int64_t next_due_ms(int64_t now_ms) const = 0;
};

// As comm_connect, with `peer` (which must outlive the link) for the far
// end. Event 1 is raised before this returns; the clock starts at 0.
int32_t comm_connect_peer(int32_t* id, comm_peer_t* peer, comm_event_proc_t proc, int32_t rx_size, int32_t idle_ms,
                          void* context);
// Runs an in-process link for `ms` of virtual time (0: only the bytes due
// now), raising its events. COMM_ERR_NOLINK for any other link.
int32_t comm_peer_run(int32_t id, int32_t ms);
