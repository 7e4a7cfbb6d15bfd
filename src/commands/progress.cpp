#include "commands/progress.h"


#include "libcomm/libcomm.h"
#include "libcomm/text.h"

namespace {

std::string clock_text(int64_t seconds) {
    if (seconds >= 3600)
        return text_format("%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                           static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text_format("%lld:%02lld", static_cast<long long>(seconds / 60), static_cast<long long>(seconds % 60));
}

}  // namespace

std::string progress_text(int64_t done, int64_t total, const char* unit, progress_clock::duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string left = "--:--";
    if (rate > 0 && total >= done) left = clock_text(static_cast<int64_t>(static_cast<double>(total - done) / rate + 0.5));
    return text_format("%lld/%lld %s  %.1f/s  %s left", static_cast<long long>(done), static_cast<long long>(total),
                       unit, rate, left.c_str());
}

progress_line::progress_line(int64_t total, const char* unit)
    : total_(total), unit_(unit), start_(progress_clock::now()), drawn_(start_) {}

progress_line::~progress_line() {
    if (shown_) log_status(nullptr);
}

void progress_line::update(int64_t done) {
    const progress_clock::time_point now = progress_clock::now();
    if (now - drawn_ < std::chrono::milliseconds(PROGRESS_REDRAW_MS)) return;
    drawn_ = now;
    shown_ = true;
    log_status(progress_text(done, total_, unit_, now - start_).c_str());
}
