// Where the transport's log lines go: standard error unless a host installs
// its own sink. Called on the io_context's thread only.

#include <cstdio>

#include "vexa_socket.h"

namespace vexa_socket {

namespace {

// A function-local static: another library's load-time code may log before
// this library's dynamic initialisers have run.
std::function<void(const std::string &)> &sink() {
    static std::function<void(const std::string &)> logger;
    return logger;
}

} // namespace

void set_logger(std::function<void(const std::string &line)> logger) {
    sink() = std::move(logger);
}

void log(const std::string &line) {
    if (sink()) {
        sink()(line);
        return;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

} // namespace vexa_socket
