/* Sequences of mood-grid calls in any order against the scriptable datasource: presentations of
 * any type code, filters set and removed with good and bad arguments, finds and estimates whose
 * conditions must follow the filters in the order they were set, result sets enumerated against
 * what the datasource delivered, providers, releases of live, stale and wrongly typed handles,
 * datasource failures and allocation failures at any step. Each input starts and stops the
 * module; nothing may stay allocated, registered or referenced afterwards. */
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "scripted_datasource.h"
#include "veltra_vibemesh.h"

namespace fuzz_vibemesh {

constexpr uint32_t kInvalid = 0x90A80001u, kNoMemory = 0x90A80002u, kExists = 0x90A8000Cu;
/* A refused handle keeps bit 16 of the manager's code (0x9031....). */
constexpr uint32_t kBadHandle = 0x90A90320u, kWrongType = 0x90A90321u, kRange = 0x90A80361u;

const char *const kTypesList[] = {VELTRA_LIST_TYPE_GENRES,
                                  VELTRA_LIST_TYPE_ORIGINS,
                                  VELTRA_LIST_TYPE_ERAS,
                                  VELTRA_LIST_TYPE_MOODS,
                                  "",
                                  "bogus",
                                  nullptr};
const char *const kIdents[] = {"f1", "f2", "f3", "g", "", "\xff", nullptr, "f\xc3\xa9"};
const char *const kItems[] = {"1", "42", "7x", "0", "abc", "", nullptr, "\xe2\x82"};
const char *const kConditions[] = {VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE,
                                   VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE, "", "other", nullptr};
constexpr uint32_t kGridTypes[] = {0x505,  0xA0A,  0x505, 0xA0A,  0x0A05,
                                   0x0B0B, 0x0101, 0,     0xFFFF, 0x1405};
const char *const kResultStrings[] = {"t1", "t2", "album", "G", "t1", "\xc3\xa9t\xc3\xa9", ""};

struct Filter {
    std::string ident, list_type, item;
    bool include;
};
struct Presentation {
    veltra_vibemesh_presentation_handle_t h;
    uint32_t type;
    std::vector<Filter> filters; /* in the order they were set */
};
struct Results {
    veltra_vibemesh_result_handle_t h;
    std::vector<std::pair<std::string, std::string>> rows;
};

bool valid_text(const char *s) { return !plx_string_isempty(s) && plx_string_isvalid(s); }

/* The code filter_set must give, or 0 when it stores the filter. */
uint32_t filter_verdict(const Presentation &p, const char *ident, const char *list,
                        const char *item, const char *condition) {
    if (!valid_text(ident) || !valid_text(list)) return kInvalid;
    if (strcmp(list, VELTRA_LIST_TYPE_GENRES) && strcmp(list, VELTRA_LIST_TYPE_ORIGINS) &&
        strcmp(list, VELTRA_LIST_TYPE_ERAS))
        return kInvalid;
    if (!valid_text(item) || plx_string_atou32(item) == 0) return kInvalid;
    if (!condition || !*condition) return kInvalid;
    bool include = strcmp(condition, VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE) == 0;
    if (!include && strcmp(condition, VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE)) return kInvalid;
    for (const Filter &f : p.filters)
        if (f.ident == ident) return kExists;
    /* Filters of one list type must agree with the last one set on include or exclude. */
    int last = -1;
    for (const Filter &f : p.filters)
        if (f.list_type == list) last = f.include;
    if (last >= 0 && last != include) return kInvalid;
    return 0;
}

/* The datasource's code as the module reports it. */
uint32_t mapped(uint32_t code) {
    if ((code & 0xFFFF) == 2) return kNoMemory;
    if ((code & 0xFFFF) == 3) return 0x10A20003u;
    return 0x90A80000u | (code & 0xFFFF);
}

void run(const uint8_t *data, size_t size) {
    fz::LeakCheck leaks;
    fz::Reader r(data, size);
    const uint32_t handles_before = veltra_manager_handle_count();
    veltra_manager_object_counts_t objects_before{};
    veltra_manager_object_counts(&objects_before);
    FUZZ_CHECK(veltra_vibemesh_initialize(veltra_manager_handle()) == 0);
    uint8_t config = r.u8();
    if (config & 1)
        veltra_manager_locale_set_default("veltra_locale_music", config & 2 ? "de" : "en", nullptr,
                                          nullptr);
    veltra_user_handle_t user = nullptr;
    FUZZ_CHECK(veltra_manager_user_create("fuzz", &user) == 0);
    {
        vt::ScriptedDatasource ds;
        FUZZ_CHECK(ds.publish() == 0);
        for (uint32_t n = r.below(5); n > 0; --n)
            ds.results.emplace_back(kResultStrings[r.below(std::size(kResultStrings))],
                                    kResultStrings[r.below(std::size(kResultStrings))]);
        ds.data["name"] = "scripted";
        ds.estimate = r.u8();
        bool armed = false; /* a datasource failure was scripted */
        bool results_valid = true;
        for (auto &row : ds.results)
            results_valid = results_valid && !row.first.empty() && !row.second.empty();

        std::vector<Presentation> pres;
        std::vector<veltra_vibemesh_provider_handle_t> provs;
        std::vector<Results> sets;
        for (int steps = 0; !r.empty() && steps < 120; ++steps) {
            uint8_t op = r.u8();
            uint8_t pick = r.u8();
            bool oom = op & 0x80;
            if (oom) veltra_manager_memory_fail_after(r.below(6), 0);
            uint32_t rc = 0;
            Presentation *p = pres.empty() ? nullptr : &pres[pick % pres.size()];
            veltra_vibemesh_provider_handle_t prov =
                provs.empty() ? nullptr : provs[pick % provs.size()];
            switch (op % 12) {
                case 0: { /* create a presentation, sometimes without user or out pointer */
                    uint32_t type = kGridTypes[r.below(std::size(kGridTypes))];
                    veltra_vibemesh_presentation_handle_t h = nullptr;
                    uint8_t how = r.u8() % 8;
                    rc = veltra_vibemesh_presentation_create(
                        how == 0 ? nullptr : user, type, nullptr, nullptr, how == 1 ? nullptr : &h);
                    if (how <= 1) {
                        FUZZ_CHECK(rc == kInvalid && !h);
                    } else if (rc == 0) {
                        pres.push_back({h, type, {}});
                        uint32_t got = 0;
                        FUZZ_CHECK(veltra_vibemesh_presentation_get_type(h, &got) == 0 &&
                                   got == type);
                    } else {
                        FUZZ_CHECK(oom && rc == kNoMemory, "create gave %x", rc);
                    }
                    break;
                }
                case 1: { /* open a provider; ordinal 1 does not exist */
                    veltra_vibemesh_provider_handle_t h = nullptr;
                    uint32_t ordinal = pick & 0x10 ? 1 : 0;
                    rc = veltra_vibemesh_provider_enum(ordinal, &h);
                    if (rc == 0) {
                        FUZZ_CHECK(ordinal == 0 && h);
                        provs.push_back(h);
                    } else {
                        FUZZ_CHECK(ordinal == 1 || (oom && rc == kNoMemory),
                                   "provider_enum gave %x", rc);
                    }
                    uint32_t count = 9;
                    if (!oom) FUZZ_CHECK(veltra_vibemesh_provider_count(&count) == 0 && count == 1);
                    break;
                }
                case 2: { /* set a filter with any argument good or bad */
                    if (!p) break;
                    const char *ident = kIdents[r.below(std::size(kIdents))];
                    const char *list = kTypesList[r.below(std::size(kTypesList))];
                    const char *item = kItems[r.below(std::size(kItems))];
                    const char *cond = kConditions[r.below(std::size(kConditions))];
                    uint32_t want = filter_verdict(*p, ident, list, item, cond);
                    rc = veltra_vibemesh_presentation_filter_set(p->h, ident, list, item, cond);
                    if (oom && rc == kNoMemory && want == 0) break;
                    FUZZ_CHECK(rc == want, "filter_set(%s, %s, %s, %s) gave %x, expected %x", ident,
                               list, item, cond, rc, want);
                    if (rc == 0)
                        p->filters.push_back(
                            {ident, list, item,
                             strcmp(cond, VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE) == 0});
                    break;
                }
                case 3: { /* remove one filter or all */
                    if (!p) break;
                    if (pick & 1) {
                        FUZZ_CHECK(veltra_vibemesh_presentation_filter_remove_all(p->h) == 0);
                        p->filters.clear();
                        break;
                    }
                    const char *ident = kIdents[r.below(std::size(kIdents))];
                    rc = veltra_vibemesh_presentation_filter_remove(p->h, ident);
                    size_t k = 0;
                    while (ident && k < p->filters.size() && p->filters[k].ident != ident) ++k;
                    bool present = ident && k < p->filters.size();
                    FUZZ_CHECK(rc == (present ? 0 : kInvalid), "filter_remove(%s) gave %x", ident,
                               rc);
                    if (present) p->filters.erase(p->filters.begin() + k);
                    break;
                }
                case 4:
                case 5: { /* find or estimate over a cell, the datasource failing on command */
                    if (!p || !prov) break;
                    uint32_t x = r.below(13), y = r.below(13);
                    bool estimate = op % 12 == 5;
                    uint32_t fail = 0;
                    if (pick & 0x20) {
                        static constexpr vt::DsSlot kSlots[] = {
                            vt::DsSlot::QueryCreate, vt::DsSlot::AddCondition, vt::DsSlot::Execute,
                            vt::DsSlot::ResultCount, vt::DsSlot::ResultGet,    vt::DsSlot::Estimate,
                            vt::DsSlot::QueryRelease};
                        fail = pick & 0x40 ? vt::kDsFailure : vt::kDsNotFound;
                        ds.fail(kSlots[r.below(std::size(kSlots))], fail, r.below(2));
                    }
                    ds.clear_calls();
                    veltra_vibemesh_result_handle_t h = nullptr;
                    uint32_t est = 12345;
                    rc = estimate ? veltra_vibemesh_presentation_find_recommendations_estimate(
                                        p->h, prov, x, y, &est)
                                  : veltra_vibemesh_presentation_find_recommendations(p->h, prov, x,
                                                                                      y, &h);
                    /* A failure scripted for a slot that this call never reached stays armed for
                     * a later call, so any code armed so far explains a failure. */
                    armed = armed || fail;
                    bool cell_ok = x >= 1 && x <= (p->type >> 8) && y >= 1 && y <= (p->type & 0xFF);
                    bool layout = p->type == 0x505 || p->type == 0xA0A;
                    FUZZ_CHECK(ds.live_queries() == 0, "a query was left open");
                    if (!cell_ok) {
                        FUZZ_CHECK(rc == kInvalid && !h && ds.calls().empty(),
                                   "cell (%u, %u) of %x gave %x", x, y, p->type, rc);
                        break;
                    }
                    auto conditions = ds.calls(vt::DsSlot::AddCondition);
                    if (!conditions.empty()) {
                        /* The cell's mood first, then every filter in the order it was set. */
                        const char *mood = nullptr;
                        FUZZ_CHECK(veltra_vibemesh_presentation_get_mood_id(p->h, x, y, &mood) ==
                                       0 &&
                                   mood);
                        FUZZ_CHECK(conditions[0].list_type == VELTRA_LIST_TYPE_MOODS &&
                                   conditions[0].value == mood &&
                                   conditions[0].condition_type ==
                                       VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE);
                        FUZZ_CHECK(conditions.size() <= p->filters.size() + 1);
                        for (size_t k = 1; k < conditions.size(); ++k) {
                            const Filter &f = p->filters[k - 1];
                            FUZZ_CHECK(
                                conditions[k].list_type == f.list_type &&
                                    conditions[k].value == f.item &&
                                    conditions[k].condition_type ==
                                        (f.include ? VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE
                                                   : VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE),
                                "condition %zu is not filter %zu", k, k - 1);
                        }
                    }
                    if (rc == 0 && !estimate) {
                        FUZZ_CHECK(h && results_valid,
                                   "find succeeded over an empty result string");
                        sets.push_back({h, ds.results});
                    } else if (rc == 0) {
                        FUZZ_CHECK(est == ds.estimate);
                    } else {
                        if (h) {
                            /* Only a failing query release comes after the set was registered. */
                            FUZZ_CHECK(armed && !estimate, "a failed find handed out a result set");
                            sets.push_back({h, ds.results});
                        }
                        bool by_script = armed && (rc == mapped(vt::kDsFailure) ||
                                                   rc == mapped(vt::kDsNotFound));
                        bool explained = by_script || (oom && rc == kNoMemory) ||
                                         (!estimate && !results_valid && rc == kInvalid) ||
                                         (!layout && rc == kInvalid);
                        FUZZ_CHECK(explained, "find/estimate gave %x (scripted failure %x)", rc,
                                   fail);
                        FUZZ_CHECK(!h || by_script);
                    }
                    if (rc == 0 && layout) FUZZ_CHECK(conditions.size() == p->filters.size() + 1);
                    break;
                }
                case 6: { /* count and enumerate a result set */
                    if (sets.empty()) break;
                    Results &s = sets[pick % sets.size()];
                    uint32_t count = 99;
                    FUZZ_CHECK(veltra_vibemesh_results_count(s.h, &count) == 0 &&
                               count == s.rows.size());
                    for (uint32_t i = 0; i <= count; ++i) {
                        const char *ident = nullptr, *group = nullptr;
                        rc = veltra_vibemesh_results_enum(s.h, i, &ident,
                                                          pick & 2 ? nullptr : &group);
                        if (i == count) {
                            FUZZ_CHECK(rc == kRange, "enum past the end gave %x", rc);
                            break;
                        }
                        FUZZ_CHECK(rc == 0 && ident && s.rows[i].first == ident);
                        if (!(pick & 2)) FUZZ_CHECK(group && s.rows[i].second == group);
                    }
                    FUZZ_CHECK(veltra_vibemesh_results_count(s.h, nullptr) == kInvalid);
                    break;
                }
                case 7: { /* mood ids and names of any cell */
                    if (!p) break;
                    uint32_t x = r.below(13), y = r.below(13);
                    bool cell_ok = x >= 1 && x <= (p->type >> 8) && y >= 1 && y <= (p->type & 0xFF);
                    const char *id = nullptr, *name = nullptr;
                    rc = veltra_vibemesh_presentation_get_mood_id(p->h, x, y, &id);
                    if (!cell_ok) FUZZ_CHECK(rc == kInvalid && !id);
                    if (p->type == 0x505 || p->type == 0xA0A)
                        FUZZ_CHECK(!cell_ok || (rc == 0 && id && *id));
                    rc = veltra_vibemesh_presentation_get_mood_name(p->h, x, y, &name);
                    if (!cell_ok || !(config & 1))
                        FUZZ_CHECK(rc == kInvalid && !name, "mood name gave %x", rc);
                    if (rc == 0) FUZZ_CHECK(name && *name);
                    if (rc && cell_ok && (config & 1) && (p->type == 0x505 || p->type == 0xA0A))
                        FUZZ_CHECK(oom && rc == kNoMemory, "mood name gave %x", rc);
                    rc = 0;
                    break;
                }
                case 8: { /* release a presentation, then use the ended handle */
                    if (!p) break;
                    auto h = p->h;
                    FUZZ_CHECK(veltra_vibemesh_presentation_release(h) == 0);
                    pres.erase(pres.begin() + (p - pres.data()));
                    uint32_t type = 0;
                    FUZZ_CHECK(veltra_vibemesh_presentation_get_type(h, &type) == kBadHandle);
                    FUZZ_CHECK(veltra_vibemesh_presentation_release(h) == kBadHandle);
                    break;
                }
                case 9: { /* release a provider or a result set, then use the ended handle */
                    if (pick & 1 && prov) {
                        FUZZ_CHECK(veltra_vibemesh_provider_release(prov) == 0);
                        provs.erase(provs.begin() + (pick % provs.size()));
                        const char *value = nullptr;
                        FUZZ_CHECK(veltra_vibemesh_provider_get_data(prov, "name", &value) ==
                                   kBadHandle);
                    } else if (!sets.empty()) {
                        auto h = sets[pick % sets.size()].h;
                        FUZZ_CHECK(veltra_vibemesh_results_release(h) == 0);
                        sets.erase(sets.begin() + (pick % sets.size()));
                        uint32_t count = 0;
                        FUZZ_CHECK(veltra_vibemesh_results_count(h, &count) == kBadHandle);
                    }
                    break;
                }
                case 10: { /* handles of the wrong type and null handles */
                    uint32_t count = 0, type = 0;
                    const char *value = nullptr;
                    if (prov) {
                        auto as_pres =
                            reinterpret_cast<veltra_vibemesh_presentation_handle_t>(prov);
                        FUZZ_CHECK(veltra_vibemesh_presentation_get_type(as_pres, &type) ==
                                   kWrongType);
                        auto as_results = reinterpret_cast<veltra_vibemesh_result_handle_t>(prov);
                        FUZZ_CHECK(veltra_vibemesh_results_count(as_results, &count) == kWrongType);
                        rc = veltra_vibemesh_provider_get_data(prov, pick & 1 ? "name" : "absent",
                                                               &value);
                        FUZZ_CHECK(pick & 1 ? rc == 0 && value && strcmp(value, "scripted") == 0
                                            : rc != 0);
                        rc = 0;
                    }
                    if (p) {
                        auto as_prov = reinterpret_cast<veltra_vibemesh_provider_handle_t>(p->h);
                        FUZZ_CHECK(veltra_vibemesh_provider_release(as_prov) == kWrongType);
                        veltra_vibemesh_result_handle_t h = nullptr;
                        FUZZ_CHECK(veltra_vibemesh_presentation_find_recommendations(
                                       p->h, nullptr, 1, 1, &h) == kInvalid);
                    }
                    FUZZ_CHECK(veltra_vibemesh_presentation_get_type(nullptr, &type) == kInvalid);
                    FUZZ_CHECK(veltra_vibemesh_results_release(nullptr) == 0);
                    FUZZ_CHECK(veltra_vibemesh_presentation_filter_remove_all(nullptr) == kInvalid);
                    uint32_t w = 0, hgt = 0;
                    FUZZ_CHECK(veltra_vibemesh_presentation_type_dimension(0x0A05, &w, &hgt) == 0 &&
                               w == 10 && hgt == 5);
                    FUZZ_CHECK(veltra_vibemesh_presentation_type_dimension(0x0A05, nullptr, &hgt) ==
                               kInvalid);
                    break;
                }
                default: { /* the module counts nested starts */
                    FUZZ_CHECK(veltra_vibemesh_initialize(veltra_manager_handle()) == 0);
                    FUZZ_CHECK(veltra_vibemesh_initchecks() == 2);
                    FUZZ_CHECK(veltra_vibemesh_shutdown() == 0 &&
                               veltra_vibemesh_initchecks() == 1);
                    break;
                }
            }
            veltra_manager_memory_fail_after(VELTRA_MANAGER_FAIL_NEVER, 0);
        }
        for (Results &s : sets) FUZZ_CHECK(veltra_vibemesh_results_release(s.h) == 0);
        for (Presentation &p : pres) FUZZ_CHECK(veltra_vibemesh_presentation_release(p.h) == 0);
        for (auto h : provs) FUZZ_CHECK(veltra_vibemesh_provider_release(h) == 0);
        FUZZ_CHECK(ds.live_queries() == 0);
        FUZZ_CHECK(ds.withdraw() == 0, "the datasource is still referenced");
    }
    FUZZ_CHECK(veltra_manager_user_refcount(user) == 1, "user references left: %u",
               veltra_manager_user_refcount(user));
    FUZZ_CHECK(veltra_manager_user_release(user) == 0);
    FUZZ_CHECK(veltra_vibemesh_shutdown() == 0);
    if (config & 1)
        veltra_manager_locale_set_default("veltra_locale_music", nullptr, nullptr, nullptr);
    FUZZ_CHECK(veltra_manager_handle_count() == handles_before, "handles left registered");
    veltra_manager_object_counts_t objects{};
    veltra_manager_object_counts(&objects);
    FUZZ_CHECK(objects.users == objects_before.users && objects.lists == objects_before.lists &&
                   objects.elements == objects_before.elements &&
                   objects.locales == objects_before.locales,
               "manager objects left: lists %u elements %u locales %u", objects.lists,
               objects.elements, objects.locales);
}

} // namespace fuzz_vibemesh

VELTRA_FUZZ_ENTRY(fuzz_vibemesh::run)
