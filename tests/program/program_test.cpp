// The programs' shared parts: a log line's prefix (time, severity or
// journald's priority) from a given time, the format chosen from the option
// and the environment, the default directories installed and in the build
// tree, "NAME VERSION" from every program, and the supervisor's
// configuration file.

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "harness.h"
#include "program_log.h"
#include "program_paths.h"
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

TEST(ProgramPaths, InstalledProgramsUseTheUnitsDirectoriesAndSystemdsWin) {
    const program::InstallLayout layout{{"/usr/bin", "/usr/sbin"},
                                        {"/run/fs", "/var/lib/fs", "/etc/fs"}};
    const program::Dirs installed = layout.dirs;
    struct Case {
        const char *exe_dir;
        const char *runtime_env;
        const char *state_env;
        program::Dirs want;
    };
    const Case cases[] = {
        {"/usr/sbin", nullptr, nullptr, installed},
        {"/usr/bin", nullptr, nullptr, installed},
        // The build tree, a staged copy, a prefix's sibling: relative names.
        {"/work/build/bin", nullptr, nullptr, {}},
        {"/usr/bin/x", nullptr, nullptr, {}},
        {"/usr", nullptr, nullptr, {}},
        {"", nullptr, nullptr, {}},
        // systemd's directories, wherever the binary lies; the first of a list.
        {"/usr/sbin",
         "/run/other",
         "/var/lib/a:/var/lib/b",
         {"/run/other", "/var/lib/a", "/etc/fs"}},
        {"/work/build/bin", "/run/x", nullptr, {"/run/x", "", ""}},
        {"/usr/sbin", "", "", installed},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.exe_dir) + " " + (c.runtime_env ? c.runtime_env : "-"));
        const program::Dirs got =
            program::default_dirs(c.exe_dir, layout, c.runtime_env, c.state_env);
        EXPECT_EQ(got.runtime, c.want.runtime);
        EXPECT_EQ(got.state, c.want.state);
        EXPECT_EQ(got.config, c.want.config);
    }
    EXPECT_EQ(program::in_dir("", "flows.db"), "flows.db");
    EXPECT_EQ(program::in_dir("/var/lib/fs/", "flows.db"), "/var/lib/fs/flows.db");
    // The test binary lies in the build tree.
    EXPECT_EQ(program::process_dirs(false).runtime, "");
}

// The installed configuration file, its keys at their defaults uncommented,
// is read: the supervisor gets as far as the group the command line names
// (a key it did not know would stop it earlier, with another message).
TEST(Programs, SupervisorReadsTheInstalledConfigurationFile) {
    std::ifstream in(SUPERVISOR_CONF);
    ASSERT_TRUE(in) << SUPERVISOR_CONF;
    std::stringstream shipped;
    shipped << in.rdbuf();
    const std::string today = "db|cards|control|timeout|hello-timeout|client-timeout|log-format|http";
    const std::string text = std::regex_replace(
        shipped.str(), std::regex("^#((" + today + ") = )", std::regex::multiline), "$1");
    harness::Scratch scratch;
    for (const std::string &conf : {shipped.str(), text}) {
        std::ofstream(scratch.file("f.conf")) << conf;
        const harness::Outcome r = harness::run(
            "flow-supervisor", {"--config", scratch.file("f.conf"), "--group", "no-such-group-x"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("unknown group 'no-such-group-x'"), std::string::npos) << r.out;
    }
    std::ofstream(scratch.file("f.conf")) << "no-such-key = 1\n";
    const harness::Outcome r =
        harness::run("flow-supervisor", {"--config", scratch.file("f.conf")});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("no-such-key"), std::string::npos) << r.out;
}

TEST(Programs, VersionIsNameAndTheProjectVersion) {
    for (const char *name : {"flowctl", "flow-supervisor", "linecard-serve", "linecard-sim"}) {
        const harness::Outcome r = harness::run(name, {"--version"});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, std::string(name) + " " + PROGRAM_VERSION + "\n");
    }
}

} // namespace
