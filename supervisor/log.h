// The supervisor's event log: one line per event on standard error, prefixed
// with the program's name, written with one call so that lines never mix.
#ifndef SUPERVISOR_LOG_H
#define SUPERVISOR_LOG_H

#include <cstdio>
#include <string>
#include <string_view>

namespace supervisor {

inline void log(std::string_view text) {
    std::string line = "flow-supervisor: ";
    line.append(text);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace supervisor

#endif // SUPERVISOR_LOG_H
