/* The catalog datasource: opens a catalog file read-only, answers the mood grid's queries with
 * SQL whose values are always bound as parameters, and publishes its table through the
 * manager. Queries on one catalog may run from several threads at once: each execution takes
 * its own connection from a small pool.
 *
 * A catalog file is untrusted input. Opening checks everything the queries rely on (format,
 * tables and columns, texts where texts belong, mood levels and parents, the tracks' mood and
 * album references, media rows, every index against its table) and answers CORRUPT for
 * anything else. The pass over every row
 * is skipped only when the user's verified-catalog record (catalog_verified.cpp) shows that
 * this same file passed it and has not been written since. The read paths check
 * again for NULL and malformed text, so a file changed behind our back gives an error, not a
 * crash. Writers replace a catalog by renaming a new file over it, so every connection of one
 * open catalog must read the same file: a connection opened later is kept only when the path
 * still names the file that was validated. */
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalog_internal.h"
#include "veltra_manager_app.h"

struct veltra_catalog_s;

namespace {

constexpr char kConditionInclude[] = VELTRA_VIBEMESH_FILTER_CONDITION_INCLUDE;
constexpr char kConditionExclude[] = VELTRA_VIBEMESH_FILTER_CONDITION_EXCLUDE;

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
    std::string name, description, format;
    std::string track_count_text, album_count_text, artist_count_text;
    uint32_t track_count = 0, album_count = 0, artist_count = 0;
    std::unordered_map<uint32_t, uint32_t> mood_level; /* mood id -> 1 or 2 */
    int version = 0;             /* the file's format version */
    dev_t dev = 0;               /* the file all connections read */
    ino_t ino = 0;
    bool has_mood_counts = false;                      /* the per-mood count table */
    std::mutex pool_mutex;
    std::condition_variable pool_returned;
    std::vector<sqlite3 *> idle; /* open read-only connections not in use */
    bool replaced = false;       /* the path names another file now: no new connections */
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

/* Opens a read-only connection to the catalog's file with the settings for untrusted files.
 * `first`: the connection that validates the file and records which file it is; later ones
 * must reach that same file (SQLITE_CANTOPEN when the path names another one now). */
int open_reader(veltra_catalog_s *c, bool first, sqlite3 **p_db) {
    *p_db = nullptr;
    for (int attempt = 0; attempt < 5; ++attempt) {
        struct stat before, after;
        if (stat(c->path.c_str(), &before) != 0) return SQLITE_CANTOPEN;
        if (!first && (before.st_dev != c->dev || before.st_ino != c->ino)) return SQLITE_CANTOPEN;
        sqlite3 *db = nullptr;
        int rc = sqlite3_open_v2(c->path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_close(db);
            return rc;
        }
        if (stat(c->path.c_str(), &after) == 0 && after.st_dev == before.st_dev &&
            after.st_ino == before.st_ino) {
            /* Nothing in the file runs as code, a hostile value cannot grow without bound,
             * and a reader waits for (rather than fails on) a foreign process's write lock. */
            sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
            sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
            sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 1 << 20);
            sqlite3_busy_timeout(db, 5000);
            sqlite3_exec(db, "PRAGMA cell_size_check=ON", nullptr, nullptr, nullptr);
            if (first) {
                c->dev = before.st_dev;
                c->ino = before.st_ino;
            }
            *p_db = db;
            return SQLITE_OK;
        }
        sqlite3_close(db); /* replaced while opening */
        if (!first) return SQLITE_CANTOPEN;
    }
    return SQLITE_BUSY;
}

/* A pooled connection, returned to the pool at scope exit. Once the path names another file,
 * the connections already open (at least the one that validated the file) serve all queries. */
class Connection {
public:
    explicit Connection(veltra_catalog_s *c, bool first = false) : c_(c) {
        std::unique_lock<std::mutex> g(c_->pool_mutex);
        if (!first) {
            if (take(g)) return;
            g.unlock();
            rc_ = open_reader(c_, false, &db_);
            if (rc_ == SQLITE_OK) return;
            g.lock();
            c_->replaced = true;
            rc_ = SQLITE_OK;
            take(g);
            return;
        }
        g.unlock();
        rc_ = open_reader(c_, true, &db_);
    }
    ~Connection() {
        if (!db_) return;
        {
            std::lock_guard<std::mutex> g(c_->pool_mutex);
            c_->idle.push_back(db_);
        }
        c_->pool_returned.notify_one();
    }
    sqlite3 *db() const { return db_; }
    uint32_t error() const { return cat::map_sqlite(rc_ == SQLITE_OK ? SQLITE_CANTOPEN : rc_); }

private:
    /* An idle connection; after a replacement, waits for one to come back. */
    bool take(std::unique_lock<std::mutex> &g) {
        for (;;) {
            if (!c_->idle.empty()) {
                db_ = c_->idle.back();
                c_->idle.pop_back();
                return true;
            }
            if (!c_->replaced) return false;
            c_->pool_returned.wait(g);
        }
    }
    veltra_catalog_s *c_;
    sqlite3 *db_ = nullptr;
    int rc_ = SQLITE_OK;
};

/* Copies text into a fixed buffer, cut at a character boundary when it does not fit. */
void copy_text(char *dst, size_t size, const char *src) {
    size_t n = strlen(src);
    if (n >= size) {
        n = size - 1;
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
    }
    memcpy(dst, src, n);
    dst[n] = '\0';
}

/* A column's text when it is well-formed UTF-8, else NULL (a damaged file). */
const char *column_utf8(sqlite3_stmt *st, int col) {
    const char *t = reinterpret_cast<const char *>(sqlite3_column_text(st, col));
    if (!t || !cat::valid_utf8(t, static_cast<size_t>(sqlite3_column_bytes(st, col)))) return nullptr;
    return t;
}

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
    else if (!strcmp(key, "format")) v = &c->format;
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

/* Appends a NUL-terminated copy of the len bytes at v to q->text; false when the
 * offsets would no longer fit. */
bool keep_text(Query *q, const char *v, size_t len) {
    if (q->text.size() + len >= UINT32_MAX) return false;
    q->offsets.push_back(static_cast<uint32_t>(q->text.size()));
    q->text.append(v, len);
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
    uint32_t code = 0;
    while (!code && (rc = sqlite3_step(st.s)) == SQLITE_ROW) {
        const char *ident = column_utf8(st.s, 0), *group = column_utf8(st.s, 1);
        if (!ident || !group || !*ident)
            code = VELTRA_CATALOG_ERR_CORRUPT;
        else if (!keep_text(q, ident, static_cast<size_t>(sqlite3_column_bytes(st.s, 0))) ||
                 !keep_text(q, group, static_cast<size_t>(sqlite3_column_bytes(st.s, 1))))
            code = VELTRA_CATALOG_ERR_NO_MEMORY;
    }
    if (!code && rc != SQLITE_DONE) code = cat::map_sqlite(rc);
    if (code) {
        q->text.clear();
        q->offsets.clear();
        return code;
    }
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

/* The single number the statement `sql` yields, or -1 when it fails. */
int64_t scalar(sqlite3 *db, const char *sql, uint32_t *p_code) {
    Statement st;
    int rc = sqlite3_prepare_v2(db, sql, -1, &st.s, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(st.s);
    if (rc != SQLITE_ROW) {
        *p_code = cat::map_sqlite(rc);
        if (*p_code == VELTRA_CATALOG_ERR_IO || *p_code == 0) *p_code = VELTRA_CATALOG_ERR_CORRUPT;
        return -1;
    }
    return sqlite3_column_int64(st.s, 0);
}

/* Zero when the statement yields 0, else the code to return. */
uint32_t expect_zero(sqlite3 *db, const std::string &sql) {
    uint32_t code = 0;
    int64_t n = scalar(db, sql.c_str(), &code);
    return n == 0 ? 0 : code ? code : VELTRA_CATALOG_ERR_CORRUPT;
}

/* The tables and columns the queries read; each table must be an ordinary table whose columns
 * are stored (a generated column would compute what the file's author wants). */
struct TableShape {
    const char *name;
    const char *columns;
    const char *key; /* its INTEGER PRIMARY KEY, so ids are unique */
};
constexpr TableShape kShapes[] = {
    {"meta", "key, value", nullptr},
    {"moods", "id, level, parent", "id"},
    {"albums", "id, ident, title, artist", "id"},
    {"tracks", "id, ident, album_id, title, artist, mood1, mood2, genre, origin, era", "id"},
    {"media", nullptr, "track_id"}, /* version 2: track_id and kMediaColumns */
};

uint32_t check_schema(sqlite3 *db, int version) {
    uint32_t code = 0;
    for (const TableShape &t : kShapes) {
        bool media = !strcmp(t.name, "media");
        if (media && version < 2) continue;
        std::string name = t.name;
        if ((code = expect_zero(db, "SELECT (SELECT COUNT(*) FROM sqlite_master WHERE name = '" + name +
                                    "' AND type = 'table' AND sql LIKE 'CREATE TABLE%') <> 1")))
            return code;
        std::string cols = media ? std::string("track_id, ") + cat::kMediaColumns : t.columns;
        Statement probe;
        std::string sql = "SELECT " + cols + " FROM " + name + " LIMIT 0";
        int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &probe.s, nullptr);
        if (rc != SQLITE_OK) return rc == SQLITE_NOMEM ? VELTRA_CATALOG_ERR_NO_MEMORY : VELTRA_CATALOG_ERR_CORRUPT;
        if ((code = expect_zero(db, "SELECT COUNT(*) FROM pragma_table_xinfo('" + name + "') WHERE hidden <> 0")))
            return code;
        if (t.key && (code = expect_zero(db, "SELECT (SELECT COUNT(*) FROM pragma_table_info('" + name +
                                                 "') WHERE pk > 0) <> 1 OR NOT EXISTS (SELECT 1 FROM pragma_table_info('" +
                                                 name + "') WHERE pk = 1 AND name = '" + t.key +
                                                 "' AND upper(type) = 'INTEGER')")))
            return code;
    }
    /* Idents are unique: lookups by ident find one row. */
    for (const char *table : {"tracks", "albums"}) {
        std::string t = table;
        if (uint32_t code = expect_zero(
                db, "SELECT NOT EXISTS (SELECT 1 FROM pragma_index_list('" + t + "') l WHERE l.\"unique\""
                    " AND NOT l.partial AND (SELECT group_concat(name) FROM pragma_index_info(l.name)) = 'ident')"))
            return code;
    }
    return 0;
}

/* Notes whether the catalog carries the per-mood count table (older catalogs do not). */
void detect_summaries(veltra_catalog_s *c, sqlite3 *db) {
    Statement st;
    c->has_mood_counts = sqlite3_prepare_v2(db, "SELECT level, mood, tracks FROM mood_counts", -1,
                                            &st.s, nullptr) == SQLITE_OK;
}

/* The format from meta: 0 and the version, or CORRUPT / VERSION. */
uint32_t load_meta(veltra_catalog_s *c, sqlite3 *db) {
    Statement meta;
    int rc = sqlite3_prepare_v2(db, "SELECT key, value FROM meta", -1, &meta.s, nullptr);
    if (rc != SQLITE_OK) return rc == SQLITE_NOMEM ? VELTRA_CATALOG_ERR_NO_MEMORY : VELTRA_CATALOG_ERR_CORRUPT;
    const size_t prefix = strlen(cat::kFormatPrefix);
    uint32_t code = VELTRA_CATALOG_ERR_CORRUPT; /* until a format row is seen */
    while ((rc = sqlite3_step(meta.s)) == SQLITE_ROW) {
        const char *k = reinterpret_cast<const char *>(sqlite3_column_text(meta.s, 0));
        if (!k) return VELTRA_CATALOG_ERR_CORRUPT;
        bool format = !strcmp(k, "format");
        if (!format && strcmp(k, "name") && strcmp(k, "description")) continue;
        const char *v = sqlite3_column_type(meta.s, 1) == SQLITE_TEXT ? column_utf8(meta.s, 1) : nullptr;
        if (!v) return VELTRA_CATALOG_ERR_CORRUPT;
        if (!format) {
            (!strcmp(k, "name") ? c->name : c->description) = v;
            continue;
        }
        if (c->version) return VELTRA_CATALOG_ERR_CORRUPT; /* two format rows */
        if (strncmp(v, cat::kFormatPrefix, prefix)) return VELTRA_CATALOG_ERR_CORRUPT;
        const char *num = v + prefix;
        size_t digits = strspn(num, "0123456789");
        if (digits == 0 || num[digits] || num[0] == '0') return VELTRA_CATALOG_ERR_CORRUPT;
        if (digits > 3 || atoi(num) > cat::kFormatVersion) return VELTRA_CATALOG_ERR_VERSION;
        c->version = atoi(num);
        c->format = v;
        code = 0;
    }
    return rc == SQLITE_DONE ? code : cat::map_sqlite(rc);
}

/* Moods: ids in range, levels 1 and 2, a level-1 mood without parent, a level-2 mood under a
 * level-1 mood. */
uint32_t load_moods(veltra_catalog_s *c, sqlite3 *db) {
    Statement moods;
    int rc = sqlite3_prepare_v2(db, "SELECT id, level, parent, typeof(id), typeof(level), typeof(parent) FROM moods",
                                -1, &moods.s, nullptr);
    if (rc != SQLITE_OK) return VELTRA_CATALOG_ERR_CORRUPT;
    std::vector<std::pair<uint32_t, int64_t>> parents;
    while ((rc = sqlite3_step(moods.s)) == SQLITE_ROW) {
        auto type_is = [&](int col, const char *t) {
            const char *got = reinterpret_cast<const char *>(sqlite3_column_text(moods.s, col));
            return got && !strcmp(got, t);
        };
        int64_t id = sqlite3_column_int64(moods.s, 0), level = sqlite3_column_int64(moods.s, 1);
        if (!type_is(3, "integer") || !type_is(4, "integer") || id <= 0 || id > UINT32_MAX ||
            (level != 1 && level != 2))
            return VELTRA_CATALOG_ERR_CORRUPT;
        if (level == 1 ? !type_is(5, "null") : !type_is(5, "integer")) return VELTRA_CATALOG_ERR_CORRUPT;
        if (!c->mood_level.emplace(static_cast<uint32_t>(id), static_cast<uint32_t>(level)).second)
            return VELTRA_CATALOG_ERR_CORRUPT;
        if (level == 2) parents.emplace_back(static_cast<uint32_t>(id), sqlite3_column_int64(moods.s, 2));
    }
    if (rc != SQLITE_DONE) return cat::map_sqlite(rc);
    for (const auto &p : parents) {
        if (p.second <= 0 || p.second > UINT32_MAX) return VELTRA_CATALOG_ERR_CORRUPT;
        auto it = c->mood_level.find(static_cast<uint32_t>(p.second));
        if (it == c->mood_level.end() || it->second != 1) return VELTRA_CATALOG_ERR_CORRUPT;
    }
    return 0;
}

/* Albums and media rows: every text a text, every id an id, every reference resolved (the
 * tracks are checked in load_catalog's pass that counts them). */
uint32_t check_rows(sqlite3 *db, int version) {
    if (uint32_t code = expect_zero(db,
            "SELECT COUNT(*) FROM albums WHERE typeof(id) <> 'integer' OR typeof(ident) <> 'text'"
            " OR ident = '' OR typeof(title) <> 'text' OR typeof(artist) <> 'text'"))
        return code;
    if (version < 2) return 0;
    return expect_zero(db,
        "SELECT COUNT(*) FROM media m WHERE typeof(m.track_id) <> 'integer'"
        " OR NOT EXISTS (SELECT 1 FROM tracks t WHERE t.id = m.track_id)"
        " OR typeof(m.placed_by) <> 'integer' OR m.placed_by NOT BETWEEN 0 AND 3"
        " OR typeof(m.model_version) <> 'integer' OR m.model_version NOT BETWEEN 0 AND 4294967295"
        " OR typeof(m.size) <> 'integer' OR m.size < 0 OR typeof(m.mtime_ns) <> 'integer'"
        " OR (m.path IS NOT NULL AND (typeof(m.path) NOT IN ('blob', 'text')"
        "     OR length(CAST(m.path AS BLOB)) = 0 OR instr(CAST(m.path AS BLOB), x'00') > 0))"
        " OR typeof(m.arousal) NOT IN ('real', 'integer', 'null') OR m.arousal NOT BETWEEN 0 AND 1"
        " OR typeof(m.valence) NOT IN ('real', 'integer', 'null') OR m.valence NOT BETWEEN 0 AND 1"
        " OR typeof(m.duration_s) NOT IN ('real', 'integer', 'null')"
        " OR typeof(m.loudness_lufs) NOT IN ('real', 'integer', 'null')"
        " OR typeof(m.loudness_range_lu) NOT IN ('real', 'integer', 'null')"
        " OR typeof(m.tempo_bpm) NOT IN ('real', 'integer', 'null')"
        " OR typeof(m.onset_rate) NOT IN ('real', 'integer', 'null')"
        " OR typeof(m.centroid_hz) NOT IN ('real', 'integer', 'null')"
        " OR typeof(m.flux) NOT IN ('real', 'integer', 'null')"
        " OR typeof(m.rolloff_hz) NOT IN ('real', 'integer', 'null')"
        " OR typeof(m.mode) NOT IN ('real', 'integer', 'null')"
        " OR typeof(m.mode_strength) NOT IN ('real', 'integer', 'null')");
}

/* ---- indexes against their tables ----
 * A query answered from an index trusts the index to hold exactly its table's rows. A file's
 * author can make it hold others (a track listed under another mood, an album missing), so
 * every index is compared with its table: both are read whole into an order-independent
 * digest, the wrapping sum of a keyed hash of each row's values. The key is drawn afresh for
 * every check, so the author cannot build two different row sets with equal digests. */

struct DigestKey {
    uint64_t mul, fin;
};

inline uint64_t digest_mix(uint64_t h, uint64_t w, uint64_t mul) {
    h ^= w;
    h *= mul;
    return h ^ (h >> 29);
}

/* The aggregate rows_digest(v1, v2, ...). */
void digest_step(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    auto *sum = static_cast<uint64_t *>(sqlite3_aggregate_context(ctx, sizeof(uint64_t)));
    if (!sum) return sqlite3_result_error_nomem(ctx);
    const auto *key = static_cast<const DigestKey *>(sqlite3_user_data(ctx));
    uint64_t h = key->fin;
    for (int i = 0; i < argc; ++i) {
        int type = sqlite3_value_type(argv[i]);
        uint64_t w = 0;
        if (type == SQLITE_INTEGER) {
            w = static_cast<uint64_t>(sqlite3_value_int64(argv[i]));
        } else if (type == SQLITE_FLOAT) {
            double d = sqlite3_value_double(argv[i]);
            memcpy(&w, &d, sizeof w);
        } else if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
            const auto *p = static_cast<const unsigned char *>(
                type == SQLITE_TEXT ? sqlite3_value_text(argv[i]) : sqlite3_value_blob(argv[i]));
            size_t n = static_cast<size_t>(sqlite3_value_bytes(argv[i]));
            if (!p && n) return sqlite3_result_error_nomem(ctx);
            for (size_t k = 0; k < n; k += 8) {
                uint64_t part = 0;
                memcpy(&part, p + k, n - k < 8 ? n - k : 8);
                h = digest_mix(h, part, key->mul);
            }
            w = n;
        }
        h = digest_mix(h, w ^ (static_cast<uint64_t>(type) << 61), key->mul);
    }
    h = digest_mix(h, key->fin, key->mul);
    *sum += h * key->fin;
}

void digest_final(sqlite3_context *ctx) {
    auto *sum = static_cast<uint64_t *>(sqlite3_aggregate_context(ctx, 0));
    sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(sum ? *sum : 0));
}

std::string quoted(const std::string &name) {
    std::string q = "\"";
    for (char ch : name) q += ch == '"' ? "\"\"" : std::string(1, ch);
    return q + '"';
}

/* One row of a statement with the bound texts, or the code: NO_MEMORY, else CORRUPT. */
uint32_t step_bound(sqlite3 *db, const char *sql, std::initializer_list<const char *> texts, Statement *st) {
    int rc = sqlite3_prepare_v2(db, sql, -1, &st->s, nullptr);
    int i = 0;
    for (const char *t : texts)
        if (rc == SQLITE_OK) rc = sqlite3_bind_text(st->s, ++i, t, -1, SQLITE_STATIC);
    if (rc == SQLITE_OK) rc = sqlite3_step(st->s);
    return rc == SQLITE_ROW ? 0 : rc == SQLITE_NOMEM ? VELTRA_CATALOG_ERR_NO_MEMORY : VELTRA_CATALOG_ERR_CORRUPT;
}

/* Every index of the file holds exactly its table's rows. Expression and partial indexes,
 * which no catalog writer makes, are refused, and so is a column that takes the name of the
 * row's key. */
uint32_t check_indexes(sqlite3 *db) {
    DigestKey key;
    sqlite3_randomness(sizeof key, &key);
    key.mul |= 1;
    key.fin |= 1;
    if (sqlite3_create_function_v2(db, "rows_digest", -1, SQLITE_UTF8, &key, nullptr, digest_step,
                                   digest_final, nullptr) != SQLITE_OK)
        return VELTRA_CATALOG_ERR_NO_MEMORY;
    struct Unregister {
        sqlite3 *db;
        ~Unregister() {
            sqlite3_create_function_v2(db, "rows_digest", -1, SQLITE_UTF8, nullptr, nullptr, nullptr,
                                       nullptr, nullptr);
        }
    } unregister{db};

    struct Index {
        std::string name, table, columns; /* columns: empty for a table's own key */
    };
    std::vector<Index> indexes;
    {
        Statement st;
        if (sqlite3_prepare_v2(db, "SELECT name, tbl_name FROM sqlite_master WHERE type = 'index'", -1,
                               &st.s, nullptr) != SQLITE_OK)
            return VELTRA_CATALOG_ERR_CORRUPT;
        int rc;
        while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
            const char *name = column_utf8(st.s, 0), *table = column_utf8(st.s, 1);
            if (!name || !table) return VELTRA_CATALOG_ERR_CORRUPT;
            indexes.push_back({name, table, {}});
        }
        if (rc != SQLITE_DONE) return cat::map_sqlite(rc);
    }
    for (Index &ix : indexes) {
        /* The index's stored columns: its keys, then the row's key (rowid, or the primary key
         * of a table without rowid). */
        bool rowid = false;
        Statement info;
        if (sqlite3_prepare_v2(db, "SELECT cid, name FROM pragma_index_xinfo(?)", -1, &info.s, nullptr) != SQLITE_OK)
            return VELTRA_CATALOG_ERR_CORRUPT;
        sqlite3_bind_text(info.s, 1, ix.name.c_str(), -1, SQLITE_STATIC);
        std::string columns;
        int rc;
        while ((rc = sqlite3_step(info.s)) == SQLITE_ROW) {
            int64_t cid = sqlite3_column_int64(info.s, 0);
            const char *name = column_utf8(info.s, 1);
            if (cid == -2 || (cid >= 0 && !name)) return VELTRA_CATALOG_ERR_CORRUPT; /* an expression */
            if (!columns.empty()) columns += ", ";
            rowid |= cid == -1;
            columns += cid == -1 ? std::string("rowid") : quoted(name);
        }
        if (rc != SQLITE_DONE || columns.empty()) return VELTRA_CATALOG_ERR_CORRUPT;
        Statement list;
        if (uint32_t code = step_bound(db, "SELECT \"partial\", origin FROM pragma_index_list(?) WHERE name = ?",
                                       {ix.table.c_str(), ix.name.c_str()}, &list))
            return code;
        if (sqlite3_column_int(list.s, 0) != 0) return VELTRA_CATALOG_ERR_CORRUPT;
        const char *origin = reinterpret_cast<const char *>(sqlite3_column_text(list.s, 1));
        /* The primary key of a table without rowid is the table itself. */
        if (!rowid && origin && !strcmp(origin, "pk")) continue;
        Statement shadow;
        if (uint32_t code = step_bound(db, "SELECT COUNT(*) FROM pragma_table_xinfo(?)"
                                           " WHERE lower(name) IN ('rowid', '_rowid_', 'oid')",
                                       {ix.table.c_str()}, &shadow))
            return code;
        if (rowid && sqlite3_column_int64(shadow.s, 0) != 0) return VELTRA_CATALOG_ERR_CORRUPT;
        ix.columns = columns;
    }
    /* Per table, one pass over its rows gives the digests of all its indexes. */
    std::stable_sort(indexes.begin(), indexes.end(),
                     [](const Index &a, const Index &b) { return a.table < b.table; });
    for (size_t first = 0, last; first < indexes.size(); first = last) {
        const std::string &table = indexes[first].table;
        std::string sql;
        for (last = first; last < indexes.size() && indexes[last].table == table; ++last)
            if (!indexes[last].columns.empty())
                sql += (sql.empty() ? "SELECT rows_digest(" : ", rows_digest(") + indexes[last].columns + ")";
        if (sql.empty()) continue;
        Statement whole;
        if (uint32_t code = step_bound(db, (sql + " FROM " + quoted(table) + " NOT INDEXED").c_str(), {}, &whole))
            return code;
        int col = 0;
        for (size_t i = first; i < last; ++i) {
            if (indexes[i].columns.empty()) continue;
            Statement part;
            std::string q = "SELECT rows_digest(" + indexes[i].columns + ") FROM " + quoted(table) +
                            " INDEXED BY " + quoted(indexes[i].name);
            if (uint32_t code = step_bound(db, q.c_str(), {}, &part)) return code;
            if (sqlite3_column_int64(part.s, 0) != sqlite3_column_int64(whole.s, col++))
                return VELTRA_CATALOG_ERR_CORRUPT;
        }
    }
    return 0;
}

void set_facts(veltra_catalog_s *c, const cat::VerifiedFacts &f) {
    c->track_count = f.tracks;
    c->album_count = f.albums;
    c->artist_count = f.artists;
    c->track_count_text = std::to_string(c->track_count);
    c->album_count_text = std::to_string(c->album_count);
    c->artist_count_text = std::to_string(c->artist_count);
}

/* Reads the catalog's format, shape and mood levels: what every open checks. */
uint32_t load_shape(veltra_catalog_s *c, sqlite3 *db) {
    uint32_t code = 0;
    if (scalar(db, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'meta' AND type = 'table'", &code) != 1)
        return code ? code : VELTRA_CATALOG_ERR_CORRUPT;
    if ((code = load_meta(c, db))) return code;
    if ((code = check_schema(db, c->version))) return code;
    if ((code = load_moods(c, db))) return code;
    detect_summaries(c, db);
    return 0;
}

/* Checks every row after load_shape and counts tracks, albums and artists; fails on anything
 * that is not a sound catalog. */
uint32_t check_contents(veltra_catalog_s *c, sqlite3 *db) {
    uint32_t code = 0;
    if ((code = check_indexes(db)) || (code = check_rows(db, c->version))) return code;
    /* One pass over the tracks counts them and checks every row: texts, ids, a level-2 mood
     * with its own parent as mood1, an album that exists. */
    Statement counts;
    if (sqlite3_prepare_v2(db,
                           "SELECT COUNT(*), (SELECT COUNT(*) FROM albums),"
                           " COALESCE((SELECT CAST(value AS INTEGER) FROM meta"
                           "   WHERE key = 'artist_count'"
                           "   AND CAST(CAST(value AS INTEGER) AS TEXT) = value),"
                           " (SELECT COUNT(DISTINCT artist) FROM tracks)),"
                           " TOTAL(typeof(t.ident) <> 'text' OR t.ident = '' OR typeof(t.title) <> 'text'"
                           " OR typeof(t.artist) <> 'text' OR typeof(t.genre) <> 'integer'"
                           " OR typeof(t.origin) <> 'integer' OR typeof(t.era) <> 'integer'"
                           " OR t.genre NOT BETWEEN 0 AND 4294967295 OR t.origin NOT BETWEEN 0 AND 4294967295"
                           " OR t.era NOT BETWEEN 0 AND 4294967295"
                           " OR (t.mood2, t.mood1) NOT IN (SELECT id, parent FROM moods WHERE level = 2)"
                           " OR a.id IS NULL)"
                           " FROM tracks t LEFT JOIN albums a ON a.id = t.album_id",
                           -1, &counts.s, nullptr) != SQLITE_OK)
        return VELTRA_CATALOG_ERR_CORRUPT;
    int rc = sqlite3_step(counts.s);
    if (rc != SQLITE_ROW) return cat::map_sqlite(rc);
    if (sqlite3_column_double(counts.s, 3) != 0.0 || sqlite3_column_int64(counts.s, 0) > UINT32_MAX)
        return VELTRA_CATALOG_ERR_CORRUPT;
    set_facts(c, {static_cast<uint32_t>(sqlite3_column_int64(counts.s, 0)),
                  static_cast<uint32_t>(sqlite3_column_int64(counts.s, 1)),
                  static_cast<uint32_t>(sqlite3_column_int64(counts.s, 2))});
    /* The per-mood counts answer estimates: they must be the counts of the tracks themselves. */
    if (c->has_mood_counts &&
        (code = expect_zero(db,
             "WITH actual(level, mood, tracks) AS (SELECT 1, mood1, COUNT(*) FROM tracks GROUP BY mood1"
             " UNION ALL SELECT 2, mood2, COUNT(*) FROM tracks GROUP BY mood2)"
             " SELECT EXISTS (SELECT level, mood, tracks FROM mood_counts EXCEPT SELECT * FROM actual)"
             " OR EXISTS (SELECT * FROM actual EXCEPT SELECT level, mood, tracks FROM mood_counts)")))
        return code;
    return 0;
}

/* Opens the catalog's file: the shape always, the rows only when the user's record does not
 * say that this very file passed that check before. */
uint32_t load_catalog(veltra_catalog_s *c, sqlite3 *db) {
    if (uint32_t code = load_shape(c, db)) return code;
    struct stat st;
    bool known = stat(c->path.c_str(), &st) == 0 && st.st_dev == c->dev && st.st_ino == c->ino;
    cat::VerifiedFacts facts;
    if (known && cat::verified_lookup(c->path.c_str(), st, &facts)) {
        set_facts(c, facts);
        return 0;
    }
    int64_t started = cat::now_ns();
    if (uint32_t code = check_contents(c, db)) return code;
    struct stat after;
    if (known && stat(c->path.c_str(), &after) == 0 && after.st_dev == st.st_dev &&
        after.st_ino == st.st_ino && after.st_size == st.st_size &&
        after.st_mtim.tv_sec == st.st_mtim.tv_sec && after.st_mtim.tv_nsec == st.st_mtim.tv_nsec &&
        after.st_ctim.tv_sec == st.st_ctim.tv_sec && after.st_ctim.tv_nsec == st.st_ctim.tv_nsec)
        cat::verified_store(c->path.c_str(), st, started, {c->track_count, c->album_count, c->artist_count});
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
    case SQLITE_TOOBIG:
    case SQLITE_MISMATCH:
    case SQLITE_RANGE: return VELTRA_CATALOG_ERR_CORRUPT;
    case SQLITE_CANTOPEN: return VELTRA_CATALOG_ERR_NOT_FOUND;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return VELTRA_CATALOG_ERR_BUSY;
    case SQLITE_CONSTRAINT: return VELTRA_CATALOG_ERR_BAD_INPUT;
    default: return VELTRA_CATALOG_ERR_IO;
    }
}

bool valid_utf8(const char *s, size_t n, size_t *p_bad) {
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    size_t i = 0;
    while (i < n) {
        unsigned char c = u[i];
        size_t len = 0;
        uint32_t cp = 0, min = 0;
        if (c >= 0x01 && c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2, cp = c & 0x1F, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3, cp = c & 0x0F, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4, cp = c & 0x07, min = 0x10000;
        }
        bool ok = len && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            ok = (u[i + k] & 0xC0) == 0x80;
            cp = cp << 6 | (u[i + k] & 0x3F);
        }
        if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            if (p_bad) *p_bad = i;
            return false;
        }
        i += len;
    }
    return true;
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
        Connection conn(c, true);
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
    std::string sql = "SELECT t.title, t.artist, a.title, t.mood2, t.genre, t.origin, t.era, ";
    sql += c->version >= 2 ? "(SELECT m.path IS NOT NULL FROM media m WHERE m.track_id = t.id)" : "0";
    sql += " FROM tracks t JOIN albums a ON a.id = t.album_id WHERE t.ident = ?";
    int rc = sqlite3_prepare_v2(conn.db(), sql.c_str(), -1, &st.s, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_bind_text(st.s, 1, ident, -1, SQLITE_STATIC);
    if (rc == SQLITE_OK) rc = sqlite3_step(st.s);
    if (rc == SQLITE_DONE) return VELTRA_CATALOG_ERR_NOT_FOUND;
    if (rc != SQLITE_ROW) return cat::map_sqlite(rc);
    const char *texts[3];
    for (int i = 0; i < 3; ++i)
        if (!(texts[i] = column_utf8(st.s, i))) return VELTRA_CATALOG_ERR_CORRUPT;
    copy_text(p_track->title, sizeof p_track->title, texts[0]);
    copy_text(p_track->artist, sizeof p_track->artist, texts[1]);
    copy_text(p_track->album, sizeof p_track->album, texts[2]);
    p_track->mood = static_cast<uint32_t>(sqlite3_column_int64(st.s, 3));
    p_track->genre = static_cast<uint32_t>(sqlite3_column_int64(st.s, 4));
    p_track->origin = static_cast<uint32_t>(sqlite3_column_int64(st.s, 5));
    p_track->era = static_cast<uint32_t>(sqlite3_column_int64(st.s, 6));
    p_track->playable = sqlite3_column_int(st.s, 7) ? 1 : 0;
    return 0;
}

}  // extern "C"

namespace {

/* The media columns of a select over "tracks t LEFT JOIN media m": 17 columns, the defaults
 * of a track without a media row (and of every track of a version-1 file). */
std::string media_select(int version) {
    if (version < 2)
        return "NULL, 0, 0, 0, 0, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL";
    return "m.path, IFNULL(m.size, 0), IFNULL(m.mtime_ns, 0), IFNULL(m.placed_by, 0),"
           " IFNULL(m.model_version, 0), m.arousal, m.valence, m.duration_s, m.loudness_lufs,"
           " m.loudness_range_lu, m.tempo_bpm, m.onset_rate, m.centroid_hz, m.flux, m.rolloff_hz,"
           " m.mode, m.mode_strength";
}
const char *media_join(int version) {
    return version < 2 ? "" : " LEFT JOIN media m ON m.track_id = t.id";
}

double column_real(sqlite3_stmt *st, int col) {
    return sqlite3_column_type(st, col) == SQLITE_NULL ? NAN : sqlite3_column_double(st, col);
}

/* Reads the 17 media columns starting at `col`; the path points into the statement's row. */
bool read_media(sqlite3_stmt *st, int col, veltra_catalog_media_t *m) {
    if (sqlite3_column_type(st, col) == SQLITE_NULL) {
        m->path = nullptr;
    } else {
        m->path = reinterpret_cast<const char *>(sqlite3_column_text(st, col));
        if (!m->path || !*m->path ||
            strlen(m->path) != static_cast<size_t>(sqlite3_column_bytes(st, col)))
            return false;
    }
    int64_t size = sqlite3_column_int64(st, col + 1), placed = sqlite3_column_int64(st, col + 3);
    int64_t model = sqlite3_column_int64(st, col + 4);
    if (size < 0 || placed < 0 || placed >= VELTRA_CATALOG_PLACED_COUNT || model < 0 || model > UINT32_MAX)
        return false;
    m->size = static_cast<uint64_t>(size);
    m->mtime_ns = sqlite3_column_int64(st, col + 2);
    m->placed_by = static_cast<uint32_t>(placed);
    m->model_version = static_cast<uint32_t>(model);
    m->arousal = column_real(st, col + 5);
    m->valence = column_real(st, col + 6);
    veltra_catalog_features_t &f = m->features;
    double *out[] = {&f.duration_s, &f.loudness_lufs, &f.loudness_range_lu, &f.tempo_bpm,
                     &f.onset_rate, &f.centroid_hz, &f.flux, &f.rolloff_hz, &f.mode,
                     &f.mode_strength};
    for (int i = 0; i < 10; ++i) *out[i] = column_real(st, col + 7 + i);
    return true;
}

}  // namespace

extern "C" {

uint32_t veltra_catalog_enum_rows(const veltra_catalog_t *c, veltra_catalog_row_fn fn, void *data) {
    if (!c || !fn) return VELTRA_CATALOG_ERR_INVALID_ARG;
    Connection conn(const_cast<veltra_catalog_s *>(c));
    if (!conn.db()) return conn.error();
    std::string sql = "SELECT t.ident, a.ident, a.title, a.artist, t.title, t.artist, t.mood2,"
                      " t.genre, t.origin, t.era, " + media_select(c->version) +
                      " FROM tracks t JOIN albums a ON a.id = t.album_id" + media_join(c->version) +
                      " ORDER BY t.id";
    Statement st;
    int rc = sqlite3_prepare_v2(conn.db(), sql.c_str(), -1, &st.s, nullptr);
    if (rc != SQLITE_OK) return cat::map_sqlite(rc);
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
        veltra_catalog_row_t row{};
        const char **texts[] = {&row.ident, &row.album_ident, &row.album, &row.album_artist,
                                &row.title, &row.artist};
        for (int i = 0; i < 6; ++i)
            if (!(*texts[i] = column_utf8(st.s, i))) return VELTRA_CATALOG_ERR_CORRUPT;
        uint32_t *ids[] = {&row.mood, &row.genre, &row.origin, &row.era};
        for (int i = 0; i < 4; ++i) *ids[i] = static_cast<uint32_t>(sqlite3_column_int64(st.s, 6 + i));
        if (!read_media(st.s, 10, &row.media)) return VELTRA_CATALOG_ERR_CORRUPT;
        if (uint32_t code = fn(data, &row)) return code;
    }
    return rc == SQLITE_DONE ? 0 : cat::map_sqlite(rc);
}

uint32_t veltra_catalog_media_get(const veltra_catalog_t *c, const char *ident, char *path_buf,
                                  size_t path_buf_size, veltra_catalog_media_t *p_media) {
    if (!c || !ident || !path_buf || path_buf_size == 0) return VELTRA_CATALOG_ERR_INVALID_ARG;
    path_buf[0] = '\0';
    if (c->version < 2) {
        /* No media in this format: the ident decides between NOT_FOUND for both reasons. */
        return VELTRA_CATALOG_ERR_NOT_FOUND;
    }
    Connection conn(const_cast<veltra_catalog_s *>(c));
    if (!conn.db()) return conn.error();
    std::string sql = "SELECT " + media_select(c->version) + " FROM tracks t" + media_join(c->version) +
                      " WHERE t.ident = ?";
    Statement st;
    int rc = sqlite3_prepare_v2(conn.db(), sql.c_str(), -1, &st.s, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_bind_text(st.s, 1, ident, -1, SQLITE_STATIC);
    if (rc == SQLITE_OK) rc = sqlite3_step(st.s);
    if (rc == SQLITE_DONE) return VELTRA_CATALOG_ERR_NOT_FOUND;
    if (rc != SQLITE_ROW) return cat::map_sqlite(rc);
    veltra_catalog_media_t m{};
    if (!read_media(st.s, 0, &m)) return VELTRA_CATALOG_ERR_CORRUPT;
    if (!m.path) return VELTRA_CATALOG_ERR_NOT_FOUND;
    size_t n = strlen(m.path);
    if (n >= path_buf_size) return VELTRA_CATALOG_ERR_INVALID_ARG;
    memcpy(path_buf, m.path, n + 1);
    m.path = path_buf;
    if (p_media) *p_media = m;
    return 0;
}

uint32_t veltra_catalog_placement_counts(const veltra_catalog_t *c,
                                         uint32_t counts[VELTRA_CATALOG_PLACED_COUNT]) {
    if (!c || !counts) return VELTRA_CATALOG_ERR_INVALID_ARG;
    for (uint32_t i = 0; i < VELTRA_CATALOG_PLACED_COUNT; ++i) counts[i] = 0;
    if (c->version < 2) {
        counts[VELTRA_CATALOG_PLACED_IMPORT] = c->track_count;
        return 0;
    }
    Connection conn(const_cast<veltra_catalog_s *>(c));
    if (!conn.db()) return conn.error();
    Statement st;
    int rc = sqlite3_prepare_v2(conn.db(),
                                "SELECT placed_by, COUNT(*) FROM media GROUP BY placed_by", -1,
                                &st.s, nullptr);
    if (rc != SQLITE_OK) return cat::map_sqlite(rc);
    uint64_t placed = 0;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
        int64_t by = sqlite3_column_int64(st.s, 0), n = sqlite3_column_int64(st.s, 1);
        if (by < 0 || by >= VELTRA_CATALOG_PLACED_COUNT || n < 0 || n > c->track_count)
            return VELTRA_CATALOG_ERR_CORRUPT;
        counts[by] = static_cast<uint32_t>(n);
        placed += static_cast<uint64_t>(n);
    }
    if (rc != SQLITE_DONE) return cat::map_sqlite(rc);
    if (placed > c->track_count) return VELTRA_CATALOG_ERR_CORRUPT;
    /* Tracks without a media row were placed by import. */
    counts[VELTRA_CATALOG_PLACED_IMPORT] += c->track_count - static_cast<uint32_t>(placed);
    return 0;
}

}  // extern "C"
