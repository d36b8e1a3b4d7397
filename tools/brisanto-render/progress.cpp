// progress.cpp: a one-line progress bar on standard error.
#include "tools/brisanto-render/progress.h"

namespace brs::render {

Progress::Progress(FILE* stream, uint64_t total, bool terminal)
    : f_(stream), total_(total), terminal_(terminal), start_(Clock::now()), last_(start_) {}

void Progress::update(uint64_t done) {
    if (!terminal_ || total_ == 0) return;
    Clock::time_point now = Clock::now();
    double elapsed = std::chrono::duration<double>(now - start_).count();
    if (!shown_) {
        if (elapsed < 0.5 || done == 0) return;
        double estimate = elapsed * static_cast<double>(total_) / static_cast<double>(done);
        if (estimate <= 1.0 && elapsed < 1.0) return;
    } else if (now - last_ < std::chrono::milliseconds(100) && done < total_) {
        return;
    }
    shown_ = true;
    last_ = now;
    constexpr int W = 30;
    int pct = static_cast<int>(done * 100 / total_);
    int fill = static_cast<int>(done * W / total_);
    char bar[W + 1];
    for (int i = 0; i < W; ++i) bar[i] = i < fill ? '#' : '-';
    bar[W] = 0;
    std::fprintf(f_, "\r[%s] %3d %% ", bar, pct);
    std::fflush(f_);
}

void Progress::finish() {
    if (!shown_) return;
    std::fputs("\r\033[K", f_);
    std::fflush(f_);
    shown_ = false;
}

}  // namespace brs::render
