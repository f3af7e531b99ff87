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

uint64_t g_live_blocks;
uint64_t g_live_bytes;
uint64_t g_peak_bytes;
uint64_t g_allocations;
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

void count_in(uint64_t size) {
    __atomic_add_fetch(&g_live_blocks, 1, __ATOMIC_RELAXED);
    uint64_t now = __atomic_add_fetch(&g_live_bytes, size, __ATOMIC_RELAXED);
    uint64_t peak = __atomic_load_n(&g_peak_bytes, __ATOMIC_RELAXED);
    while (now > peak &&
           !__atomic_compare_exchange_n(&g_peak_bytes, &peak, now, false, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED)) {
    }
    __atomic_add_fetch(&g_allocations, 1, __ATOMIC_RELAXED);
}

void count_out(uint64_t size) {
    __atomic_sub_fetch(&g_live_blocks, 1, __ATOMIC_RELAXED);
    __atomic_sub_fetch(&g_live_bytes, size, __ATOMIC_RELAXED);
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
    count_out(old);
    count_in(size);
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
    p->live_blocks = __atomic_load_n(&g_live_blocks, __ATOMIC_RELAXED);
    p->live_bytes = __atomic_load_n(&g_live_bytes, __ATOMIC_RELAXED);
    p->peak_bytes = __atomic_load_n(&g_peak_bytes, __ATOMIC_RELAXED);
    p->allocations = __atomic_load_n(&g_allocations, __ATOMIC_RELAXED);
    p->failures = __atomic_load_n(&g_failures, __ATOMIC_RELAXED);
}

void veltra_manager_memory_reset_peak(void) {
    __atomic_store_n(&g_peak_bytes, __atomic_load_n(&g_live_bytes, __ATOMIC_RELAXED),
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
