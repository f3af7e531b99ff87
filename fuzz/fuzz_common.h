/* Shared pieces of the fuzz targets: a failure macro that works without a test framework, a
 * reader that turns the fuzzer's bytes into choices, the one-time start of the manager and the
 * support modules, and a per-input leak check over the host allocator's live blocks.
 *
 * Each target lives in its own named namespace and ends with VELTRA_FUZZ_ENTRY(run). Built as
 * a libFuzzer target that defines LLVMFuzzerTestOneInput; with VELTRA_FUZZ_REPLAY defined it
 * defines nothing, so the corpus replay test can include every target into one program. */
#ifndef VELTRA_FUZZ_COMMON_H
#define VELTRA_FUZZ_COMMON_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "plx/plx.h"
#include "veltra_manager.h"
#include "veltra_manager_app.h"

/* Aborts with the failed condition and a printf-style detail; libFuzzer then keeps the input. */
#define FUZZ_CHECK(cond, ...)                                                          \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #cond); \
            fz::detail(__VA_ARGS__);                                                   \
            fputc('\n', stderr);                                                       \
            abort();                                                                   \
        }                                                                              \
    } while (0)

namespace fz {

inline void detail() {}
inline void detail(const char *text) { fputs(text, stderr); }
template <class... A>
void detail(const char *format, A... args) {
    fprintf(stderr, format, args...);
}

/* Hands out the input's bytes as small decisions; past the end every read gives zeros, so any
 * input is a complete program. */
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ >= end_; }
    size_t left() const { return empty() ? 0 : static_cast<size_t>(end_ - p_); }
    uint8_t u8() { return empty() ? 0 : *p_++; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    uint64_t u64() { return u32() | static_cast<uint64_t>(u32()) << 32; }
    /* A value in [0, n) for n > 0. */
    uint32_t below(uint32_t n) { return n <= 256 ? u8() % n : u32() % n; }
    /* Up to `max` raw bytes, the length taken first. */
    std::string bytes(size_t max) {
        size_t n = u8() % (max + 1);
        if (n > left()) n = left();
        std::string s(reinterpret_cast<const char *>(p_), n);
        p_ += n;
        return s;
    }
    /* Everything that is left. */
    std::string rest() {
        std::string s(reinterpret_cast<const char *>(p_), left());
        p_ = end_;
        return s;
    }

private:
    const uint8_t *p_;
    const uint8_t *end_;
};

/* Starts the manager and the support modules once per process; they stay up, so the per-input
 * leak check only sees what one input allocated. */
inline void start() {
    static bool started = false;
    if (started) return;
    const veltra_manager_t *manager = nullptr;
    FUZZ_CHECK(veltra_manager_start(&manager) == 0);
    FUZZ_CHECK(plx_string_initialize() == 0);
    FUZZ_CHECK(plx_datatypes_initialize() == 0);
    FUZZ_CHECK(plx_iostream_initialize() == 0);
    started = true;
}

inline uint64_t live_blocks() {
    veltra_manager_memory_stats_t s{};
    veltra_manager_memory_stats(&s);
    return s.live_blocks;
}

/* Fails the input when the host allocator holds a different number of blocks at the end than
 * at the start; also disarms any allocation failure the input armed. */
class LeakCheck {
public:
    LeakCheck() : before_(live_blocks()) {}
    ~LeakCheck() {
        veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
        uint64_t after = live_blocks();
        FUZZ_CHECK(after == before_, "live blocks %llu before, %llu after",
                   static_cast<unsigned long long>(before_),
                   static_cast<unsigned long long>(after));
    }
    LeakCheck(const LeakCheck &) = delete;
    LeakCheck &operator=(const LeakCheck &) = delete;

private:
    uint64_t before_;
};

/* Out-of-memory codes of the containers and of the critical sections they may own. */
inline constexpr uint32_t kDatatypesNoMemory = 0x900D0002u;
inline constexpr uint32_t kThreadNoMemory = 0x90020002u;

} // namespace fz

#ifdef VELTRA_FUZZ_REPLAY
#define VELTRA_FUZZ_ENTRY(fn)
#else
#define VELTRA_FUZZ_ENTRY(fn)                                                 \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { \
        fz::start();                                                          \
        fn(data, size);                                                       \
        return 0;                                                             \
    }
#endif

#endif
