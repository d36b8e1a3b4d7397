// rtcount: a library preloaded into the brisanto program by the end-to-end
// tests. It wraps the allocation functions and pthread_mutex_lock for the
// whole process and counts their calls on a thread while the program's audio
// callback runs there (the program calls brs_rt_enter and brs_rt_leave around
// each callback when it finds them). At exit it writes
// "callbacks allocs frees waits" to the file named by BRS_RTCOUNT_FILE.
#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
}

namespace {
__thread int marked = 0;
std::atomic<long> callbacks{0}, allocs{0}, frees{0}, waits{0};

inline void count_alloc() {
    if (marked) allocs.fetch_add(1, std::memory_order_relaxed);
}

using LockFn = int (*)(pthread_mutex_t*);
LockFn real_lock() {
    static LockFn fn = reinterpret_cast<LockFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    return fn;
}
[[maybe_unused]] const LockFn resolved = real_lock();

struct Report {
    ~Report() {
        const char* path = std::getenv("BRS_RTCOUNT_FILE");
        if (!path) return;
        if (FILE* f = std::fopen(path, "w")) {
            std::fprintf(f, "%ld %ld %ld %ld\n", callbacks.load(), allocs.load(), frees.load(), waits.load());
            std::fclose(f);
        }
    }
} report;
}  // namespace

extern "C" {
__attribute__((visibility("default"))) void brs_rt_enter() {
    ++marked;
    callbacks.fetch_add(1, std::memory_order_relaxed);
}
__attribute__((visibility("default"))) void brs_rt_leave() { --marked; }

__attribute__((visibility("default"))) void* malloc(size_t n) {
    count_alloc();
    return __libc_malloc(n);
}
__attribute__((visibility("default"))) void* calloc(size_t a, size_t b) {
    count_alloc();
    return __libc_calloc(a, b);
}
__attribute__((visibility("default"))) void* realloc(void* p, size_t n) {
    count_alloc();
    return __libc_realloc(p, n);
}
__attribute__((visibility("default"))) void free(void* p) {
    if (p && marked) frees.fetch_add(1, std::memory_order_relaxed);
    __libc_free(p);
}
__attribute__((visibility("default"))) void* memalign(size_t a, size_t n) {
    count_alloc();
    return __libc_memalign(a, n);
}
__attribute__((visibility("default"))) void* aligned_alloc(size_t a, size_t n) {
    count_alloc();
    return __libc_memalign(a, n);
}
__attribute__((visibility("default"))) int posix_memalign(void** out, size_t a, size_t n) {
    count_alloc();
    void* p = __libc_memalign(a, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
__attribute__((visibility("default"))) int pthread_mutex_lock(pthread_mutex_t* m) {
    if (marked) waits.fetch_add(1, std::memory_order_relaxed);
    return real_lock()(m);
}
}  // extern "C"
