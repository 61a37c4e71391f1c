// The log lines of the chassis's programs, one line per event on standard
// error:
//   2026-12-06T18:20:01.123Z info flow-supervisor: started: ...
// or, for journald (--log-format journal, or JOURNAL_STREAM set, which
// systemd sets when standard error is the journal), its priority prefix
// instead of time and severity, the journal keeping its own time:
//   <6>flow-supervisor: started: ...
// format_log_line is the rule, pure and tested; log_event() is the glue that gives
// it the clock and writes each line with one call, so that the lines of
// several processes never mix.
#ifndef PROGRAM_LOG_H
#define PROGRAM_LOG_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace program {

// syslog's priorities, as journald reads them in "<N>".
enum class Severity { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };
enum class LogFormat { Plain, Journal };

std::string_view severity_name(Severity severity); // "error", "warning", ...

// The lines of text (one per line of a text that has several), each with its
// prefix, each ending in a newline.
std::string format_log_line(LogFormat format, std::chrono::system_clock::time_point now,
                            Severity severity, std::string_view program, std::string_view text);

// --log-format's value ("plain", "journal"; empty when not given) and
// JOURNAL_STREAM's (nullptr when unset): the option first, then the
// environment. nullopt: an unknown value.
std::optional<LogFormat> choose_log_format(std::string_view option, const char *journal_stream);

// The glue: the program named in every line, the format, and the writer.
void set_log_program(std::string program);
void set_log_format(LogFormat format);
void log_event(Severity severity, std::string_view text);

} // namespace program

#endif // PROGRAM_LOG_H
