/* The manager's life cycle and its handle: nested start and stop, client registration and
 * release, and the teardown of the last stop (clients shut down, leftover handles ended,
 * objects, registry and locales forgotten). */
#include <string.h>

#include "manager_internal.h"

namespace {

/* A registered client; its address is the client reference handed out. */
struct Client {
    Client *next;                        /* the client registered before this one */
    uint32_t package_id;                 /* unique among registered clients */
    veltra_client_shutdown_fn shutdown;  /* given at registration; may be null */
    uint32_t handles;                    /* live handles plus adds in flight (atomic) */
    uint8_t stopping;                    /* the last stop has called (or skipped) shutdown */
    char *name;                          /* raw copy of the client's name */
};

pthread_mutex_t g_life_lock = PTHREAD_MUTEX_INITIALIZER; /* serializes start and stop */
uint32_t g_start_count;                                   /* nested starts; under g_life_lock */
uint32_t g_started;                                       /* 1 while services answer (atomic) */

pthread_mutex_t g_clients_lock = PTHREAD_MUTEX_INITIALIZER; /* guards the client list */
Client *g_clients;                                          /* newest first */
uint32_t g_client_count;

Client *find_client_locked(const void *ref) {
    for (Client *c = g_clients; c; c = c->next)
        if (c == ref) return c;
    return nullptr;
}

void unlink_client_locked(Client *gone) {
    for (Client **p = &g_clients; *p; p = &(*p)->next) {
        if (*p == gone) {
            *p = gone->next;
            --g_client_count;
            return;
        }
    }
}

void free_client(Client *c) {
    mgr::raw_free(c->name);
    mgr::raw_free(c);
}

uint32_t client_register(uint32_t package_id, const char *client_name,
                         veltra_client_shutdown_fn shutdown_callback, void **out_client_ref) {
    if (!out_client_ref) return VELTRA_MANAGER_ERR_INVALID_ARG;
    if (!mgr::started()) return VELTRA_MANAGER_ERR_NOT_STARTED;
    mgr::MutexGuard guard(&g_clients_lock);
    for (Client *c = g_clients; c; c = c->next)
        if (c->package_id == package_id) return VELTRA_MANAGER_ERR_EXISTS;
    auto *c = static_cast<Client *>(mgr::raw_alloc(sizeof(Client)));
    char *name = mgr::raw_strdup(client_name);
    if (!c || !name) {
        mgr::raw_free(c);
        mgr::raw_free(name);
        return VELTRA_MANAGER_ERR_NO_MEMORY;
    }
    *c = Client{g_clients, package_id, shutdown_callback, 0, 0, name};
    g_clients = c;
    ++g_client_count;
    *out_client_ref = c;
    return 0;
}

/* Unregisters a client that holds no handle; a null reference has nothing to release. */
uint32_t client_release(void *client_ref) {
    if (!client_ref) return 0;
    Client *c;
    {
        mgr::MutexGuard guard(&g_clients_lock);
        c = find_client_locked(client_ref);
        if (!c) return VELTRA_MANAGER_ERR_BAD_HANDLE;
        if (__atomic_load_n(&c->handles, __ATOMIC_ACQUIRE) != 0) return VELTRA_MANAGER_ERR_IN_USE;
        unlink_client_locked(c);
    }
    free_client(c);
    return 0;
}

const veltra_manager_t g_manager = {mgr::kManagerMagic, mgr::kManagerVersion, client_register,
                                    client_release, nullptr, nullptr, mgr::interface_get};

/* Shuts down every client, newest first. A client's handles end before its callback runs, so
 * delete callbacks still find the client fully started; a client that its callback left
 * registered is dropped. */
void shut_down_clients() {
    for (;;) {
        Client *c;
        veltra_client_shutdown_fn callback = nullptr;
        {
            mgr::MutexGuard guard(&g_clients_lock);
            c = g_clients;
            if (!c) return;
            if (!c->stopping) callback = c->shutdown;
            c->stopping = 1;
        }
        mgr::release_handles_of(c);
        if (callback) callback(); /* re-enters client_release and interface_release */
        mgr::MutexGuard guard(&g_clients_lock);
        if (find_client_locked(c) && __atomic_load_n(&c->handles, __ATOMIC_ACQUIRE) == 0) {
            unlink_client_locked(c);
            free_client(c);
        }
    }
}

}  // namespace

namespace mgr {

bool started() { return __atomic_load_n(&g_started, __ATOMIC_ACQUIRE) != 0; }

uint32_t reserve_handle(void *client_ref) {
    MutexGuard guard(&g_clients_lock);
    Client *c = find_client_locked(client_ref);
    if (!c) return VELTRA_MANAGER_ERR_BAD_HANDLE;
    __atomic_add_fetch(&c->handles, 1, __ATOMIC_RELAXED);
    return 0;
}

void unreserve_handle(void *client_ref) {
    if (client_ref) __atomic_sub_fetch(&static_cast<Client *>(client_ref)->handles, 1, __ATOMIC_RELEASE);
}

}  // namespace mgr

extern "C" {

uint32_t veltra_manager_start(const veltra_manager_t **p_manager) {
    if (!p_manager) return VELTRA_MANAGER_ERR_INVALID_ARG;
    mgr::MutexGuard guard(&g_life_lock);
    if (g_start_count == 0) __atomic_store_n(&g_started, 1, __ATOMIC_RELEASE);
    ++g_start_count;
    *p_manager = &g_manager;
    return 0;
}

uint32_t veltra_manager_stop(void) {
    mgr::MutexGuard guard(&g_life_lock);
    if (g_start_count == 0) return VELTRA_MANAGER_ERR_NOT_STARTED;
    if (--g_start_count > 0) return 0;
    /* Services stay up while clients shut down: their callbacks call back into the manager. */
    shut_down_clients();
    mgr::release_handles_of(nullptr);
    __atomic_store_n(&g_started, 0, __ATOMIC_RELEASE);
    uint32_t n = 0;
    mgr::raw_free(mgr::g_handles.drain(&n)); /* nothing is left; this frees the slots */
    mgr::free_all_objects();
    mgr::reset_registry();
    mgr::reset_locales();
    return 0;
}

const veltra_manager_t *veltra_manager_handle(void) {
    return mgr::started() ? &g_manager : nullptr;
}

uint32_t veltra_manager_client_count(void) {
    mgr::MutexGuard guard(&g_clients_lock);
    return g_client_count;
}

uint32_t veltra_manager_client_shutdown(uint32_t package_id) {
    Client *c;
    veltra_client_shutdown_fn callback = nullptr;
    {
        mgr::MutexGuard guard(&g_clients_lock);
        c = g_clients;
        while (c && c->package_id != package_id) c = c->next;
        if (!c) return VELTRA_MANAGER_ERR_NOT_FOUND;
        callback = c->shutdown;
    }
    /* As at the last stop: the handles end while the client is still up, and no lock is held
     * while the callback releases the client and its interfaces. */
    mgr::release_handles_of(c);
    return callback ? callback() : 0;
}

}  // extern "C"
