/* The host ABI: what the manager library exports to modules, the manager
 * handle and the manager interface tables.
 * Plain C99; every function returns a plx_error_t unless its declaration says otherwise. */
#ifndef VELTRA_MANAGER_H
#define VELTRA_MANAGER_H

#include <stdint.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility push(default)
#endif

typedef struct veltra_manager_s veltra_manager_t;          /* the manager handle, below */

uint32_t plx_memory_initialize(const veltra_manager_t *manager);  /* 0 or an error code */
uint32_t plx_memory_shutdown(void);
void    *plx_memory_alloc(size_t size);                   /* null on failure */
void     plx_memory_free(void *block);                    /* null is ignored */
void    *plx_memory_realloc(void *block, size_t size);    /* null on failure, block kept */
void    *plx_memory_memset(void *dest, int value, size_t count);           /* returns dest */
void    *plx_memory_memcpy(void *dest, const void *src, size_t count);     /* returns dest */
void    *plx_memory_memmove(void *dest, const void *src, size_t count);    /* returns dest */

uint32_t manager_errorinfo_set(uint32_t error_code, uint32_t source_code,
                               const char *function_name, const char *message /* or null */);

typedef void (*plx_log_callback_fn)(int32_t line, const char *source, uint32_t level_mask,
                                    uint32_t code, const char *format /* or null */, ...);
extern plx_log_callback_fn g_plx_log_callback;        /* may be null */
extern uint32_t g_plx_log_enabled_pkgs[256];          /* one mask per package number:
                                                         1 error, 4 information, 8 trace */

/* The shared per-thread store key. POSIX may hand out key value 0, so the variable holds
   key + 1; 0 means that no key exists yet. */
extern uintptr_t g_plx_thread_store_key;

typedef uint32_t (*veltra_client_shutdown_fn)(void);

struct veltra_manager_s {
    uint32_t magic;                                   /* slot 0: 0x1EEEEEE1 */
    const char *version;                              /* slot 1: "3.05.4" */
    uint32_t (*client_register)(uint32_t package_id, const char *client_name,
                                veltra_client_shutdown_fn shutdown_callback,
                                void **out_client_ref);                 /* slot 2 */
    uint32_t (*client_release)(void *client_ref);     /* slot 3: nonzero while in use */
    void *reserved4;                                  /* slot 4 */
    void *reserved5;                                  /* slot 5 */
    uint32_t (*interface_get)(const char *name, uint32_t reserved /* 0 */,
                              uint32_t ordinal, const void **out_interface); /* slot 6 */
};

typedef uint32_t (*veltra_interface_release_fn)(const void *interface);
typedef uint32_t (*veltra_handle_delete_fn)(void *object);
typedef struct veltra_user_s *veltra_user_handle_t;   /* a user object of the manager */

typedef struct {                                      /* "_veltra_errorinfo_interface" */
    veltra_interface_release_fn interface_release;                       /* 0 */
    uint32_t (*errorinfo_set)(uint32_t error_code, uint32_t source_code,
                              const char *function_name, const char *message);  /* 1 */
} veltra_errorinfo_interface_t;

typedef struct {                                      /* "_veltra_handlemanager_interface" */
    veltra_interface_release_fn interface_release;                       /* 0 */
    uint32_t (*handle_add)(void *client_ref, void *object, uint32_t magic,
                           veltra_handle_delete_fn delete_callback);     /* 1 */
    uint32_t (*handle_validate)(const void *handle, uint32_t magic);     /* 2 */
    void *reserved3;
    uint32_t (*handle_release)(void *handle);                            /* 4 */
    void *reserved5;
    uint32_t (*user_handle_validate)(veltra_user_handle_t user);         /* 6 */
} veltra_handlemanager_interface_t;

typedef struct {                                      /* "_veltra_userinfo_interface" */
    veltra_interface_release_fn interface_release;                       /* 0 */
    void *reserved1;
    uint32_t (*user_addref)(veltra_user_handle_t user);                  /* 2 */
    uint32_t (*user_release)(veltra_user_handle_t user);                 /* 3 */
} veltra_userinfo_interface_t;

typedef struct {                                      /* "_veltra_listmanager_interface" */
    veltra_interface_release_fn interface_release;                       /* 0 */
    uint32_t (*list_retrieve)(const char *list_type, const char *language,
                              const char *region, const char *descriptor,
                              veltra_user_handle_t user, void *reserved_a,
                              void *reserved_b, void **out_list);        /* 1 */
    uint32_t (*list_release)(void *list);                                /* 2 */
    void *reserved3_11[9];
    uint32_t (*list_get_element_by_id)(void *list, uint32_t id, uint32_t level,
                                       void **out_element);              /* 12 */
    void *reserved13_15[3];
    uint32_t (*list_element_release)(void *element);                     /* 16 */
    void *reserved17_19[3];
    uint32_t (*list_element_get_display_string)(void *element,
                                                const char **out_display);   /* 20 */
    void *reserved21_39[19];
    uint32_t (*locale_default_get)(const char *locale_group, void **out_locale); /* 40 */
    uint32_t (*locale_info_get)(void *locale, const char **out_group,
                                const char **out_language, const char **out_region,
                                const char **out_descriptor, void *reserved);   /* 41 */
    void *reserved42;
    uint32_t (*locale_release)(void *locale);                            /* 43 */
} veltra_listmanager_interface_t;

typedef struct {                                      /* "_veltra_serialization_interface" */
    veltra_interface_release_fn interface_release;                       /* 0 */
} veltra_serialization_interface_t;

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* VELTRA_MANAGER_H */
