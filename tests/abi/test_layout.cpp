/* Binary layout of the public interface: every entry-point table puts slot k at byte
 * k * sizeof(void *), the public typedefs have their fixed widths, and the spin lock is the
 * platform mutex. Compiled for every target we build; on 32-bit ARM this is where a slot
 * drifting by four bytes would show. The static checks fail the build; the runtime checks read
 * the tables the stand-in manager actually hands out. */
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <string.h>

#include <string>
#include <type_traits>
#include <vector>

#include "plx/plx.h"
#include "test_support.h"
#include "veltra_manager.h"
#include "veltra_vibemesh.h"

namespace {

constexpr size_t kSlot = sizeof(void *);

/* Slot k of a table taken as an entry point of type Fn, as a caller that knows nothing but
 * the slot number picks it up. */
template <class Fn = const void *, class Table>
Fn slot(const Table *table, size_t k) {
    static_assert(sizeof(Fn) == kSlot, "a function pointer fills one slot");
    Fn fn = nullptr;
    memcpy(&fn, reinterpret_cast<const unsigned char *>(table) + k * kSlot, kSlot);
    return fn;
}

}  // namespace

/* In each block below, T is the table type: member `m` is one whole slot, slot k; SIG pins
 * the exact parameter and result types of the entry point in it; SIZE the table's slot count. */
#define AT(m, k) \
    static_assert(offsetof(T, m) == (k) * kSlot && sizeof(T::m) == kSlot, #m " is not slot " #k)
#define SIG(m, ...) static_assert(std::is_same_v<decltype(T::m), __VA_ARGS__>, #m)
#define SIZE(n) static_assert(sizeof(T) == (n) * kSlot, "table size")

namespace manager_handle { /* the 32-bit magic is padded to a whole slot */
using T = veltra_manager_t;
static_assert(offsetof(T, magic) == 0 && sizeof(T::magic) == 4);
AT(version, 1); AT(client_register, 2); AT(client_release, 3); AT(reserved4, 4);
AT(reserved5, 5); AT(interface_get, 6); SIZE(7);
SIG(client_register, uint32_t (*)(uint32_t, const char *, veltra_client_shutdown_fn, void **));
SIG(client_release, uint32_t (*)(void *));
SIG(interface_get, uint32_t (*)(const char *, uint32_t, uint32_t, const void **));
}  // namespace manager_handle

namespace errorinfo {
using T = veltra_errorinfo_interface_t;
AT(interface_release, 0); AT(errorinfo_set, 1); SIZE(2);
SIG(errorinfo_set, uint32_t (*)(uint32_t, uint32_t, const char *, const char *));
}  // namespace errorinfo

namespace handles {
using T = veltra_handlemanager_interface_t;
AT(interface_release, 0); AT(handle_add, 1); AT(handle_validate, 2); AT(handle_release, 4);
AT(user_handle_validate, 6); SIZE(7);
SIG(handle_add, uint32_t (*)(void *, void *, uint32_t, veltra_handle_delete_fn));
SIG(handle_validate, uint32_t (*)(const void *, uint32_t));
SIG(user_handle_validate, uint32_t (*)(veltra_user_handle_t));
}  // namespace handles

namespace users {
using T = veltra_userinfo_interface_t;
AT(interface_release, 0); AT(user_addref, 2); AT(user_release, 3); SIZE(4);
}  // namespace users

namespace lists {
using T = veltra_listmanager_interface_t;
AT(interface_release, 0); AT(list_retrieve, 1); AT(list_release, 2);
AT(list_get_element_by_id, 12); AT(list_element_release, 16);
AT(list_element_get_display_string, 20); AT(locale_default_get, 40); AT(locale_info_get, 41);
AT(locale_release, 43); SIZE(44);
SIG(list_retrieve, uint32_t (*)(const char *, const char *, const char *, const char *,
                                veltra_user_handle_t, void *, void *, void **));
SIG(list_get_element_by_id, uint32_t (*)(void *, uint32_t, uint32_t, void **));
SIG(list_element_get_display_string, uint32_t (*)(void *, const char **));
SIG(locale_default_get, uint32_t (*)(const char *, void **));
SIG(locale_info_get, uint32_t (*)(void *, const char **, const char **, const char **,
                                  const char **, void *));
}  // namespace lists

namespace serialization {
using T = veltra_serialization_interface_t;
AT(interface_release, 0); SIZE(1);
}  // namespace serialization

namespace datasource {
using T = VibeMeshDatasource;
AT(interface_release, 0); AT(reserved1, 1); AT(reserved2, 2); AT(data_get, 3);
AT(reserved4, 4); AT(reserved5, 5); AT(query_create, 6); AT(query_add_condition, 7);
AT(query_execute, 8); AT(query_estimate, 9); AT(query_result_count, 10);
AT(query_result_get, 11); AT(query_release, 12); SIZE(13);
SIG(data_get, uint32_t (*)(const VibeMeshDatasource *, const char *, const char **));
SIG(query_create, uint32_t (*)(const VibeMeshDatasource *, void **, veltra_user_handle_t,
                               veltra_vibemesh_callback_fn, void *));
SIG(query_add_condition,
    uint32_t (*)(void *, const char *, const char *, const char *, uint32_t *));
SIG(query_estimate, uint32_t (*)(void *, uint32_t *));
SIG(query_result_get, uint32_t (*)(void *, uint32_t, const char **, const char **));
}  // namespace datasource

namespace stream_callbacks {
using T = plx_iostream_callbacks_t;
AT(read, 0); AT(write, 1); AT(flush, 2); AT(reset, 3); AT(release, 4); SIZE(5);
}  // namespace stream_callbacks

/* ---- widths of the public typedefs and data ------------------------------------------- */
static_assert(std::is_same_v<plx_error_t, uint32_t>);
static_assert(std::is_same_v<veltra_error_t, uint32_t>);
static_assert(std::is_same_v<plx_spinlock_t, pthread_mutex_t>);
static_assert(sizeof(veltra_user_handle_t) == kSlot &&
              sizeof(veltra_vibemesh_result_handle_t) == kSlot &&
              sizeof(veltra_vibemesh_presentation_handle_t) == kSlot &&
              sizeof(veltra_vibemesh_provider_handle_t) == kSlot);
static_assert(std::is_same_v<decltype(g_plx_log_enabled_pkgs), uint32_t[256]>);
static_assert(std::is_same_v<decltype(g_plx_thread_store_key), uintptr_t>);
static_assert(std::is_same_v<decltype(g_plx_log_callback), plx_log_callback_fn>);
static_assert(std::is_same_v<decltype(utfmarktab), const uint8_t[3]>);
static_assert(std::is_same_v<decltype(utflmasktab), const uint8_t[3]>);
static_assert(std::is_same_v<decltype(g_fs_max_file_handles), uint32_t>);
static_assert(std::is_same_v<decltype(g_fs_num_file_handles), uint32_t>);
static_assert(std::is_same_v<decltype(g_vibemesh_client_ref), void *>);
static_assert(std::is_same_v<decltype(&plx_memory_alloc), void *(*)(size_t)>);
static_assert(std::is_same_v<decltype(&plx_memory_realloc), void *(*)(void *, size_t)>);
static_assert(std::is_same_v<decltype(&plx_atomicPtr_exchange),
                             plx_error_t (*)(void **, void *, void **)>);
static_assert(std::is_same_v<decltype(&plx_random_rand), uint32_t (*)(uint32_t *)>);

/* ---- the tables handed out at run time ------------------------------------------------ */

class Layout : public vt::ManagerTest {};

TEST_F(Layout, ManagerHandleReadAsRawSlots) {
    uint32_t magic = 0;
    memcpy(&magic, manager_, sizeof magic); /* first four bytes of slot 0 */
    EXPECT_EQ(0x1EEEEEE1u, magic);
    EXPECT_STREQ("3.05.4", static_cast<const char *>(slot(manager_, 1)));
    EXPECT_NE(nullptr, slot(manager_, 2));
    EXPECT_NE(nullptr, slot(manager_, 3));

    using InterfaceGet = uint32_t (*)(const char *, uint32_t, uint32_t, const void **);
    const void *table = nullptr;
    ASSERT_EQ(0u, slot<InterfaceGet>(manager_, 6)("_veltra_serialization_interface", 0, 0, &table));
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(0u, (slot<uint32_t (*)(const void *)>(table, 0)(table)));
}

TEST_F(Layout, ManagerInterfacesFillTheirSlots) {
    struct {
        const char *name;
        std::vector<size_t> slots;
    } tables[] = {{"_veltra_errorinfo_interface", {0, 1}},
                  {"_veltra_handlemanager_interface", {0, 1, 2, 4, 6}},
                  {"_veltra_userinfo_interface", {0, 2, 3}},
                  {"_veltra_listmanager_interface", {0, 1, 2, 12, 16, 20, 40, 41, 43}}};
    const void *got[4] = {};
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(0u, manager_->interface_get(tables[i].name, 0, 0, &got[i])) << tables[i].name;
        for (size_t k : tables[i].slots) EXPECT_NE(nullptr, slot(got[i], k)) << tables[i].name << k;
    }
    const void *handles = got[1], *lists = got[3];

    /* Calls through raw slots reach the operation named there: a null handle or user is
     * refused by validation, and a default locale reads back field by field. */
    EXPECT_NE(0u, (slot<uint32_t (*)(const void *, uint32_t)>(handles, 2)(nullptr, 0x54315461u)));
    EXPECT_NE(0u, (slot<uint32_t (*)(veltra_user_handle_t)>(handles, 6)(nullptr)));
    ASSERT_EQ(0u, veltra_manager_locale_set_default("veltra_locale_music", "deu", "DE", "std"));
    void *locale = nullptr;
    ASSERT_EQ(0u, (slot<uint32_t (*)(const char *, void **)>(lists, 40)("veltra_locale_music",
                                                                        &locale)));
    const char *f[4] = {};
    using InfoGet = uint32_t (*)(void *, const char **, const char **, const char **,
                                 const char **, void *);
    EXPECT_EQ(0u, slot<InfoGet>(lists, 41)(locale, &f[0], &f[1], &f[2], &f[3], nullptr));
    EXPECT_EQ("veltra_locale_music/deu/DE/std",
              std::string(f[0]) + "/" + f[1] + "/" + f[2] + "/" + f[3]);
    EXPECT_EQ(0u, (slot<uint32_t (*)(void *)>(lists, 43)(locale)));
    for (const void *t : got) EXPECT_EQ(0u, (slot<uint32_t (*)(const void *)>(t, 0)(t)));
}

TEST(SpinLock, IsThePlatformMutex) {
    plx_spinlock_t lock = PLX_SPINLOCK_INITIALIZER;
    ASSERT_EQ(0u, plx_spinlock_lock(&lock));
    EXPECT_EQ(EBUSY, pthread_mutex_trylock(&lock));
    ASSERT_EQ(0u, plx_spinlock_unlock(&lock));
    ASSERT_EQ(0, pthread_mutex_trylock(&lock));
    EXPECT_EQ(0, pthread_mutex_unlock(&lock));
    EXPECT_EQ(0u, plx_spinlock_delete(&lock));
}
