#include "program_log.h"

#include <cstdio>
#include <ctime>

namespace program {

namespace {

std::string log_program = "program";
LogFormat log_format = LogFormat::Plain;

} // namespace

std::string_view severity_name(Severity severity) {
    switch (severity) {
    case Severity::Error:
        return "error";
    case Severity::Warning:
        return "warning";
    case Severity::Notice:
        return "notice";
    case Severity::Info:
        return "info";
    case Severity::Debug:
        return "debug";
    }
    return "info";
}

std::string format_log_line(LogFormat format, std::chrono::system_clock::time_point now,
                            Severity severity, std::string_view program, std::string_view text) {
    std::string prefix;
    if (format == LogFormat::Journal) {
        prefix = "<" + std::to_string(static_cast<int>(severity)) + ">";
    } else {
        using namespace std::chrono;
        const auto since = now.time_since_epoch();
        const auto whole = floor<seconds>(since); // floor: a time before 1970 reads right too
        const std::time_t seconds_since = static_cast<std::time_t>(whole.count());
        const int ms = static_cast<int>(duration_cast<milliseconds>(since - whole).count());
        std::tm utc{};
        gmtime_r(&seconds_since, &utc);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ",
                      utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                      utc.tm_sec, ms);
        prefix = stamp;
        prefix += severity_name(severity);
        prefix += ' ';
    }
    prefix += program;
    prefix += ": ";
    std::string out;
    size_t start = 0;
    do {
        const size_t end = text.find('\n', start);
        out += prefix;
        out += text.substr(start, end == std::string_view::npos ? end : end - start);
        out += '\n';
        start = end == std::string_view::npos ? end : end + 1;
    } while (start != std::string_view::npos && start < text.size());
    return out;
}

std::optional<LogFormat> choose_log_format(std::string_view option, const char *journal_stream) {
    if (option == "plain") {
        return LogFormat::Plain;
    }
    if (option == "journal") {
        return LogFormat::Journal;
    }
    if (!option.empty()) {
        return std::nullopt;
    }
    return journal_stream != nullptr && *journal_stream != '\0' ? LogFormat::Journal
                                                                : LogFormat::Plain;
}

void set_log_program(std::string program) {
    log_program = std::move(program);
}

void set_log_format(LogFormat format) {
    log_format = format;
}

void log_event(Severity severity, std::string_view text) {
    const std::string lines =
        format_log_line(log_format, std::chrono::system_clock::now(), severity, log_program, text);
    std::fwrite(lines.data(), 1, lines.size(), stderr);
}

} // namespace program
