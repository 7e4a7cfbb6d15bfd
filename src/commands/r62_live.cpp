#include "commands/r62_live.h"

#include <cstdio>

#include "libcomm/libcomm.h"
#include "records/wire.h"

namespace {

enum : uint32_t {
    EV_START = 1,
    EV_PROGRESS = 2,
    EV_BUTTON = 3,
    EV_FINISHED = 4,
    EV_SCAN_START = 129,
    EV_SCAN_PROGRESS = 130,
    EV_SCAN_BUTTON = 131,
    EV_SCAN_FINISHED = 132,
};

}  // namespace

std::string live_event_line(std::span<const uint8_t> payload) {
    if (payload.size() < LIVE_SIZE) return {};
    const uint8_t* p = payload.data();
    const int32_t value = get_i32le(p, LIVE_OFF_EVENT_VALUE);
    const double kappa = get_f32le(p, LIVE_OFF_KAPPA);
    const double sigma = get_f32le(p, LIVE_OFF_SIGMA);
    // Wide enough for any float in %f.
    char line[160];
    switch (get_u32le(p, LIVE_OFF_EVENT_CODE)) {
        case EV_START: return "Start of measurement\n";
        case EV_PROGRESS: std::snprintf(line, sizeof line, "   Progress:%d\n", value); break;
        case EV_BUTTON:
        case EV_SCAN_BUTTON: std::snprintf(line, sizeof line, "   Button:%d\n", value); break;
        case EV_FINISHED:
            std::snprintf(line, sizeof line, "Finished:   Error=%d Kappa=%6.3f Sigma=%5.1f\n", value, kappa, sigma);
            break;
        case EV_SCAN_START: std::snprintf(line, sizeof line, "Scanner start:%d\n", value); break;
        case EV_SCAN_PROGRESS:
            std::snprintf(line, sizeof line, "   Progress:%d   Kappa=%6.3f  Sigma=%5.1f\n", value, kappa, sigma);
            break;
        case EV_SCAN_FINISHED: return "Finished\n";
        default: return {};
    }
    return line;
}

int32_t R62_event_live_data(int32_t, mxx_conn_t*, const uint8_t* frame, int32_t) {
    if (frame == nullptr) return 0;
    // The length field counts the payload and its checksum byte.
    const uint16_t length = MXX_frame_length(frame);
    const size_t payload = length > 0 ? length - 1u : 0u;
    const std::string line = live_event_line({frame + MXX_HEADER_SIZE, payload});
    if (!line.empty()) log_write("MAIN", "%s", line.c_str());
    return 0;
}

int32_t R62_cmd_hook_events(int32_t id) { return MXX_hook_async_event(id, LIVE_CODE, R62_event_live_data); }
