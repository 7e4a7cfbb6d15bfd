// Live-data event (payload of the instrument's unsolicited frame), and the
// instrument states and events of a measurement or scan.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/wire.h"

// ---- live_event: 16 bytes at the start of the payload of frame code 0x2456 ----
constexpr uint16_t LIVE_CODE = 0x2456;
constexpr size_t LIVE_SIZE = 16;
constexpr size_t LIVE_OFF_CODE = 0;   // u32
constexpr size_t LIVE_OFF_VALUE = 4;  // i32
constexpr size_t LIVE_OFF_KAPPA = 8;  // f32
constexpr size_t LIVE_OFF_SIGMA = 12; // f32

// event_code values: a single measurement, then the same with bit 7 set for a scan.
enum : uint32_t {
    LIVE_START = 1,
    LIVE_PROGRESS = 2,
    LIVE_BUTTON = 3,
    LIVE_FINISHED = 4,
    LIVE_SCAN_START = 129,
    LIVE_SCAN_POINT = 130,
    LIVE_SCAN_BUTTON = 131,
    LIVE_SCAN_FINISHED = 132,
};

struct live_event_t {
    uint32_t code;
    int32_t value;
    float kappa;
    float sigma;
};

inline live_event_t live_event_decode(const uint8_t* p) {
    return {get_u32le(p, LIVE_OFF_CODE), get_i32le(p, LIVE_OFF_VALUE), get_f32le(p, LIVE_OFF_KAPPA),
            get_f32le(p, LIVE_OFF_SIGMA)};
}

inline void live_event_encode(const live_event_t& e, uint8_t* p) {
    put_u32le(p, LIVE_OFF_CODE, e.code);
    put_i32le(p, LIVE_OFF_VALUE, e.value);
    put_f32le(p, LIVE_OFF_KAPPA, e.kappa);
    put_f32le(p, LIVE_OFF_SIGMA, e.sigma);
}

// States of the state services and events of the event service.
enum : uint32_t {
    STATE_READY = 2,     // awaited before the arming events
    STATE_PREPARE = 25,  // requested at the start of a measurement or scan
    STATE_MEASURE = 26,  // a single measurement runs
    STATE_SCAN = 27,     // a scan runs
};
enum : uint32_t {
    EVENT_TRIGGER = 0x2001,  // trigger; also the last arming event
    EVENT_CANCEL = 0x2002,   // cancel or stop; also the first arming event
    EVENT_ARM = 0x4001,      // sent once between cancel and trigger when arming
};
