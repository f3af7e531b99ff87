/* The host allocator: every block of every module comes from here. Each block carries a small
 * header with its size so that live blocks and bytes can be counted; a countdown fails chosen
 * allocations for out-of-memory tests. */
#include <stdlib.h>
#include <string.h>

#include "manager_internal.h"

namespace {

/* Header in front of every block; 16 bytes keep the payload aligned for any scalar type. */
struct alignas(16) BlockHeader {
    uint64_t size;   /* payload bytes */
    uint64_t magic;  /* kLiveMagic while allocated: catches double and foreign frees */
};
static_assert(sizeof(BlockHeader) == 16, "header keeps 16-byte alignment");
constexpr uint64_t kLiveMagic = 0x5645'4C54'5241'4D4Dull;

/* Counters read only as sums (live blocks, allocations) are split over cache lines by thread,
 * so that threads allocating at once do not all write one line; a shard's block count may
 * wrap below zero when its blocks are freed by other threads, the sum over shards (modulo
 * 2^64) is exact. Live bytes and their peak stay one pair on one line: an exact peak needs
 * one order of all changes. */
constexpr uint32_t kShardBits = 3;
struct alignas(64) CountShard {
    uint64_t blocks;       /* blocks allocated minus blocks freed by the threads of this shard */
    uint64_t allocations;  /* successful allocations (reallocs included) */
};
CountShard g_shards[1u << kShardBits];
struct alignas(64) ByteCounts {
    uint64_t live;  /* payload bytes allocated now */
    uint64_t peak;  /* highest `live` since the last reset */
};
ByteCounts g_bytes;
uint64_t g_failures;
/* Allocations still allowed before the injected failure; VELTRA_MANAGER_FAIL_NEVER = off. */
uint32_t g_countdown = VELTRA_MANAGER_FAIL_NEVER;
uint8_t g_persistent;
uint8_t g_fault_hit;
uint32_t g_fail_initialize;
uint32_t g_init_count;

/* Decides whether this allocation is failed by injection. */
bool inject_failure() {
    uint32_t c = __atomic_load_n(&g_countdown, __ATOMIC_RELAXED);
    while (c != VELTRA_MANAGER_FAIL_NEVER) {
        if (c == 0) {
            if (!__atomic_load_n(&g_persistent, __ATOMIC_RELAXED))
                __atomic_store_n(&g_countdown, VELTRA_MANAGER_FAIL_NEVER, __ATOMIC_RELAXED);
            __atomic_store_n(&g_fault_hit, 1, __ATOMIC_RELAXED);
            __atomic_add_fetch(&g_failures, 1, __ATOMIC_RELAXED);
            return true;
        }
        if (__atomic_compare_exchange_n(&g_countdown, &c, c - 1, false, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED))
            return false;
    }
    return false;
}

/* The calling thread's shard. */
CountShard &my_shard() {
    uint64_t v = static_cast<uint64_t>(pthread_self()) * 0x9E3779B97F4A7C15ull;
    return g_shards[v >> (64 - kShardBits)];
}

/* Sum of one field over all shards. */
uint64_t shard_sum(uint64_t CountShard::*field) {
    uint64_t sum = 0;
    for (CountShard &s : g_shards) sum += __atomic_load_n(&(s.*field), __ATOMIC_RELAXED);
    return sum;
}

void count_bytes_in(uint64_t size) {
    uint64_t now = __atomic_add_fetch(&g_bytes.live, size, __ATOMIC_RELAXED);
    uint64_t peak = __atomic_load_n(&g_bytes.peak, __ATOMIC_RELAXED);
    while (now > peak &&
           !__atomic_compare_exchange_n(&g_bytes.peak, &peak, now, false, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED)) {
    }
}

void count_in(uint64_t size) {
    CountShard &s = my_shard();
    __atomic_add_fetch(&s.blocks, 1, __ATOMIC_RELAXED);
    __atomic_add_fetch(&s.allocations, 1, __ATOMIC_RELAXED);
    count_bytes_in(size);
}

void count_out(uint64_t size) {
    __atomic_sub_fetch(&my_shard().blocks, 1, __ATOMIC_RELAXED);
    __atomic_sub_fetch(&g_bytes.live, size, __ATOMIC_RELAXED);
}

BlockHeader *header_of(void *block) { return static_cast<BlockHeader *>(block) - 1; }

}  // namespace

namespace mgr {
void *raw_alloc(size_t size) { return malloc(size ? size : 1); }
void raw_free(void *block) { free(block); }
char *raw_strdup(const char *text) {
    if (!text) text = "";
    size_t n = strlen(text) + 1;
    auto *copy = static_cast<char *>(malloc(n));
    if (copy) memcpy(copy, text, n);
    return copy;
}
}  // namespace mgr

extern "C" {

uint32_t plx_memory_initialize(const veltra_manager_t *manager) {
    if (manager && manager->magic != mgr::kManagerMagic) return VELTRA_MANAGER_ERR_INVALID_ARG;
    uint32_t f = __atomic_load_n(&g_fail_initialize, __ATOMIC_RELAXED);
    while (f > 0) {
        if (__atomic_compare_exchange_n(&g_fail_initialize, &f, f - 1, false, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED))
            return VELTRA_MANAGER_ERR_NO_MEMORY;
    }
    __atomic_add_fetch(&g_init_count, 1, __ATOMIC_RELAXED);
    return 0;
}

uint32_t plx_memory_shutdown(void) {
    uint32_t c = __atomic_load_n(&g_init_count, __ATOMIC_RELAXED);
    while (c > 0) {
        if (__atomic_compare_exchange_n(&g_init_count, &c, c - 1, false, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED))
            return 0;
    }
    return VELTRA_MANAGER_ERR_NOT_STARTED;
}

void *plx_memory_alloc(size_t size) {
    if (size > SIZE_MAX - sizeof(BlockHeader) || inject_failure()) return nullptr;
    auto *h = static_cast<BlockHeader *>(malloc(sizeof(BlockHeader) + size));
    if (!h) return nullptr;
    h->size = size;
    h->magic = kLiveMagic;
    count_in(size);
    return h + 1;
}

void plx_memory_free(void *block) {
    if (!block) return;
    BlockHeader *h = header_of(block);
    if (h->magic != kLiveMagic) abort(); /* a double or foreign free: stop at the culprit */
    h->magic = 0;
    count_out(h->size);
    free(h);
}

void *plx_memory_realloc(void *block, size_t size) {
    if (!block) return plx_memory_alloc(size);
    BlockHeader *h = header_of(block);
    if (h->magic != kLiveMagic) abort();
    if (size > SIZE_MAX - sizeof(BlockHeader) || inject_failure()) return nullptr;
    uint64_t old = h->size;
    auto *n = static_cast<BlockHeader *>(realloc(h, sizeof(BlockHeader) + size));
    if (!n) return nullptr;
    n->size = size;
    /* One block stays live: only the bytes move (a grown block may set a new peak). */
    __atomic_add_fetch(&my_shard().allocations, 1, __ATOMIC_RELAXED);
    if (size >= old)
        count_bytes_in(size - old);
    else
        __atomic_sub_fetch(&g_bytes.live, old - size, __ATOMIC_RELAXED);
    return n + 1;
}

void *plx_memory_memset(void *dest, int value, size_t count) {
    return count ? memset(dest, value, count) : dest;
}
void *plx_memory_memcpy(void *dest, const void *src, size_t count) {
    return count ? memcpy(dest, src, count) : dest;
}
void *plx_memory_memmove(void *dest, const void *src, size_t count) {
    return count ? memmove(dest, src, count) : dest;
}

void veltra_manager_memory_stats(veltra_manager_memory_stats_t *p) {
    if (!p) return;
    p->live_blocks = shard_sum(&CountShard::blocks);
    p->live_bytes = __atomic_load_n(&g_bytes.live, __ATOMIC_RELAXED);
    p->peak_bytes = __atomic_load_n(&g_bytes.peak, __ATOMIC_RELAXED);
    p->allocations = shard_sum(&CountShard::allocations);
    p->failures = __atomic_load_n(&g_failures, __ATOMIC_RELAXED);
}

void veltra_manager_memory_reset_peak(void) {
    __atomic_store_n(&g_bytes.peak, __atomic_load_n(&g_bytes.live, __ATOMIC_RELAXED),
                     __ATOMIC_RELAXED);
}

void veltra_manager_memory_fail_after(uint32_t countdown, uint8_t persistent) {
    __atomic_store_n(&g_persistent, persistent ? 1 : 0, __ATOMIC_RELAXED);
    __atomic_store_n(&g_fault_hit, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&g_countdown, countdown, __ATOMIC_RELAXED);
}

uint8_t veltra_manager_memory_fault_hit(void) {
    return __atomic_load_n(&g_fault_hit, __ATOMIC_RELAXED);
}

void veltra_manager_memory_fail_initialize(uint32_t count) {
    __atomic_store_n(&g_fail_initialize, count, __ATOMIC_RELAXED);
}

uint32_t veltra_manager_memory_init_count(void) {
    return __atomic_load_n(&g_init_count, __ATOMIC_RELAXED);
}

}  // extern "C"
