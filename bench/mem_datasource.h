/* A datasource held in memory for the module benchmarks: published through the stand-in
 * manager's interface registry, it answers every query with the first `limit` items of a fixed
 * catalog, whatever the conditions. Queries are independent, so any number of threads may
 * run them at once. */
#ifndef VELTRA_BENCH_MEM_DATASOURCE_H
#define VELTRA_BENCH_MEM_DATASOURCE_H

#include <stdint.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "veltra_vibemesh.h"

namespace vb {

class MemDatasource {
public:
    /* A catalog of `size` items with idents and groups of 18 to 30 bytes. */
    explicit MemDatasource(uint32_t size);
    ~MemDatasource();  // withdraws the table if it is still published
    MemDatasource(const MemDatasource &) = delete;
    MemDatasource &operator=(const MemDatasource &) = delete;

    uint32_t publish();  // under "_veltra_vibemesh_datasource_interface"
    uint32_t withdraw();

    /* Items each query returns from now on (at most the catalog's size). */
    void set_limit(uint32_t limit) { limit_.store(limit < items_.size() ? limit : static_cast<uint32_t>(items_.size())); }
    uint32_t limit() const { return limit_.load(); }

    const std::vector<std::pair<std::string, std::string>> &items() const { return items_; }
    const VibeMeshDatasource *table() const { return &table_.ds; }

private:
    struct Table {
        VibeMeshDatasource ds;  // first, so the table pointer is the record's
        MemDatasource *self;
    };
    friend struct MemDatasourceSlots;

    Table table_{};
    bool published_ = false;
    std::atomic<uint32_t> limit_{0};
    std::vector<std::pair<std::string, std::string>> items_;
};

/* What a caller of the datasource without the module would do: run the same query through the
 * table and copy every pair into a vector. */
template <class Vec>
uint32_t query_into(const VibeMeshDatasource *ds, veltra_user_handle_t user, const char *mood_id,
                    Vec &out) {
    void *query = nullptr;
    uint32_t rc = ds->query_create(ds, &query, user, nullptr, nullptr);
    if (rc) return rc;
    uint32_t condition = 0, count = 0;
    rc = ds->query_add_condition(query, VELTRA_LIST_TYPE_MOODS, mood_id,
                                 VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE, &condition);
    if (!rc) rc = ds->query_execute(query);
    if (!rc) rc = ds->query_result_count(query, &count);
    for (uint32_t i = 0; !rc && i < count; ++i) {
        const char *ident = nullptr, *group = nullptr;
        rc = ds->query_result_get(query, i, &ident, &group);
        if (!rc) out.emplace_back(ident, group);
    }
    ds->query_release(query);
    return rc;
}

}  // namespace vb

#endif /* VELTRA_BENCH_MEM_DATASOURCE_H */
