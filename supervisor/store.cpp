// SQLite behind the configured flows (see store.h for the invariants).
//
// One table, keyed like the mirror: (slot, type, vsan, sid, did), the key in
// the library's stored form. WAL with synchronous=NORMAL makes each commit an
// append to the log without a sync: it survives the process being killed,
// which is what an answered change must survive. A database written before
// flows had an order, a name and a baseline gains those columns at open, its
// flows numbered in key order (the order a replay used then), and the audit
// table is created beside it. Audit ids come from AUTOINCREMENT and only the
// oldest rows are ever deleted, so the ids held are contiguous and the bound
// is kept by deleting the ids below the newest minus the bound.
#include "store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace supervisor {

namespace {

constexpr int kBusyTimeoutMs = 1000;

constexpr const char *kSchema = R"(
CREATE TABLE IF NOT EXISTS flows (
    slot   INTEGER NOT NULL,
    type   INTEGER NOT NULL,
    vsan   INTEGER NOT NULL,
    sid    INTEGER NOT NULL,
    did    INTEGER NOT NULL,
    status TEXT    NOT NULL DEFAULT 'pending',
    code   INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (slot, type, vsan, sid, did)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS audit (
    id      INTEGER PRIMARY KEY AUTOINCREMENT,
    time_ms INTEGER NOT NULL,
    who     TEXT    NOT NULL,
    method  TEXT    NOT NULL,
    what    TEXT    NOT NULL,
    code    INTEGER NOT NULL DEFAULT 0,
    message TEXT    NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS audit_time ON audit (time_ms);
)";

// Columns added since the first schema, with their definitions.
constexpr std::pair<const char *, const char *> kAddedColumns[] = {
    {"seq", "INTEGER NOT NULL DEFAULT 0"},
    {"name", "TEXT NOT NULL DEFAULT ''"},
    {"base_frames", "INTEGER"},
    {"base_bytes", "INTEGER"},
    {"base_boot", "INTEGER"},
};

std::string sqlite_error(sqlite3 *db, std::string_view what) {
    return std::string(what) + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
}

// Whether a key read back from the database is one add() could have stored.
bool stored_form(uint32_t slot, const model::FlowKey &key) {
    return slot >= card_protocol::kMinSlot && slot <= card_protocol::kMaxSlot &&
           model::is_stored_form(key);
}

void bind_key(sqlite3_stmt *stmt, uint32_t slot, const model::FlowKey &key, int first) {
    sqlite3_bind_int64(stmt, first, slot);
    sqlite3_bind_int64(stmt, first + 1, static_cast<int64_t>(key.type));
    sqlite3_bind_int64(stmt, first + 2, key.vsan);
    sqlite3_bind_int64(stmt, first + 3, key.sid);
    sqlite3_bind_int64(stmt, first + 4, key.did);
}

// Runs a prepared statement that returns no rows, and resets it for reuse.
bool run(sqlite3 *db, sqlite3_stmt *stmt, std::string_view what, std::string *error) {
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (rc != SQLITE_DONE) {
        *error = sqlite_error(db, what);
        return false;
    }
    return true;
}

} // namespace

namespace {

// "" and ":memory:" name no file: SQLite would keep the flows in memory.
bool names_a_file(const std::string &path, std::string *error) {
    if (path.empty() || path == ":memory:") {
        *error = "the database must be a file: '" + path + "' would keep nothing across a restart";
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<DatabaseLock> DatabaseLock::take(const std::string &path, std::string *error) {
    if (!names_a_file(path, error)) {
        return nullptr;
    }
    const std::string lock_path = path + ".lock";
    const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open " + lock_path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        char pid[32] = {};
        const ssize_t n = pread(fd, pid, sizeof pid - 1, 0);
        pid[n > 0 ? n : 0] = '\0';
        ::close(fd);
        *error = err == EWOULDBLOCK
                     ? "database " + path + " is in use by another supervisor (pid " +
                           std::string(pid[0] != '\0' ? pid : "unknown") + ", lock " + lock_path +
                           ")"
                     : "cannot lock " + lock_path + ": " + std::strerror(err);
        return nullptr;
    }
    const std::string text = std::to_string(getpid());
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) < 0) {
        // The lock holds without the pid; only the refusal's text misses it.
    }
    return std::unique_ptr<DatabaseLock>(new DatabaseLock(fd));
}

DatabaseLock::~DatabaseLock() {
    ::close(fd_);
}

std::unique_ptr<Store> Store::open(const std::string &path, std::string *error) {
    if (!names_a_file(path, error)) {
        return nullptr;
    }
    std::unique_ptr<Store> store(new Store());
    if (sqlite3_open_v2(path.c_str(), &store->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        *error = sqlite_error(store->db_, "open " + path);
        return nullptr;
    }
    sqlite3_busy_timeout(store->db_, kBusyTimeoutMs);
    char *message = nullptr;
    const std::string setup =
        std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") + kSchema;
    if (sqlite3_exec(store->db_, setup.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        *error = "set up " + path + ": " + (message != nullptr ? message : "unknown error");
        sqlite3_free(message);
        return nullptr;
    }
    // A database we cannot write would refuse every change later: say so
    // now. SQLite opens a file it may not write read-only, without a word.
    if (sqlite3_db_readonly(store->db_, "main") != 0) {
        *error = path + " is read-only to this process";
        return nullptr;
    }
    if (!store->migrate(error) || !store->prepare(error) || !store->load(error)) {
        return nullptr;
    }
    return store;
}

Store::~Store() {
    for (sqlite3_stmt *stmt : {insert_, delete_, update_, rename_, baseline_, audit_insert_,
                               audit_trim_, audit_select_, begin_, commit_, rollback_}) {
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db_);
}

bool Store::migrate(std::string *error) {
    std::set<std::string> columns;
    sqlite3_stmt *info = nullptr;
    if (sqlite3_prepare_v2(db_, "PRAGMA table_info(flows)", -1, &info, nullptr) != SQLITE_OK) {
        *error = sqlite_error(db_, "read the schema");
        return false;
    }
    while (sqlite3_step(info) == SQLITE_ROW) {
        const auto *name = reinterpret_cast<const char *>(sqlite3_column_text(info, 1));
        columns.insert(name != nullptr ? name : "");
    }
    sqlite3_finalize(info);
    std::string alter;
    for (const auto &[name, definition] : kAddedColumns) {
        if (!columns.contains(name)) {
            alter += std::string("ALTER TABLE flows ADD COLUMN ") + name + " " + definition + ";";
        }
    }
    char *message = nullptr;
    if (!alter.empty() && sqlite3_exec(db_, ("BEGIN;" + alter + "COMMIT;").c_str(), nullptr,
                                       nullptr, &message) != SQLITE_OK) {
        *error = std::string("add columns: ") + (message != nullptr ? message : "unknown error");
        sqlite3_free(message);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

bool Store::prepare(std::string *error) {
    const std::pair<sqlite3_stmt **, const char *> statements[] = {
        {&insert_, "INSERT INTO flows (slot, type, vsan, sid, did, name, seq) VALUES (?, ?, ?, "
                   "?, ?, ?, ?)"},
        {&delete_, "DELETE FROM flows WHERE slot = ? AND type = ? AND vsan = ? AND sid = ? "
                   "AND did = ?"},
        {&update_, "UPDATE flows SET status = ?, code = ? WHERE slot = ? AND type = ? AND "
                   "vsan = ? AND sid = ? AND did = ?"},
        {&rename_, "UPDATE flows SET name = ? WHERE slot = ? AND type = ? AND vsan = ? AND "
                   "sid = ? AND did = ?"},
        {&baseline_, "UPDATE flows SET base_frames = ?, base_bytes = ?, base_boot = ? WHERE "
                     "slot = ? AND type = ? AND vsan = ? AND sid = ? AND did = ?"},
        {&audit_insert_, "INSERT INTO audit (time_ms, who, method, what, code, message) VALUES "
                         "(?, ?, ?, ?, ?, ?)"},
        {&audit_trim_, "DELETE FROM audit WHERE id <= (SELECT MAX(id) FROM audit) - ?"},
        {&audit_select_, "SELECT id, time_ms, who, method, what, code, message FROM (SELECT * "
                         "FROM audit WHERE time_ms >= ? ORDER BY id DESC LIMIT ?) ORDER BY id"},
        {&begin_, "BEGIN"},
        {&commit_, "COMMIT"},
        {&rollback_, "ROLLBACK"},
    };
    for (const auto &[stmt, sql] : statements) {
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr) !=
            SQLITE_OK) {
            *error = sqlite_error(db_, "prepare");
            return false;
        }
    }
    return true;
}

bool Store::load(std::string *error) {
    sqlite3_stmt *select = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT slot, type, vsan, sid, did, status, code, seq, name, "
                           "base_frames, base_bytes, base_boot FROM flows",
                           -1, &select, nullptr) != SQLITE_OK) {
        *error = sqlite_error(db_, "read flows");
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
        const auto column = [select](int i) { return sqlite3_column_int64(select, i); };
        const int64_t slot = column(0);
        const int64_t type = column(1);
        const auto *status_text = reinterpret_cast<const char *>(sqlite3_column_text(select, 5));
        const auto status = parse_flow_status(status_text != nullptr ? status_text : "");
        const model::FlowKey key{static_cast<model::FlowType>(type),
                                 static_cast<uint32_t>(column(2)), static_cast<uint32_t>(column(3)),
                                 static_cast<uint32_t>(column(4))};
        const bool key_ok = slot >= 0 && slot <= card_protocol::kMaxSlot && type >= 1 &&
                            type <= 3 && column(2) >= 0 && column(3) >= 0 && column(4) >= 0 &&
                            stored_form(static_cast<uint32_t>(slot), key);
        if (!key_ok || !status || column(6) < 0 || column(6) > UINT32_MAX) {
            *error = "read flows: a row is not a flow this program stores (slot " +
                     std::to_string(slot) + ")";
            sqlite3_finalize(select);
            return false;
        }
        ConfiguredFlow &flow = flows_[static_cast<size_t>(slot)][key];
        flow.status = *status;
        flow.code = static_cast<uint32_t>(column(6));
        flow.seq = static_cast<uint64_t>(std::max<int64_t>(column(7), 0));
        const auto *name = reinterpret_cast<const char *>(sqlite3_column_text(select, 8));
        flow.name = name != nullptr ? name : "";
        if (sqlite3_column_type(select, 9) != SQLITE_NULL) {
            flow.baseline =
                Baseline{static_cast<uint64_t>(column(9)), static_cast<uint64_t>(column(10)),
                         static_cast<uint64_t>(column(11))};
        }
        next_seq_ = std::max(next_seq_, flow.seq + 1);
    }
    sqlite3_finalize(select);
    if (rc != SQLITE_DONE) {
        *error = sqlite_error(db_, "read flows");
        return false;
    }
    return number_unordered(error);
}

// Rows from before the order was kept (seq 0) are numbered after the others,
// in key order: the order a replay sent them in then.
bool Store::number_unordered(std::string *error) {
    std::vector<std::pair<uint32_t, model::FlowKey>> unordered;
    for (uint32_t slot = card_protocol::kMinSlot; slot <= card_protocol::kMaxSlot; ++slot) {
        for (const auto &[key, flow] : flows_[slot]) {
            if (flow.seq == 0) {
                unordered.emplace_back(slot, key);
            }
        }
    }
    if (unordered.empty()) {
        return true;
    }
    sqlite3_stmt *number = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "UPDATE flows SET seq = ? WHERE slot = ? AND type = ? AND vsan = ? "
                           "AND sid = ? AND did = ?",
                           -1, &number, nullptr) != SQLITE_OK) {
        *error = sqlite_error(db_, "number flows");
        return false;
    }
    uint64_t seq = next_seq_;
    const bool ok = transaction("number flows", error, [&] {
        for (const auto &[slot, key] : unordered) {
            sqlite3_bind_int64(number, 1, static_cast<int64_t>(seq++));
            bind_key(number, slot, key, 2);
            if (!run(db_, number, "number flows", error)) {
                return false;
            }
        }
        return true;
    });
    sqlite3_finalize(number);
    if (!ok) {
        return false;
    }
    for (const auto &[slot, key] : unordered) {
        flows_[slot][key].seq = next_seq_++;
    }
    return true;
}

template <class Body>
bool Store::transaction(std::string_view what, std::string *error, const Body &body) {
    if (!run(db_, begin_, std::string("begin ") + std::string(what), error)) {
        return false;
    }
    if (!body()) {
        std::string ignored;
        run(db_, rollback_, "rollback", &ignored);
        return false;
    }
    const auto started = std::chrono::steady_clock::now();
    if (!run(db_, commit_, std::string("commit ") + std::string(what), error)) {
        std::string ignored;
        run(db_, rollback_, "rollback", &ignored);
        return false;
    }
    if (on_commit_) {
        on_commit_(std::chrono::steady_clock::now() - started);
    }
    return true;
}

bool Store::insert_row(uint32_t slot, const model::FlowKey &key, std::string_view name,
                       uint64_t seq, std::string *error) {
    bind_key(insert_, slot, key, 1);
    // A null pointer would bind NULL, not "".
    sqlite3_bind_text(insert_, 6, name.empty() ? "" : name.data(), static_cast<int>(name.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert_, 7, static_cast<int64_t>(seq));
    return run(db_, insert_, "insert flow", error);
}

bool Store::add(uint32_t slot, const model::FlowKey &key, bool *added, std::string *error,
                std::string_view name) {
    *added = false;
    if (slot < card_protocol::kMinSlot || slot > card_protocol::kMaxSlot) {
        *error = "slot out of range";
        return false;
    }
    SlotFlows &slot_flows = flows_[slot];
    if (slot_flows.contains(key)) {
        return true;
    }
    if (slot_flows.size() >= kMaxFlowsPerSlot) {
        *error = "slot " + std::to_string(slot) + " already has " +
                 std::to_string(kMaxFlowsPerSlot) + " flows configured";
        return false;
    }
    if (!insert_row(slot, key, name, next_seq_, error)) {
        return false;
    }
    ConfiguredFlow &flow = slot_flows[key];
    flow.seq = next_seq_++;
    flow.name = name;
    *added = true;
    return true;
}

bool Store::apply(const std::vector<FlowChange> &changes, std::string *error) {
    using Kind = FlowChange::Kind;
    uint64_t seq = next_seq_;
    const bool ok = transaction("apply", error, [&] {
        for (const FlowChange &change : changes) {
            bool done = false;
            switch (change.kind) {
            case Kind::Add:
                done = insert_row(change.slot, change.key, change.name, seq++, error);
                break;
            case Kind::Remove:
                bind_key(delete_, change.slot, change.key, 1);
                done = run(db_, delete_, "delete flow", error);
                break;
            case Kind::Rename:
                sqlite3_bind_text(rename_, 1, change.name.c_str(),
                                  static_cast<int>(change.name.size()), SQLITE_TRANSIENT);
                bind_key(rename_, change.slot, change.key, 2);
                done = run(db_, rename_, "rename flow", error);
                break;
            }
            if (!done) {
                return false;
            }
        }
        return true;
    });
    if (!ok) {
        return false;
    }
    for (const FlowChange &change : changes) {
        SlotFlows &slot_flows = flows_[change.slot];
        switch (change.kind) {
        case Kind::Add: {
            ConfiguredFlow &flow = slot_flows[change.key];
            flow.seq = next_seq_++;
            flow.name = change.name;
            break;
        }
        case Kind::Remove:
            slot_flows.erase(change.key);
            dirty_.erase({change.slot, change.key});
            break;
        case Kind::Rename:
            slot_flows[change.key].name = change.name;
            break;
        }
    }
    return true;
}

bool Store::set_baselines(uint32_t slot, const std::vector<BaselineUpdate> &updates,
                          std::string *error) {
    if (slot >= flows_.size()) {
        return true;
    }
    const bool ok = transaction("baselines", error, [&] {
        for (const auto &[key, baseline] : updates) {
            if (!flows_[slot].contains(key)) {
                continue;
            }
            if (baseline) {
                sqlite3_bind_int64(baseline_, 1, static_cast<int64_t>(baseline->frames));
                sqlite3_bind_int64(baseline_, 2, static_cast<int64_t>(baseline->bytes));
                sqlite3_bind_int64(baseline_, 3, static_cast<int64_t>(baseline->boot_id));
            } // unbound parameters are NULL
            bind_key(baseline_, slot, key, 4);
            if (!run(db_, baseline_, "set baseline", error)) {
                return false;
            }
        }
        return true;
    });
    if (!ok) {
        return false;
    }
    for (const auto &[key, baseline] : updates) {
        const auto it = flows_[slot].find(key);
        if (it != flows_[slot].end()) {
            it->second.baseline = baseline;
        }
    }
    return true;
}

std::vector<model::FlowKey> Store::in_first_order(uint32_t slot) const {
    std::vector<std::pair<uint64_t, model::FlowKey>> ordered;
    for (const auto &[key, flow] : flows(slot)) {
        ordered.emplace_back(flow.seq, key);
    }
    std::sort(ordered.begin(), ordered.end());
    std::vector<model::FlowKey> keys;
    keys.reserve(ordered.size());
    for (const auto &entry : ordered) {
        keys.push_back(entry.second);
    }
    return keys;
}

bool Store::remove(uint32_t slot, const model::FlowKey &key, bool *removed, std::string *error) {
    *removed = false;
    if (slot < card_protocol::kMinSlot || slot > card_protocol::kMaxSlot) {
        *error = "slot out of range";
        return false;
    }
    SlotFlows &slot_flows = flows_[slot];
    const auto it = slot_flows.find(key);
    if (it == slot_flows.end()) {
        return true;
    }
    bind_key(delete_, slot, key, 1);
    if (!run(db_, delete_, "delete flow", error)) {
        return false;
    }
    slot_flows.erase(it);
    dirty_.erase({slot, key});
    *removed = true;
    return true;
}

const SlotFlows &Store::flows(uint32_t slot) const {
    static const SlotFlows none;
    return slot < flows_.size() ? flows_[slot] : none;
}

const ConfiguredFlow *Store::find(uint32_t slot, const model::FlowKey &key) const {
    const SlotFlows &slot_flows = flows(slot);
    const auto it = slot_flows.find(key);
    return it != slot_flows.end() ? &it->second : nullptr;
}

std::vector<uint32_t> Store::slots() const {
    std::vector<uint32_t> result;
    for (uint32_t slot = card_protocol::kMinSlot; slot <= card_protocol::kMaxSlot; ++slot) {
        if (!flows_[slot].empty()) {
            result.push_back(slot);
        }
    }
    return result;
}

void Store::set_status(uint32_t slot, const model::FlowKey &key, FlowState state) {
    if (slot >= flows_.size()) {
        return;
    }
    const auto it = flows_[slot].find(key);
    if (it == flows_[slot].end()) {
        return;
    }
    FlowState &current = it->second;
    if (current == state) {
        return;
    }
    const bool was_clean = dirty_.empty();
    const auto [waiting, first_change] = dirty_.try_emplace({slot, key}, current);
    current = state;
    if (!first_change && waiting->second == state) {
        dirty_.erase(waiting); // back to what the database holds
        return;
    }
    if (was_clean && on_dirty_) {
        on_dirty_();
    }
}

bool Store::flush(std::string *error) {
    if (dirty_.empty()) {
        return true;
    }
    const bool ok = transaction("status batch", error, [&] {
        for (const auto &waiting : dirty_) {
            const auto &[slot, key] = waiting.first;
            const ConfiguredFlow *state = find(slot, key);
            if (state == nullptr) {
                continue;
            }
            sqlite3_bind_text(update_, 1, status_name(state->status), -1, SQLITE_STATIC);
            sqlite3_bind_int64(update_, 2, state->code);
            bind_key(update_, slot, key, 3);
            if (!run(db_, update_, "update status", error)) {
                return false;
            }
        }
        return true;
    });
    if (!ok) {
        return false;
    }
    dirty_.clear();
    return true;
}

bool Store::audit(const api::AuditEntry &entry, std::string *error) {
    const auto text = [this](int index, const std::string &value) {
        sqlite3_bind_text(audit_insert_, index, value.c_str(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
    };
    return transaction("audit", error, [&] {
        sqlite3_bind_int64(audit_insert_, 1, static_cast<int64_t>(entry.time_ms));
        text(2, entry.who);
        text(3, entry.method);
        text(4, entry.what);
        sqlite3_bind_int64(audit_insert_, 5, entry.ok ? 0 : entry.code);
        text(6, entry.ok ? std::string() : entry.message);
        if (!run(db_, audit_insert_, "insert audit entry", error)) {
            return false;
        }
        sqlite3_bind_int64(audit_trim_, 1, static_cast<int64_t>(audit_limit_));
        return run(db_, audit_trim_, "trim the audit trail", error);
    });
}

std::vector<api::AuditEntry> Store::audit_since(uint64_t since_ms, uint32_t limit,
                                                std::string *error) {
    std::vector<api::AuditEntry> entries;
    sqlite3_bind_int64(audit_select_, 1,
                       static_cast<int64_t>(std::min<uint64_t>(since_ms, INT64_MAX)));
    sqlite3_bind_int64(audit_select_, 2, limit);
    const auto text = [this](int column) {
        const auto *value =
            reinterpret_cast<const char *>(sqlite3_column_text(audit_select_, column));
        return std::string(value != nullptr ? value : "");
    };
    int rc;
    while ((rc = sqlite3_step(audit_select_)) == SQLITE_ROW) {
        api::AuditEntry e;
        e.id = static_cast<uint64_t>(sqlite3_column_int64(audit_select_, 0));
        e.time_ms = static_cast<uint64_t>(sqlite3_column_int64(audit_select_, 1));
        e.who = text(2);
        e.method = text(3);
        e.what = text(4);
        e.code = static_cast<int>(sqlite3_column_int64(audit_select_, 5));
        e.ok = e.code == 0;
        e.message = text(6);
        entries.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) {
        *error = sqlite_error(db_, "read the audit trail");
    }
    sqlite3_reset(audit_select_);
    return entries;
}

} // namespace supervisor
