// flow.apply and flow.export (see apply.h): the plan's glue to the store, the
// cards and the client.
#include "apply.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "acl_tcam_flow_stats.h"
#include "apply_plan.h"
#include "flow_set.h"
#include "log.h"
#include "status.h"

namespace supervisor {

namespace {

using Clock = std::chrono::steady_clock;
using Kind = FlowChange::Kind;

// Test-only: FLOW_SUPERVISOR_TEST_STOP=before-commit|after-commit stops the
// process there (SIGSTOP), so that a test can kill it at that very point.
void test_stop(const char *point) {
    const char *stop = std::getenv("FLOW_SUPERVISOR_TEST_STOP");
    if (stop != nullptr && std::strcmp(stop, point) == 0) {
        std::raise(SIGSTOP);
    }
}

std::optional<size_t> card_counters(Services &services, uint32_t slot) {
    const auto hello = services.cards.hello(slot);
    if (!hello || hello->table_size <= hello->first_counter) {
        return std::nullopt;
    }
    return hello->table_size - hello->first_counter;
}

// The changes of one slot being sent, removes first (they free counters).
struct SlotRun {
    uint32_t slot = 0;
    std::vector<FlowChange> changes;
    size_t next = 0, in_flight = 0;
};

class ApplyRun : public std::enable_shared_from_this<ApplyRun> {
public:
    ApplyRun(Services &services, api::ApplyResult result, bool progress, Respond respond)
        : services_(services), result_(std::move(result)), progress_(progress),
          respond_(std::move(respond)) {}

    void add_pending(size_t n) { result_.pending += n; }

    void add_slot(SlotRun run) {
        total_ += run.changes.size();
        runs_.push_back(std::move(run));
    }

    void start() {
        for (size_t i = 0; i < runs_.size(); ++i) {
            pump(i);
        }
        finish_if_done();
    }

private:
    void pump(size_t index) {
        SlotRun &run = runs_[index];
        const size_t window = services_.cards.replay_window();
        while (run.in_flight < window && run.next < run.changes.size()) {
            const FlowChange &change = run.changes[run.next++];
            ++run.in_flight;
            const int32_t msg =
                change.kind == Kind::Add ? ACL_TCAM_FS_MSG_SET : ACL_TCAM_FS_MSG_DEL;
            services_.cards.flow_request(
                run.slot, msg, change.key,
                [self = shared_from_this(), index, msg](Outcome<model::FlowReply> outcome) {
                    self->answered(index, msg, outcome);
                });
        }
    }

    void answered(size_t index, int32_t msg, const Outcome<model::FlowReply> &outcome) {
        --runs_[index].in_flight;
        ++done_;
        if (!outcome.ok()) {
            ++result_.pending; // the card went or did not answer: not known yet
        } else if (msg == ACL_TCAM_FS_MSG_SET ? model::add_took(outcome->status)
                                              : outcome->status == 0) {
            ++result_.applied;
        } else {
            ++result_.refused[model::status_name(outcome->status)];
        }
        pump(index);
        notify();
        finish_if_done();
    }

    void notify() {
        const Clock::time_point now = Clock::now();
        if (progress_ && done_ < total_ && now - last_notice_ >= kProgressEvery) {
            last_notice_ = now;
            respond_(Notice{api::kApplyProgress, api::to_json(api::ApplyProgress{done_, total_})});
        }
    }

    void finish_if_done() {
        if (finished_ || done_ < total_) {
            return;
        }
        finished_ = true;
        std::string refused;
        for (const auto &[name, count] : result_.refused) {
            refused += ", " + std::to_string(count) + " refused " + name;
        }
        log("apply: " + std::to_string(result_.added) + " added, " +
            std::to_string(result_.removed) + " removed, " + std::to_string(result_.renamed) +
            " renamed, " + std::to_string(result_.unchanged) + " unchanged; sent " +
            std::to_string(total_) + ": " + std::to_string(result_.applied) + " applied, " +
            std::to_string(result_.pending) + " pending" + refused);
        respond_(api::to_json(result_));
    }

    Services &services_;
    api::ApplyResult result_;
    bool progress_;
    Respond respond_;
    std::vector<SlotRun> runs_;
    uint64_t total_ = 0, done_ = 0;
    Clock::time_point last_notice_{};
    bool finished_ = false;
};

} // namespace

void flow_apply(Services &services, const api::ApplyParams &params, Respond respond) {
    auto entries = model::parse_flow_set(params.flows);
    if (const model::Error *error = model::failed(entries)) {
        respond(*error);
        return;
    }
    const auto configured = [&services](uint32_t slot) -> const SlotFlows & {
        return services.store.flows(slot);
    };
    auto plan = plan_apply(*entries, params.slots, params.prune, configured);
    if (const model::Error *error = model::failed(plan)) {
        respond(*error);
        return;
    }
    api::ApplyResult result;
    result.dry_run = params.dry_run;
    result.added = plan->added;
    result.removed = plan->removed;
    result.renamed = plan->renamed;
    result.unchanged = plan->unchanged;
    result.skipped = plan->skipped;
    result.changes = std::move(plan->diff);
    static const std::vector<FlowChange> kNone;
    for (const uint32_t slot : plan->slots) {
        const auto sent = plan->sent.find(slot);
        const CounterForecast f =
            forecast(sent != plan->sent.end() ? sent->second : kNone, services.store.flows(slot),
                     card_counters(services, slot));
        if (f.flows == 0 && sent == plan->sent.end()) {
            continue;
        }
        result.slots.push_back({slot, services.cards.state(slot), f.flows,
                                f.counters ? std::optional<uint64_t>(*f.counters) : std::nullopt,
                                f.held, f.would_refuse.size()});
        for (const model::FlowKey &key : f.would_refuse) {
            result.would_refuse += model::format_flow_entry(slot, key, {}) + "\n";
        }
    }
    if (params.dry_run) {
        respond(api::to_json(result));
        return;
    }
    std::string why;
    test_stop("before-commit");
    if (!services.store.apply(plan->changes, &why)) {
        log(Severity::Error, "apply not stored: " + why);
        respond(model::error(model::Errc::StoreFailed, "the database refused the change: " + why));
        return;
    }
    test_stop("after-commit");
    auto run = std::make_shared<ApplyRun>(services, std::move(result), params.progress,
                                          std::move(respond));
    for (auto &[slot, changes] : plan->sent) {
        SlotRun slot_run{slot, std::move(changes), 0, 0};
        if (services.cards.state(slot) == CardState::Down) {
            // Sent by the replay or reconciliation when the card comes.
            run->add_pending(slot_run.changes.size());
            continue;
        }
        run->add_slot(std::move(slot_run));
    }
    run->start();
}

void flow_export(Services &services, const api::ExportParams &params, Respond respond) {
    std::vector<model::FlowEntry> entries;
    for (const uint32_t slot : params.slots ? *params.slots : services.store.slots()) {
        for (const auto &[key, flow] : services.store.flows(slot)) {
            entries.push_back({slot, key, flow.name, 0});
        }
    }
    respond(api::json{{"text", model::write_flow_set(entries)}});
}

} // namespace supervisor
