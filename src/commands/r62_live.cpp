#include "commands/r62_live.h"

#include "libcomm/libcomm.h"
#include "libcomm/text.h"

std::string live_event_line(std::span<const uint8_t> payload) {
    if (payload.size() < LIVE_SIZE) return {};
    const live_event_t e = live_event_decode(payload.data());
    const int32_t value = e.value;
    const auto kappa = static_cast<double>(e.kappa);
    const auto sigma = static_cast<double>(e.sigma);
    switch (e.code) {
        case LIVE_START: return "Start of measurement\n";
        case LIVE_PROGRESS: return text_format("   Progress:%d\n", value);
        case LIVE_BUTTON:
        case LIVE_SCAN_BUTTON: return text_format("   Button:%d\n", value);
        case LIVE_FINISHED: return text_format("Finished:   Error=%d Kappa=%6.3f Sigma=%5.1f\n", value, kappa, sigma);
        case LIVE_SCAN_START: return text_format("Scanner start:%d\n", value);
        case LIVE_SCAN_POINT: return text_format("   Progress:%d   Kappa=%6.3f  Sigma=%5.1f\n", value, kappa, sigma);
        case LIVE_SCAN_FINISHED: return "Finished\n";
        default: return {};
    }
}

int32_t R62_event_live_data(int32_t, mxx_conn_t*, const uint8_t* frame, int32_t) {
    if (frame == nullptr) return 0;
    const std::string line = live_event_line(MXX_frame_payload(frame));
    if (!line.empty()) log_write("MAIN", "%s", line.c_str());
    return 0;
}

int32_t R62_cmd_hook_events(int32_t id) { return MXX_hook_async_event(id, LIVE_CODE, R62_event_live_data); }
