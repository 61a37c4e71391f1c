// The supervisor's event log: program_log's lines, named flow-supervisor.
// Without a severity a line is info, the usual event.
#ifndef SUPERVISOR_LOG_H
#define SUPERVISOR_LOG_H

#include <string_view>

#include "program_log.h"

namespace supervisor {

using program::Severity;

inline void log(Severity severity, std::string_view text) {
    program::log_event(severity, text);
}

inline void log(std::string_view text) {
    program::log_event(Severity::Info, text);
}

} // namespace supervisor

#endif // SUPERVISOR_LOG_H
