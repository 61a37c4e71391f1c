// The library's flow table checked against its invariants, for the tests and
// the fuzzers: it reads the library's counter table and the platform
// stand-in's memory tracker, so it lives in flow_model_check, apart from the
// dependency-free flow model.
//
// What holds between two operations: every claimed counter names its own id
// (at or above the first id handed out) and an owner that holds it, has its
// type and is found in the tree; a free counter has neither owner nor type;
// no flow owns two counters; claimed counters, g_num_counters_used, the
// tree's count and the caller's count of stored flows agree; the tracker holds
// one record per stored flow, no reply buffer, and the table once there is one.
#ifndef MODEL_TABLE_CHECK_H
#define MODEL_TABLE_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "flow_key.h"

namespace model {

struct TableCheck {
    std::string error;           // empty when every invariant holds
    std::vector<FlowKey> owners; // the flows owning claimed counters, by counter id
};

TableCheck check_table(uint32_t stored);

} // namespace model

#endif // MODEL_TABLE_CHECK_H
