#include "tcam_model.h"

#include <array>
#include <cstdlib>
#include <cstring>

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

EntryKey entry_key(const model::FlowKey &key) {
    return {static_cast<uint32_t>(key.type), key.vsan, key.sid, key.did};
}

model::FlowKey flow_key(const EntryKey &key) {
    return {static_cast<model::FlowType>(key.type), key.vsan, key.sid, key.did};
}

std::array<EntryKey, 3> keys_containing(const Frame &frame) {
    return {{
        {FLOW_TYPE_SID_DID, frame.vsan, frame.sid, frame.did},
        {FLOW_TYPE_DOMAIN, frame.vsan, domain_of(frame.sid), domain_of(frame.did)},
        {FLOW_TYPE_VSAN, frame.vsan, 0, 0},
    }};
}

Counter &Tcam::counter(uint16_t counter_id) {
    if (counter_id >= counters.size()) {
        counters.resize(size_t{counter_id} + 1);
    }
    return counters[counter_id];
}

const uint16_t *Tcam::matching_entry(const Frame &frame) const {
    for (const EntryKey &key : keys_containing(frame)) {
        if (auto it = entries.find(key); it != entries.end()) {
            return &it->second;
        }
    }
    return nullptr;
}

void Tcam::count(const Frame &frame) {
    const uint16_t *counter_id = matching_entry(frame);
    if (counter_id != nullptr && *counter_id != 0) {
        Counter &c = counter(*counter_id);
        c.frames += frame.frames;
        c.bytes += frame.bytes;
    }
}

Frame random_frame(std::mt19937_64 &rng, const EntryKey &k) {
    // Plain modulo, in this order, so that a seed gives the same frames with
    // every standard library.
    const uint32_t sid = k.type == FLOW_TYPE_SID_DID && rng() % 4 != 0
                             ? k.sid
                             : domain_of(k.sid) | static_cast<uint32_t>(rng() % 4);
    const uint32_t did = k.type == FLOW_TYPE_SID_DID && rng() % 4 != 0
                             ? k.did
                             : domain_of(k.did) | static_cast<uint32_t>(rng() % 4);
    const uint64_t size = 36 + rng() % 2113;
    return Frame{k.vsan, sid, did, size, 1};
}

namespace {

// The counter of the most specific live flow matching the entry's key, as the
// library sees it now.
uint16_t counter_now_counting(const EntryKey &entry) {
    uint32_t id = 0;
    acl_tcam_flow_get_counter_id(entry.vsan, entry.sid, entry.did, entry.type, &id);
    return static_cast<uint16_t>(id);
}

// Calls visit(entry, counter id) for every entry the flow covers. The map is
// ordered by type, VSAN, sid, did, so the entries a flow can cover lie in
// ranges: for a VSAN flow the domain and exact entries of its VSAN, for a
// domain pair the exact entries of its VSAN whose sid lies in the source
// domain (filtered by the destination domain), for an exact flow none.
// Scanning only those keeps an installation cheap at tens of thousands of
// entries.
template <typename Visit>
void for_each_covered(std::map<EntryKey, uint16_t> &entries, const EntryKey &flow, Visit visit) {
    const auto scan = [&](const EntryKey &from, const EntryKey &to) {
        for (auto it = entries.lower_bound(from); it != entries.end() && it->first < to; ++it) {
            if (model::covers(flow_key(flow), flow_key(it->first))) {
                visit(it->first, it->second);
            }
        }
    };
    const uint32_t v = flow.vsan;
    switch (flow.type) {
    case FLOW_TYPE_VSAN:
        scan({FLOW_TYPE_DOMAIN, v, 0, 0}, {FLOW_TYPE_DOMAIN, v + 1, 0, 0});
        scan({FLOW_TYPE_SID_DID, v, 0, 0}, {FLOW_TYPE_SID_DID, v + 1, 0, 0});
        break;
    case FLOW_TYPE_DOMAIN: {
        // One domain spans 0x10000 FC IDs; the last one ends at 0x1000000,
        // which still fits the 32-bit field.
        const uint32_t first_sid = domain_of(flow.sid);
        scan({FLOW_TYPE_SID_DID, v, first_sid, 0}, {FLOW_TYPE_SID_DID, v, first_sid + 0x10000, 0});
        break;
    }
    default:
        break; // nothing is finer than an exact flow
    }
}

} // namespace

void Tcam::update(const flow_handle_update_t &update) {
    const flow_t &f = *update.flow;
    const EntryKey key = key_of(f);
    if (update.install == 1) {
        // A new flow's counter starts from zero: the library takes no
        // baseline of its own counter. Entries it covers whose most specific
        // live flow is now the new one (parked entries) count on it from now.
        counter(update.counter_id) = Counter{};
        for_each_covered(entries, key, [](const EntryKey &entry, uint16_t &counter_id) {
            counter_id = counter_now_counting(entry);
        });
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
    return counter_id < counters.size() ? counters[counter_id] : Counter{};
}

int32_t Tcam::handle_update_cb(flow_handle_update_t *update) {
    if (update == nullptr || update->flow == nullptr) {
        return static_cast<int32_t>(ACL_TCAM_FS_ERR_INVALID_ARG);
    }
    this->update(*update);
    return 0;
}

int32_t Tcam::stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats) const {
    if (stats == nullptr) {
        return static_cast<int32_t>(ACL_TCAM_FS_ERR_INVALID_ARG);
    }
    const Counter c = read(counter_id);
    stats->frames = c.frames;
    stats->bytes = c.bytes;
    return 0;
}

void GroundTruth::start(const EntryKey &flow) {
    flows[flow] = Counter{};
}

void GroundTruth::stop(const EntryKey &flow) {
    flows.erase(flow);
}

void GroundTruth::deliver(const Frame &frame) {
    // A frame lies in at most three flows, one of each type; flows are keyed
    // in stored form, so each is found by its key.
    for (const EntryKey &key : keys_containing(frame)) {
        if (auto it = flows.find(key); it != flows.end()) {
            it->second.frames += frame.frames;
            it->second.bytes += frame.bytes;
        }
    }
}

const Counter *GroundTruth::of(const EntryKey &flow) const {
    const auto it = flows.find(flow);
    return it != flows.end() ? &it->second : nullptr;
}

Counter checked_truth(const Counter &truth) {
    static const Counter skew = [] {
        const char *what = std::getenv("LINECARD_TEST_SKEW");
        return Counter{what != nullptr && std::strcmp(what, "frames") == 0 ? 1u : 0u,
                       what != nullptr && std::strcmp(what, "bytes") == 0 ? 1u : 0u};
    }();
    return Counter{truth.frames + skew.frames, truth.bytes + skew.bytes};
}

} // namespace tcam_model
