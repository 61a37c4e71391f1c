// The line-card daemon's log: one line per event on standard error, each
// prefixed "linecard[SLOT]: " so that several cards can share a terminal.
#ifndef LINECARD_SERVE_LOG_H
#define LINECARD_SERVE_LOG_H

#include <cstdint>
#include <string>

namespace serve {

// The slot named in every line from now on.
void set_log_slot(uint32_t slot);
void log_line(const std::string &line);
void log_format(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace serve

#endif // LINECARD_SERVE_LOG_H
