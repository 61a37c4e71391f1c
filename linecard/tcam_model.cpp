#include "tcam_model.h"

namespace tcam_model {

uint32_t domain_of(uint32_t fcid) {
    return fcid & FLOW_DOMAIN_MASK;
}

EntryKey key_of(const flow_t &flow) {
    return EntryKey{flow.type, flow.vsan, flow.sid, flow.did};
}

bool frame_in_flow(const Frame &frame, const EntryKey &flow) {
    if (frame.vsan != flow.vsan) {
        return false;
    }
    switch (flow.type) {
    case FLOW_TYPE_VSAN:
        return true;
    case FLOW_TYPE_DOMAIN:
        return domain_of(frame.sid) == flow.sid && domain_of(frame.did) == flow.did;
    case FLOW_TYPE_SID_DID:
        return frame.sid == flow.sid && frame.did == flow.did;
    default:
        return false;
    }
}

bool covers(const EntryKey &coarse, const EntryKey &fine) {
    if (coarse.vsan != fine.vsan || coarse.type >= fine.type) {
        return false;
    }
    return coarse.type == FLOW_TYPE_VSAN ||
           (domain_of(fine.sid) == coarse.sid && domain_of(fine.did) == coarse.did);
}

const uint16_t *Tcam::matching_entry(const Frame &frame) const {
    const EntryKey finest_first[] = {
        {FLOW_TYPE_SID_DID, frame.vsan, frame.sid, frame.did},
        {FLOW_TYPE_DOMAIN, frame.vsan, domain_of(frame.sid), domain_of(frame.did)},
        {FLOW_TYPE_VSAN, frame.vsan, 0, 0},
    };
    for (const EntryKey &key : finest_first) {
        if (auto it = entries.find(key); it != entries.end()) {
            return &it->second;
        }
    }
    return nullptr;
}

void Tcam::count(const Frame &frame) {
    const uint16_t *counter_id = matching_entry(frame);
    if (counter_id != nullptr && *counter_id != 0) {
        Counter &c = counters[*counter_id];
        ++c.frames;
        c.bytes += frame.bytes;
    }
}

namespace {

// The parked entries the new flow covers that count nowhere or on a coarser
// flow's counter count on the new flow's counter from now on.
void take_over_parked_entries(Tcam &tcam, const EntryKey &flow, uint16_t counter_id) {
    for (auto &[entry, current] : tcam.entries) {
        if (!covers(flow, entry)) {
            continue;
        }
        const auto owner = tcam.installed.find(current);
        if (current == 0 || (owner != tcam.installed.end() && covers(owner->second, flow))) {
            current = counter_id;
        }
    }
}

} // namespace

void Tcam::update(const flow_handle_update_t &update) {
    const flow_t &f = *update.flow;
    const EntryKey key = key_of(f);
    // A new flow's counter starts from zero: the library takes no baseline of
    // its own counter.
    if (update.install == 1) {
        counters[update.counter_id] = Counter{};
        take_over_parked_entries(*this, key, update.counter_id);
        installed[update.counter_id] = key;
    }
    // A removed flow's entry stays, parked on the counter of the flow that
    // covers it. When that flow goes in turn, every entry counting on its
    // counter moves along; otherwise the parked entries would go on counting
    // on a released counter that no flow reads.
    if (update.install == 0) {
        for (auto &[entry, counter_id] : entries) {
            if (counter_id == f.counter_id) {
                counter_id = update.counter_id;
            }
        }
        if (const auto it = installed.find(f.counter_id);
            f.counter_id != update.counter_id && it != installed.end() && it->second == key) {
            installed.erase(it);
        }
    }
    entries[key] = update.counter_id;
}

Counter Tcam::read(uint32_t counter_id) const {
    const auto it = counters.find(counter_id);
    return it != counters.end() ? it->second : Counter{};
}

void GroundTruth::start(const EntryKey &flow) {
    flows[flow] = Counter{};
}

void GroundTruth::stop(const EntryKey &flow) {
    flows.erase(flow);
}

void GroundTruth::deliver(const Frame &frame) {
    for (auto &[key, tally] : flows) {
        if (frame_in_flow(frame, key)) {
            ++tally.frames;
            tally.bytes += frame.bytes;
        }
    }
}

const Counter *GroundTruth::of(const EntryKey &flow) const {
    const auto it = flows.find(flow);
    return it != flows.end() ? &it->second : nullptr;
}

} // namespace tcam_model
