/* Providers: counting the datasources published through the manager, opening one by ordinal
 * as a provider handle, reading named data through it, and releasing it. */
#include "vibemesh/vibemesh_objects.h"

namespace {

constexpr const char *kSource = vm::kSourceProvider;

/* Looks up the datasource table published at `ordinal`. */
uint32_t get_datasource(uint32_t ordinal, const VibeMeshDatasource **p_table) {
    const void *table = nullptr;
    uint32_t code = host::manager()->interface_get(host::kDatasourceInterface, 0, ordinal, &table);
    if (code == 0) *p_table = static_cast<const VibeMeshDatasource *>(table);
    return code;
}

/* Drops the provider's table reference, if it still holds one. */
void drop_datasource(VibeMeshProvider *provider) {
    const VibeMeshDatasource *table = provider->datasource;
    provider->datasource = nullptr;
    if (table) table->interface_release(table); /* the result carries nothing to act on */
}

/* Disposes of a provider record; null is ignored. */
void _vibemesh_free_provider(VibeMeshProvider *provider) {
    if (!provider) return;
    plx_thread_critsec_delete(provider->lock);
    drop_datasource(provider);
    plx_memory_free(provider);
}

uint32_t _vibemesh_provider_handle_delete(void *provider) {
    _vibemesh_free_provider(static_cast<VibeMeshProvider *>(provider));
    return 0;
}

}  // namespace

extern "C" {

/* Counts the published datasources: the first ordinal whose lookup fails. Every table found
 * is released again at once. */
veltra_error_t veltra_vibemesh_provider_count(uint32_t *p_count) {
    vm::ApiFrame frame("veltra_vibemesh_provider_count", kSource);
    if (uint32_t code = frame.check_started()) return code;
    if (!p_count) return frame.invalid("'p_count' parameter is null");

    uint32_t ordinal = 0;
    for (const VibeMeshDatasource *table = nullptr; get_datasource(ordinal, &table) == 0;
         ++ordinal, table = nullptr) {
        if (table) table->interface_release(table);
    }
    *p_count = ordinal;
    return 0;
}

/* Opens the datasource at `ordinal` as a new provider with its own table reference. After a
 * failure no provider and no reference exist. */
veltra_error_t veltra_vibemesh_provider_enum(uint32_t ordinal,
                                             veltra_vibemesh_provider_handle_t *ph_provider) {
    vm::ApiFrame frame("veltra_vibemesh_provider_enum", kSource);
    if (uint32_t code = frame.check_started()) return code;
    if (!ph_provider) return frame.invalid("'ph_provider'parameter is null");

    const VibeMeshDatasource *table = nullptr;
    uint32_t code = get_datasource(ordinal, &table);
    if (code != 0) return frame.finish(code);

    VibeMeshProvider *provider = plx::alloc_record<VibeMeshProvider>();
    if (!provider) {
        table->interface_release(table);
        return frame.invalid("could not allocate a provider", vm::kErrNoMemory);
    }
    provider->magic = vm::kProviderMagic;
    provider->datasource = table;
    code = plx_thread_critsec_create(&provider->lock);
    if (code == 0)
        code = host::handles()->handle_add(g_vibemesh_client_ref, provider, vm::kProviderMagic,
                                           _vibemesh_provider_handle_delete);
    if (code != 0) {
        _vibemesh_free_provider(provider);
        return frame.finish(code);
    }
    *ph_provider = vm::ApiFrame::wrap<veltra_vibemesh_provider_handle_t>(provider);
    return 0;
}

/* Reads the datum named `key` from the provider's datasource into the caller's `p_value`,
 * which is handed through untouched. */
veltra_error_t veltra_vibemesh_provider_get_data(veltra_vibemesh_provider_handle_t provider,
                                                 const char *key, const char **p_value) {
    vm::ApiFrame frame("veltra_vibemesh_provider_get_data", kSource);
    vm::Pin pin;
    VibeMeshProvider *p = nullptr;
    if (uint32_t code = pin.open(frame, provider, vm::kProviderMagic, __LINE__, &p)) return code;
    if (plx_string_isempty(key)) return frame.invalid("'key' is null");

    uint32_t code;
    {
        /* Not entered: the datasource is not asked. */
        plx::CritsecGuard guard(p->lock);
        const VibeMeshDatasource *table = p->datasource;
        /* Only a release whose handle_release failed leaves a live provider without table. */
        code = guard.entered() ? guard.entered()
               : table         ? guard.finish(table->data_get(table, key, p_value))
                               : vm::kErrInvalidArg;
    }
    return frame.finish(code);
}

/* Drops the provider's table reference, then ends its handle; the handle manager deletes the
 * record. A null provider is no error. The handle manager's code comes back unmapped. Refused
 * with 0x90A80006 while another call is using the provider. */
veltra_error_t veltra_vibemesh_provider_release(veltra_vibemesh_provider_handle_t provider) {
    static constexpr char kFn[] = "veltra_vibemesh_provider_release";
    vm::ApiFrame frame(kFn, kSource);
    if (uint32_t code = frame.check_started()) return code;
    if (!provider) return 0;

    vm::Ending ending = vm::end_unpinned<VibeMeshProvider>(
        frame, provider, vm::kProviderMagic, [](const VibeMeshProvider *) { return false; },
        [](VibeMeshProvider *p) {
            drop_datasource(p);
            return host::handles()->handle_release(p);
        });
    if (ending.stage == vm::Ending::kHandleFailed) return frame.handle_failed(ending.code, __LINE__);
    if (ending.stage == vm::Ending::kInUse)
        return frame.invalid("VibeMesh Provider is in use", vm::kErrBusy);
    vm::log_failure(ending.code, kFn, 0); /* the handle manager's code goes back unfolded */
    return ending.code;
}

}  // extern "C"
