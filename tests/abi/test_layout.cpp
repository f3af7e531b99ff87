/* Binary layout of the public interface: every entry-point table puts slot k at byte
 * k * sizeof(void *), the public typedefs have their fixed widths, and the spin lock is the
 * platform mutex. Compiled for every target we build; on 32-bit ARM this is where a slot
 * drifting by four bytes would show. The static checks fail the build; the runtime checks read
 * the tables the stand-in manager actually hands out. */
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <string.h>

#include <type_traits>

#include "plx/plx.h"
#include "test_support.h"
#include "veltra_manager.h"
#include "veltra_vibemesh.h"

namespace {

constexpr size_t kSlot = sizeof(void *);

/* Slot k of a table, as the other side of the interface reads it. */
template <class Table>
const void *slot(const Table *table, size_t k) {
    const void *word = nullptr;
    memcpy(&word, reinterpret_cast<const unsigned char *>(table) + k * kSlot, kSlot);
    return word;
}

/* Slot k of a table taken as an entry point of type Fn, as a caller that knows nothing but
 * the slot number picks it up. */
template <class Fn, class Table>
Fn entry(const Table *table, size_t k) {
    static_assert(sizeof(Fn) == kSlot, "a function pointer fills one slot");
    Fn fn = nullptr;
    memcpy(&fn, reinterpret_cast<const unsigned char *>(table) + k * kSlot, kSlot);
    return fn;
}

}  // namespace

/* Member `member` of `Type` is one whole slot, slot k. */
#define SLOT_AT(Type, member, k)                                                               \
    static_assert(offsetof(Type, member) == (k) * kSlot, #Type "::" #member " is not slot " #k); \
    static_assert(sizeof(Type::member) == kSlot, #Type "::" #member " does not fill one slot")

/* The entry point in that slot has exactly the documented parameter and result types. */
#define SIGNATURE_IS(Type, member, ...) \
    static_assert(std::is_same_v<decltype(Type::member), __VA_ARGS__>, #Type "::" #member)

/* ---- the manager handle: slots 0 to 6, the 32-bit magic padded to a whole slot ---------- */
SLOT_AT(veltra_manager_t, version, 1);
SLOT_AT(veltra_manager_t, client_register, 2);
SLOT_AT(veltra_manager_t, client_release, 3);
SLOT_AT(veltra_manager_t, reserved4, 4);
SLOT_AT(veltra_manager_t, reserved5, 5);
SLOT_AT(veltra_manager_t, interface_get, 6);
static_assert(offsetof(veltra_manager_t, magic) == 0 && sizeof(veltra_manager_t::magic) == 4);
static_assert(sizeof(veltra_manager_t) == 7 * kSlot);
SIGNATURE_IS(veltra_manager_t, client_register,
             uint32_t (*)(uint32_t, const char *, veltra_client_shutdown_fn, void **));
SIGNATURE_IS(veltra_manager_t, client_release, uint32_t (*)(void *));
SIGNATURE_IS(veltra_manager_t, interface_get,
             uint32_t (*)(const char *, uint32_t, uint32_t, const void **));

/* ---- manager interfaces -------------------------------------------------------------- */
SLOT_AT(veltra_errorinfo_interface_t, interface_release, 0);
SLOT_AT(veltra_errorinfo_interface_t, errorinfo_set, 1);
static_assert(sizeof(veltra_errorinfo_interface_t) == 2 * kSlot);
SIGNATURE_IS(veltra_errorinfo_interface_t, errorinfo_set,
             uint32_t (*)(uint32_t, uint32_t, const char *, const char *));

SLOT_AT(veltra_handlemanager_interface_t, interface_release, 0);
SLOT_AT(veltra_handlemanager_interface_t, handle_add, 1);
SLOT_AT(veltra_handlemanager_interface_t, handle_validate, 2);
SLOT_AT(veltra_handlemanager_interface_t, handle_release, 4);
SLOT_AT(veltra_handlemanager_interface_t, user_handle_validate, 6);
static_assert(sizeof(veltra_handlemanager_interface_t) == 7 * kSlot);
SIGNATURE_IS(veltra_handlemanager_interface_t, handle_add,
             uint32_t (*)(void *, void *, uint32_t, veltra_handle_delete_fn));
SIGNATURE_IS(veltra_handlemanager_interface_t, handle_validate,
             uint32_t (*)(const void *, uint32_t));
SIGNATURE_IS(veltra_handlemanager_interface_t, user_handle_validate,
             uint32_t (*)(veltra_user_handle_t));

SLOT_AT(veltra_userinfo_interface_t, interface_release, 0);
SLOT_AT(veltra_userinfo_interface_t, user_addref, 2);
SLOT_AT(veltra_userinfo_interface_t, user_release, 3);
static_assert(sizeof(veltra_userinfo_interface_t) == 4 * kSlot);

SLOT_AT(veltra_listmanager_interface_t, interface_release, 0);
SLOT_AT(veltra_listmanager_interface_t, list_retrieve, 1);
SLOT_AT(veltra_listmanager_interface_t, list_release, 2);
SLOT_AT(veltra_listmanager_interface_t, list_get_element_by_id, 12);
SLOT_AT(veltra_listmanager_interface_t, list_element_release, 16);
SLOT_AT(veltra_listmanager_interface_t, list_element_get_display_string, 20);
SLOT_AT(veltra_listmanager_interface_t, locale_default_get, 40);
SLOT_AT(veltra_listmanager_interface_t, locale_info_get, 41);
SLOT_AT(veltra_listmanager_interface_t, locale_release, 43);
static_assert(sizeof(veltra_listmanager_interface_t) == 44 * kSlot);
SIGNATURE_IS(veltra_listmanager_interface_t, list_retrieve,
             uint32_t (*)(const char *, const char *, const char *, const char *,
                          veltra_user_handle_t, void *, void *, void **));
SIGNATURE_IS(veltra_listmanager_interface_t, list_get_element_by_id,
             uint32_t (*)(void *, uint32_t, uint32_t, void **));
SIGNATURE_IS(veltra_listmanager_interface_t, list_element_get_display_string,
             uint32_t (*)(void *, const char **));
SIGNATURE_IS(veltra_listmanager_interface_t, locale_default_get,
             uint32_t (*)(const char *, void **));
SIGNATURE_IS(veltra_listmanager_interface_t, locale_info_get,
             uint32_t (*)(void *, const char **, const char **, const char **,
                          const char **, void *));

SLOT_AT(veltra_serialization_interface_t, interface_release, 0);
static_assert(sizeof(veltra_serialization_interface_t) == 1 * kSlot);

/* ---- the datasource table: slots 0 to 12 ---------------------------------------------- */
SLOT_AT(VibeMeshDatasource, interface_release, 0);
SLOT_AT(VibeMeshDatasource, reserved1, 1);
SLOT_AT(VibeMeshDatasource, reserved2, 2);
SLOT_AT(VibeMeshDatasource, data_get, 3);
SLOT_AT(VibeMeshDatasource, reserved4, 4);
SLOT_AT(VibeMeshDatasource, reserved5, 5);
SLOT_AT(VibeMeshDatasource, query_create, 6);
SLOT_AT(VibeMeshDatasource, query_add_condition, 7);
SLOT_AT(VibeMeshDatasource, query_execute, 8);
SLOT_AT(VibeMeshDatasource, query_estimate, 9);
SLOT_AT(VibeMeshDatasource, query_result_count, 10);
SLOT_AT(VibeMeshDatasource, query_result_get, 11);
SLOT_AT(VibeMeshDatasource, query_release, 12);
static_assert(sizeof(VibeMeshDatasource) == 13 * kSlot);
SIGNATURE_IS(VibeMeshDatasource, data_get,
             uint32_t (*)(const VibeMeshDatasource *, const char *, const char **));
SIGNATURE_IS(VibeMeshDatasource, query_create,
             uint32_t (*)(const VibeMeshDatasource *, void **, veltra_user_handle_t,
                          veltra_vibemesh_callback_fn, void *));
SIGNATURE_IS(VibeMeshDatasource, query_add_condition,
             uint32_t (*)(void *, const char *, const char *, const char *, uint32_t *));
SIGNATURE_IS(VibeMeshDatasource, query_estimate, uint32_t (*)(void *, uint32_t *));
SIGNATURE_IS(VibeMeshDatasource, query_result_get,
             uint32_t (*)(void *, uint32_t, const char **, const char **));

/* ---- the stream callback table -------------------------------------------------------- */
SLOT_AT(plx_iostream_callbacks_t, read, 0);
SLOT_AT(plx_iostream_callbacks_t, write, 1);
SLOT_AT(plx_iostream_callbacks_t, flush, 2);
SLOT_AT(plx_iostream_callbacks_t, reset, 3);
SLOT_AT(plx_iostream_callbacks_t, release, 4);
static_assert(sizeof(plx_iostream_callbacks_t) == 5 * kSlot);

/* ---- widths of the public typedefs and data ------------------------------------------- */
static_assert(std::is_same_v<plx_error_t, uint32_t>);
static_assert(std::is_same_v<veltra_error_t, uint32_t>);
static_assert(std::is_same_v<plx_spinlock_t, pthread_mutex_t>);
static_assert(sizeof(veltra_user_handle_t) == kSlot);
static_assert(sizeof(veltra_vibemesh_presentation_handle_t) == kSlot);
static_assert(sizeof(veltra_vibemesh_provider_handle_t) == kSlot);
static_assert(sizeof(veltra_vibemesh_result_handle_t) == kSlot);
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

class Layout : public vt::ManagerTest {
protected:
    template <class T>
    const T *get(const char *name) {
        const void *table = nullptr;
        EXPECT_EQ(0u, manager_->interface_get(name, 0, 0, &table)) << name;
        return static_cast<const T *>(table);
    }
    template <class T>
    void put(const T *table) {
        if (table) {
            EXPECT_EQ(0u, table->interface_release(table));
        }
    }
};

TEST_F(Layout, ManagerHandleReadAsRawSlots) {
    uint32_t magic = 0;
    memcpy(&magic, manager_, sizeof magic); /* first four bytes of slot 0 */
    EXPECT_EQ(0x1EEEEEE1u, magic);
    EXPECT_STREQ("3.05.4", static_cast<const char *>(slot(manager_, 1)));
    EXPECT_NE(nullptr, slot(manager_, 2));
    EXPECT_NE(nullptr, slot(manager_, 3));

    using InterfaceGet = uint32_t (*)(const char *, uint32_t, uint32_t, const void **);
    const void *table = nullptr;
    ASSERT_EQ(0u, entry<InterfaceGet>(manager_, 6)("_veltra_serialization_interface", 0, 0,
                                                   &table));
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(0u, (entry<uint32_t (*)(const void *)>(table, 0)(table)));
}

TEST_F(Layout, ManagerInterfacesFillTheirSlots) {
    auto *errorinfo = get<veltra_errorinfo_interface_t>("_veltra_errorinfo_interface");
    auto *handles = get<veltra_handlemanager_interface_t>("_veltra_handlemanager_interface");
    auto *users = get<veltra_userinfo_interface_t>("_veltra_userinfo_interface");
    auto *lists = get<veltra_listmanager_interface_t>("_veltra_listmanager_interface");
    ASSERT_TRUE(errorinfo && handles && users && lists);

    for (size_t k : {0u, 1u}) EXPECT_NE(nullptr, slot(errorinfo, k)) << "errorinfo " << k;
    for (size_t k : {0u, 1u, 2u, 4u, 6u}) EXPECT_NE(nullptr, slot(handles, k)) << "handles " << k;
    for (size_t k : {0u, 2u, 3u}) EXPECT_NE(nullptr, slot(users, k)) << "users " << k;
    for (size_t k : {0u, 1u, 2u, 12u, 16u, 20u, 40u, 41u, 43u})
        EXPECT_NE(nullptr, slot(lists, k)) << "lists " << k;

    /* Calls through raw slots reach the operation named there: a null handle or user is
     * refused by validation, and a default locale reads back field by field. */
    EXPECT_NE(0u, (entry<uint32_t (*)(const void *, uint32_t)>(handles, 2)(nullptr, 0x54315461u)));
    EXPECT_NE(0u, (entry<uint32_t (*)(veltra_user_handle_t)>(handles, 6)(nullptr)));

    ASSERT_EQ(0u, veltra_manager_locale_set_default("veltra_locale_music", "deu", "DE", "std"));
    void *locale = nullptr;
    ASSERT_EQ(0u, (entry<uint32_t (*)(const char *, void **)>(lists, 40)("veltra_locale_music",
                                                                         &locale)));
    const char *group = nullptr, *language = nullptr, *region = nullptr, *descriptor = nullptr;
    using InfoGet = uint32_t (*)(void *, const char **, const char **, const char **,
                                 const char **, void *);
    EXPECT_EQ(0u, entry<InfoGet>(lists, 41)(locale, &group, &language, &region, &descriptor,
                                            nullptr));
    EXPECT_STREQ("veltra_locale_music", group);
    EXPECT_STREQ("deu", language);
    EXPECT_STREQ("DE", region);
    EXPECT_STREQ("std", descriptor);
    EXPECT_EQ(0u, (entry<uint32_t (*)(void *)>(lists, 43)(locale)));

    put(errorinfo);
    put(handles);
    put(users);
    put(lists);
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
