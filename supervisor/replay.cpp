// The replay window (see replay.h).
#include "replay.h"

#include <utility>

#include "acl_tcam_flow_stats.h"
#include "status.h"

namespace supervisor {

void Replay::restart(ReplayPhase phase, bool fresh, Clock::time_point now) {
    adds_.clear();
    dels_.clear();
    next_add_ = next_del_ = in_flight_ = held_ = 0;
    counts_ = ReplayCounts{};
    phase_ = phase;
    fresh_ = fresh;
    ++generation_;
    started_ = now;
}

void Replay::replay(std::vector<model::FlowKey> flows, size_t held, Clock::time_point now) {
    restart(ReplayPhase::Sending, true, now);
    adds_ = std::move(flows);
    held_ = held;
}

void Replay::reconcile(SyncPlan plan, size_t held) {
    held_ = held;
    counts_.present = plan.present.size();
    adds_ = std::move(plan.to_add);
    dels_ = std::move(plan.to_delete);
    phase_ = ReplayPhase::Sending;
}

std::optional<ReplayRequest> Replay::next(const Configured &configured) {
    if (phase_ != ReplayPhase::Sending) {
        return std::nullopt;
    }
    while (in_flight_ < window_) {
        std::optional<ReplayRequest> request;
        if (next_del_ < dels_.size()) {
            const model::FlowKey &key = dels_[next_del_++];
            if (!configured(key)) {
                request = ReplayRequest{ACL_TCAM_FS_MSG_DEL, key, generation_, false};
            }
        } else if (next_add_ < adds_.size()) {
            const bool held = next_add_ < held_;
            const model::FlowKey &key = adds_[next_add_++];
            if (configured(key)) {
                request = ReplayRequest{ACL_TCAM_FS_MSG_SET, key, generation_, held};
            }
        } else {
            return std::nullopt;
        }
        if (request) {
            ++in_flight_;
            return request;
        }
    }
    return std::nullopt;
}

bool Replay::complete(const ReplayRequest &request, const uint32_t *status) {
    if (request.generation != generation_ || in_flight_ == 0) {
        return false;
    }
    const int32_t msg_type = request.msg_type;
    --in_flight_;
    if (status == nullptr) {
        ++counts_.unanswered;
    } else if (msg_type == ACL_TCAM_FS_MSG_SET && model::add_took(*status)) {
        ++counts_.applied;
    } else if (msg_type == ACL_TCAM_FS_MSG_DEL && *status == 0) {
        ++counts_.deleted;
    } else {
        ++counts_.refused;
        counts_.lost += request.held_counter ? 1 : 0;
    }
    return true;
}

std::optional<std::string> Replay::finish(uint32_t slot, Clock::time_point now) {
    if (phase_ != ReplayPhase::Sending || in_flight_ != 0 || next_del_ != dels_.size() ||
        next_add_ != adds_.size()) {
        return std::nullopt;
    }
    phase_ = ReplayPhase::Idle;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - started_);
    const std::string took = " in " + std::to_string(ms.count()) + " ms";
    const ReplayCounts &c = counts_;
    const std::string lost =
        c.lost != 0 ? " (" + std::to_string(c.lost) + " lost the counter they held)" : "";
    if (fresh_) {
        return "slot " + std::to_string(slot) + ": ready: replayed " +
               std::to_string(adds_.size()) + " flows" + took + " (" + std::to_string(c.applied) +
               " applied, " + std::to_string(c.refused) + " refused" + lost + ", " +
               std::to_string(c.unanswered) + " unanswered)";
    }
    return "slot " + std::to_string(slot) + ": ready: reconciled" + took + " (" +
           std::to_string(c.present) + " present, " + std::to_string(c.applied) + " added, " +
           std::to_string(c.deleted) + " deleted, " + std::to_string(c.refused) + " refused" +
           lost + ", " + std::to_string(c.unanswered) + " unanswered)";
}

} // namespace supervisor
