/* Shared pieces of the side-by-side benchmarks: deterministic test data, a counting allocator
 * for the standard containers, and the naming rule that pairs our code with its anchor.
 *
 * Every benchmark is registered as "<case>/<side>", side being "ours" or the name of the
 * anchor ("std", "glibc", "absl", "fmt", ...). bench/run pairs the rows by case. */
#ifndef VELTRA_BENCH_COMMON_H
#define VELTRA_BENCH_COMMON_H

#include <benchmark/benchmark.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include "plx/plx.h"
#include "veltra_manager.h"
#include "veltra_manager_app.h"

namespace vb {

/* ---- data ------------------------------------------------------------------------------- */

/* splitmix64: small, fast, and the same sequence on every machine. */
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }

private:
    uint64_t state_;
};

/* `count` distinct NUL-terminated keys of 16 to 32 bytes, packed in one buffer. The index is
 * spelled into every key, so no two are equal; the rest is random letters and digits. */
struct KeySet {
    std::vector<char> bytes;
    std::vector<uint32_t> offsets;  // start of key i in bytes
    std::vector<uint32_t> lengths;  // without terminator

    const char *key(size_t i) const { return bytes.data() + offsets[i]; }
    size_t size() const { return offsets.size(); }
};
KeySet make_keys(size_t count, uint64_t seed);

/* The keys 0..count-1 in a shuffled order, the same order for every side. */
std::vector<uint32_t> shuffled_indexes(size_t count, uint64_t seed);

/* ---- counting allocator for the anchors -------------------------------------------------- */

/* Bytes and blocks requested by the standard containers that use CountingAllocator, so that
 * their memory can be set beside the host allocator's own statistics. Single-threaded use. */
struct AllocCounter {
    int64_t live_bytes = 0;
    int64_t live_blocks = 0;
    int64_t peak_bytes = 0;
    void add(size_t n) {
        live_bytes += static_cast<int64_t>(n);
        ++live_blocks;
        if (live_bytes > peak_bytes) peak_bytes = live_bytes;
    }
    void sub(size_t n) {
        live_bytes -= static_cast<int64_t>(n);
        --live_blocks;
    }
    void reset_peak() { peak_bytes = live_bytes; }
};
extern AllocCounter g_std_counter;

template <class T>
struct CountingAllocator {
    using value_type = T;
    CountingAllocator() = default;
    template <class U>
    CountingAllocator(const CountingAllocator<U> &) {}
    T *allocate(size_t n) {
        g_std_counter.add(n * sizeof(T));
        return static_cast<T *>(::operator new(n * sizeof(T)));
    }
    void deallocate(T *p, size_t n) {
        g_std_counter.sub(n * sizeof(T));
        ::operator delete(p);
    }
    template <class U>
    bool operator==(const CountingAllocator<U> &) const { return true; }
};

using CountedString = std::basic_string<char, std::char_traits<char>, CountingAllocator<char>>;

/* ---- host ------------------------------------------------------------------------------- */

/* Starts the stand-in manager and the support modules every benchmark uses. */
void start_host();
/* Runs the clean-ups registered with at_stop (newest first), then stops the host. */
void stop_host();
void at_stop(void (*cleanup)());

/* Host allocator counters now. */
veltra_manager_memory_stats_t host_memory();

/* Stops the benchmark with a message when a call of ours fails: a benchmark of a failing path
 * would measure nothing useful. */
inline bool ok(benchmark::State &state, uint32_t code, const char *what) {
    if (code == 0) return true;
    char msg[96];
    snprintf(msg, sizeof msg, "%s failed: 0x%08X", what, static_cast<unsigned>(code));
    state.SkipWithError(msg);
    return false;
}

}  // namespace vb

#endif /* VELTRA_BENCH_COMMON_H */
