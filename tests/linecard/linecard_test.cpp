// The reference host's own parts: the scenario language and the TCAM model's
// matching. The host end to end runs as scenario and random-mode tests.
#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "scenario.h"
#include "tcam_model.h"

namespace {

using scenario::parse_line;

using namespace std::string_view_literals;

struct BadLine {
    std::string_view line;
    const char *error;
};

TEST(ScenarioParser, ReportsWhatIsWrongWithALine) {
    const BadLine cases[] = {
        {"frobnicate 1", "unknown command 'frobnicate'"},
        {"add", "add: expected vsan, domain or exact"},
        {"add flow 10", "add: expected vsan, domain or exact, not 'flow'"},
        // A request carries what the library may refuse, up to its 32-bit fields.
        {"get vsan 0x100000000", "get: VSAN 0x100000000 is out of range (at most 4294967295)"},
        {"add exact 10 0x100000000 1", "add: SID 0x100000000 is out of range (at most 4294967295)"},
        {"del domain 10 0x12 zz", "del: 'zz' is not a number"},
        {"del domain 10 0x12", "del: expected DID"},
        {"get vsan 10 expect=BOGUS", "get: unknown status 'BOGUS'"},
        {"get vsan 10 colour=red", "get: unexpected 'colour=red'"},
        {"get vsan 10 index=", "get: unexpected 'index='"},
        // Every command reads its options alike (each one's are in the lines
        // that parse back, below).
        {"get vsan 10 expect=ok expect=NO_ENTRY", "get: expect= given twice"},
        // A frame has a VSAN tag of 1 to 4095, 24-bit FC IDs, 1 to 2148 bytes.
        {"traffic 0 0x010101 0x020202 frames=1 bytes=64",
         "traffic: VSAN 0 is out of range (1 to 4095)"},
        {"traffic 4096 1 2 frames=1 bytes=64", "traffic: VSAN 4096 is out of range (at most 4095)"},
        {"traffic 10 0x1000000 2 frames=1 bytes=64",
         "traffic: SID 0x1000000 is out of range (at most 16777215)"},
        {"traffic", "traffic: expected VSAN"},
        {"traffic 10 1 2 frames=3", "traffic: needs frames=N and bytes=N"},
        {"traffic 10 1 2 frames=0 bytes=100", "traffic: frames=0: a burst has at least one frame"},
        {"traffic 10 1 2 frames=10 bytes=9",
         "traffic: bytes=9 for frames=10: a frame carries 1 to 2148 bytes"},
        {"traffic 10 1 2 frames=2 bytes=4297",
         "traffic: bytes=4297 for frames=2: a frame carries 1 to 2148 bytes"},
        {"traffic random", "traffic: expected a frame count"},
        {"traffic random 0", "traffic: random traffic of 0 frames"},
        {"lookup 0 1 2 3", "lookup: VSAN 0 is out of range (1 to 4095)"},
        {"lookup 10 1 2 4", "lookup: TYPE (1, 2 or 3) 4 is out of range (at most 3)"},
        {"lookup 10 1 2 0", "lookup: TYPE 0 is out of range (1, 2 or 3)"},
        {"init 0 10", "init: FIRST counter id 0 is out of range (counter 0 means no counter)"},
        {"show now", "show: unexpected 'now'"},
        // Bytes that a terminal would act on are quoted escaped.
        {"add\x01 vsan 10", "unknown command 'add\\x01'"},
        {"add vsan 1\x1b[2J", "add: '1\\x1b[2J' is not a number"},
        {"get vsan 10 expect=\xff\x7f", "get: unknown status '\\xff\\x7f'"},
        {"sh\0ow"sv, "unknown command 'sh\\x00ow'"},
    };
    for (const BadLine &c : cases) {
        const scenario::Parsed p = parse_line(c.line);
        EXPECT_FALSE(p.command) << c.line;
        EXPECT_EQ(p.error, c.error) << c.line;
    }
}

// Every command prints as a line that parses back to the same command; the
// host's replay of a random run depends on it.
TEST(ScenarioParser, CommandsPrintAsLinesThatParseBack) {
    const char *lines[] = {
        "init 100 2000",
        "init 5 5 expect=INIT_ARGS",
        "region-ready",
        "add vsan 10",
        "add domain 10 0x120000 0x340000",
        "del exact 4095 0x12ab01 0x34cd02 index=7",
        "get exact 1 0x000000 0xffffff expect=NO_ENTRY",
        "add vsan 0",
        "del domain 4096 0x000001 0xffffffff",
        "get vsan 2 index=0 expect=0x00001234",
        "traffic 10 0x12ab01 0x34cd02 frames=100 bytes=64000",
        "traffic random 10000 seed=7",
        "lookup 10 0x12ab01 0x34cd02 3 expect=101",
        "show",
        "verify",
        "echo == a heading, kept as written",
    };
    for (const char *line : lines) {
        const scenario::Parsed p = parse_line(line);
        ASSERT_TRUE(p.command) << line << ": " << p.error;
        EXPECT_EQ(scenario::format(*p.command), line);
    }
}

TEST(ScenarioParser, ReadsNumbersNamesAndComments) {
    EXPECT_FALSE(parse_line("   # only a comment").command);
    EXPECT_TRUE(parse_line("   # only a comment").error.empty());

    const scenario::Parsed add = parse_line("add domain 0xa 18 52 expect=FLOW_EXISTS # note");
    ASSERT_TRUE(add.command);
    EXPECT_EQ(add.command->flow.vsan, 10u);
    EXPECT_EQ(add.command->flow.sid, 18u);
    EXPECT_EQ(add.command->flow.did, 52u);
    EXPECT_EQ(add.command->flow.granularity, scenario::Granularity::Domain);
    EXPECT_EQ(add.command->expect, ACL_TCAM_FS_ERR_FLOW_EXISTS);
    EXPECT_EQ(parse_line("get vsan 1 expect=ok").command->expect, 0u);
}

TEST(ScenarioParser, NamesTheFileAndLineOfTheFirstBadLine) {
    const std::string path = ::testing::TempDir() + "bad.lcs";
    std::ofstream(path) << "# a scenario\n\ninit 1 10\nadd vsan 10\ntraffic 0 1 2\nshow bad\n";
    std::vector<scenario::Step> steps;
    std::string error;
    EXPECT_FALSE(scenario::load(path, steps, error));
    EXPECT_EQ(error, path + ":5: traffic: VSAN 0 is out of range (1 to 4095)");

    // Line ends of either kind, and none on the last line.
    std::ofstream(path) << "init 1 10 # start\r\n\r\nregion-ready\nshow";
    steps.clear();
    ASSERT_TRUE(scenario::load(path, steps, error)) << error;
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[1].line, 3);
    EXPECT_EQ(steps[2].line, 4);
    std::remove(path.c_str());
}

// What cannot be read is an error naming the path and the reason, never an
// empty scenario (a missing file and a directory: linecard_cli_missing_file
// and linecard_cli_directory).
TEST(ScenarioParser, RefusesWhatItCannotOpenOrRead) {
    const std::string dir = ::testing::TempDir();
    const std::pair<std::string, std::string> cases[] = {
        {dir + "no-such/x.lcs", dir + "no-such/x.lcs: cannot open: No such file or directory"},
        {std::string("ctl\x01.lcs"), "ctl\\x01.lcs: cannot open: No such file or directory"},
    };
    for (const auto &[path, message] : cases) {
        std::vector<scenario::Step> steps;
        std::string error;
        EXPECT_FALSE(scenario::load(path, steps, error)) << path;
        EXPECT_EQ(error, message);
    }
}

struct Match {
    tcam_model::Frame frame;
    uint16_t counter; // 0: counted nowhere
};

// A frame counts only on the most specific entry that matches it, and an
// entry on counter 0 hides its frames from every coarser entry.
TEST(TcamModel, CountsEachFrameOnTheMostSpecificEntryOnly) {
    tcam_model::Tcam tcam;
    tcam.entries[{FLOW_TYPE_VSAN, 10, 0, 0}] = 1;
    tcam.entries[{FLOW_TYPE_DOMAIN, 10, 0x120000, 0x340000}] = 2;
    tcam.entries[{FLOW_TYPE_SID_DID, 10, 0x120101, 0x340201}] = 3;
    tcam.entries[{FLOW_TYPE_SID_DID, 10, 0x120102, 0x340202}] = 0; // parked, uncovered
    const Match cases[] = {
        {{10, 0x120101, 0x340201, 100, 4}, 3},  {{10, 0x120909, 0x340909, 10, 1}, 2},
        {{10, 0x340201, 0x120101, 1, 1}, 1}, // the reverse direction: another domain pair
        {{10, 0x120102, 0x340202, 1000, 1}, 0}, {{11, 0x120101, 0x340201, 1000, 1}, 0},
    };
    for (const Match &m : cases) {
        const uint16_t *entry = tcam.matching_entry(m.frame);
        EXPECT_EQ(entry != nullptr ? *entry : 0, m.counter) << m.frame.vsan << " " << m.frame.sid;
        tcam.count(m.frame);
    }
    EXPECT_EQ(tcam.read(3), (tcam_model::Counter{4, 100}));
    EXPECT_EQ(tcam.read(2), (tcam_model::Counter{1, 10}));
    EXPECT_EQ(tcam.read(1), (tcam_model::Counter{1, 1}));
    EXPECT_EQ(tcam.read(0), tcam_model::Counter{});
}

TEST(TcamModel, GroundTruthCountsAFrameForEveryLiveFlowContainingIt) {
    tcam_model::GroundTruth truth;
    truth.start({FLOW_TYPE_VSAN, 10, 0, 0});
    truth.start({FLOW_TYPE_DOMAIN, 10, 0x120000, 0x340000});
    truth.deliver({10, 0x120101, 0x340201, 640, 10});
    truth.start({FLOW_TYPE_SID_DID, 10, 0x120101, 0x340201});
    truth.deliver({10, 0x120101, 0x340201, 64, 1});
    truth.deliver({10, 0x130101, 0x340201, 1, 1});
    EXPECT_EQ(*truth.of({FLOW_TYPE_VSAN, 10, 0, 0}), (tcam_model::Counter{12, 705}));
    EXPECT_EQ(*truth.of({FLOW_TYPE_DOMAIN, 10, 0x120000, 0x340000}),
              (tcam_model::Counter{11, 704}));
    EXPECT_EQ(*truth.of({FLOW_TYPE_SID_DID, 10, 0x120101, 0x340201}), (tcam_model::Counter{1, 64}));
    truth.stop({FLOW_TYPE_VSAN, 10, 0, 0});
    EXPECT_EQ(truth.of({FLOW_TYPE_VSAN, 10, 0, 0}), nullptr);
}

} // namespace
