// progress.h: a one-line progress bar on standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace brs::render {

// Drawn only when the stream is a terminal and the render runs for longer than
// about a second: it appears once half a second has passed and the estimated
// total exceeds one second (or a full second has passed), and is redrawn at
// most ten times a second. finish() wipes the line.
class Progress {
public:
    // [main thread]
    Progress(FILE* stream, uint64_t total, bool terminal);
    void update(uint64_t done);
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    FILE* f_;
    uint64_t total_;
    bool terminal_;
    bool shown_ = false;
    Clock::time_point start_;
    Clock::time_point last_;
};

}  // namespace brs::render
