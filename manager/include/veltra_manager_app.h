/* The stand-in manager's application-facing API.
 *
 * An application (or a test) starts the manager, receives the manager handle to pass to
 * modules such as veltra_vibemesh_initialize, and uses the calls below to inspect and steer the
 * manager: memory accounting and fault injection, error information, logging, handles, users,
 * clients, the interface registry, locales and lists. Plain C99. Every function returning
 * uint32_t returns 0 on success or one of the VELTRA_MANAGER_ERR_* codes. */
#ifndef VELTRA_MANAGER_APP_H
#define VELTRA_MANAGER_APP_H

#include "veltra_manager.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility push(default)
#endif

/* ---- codes (package 0x31, the manager's own) ---- */
#define VELTRA_MANAGER_ERR_INVALID_ARG     0x90310001u /* null or malformed argument */
#define VELTRA_MANAGER_ERR_NO_MEMORY       0x90310002u
#define VELTRA_MANAGER_ERR_NOT_FOUND       0x90310003u /* no such interface, ordinal, list, id */
#define VELTRA_MANAGER_ERR_NOT_STARTED     0x90310007u
#define VELTRA_MANAGER_ERR_IN_USE          0x90310010u /* client still holds handles; interface referenced */
#define VELTRA_MANAGER_ERR_EXISTS          0x90310011u /* already registered / published */
#define VELTRA_MANAGER_ERR_BAD_HANDLE      0x90310320u /* unknown or released handle */
#define VELTRA_MANAGER_ERR_WRONG_MAGIC     0x90310321u /* live handle registered with another magic */

/* ---- start and stop ---- */
/* Starts the manager (nested calls count) and hands out the manager handle. */
uint32_t veltra_manager_start(const veltra_manager_t **p_manager);
/* Undoes one start. The last one shuts every registered client down, newest first: it ends
 * the client's handles (calling their delete callbacks) and then calls the client's shutdown
 * callback. Then it frees every user, list, element and locale left and forgets published
 * tables, reference counts and default locales. */
uint32_t veltra_manager_stop(void);
/* The handle while started, else null. */
const veltra_manager_t *veltra_manager_handle(void);

/* ---- host allocator: accounting and fault injection ---- */
typedef struct veltra_manager_memory_stats_s {
    uint64_t live_blocks;   /* blocks allocated and not yet freed */
    uint64_t live_bytes;    /* their bytes */
    uint64_t peak_bytes;    /* highest live_bytes since the last reset */
    uint64_t allocations;   /* successful alloc and realloc calls so far */
    uint64_t failures;      /* calls failed by injection */
} veltra_manager_memory_stats_t;

void veltra_manager_memory_stats(veltra_manager_memory_stats_t *p_stats);
/* Resets peak_bytes to the current live_bytes. */
void veltra_manager_memory_reset_peak(void);
/* Lets `countdown` further allocations (alloc or realloc) succeed, then fails the next one;
 * with `persistent` every later one fails too. VELTRA_MANAGER_FAIL_NEVER disarms. */
#define VELTRA_MANAGER_FAIL_NEVER 0xFFFFFFFFu
void veltra_manager_memory_fail_after(uint32_t countdown, uint8_t persistent);
/* Whether an injected failure has happened since the last fail_after. */
uint8_t veltra_manager_memory_fault_hit(void);
/* Makes the next `count` calls of plx_memory_initialize fail. */
void veltra_manager_memory_fail_initialize(uint32_t count);
/* Nesting count of plx_memory_initialize minus plx_memory_shutdown. */
uint32_t veltra_manager_memory_init_count(void);

/* ---- error information (recorded per thread) ---- */
typedef struct veltra_manager_errorinfo_s {
    uint32_t error_code;
    uint32_t source_code;
    char function_name[128];  /* empty when none was given */
    char message[256];        /* empty when none was given */
    uint8_t has_message;      /* 1 when a message (even an empty one) was given */
    uint32_t sequence;        /* bumped on every record on this thread; 0 = none yet */
} veltra_manager_errorinfo_t;

/* The calling thread's last recorded error information. */
void veltra_manager_errorinfo_get(veltra_manager_errorinfo_t *p_info);
/* Forgets the calling thread's error information (sequence back to 0). */
void veltra_manager_errorinfo_clear(void);

/* ---- logging ---- */
/* Installs the log callback (null removes it) and sets the mask of every package to `mask`. */
void veltra_manager_log_install(plx_log_callback_fn callback, uint32_t mask);
/* Sets one package's mask. */
void veltra_manager_log_set_mask(uint32_t package, uint32_t mask);

/* ---- handles ---- */
/* Handles registered and not yet released, over all clients. */
uint32_t veltra_manager_handle_count(void);

/* ---- users ---- */
/* Creates a user with one reference; release with veltra_manager_user_release (or through the
 * userinfo interface). */
uint32_t veltra_manager_user_create(const char *name, veltra_user_handle_t *p_user);
uint32_t veltra_manager_user_release(veltra_user_handle_t user);
/* The user's reference count (0 for a handle that is not a live user). */
uint32_t veltra_manager_user_refcount(veltra_user_handle_t user);

/* ---- clients ---- */
/* Number of registered clients. */
uint32_t veltra_manager_client_count(void);
/* Shuts a registered client down: ends its handles (calling their delete callbacks), then
 * calls the shutdown callback it gave at registration with no manager lock held. Returns the
 * callback's result (0 without a callback), VELTRA_MANAGER_ERR_NOT_FOUND when no client of
 * that package exists. */
uint32_t veltra_manager_client_shutdown(uint32_t package_id);

/* ---- interface registry ---- */
/* Publishes `table` under `name` at the next free ordinal of that name (ordinals count from 0
 * and are dense: withdrawing one moves later ones down). The table's slot 0 must be its
 * interface_release; a publisher's release should call veltra_manager_interface_unref. */
uint32_t veltra_manager_interface_publish(const char *name, const void *table,
                                          uint32_t *p_ordinal /* may be NULL */);
/* Withdraws a published table. VELTRA_MANAGER_ERR_IN_USE while references are held, unless
 * `force` is set. */
uint32_t veltra_manager_interface_withdraw(const char *name, const void *table, uint8_t force);
/* Drops one reference taken by interface_get on a published table. */
uint32_t veltra_manager_interface_unref(const void *table);
/* References currently held on `table` (published or manager-owned). */
uint32_t veltra_manager_interface_refcount(const void *table);
/* Number of ordinals interface_get serves under `name`: 1 for a manager interface, else the
 * tables published under it. */
uint32_t veltra_manager_interface_count(const char *name);

/* ---- locales and lists ---- */
/* Sets the default locale of a group ("veltra_locale_music", "veltra_locale_playlist"; any
 * other group is VELTRA_MANAGER_ERR_INVALID_ARG). language null removes the group's default;
 * region and descriptor may be null (read back as ""). Lists retrieved with a German language
 * ("de", "deu", "ger", with or without a region subtag) show German names, any other language
 * English ones. No group has a default after start. */
uint32_t veltra_manager_locale_set_default(const char *group, const char *language,
                                           const char *region, const char *descriptor);

/* One entry of a list: an id, its level (1 or 2), its parent id at level 1 (0 for none), a
 * stable key and its display strings. */
typedef struct veltra_manager_list_entry_s {
    uint32_t id;
    uint32_t level;
    uint32_t parent_id;
    const char *key;
    const char *name_en;
    const char *name_de;
} veltra_manager_list_entry_t;

/* The built-in lists, by list type ("veltra_list_type_moods", "veltra_list_type_genres",
 * "veltra_list_type_origins", "veltra_list_type_eras"): *p_entries points into static data. */
uint32_t veltra_manager_list_entries(const char *list_type,
                                     const veltra_manager_list_entry_t **p_entries,
                                     uint32_t *p_count);

/* Manager objects alive now, for leak checks. */
typedef struct veltra_manager_object_counts_s {
    uint32_t users;     /* users not yet released to a count of 0 */
    uint32_t lists;     /* lists retrieved and not released */
    uint32_t elements;  /* list elements obtained and not released */
    uint32_t locales;   /* locales obtained and not released */
} veltra_manager_object_counts_t;
void veltra_manager_object_counts(veltra_manager_object_counts_t *p_counts);

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* VELTRA_MANAGER_APP_H */
