#include "serve_log.h"

#include <cstdarg>
#include <cstdio>

namespace serve {

void set_log_slot(uint32_t slot) {
    program::set_log_program("linecard[" + std::to_string(slot) + "]");
}

void log_line(Severity severity, const std::string &line) {
    program::log_event(severity, line);
}

void log_format(Severity severity, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    program::log_event(severity, text);
}

} // namespace serve
