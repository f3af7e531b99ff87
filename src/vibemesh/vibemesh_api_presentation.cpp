/* Presentations: the caller's grid of moods. Creating, describing and releasing them, the two
 * mood layouts with the one rule that maps a cell to its mood, localized mood names, the
 * presentation's filters, and the recommendation queries run against a provider. */
#include "vibemesh/vibemesh_objects.h"

namespace {

constexpr const char *kSource = vm::kSourcePresentation;

constexpr const char kMsgBadCell[] = "Invalid Ordinals as either x or y are out of range";
constexpr const char kMsgQueryBusy[] = "VibeMesh Presentation already in progress";

/* ---- mood layouts ----------------------------------------------------------------------- */

/* Coarse moods (level 1 of the mood list) of the 5 x 5 grid, row after row. */
constexpr const char *const L1_CATEGORY_ID[25] = {
    "65322", "42946", "65333", "65332", "42960",  //
    "42942", "65323", "42945", "65331", "65330",  //
    "65324", "42954", "42947", "42953", "42961",  //
    "42949", "65326", "65325", "42955", "42951",  //
    "42948", "65327", "65328", "65329", "42958",
};

/* Fine moods (level 2 of the mood list) of the 10 x 10 grid, row after row. */
constexpr const char *const L2_CATEGORY_ID[100] = {
    "42972", "65334", "65338", "43073", "43048", "43072", "43067", "43071", "65354", "43053",
    "42967", "42969", "42987", "65339", "43076", "65357", "43068", "43070", "65355", "43042",
    "42974", "43063", "42982", "65335", "43059", "43057", "43065", "43061", "43039", "65353",
    "65336", "65337", "42986", "42975", "42983", "43058", "43064", "43062", "43040", "43035",
    "42979", "42978", "43017", "43018", "65342", "42990", "65347", "43013", "43050", "43051",
    "42977", "43009", "43015", "42985", "42993", "42992", "43016", "65348", "43056", "65356",
    "42971", "65343", "42988", "43006", "43046", "65340", "65349", "65350", "43030", "43037",
    "42999", "43001", "43008", "43010", "43060", "65341", "43019", "65351", "43007", "43036",
    "42997", "42995", "43004", "43011", "65344", "43012", "65346", "65345", "65352", "43032",
    "42994", "42996", "43003", "43005", "43023", "43022", "43025", "43028", "43033", "43034",
};

/* Presentation types: width (columns, x) in bits 8 and up, height (rows, y) in bits 0..7.
 * Type 0x505 is answered from the 5 x 5 layout; every other type from the 10 x 10 layout,
 * cell (x, y) being entry (x - 1) + 10 (y - 1). Create stores any type as given, so a cell of
 * such a type must lie inside the type's own width and height and inside the 10 x 10 layout:
 * a type smaller than 10 x 10 (0x303, 0xA05) sees the layout's top-left corner, and the
 * columns or rows of a larger type beyond the tenth are refused like any cell off the grid.
 * No lookup can read past either table. */
struct LayoutRule {
    const char *const *table;
    uint32_t columns, rows; /* table dimensions (its row stride is `columns`) */
    uint32_t level;         /* level of the mood list the identifiers belong to */
};
constexpr LayoutRule kLayout5x5 = {L1_CATEGORY_ID, 5, 5, 1};
constexpr LayoutRule kLayout10x10 = {L2_CATEGORY_ID, 10, 10, 2};
constexpr uint32_t kType5x5 = 0x505;

constexpr uint32_t type_width(uint32_t type) { return type >> 8; }
constexpr uint32_t type_height(uint32_t type) { return type & 0xFFu; }

/* The mood of one cell. */
struct CellMood {
    const char *id; /* the layout's identifier string (static) */
    uint32_t level; /* its level in the mood list */
};

/* The one cell-to-mood rule of the mood calls and the recommendation calls: false for a cell
 * outside the presentation or the layout (ordinals count from 1). */
constexpr bool cell_mood(uint32_t type, uint32_t x, uint32_t y, CellMood *out) {
    const LayoutRule &layout = type == kType5x5 ? kLayout5x5 : kLayout10x10;
    if (x < 1 || x > type_width(type) || x > layout.columns) return false;
    if (y < 1 || y > type_height(type) || y > layout.rows) return false;
    *out = {layout.table[(x - 1) + layout.columns * (y - 1)], layout.level};
    return true;
}

static_assert(sizeof L1_CATEGORY_ID / sizeof *L1_CATEGORY_ID == 5 * 5);
static_assert(sizeof L2_CATEGORY_ID / sizeof *L2_CATEGORY_ID == 10 * 10);

/* ---- presentation records --------------------------------------------------------------- */

/* Deletes a presentation record and everything it owns; null is ignored. */
void _vibemesh_presentation_delete(VibeMeshPresentation *p) {
    if (!p) return;
    /* The manager may end leftover handles after the module let go of its interfaces. */
    if (p->user && host::users()) host::users()->user_release(p->user);
    if (p->filters) {
        plx_hashtable_clear(p->filters);
        plx_hashtable_delete(p->filters);
    }
    if (p->mood_names) plx_stringmap_delete(p->mood_names);
    if (p->lock) plx_thread_critsec_delete(p->lock);
    plx_memory_free(p);
}

uint32_t _vibemesh_presentation_handle_delete(void *p) {
    _vibemesh_presentation_delete(static_cast<VibeMeshPresentation *>(p));
    return 0;
}

/* The frame's handle rule, applied to a user handle (validated by the handle manager's user
 * check rather than by magic). */
uint32_t validate_user(veltra_user_handle_t user, int32_t line) {
    if (!user) {
        vm::log_failure(vm::kErrInvalidArg, kSource, line);
        return vm::kErrInvalidArg;
    }
    uint32_t c = host::handles()->user_handle_validate(user);
    if (c == 0) return 0;
    uint32_t r = vm::err(0) | (c & 0x1FFFFu); /* bit 16 of c passes through, as for handles */
    vm::log_failure(r, kSource, line);
    return r;
}

/* ---- recommendation queries ------------------------------------------------------------- */

/* Adds one condition per filter, in the order the filters were set. */
uint32_t add_filter_conditions(plx_hashtable_t *filters, const VibeMeshDatasource *ds, void *query,
                               uint32_t *p_condition) {
    uint32_t count = 0;
    uint32_t code = plx_hashtable_count(filters, &count);
    for (uint32_t i = 0; code == 0 && i < count; ++i) {
        const void *data = nullptr;
        code = plx_hashtable_index_get(filters, i, nullptr, &data, nullptr);
        if (code != 0) break;
        const VibeMeshFilter *f = static_cast<const VibeMeshFilter *>(data);
        code = ds->query_add_condition(query, f->list_type, f->item_value_id,
                                       f->include ? vm::kConditionInclude : vm::kConditionExclude,
                                       p_condition);
    }
    return code;
}

/* Executes the query and copies every result into a new result set, which is registered and
 * stored in *ph_result only when all of it succeeded. */
uint32_t collect_results(const VibeMeshDatasource *ds, void *query,
                         veltra_vibemesh_result_handle_t *ph_result) {
    uint32_t count = 0;
    uint32_t code = ds->query_execute(query);
    if (code == 0) code = ds->query_result_count(query, &count);
    VibeMeshResults *set = nullptr;
    if (code == 0) code = _vibemesh_result_create(&set);
    if (code == 0) code = _vibemesh_result_reserve(set, count);
    for (uint32_t i = 0; code == 0 && i < count; ++i) {
        const char *ident = nullptr;
        const char *group = nullptr;
        code = ds->query_result_get(query, i, &ident, &group);
        if (code == 0) code = _vibemesh_result_append(set, ident, group);
    }
    if (code == 0) code = _vibemesh_result_seal(set);
    if (code == 0)
        code = host::handles()->handle_add(g_vibemesh_client_ref, set, vm::kResultsMagic,
                                           _vibemesh_result_handle_delete);
    if (code != 0) {
        _vibemesh_result_delete(set);
        return code;
    }
    *ph_result = vm::ApiFrame::wrap<veltra_vibemesh_result_handle_t>(set);
    return 0;
}

/* The whole exchange with the datasource, under the presentation's lock so that filters
 * cannot change meanwhile and two queries on one presentation never overlap. A find fills
 * *ph_result, an estimate has the datasource fill *p_estimate. The query is released on every
 * path that created one; its release code is the result when nothing failed before. */
uint32_t query_datasource(const VibeMeshPresentation *p, const VibeMeshDatasource *ds,
                          const char *mood_id, bool estimate,
                          veltra_vibemesh_result_handle_t *ph_result, uint32_t *p_estimate) {
    /* Not entered: no exchange at all, and the enter's failure is the call's. */
    plx::CritsecGuard guard(p->lock);
    if (uint32_t code = guard.entered()) return code;
    void *query = nullptr;
    uint32_t condition = 0; /* shared by all conditions of the query; the datasource's alone */
    uint32_t code = ds->query_create(ds, &query, p->user, estimate ? nullptr : p->callback,
                                     estimate ? nullptr : p->callback_data);
    if (code == 0)
        code = ds->query_add_condition(query, vm::kListTypeMoods, mood_id, vm::kConditionInclude,
                                       &condition);
    if (code == 0) code = add_filter_conditions(p->filters, ds, query, &condition);
    if (code == 0)
        code = estimate ? ds->query_estimate(query, p_estimate)
                        : collect_results(ds, query, ph_result);
    /* A datasource may leave a handle behind even when query_create failed. */
    if (query) {
        uint32_t released = ds->query_release(query);
        if (code == 0) code = released;
    }
    return guard.finish(code);
}

/* Find and estimate: the checks, then the exchange. */
uint32_t recommend(const char *function, bool estimate,
                   veltra_vibemesh_presentation_handle_t presentation,
                   veltra_vibemesh_provider_handle_t provider, uint32_t x, uint32_t y,
                   veltra_vibemesh_result_handle_t *ph_result, uint32_t *p_estimate) {
    vm::ApiFrame frame(function, kSource);
    vm::Pin pin_presentation;
    vm::Pin pin_provider;
    VibeMeshPresentation *p = nullptr;
    VibeMeshProvider *prov = nullptr;
    if (uint32_t code =
            pin_presentation.open(frame, presentation, vm::kPresentationMagic, __LINE__, &p))
        return code;
    if (uint32_t code = pin_provider.acquire(frame, provider, vm::kProviderMagic, __LINE__, &prov))
        return code;
    CellMood cell{};
    if (!cell_mood(p->type, x, y, &cell)) return frame.invalid(kMsgBadCell);
    if (estimate ? !p_estimate : !ph_result)
        return frame.invalid(estimate ? "'p_estimate' parameter is null"
                                      : "'ph_result' parameter is null");
    /* Only a provider release whose handle_release failed leaves it without a table. */
    if (!prov->datasource) return frame.invalid("'provider' has no datasource");

    return frame.finish(
        query_datasource(p, prov->datasource, cell.id, estimate, ph_result, p_estimate));
}

/* One mood call: its frame, the presentation pinned for the call and the cell's mood. open()
 * runs the checks both mood calls start with, in their order: start-up, the presentation, the
 * cell, then the out pointer with the call's own message. */
struct MoodCall {
    explicit MoodCall(const char *function) : frame(function, kSource) {}
    uint32_t open(veltra_vibemesh_presentation_handle_t presentation, int32_t line, uint32_t x,
                  uint32_t y, const void *out, const char *null_message) {
        if (uint32_t code = pin.open(frame, presentation, vm::kPresentationMagic, line, &p))
            return code;
        if (!cell_mood(p->type, x, y, &cell)) return frame.invalid(kMsgBadCell);
        if (!out) return frame.invalid(null_message);
        return 0;
    }
    vm::ApiFrame frame;
    vm::Pin pin;
    VibeMeshPresentation *p = nullptr;
    CellMood cell{};
};

}  // namespace

extern "C" {

/* ---- presentations ---------------------------------------------------------------------- */

/* Creates a presentation of `presentation_type` for `user` (one user reference is held until
 * the presentation is deleted). `callback` and `callback_data` are only handed to the
 * datasource with each find. */
veltra_error_t veltra_vibemesh_presentation_create(veltra_user_handle_t user,
                                                   uint32_t presentation_type,
                                                   veltra_vibemesh_callback_fn callback,
                                                   void *callback_data,
                                                   veltra_vibemesh_presentation_handle_t *ph) {
    static constexpr char kMsgNoMemory[] = "cannot allocate memory for presentation";
    vm::ApiFrame frame("veltra_vibemesh_presentation_create", kSource);
    if (uint32_t code = frame.check_started()) return code;
    if (uint32_t code = validate_user(user, __LINE__)) return code;
    if (!ph) return frame.invalid("'ph_presentation' cannot be null");

    VibeMeshPresentation *p = plx::alloc_record<VibeMeshPresentation>();
    if (!p) return frame.invalid(kMsgNoMemory, vm::kErrNoMemory);
    p->magic = vm::kPresentationMagic;
    p->callback = callback;
    p->callback_data = callback_data;
    p->type = presentation_type;
    uint32_t code =
        plx_hashtable_create(&p->filters, 0, _vibemesh_presentation_filter_hashtable_delete);
    if (code == 0) code = plx_stringmap_create(&p->mood_names, 0);
    if (code == 0) code = plx_thread_critsec_create(&p->lock);
    if (code != 0) {
        _vibemesh_presentation_delete(p);
        return frame.invalid(kMsgNoMemory, vm::kErrNoMemory);
    }
    code = host::handles()->handle_add(g_vibemesh_client_ref, p, vm::kPresentationMagic,
                                       _vibemesh_presentation_handle_delete);
    if (code != 0) {
        _vibemesh_presentation_delete(p);
        return frame.finish(code);
    }
    /* Once registered the presentation is the caller's: create succeeds whatever the user
     * manager answers here, and the delete callback gives the reference back. */
    host::users()->user_addref(user);
    p->user = user;
    *ph = vm::ApiFrame::wrap<veltra_vibemesh_presentation_handle_t>(p);
    return 0;
}

/* Ends the presentation's handle; the handle manager deletes it, with its filters and mood
 * names. Refused with 0x90A80006 while another call is using it. */
veltra_error_t veltra_vibemesh_presentation_release(
    veltra_vibemesh_presentation_handle_t presentation) {
    vm::ApiFrame frame("veltra_vibemesh_presentation_release", kSource);
    if (uint32_t code = frame.check_started()) return code;

    vm::Ending ending = vm::end_unpinned<VibeMeshPresentation>(
        frame, presentation, vm::kPresentationMagic,
        [](const VibeMeshPresentation *) { return false; },
        [](VibeMeshPresentation *p) { return host::handles()->handle_release(p); });
    if (ending.stage == vm::Ending::kHandleFailed) return frame.handle_failed(ending.code, __LINE__);
    if (ending.stage == vm::Ending::kInUse) return frame.invalid(kMsgQueryBusy, vm::kErrBusy);
    return frame.finish(ending.code);
}

/* The type given at create, unchanged. */
veltra_error_t veltra_vibemesh_presentation_get_type(
    veltra_vibemesh_presentation_handle_t presentation, uint32_t *p_presentation_type) {
    vm::ApiFrame frame("veltra_vibemesh_presentation_get_type", kSource);
    vm::Pin pin;
    VibeMeshPresentation *p = nullptr;
    if (uint32_t code = pin.open(frame, presentation, vm::kPresentationMagic, __LINE__, &p))
        return code;
    if (!p_presentation_type)
        return frame.invalid("'p_presentation_type' parameter cannot be null");
    *p_presentation_type = p->type;
    return 0;
}

/* Splits a type code into columns (bits 8 and up) and rows (bits 0..7); any code is accepted,
 * laid out or not. Nothing is stored unless both outs are given. */
veltra_error_t veltra_vibemesh_presentation_type_dimension(uint32_t presentation_type,
                                                           uint32_t *p_x_size, uint32_t *p_y_size) {
    vm::ApiFrame frame("veltra_vibemesh_presentation_type_dimension", kSource);
    if (uint32_t code = frame.check_started()) return code;
    if (!p_x_size || !p_y_size) return frame.invalid("'p_x_size' and 'p_y_size'  cannot be null");
    *p_x_size = type_width(presentation_type);
    *p_y_size = type_height(presentation_type);
    return 0;
}

/* ---- moods ------------------------------------------------------------------------------ */

/* The mood identifier of cell (x, y): a static string of the layout. */
veltra_error_t veltra_vibemesh_presentation_get_mood_id(
    veltra_vibemesh_presentation_handle_t presentation, uint32_t x, uint32_t y,
    const char **p_mood_id) {
    MoodCall call("veltra_vibemesh_presentation_get_mood_id");
    if (uint32_t code = call.open(presentation, __LINE__, x, y, p_mood_id,
                                  "'p_mood_id' parameter cannot be null"))
        return code;
    *p_mood_id = call.cell.id;
    return 0;
}

/* The localized name of cell (x, y)'s mood, asked from the list manager in the default locale
 * of the playlist group, else of the music group. The text is interned in the presentation:
 * equal names give the same pointer, valid until the presentation is deleted. */
veltra_error_t veltra_vibemesh_presentation_get_mood_name(
    veltra_vibemesh_presentation_handle_t presentation, uint32_t x, uint32_t y,
    const char **p_mood_name) {
    static constexpr char kFn[] = "veltra_vibemesh_presentation_get_mood_name";
    MoodCall call(kFn);
    if (uint32_t code = call.open(presentation, __LINE__, x, y, p_mood_name,
                                  "'p_mood_name' parameter cannot be null"))
        return code;
    const VibeMeshPresentation *p = call.p;

    const veltra_listmanager_interface_t *lists = host::lists();
    void *locale = nullptr;
    if (lists->locale_default_get(host::kLocaleGroupPlaylist, &locale) != 0) {
        locale = nullptr;
        if (lists->locale_default_get(host::kLocaleGroupMusic, &locale) != 0) {
            host::errorinfo()->errorinfo_set(
                vm::kErrInvalidArg, vm::kErrLocaleSource, kFn,
                "'locale' is not set for 'VELTRA_LOCALE_GROUP_MUSIC' or "
                "'VELTRA_LOCALE_GROUP_MUSIC' ");
            vm::log_failure(vm::kErrInvalidArg, kFn, 0);
            return vm::kErrInvalidArg;
        }
    }

    const char *group = nullptr, *language = nullptr, *region = nullptr, *descriptor = nullptr;
    void *list = nullptr;
    void *element = nullptr;
    const char *display = nullptr;
    const char *interned = nullptr;
    uint32_t code =
        lists->locale_info_get(locale, &group, &language, &region, &descriptor, nullptr);
    if (code == 0)
        code = lists->list_retrieve(vm::kListTypeMoods, language, region, descriptor, p->user,
                                    nullptr, nullptr, &list);
    if (code == 0)
        code =
            lists->list_get_element_by_id(list, plx_string_atou32(call.cell.id), call.cell.level,
                                          &element);
    if (code == 0) code = lists->list_element_get_display_string(element, &display);
    if (code == 0) {
        /* Not entered: nothing interned, the lists released as on any failure. */
        plx::CritsecGuard guard(p->lock);
        code = guard.entered();
        if (code == 0 && plx_stringmap_value_find_ex(p->mood_names, display, 0, &interned) != 0) {
            code = plx_stringmap_value_add(p->mood_names, display, display);
            if (code == 0) code = plx_stringmap_value_find_ex(p->mood_names, display, 0, &interned);
        }
        code = guard.finish(code);
    }
    if (element) lists->list_element_release(element);
    if (list) lists->list_release(list);
    lists->locale_release(locale);
    if (code == 0) *p_mood_name = interned;
    return call.frame.finish(code);
}

/* ---- filters ---------------------------------------------------------------------------- */

/* Adds a filter named `ident` (ASCII case ignored): matches must (include) or must not
 * (exclude) carry item `item_value_id` of a genre, origin or era list. One identifier holds
 * one filter, and all filters on one list type share one condition type. The caller's strings
 * are copied. */
veltra_error_t veltra_vibemesh_presentation_filter_set(
    veltra_vibemesh_presentation_handle_t presentation, const char *ident, const char *list_type,
    const char *item_value_id, const char *condition_type) {
    vm::ApiFrame frame("veltra_vibemesh_presentation_filter_set", kSource);
    vm::Pin pin;
    VibeMeshPresentation *p = nullptr;
    if (uint32_t code = pin.open(frame, presentation, vm::kPresentationMagic, __LINE__, &p))
        return code;
    auto bad_string = [](const char *s) { return plx_string_isempty(s) || !plx_string_isvalid(s); };
    const char *list_name = nullptr;
    if (bad_string(ident)) return frame.invalid("'ident' parameter is not a valid string");
    if (bad_string(list_type)) return frame.invalid("'list_type' parameter is not a valid string");
    if (_vibemesh_presentation_filter_validate_list_type(list_type, &list_name) != 0)
        return frame.invalid("'list_type' parameter is not a valid or supported list_type");
    if (bad_string(item_value_id))
        return frame.invalid("'item_value_id' parameter is not valid string");
    if (plx_string_atou32(item_value_id) == 0)
        return frame.invalid("'item_value_id' parameter is not valid id");
    if (plx_string_isempty(condition_type))
        return frame.invalid("'condition_type' parameter is null or empty");
    uint8_t include;
    if (plx_string_strcmp(condition_type, vm::kConditionInclude) == 0)
        include = 1;
    else if (plx_string_strcmp(condition_type, vm::kConditionExclude) == 0)
        include = 0;
    else
        return frame.invalid("'condition_type' parameter is invalid");

    uint32_t code;
    {
        /* Not entered: no filter is looked at or added. */
        plx::CritsecGuard guard(p->lock);
        code = guard.entered();
        if (code == 0 && plx_hashtable_value_find_ex(p->filters, ident, 0, nullptr, nullptr) == 0) {
            code = vm::kErrFilterExists;
            vm::record_error(frame, code, "'ident' parameter already exists");
        } else if (code == 0) {
            code = _vibemesh_presentation_filter_validate_filter(list_name, include, p->filters);
        }
        VibeMeshFilter *filter = nullptr;
        if (code == 0) {
            filter = plx::alloc_record<VibeMeshFilter>();
            if (!filter) {
                code = vm::kErrNoMemory;
                vm::record_error(frame, code, "cannot allocate a filter");
            }
        }
        if (code == 0) {
            filter->include = include;
            filter->list_type = list_name;
            filter->item_value_id = plx_string_strdup(item_value_id);
            code = filter->item_value_id
                       ? plx_hashtable_value_add(p->filters, ident, filter, sizeof *filter, 0)
                       : vm::kErrNoMemory;
            if (code != 0) _vibemesh_presentation_filter_hashtable_delete(filter, sizeof *filter);
        }
        code = guard.finish(code);
    }
    return frame.finish(code);
}

/* Removes the filter named `ident`. */
veltra_error_t veltra_vibemesh_presentation_filter_remove(
    veltra_vibemesh_presentation_handle_t presentation, const char *ident) {
    vm::ApiFrame frame("veltra_vibemesh_presentation_filter_remove", kSource);
    vm::Pin pin;
    VibeMeshPresentation *p = nullptr;
    if (uint32_t code = pin.open(frame, presentation, vm::kPresentationMagic, __LINE__, &p))
        return code;
    if (plx_string_isempty(ident)) return frame.invalid("'ident' parameter is null or empty");
    if (!plx_string_isvalid(ident)) return frame.invalid("'ident' parameter is invalid UTF8");

    uint32_t code;
    {
        /* Not entered: no filter is removed. */
        plx::CritsecGuard guard(p->lock);
        void *filter = nullptr;
        uint32_t size = 0;
        code = guard.entered();
        if (code == 0 && plx_hashtable_value_remove_ex(p->filters, ident, 0, &filter, &size) != 0) {
            code = vm::kErrInvalidArg;
            vm::record_error(frame, code, "'ident' doesnt exist");
        } else if (code == 0) {
            /* Stored by reference, so the table handed the record back instead of freeing it. */
            _vibemesh_presentation_filter_hashtable_delete(filter, size);
        }
        code = guard.finish(code);
    }
    return frame.finish(code);
}

/* Removes every filter of the presentation. */
veltra_error_t veltra_vibemesh_presentation_filter_remove_all(
    veltra_vibemesh_presentation_handle_t presentation) {
    vm::ApiFrame frame("veltra_vibemesh_presentation_filter_remove_all", kSource);
    vm::Pin pin;
    VibeMeshPresentation *p = nullptr;
    if (uint32_t code = pin.open(frame, presentation, vm::kPresentationMagic, __LINE__, &p))
        return code;

    uint32_t code;
    {
        plx::CritsecGuard guard(p->lock);
        code = guard.entered() ? guard.entered() : guard.finish(plx_hashtable_clear(p->filters));
    }
    return frame.finish(code);
}

/* ---- recommendations -------------------------------------------------------------------- */

/* Asks the provider's datasource for the items of cell (x, y)'s mood, narrowed by the
 * presentation's filters, and hands them back as a new result set in *ph_result (written only
 * on success, or when only the query's release failed). */
veltra_error_t veltra_vibemesh_presentation_find_recommendations(
    veltra_vibemesh_presentation_handle_t presentation, veltra_vibemesh_provider_handle_t provider,
    uint32_t x, uint32_t y, veltra_vibemesh_result_handle_t *ph_result) {
    return recommend("veltra_vibemesh_presentation_find_recommendations", false, presentation,
                     provider, x, y, ph_result, nullptr);
}

/* The datasource's estimate of the number of items of cell (x, y), stored by the datasource
 * through p_estimate; no result set is made. */
veltra_error_t veltra_vibemesh_presentation_find_recommendations_estimate(
    veltra_vibemesh_presentation_handle_t presentation, veltra_vibemesh_provider_handle_t provider,
    uint32_t x, uint32_t y, uint32_t *p_estimate) {
    return recommend("veltra_vibemesh_presentation_find_recommendations_estimate", true,
                     presentation, provider, x, y, nullptr, p_estimate);
}

}  // extern "C"
