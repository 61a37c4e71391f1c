// SQLite behind the configured flows (see store.h for the invariants).
//
// One table, keyed like the mirror: (slot, type, vsan, sid, did), the key in
// the library's stored form. WAL with synchronous=NORMAL makes each commit an
// append to the log without a sync: it survives the process being killed,
// which is what an answered change must survive.
#include "store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

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
)";

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
    if (!store->prepare(error) || !store->load(error)) {
        return nullptr;
    }
    return store;
}

Store::~Store() {
    for (sqlite3_stmt *stmt : {insert_, delete_, update_, begin_, commit_, rollback_}) {
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db_);
}

bool Store::prepare(std::string *error) {
    const std::pair<sqlite3_stmt **, const char *> statements[] = {
        {&insert_, "INSERT INTO flows (slot, type, vsan, sid, did) VALUES (?, ?, ?, ?, ?)"},
        {&delete_, "DELETE FROM flows WHERE slot = ? AND type = ? AND vsan = ? AND sid = ? "
                   "AND did = ?"},
        {&update_, "UPDATE flows SET status = ?, code = ? WHERE slot = ? AND type = ? AND "
                   "vsan = ? AND sid = ? AND did = ?"},
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
    if (sqlite3_prepare_v2(db_, "SELECT slot, type, vsan, sid, did, status, code FROM flows", -1,
                           &select, nullptr) != SQLITE_OK) {
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
        flows_[static_cast<size_t>(slot)][key] = {*status, static_cast<uint32_t>(column(6))};
    }
    sqlite3_finalize(select);
    if (rc != SQLITE_DONE) {
        *error = sqlite_error(db_, "read flows");
        return false;
    }
    return true;
}

bool Store::add(uint32_t slot, const model::FlowKey &key, bool *added, std::string *error) {
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
    bind_key(insert_, slot, key, 1);
    if (!run(db_, insert_, "insert flow", error)) {
        return false;
    }
    slot_flows.emplace(key, FlowState{});
    *added = true;
    return true;
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

const FlowState *Store::find(uint32_t slot, const model::FlowKey &key) const {
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
    if (it == flows_[slot].end() || it->second == state) {
        return;
    }
    const bool was_clean = dirty_.empty();
    const auto [waiting, first_change] = dirty_.try_emplace({slot, key}, it->second);
    it->second = state;
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
    if (!run(db_, begin_, "begin status batch", error)) {
        return false;
    }
    for (const auto &waiting : dirty_) {
        const auto &[slot, key] = waiting.first;
        const FlowState *state = find(slot, key);
        if (state == nullptr) {
            continue;
        }
        sqlite3_bind_text(update_, 1, status_name(state->status), -1, SQLITE_STATIC);
        sqlite3_bind_int64(update_, 2, state->code);
        bind_key(update_, slot, key, 3);
        if (!run(db_, update_, "update status", error)) {
            std::string ignored;
            run(db_, rollback_, "rollback", &ignored);
            return false;
        }
    }
    if (!run(db_, commit_, "commit status batch", error)) {
        std::string ignored;
        run(db_, rollback_, "rollback", &ignored);
        return false;
    }
    dirty_.clear();
    return true;
}

} // namespace supervisor
