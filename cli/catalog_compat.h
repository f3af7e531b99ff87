/* Bridges the catalog writer calls while the library moves to flags and track counts; the
 * wrappers pick whichever signature the header declares. */
#ifndef VIBEMESH_CLI_CATALOG_COMPAT_H
#define VIBEMESH_CLI_CATALOG_COMPAT_H

#include <type_traits>

#include "veltra_catalog.h"

namespace cli {

template <class F = decltype(&veltra_catalog_generate)>
uint32_t generate_catalog(const char *path, uint32_t tracks, uint32_t seed, uint32_t flags,
                          veltra_catalog_progress_fn progress, void *data, F f = &veltra_catalog_generate) {
    if constexpr (std::is_invocable_v<F, const char *, uint32_t, uint32_t, uint32_t,
                                      veltra_catalog_progress_fn, void *>) {
        return f(path, tracks, seed, flags, progress, data);
    } else {
        (void)flags;
        return f(path, tracks, seed, progress, data);
    }
}

template <class F = decltype(&veltra_catalog_import_csv)>
uint32_t import_catalog(const char *csv, const char *path, const char *name, uint32_t flags,
                        uint32_t *p_count, veltra_catalog_import_error_t *p_error,
                        F f = &veltra_catalog_import_csv) {
    if constexpr (std::is_invocable_v<F, const char *, const char *, const char *, uint32_t,
                                      uint32_t *, veltra_catalog_import_error_t *>) {
        return f(csv, path, name, flags, p_count, p_error);
    } else {
        (void)flags;
        uint32_t code = f(csv, path, name, p_error);
        veltra_catalog_t *c = nullptr;
        if (code == 0 && veltra_catalog_open(nullptr, path, &c) == 0) {
            veltra_catalog_info_t info{};
            veltra_catalog_get_info(c, &info);
            *p_count = info.track_count;
            veltra_catalog_close(c);
        }
        return code;
    }
}

}  // namespace cli

#endif
