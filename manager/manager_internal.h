/* Private declarations shared by the stand-in manager's sources. */
#ifndef VELTRA_MANAGER_INTERNAL_H
#define VELTRA_MANAGER_INTERNAL_H

#include <pthread.h>
#include <stdint.h>

#include "veltra_manager.h"
#include "veltra_manager_app.h"

namespace mgr {

inline constexpr uint32_t kManagerMagic = 0x1EEEEEE1u;
inline constexpr const char kManagerVersion[] = "3.05.4";

/* Allocation helpers for the manager's own bookkeeping: they bypass accounting and fault
 * injection, so the manager never fails a module's call because of a test's countdown and its
 * own records never show up in the module's leak counts. */
void *raw_alloc(size_t size);
void raw_free(void *block);

/* Holds a pthread mutex for a scope. */
class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;
    ~MutexGuard() { pthread_mutex_unlock(m_); }

private:
    pthread_mutex_t *m_;
};

}  // namespace mgr

#endif
