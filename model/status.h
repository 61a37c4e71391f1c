// Status codes as the chassis names them: the library's codes by their short
// name, a host callback's own code by number, and which answers mean a flow
// is on its card. The names come from the wire helper's one table.
#ifndef MODEL_STATUS_H
#define MODEL_STATUS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace model {

// A status code's name everywhere outside the library (flowctl, the JSON, the
// database, the line card's reports and scenarios): the short name
// ("COUNTERS_EXHAUSTED"), "ok" for 0, "0x%08x" for a code the library does
// not define. The library's own helper says ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED;
// this is the one place that maps it. And the operator's text ("counters
// exhausted (0x404e003a)").
std::string status_name(uint32_t code);
std::string status_text(uint32_t code);

// "0x%08x".
std::string status_hex(uint32_t code);

// A code as an operator may write it: "ok", a library name with or without
// its ACL_TCAM_FS_ERR_ prefix, or a number (decimal or 0x-prefixed hex).
std::optional<uint32_t> parse_status(std::string_view word);

// Whether a card's answer to an add leaves the flow on the card: done, or
// already there.
bool add_took(uint32_t status);

} // namespace model

#endif // MODEL_STATUS_H
