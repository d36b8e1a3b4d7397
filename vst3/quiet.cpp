// quiet.cpp: the sink that the adapter's VST3 unit writes to instead of
// standard error (vst3/quiet.h).
#include <cstdio>

#include <sys/types.h>

namespace {

ssize_t discard(void*, const char*, size_t n) { return static_cast<ssize_t>(n); }

// One unbuffered stream that drops what it is given. It is closed when the
// library is unloaded, so the C library never calls back into unmapped code.
struct Sink {
    FILE* f = nullptr;
    Sink() {
        cookie_io_functions_t io{};
        io.write = discard;
        f = fopencookie(nullptr, "w", io);
        if (f) setvbuf(f, nullptr, _IONBF, 0);
    }
    ~Sink() {
        if (f) fclose(f);
    }
};

}  // namespace

// [main thread] allocates the stream once
extern "C" FILE* brs_vst3_sink(void) {
    static Sink sink;
    // Without memory for the stream the line goes where the adapter meant it.
    return sink.f ? sink.f : stderr;
}
