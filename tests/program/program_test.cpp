// The programs' shared parts: a log line's prefix (time, severity or
// journald's priority) from a given time, the format chosen from the option
// and the environment, and "NAME VERSION" from every program.

#include <chrono>

#include <gtest/gtest.h>

#include "harness.h"
#include "program_log.h"
#include "program_version.h"

namespace {

using namespace std::chrono;
using program::LogFormat;
using program::Severity;

TEST(ProgramLog, LinesStartWithUtcTimeAndSeverityOrJournalPriority) {
    // 2026-12-06T18:20:01.123Z; and a time before 1970, floored.
    const system_clock::time_point t{milliseconds(1796581201123)};
    const system_clock::time_point before_1970{milliseconds(-1)};
    struct Case {
        LogFormat format;
        system_clock::time_point time;
        Severity severity;
        const char *text;
        const char *want;
    };
    const Case cases[] = {
        {LogFormat::Plain, t, Severity::Info, "started",
         "2026-12-06T18:20:01.123Z info flow-supervisor: started\n"},
        {LogFormat::Plain, t + milliseconds(877), Severity::Warning, "late",
         "2026-12-06T18:20:02.000Z warning flow-supervisor: late\n"},
        {LogFormat::Plain, before_1970, Severity::Error, "x",
         "1969-12-31T23:59:59.999Z error flow-supervisor: x\n"},
        {LogFormat::Journal, t, Severity::Error, "failed", "<3>flow-supervisor: failed\n"},
        {LogFormat::Journal, t, Severity::Notice, "up", "<5>flow-supervisor: up\n"},
        {LogFormat::Journal, t, Severity::Debug, "", "<7>flow-supervisor: \n"},
        // Each line of a text of several carries the prefix.
        {LogFormat::Journal, t, Severity::Warning, "a\nb\n",
         "<4>flow-supervisor: a\n<4>flow-supervisor: b\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want);
        EXPECT_EQ(program::format_log_line(c.format, c.time, c.severity, "flow-supervisor", c.text),
                  c.want);
    }
}

TEST(ProgramLog, TheOptionWinsOverJournalStream) {
    EXPECT_EQ(program::choose_log_format("", nullptr), LogFormat::Plain);
    EXPECT_EQ(program::choose_log_format("", ""), LogFormat::Plain);
    EXPECT_EQ(program::choose_log_format("", "8:1234"), LogFormat::Journal);
    EXPECT_EQ(program::choose_log_format("plain", "8:1234"), LogFormat::Plain);
    EXPECT_EQ(program::choose_log_format("journal", nullptr), LogFormat::Journal);
    EXPECT_EQ(program::choose_log_format("syslog", nullptr), std::nullopt);
}

TEST(Programs, VersionIsNameAndTheProjectVersion) {
    for (const char *name : {"flowctl", "flow-supervisor", "linecard-serve", "linecard-sim"}) {
        const harness::Outcome r = harness::run(name, {"--version"});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, std::string(name) + " " + PROGRAM_VERSION + "\n");
    }
}

} // namespace
