// The line-card daemon's log: program_log's lines, named "linecard[SLOT]" so
// that several cards can share a terminal. Without a severity a line is info.
#ifndef LINECARD_SERVE_LOG_H
#define LINECARD_SERVE_LOG_H

#include <cstdint>
#include <string>

#include "program_log.h"

namespace serve {

using program::Severity;

// The slot named in every line from now on.
void set_log_slot(uint32_t slot);
void log_line(Severity severity, const std::string &line);
inline void log_line(const std::string &line) {
    log_line(Severity::Info, line);
}
void log_format(Severity severity, const char *format, ...) __attribute__((format(printf, 2, 3)));

} // namespace serve

#endif // LINECARD_SERVE_LOG_H
