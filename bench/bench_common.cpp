/* Test data, the anchors' allocation counter and the host start-up shared by every
 * benchmark. */
#include "bench_common.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace vb {

AllocCounter g_std_counter;

namespace {
std::vector<void (*)()> &cleanups() {
    static std::vector<void (*)()> list;
    return list;
}
}  // namespace

void at_stop(void (*cleanup)()) { cleanups().push_back(cleanup); }

KeySet make_keys(size_t count, uint64_t seed) {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
    Rng rng(seed);
    KeySet set;
    set.bytes.reserve(count * 26);
    set.offsets.reserve(count);
    set.lengths.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        char id[16];
        int id_len = snprintf(id, sizeof id, "%zx", i);
        uint32_t len = 16 + rng.below(17);
        set.offsets.push_back(static_cast<uint32_t>(set.bytes.size()));
        set.lengths.push_back(len);
        /* Random prefix, then the index: keys differ early and are unique. */
        for (uint32_t j = 0; j < len - static_cast<uint32_t>(id_len) - 1; ++j)
            set.bytes.push_back(kAlphabet[rng.below(64)]);
        set.bytes.push_back('.');
        set.bytes.insert(set.bytes.end(), id, id + id_len);
        set.bytes.push_back('\0');
    }
    return set;
}

std::vector<uint32_t> shuffled_indexes(size_t count, uint64_t seed) {
    std::vector<uint32_t> order(count);
    for (size_t i = 0; i < count; ++i) order[i] = static_cast<uint32_t>(i);
    Rng rng(seed);
    for (size_t i = count; i > 1; --i) std::swap(order[i - 1], order[rng.below(static_cast<uint32_t>(i))]);
    return order;
}

void start_host() {
    const veltra_manager_t *manager = nullptr;
    uint32_t rc = veltra_manager_start(&manager);
    if (rc == 0) rc = plx_memory_initialize(manager);
    if (rc == 0) rc = plx_thread_initialize();
    if (rc == 0) rc = plx_string_initialize();
    if (rc == 0) rc = plx_datatypes_initialize();
    if (rc == 0) rc = plx_fs_initialize();
    if (rc != 0) {
        fprintf(stderr, "host start-up failed: 0x%08X\n", static_cast<unsigned>(rc));
        exit(2);
    }
}

void stop_host() {
    while (!cleanups().empty()) {
        void (*cleanup)() = cleanups().back();
        cleanups().pop_back();
        cleanup();
    }
    plx_fs_shutdown();
    plx_datatypes_shutdown();
    plx_string_shutdown();
    plx_thread_shutdown();
    plx_memory_shutdown();
    veltra_manager_stop();
}

veltra_manager_memory_stats_t host_memory() {
    veltra_manager_memory_stats_t s{};
    veltra_manager_memory_stats(&s);
    return s;
}

}  // namespace vb
