// A flow-set file: the flows of one or more line cards as text, one flow a
// line, as `flowctl apply` reads it and `flowctl export` writes it.
//
//   # comment                       (a '#' starts a comment anywhere)
//   SLOT vsan V        [name=LABEL]
//   SLOT domain V SID DID [name=LABEL]
//   SLOT exact V SID DID  [name=LABEL]
//
// Words are separated by spaces or tabs (a '\r' counts as one, for files
// written on other systems); blank lines are ignored. SLOT, V, SID and DID are
// numbers as the command line takes them (decimal or 0x hex), the key words
// are parse_flow_words's. `name=LABEL` may stand anywhere after SLOT, at most
// once; LABEL is a flow name (is_flow_name: 1..kMaxFlowName characters of
// [A-Za-z0-9._:/-]). Two flows may
// share a label: it names, it does not identify.
//
// A set is refused as a whole (nothing of it is valid) when a line does not
// parse, names a slot outside kMinSlot..kMaxSlot, repeats a flow of the same
// slot (a domain flow's SID and DID compared by their domain byte, as the
// library stores them), or gives a slot more than kMaxFlowsPerSlot flows.
// Every such line is reported, in line order, up to kMaxReportedErrors.
#ifndef MODEL_FLOW_SET_H
#define MODEL_FLOW_SET_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "flow_key.h"
#include "result.h"
#include "slot_range.h"

namespace model {

inline constexpr size_t kMaxReportedErrors = 20;

struct FlowEntry {
    uint32_t slot = 0;
    FlowKey key;       // stored form (make_key)
    std::string name;  // empty: none
    uint32_t line = 0; // 1-based line of the file it came from; 0 if not from a file
    bool operator==(const FlowEntry &) const = default;
};

// The entries in file order. On failure, an Errc::InvalidParams Error whose
// message has one line per fault ("line 12: unknown flow type 'vsn'; ..."),
// the first kMaxReportedErrors of them in line order, then "... and N more
// errors" when there were more.
Result<std::vector<FlowEntry>> parse_flow_set(std::string_view text);

// One entry as a line of the file, without its newline:
// "3 exact 10 0x010001 0x020002 name=db1" (the key as to_string writes it).
std::string format_flow_entry(uint32_t slot, const FlowKey &key, std::string_view name);
// The whole set, one line each, sorted by slot and then the library's key
// order. For a valid set, parse_flow_set(write_flow_set(x)) gives x's entries
// in that order, with line set to their position (1-based).
std::string write_flow_set(std::span<const FlowEntry> entries);

} // namespace model

#endif // MODEL_FLOW_SET_H
