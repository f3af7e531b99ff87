/* Private declarations shared by the stand-in manager's sources: the life-cycle flag, raw
 * bookkeeping memory, the sharded handle table, the manager's own interface tables and the
 * clean-up steps that the last stop runs. */
#ifndef VELTRA_MANAGER_INTERNAL_H
#define VELTRA_MANAGER_INTERNAL_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "veltra_manager.h"
#include "veltra_manager_app.h"

namespace mgr {

inline constexpr uint32_t kManagerMagic = 0x1EEEEEE1u;
inline constexpr const char kManagerVersion[] = "3.05.4";

/* Magics of the manager's own objects in the object table (never seen by modules as records:
 * the table, not the object, carries them). */
inline constexpr uint32_t kUserMagic = 0x4D555352u;
inline constexpr uint32_t kListMagic = 0x4D4C5354u;
inline constexpr uint32_t kElementMagic = 0x4D454C4Du;
inline constexpr uint32_t kLocaleMagic = 0x4D4C4F43u;

/* Allocation helpers for the manager's own bookkeeping: they bypass accounting and fault
 * injection, so the manager never fails a module's call because of a test's countdown and its
 * own records never show up in the module's leak counts. */
void *raw_alloc(size_t size);
void raw_free(void *block);
/* A raw copy of `text` (null reads as ""), or null when memory runs out. */
char *raw_strdup(const char *text);

/* Whether the manager is started; every service but the handle checks refuses otherwise. */
bool started();

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

/* Holds one side of a read/write lock for a scope. */
class ReadGuard {
public:
    explicit ReadGuard(pthread_rwlock_t *l) : l_(l) { pthread_rwlock_rdlock(l_); }
    ReadGuard(const ReadGuard &) = delete;
    ReadGuard &operator=(const ReadGuard &) = delete;
    ~ReadGuard() { pthread_rwlock_unlock(l_); }

private:
    pthread_rwlock_t *l_;
};

class WriteGuard {
public:
    explicit WriteGuard(pthread_rwlock_t *l) : l_(l) { pthread_rwlock_wrlock(l_); }
    WriteGuard(const WriteGuard &) = delete;
    WriteGuard &operator=(const WriteGuard &) = delete;
    ~WriteGuard() { pthread_rwlock_unlock(l_); }

private:
    pthread_rwlock_t *l_;
};

/* ---- handle table ------------------------------------------------------------------------ */

/* One registered object. The key is the object's address and is only ever compared, never
 * dereferenced, so stale or foreign pointers are answered safely. */
struct HandleEntry {
    const void *key;                  /* the handle; null marks a free slot */
    uint32_t magic;                   /* type magic given at registration */
    void *owner;                      /* the registering client; null for manager objects */
    veltra_handle_delete_fn on_delete;  /* called with the object once the handle ends; may be null */
};

/* An open-addressing (linear probing) set of entries keyed by address, split into shards.
 * Writers and visitors take the shard's read/write lock; validate() takes no lock at all: it
 * reads under the shard's sequence counter (odd while a writer changes the slots) and retries
 * when a writer intervened, so concurrent validations never write a shared cache line. Slot
 * arrays replaced by growth stay allocated until drain(), since a lock-free reader may still
 * be probing one. */
class HandleTable {
public:
    static constexpr uint32_t kShardBits = 4;
    static constexpr uint32_t kShards = 1u << kShardBits;

    /* 0, VELTRA_MANAGER_ERR_INVALID_ARG (null key), VELTRA_MANAGER_ERR_EXISTS (key already
     * registered) or VELTRA_MANAGER_ERR_NO_MEMORY. */
    uint32_t insert(const HandleEntry &entry);

    /* 0 for a live key of that magic; VELTRA_MANAGER_ERR_BAD_HANDLE for an unknown key,
     * VELTRA_MANAGER_ERR_WRONG_MAGIC for a live key of another magic. Lock-free. */
    uint32_t validate(const void *key, uint32_t magic) const;

    /* Validates like validate() and, on success, runs f(entry) while the shard's read lock
     * keeps the entry from being removed. */
    template <class F>
    uint32_t visit(const void *key, uint32_t magic, F &&f) const {
        const Shard &s = shard_of(key);
        ReadGuard guard(&s.lock);
        const HandleEntry *e = find(s, key);
        uint32_t code = check(e, magic);
        if (code == 0) f(*e);
        return code;
    }

    /* Removes a key (of `*magic` unless magic is null) and hands its entry back. Same codes as
     * validate(). */
    uint32_t take(const void *key, const uint32_t *magic, HandleEntry *out);

    /* Under the shard's write lock, asks decide(entry) whether to remove a live key of `magic`;
     * *p_taken tells whether it was removed. Same codes as validate(). */
    template <class F>
    uint32_t take_if(const void *key, uint32_t magic, F &&decide, bool *p_taken) {
        Shard &s = shard_of(key);
        WriteGuard guard(&s.lock);
        HandleEntry *e = find(s, key);
        uint32_t code = check(e, magic);
        *p_taken = false;
        if (code == 0 && decide(*e)) {
            erase(s, e);
            *p_taken = true;
        }
        return code;
    }

    /* Raw array of the keys owned by `owner` (all keys when owner is null) at the time of the
     * call; the caller raw_frees it. Null with *p_count 0 when there are none or memory ran
     * out. */
    const void **keys_of(const void *owner, uint32_t *p_count) const;

    /* Removes every entry and frees all slot arrays; returns the removed entries as a raw
     * array the caller frees (null when empty or out of memory: the entries are then
     * dropped). Only for a table no other thread uses any more. */
    HandleEntry *drain(uint32_t *p_count);

    /* Entries registered now. */
    uint32_t count() const { return __atomic_load_n(&count_, __ATOMIC_RELAXED); }

private:
    /* One generation of slots; capacity travels with the array so that a lock-free reader
     * always sees a matching pair. */
    struct SlotArray {
        uint32_t capacity;       /* a power of two; fixed once published */
        SlotArray *retired_next; /* older generations kept for readers (writer-only) */
        HandleEntry slots[1];    /* capacity entries */
    };
    struct alignas(64) Shard {
        mutable pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER; /* writers vs visitors */
        uint32_t seq = 0;              /* odd while a writer changes the slots */
        SlotArray *array = nullptr;    /* current slots; null while empty */
        SlotArray *retired = nullptr;  /* replaced arrays, freed by drain() */
        uint32_t used = 0;             /* live entries */
    };
    class WriteSection;

    static uint32_t hash(const void *key);
    static uint32_t check(const HandleEntry *e, uint32_t magic);
    Shard &shard_of(const void *key) { return shards_[hash(key) >> (32 - kShardBits)]; }
    const Shard &shard_of(const void *key) const { return shards_[hash(key) >> (32 - kShardBits)]; }
    static HandleEntry *find(const Shard &s, const void *key);
    void erase(Shard &s, HandleEntry *e);
    static bool grow(Shard &s);

    Shard shards_[kShards];
    uint32_t count_ = 0;  /* live entries over all shards */
};

/* Handles that modules registered (owner: a Client). */
extern HandleTable g_handles;
/* The manager's own objects: users, lists, list elements, locales. */
extern HandleTable g_objects;

/* Live manager objects by kind, for the leak checks of tests. */
extern uint32_t g_live_users;
extern uint32_t g_live_lists;
extern uint32_t g_live_elements;
extern uint32_t g_live_locales;

/* Inserts a raw-allocated manager object of `magic` into g_objects and bumps *live; frees it
 * when the insert fails. */
uint32_t register_object(void *object, uint32_t magic, uint32_t *live);
/* Removes and frees a manager object of `magic`. */
uint32_t release_object(const void *object, uint32_t magic, uint32_t *live);

/* ---- clients ----------------------------------------------------------------------------- */

/* Takes one handle reservation on a registered client (0, or VELTRA_MANAGER_ERR_BAD_HANDLE
 * when `client_ref` is not a registered client); unreserve_handle gives it back. A client
 * with reservations refuses client_release. */
uint32_t reserve_handle(void *client_ref);
void unreserve_handle(void *client_ref);

/* ---- the manager's interface tables ------------------------------------------------------- */

extern const veltra_errorinfo_interface_t g_errorinfo_table;
extern const veltra_handlemanager_interface_t g_handlemanager_table;
extern const veltra_userinfo_interface_t g_userinfo_table;
extern const veltra_listmanager_interface_t g_listmanager_table;
extern const veltra_serialization_interface_t g_serialization_table;

/* Slot 0 of every manager table: drops one reference that interface_get handed out. */
uint32_t release_manager_interface(const void *table);

/* interface_get of the manager handle (slot 6). */
uint32_t interface_get(const char *name, uint32_t reserved, uint32_t ordinal,
                       const void **out_interface);

/* ---- clean-up of the last stop ------------------------------------------------------------ */

/* Ends every handle owned by `owner` (all when null), calling the delete callbacks. */
void release_handles_of(const void *owner);
/* Frees every user, list, element and locale still alive. */
void free_all_objects();
/* Forgets every published table and every reference count. */
void reset_registry();
/* Forgets every default locale. */
void reset_locales();

/* ---- list data ----------------------------------------------------------------------------- */

/* One built-in list: its type name and entries. */
struct ListDef {
    const char *type;
    const veltra_manager_list_entry_t *entries;
    uint32_t count;
};
/* The built-in list of that type, or null. */
const ListDef *find_list(const char *list_type);

}  // namespace mgr

#endif
