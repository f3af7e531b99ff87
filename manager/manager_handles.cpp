/* The handle manager: a sharded address table that registers module objects, validates
 * handles without touching them and ends them through their delete callbacks; and the users,
 * reference-counted manager objects kept in a second table of the same kind. */
#include <sched.h>
#include <string.h>

#include "manager_internal.h"

namespace mgr {

constinit HandleTable g_handles;
constinit HandleTable g_objects;

uint32_t g_live_users;
uint32_t g_live_lists;
uint32_t g_live_elements;
uint32_t g_live_locales;

/* ---- HandleTable --------------------------------------------------------------------------- */

namespace {

/* Stores an entry where lock-free readers may be probing: key and magic atomically, the
 * fields only writers and visitors read as plain data. The release stores order the writer's
 * odd sequence number before them: a reader that sees one of these values (acquire) is bound
 * to see that sequence change too, and retries. */
void store_entry(HandleEntry *dst, const HandleEntry &src) {
    dst->owner = src.owner;
    dst->on_delete = src.on_delete;
    __atomic_store_n(&dst->magic, src.magic, __ATOMIC_RELEASE);
    __atomic_store_n(&dst->key, src.key, __ATOMIC_RELEASE);
}

void clear_key(HandleEntry *dst) { __atomic_store_n(&dst->key, nullptr, __ATOMIC_RELEASE); }

}  // namespace

/* Brackets a writer's change of a shard's slots with the sequence counter (the writer already
 * holds the shard's write lock, so writers never race on the counter). */
class HandleTable::WriteSection {
public:
    explicit WriteSection(Shard &s) : s_(s), seq_(__atomic_load_n(&s.seq, __ATOMIC_RELAXED)) {
        __atomic_store_n(&s_.seq, seq_ + 1, __ATOMIC_RELAXED);
    }
    WriteSection(const WriteSection &) = delete;
    WriteSection &operator=(const WriteSection &) = delete;
    ~WriteSection() { __atomic_store_n(&s_.seq, seq_ + 2, __ATOMIC_RELEASE); }

private:
    Shard &s_;
    uint32_t seq_;
};

uint32_t HandleTable::hash(const void *key) {
    /* A 64-bit finaliser: object addresses share their low (alignment) and high bits, so every
     * bit of the result has to depend on the middle ones. Top bits pick the shard, low bits
     * the slot. */
    uint64_t v = reinterpret_cast<uintptr_t>(key);
    v ^= v >> 33;
    v *= 0xFF51AFD7ED558CCDull;
    v ^= v >> 33;
    v *= 0xC4CEB9FE1A85EC53ull;
    v ^= v >> 33;
    return static_cast<uint32_t>(v);
}

uint32_t HandleTable::check(const HandleEntry *e, uint32_t magic) {
    if (!e) return VELTRA_MANAGER_ERR_BAD_HANDLE;
    return e->magic == magic ? 0 : VELTRA_MANAGER_ERR_WRONG_MAGIC;
}

/* Under the shard's lock (either side). */
HandleEntry *HandleTable::find(const Shard &s, const void *key) {
    if (!key || !s.array) return nullptr;
    uint32_t mask = s.array->capacity - 1;
    for (uint32_t i = hash(key) & mask;; i = (i + 1) & mask) {
        HandleEntry *e = &s.array->slots[i];
        if (e->key == key) return e;
        if (!e->key) return nullptr; /* the load stays at most 1/2, so a free slot exists */
    }
}

bool HandleTable::grow(Shard &s) {
    uint32_t old_capacity = s.array ? s.array->capacity : 0;
    uint32_t capacity = old_capacity ? old_capacity * 2 : 16;
    if (capacity < old_capacity) return false;
    size_t bytes = sizeof(SlotArray) + sizeof(HandleEntry) * (capacity - 1);
    auto *fresh = static_cast<SlotArray *>(raw_alloc(bytes));
    if (!fresh) return false;
    memset(fresh, 0, bytes);
    fresh->capacity = capacity;
    uint32_t mask = capacity - 1;
    for (uint32_t i = 0; i < old_capacity; ++i) {
        const HandleEntry &e = s.array->slots[i];
        if (!e.key) continue;
        uint32_t j = hash(e.key) & mask;
        while (fresh->slots[j].key) j = (j + 1) & mask;
        fresh->slots[j] = e; /* not yet visible to readers */
    }
    if (s.array) {
        s.array->retired_next = s.retired;
        s.retired = s.array;
    }
    /* Release: a reader that sees the new array sees its contents. */
    __atomic_store_n(&s.array, fresh, __ATOMIC_RELEASE);
    return true;
}

void HandleTable::erase(Shard &s, HandleEntry *e) {
    /* Backward-shift deletion: entries after the hole that may live in it move up, so lookups
     * never need tombstones. */
    HandleEntry *slots = s.array->slots;
    uint32_t mask = s.array->capacity - 1;
    uint32_t hole = static_cast<uint32_t>(e - slots);
    WriteSection section(s);
    clear_key(&slots[hole]);
    for (uint32_t j = (hole + 1) & mask; slots[j].key; j = (j + 1) & mask) {
        uint32_t home = hash(slots[j].key) & mask;
        /* The entry at j may fill the hole unless its home lies cyclically in (hole, j]. */
        bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
        if (stays) continue;
        store_entry(&slots[hole], slots[j]);
        clear_key(&slots[j]);
        hole = j;
    }
    --s.used;
    __atomic_sub_fetch(&count_, 1, __ATOMIC_RELAXED);
}

uint32_t HandleTable::insert(const HandleEntry &entry) {
    if (!entry.key) return VELTRA_MANAGER_ERR_INVALID_ARG;
    Shard &s = shard_of(entry.key);
    WriteGuard guard(&s.lock);
    if (find(s, entry.key)) return VELTRA_MANAGER_ERR_EXISTS;
    WriteSection section(s);
    if ((s.used + 1) * 2 > (s.array ? s.array->capacity : 0) && !grow(s))
        return VELTRA_MANAGER_ERR_NO_MEMORY;
    uint32_t mask = s.array->capacity - 1;
    uint32_t i = hash(entry.key) & mask;
    while (s.array->slots[i].key) i = (i + 1) & mask;
    store_entry(&s.array->slots[i], entry);
    ++s.used;
    __atomic_add_fetch(&count_, 1, __ATOMIC_RELAXED);
    return 0;
}

uint32_t HandleTable::validate(const void *key, uint32_t magic) const {
    if (!key) return VELTRA_MANAGER_ERR_BAD_HANDLE;
    const Shard &s = shard_of(key);
    uint32_t home = hash(key);
    for (uint32_t attempt = 0;; ++attempt) {
        uint32_t before = __atomic_load_n(&s.seq, __ATOMIC_ACQUIRE);
        if (before & 1) {
            if (attempt >= 64) sched_yield(); /* a writer was preempted mid-change */
            continue;
        }
        uint32_t code = VELTRA_MANAGER_ERR_BAD_HANDLE;
        if (const SlotArray *a = __atomic_load_n(&s.array, __ATOMIC_ACQUIRE)) {
            uint32_t mask = a->capacity - 1;
            /* Bounded: a probe that races a writer may see a full run of keys. */
            for (uint32_t n = 0, i = home & mask; n <= mask; ++n, i = (i + 1) & mask) {
                const void *k = __atomic_load_n(&a->slots[i].key, __ATOMIC_ACQUIRE);
                if (!k) break;
                if (k == key) {
                    code = __atomic_load_n(&a->slots[i].magic, __ATOMIC_ACQUIRE) == magic
                               ? 0
                               : VELTRA_MANAGER_ERR_WRONG_MAGIC;
                    break;
                }
            }
        }
        if (__atomic_load_n(&s.seq, __ATOMIC_ACQUIRE) == before) return code;
    }
}

uint32_t HandleTable::take(const void *key, const uint32_t *magic, HandleEntry *out) {
    Shard &s = shard_of(key);
    WriteGuard guard(&s.lock);
    HandleEntry *e = find(s, key);
    if (!e) return VELTRA_MANAGER_ERR_BAD_HANDLE;
    if (magic && e->magic != *magic) return VELTRA_MANAGER_ERR_WRONG_MAGIC;
    *out = *e;
    erase(s, e);
    return 0;
}

const void **HandleTable::keys_of(const void *owner, uint32_t *p_count) const {
    const void **keys = nullptr;
    uint32_t n = 0, cap = 0;
    for (const Shard &s : shards_) {
        ReadGuard guard(&s.lock);
        uint32_t capacity = s.array ? s.array->capacity : 0;
        for (uint32_t i = 0; i < capacity; ++i) {
            const HandleEntry &e = s.array->slots[i];
            if (!e.key || (owner && e.owner != owner)) continue;
            if (n == cap) {
                uint32_t grown = cap ? cap * 2 : 16;
                auto *bigger = static_cast<const void **>(raw_alloc(sizeof(void *) * grown));
                if (!bigger) break; /* keep what was gathered; the caller repeats */
                if (n) memcpy(bigger, keys, sizeof(void *) * n);
                raw_free(keys);
                keys = bigger;
                cap = grown;
            }
            keys[n++] = e.key;
        }
    }
    *p_count = n;
    return keys;
}

HandleEntry *HandleTable::drain(uint32_t *p_count) {
    HandleEntry *all = nullptr;
    uint32_t n = 0;
    for (Shard &s : shards_) {
        WriteGuard guard(&s.lock);
        WriteSection section(s);
        if (s.used) {
            auto *bigger =
                static_cast<HandleEntry *>(raw_alloc(sizeof(HandleEntry) * (n + s.used)));
            if (bigger) {
                if (n) memcpy(bigger, all, sizeof(HandleEntry) * n);
                raw_free(all);
                all = bigger;
                for (uint32_t i = 0; i < s.array->capacity; ++i)
                    if (s.array->slots[i].key) all[n++] = s.array->slots[i];
            }
        }
        __atomic_sub_fetch(&count_, s.used, __ATOMIC_RELAXED);
        SlotArray *current = s.array;
        __atomic_store_n(&s.array, nullptr, __ATOMIC_RELEASE);
        raw_free(current);
        while (SlotArray *old = s.retired) {
            s.retired = old->retired_next;
            raw_free(old);
        }
        s.used = 0;
    }
    *p_count = n;
    return all;
}

/* ---- manager objects ----------------------------------------------------------------------- */

uint32_t register_object(void *object, uint32_t magic, uint32_t *live) {
    if (!object) return VELTRA_MANAGER_ERR_NO_MEMORY;
    uint32_t code = g_objects.insert({object, magic, nullptr, nullptr});
    if (code != 0) {
        raw_free(object);
        return code;
    }
    __atomic_add_fetch(live, 1, __ATOMIC_RELAXED);
    return 0;
}

uint32_t release_object(const void *object, uint32_t magic, uint32_t *live) {
    HandleEntry e;
    uint32_t code = g_objects.take(object, &magic, &e);
    if (code != 0) return code;
    raw_free(const_cast<void *>(e.key));
    __atomic_sub_fetch(live, 1, __ATOMIC_RELAXED);
    return 0;
}

void free_all_objects() {
    uint32_t n = 0;
    HandleEntry *all = g_objects.drain(&n);
    for (uint32_t i = 0; i < n; ++i) raw_free(const_cast<void *>(all[i].key));
    raw_free(all);
    __atomic_store_n(&g_live_users, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&g_live_lists, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&g_live_elements, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&g_live_locales, 0, __ATOMIC_RELAXED);
}

}  // namespace mgr

namespace {

/* A user: a name and a reference count; freed when the count reaches 0. */
struct User {
    uint32_t refs;  /* changed under the object table's shard lock (atomically for addref) */
    char name[1];   /* NUL-terminated, allocated to its length */
};

/* ---- handle manager interface ---------------------------------------------------------------- */

uint32_t handle_add(void *client_ref, void *object, uint32_t magic,
                    veltra_handle_delete_fn delete_callback) {
    if (!object) return VELTRA_MANAGER_ERR_INVALID_ARG;
    if (!mgr::started()) return VELTRA_MANAGER_ERR_NOT_STARTED;
    uint32_t code = mgr::reserve_handle(client_ref);
    if (code != 0) return code;
    code = mgr::g_handles.insert({object, magic, client_ref, delete_callback});
    if (code != 0) mgr::unreserve_handle(client_ref);
    return code;
}

/* The hot path of every module call: a lock-free probe of one shard; the handle itself is
 * never read. */
uint32_t handle_validate(const void *handle, uint32_t magic) {
    return mgr::g_handles.validate(handle, magic);
}

uint32_t handle_release(void *handle) {
    mgr::HandleEntry e;
    uint32_t code = mgr::g_handles.take(handle, nullptr, &e);
    if (code != 0) return code;
    /* Outside every lock: the callback re-enters the manager (user_release, other handles). */
    if (e.on_delete) e.on_delete(const_cast<void *>(e.key));
    /* Last: once the reservation is back the client may be released and freed. */
    mgr::unreserve_handle(e.owner);
    return 0;
}

uint32_t user_handle_validate(veltra_user_handle_t user) {
    return mgr::g_objects.validate(user, mgr::kUserMagic);
}

/* ---- users ------------------------------------------------------------------------------------ */

uint32_t user_addref(veltra_user_handle_t user) {
    return mgr::g_objects.visit(user, mgr::kUserMagic, [](const mgr::HandleEntry &e) {
        auto *u = static_cast<User *>(const_cast<void *>(e.key));
        __atomic_add_fetch(&u->refs, 1, __ATOMIC_RELAXED);
    });
}

uint32_t user_release(veltra_user_handle_t user) {
    bool gone = false;
    uint32_t code = mgr::g_objects.take_if(
        user, mgr::kUserMagic,
        [](const mgr::HandleEntry &e) {
            auto *u = static_cast<User *>(const_cast<void *>(e.key));
            return __atomic_sub_fetch(&u->refs, 1, __ATOMIC_RELAXED) == 0;
        },
        &gone);
    if (gone) {
        mgr::raw_free(user);
        __atomic_sub_fetch(&mgr::g_live_users, 1, __ATOMIC_RELAXED);
    }
    return code;
}

}  // namespace

namespace mgr {

const veltra_handlemanager_interface_t g_handlemanager_table = {
    release_manager_interface, handle_add, handle_validate, nullptr, handle_release, nullptr,
    user_handle_validate};

const veltra_userinfo_interface_t g_userinfo_table = {release_manager_interface, nullptr,
                                                      user_addref, user_release};

void release_handles_of(const void *owner) {
    /* Repeats until none is left: a delete callback may end (or register) other handles of the
     * same owner, and a short key list (memory ran out) is finished by the next round. */
    for (;;) {
        uint32_t n = 0;
        const void **keys = g_handles.keys_of(owner, &n);
        /* A key ended meanwhile by another thread just answers BAD_HANDLE here. */
        for (uint32_t i = 0; i < n; ++i) handle_release(const_cast<void *>(keys[i]));
        raw_free(keys);
        if (n == 0) return;
    }
}

}  // namespace mgr

extern "C" {

uint32_t veltra_manager_handle_count(void) { return mgr::g_handles.count(); }

uint32_t veltra_manager_user_create(const char *name, veltra_user_handle_t *p_user) {
    if (!p_user) return VELTRA_MANAGER_ERR_INVALID_ARG;
    if (!mgr::started()) return VELTRA_MANAGER_ERR_NOT_STARTED;
    size_t len = name ? strlen(name) : 0;
    auto *u = static_cast<User *>(mgr::raw_alloc(sizeof(User) + len));
    if (u) {
        u->refs = 1;
        if (len) memcpy(u->name, name, len);
        u->name[len] = '\0';
    }
    uint32_t code = mgr::register_object(u, mgr::kUserMagic, &mgr::g_live_users);
    if (code == 0) *p_user = reinterpret_cast<veltra_user_handle_t>(u);
    return code;
}

uint32_t veltra_manager_user_release(veltra_user_handle_t user) { return user_release(user); }

uint32_t veltra_manager_user_refcount(veltra_user_handle_t user) {
    uint32_t refs = 0;
    mgr::g_objects.visit(user, mgr::kUserMagic, [&refs](const mgr::HandleEntry &e) {
        refs = __atomic_load_n(&static_cast<const User *>(e.key)->refs, __ATOMIC_RELAXED);
    });
    return refs;
}

}  // extern "C"
