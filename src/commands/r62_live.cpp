#include "commands/r62_live.h"

#include <cstdio>

#include "libcomm/libcomm.h"

std::string live_event_line(std::span<const uint8_t> payload) {
    if (payload.size() < LIVE_SIZE) return {};
    const live_event_t e = live_event_decode(payload.data());
    const int32_t value = e.value;
    const auto kappa = static_cast<double>(e.kappa);
    const auto sigma = static_cast<double>(e.sigma);
    // Wide enough for any float in %f.
    char line[160];
    switch (e.code) {
        case LIVE_START: return "Start of measurement\n";
        case LIVE_PROGRESS: std::snprintf(line, sizeof line, "   Progress:%d\n", value); break;
        case LIVE_BUTTON:
        case LIVE_SCAN_BUTTON: std::snprintf(line, sizeof line, "   Button:%d\n", value); break;
        case LIVE_FINISHED:
            std::snprintf(line, sizeof line, "Finished:   Error=%d Kappa=%6.3f Sigma=%5.1f\n", value, kappa, sigma);
            break;
        case LIVE_SCAN_START: std::snprintf(line, sizeof line, "Scanner start:%d\n", value); break;
        case LIVE_SCAN_POINT:
            std::snprintf(line, sizeof line, "   Progress:%d   Kappa=%6.3f  Sigma=%5.1f\n", value, kappa, sigma);
            break;
        case LIVE_SCAN_FINISHED: return "Finished\n";
        default: return {};
    }
    return line;
}

int32_t R62_event_live_data(int32_t, mxx_conn_t*, const uint8_t* frame, int32_t) {
    if (frame == nullptr) return 0;
    const std::string line = live_event_line(MXX_frame_payload(frame));
    if (!line.empty()) log_write("MAIN", "%s", line.c_str());
    return 0;
}

int32_t R62_cmd_hook_events(int32_t id) { return MXX_hook_async_event(id, LIVE_CODE, R62_event_live_data); }
