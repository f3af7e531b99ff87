/* The catalog datasource: opens a catalog file read-only, answers the mood grid's queries with
 * SQL whose values are always bound as parameters, and publishes its table through the
 * manager. Queries on one catalog may run from several threads at once: each execution takes
 * its own connection from a small pool. */
#include <string.h>
#include <sys/stat.h>

#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalog_internal.h"
#include "veltra_manager_app.h"

struct veltra_catalog_s;

namespace {

constexpr char kConditionInclude[] = "veltra_vibemesh_filter_condition_include";
constexpr char kConditionExclude[] = "veltra_vibemesh_filter_condition_exclude";

/* The published table: the datasource slots first, then the way back to the catalog. */
struct CatalogTable {
    VibeMeshDatasource ds;
    veltra_catalog_s *owner;
};

}  // namespace

struct veltra_catalog_s {
    CatalogTable table;
    const veltra_manager_t *manager = nullptr; /* set while the table is published */
    std::string path;
    std::string name, description;
    std::string track_count_text, album_count_text, artist_count_text;
    uint32_t track_count = 0, album_count = 0, artist_count = 0;
    std::unordered_map<uint32_t, uint32_t> mood_level; /* mood id -> 1 or 2 */
    bool has_mood_counts = false;                      /* the per-mood count table */
    std::mutex pool_mutex;
    std::vector<sqlite3 *> idle; /* open read-only connections not in use */
};

namespace {

/* One query of the mood grid: its conditions, then (after execution) its results. */
struct Query {
    veltra_catalog_s *catalog;
    veltra_vibemesh_callback_fn callback;
    void *callback_data;
    struct Condition {
        int kind;
        bool include;
        std::string value;
    };
    std::vector<Condition> conditions;
    bool executed = false;
    /* Results: ident and group of each, as offsets of NUL-terminated strings in `text`. */
    std::string text;
    std::vector<uint32_t> offsets; /* ident, group, ident, group, ... */
};

/* A pooled connection, returned to the pool at scope exit. */
class Connection {
public:
    explicit Connection(veltra_catalog_s *c) : c_(c) {
        {
            std::lock_guard<std::mutex> g(c_->pool_mutex);
            if (!c_->idle.empty()) {
                db_ = c_->idle.back();
                c_->idle.pop_back();
                return;
            }
        }
        rc_ = sqlite3_open_v2(c_->path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                              nullptr);
        if (rc_ != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
        }
    }
    ~Connection() {
        if (!db_) return;
        std::lock_guard<std::mutex> g(c_->pool_mutex);
        c_->idle.push_back(db_);
    }
    sqlite3 *db() const { return db_; }
    uint32_t error() const { return cat::map_sqlite(rc_ == SQLITE_OK ? SQLITE_CANTOPEN : rc_); }

private:
    veltra_catalog_s *c_;
    sqlite3 *db_ = nullptr;
    int rc_ = SQLITE_OK;
};

/* Finalizes a statement at scope exit. */
struct Statement {
    sqlite3_stmt *s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
};

const char *const kColumns[cat::kListKinds] = {nullptr, "t.genre", "t.origin", "t.era"};

/* Appends " AND <column> [NOT] IN (?,?,...)" and records the values to bind. */
void add_in(std::string &sql, std::vector<const std::string *> &binds, const char *column,
            bool include, const std::vector<const std::string *> &values) {
    if (values.empty()) return;
    sql += " AND ";
    sql += column;
    sql += include ? " IN (" : " NOT IN (";
    for (size_t i = 0; i < values.size(); ++i) {
        sql += i ? ",?" : "?";
        binds.push_back(values[i]);
    }
    sql += ')';
}

/* A query's conditions sorted by kind: moods by level, the other lists by kind. */
struct Conditions {
    std::vector<const std::string *> values[cat::kListKinds][2]; /* [kind][include] */
    std::vector<const std::string *> moods[3][2];                /* [level][include] */
    bool unknown_include_mood = false;
    bool filtered = false; /* any genre, origin or era condition */

    explicit Conditions(const Query &q) {
        for (const Query::Condition &c : q.conditions) {
            if (c.kind == cat::kMoods) {
                char *end = nullptr;
                unsigned long id = strtoul(c.value.c_str(), &end, 10);
                auto it = (end && *end == '\0' && !c.value.empty())
                              ? q.catalog->mood_level.find(static_cast<uint32_t>(id))
                              : q.catalog->mood_level.end();
                if (it == q.catalog->mood_level.end() || (it->second != 1 && it->second != 2)) {
                    if (c.include) unknown_include_mood = true; /* matches nothing */
                    continue;
                }
                moods[it->second][c.include].push_back(&c.value);
            } else {
                values[c.kind][c.include].push_back(&c.value);
                filtered = true;
            }
        }
    }
    /* 1 or 2 when the query asks only for moods of that one level (no exclusions, no
     * filters), so that the per-mood counts answer its estimate; 0 otherwise. */
    int counted_level() const {
        if (filtered || !moods[1][0].empty() || !moods[2][0].empty()) return 0;
        bool l1 = !moods[1][1].empty(), l2 = !moods[2][1].empty();
        return l1 == l2 ? 0 : l1 ? 1 : 2;
    }
};

/* Builds the WHERE clause of a query. Every value is a bound parameter: the SQL text is made
 * only of the fixed fragments above. */
void build_where(const Conditions &w, std::string &sql, std::vector<const std::string *> &binds) {
    sql += " WHERE 1";
    bool l1 = !w.moods[1][1].empty(), l2 = !w.moods[2][1].empty();
    if (l1 && l2) {
        /* Moods of both levels: any of them. */
        sql += " AND (t.mood1 IN (";
        for (size_t i = 0; i < w.moods[1][1].size(); ++i) sql += i ? ",?" : "?";
        sql += ") OR t.mood2 IN (";
        for (size_t i = 0; i < w.moods[2][1].size(); ++i) sql += i ? ",?" : "?";
        sql += "))";
        binds.insert(binds.end(), w.moods[1][1].begin(), w.moods[1][1].end());
        binds.insert(binds.end(), w.moods[2][1].begin(), w.moods[2][1].end());
    } else if (l1 || l2) {
        add_in(sql, binds, l1 ? "t.mood1" : "t.mood2", true, l1 ? w.moods[1][1] : w.moods[2][1]);
    } else if (w.unknown_include_mood) {
        sql += " AND 0";
    }
    add_in(sql, binds, "t.mood1", false, w.moods[1][0]);
    add_in(sql, binds, "t.mood2", false, w.moods[2][0]);
    for (int k = cat::kGenres; k < cat::kListKinds; ++k) {
        add_in(sql, binds, kColumns[k], true, w.values[k][1]);
        add_in(sql, binds, kColumns[k], false, w.values[k][0]);
    }
}

uint32_t prepare(sqlite3 *db, const std::string &sql, const std::vector<const std::string *> &binds,
                 Statement *st) {
    int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st->s, nullptr);
    for (size_t i = 0; rc == SQLITE_OK && i < binds.size(); ++i)
        rc = sqlite3_bind_text(st->s, static_cast<int>(i + 1), binds[i]->c_str(),
                               static_cast<int>(binds[i]->size()), SQLITE_STATIC);
    return rc == SQLITE_OK ? 0 : cat::map_sqlite(rc);
}

veltra_catalog_s *owner(const VibeMeshDatasource *t) {
    return t ? reinterpret_cast<const CatalogTable *>(t)->owner : nullptr;
}

/* ---- the datasource slots ---- */

uint32_t ds_interface_release(const VibeMeshDatasource *table) {
    veltra_catalog_s *c = owner(table);
    if (!c) return VELTRA_CATALOG_ERR_INVALID_ARG;
    return c->manager ? veltra_manager_interface_unref(table) : 0;
}

uint32_t ds_data_get(const VibeMeshDatasource *table, const char *key, const char **p_value) {
    veltra_catalog_s *c = owner(table);
    if (!c || !key || !p_value) return VELTRA_CATALOG_ERR_INVALID_ARG;
    const std::string *v = nullptr;
    if (!strcmp(key, "name")) v = &c->name;
    else if (!strcmp(key, "description")) v = &c->description;
    else if (!strcmp(key, "track_count")) v = &c->track_count_text;
    else if (!strcmp(key, "album_count")) v = &c->album_count_text;
    else if (!strcmp(key, "artist_count")) v = &c->artist_count_text;
    else if (!strcmp(key, "path")) v = &c->path;
    else if (!strcmp(key, "format")) {
        *p_value = cat::kFormat;
        return 0;
    }
    if (!v) return VELTRA_CATALOG_ERR_NOT_FOUND;
    *p_value = v->c_str();
    return 0;
}

uint32_t ds_query_create(const VibeMeshDatasource *table, void **p_query, veltra_user_handle_t,
                         veltra_vibemesh_callback_fn callback, void *callback_data) {
    veltra_catalog_s *c = owner(table);
    if (!c || !p_query) return VELTRA_CATALOG_ERR_INVALID_ARG;
    Query *q = new (std::nothrow) Query{c, callback, callback_data, {}, false, {}, {}};
    if (!q) return VELTRA_CATALOG_ERR_NO_MEMORY;
    *p_query = q;
    return 0;
}

uint32_t ds_query_add_condition(void *query, const char *list_type, const char *value,
                                const char *condition_type, uint32_t *) {
    auto *q = static_cast<Query *>(query);
    if (!q || !list_type || !value || !condition_type) return VELTRA_CATALOG_ERR_INVALID_ARG;
    int kind = cat::list_kind(list_type);
    bool include = !strcmp(condition_type, kConditionInclude);
    if (kind < 0 || !*value || (!include && strcmp(condition_type, kConditionExclude)))
        return VELTRA_CATALOG_ERR_BAD_CONDITION;
    if (q->executed) return VELTRA_CATALOG_ERR_QUERY_STATE;
    q->conditions.push_back({kind, include, value});
    return 0;
}

/* Appends a NUL-terminated copy of column `col` of the current row to q->text; false when the
 * offsets would no longer fit. */
bool keep_text(Query *q, sqlite3_stmt *s, int col) {
    const char *v = reinterpret_cast<const char *>(sqlite3_column_text(s, col));
    size_t len = v ? static_cast<size_t>(sqlite3_column_bytes(s, col)) : 0;
    if (q->text.size() + len >= UINT32_MAX) return false;
    q->offsets.push_back(static_cast<uint32_t>(q->text.size()));
    q->text.append(v ? v : "", len);
    q->text.push_back('\0');
    return true;
}

uint32_t ds_query_execute(void *query) {
    auto *q = static_cast<Query *>(query);
    if (!q) return VELTRA_CATALOG_ERR_INVALID_ARG;
    std::string sql = "SELECT t.ident, a.ident FROM tracks t JOIN albums a ON a.id = t.album_id";
    std::vector<const std::string *> binds;
    Conditions w(*q);
    build_where(w, sql, binds);
    /* Unfiltered, a mood's tracks come in catalog order straight from its _order index. With
     * filters the index on the filter columns is the better start, and the unary plus (same
     * order) keeps the planner from preferring the _order index for its order alone. */
    sql += w.filtered ? " ORDER BY +t.id" : " ORDER BY t.id";
    Connection conn(q->catalog);
    if (!conn.db()) return conn.error();
    Statement st;
    if (uint32_t code = prepare(conn.db(), sql, binds, &st)) return code;
    q->text.clear();
    q->offsets.clear();
    int rc;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW)
        if (!keep_text(q, st.s, 0) || !keep_text(q, st.s, 1)) return VELTRA_CATALOG_ERR_NO_MEMORY;
    if (rc != SQLITE_DONE) return cat::map_sqlite(rc);
    q->executed = true;
    if (q->callback) q->callback(q->callback_data); /* tells the presentation's owner: done */
    return 0;
}

uint32_t ds_query_estimate(void *query, uint32_t *p_estimate) {
    auto *q = static_cast<Query *>(query);
    if (!q || !p_estimate) return VELTRA_CATALOG_ERR_INVALID_ARG;
    std::string sql;
    std::vector<const std::string *> binds;
    Conditions w(*q);
    if (int level = q->catalog->has_mood_counts ? w.counted_level() : 0) {
        /* A mood listed twice counts once, as in the IN list of the full count. */
        sql = level == 1 ? "SELECT COALESCE(SUM(tracks), 0) FROM mood_counts WHERE level = 1"
                         : "SELECT COALESCE(SUM(tracks), 0) FROM mood_counts WHERE level = 2";
        add_in(sql, binds, "mood", true, w.moods[level][1]);
    } else {
        sql = "SELECT COUNT(*) FROM tracks t";
        build_where(w, sql, binds);
    }
    Connection conn(q->catalog);
    if (!conn.db()) return conn.error();
    Statement st;
    if (uint32_t code = prepare(conn.db(), sql, binds, &st)) return code;
    int rc = sqlite3_step(st.s);
    if (rc != SQLITE_ROW) return cat::map_sqlite(rc);
    *p_estimate = static_cast<uint32_t>(sqlite3_column_int64(st.s, 0));
    return 0;
}

uint32_t ds_query_result_count(void *query, uint32_t *p_count) {
    auto *q = static_cast<Query *>(query);
    if (!q || !p_count) return VELTRA_CATALOG_ERR_INVALID_ARG;
    if (!q->executed) return VELTRA_CATALOG_ERR_QUERY_STATE;
    *p_count = static_cast<uint32_t>(q->offsets.size() / 2);
    return 0;
}

uint32_t ds_query_result_get(void *query, uint32_t index, const char **p_ident,
                             const char **p_group) {
    auto *q = static_cast<Query *>(query);
    if (!q || !p_ident || !p_group) return VELTRA_CATALOG_ERR_INVALID_ARG;
    if (!q->executed || index >= q->offsets.size() / 2) return VELTRA_CATALOG_ERR_QUERY_STATE;
    *p_ident = q->text.data() + q->offsets[2 * size_t{index}];
    *p_group = q->text.data() + q->offsets[2 * size_t{index} + 1];
    return 0;
}

uint32_t ds_query_release(void *query) {
    delete static_cast<Query *>(query);
    return 0;
}

/* Notes whether the catalog carries the per-mood count table (older catalogs do not). */
void detect_summaries(veltra_catalog_s *c, sqlite3 *db) {
    Statement st;
    c->has_mood_counts = sqlite3_prepare_v2(db, "SELECT level, mood, tracks FROM mood_counts", -1,
                                            &st.s, nullptr) == SQLITE_OK;
}

/* Reads the catalog's facts and mood levels; fails on anything that is not a catalog. */
uint32_t load_catalog(veltra_catalog_s *c, sqlite3 *db) {
    Statement meta;
    int rc = sqlite3_prepare_v2(db, "SELECT key, value FROM meta", -1, &meta.s, nullptr);
    if (rc != SQLITE_OK) return rc == SQLITE_NOMEM ? VELTRA_CATALOG_ERR_NO_MEMORY : VELTRA_CATALOG_ERR_CORRUPT;
    bool format_ok = false;
    while ((rc = sqlite3_step(meta.s)) == SQLITE_ROW) {
        const char *k = reinterpret_cast<const char *>(sqlite3_column_text(meta.s, 0));
        const char *v = reinterpret_cast<const char *>(sqlite3_column_text(meta.s, 1));
        if (!k || !v) continue;
        if (!strcmp(k, "format")) format_ok = !strcmp(v, cat::kFormat);
        else if (!strcmp(k, "name")) c->name = v;
        else if (!strcmp(k, "description")) c->description = v;
    }
    if (rc != SQLITE_DONE) return cat::map_sqlite(rc);
    if (!format_ok) return VELTRA_CATALOG_ERR_CORRUPT;
    Statement moods;
    if (sqlite3_prepare_v2(db, "SELECT id, level FROM moods", -1, &moods.s, nullptr) != SQLITE_OK)
        return VELTRA_CATALOG_ERR_CORRUPT;
    while ((rc = sqlite3_step(moods.s)) == SQLITE_ROW)
        c->mood_level[static_cast<uint32_t>(sqlite3_column_int64(moods.s, 0))] =
            static_cast<uint32_t>(sqlite3_column_int(moods.s, 1));
    if (rc != SQLITE_DONE) return cat::map_sqlite(rc);
    Statement counts;
    if (sqlite3_prepare_v2(db,
                           "SELECT (SELECT COUNT(*) FROM tracks), (SELECT COUNT(*) FROM albums),"
                           " COALESCE((SELECT CAST(value AS INTEGER) FROM meta"
                           "   WHERE key = 'artist_count'"
                           "   AND CAST(CAST(value AS INTEGER) AS TEXT) = value),"
                           " (SELECT COUNT(DISTINCT artist) FROM tracks))",
                           -1, &counts.s, nullptr) != SQLITE_OK)
        return VELTRA_CATALOG_ERR_CORRUPT;
    rc = sqlite3_step(counts.s);
    if (rc != SQLITE_ROW) return cat::map_sqlite(rc);
    c->track_count = static_cast<uint32_t>(sqlite3_column_int64(counts.s, 0));
    c->album_count = static_cast<uint32_t>(sqlite3_column_int64(counts.s, 1));
    c->artist_count = static_cast<uint32_t>(sqlite3_column_int64(counts.s, 2));
    c->track_count_text = std::to_string(c->track_count);
    c->album_count_text = std::to_string(c->album_count);
    c->artist_count_text = std::to_string(c->artist_count);
    detect_summaries(c, db);
    return 0;
}

void close_pool(veltra_catalog_s *c) {
    for (sqlite3 *db : c->idle) sqlite3_close(db);
    c->idle.clear();
}

}  // namespace

namespace cat {

int list_kind(const char *name) {
    for (int k = 0; k < kListKinds; ++k)
        if (!strcmp(name, kListTypeNames[k])) return k;
    return -1;
}

uint32_t map_sqlite(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return 0;
    case SQLITE_NOMEM: return VELTRA_CATALOG_ERR_NO_MEMORY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
    case SQLITE_ERROR: return VELTRA_CATALOG_ERR_CORRUPT;
    case SQLITE_CANTOPEN: return VELTRA_CATALOG_ERR_NOT_FOUND;
    case SQLITE_CONSTRAINT: return VELTRA_CATALOG_ERR_BAD_INPUT;
    default: return VELTRA_CATALOG_ERR_IO;
    }
}

}  // namespace cat

extern "C" {

uint32_t veltra_catalog_open(const veltra_manager_t *manager, const char *path,
                             veltra_catalog_t **p_catalog) {
    if (!path || !*path || !p_catalog) return VELTRA_CATALOG_ERR_INVALID_ARG;
    struct stat st;
    if (stat(path, &st) != 0) return VELTRA_CATALOG_ERR_NOT_FOUND;
    if (!S_ISREG(st.st_mode)) return VELTRA_CATALOG_ERR_CORRUPT;
    auto *c = new (std::nothrow) veltra_catalog_s;
    if (!c) return VELTRA_CATALOG_ERR_NO_MEMORY;
    c->path = path;
    c->table.owner = c;
    VibeMeshDatasource &ds = c->table.ds;
    ds.interface_release = ds_interface_release;
    ds.data_get = ds_data_get;
    ds.query_create = ds_query_create;
    ds.query_add_condition = ds_query_add_condition;
    ds.query_execute = ds_query_execute;
    ds.query_estimate = ds_query_estimate;
    ds.query_result_count = ds_query_result_count;
    ds.query_result_get = ds_query_result_get;
    ds.query_release = ds_query_release;

    uint32_t code = 0;
    {
        Connection conn(c);
        code = conn.db() ? load_catalog(c, conn.db()) : conn.error();
    }
    if (code == 0 && manager) {
        if (manager->magic != 0x1EEEEEE1u) {
            code = VELTRA_CATALOG_ERR_INVALID_ARG;
        } else if (veltra_manager_interface_publish(cat::kDatasourceInterface, &c->table.ds,
                                                    nullptr) != 0) {
            code = VELTRA_CATALOG_ERR_PUBLISH;
        } else {
            c->manager = manager;
        }
    }
    if (code != 0) {
        close_pool(c);
        delete c;
        return code;
    }
    *p_catalog = c;
    return 0;
}

uint32_t veltra_catalog_close(veltra_catalog_t *c) {
    if (!c) return 0;
    if (c->manager) {
        uint32_t r = veltra_manager_interface_withdraw(cat::kDatasourceInterface, &c->table.ds, 0);
        if (r == VELTRA_MANAGER_ERR_IN_USE) return VELTRA_CATALOG_ERR_IN_USE;
        c->manager = nullptr;
    }
    close_pool(c);
    delete c;
    return 0;
}

const VibeMeshDatasource *veltra_catalog_datasource(const veltra_catalog_t *c) {
    return c ? &c->table.ds : nullptr;
}

uint32_t veltra_catalog_ordinal(const veltra_catalog_t *c, uint32_t *p_ordinal) {
    if (!c || !p_ordinal) return VELTRA_CATALOG_ERR_INVALID_ARG;
    if (!c->manager) return VELTRA_CATALOG_ERR_NOT_FOUND;
    for (uint32_t i = 0;; ++i) {
        const void *t = nullptr;
        if (c->manager->interface_get(cat::kDatasourceInterface, 0, i, &t) != 0)
            return VELTRA_CATALOG_ERR_NOT_FOUND;
        static_cast<const VibeMeshDatasource *>(t)->interface_release(
            static_cast<const VibeMeshDatasource *>(t));
        if (t == &c->table.ds) {
            *p_ordinal = i;
            return 0;
        }
    }
}

uint32_t veltra_catalog_get_info(const veltra_catalog_t *c, veltra_catalog_info_t *p_info) {
    if (!c || !p_info) return VELTRA_CATALOG_ERR_INVALID_ARG;
    memset(p_info, 0, sizeof *p_info);
    p_info->track_count = c->track_count;
    p_info->album_count = c->album_count;
    p_info->artist_count = c->artist_count;
    snprintf(p_info->name, sizeof p_info->name, "%s", c->name.c_str());
    snprintf(p_info->description, sizeof p_info->description, "%s", c->description.c_str());
    return 0;
}

uint32_t veltra_catalog_track_get(const veltra_catalog_t *c, const char *ident,
                                  veltra_catalog_track_t *p_track) {
    if (!c || !ident || !p_track) return VELTRA_CATALOG_ERR_INVALID_ARG;
    Connection conn(const_cast<veltra_catalog_s *>(c)); /* the pool is the only mutable part */
    if (!conn.db()) return conn.error();
    Statement st;
    int rc = sqlite3_prepare_v2(conn.db(),
                                "SELECT t.title, t.artist, a.title FROM tracks t"
                                " JOIN albums a ON a.id = t.album_id WHERE t.ident = ?",
                                -1, &st.s, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_bind_text(st.s, 1, ident, -1, SQLITE_STATIC);
    if (rc == SQLITE_OK) rc = sqlite3_step(st.s);
    if (rc == SQLITE_DONE) return VELTRA_CATALOG_ERR_NOT_FOUND;
    if (rc != SQLITE_ROW) return cat::map_sqlite(rc);
    char *outs[3] = {p_track->title, p_track->artist, p_track->album};
    for (int i = 0; i < 3; ++i)
        snprintf(outs[i], sizeof p_track->title, "%s",
                 reinterpret_cast<const char *>(sqlite3_column_text(st.s, i)));
    return 0;
}

}  // extern "C"
