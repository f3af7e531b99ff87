/* The host ABI as the mood-grid module sees it: the manager handle and interface tables it
 * holds after start-up, and the names it looks them up by. */
#ifndef VIBEMESH_HOST_H
#define VIBEMESH_HOST_H

#include "veltra_manager.h"
#include "veltra_vibemesh.h"

namespace host {

inline constexpr const char kErrorinfoInterface[] = "_veltra_errorinfo_interface";
inline constexpr const char kHandlemanagerInterface[] = "_veltra_handlemanager_interface";
inline constexpr const char kUserinfoInterface[] = "_veltra_userinfo_interface";
inline constexpr const char kSerializationInterface[] = "_veltra_serialization_interface";
inline constexpr const char kListmanagerInterface[] = "_veltra_listmanager_interface";
inline constexpr const char kDatasourceInterface[] = "_veltra_vibemesh_datasource_interface";

inline constexpr const char kLocaleGroupPlaylist[] = "veltra_locale_playlist";
inline constexpr const char kLocaleGroupMusic[] = "veltra_locale_music";

inline constexpr uint32_t kManagerMagic = 0x1EEEEEE1u;
inline constexpr const char kManagerVersion[] = "3.05.4";

/* The interface tables held while the module is started (null otherwise). */
inline const veltra_errorinfo_interface_t *errorinfo() { return g_vibemesh_errorinfo_interface; }
inline const veltra_handlemanager_interface_t *handles() {
    return g_vibemesh_handlemanager_interface;
}
inline const veltra_userinfo_interface_t *users() { return g_vibemesh_userinfo_interface; }
inline const veltra_listmanager_interface_t *lists() { return g_vibemesh_lists_interface; }
inline const veltra_manager_t *manager() { return g_vibemesh_manager_interface; }

}  // namespace host

#endif
