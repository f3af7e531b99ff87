/* The scripted datasource: C entry points that forward to the object behind the table. */
#include "scripted_datasource.h"

#include "veltra_manager_app.h"

namespace vt {

namespace {

constexpr const char kInterfaceName[] = "_veltra_vibemesh_datasource_interface";

/* One query: its results are copied at execution and freed at release, so a module that read
 * them after query_release would touch freed memory. */
struct Query {
    ScriptedDatasource *owner;
    std::vector<std::pair<std::string, std::string>> rows;
};

DsCall call_of(DsSlot slot, const void *query = nullptr) {
    DsCall c;
    c.slot = slot;
    c.query = query;
    return c;
}

}  // namespace

struct DsTrampolines {
    static ScriptedDatasource *of(const VibeMeshDatasource *t) {
        return reinterpret_cast<const ScriptedDatasource::Table *>(t)->self;
    }
    static Query *q(void *query) { return static_cast<Query *>(query); }

    static uint32_t release(const VibeMeshDatasource *t) {
        of(t)->record(call_of(DsSlot::Release));
        return veltra_manager_interface_unref(t);
    }
    static uint32_t data_get(const VibeMeshDatasource *t, const char *key, const char **p_value) {
        ScriptedDatasource *ds = of(t);
        DsCall c = call_of(DsSlot::DataGet);
        c.value = key;
        if (uint32_t code = ds->record(c)) return code;
        auto it = ds->data.find(key);
        if (it == ds->data.end()) return kDsNotFound;
        *p_value = it->second.c_str();
        return 0;
    }
    static uint32_t query_create(const VibeMeshDatasource *t, void **p_query,
                                 veltra_user_handle_t user, veltra_vibemesh_callback_fn callback,
                                 void *callback_data) {
        ScriptedDatasource *ds = of(t);
        DsCall c = call_of(DsSlot::QueryCreate);
        c.user = user;
        c.callback = callback;
        c.callback_data = callback_data;
        uint32_t code = ds->record(c);
        if (code == 0 || ds->handle_on_failed_create) {
            *p_query = new Query{ds, {}};
            std::lock_guard<std::mutex> g(ds->mutex_);
            ++ds->live_queries_;
        }
        return code;
    }
    static uint32_t add_condition(void *query, const char *list_type, const char *value,
                                  const char *condition_type, uint32_t *) {
        ScriptedDatasource *ds = q(query)->owner;
        DsCall c = call_of(DsSlot::AddCondition, query);
        c.list_type = list_type;
        c.value = value;
        c.condition_type = condition_type;
        return ds->record(c);
    }
    static uint32_t execute(void *query) {
        ScriptedDatasource *ds = q(query)->owner;
        if (uint32_t code = ds->record(call_of(DsSlot::Execute, query))) return code;
        q(query)->rows = ds->results;
        return 0;
    }
    static uint32_t estimate(void *query, uint32_t *p_estimate) {
        ScriptedDatasource *ds = q(query)->owner;
        if (uint32_t code = ds->record(call_of(DsSlot::Estimate, query))) return code;
        *p_estimate = ds->estimate;
        return 0;
    }
    static uint32_t result_count(void *query, uint32_t *p_count) {
        if (uint32_t code = q(query)->owner->record(call_of(DsSlot::ResultCount, query)))
            return code;
        *p_count = static_cast<uint32_t>(q(query)->rows.size());
        return 0;
    }
    static uint32_t result_get(void *query, uint32_t index, const char **p_ident,
                               const char **p_group) {
        if (uint32_t code = q(query)->owner->record(call_of(DsSlot::ResultGet, query)))
            return code;
        const auto &row = q(query)->rows.at(index);
        *p_ident = row.first.c_str();
        *p_group = row.second.c_str();
        return 0;
    }
    static uint32_t query_release(void *query) {
        ScriptedDatasource *ds = q(query)->owner;
        uint32_t code = ds->record(call_of(DsSlot::QueryRelease, query));
        delete q(query);
        std::lock_guard<std::mutex> g(ds->mutex_);
        --ds->live_queries_;
        return code ? code : ds->release_result;
    }
};

ScriptedDatasource::ScriptedDatasource() {
    table_.ds.interface_release = DsTrampolines::release;
    table_.ds.data_get = DsTrampolines::data_get;
    table_.ds.query_create = DsTrampolines::query_create;
    table_.ds.query_add_condition = DsTrampolines::add_condition;
    table_.ds.query_execute = DsTrampolines::execute;
    table_.ds.query_estimate = DsTrampolines::estimate;
    table_.ds.query_result_count = DsTrampolines::result_count;
    table_.ds.query_result_get = DsTrampolines::result_get;
    table_.ds.query_release = DsTrampolines::query_release;
    table_.self = this;
}

ScriptedDatasource::~ScriptedDatasource() {
    if (published_) veltra_manager_interface_withdraw(kInterfaceName, &table_, 1);
}

uint32_t ScriptedDatasource::publish() {
    uint32_t code = veltra_manager_interface_publish(kInterfaceName, &table_, nullptr);
    published_ = code == 0;
    return code;
}

uint32_t ScriptedDatasource::withdraw() {
    uint32_t code = veltra_manager_interface_withdraw(kInterfaceName, &table_, 0);
    if (code == 0) published_ = false;
    return code;
}

void ScriptedDatasource::fail(DsSlot slot, uint32_t code, uint32_t skip) {
    std::lock_guard<std::mutex> g(mutex_);
    failures_[slot] = {skip, code};
}

uint32_t ScriptedDatasource::record(DsCall call) {
    DsSlot slot = call.slot;
    uint32_t code = 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        calls_.push_back(std::move(call));
        auto it = failures_.find(slot);
        if (it != failures_.end()) {
            if (it->second.skip > 0) {
                --it->second.skip;
            } else {
                code = it->second.code;
                failures_.erase(it);
            }
        }
    }
    if (hook) hook(slot);
    return code;
}

std::vector<DsCall> ScriptedDatasource::calls() const {
    std::lock_guard<std::mutex> g(mutex_);
    return calls_;
}

std::vector<DsCall> ScriptedDatasource::calls(DsSlot slot) const {
    std::vector<DsCall> out;
    for (const DsCall &c : calls())
        if (c.slot == slot) out.push_back(c);
    return out;
}

void ScriptedDatasource::clear_calls() {
    std::lock_guard<std::mutex> g(mutex_);
    calls_.clear();
}

int ScriptedDatasource::live_queries() const {
    std::lock_guard<std::mutex> g(mutex_);
    return live_queries_;
}

}  // namespace vt
