// The configured flows of every slot: the desired state, kept in SQLite and
// mirrored in memory, with each flow's last status as its card reported it.
//
// Invariants:
//  - the memory mirror holds exactly the rows of the database, statuses aside;
//  - add() and remove() change the desired state in one committed transaction
//    before they return true, and change the mirror only then: an answer sent
//    after them survives a kill of the process;
//  - set_status() changes the mirror at once and the database at the next
//    flush(), all pending statuses in one transaction: they are what the
//    cards said last and are worth no synchronous write;
//  - statuses waiting for a flush are named by key and read from the mirror
//    when flushed, so a flow removed (or removed and added again) meanwhile
//    never gets a stale status written;
//  - a status that returns to what the database holds waits for no flush (a
//    replayed card's flows go pending and back to applied: nothing to write);
//  - the audit trail keeps at most audit_limit entries, the newest: each
//    insert drops the oldest past the bound in the same transaction.
#ifndef SUPERVISOR_STORE_H
#define SUPERVISOR_STORE_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "baseline.h"
#include "card_protocol.h"
#include "flow_key.h"
#include "schema.h"
#include "states.h"

struct sqlite3;
struct sqlite3_stmt;

namespace supervisor {

using model::FlowStatus;
using model::parse_flow_status;
using model::status_name;

struct FlowState {
    FlowStatus status = FlowStatus::Pending;
    uint32_t code = 0; // the card's refusal; 0 otherwise
    bool operator==(const FlowState &) const = default;
};

// A configured flow: its last status, and what the operator gave it.
struct ConfiguredFlow : FlowState {
    // The order of first configuration: a replay sends flows that held
    // counters first, in this order, so a restart keeps the same set counted.
    uint64_t seq = 0;
    std::string name; // "" for none
    std::optional<Baseline> baseline;
};

using SlotFlows = std::map<model::FlowKey, ConfiguredFlow>;

// One change of a flow.apply, committed with the others in one transaction.
struct FlowChange {
    enum class Kind { Add, Remove, Rename };
    Kind kind = Kind::Add;
    uint32_t slot = 0;
    model::FlowKey key;
    std::string name; // Add, Rename
};

using model::kMaxFlowsPerSlot;

// A database held exclusively by one supervisor: an flock() on PATH.lock,
// which the kernel releases when the process ends, however it ends. Our pid
// is written in the file, so that a refused supervisor can name the holder.
class DatabaseLock {
public:
    // nullptr with *error set when another process holds it.
    static std::unique_ptr<DatabaseLock> take(const std::string &db_path, std::string *error);
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock &) = delete;
    DatabaseLock &operator=(const DatabaseLock &) = delete;

private:
    explicit DatabaseLock(int fd) : fd_(fd) {}
    int fd_;
};

class Store {
public:
    // Opens (creating if need be) the database; nullptr with *error set.
    // A path that is no file ("", ":memory:") and a database this process
    // cannot write are refused: either would lose every acknowledged change
    // at the next start.
    static std::unique_ptr<Store> open(const std::string &path, std::string *error);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Configures a flow (status pending), last in the order of first
    // configuration. *added false when it already was: nothing is written
    // then. False with *error when the database refused.
    bool add(uint32_t slot, const model::FlowKey &key, bool *added, std::string *error,
             std::string_view name = {});
    // Unconfigures a flow. *removed false when it was not configured.
    bool remove(uint32_t slot, const model::FlowKey &key, bool *removed, std::string *error);

    // Every change in one transaction, in the order given (adds take their
    // order of first configuration from it): all of them or, with false and
    // *error, none. Each must be possible (an add of a flow not configured,
    // a remove or rename of one that is) and the slots' bound kept: the
    // caller planned them against flows().
    bool apply(const std::vector<FlowChange> &changes, std::string *error);

    // Sets (or, nullopt, drops) the baselines of configured flows in one
    // transaction; flows no longer configured are skipped.
    using BaselineUpdate = std::pair<model::FlowKey, std::optional<Baseline>>;
    bool set_baselines(uint32_t slot, const std::vector<BaselineUpdate> &updates,
                       std::string *error);

    // Slot 1..64; an empty map for any other.
    const SlotFlows &flows(uint32_t slot) const;
    const ConfiguredFlow *find(uint32_t slot, const model::FlowKey &key) const;
    // A slot's flows in their order of first configuration.
    std::vector<model::FlowKey> in_first_order(uint32_t slot) const;
    // Slots with at least one flow configured, ascending.
    std::vector<uint32_t> slots() const;

    // Records a card's answer for a configured flow; ignored for any other.
    void set_status(uint32_t slot, const model::FlowKey &key, FlowState state);
    // Writes every recorded status in one transaction. On failure they stay
    // recorded for the next try.
    bool flush(std::string *error);
    size_t unflushed() const { return dirty_.size(); }
    // Appends an entry to the audit trail (its id is assigned), dropping the
    // oldest past the bound.
    bool audit(const api::AuditEntry &entry, std::string *error);
    // Entries at or after since_ms, oldest first; of more than limit, the
    // newest limit.
    std::vector<api::AuditEntry> audit_since(uint64_t since_ms, uint32_t limit, std::string *error);
    void set_audit_limit(uint64_t limit) { audit_limit_ = limit; }

    // Called when a status is recorded while none was waiting: the owner
    // schedules a flush.
    void on_dirty(std::function<void()> callback) { on_dirty_ = std::move(callback); }
    // Called with how long each successful commit took.
    void on_commit(std::function<void(std::chrono::steady_clock::duration)> callback) {
        on_commit_ = std::move(callback);
    }

private:
    Store() = default;
    bool prepare(std::string *error);
    bool migrate(std::string *error);
    bool load(std::string *error);
    bool number_unordered(std::string *error);
    // Runs body inside BEGIN..COMMIT; rolls back when body or the commit fails.
    template <class Body>
    bool transaction(std::string_view what, std::string *error, const Body &body);
    bool insert_row(uint32_t slot, const model::FlowKey &key, std::string_view name, uint64_t seq,
                    std::string *error);

    sqlite3 *db_ = nullptr;
    sqlite3_stmt *insert_ = nullptr;
    sqlite3_stmt *delete_ = nullptr;
    sqlite3_stmt *update_ = nullptr;
    sqlite3_stmt *rename_ = nullptr;
    sqlite3_stmt *baseline_ = nullptr;
    sqlite3_stmt *audit_insert_ = nullptr;
    sqlite3_stmt *audit_trim_ = nullptr;
    sqlite3_stmt *audit_select_ = nullptr;
    uint64_t audit_limit_ = 100000;
    sqlite3_stmt *begin_ = nullptr;
    sqlite3_stmt *commit_ = nullptr;
    sqlite3_stmt *rollback_ = nullptr;
    std::array<SlotFlows, card_protocol::kMaxSlot + 1> flows_{};
    uint64_t next_seq_ = 1;
    // Statuses waiting for a flush, each with the one the database holds.
    std::map<std::pair<uint32_t, model::FlowKey>, FlowState> dirty_;
    std::function<void()> on_dirty_;
    std::function<void(std::chrono::steady_clock::duration)> on_commit_;
};

} // namespace supervisor

#endif // SUPERVISOR_STORE_H
