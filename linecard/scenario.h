// The line-card host's scenario language: one command a line, `#` starts a
// comment. The README lists every command; in short:
//
//   init FIRST SIZE                         counter ids FIRST..SIZE-1
//   region-ready
//   add|del|get vsan V [index=N] [expect=STATUS]
//   add|del|get domain|exact V SID DID [index=N] [expect=STATUS]
//   traffic V SID DID frames=N bytes=N      one burst of one conversation
//   traffic random N [seed=S]               N frames over the known flows
//   lookup V SID DID TYPE [expect=ID]       the counter a new entry would get
//   show | verify | echo TEXT
//
// Numbers are decimal or 0x-prefixed hex (model::parse_number). A STATUS is
// what model::parse_status reads: a code's name (ACL_TCAM_FS_ERR_FLOW_EXISTS
// or just FLOW_EXISTS), `ok`, or a number.
// A request (add, del, get) carries its numbers as written, up to its 32-bit
// fields: whether the library accepts them is the library's to say, and a
// scenario may test its refusals. Traffic and lookups name frames, whose
// VSAN is 1 to 4095 and whose FC IDs have 24 bits.
#ifndef LINECARD_SCENARIO_H
#define LINECARD_SCENARIO_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flow_key.h"

namespace scenario {

// The model's flow types: vsan, domain, exact.
using Granularity = model::FlowType;

// A flow as an operator names it: full FC IDs, the granularity decides which
// of their bits count.
struct FlowSpec {
    Granularity granularity = Granularity::Vsan;
    uint32_t vsan = 0;
    uint32_t sid = 0;
    uint32_t did = 0;
};

enum class Verb {
    Init,
    RegionReady,
    Add,
    Del,
    Get,
    Traffic,
    RandomTraffic,
    Lookup,
    Show,
    Verify,
    Echo,
};

struct Command {
    Verb verb = Verb::Echo;
    FlowSpec flow;                  // add, del, get; traffic and lookup use its ids
    uint32_t first_counter_id = 0;  // init
    uint32_t table_size = 0;        // init
    uint32_t index = 1;             // add, del, get
    uint32_t lookup_type = 0;       // lookup: FLOW_TYPE_*
    std::optional<uint32_t> expect; // a request's status, or a lookup's counter id
    uint64_t frames = 0;            // traffic, random traffic
    uint64_t bytes = 0;             // traffic
    uint64_t seed = 1;              // random traffic
    std::string text;               // echo
};

// A blank or comment-only line has no command and no error.
struct Parsed {
    std::optional<Command> command;
    std::string error; // what is wrong with the line, empty when nothing is
};

Parsed parse_line(std::string_view line);

// The largest Fibre Channel frame: a burst of N frames carries N to N times
// this many bytes.
inline constexpr uint64_t kFrameBytesMax = 2148;

// The text with every byte outside printable ASCII written as \xNN, for
// quoting input in a message.
std::string printable(std::string_view text);

struct Step {
    int line = 0;
    Command command;
};

// Reads a whole scenario. On the first bad line returns false with error set
// to "file:line: what is wrong"; a file it cannot open or read (a directory,
// say) gives "file: cannot open: reason" or "file: cannot read: reason".
bool load(const std::string &path, std::vector<Step> &steps, std::string &error);

// The command as a scenario line that parses back to it.
std::string format(const Command &command);

} // namespace scenario

#endif // LINECARD_SCENARIO_H
