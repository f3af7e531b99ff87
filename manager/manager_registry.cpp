/* The interface registry: the manager's own tables (one ordinal each) and the tables that
 * other modules publish under a name (dense ordinals in publication order), each with a count
 * of the references that interface_get handed out. */
#include <string.h>

#include "manager_internal.h"

namespace {

/* A manager-owned table and its name. */
struct ManagerInterface {
    const char *name;
    const void *table;
};

}  // namespace

namespace mgr {

const veltra_errorinfo_interface_t g_errorinfo_table = {release_manager_interface,
                                                        manager_errorinfo_set};
const veltra_serialization_interface_t g_serialization_table = {release_manager_interface};

}  // namespace mgr

namespace {

constexpr ManagerInterface kManagerInterfaces[] = {
    {"_veltra_errorinfo_interface", &mgr::g_errorinfo_table},
    {"_veltra_handlemanager_interface", &mgr::g_handlemanager_table},
    {"_veltra_userinfo_interface", &mgr::g_userinfo_table},
    {"_veltra_serialization_interface", &mgr::g_serialization_table},
    {"_veltra_listmanager_interface", &mgr::g_listmanager_table},
};
constexpr uint32_t kManagerInterfaceCount = sizeof kManagerInterfaces / sizeof kManagerInterfaces[0];

/* A published table. */
struct Published {
    char *name;         /* raw copy */
    const void *table;  /* the publisher's table; slot 0 is its interface_release */
    uint32_t refs;      /* references handed out by interface_get and not yet dropped */
};

pthread_mutex_t g_registry_lock = PTHREAD_MUTEX_INITIALIZER; /* guards everything below */
uint32_t g_manager_refs[kManagerInterfaceCount];
Published *g_published;  /* raw array in publication order */
uint32_t g_published_count;
uint32_t g_published_capacity;

int manager_index(const char *name) {
    for (uint32_t i = 0; i < kManagerInterfaceCount; ++i)
        if (strcmp(kManagerInterfaces[i].name, name) == 0) return static_cast<int>(i);
    return -1;
}

int manager_index_of_table(const void *table) {
    for (uint32_t i = 0; i < kManagerInterfaceCount; ++i)
        if (kManagerInterfaces[i].table == table) return static_cast<int>(i);
    return -1;
}

Published *published_of_table_locked(const void *table) {
    for (uint32_t i = 0; i < g_published_count; ++i)
        if (g_published[i].table == table) return &g_published[i];
    return nullptr;
}

/* Drops one reference on a manager or published table. */
uint32_t unref_locked(const void *table) {
    uint32_t *refs = nullptr;
    int m = manager_index_of_table(table);
    if (m >= 0) {
        refs = &g_manager_refs[m];
    } else if (Published *p = published_of_table_locked(table)) {
        refs = &p->refs;
    } else {
        return VELTRA_MANAGER_ERR_NOT_FOUND;
    }
    if (*refs == 0) return VELTRA_MANAGER_ERR_INVALID_ARG;
    --*refs;
    return 0;
}

}  // namespace

namespace mgr {

uint32_t release_manager_interface(const void *table) {
    if (!table) return VELTRA_MANAGER_ERR_INVALID_ARG;
    if (manager_index_of_table(table) < 0) return VELTRA_MANAGER_ERR_NOT_FOUND;
    MutexGuard guard(&g_registry_lock);
    return unref_locked(table);
}

uint32_t interface_get(const char *name, uint32_t reserved, uint32_t ordinal,
                       const void **out_interface) {
    if (!name || !out_interface || reserved != 0) return VELTRA_MANAGER_ERR_INVALID_ARG;
    if (!started()) return VELTRA_MANAGER_ERR_NOT_STARTED;
    MutexGuard guard(&g_registry_lock);
    int m = manager_index(name);
    if (m >= 0) {
        if (ordinal != 0) return VELTRA_MANAGER_ERR_NOT_FOUND;
        ++g_manager_refs[m];
        *out_interface = kManagerInterfaces[m].table;
        return 0;
    }
    uint32_t seen = 0;
    for (uint32_t i = 0; i < g_published_count; ++i) {
        Published &p = g_published[i];
        if (strcmp(p.name, name) != 0) continue;
        if (seen++ == ordinal) {
            ++p.refs;
            *out_interface = p.table;
            return 0;
        }
    }
    return VELTRA_MANAGER_ERR_NOT_FOUND;
}

void reset_registry() {
    MutexGuard guard(&g_registry_lock);
    for (uint32_t i = 0; i < g_published_count; ++i) raw_free(g_published[i].name);
    raw_free(g_published);
    g_published = nullptr;
    g_published_count = 0;
    g_published_capacity = 0;
    memset(g_manager_refs, 0, sizeof g_manager_refs);
}

}  // namespace mgr

extern "C" {

uint32_t veltra_manager_interface_publish(const char *name, const void *table,
                                          uint32_t *p_ordinal) {
    if (!name || !*name || !table) return VELTRA_MANAGER_ERR_INVALID_ARG;
    /* Slot 0 must hold the table's interface_release. */
    if (!*static_cast<void *const *>(table)) return VELTRA_MANAGER_ERR_INVALID_ARG;
    if (!mgr::started()) return VELTRA_MANAGER_ERR_NOT_STARTED;
    if (manager_index(name) >= 0 || manager_index_of_table(table) >= 0)
        return VELTRA_MANAGER_ERR_EXISTS;
    mgr::MutexGuard guard(&g_registry_lock);
    if (published_of_table_locked(table)) return VELTRA_MANAGER_ERR_EXISTS;
    if (g_published_count == g_published_capacity) {
        uint32_t capacity = g_published_capacity ? g_published_capacity * 2 : 8;
        auto *grown = static_cast<Published *>(mgr::raw_alloc(sizeof(Published) * capacity));
        if (!grown) return VELTRA_MANAGER_ERR_NO_MEMORY;
        if (g_published_count) memcpy(grown, g_published, sizeof(Published) * g_published_count);
        mgr::raw_free(g_published);
        g_published = grown;
        g_published_capacity = capacity;
    }
    char *copy = mgr::raw_strdup(name);
    if (!copy) return VELTRA_MANAGER_ERR_NO_MEMORY;
    uint32_t ordinal = 0;
    for (uint32_t i = 0; i < g_published_count; ++i)
        if (strcmp(g_published[i].name, name) == 0) ++ordinal;
    g_published[g_published_count++] = Published{copy, table, 0};
    if (p_ordinal) *p_ordinal = ordinal;
    return 0;
}

uint32_t veltra_manager_interface_withdraw(const char *name, const void *table, uint8_t force) {
    if (!name || !table) return VELTRA_MANAGER_ERR_INVALID_ARG;
    mgr::MutexGuard guard(&g_registry_lock);
    for (uint32_t i = 0; i < g_published_count; ++i) {
        Published &p = g_published[i];
        if (p.table != table || strcmp(p.name, name) != 0) continue;
        if (p.refs != 0 && !force) return VELTRA_MANAGER_ERR_IN_USE;
        mgr::raw_free(p.name);
        /* Later tables of the name move down one ordinal. */
        memmove(&g_published[i], &g_published[i + 1],
                sizeof(Published) * (g_published_count - i - 1));
        --g_published_count;
        return 0;
    }
    return VELTRA_MANAGER_ERR_NOT_FOUND;
}

uint32_t veltra_manager_interface_unref(const void *table) {
    if (!table) return VELTRA_MANAGER_ERR_INVALID_ARG;
    mgr::MutexGuard guard(&g_registry_lock);
    return unref_locked(table);
}

uint32_t veltra_manager_interface_refcount(const void *table) {
    mgr::MutexGuard guard(&g_registry_lock);
    int m = manager_index_of_table(table);
    if (m >= 0) return g_manager_refs[m];
    const Published *p = table ? published_of_table_locked(table) : nullptr;
    return p ? p->refs : 0;
}

uint32_t veltra_manager_interface_count(const char *name) {
    if (!name || !mgr::started()) return 0;
    if (manager_index(name) >= 0) return 1;
    mgr::MutexGuard guard(&g_registry_lock);
    uint32_t n = 0;
    for (uint32_t i = 0; i < g_published_count; ++i)
        if (strcmp(g_published[i].name, name) == 0) ++n;
    return n;
}

}  // extern "C"
