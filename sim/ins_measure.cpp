// The measurement and scan state machine, with its live frames, and the raw
// sample source. Runs with sim_t::mu held.
#include <algorithm>
#include <cmath>

#include "records/live.h"
#include "records/meas.h"
#include "records/wire.h"
#include "services/r40_comm.h"
#include "services/r62_comm.h"
#include "sim/sim_internal.h"

namespace {

constexpr int32_t MEAS_PROGRESS_STEPS = 3;
constexpr size_t ARM_HISTORY = 4;

std::vector<uint8_t> live(uint32_t event, int32_t value, float kappa, float sigma) {
    std::vector<uint8_t> p(LIVE_SIZE);
    live_event_encode({event, value, kappa, sigma}, p.data());
    return p;
}

float meas_kappa(int32_t m) { return 0.125f + 0.0375f * static_cast<float>(m % 9); }
float meas_sigma(int32_t m) { return 10.0f + 2.5f * static_cast<float>(m % 6); }
float scan_kappa(size_t i) { return 0.5f + 0.25f * std::sin(0.7f * static_cast<float>(i)); }
float scan_sigma(size_t i) { return 20.0f + 5.0f * std::cos(0.3f * static_cast<float>(i)); }

void finish_single(sim_instrument_t& ins, std::vector<std::vector<uint8_t>>* out) {
    const float kappa = meas_kappa(ins.meas_counter);
    const float sigma = meas_sigma(ins.meas_counter);
    std::vector<uint8_t> rec = SIMI_new_record(ins, 1);
    uint8_t* r = rec.data();
    put_f32le(r, MR_SUSC, kappa);
    put_f32le(r, MR_COND, sigma);
    put_i32le(r, MR_SAMPLE_NO, MEAS_PROGRESS_STEPS);
    put_i32le(r, MR_MEAS_TIME, 1);
    for (int32_t k = 0; k < MEAS_PROGRESS_STEPS; ++k) {
        const float f = static_cast<float>(k + 1) / static_cast<float>(MEAS_PROGRESS_STEPS);
        meas_set_point(r, k, kappa * f, sigma * f);
    }
    SIMI_store_record(ins, rec);
    ins.last_kappa = kappa;
    ins.last_sigma = sigma;
    ins.state = SIM_STATE_IDLE;
    ins.meas = sim_meas_t::none;
    out->push_back(live(LIVE_FINISHED, 0, kappa, sigma));
}

void finish_scan(sim_instrument_t& ins, std::vector<std::vector<uint8_t>>* out) {
    std::vector<uint8_t> rec = SIMI_new_record(ins, 2);
    uint8_t* r = rec.data();
    const auto n = static_cast<int32_t>(ins.scan_points.size());
    float ks = 0.0f;
    float ss = 0.0f;
    for (size_t i = 0; i < ins.scan_points.size(); ++i) {
        meas_set_point(r, static_cast<int32_t>(i), ins.scan_points[i].first, ins.scan_points[i].second);
        ks += ins.scan_points[i].first;
        ss += ins.scan_points[i].second;
        if (i % 5 == 4) meas_set_point_mark(r, static_cast<int32_t>(i), true);
    }
    put_f32le(r, MR_SUSC, n > 0 ? ks / static_cast<float>(n) : 0.0f);
    put_f32le(r, MR_COND, n > 0 ? ss / static_cast<float>(n) : 0.0f);
    put_i32le(r, MR_SAMPLE_NO, n);
    put_i32le(r, MR_MEAS_TIME, n);
    SIMI_store_record(ins, rec);
    ins.state = SIM_STATE_IDLE;
    ins.meas = sim_meas_t::none;
    ins.scan_points.clear();
    out->push_back(live(LIVE_SCAN_BUTTON, 2, 0.0f, 0.0f));
    out->push_back(live(LIVE_SCAN_FINISHED, 0, 0.0f, 0.0f));
}

void schedule(sim_instrument_t& ins, sim_clock::time_point due, sim_action_t kind, int32_t arg) {
    ins.schedule.push_back({due, kind, arg, ins.generation});
}

}  // namespace

// Any new state request ends what was going on: no record is stored.
void SIMI_abort_measurement(sim_instrument_t& ins) {
    ins.meas = sim_meas_t::none;
    ins.arm_events.clear();
    ins.scan_points.clear();
    ins.schedule.clear();
    ++ins.generation;
}

sim_reply_t SIMI_on_send_event(sim_t* s, uint16_t, std::span<const uint8_t> p, sim_clock::time_point now) {
    const uint32_t ev = get_u32le(p.data(), 0);
    sim_instrument_t& ins = s->ins;
    sim_reply_t r = SIMI_ok(R62_CODE_SEND_EVENT);
    switch (ins.state) {
        case SIM_STATE_READY:
            if (ins.meas == sim_meas_t::single_armed) {
                if (ev == EVENT_TRIGGER) {
                    ins.meas = sim_meas_t::single_running;
                    ins.state = SIM_STATE_MEASURE;
                    ++ins.meas_counter;
                    r.live.push_back(live(LIVE_START, 0, 0.0f, 0.0f));
                    const auto total = std::chrono::milliseconds(std::max(0, s->settings.meas_ms));
                    for (int32_t k = 1; k <= MEAS_PROGRESS_STEPS; ++k)
                        schedule(ins, now + total * k / (MEAS_PROGRESS_STEPS + 1), sim_action_t::progress, k);
                    schedule(ins, now + total, sim_action_t::finish, 0);
                    r.scheduled = true;
                } else if (ev == EVENT_CANCEL) {
                    SIMI_abort_measurement(ins);
                    ins.state = SIM_STATE_IDLE;
                }
                break;
            }
            ins.arm_events.push_back(ev);
            if (ins.arm_events.size() > ARM_HISTORY) ins.arm_events.erase(ins.arm_events.begin());
            if (ev == EVENT_TRIGGER) {
                const std::vector<uint32_t>& a = ins.arm_events;
                const size_t n = a.size();
                const bool single = n >= 3 && a[n - 3] == EVENT_CANCEL && a[n - 2] == EVENT_ARM &&
                                    !(n >= 4 && a[n - 4] == EVENT_CANCEL);
                const bool scan = n >= 4 && a[n - 4] == EVENT_CANCEL && a[n - 3] == EVENT_CANCEL && a[n - 2] == EVENT_ARM;
                ins.arm_events.clear();
                if (single) {
                    ins.meas = sim_meas_t::single_armed;
                } else if (scan) {
                    ins.meas = sim_meas_t::scanning;
                    ins.state = SIM_STATE_SCAN;
                    ins.scan_points.clear();
                    r.live.push_back(live(LIVE_SCAN_START, 0, 0.0f, 0.0f));
                }
            }
            break;
        case SIM_STATE_MEASURE:
            if (ev == EVENT_CANCEL) {
                SIMI_abort_measurement(ins);
                ins.state = SIM_STATE_IDLE;
            }
            break;
        case SIM_STATE_SCAN:
            if (ev == EVENT_TRIGGER) {
                if (ins.scan_points.size() < static_cast<size_t>(MR_POINTS)) {
                    const size_t i = ins.scan_points.size();
                    ins.scan_points.emplace_back(scan_kappa(i), scan_sigma(i));
                    ins.last_kappa = scan_kappa(i);
                    ins.last_sigma = scan_sigma(i);
                    r.live.push_back(live(LIVE_SCAN_BUTTON, 1, 0.0f, 0.0f));
                    r.live.push_back(live(LIVE_SCAN_POINT, static_cast<int32_t>(i + 1), scan_kappa(i), scan_sigma(i)));
                }
            } else if (ev == EVENT_CANCEL) {
                finish_scan(ins, &r.live);
            }
            break;
        default:
            break;  // buttons do nothing outside a measurement
    }
    return r;
}

sim_reply_t SIMI_on_set_state(sim_t* s, uint16_t, std::span<const uint8_t> p, sim_clock::time_point now) {
    const uint32_t state = get_u32le(p.data(), 0);
    sim_instrument_t& ins = s->ins;
    sim_reply_t r = SIMI_ok(R62_CODE_SET_STATE);
    SIMI_abort_measurement(ins);
    if (state == SIM_STATE_PREPARE) {
        if (s->settings.arm_delay_ms <= 0) {
            ins.state = SIM_STATE_READY;
        } else {
            ins.state = SIM_STATE_PREPARE;
            schedule(ins, now + std::chrono::milliseconds(s->settings.arm_delay_ms), sim_action_t::ready, 0);
            r.scheduled = true;
        }
    } else {
        ins.state = state;
    }
    return r;
}

sim_reply_t SIMI_on_get_state(sim_t* s, uint16_t code, std::span<const uint8_t>, sim_clock::time_point) {
    return SIMI_ok(code, SIMI_u32(s->ins.state));
}

sim_reply_t SIMI_on_measure(sim_t* s, uint16_t code, std::span<const uint8_t>, sim_clock::time_point) {
    const double n = s->ins.sample_counter++;
    const double v = 20000.0 * std::sin(2.0 * M_PI * n / 50.0) + 3000.0 * std::sin(2.0 * M_PI * n / 7.0);
    return SIMI_ok(code, SIMI_u32(static_cast<uint32_t>(static_cast<int32_t>(std::lround(v)))));
}

sim_clock::time_point SIMI_run_due(sim_t* s, sim_clock::time_point now, std::vector<std::vector<uint8_t>>* out) {
    sim_instrument_t& ins = s->ins;
    std::stable_sort(ins.schedule.begin(), ins.schedule.end(),
                     [](const sim_scheduled_t& a, const sim_scheduled_t& b) { return a.due < b.due; });
    while (!ins.schedule.empty() && ins.schedule.front().due <= now) {
        const sim_scheduled_t a = ins.schedule.front();
        ins.schedule.erase(ins.schedule.begin());
        if (a.generation != ins.generation) continue;
        switch (a.kind) {
            case sim_action_t::ready:
                if (ins.state == SIM_STATE_PREPARE) ins.state = SIM_STATE_READY;
                break;
            case sim_action_t::progress:
                if (ins.meas == sim_meas_t::single_running) {
                    const float f = static_cast<float>(a.arg) / static_cast<float>(MEAS_PROGRESS_STEPS + 1);
                    out->push_back(live(LIVE_PROGRESS, a.arg, meas_kappa(ins.meas_counter) * f,
                                        meas_sigma(ins.meas_counter) * f));
                }
                break;
            case sim_action_t::finish:
                if (ins.meas == sim_meas_t::single_running) finish_single(ins, out);
                break;
        }
    }
    return ins.schedule.empty() ? sim_clock::time_point::max() : ins.schedule.front().due;
}

