/* The file manager: a process-wide pool that caps the descriptors held by open files.
 *
 * Every open file is in exactly one state: in use (holds its descriptor, use_count > 0, on no
 * list), idle (holds it, count 0, on the idle list in release order) or parked (its descriptor
 * was closed to make room, on the parked list). When the cap is reached, a request for a
 * descriptor parks the least recently released idle file and takes over its slot; a parked
 * file is reopened at its stored position the next time it is used. Standard streams are
 * never parked. All pool state changes inside s_fs_mgr_cs; a thread that finds no slot and
 * nothing to park waits on s_fs_mgr_event outside the section. A thread that can proceed never
 * waits, so no request depends on a signal still being pending in the event. */
#include <errno.h>
#include <string.h>

#include "plx/plx_fs_private.h"
#include "plx/plx_thread_private.h"

extern "C" {
uint32_t g_fs_max_file_handles = 0;
uint32_t g_fs_num_file_handles = 0;
}

namespace {

using plx::fs::sys;

/* A doubly linked list of files through their next / prev links. */
struct FileList {
    plx_fs_file_t *head; /* oldest */
    plx_fs_file_t *tail; /* newest */
    uint32_t count;
};

plx_thread_critsec_t *s_fs_mgr_cs;
plx_thread_event_t *s_fs_mgr_event; /* auto-reset: one signal wakes one waiter */
FileList s_fs_live;                 /* idle files, oldest release first */
FileList s_fs_open;                 /* parked files, in parking order */
uint32_t s_fs_waiters;              /* threads waiting on the event */

constexpr const char *kStdNames[3] = {PLX_FS_NAME_STDIN, PLX_FS_NAME_STDOUT, PLX_FS_NAME_STDERR};

void list_append(FileList &list, plx_fs_file_t *f) {
    f->next = nullptr;
    f->prev = list.tail;
    if (list.tail)
        list.tail->next = f;
    else
        list.head = f;
    list.tail = f;
    ++list.count;
}

void list_remove(FileList &list, plx_fs_file_t *f) {
    if (f->prev)
        f->prev->next = f->next;
    else
        list.head = f->next;
    if (f->next)
        f->next->prev = f->prev;
    else
        list.tail = f->prev;
    f->next = f->prev = nullptr;
    --list.count;
}

/* The counters are exported: applications may read them at any time, so they change with
 * atomic stores (always inside the section). The cap may be set without any lock. */
uint32_t handles() { return __atomic_load_n(&g_fs_num_file_handles, __ATOMIC_RELAXED); }
void add_handles(int32_t delta) {
    __atomic_store_n(&g_fs_num_file_handles, handles() + delta, __ATOMIC_RELAXED);
}
bool slot_free() {
    uint32_t cap = __atomic_load_n(&g_fs_max_file_handles, __ATOMIC_RELAXED);
    return cap == 0 || handles() < cap;
}

plx_fs_file_t *oldest_parkable() {
    for (plx_fs_file_t *f = s_fs_live.head; f; f = f->next)
        if (!f->is_std_stream) return f;
    return nullptr;
}

/* Whether a waiter could now make progress: then one is woken after leaving the section.
 * Waking is chained like this because an auto-reset event folds several signals into one. */
bool waiter_can_proceed() { return s_fs_waiters != 0 && (slot_free() || oldest_parkable()); }

void wake_one() { plx_thread_event_signal(s_fs_mgr_event); }

/* Called inside the section; waits outside it and returns with the section held again. */
void wait_for_slot() {
    ++s_fs_waiters;
    plx_thread_critsec_leave(s_fs_mgr_cs);
    plx_thread_event_wait(s_fs_mgr_event, PLX_THREAD_TIMEOUT_INFINITE);
    plx_thread_critsec_enter(s_fs_mgr_cs);
    --s_fs_waiters;
}

/* Closes an idle file's descriptor and parks it; its slot passes to the caller. The descriptor
 * is gone even when close reports an error (POSIX leaves it unspecified, and reusing a number
 * that may already belong to another file would be far worse), so the file is parked
 * regardless and the caller gives the slot back on failure. */
uint32_t park(plx_fs_file_t *victim) {
    list_remove(s_fs_live, victim);
    int rc = sys().close(victim->fd);
    int e = errno;
    victim->fd = -1;
    victim->has_descriptor = 0;
    list_append(s_fs_open, victim);
    return rc == 0 ? 0 : _fs_map_error(e);
}

/* Gives a parked file a descriptor again, at its stored position (positions live in the
 * record, so nothing needs seeking). Create, truncate and exclusive applied at the first open
 * only: a reopen must neither empty the file nor fail because it exists. */
uint32_t _plx_fs_reopen_internal(plx_fs_file_t *f) {
    constexpr uint32_t kFirstOpenOnly =
        PLX_FS_OPEN_CREATE | PLX_FS_OPEN_TRUNCATE | PLX_FS_OPEN_EXCLUSIVE;
    uint32_t code = _fs_file_get_handle(f, f->open_flags & ~kFirstOpenOnly, f->permissions);
    if (code != 0) return code;
    f->has_descriptor = 1;
    list_remove(s_fs_open, f);
    ++f->use_count;
    return 0;
}

/* One more use of a file that holds its descriptor; an idle one leaves the idle list. */
void take_held(plx_fs_file_t *f) {
    if (f->use_count++ == 0) list_remove(s_fs_live, f);
}

/* Acquiring a parked file, inside the section: reopens it into a free slot or one taken from
 * the oldest idle file, waiting while there is neither. Kept out of line, so that acquiring a
 * file that holds its descriptor (nearly every call) stays short. */
[[gnu::noinline]] uint32_t acquire_parked(plx_fs_file_t *file) {
    for (;;) {
        /* Checked on every round: another thread may have reopened it meanwhile. */
        if (file->has_descriptor) {
            take_held(file);
            return 0;
        }
        if (slot_free()) {
            uint32_t code = _plx_fs_reopen_internal(file);
            if (code == 0) add_handles(1);
            return code;
        }
        if (plx_fs_file_t *victim = oldest_parkable()) {
            uint32_t code = park(victim);
            if (code == 0) code = _plx_fs_reopen_internal(file);
            if (code != 0) add_handles(-1); /* the victim's slot is given back */
            return code;
        }
        wait_for_slot();
    }
}

}  // namespace

uint32_t _plx_fs_mgr_init() {
    uint32_t code = plx_thread_critsec_create(&s_fs_mgr_cs);
    if (code != 0) return code;
    code = plx_thread_event_create(&s_fs_mgr_event, 0, 0);
    if (code == 0 || code == plx::error_code(plx::kPkgThread, 0x0B)) return 0;
    plx_thread_critsec_delete(s_fs_mgr_cs);
    s_fs_mgr_cs = nullptr;
    return code;
}

void _plx_fs_mgr_shutdown() {
    plx_thread_critsec_delete(s_fs_mgr_cs);
    plx_thread_event_delete(s_fs_mgr_event);
    s_fs_mgr_cs = nullptr;
    s_fs_mgr_event = nullptr;
}

uint32_t _plx_fs_mgr_new_fd(plx_fs_file_t *file) {
    uint32_t code = 0;
    bool wake;
    {
        plx::CritsecHold guard(s_fs_mgr_cs);
        while (!slot_free() && !oldest_parkable()) wait_for_slot();
        if (slot_free()) {
            add_handles(1);
        } else {
            code = park(oldest_parkable());
            if (code != 0) add_handles(-1);
        }
        if (code == 0) {
            file->use_count = 1;
            file->has_descriptor = 1;
        }
        wake = waiter_can_proceed();
    }
    if (wake) wake_one();
    return code;
}

uint32_t _plx_fs_mgr_acquire_fd(plx_fs_file_t *file) {
    uint32_t code = 0;
    bool wake;
    {
        plx::CritsecHold guard(s_fs_mgr_cs);
        if (file->has_descriptor)
            take_held(file);
        else
            code = acquire_parked(file);
        wake = waiter_can_proceed();
    }
    if (wake) wake_one();
    return code;
}

void _plx_fs_mgr_release_fd(plx_fs_file_t *file) {
    bool wake;
    {
        plx::CritsecHold guard(s_fs_mgr_cs);
        if (file->use_count != 0 && --file->use_count == 0) list_append(s_fs_live, file);
        wake = s_fs_waiters != 0;
    }
    if (wake) wake_one();
}

void _plx_fs_mgr_close_fd(plx_fs_file_t *file) {
    bool wake = false;
    {
        plx::CritsecHold guard(s_fs_mgr_cs);
        if (file->has_descriptor) {
            if (file->use_count == 0) list_remove(s_fs_live, file);
            add_handles(-1);
            wake = s_fs_waiters != 0;
        } else {
            list_remove(s_fs_open, file);
        }
    }
    if (wake) wake_one();
}

uint32_t _plx_fs_close_internal(plx_fs_file_t *file) {
    uint32_t code = 0;
    if (file->has_descriptor && !file->is_std_stream && file->fd >= 0) {
        if (sys().close(file->fd) != 0) code = _fs_map_error(errno);
    }
    file->file = nullptr; /* a stale handle now fails the self check */
    plx_memory_free(file);
    return code;
}

int _plx_fs_std_descriptor(const char *name) {
    for (int i = 0; i < 3; ++i)
        if (strcmp(name, kStdNames[i]) == 0) return i;
    return -1;
}

extern "C" void _plx_fs_mgr_stats(uint32_t *p_idle, uint32_t *p_parked) {
    plx::CritsecHold guard(s_fs_mgr_cs);
    if (p_idle) *p_idle = s_fs_live.count;
    if (p_parked) *p_parked = s_fs_open.count;
}
