#include "serve_log.h"

#include <cstdarg>
#include <cstdio>

namespace serve {

namespace {

uint32_t log_slot = 0;

} // namespace

void set_log_slot(uint32_t slot) {
    log_slot = slot;
}

void log_line(const std::string &line) {
    // One write per line, so that lines of several processes do not mix.
    std::fprintf(stderr, "linecard[%u]: %s\n", log_slot, line.c_str());
}

void log_format(const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_line(text);
}

} // namespace serve
