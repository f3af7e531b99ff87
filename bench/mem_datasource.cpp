/* The in-memory datasource of the module benchmarks. */
#include "mem_datasource.h"

#include <stdio.h>

#include "bench_common.h"

namespace vb {

namespace {

constexpr uint32_t kNotFound = 0x90500003u;
constexpr uint32_t kNoMemory = 0x90500002u;
constexpr uint32_t kPastEnd = 0x90500361u;

/* A query: the datasource it belongs to and the number of items it returns once run. */
struct Query {
    const MemDatasource *source;
    uint32_t count;  // 0 until executed
};

}  // namespace

/* The table's slots. */
struct MemDatasourceSlots {
    static MemDatasource *self(const VibeMeshDatasource *table) {
        return reinterpret_cast<const MemDatasource::Table *>(table)->self;
    }
    static uint32_t release(const VibeMeshDatasource *table) {
        return veltra_manager_interface_unref(table);
    }
    static uint32_t data_get(const VibeMeshDatasource *, const char *key, const char **p_value) {
        if (strcmp(key, "name") != 0) return kNotFound;
        *p_value = "in-memory catalog";
        return 0;
    }
    static uint32_t query_create(const VibeMeshDatasource *table, void **p_query, veltra_user_handle_t,
                                 veltra_vibemesh_callback_fn, void *) {
        auto *q = new (std::nothrow) Query{self(table), 0};
        *p_query = q;
        return q ? 0 : kNoMemory;
    }
    static uint32_t add_condition(void *, const char *, const char *, const char *, uint32_t *) { return 0; }
    static uint32_t execute(void *query) {
        auto *q = static_cast<Query *>(query);
        q->count = q->source->limit();
        return 0;
    }
    static uint32_t estimate(void *query, uint32_t *p_estimate) {
        *p_estimate = static_cast<Query *>(query)->source->limit();
        return 0;
    }
    static uint32_t result_count(void *query, uint32_t *p_count) {
        *p_count = static_cast<Query *>(query)->count;
        return 0;
    }
    static uint32_t result_get(void *query, uint32_t index, const char **p_ident, const char **p_group) {
        auto *q = static_cast<Query *>(query);
        if (index >= q->count) return kPastEnd;
        const auto &item = q->source->items()[index];
        *p_ident = item.first.c_str();
        *p_group = item.second.c_str();
        return 0;
    }
    static uint32_t query_release(void *query) {
        delete static_cast<Query *>(query);
        return 0;
    }
};

MemDatasource::MemDatasource(uint32_t size) {
    Rng rng(31);
    items_.reserve(size);
    for (uint32_t i = 0; i < size; ++i) {
        char ident[40], group[40];
        snprintf(ident, sizeof ident, "track-%06u-%0*u", i, static_cast<int>(4 + rng.below(9)),
                 static_cast<unsigned>(rng.below(100000)));
        snprintf(group, sizeof group, "album-%05u-%0*u", i / 12, static_cast<int>(6 + rng.below(13)),
                 static_cast<unsigned>(rng.below(100000)));
        items_.emplace_back(ident, group);
    }
    using S = MemDatasourceSlots;
    table_.ds = VibeMeshDatasource{S::release,      nullptr,         nullptr,         S::data_get,
                                   nullptr,         nullptr,         S::query_create, S::add_condition,
                                   S::execute,      S::estimate,     S::result_count, S::result_get,
                                   S::query_release};
    table_.self = this;
}

MemDatasource::~MemDatasource() {
    if (published_) withdraw();
}

uint32_t MemDatasource::publish() {
    uint32_t rc = veltra_manager_interface_publish("_veltra_vibemesh_datasource_interface", &table_.ds, nullptr);
    published_ = rc == 0;
    return rc;
}

uint32_t MemDatasource::withdraw() {
    published_ = false;
    return veltra_manager_interface_withdraw("_veltra_vibemesh_datasource_interface", &table_.ds, 1);
}

}  // namespace vb
