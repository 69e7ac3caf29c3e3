// Progress meter.
#include "progress.h"

#include <unistd.h>

#include <cstdio>

#include "base.h"

namespace velmora_pipeline {

namespace {
constexpr double quiet_seconds = 1.5;   // runs shorter than this show nothing
constexpr double redraw_seconds = 0.25;
}  // namespace

progress_meter::progress_meter(std::string unit)
    : unit_(std::move(unit)), enabled_(isatty(2) == 1), start_(now_seconds()) {}

progress_meter::~progress_meter() { finish(); }

void progress_meter::update(uint64_t done, double fraction) {
    if (!enabled_) return;
    const double t = now_seconds();
    const double elapsed = t - start_;
    if (elapsed < quiet_seconds || t - last_draw_ < redraw_seconds) return;
    last_draw_ = t;
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    std::string line = "\r" + format_count(done) + " " + unit_ + ", " +
                       format_count(static_cast<uint64_t>(rate)) + " " + unit_ + "/s";
    if (fraction > 0 && fraction <= 1) {
        const double left = elapsed * (1 - fraction) / fraction;
        line += ", " + format_fixed(100 * fraction, 1) + "%, " +
                format_count(static_cast<uint64_t>(left + 0.5)) + " s left";
    }
    line += "\x1b[K";  // clear the rest of a longer previous line
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    shown_ = true;
}

void progress_meter::finish() {
    if (!shown_) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    shown_ = false;
}

}  // namespace velmora_pipeline
