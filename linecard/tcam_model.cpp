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
        c.frames += frame.frames;
        c.bytes += frame.bytes;
    }
}

namespace {

// The counter of the most specific live flow matching the entry's key, as the
// library sees it now.
uint16_t counter_now_counting(const EntryKey &entry) {
    uint32_t id = 0;
    acl_tcam_flow_get_counter_id(entry.vsan, entry.sid, entry.did, entry.type, &id);
    return static_cast<uint16_t>(id);
}

} // namespace

void Tcam::update(const flow_handle_update_t &update) {
    const flow_t &f = *update.flow;
    const EntryKey key = key_of(f);
    if (update.install == 1) {
        // A new flow's counter starts from zero: the library takes no
        // baseline of its own counter. Entries it covers whose most specific
        // live flow is now the new one (parked entries) count on it from now.
        counters[update.counter_id] = Counter{};
        for (auto &[entry, counter_id] : entries) {
            if (covers(key, entry)) {
                counter_id = counter_now_counting(entry);
            }
        }
    } else {
        // A removed flow's entry stays, parked on the counter of the flow that
        // covers it. When that flow goes in turn, every entry counting on its
        // counter moves along; otherwise the parked entries would go on
        // counting on a released counter that no flow reads.
        for (auto &[entry, counter_id] : entries) {
            if (counter_id == f.counter_id) {
                counter_id = update.counter_id;
            }
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
            tally.frames += frame.frames;
            tally.bytes += frame.bytes;
        }
    }
}

const Counter *GroundTruth::of(const EntryKey &flow) const {
    const auto it = flows.find(flow);
    return it != flows.end() ? &it->second : nullptr;
}

} // namespace tcam_model
