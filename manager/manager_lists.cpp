/* The list manager: default locales per locale group, and the built-in lists handed out as
 * list and element objects that carry the language they were retrieved in. Every object is a
 * raw-allocated record registered in the object table, so stale or foreign pointers are
 * refused without being read. */
#include <string.h>

#include "manager_internal.h"

namespace {

constexpr const char *kLocaleGroups[] = {"veltra_locale_music", "veltra_locale_playlist"};
constexpr uint32_t kGroupCount = sizeof kLocaleGroups / sizeof kLocaleGroups[0];

/* Language names that select the German display strings (compared on the primary subtag,
 * ignoring case); every other language reads English. */
constexpr const char *kGermanNames[] = {"de", "deu", "ger", "german", "deutsch"};

/* A group's default locale: raw copies, language null when the group has none. */
struct LocaleDefault {
    char *language;
    char *region;
    char *descriptor;
};

pthread_mutex_t g_locale_lock = PTHREAD_MUTEX_INITIALIZER; /* guards g_defaults */
LocaleDefault g_defaults[kGroupCount];

/* A locale handed to a caller: a snapshot of a group's default, so a later change of the
 * default does not move strings under a caller. The texts follow the record in its block. */
struct Locale {
    const char *group;
    const char *language;
    const char *region;
    const char *descriptor;
};

/* A retrieved list: which list and in which language. */
struct List {
    const mgr::ListDef *def;
    uint8_t german;  /* 1 when display strings are German */
};

/* One element of a list; independent of the list it came from. */
struct Element {
    const veltra_manager_list_entry_t *entry;
    uint8_t german;
};

int group_index(const char *group) {
    for (uint32_t i = 0; i < kGroupCount; ++i)
        if (strcmp(kLocaleGroups[i], group) == 0) return static_cast<int>(i);
    return -1;
}

bool is_german(const char *language) {
    if (!language) return false;
    size_t n = strcspn(language, "-_");
    for (const char *name : kGermanNames) {
        if (strlen(name) != n) continue;
        size_t i = 0;
        while (i < n && (language[i] | 0x20) == name[i]) ++i;
        if (i == n) return true;
    }
    return false;
}

void free_default(LocaleDefault &d) {
    mgr::raw_free(d.language);
    mgr::raw_free(d.region);
    mgr::raw_free(d.descriptor);
    d = LocaleDefault{};
}

/* ---- list manager interface ---------------------------------------------------------------- */

uint32_t list_retrieve(const char *list_type, const char *language, const char *, const char *,
                       veltra_user_handle_t user, void *, void *, void **out_list) {
    if (!list_type || !out_list) return VELTRA_MANAGER_ERR_INVALID_ARG;
    if (!mgr::started()) return VELTRA_MANAGER_ERR_NOT_STARTED;
    if (user) {
        uint32_t code = mgr::g_objects.validate(user, mgr::kUserMagic);
        if (code != 0) return code;
    }
    const mgr::ListDef *def = mgr::find_list(list_type);
    if (!def) return VELTRA_MANAGER_ERR_NOT_FOUND;
    auto *list = static_cast<List *>(mgr::raw_alloc(sizeof(List)));
    if (list) *list = List{def, static_cast<uint8_t>(is_german(language))};
    uint32_t code = mgr::register_object(list, mgr::kListMagic, &mgr::g_live_lists);
    if (code == 0) *out_list = list;
    return code;
}

uint32_t list_release(void *list) {
    return mgr::release_object(list, mgr::kListMagic, &mgr::g_live_lists);
}

uint32_t list_get_element_by_id(void *list, uint32_t id, uint32_t level, void **out_element) {
    if (!out_element) return VELTRA_MANAGER_ERR_INVALID_ARG;
    Element found{};
    uint32_t code = mgr::g_objects.visit(list, mgr::kListMagic, [&](const mgr::HandleEntry &e) {
        const List *l = static_cast<const List *>(e.key);
        found.german = l->german;
        for (uint32_t i = 0; i < l->def->count; ++i) {
            const veltra_manager_list_entry_t &entry = l->def->entries[i];
            if (entry.id == id && entry.level == level) {
                found.entry = &entry;
                break;
            }
        }
    });
    if (code != 0) return code;
    if (!found.entry) return VELTRA_MANAGER_ERR_NOT_FOUND;
    auto *element = static_cast<Element *>(mgr::raw_alloc(sizeof(Element)));
    if (element) *element = found;
    code = mgr::register_object(element, mgr::kElementMagic, &mgr::g_live_elements);
    if (code == 0) *out_element = element;
    return code;
}

uint32_t list_element_release(void *element) {
    return mgr::release_object(element, mgr::kElementMagic, &mgr::g_live_elements);
}

/* The string is static data, so it outlives the element as the contract requires. */
uint32_t list_element_get_display_string(void *element, const char **out_display) {
    if (!out_display) return VELTRA_MANAGER_ERR_INVALID_ARG;
    return mgr::g_objects.visit(element, mgr::kElementMagic, [&](const mgr::HandleEntry &e) {
        const Element *el = static_cast<const Element *>(e.key);
        *out_display = el->german ? el->entry->name_de : el->entry->name_en;
    });
}

uint32_t locale_default_get(const char *locale_group, void **out_locale) {
    if (!locale_group || !out_locale) return VELTRA_MANAGER_ERR_INVALID_ARG;
    if (!mgr::started()) return VELTRA_MANAGER_ERR_NOT_STARTED;
    int g = group_index(locale_group);
    if (g < 0) return VELTRA_MANAGER_ERR_NOT_FOUND;
    Locale *locale = nullptr;
    {
        mgr::MutexGuard guard(&g_locale_lock);
        const LocaleDefault &d = g_defaults[g];
        if (!d.language) return VELTRA_MANAGER_ERR_NOT_FOUND;
        const char *texts[4] = {kLocaleGroups[g], d.language, d.region, d.descriptor};
        size_t lengths[4], total = 0;
        for (int i = 0; i < 4; ++i) total += lengths[i] = strlen(texts[i]) + 1;
        locale = static_cast<Locale *>(mgr::raw_alloc(sizeof(Locale) + total));
        if (!locale) return VELTRA_MANAGER_ERR_NO_MEMORY;
        char *at = reinterpret_cast<char *>(locale + 1);
        const char **fields[4] = {&locale->group, &locale->language, &locale->region,
                                  &locale->descriptor};
        for (int i = 0; i < 4; ++i) {
            memcpy(at, texts[i], lengths[i]);
            *fields[i] = at;
            at += lengths[i];
        }
    }
    uint32_t code = mgr::register_object(locale, mgr::kLocaleMagic, &mgr::g_live_locales);
    if (code == 0) *out_locale = locale;
    return code;
}

/* Any out pointer may be null; the strings live until the locale is released. */
uint32_t locale_info_get(void *locale, const char **out_group, const char **out_language,
                         const char **out_region, const char **out_descriptor, void *) {
    return mgr::g_objects.visit(locale, mgr::kLocaleMagic, [&](const mgr::HandleEntry &e) {
        const Locale *l = static_cast<const Locale *>(e.key);
        if (out_group) *out_group = l->group;
        if (out_language) *out_language = l->language;
        if (out_region) *out_region = l->region;
        if (out_descriptor) *out_descriptor = l->descriptor;
    });
}

uint32_t locale_release(void *locale) {
    return mgr::release_object(locale, mgr::kLocaleMagic, &mgr::g_live_locales);
}

}  // namespace

namespace mgr {

const veltra_listmanager_interface_t g_listmanager_table = {
    release_manager_interface,
    list_retrieve,
    list_release,
    {},
    list_get_element_by_id,
    {},
    list_element_release,
    {},
    list_element_get_display_string,
    {},
    locale_default_get,
    locale_info_get,
    nullptr,
    locale_release,
};

void reset_locales() {
    MutexGuard guard(&g_locale_lock);
    for (LocaleDefault &d : g_defaults) free_default(d);
}

}  // namespace mgr

extern "C" {

uint32_t veltra_manager_locale_set_default(const char *group, const char *language,
                                           const char *region, const char *descriptor) {
    if (!group) return VELTRA_MANAGER_ERR_INVALID_ARG;
    if (!mgr::started()) return VELTRA_MANAGER_ERR_NOT_STARTED;
    int g = group_index(group);
    if (g < 0) return VELTRA_MANAGER_ERR_INVALID_ARG;
    LocaleDefault fresh{};
    if (language) {
        fresh = LocaleDefault{mgr::raw_strdup(language), mgr::raw_strdup(region),
                              mgr::raw_strdup(descriptor)};
        if (!fresh.language || !fresh.region || !fresh.descriptor) {
            free_default(fresh);
            return VELTRA_MANAGER_ERR_NO_MEMORY;
        }
    }
    LocaleDefault old;
    {
        mgr::MutexGuard guard(&g_locale_lock);
        old = g_defaults[g];
        g_defaults[g] = fresh;
    }
    free_default(old);
    return 0;
}

void veltra_manager_object_counts(veltra_manager_object_counts_t *p_counts) {
    if (!p_counts) return;
    p_counts->users = __atomic_load_n(&mgr::g_live_users, __ATOMIC_RELAXED);
    p_counts->lists = __atomic_load_n(&mgr::g_live_lists, __ATOMIC_RELAXED);
    p_counts->elements = __atomic_load_n(&mgr::g_live_elements, __ATOMIC_RELAXED);
    p_counts->locales = __atomic_load_n(&mgr::g_live_locales, __ATOMIC_RELAXED);
}

}  // extern "C"
