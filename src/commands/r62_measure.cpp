#include "commands/r62_measure.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <thread>
#include <vector>

#include "commands/cmd_file.h"
#include "commands/progress.h"
#include "commands/r62_log.h"
#include "console/conutil.h"
#include "console/globals.h"
#include "libcomm/libcomm.h"
#include "libcomm/text.h"
#include "records/meas.h"
#include "records/wire.h"
#include "services/r62_comm.h"

namespace {

constexpr const char* TAG = "MAIN";
constexpr int32_t POINTS_PER_LINE = 5;
constexpr int32_t SAMPLES_MAX = 100000;
constexpr int32_t SAMPLES_DEFAULT = 1200;

int64_t steady_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
void steady_sleep_ms(int32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

poll_now_fn poll_now = steady_now_ms;
poll_sleep_fn poll_sleep = steady_sleep_ms;

// Reads the state every POLL_INTERVAL_MS until `reached` says so. Ends early
// on a lost link, an interruption, POLL_MAX_FAILED_READS failed reads in a
// row, or, with a limit, once `limit_ms` have passed.
template <typename Reached>
state_wait_t poll_state(Reached reached, int64_t limit_ms) {
    const int64_t start = poll_now();
    state_wait_t w;
    int32_t failed = 0;
    for (;;) {
        if (connected.load() == 0) {
            w.result = COMM_ERR_CLOSED;
            return w;
        }
        if (cmd_stopped()) {
            w.stopped = 1;
            return w;
        }
        uint32_t state = w.state;
        const int32_t r = R62_Get_State(id_conn, &state, 1);
        if (r == 0) {
            failed = 0;
            w.state = state;
            if (reached(state)) return w;
        } else if (++failed >= POLL_MAX_FAILED_READS) {
            w.result = r;
            return w;
        }
        if (limit_ms >= 0 && poll_now() - start >= limit_ms) {
            w.result = COMM_ERR_TIMEOUT;
            return w;
        }
        poll_sleep(POLL_INTERVAL_MS);
    }
}

// One measurement or scan sequence. Once the arming has begun, an
// interruption sends the cancel event, once, so the instrument is not left
// armed, measuring or scanning.
struct meas_run_t {
    const char* name;
    bool armed = false;

    // A wait the operator stopped may have left the instrument armed.
    int32_t fail(int32_t code) { return code == COMM_ERR_INTERRUPTED ? interrupted() : cmd_error(name, code); }

    int32_t interrupted() {
        if (!armed) return -1;
        armed = false;
        const int32_t r = R62_Send_Event(id_conn, EVENT_CANCEL, 1);
        return r != 0 ? fail(r) : -1;
    }

    // nullopt while the sequence goes on, else the handler's result.
    std::optional<int32_t> after(const state_wait_t& w) {
        if (w.stopped != 0) return interrupted();
        if (w.result != 0) return fail(w.result);
        return std::nullopt;
    }

    // Prepare state, ready state, then the arming events in order.
    std::optional<int32_t> arm(std::initializer_list<uint32_t> events) {
        const int32_t r = R62_Set_State(id_conn, STATE_PREPARE, 1);
        if (r != 0) return fail(r);
        if (auto end = after(wait_for_state(STATE_READY))) return end;
        for (const uint32_t event : events) {
            if (cmd_stopped()) return interrupted();
            armed = true;
            const int32_t e = R62_Send_Event(id_conn, event, 1);
            if (e != 0) return fail(e);
        }
        return std::nullopt;
    }

    // Asks the operator; sends the trigger (answer 0) or the cancel/stop event (answer 1).
    std::optional<int32_t> ask(const char* prompt, int32_t* answer) {
        *answer = 0;
        input_integer_msg(answer, 0, 1, prompt);
        if (cmd_stopped()) return interrupted();
        const int32_t r = R62_Send_Event(id_conn, *answer == 0 ? EVENT_TRIGGER : EVENT_CANCEL, 1);
        if (r != 0) return fail(r);
        if (*answer != 0) armed = false;  // cancelled or stopped: nothing left to end
        return std::nullopt;
    }

    // The record of the measurement just taken.
    std::optional<int32_t> fetch_last(std::vector<uint8_t>* record) {
        armed = false;
        record->assign(MR_SIZE, 0);
        const int32_t r = download_record(id_conn, LOG_SLOT_LAST, record->data());
        if (r != 0) return cmd_stopped() ? -1 : fail(r);
        return std::nullopt;
    }
};

}  // namespace

state_wait_t wait_for_state(uint32_t state) {
    return poll_state([state](uint32_t s) { return s == state; }, POLL_READY_LIMIT_MS);
}

state_wait_t wait_for_state_finish(uint32_t state) {
    return poll_state([state](uint32_t s) { return s != state; }, -1);
}

void R62_cmd_set_poll_clock(poll_now_fn now, poll_sleep_fn sleep) {
    poll_now = now ? now : steady_now_ms;
    poll_sleep = sleep ? sleep : steady_sleep_ms;
}

std::string meas_result_line(const uint8_t* r) {
    const uint32_t tw = get_u32le(r, MR_TYPE_WORD);
    return text_format(
        "Type=%d,MeasMode=%d,Curve1=%d,Curve2=%d,Pin=%d,Error=%d,Dia=%2d    Susc=%6.3f Cond=%6.1f [%2d/%2d]\n",
        static_cast<int>(tw & TW_TYPE_MASK), get_u8(r, MR_MEAS_MODE), static_cast<int>((tw >> TW_CURVE_S_SHIFT) & 0xFF),
        static_cast<int>((tw >> TW_CURVE_C_SHIFT) & 0xFF), get_u8(r, MR_PIN), get_u8(r, MR_ERROR), get_u8(r, MR_DIA),
        static_cast<double>(get_f32le(r, MR_SUSC)), static_cast<double>(get_f32le(r, MR_COND)),
        get_i32le(r, MR_SAMPLE_NO), get_i32le(r, MR_MEAS_TIME));
}

std::vector<std::string> scan_point_lines(const uint8_t* r) {
    const int32_t n = std::clamp(get_i32le(r, MR_MEAS_TIME), 0, MR_POINTS);
    std::vector<std::string> lines(1);
    for (int32_t i = 0; i < n; ++i) {
        if (i > 0 && i % POINTS_PER_LINE == 0) {
            lines.back() += "\n";
            lines.emplace_back();
        }
        const bool marked = meas_point_marked(r, i);
        lines.back() += text_format("%c%8.3f %6.1f%c", marked ? '[' : ' ', static_cast<double>(meas_point_susc(r, i)),
                                    static_cast<double>(meas_point_cond(r, i)), marked ? ']' : ' ');
    }
    lines.back() += "\n";
    return lines;
}

int32_t R62_cmd_measure(char[], int32_t) {
    meas_run_t run{"R62_cmd_measure"};
    uint32_t ignored = 0;
    R62_Get_State(id_conn, &ignored, 1);  // read once before the sequence; its answer is not used
    if (auto end = run.arm({EVENT_CANCEL, EVENT_ARM, EVENT_TRIGGER})) return *end;
    int32_t answer = 0;
    if (auto end = run.ask("0-Trigger,1-Cancel", &answer)) return *end;
    if (answer != 0) return 0;
    if (auto end = run.after(wait_for_state_finish(STATE_MEASURE))) return *end;
    std::vector<uint8_t> record;
    if (auto end = run.fetch_last(&record)) return *end;
    log_write(TAG, "%s", meas_result_line(record.data()).c_str());
    return 0;
}

int32_t R62_cmd_scanner(char[], int32_t) {
    meas_run_t run{"R62_cmd_scanner"};
    if (auto end = run.arm({EVENT_CANCEL, EVENT_CANCEL, EVENT_ARM, EVENT_TRIGGER})) return *end;
    for (int32_t answer = 0; answer == 0;) {
        if (auto end = run.ask("0-Trigger,1-Stop", &answer)) return *end;
    }
    if (auto end = run.after(wait_for_state_finish(STATE_SCAN))) return *end;
    std::vector<uint8_t> record;
    if (auto end = run.fetch_last(&record)) return *end;
    log_write(TAG, "Meas time:%2d\n", get_i32le(record.data(), MR_MEAS_TIME));
    // Whole lines, so a live line cannot land inside one.
    for (const std::string& line : scan_point_lines(record.data())) log_write(TAG, "%s", line.c_str());
    return 0;
}

int32_t R62_cmd_measure_data(char[], int32_t) {
    static constexpr const char* NAME = "R62_cmd_measure_data";
    if (!cmd_connected()) return -1;
    int32_t count = SAMPLES_DEFAULT;
    input_integer_msg(&count, 0, SAMPLES_MAX, "Number of samples");
    if (cmd_stopped()) return -1;
    int32_t save = 0;
    input_yesno_msg(&save, "Save samples to file");
    if (cmd_stopped()) return -1;
    cmd_file_t file;
    if (save != 0) {
        const auto name = cmd_ask_file_name(CMD_FILE_NAME_PROMPT, "samples.dat");
        if (!name) return -1;
        // Reported when it fails; the samples still go to the console. It
        // keeps "<name>.part" until every sample is in.
        file.open(*name, cmd_file_t::kind_t::download);
    }
    progress_line bar(count, "samples");
    for (int32_t i = 0; i < count; ++i) {
        bar.update(i);
        if (cmd_stopped()) return -1;
        int32_t value = 0;
        const int32_t r = R62_Measure(id_conn, &value, 1);
        if (r != 0) return cmd_error(NAME, r);
        char text[16];
        std::snprintf(text, sizeof text, "%d\n", value);
        log_write(TAG, "%s", text);
        file.puts(text);
    }
    if (file.is_open()) file.commit();
    return 0;
}
