// Flow-set files: what a file's lines give (comments, names, the stored form)
// and every fault reported with its line; export and re-read give the same set.
// The key words themselves are request_test's (parse_flow_words).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "flow_set.h"

namespace {

using model::FlowEntry;

// An entry as its line (the export form) and its line number.
std::vector<std::string> lines_of(const std::vector<FlowEntry> &entries) {
    std::vector<std::string> out;
    for (const FlowEntry &e : entries) {
        out.push_back(std::to_string(e.line) + ": " +
                      model::format_flow_entry(e.slot, e.key, e.name));
    }
    return out;
}

TEST(FlowSet, ParsesGoodLinesAndReportsEveryBadOneWithItsLine) {
    struct Case {
        std::string text;
        std::vector<std::string> entries; // when it parses
        std::string error = "";           // the whole message otherwise
    };
    const Case cases[] = {
        {"", {}},
        {"\n  \t\n# only a comment\n", {}},
        {"1 vsan 10\n"
         "\t0x2\texact 0xa 0x010001 0x020002   # trailing comment\r\n"
         "64 domain 4095 0x12ab01 0x34cd02 name=db-1.a:b/c_d\n"
         "3 name=x vsan 1", // name anywhere after the slot, no final newline
         {"1: 1 vsan 10", "2: 2 exact 10 0x010001 0x020002",
          "3: 64 domain 4095 0x120000 0x340000 name=db-1.a:b/c_d", "4: 3 vsan 1 name=x"}},
        // The same key in two slots, and a domain and an exact flow of one pair.
        {"1 vsan 10\n2 vsan 10\n1 domain 10 0x010001 0x020002\n1 exact 10 0x010001 0x020002",
         {"1: 1 vsan 10", "2: 2 vsan 10", "3: 1 domain 10 0x010000 0x020000",
          "4: 1 exact 10 0x010001 0x020002"}},
        {"1 vsan 10 name=" + std::string(64, 'n'), {"1: 1 vsan 10 name=" + std::string(64, 'n')}},
        // Faults: each with its line, in line order, none stopping the others.
        {"1 vsan 10\n\n"
         "1 vsn 10\n"
         "0 vsan 10\n"
         "65 vsan 10\n"
         "x vsan 10\n"
         "1 exact 10 0x010001\n"
         "1 vsan 4096 # a comment\n"
         "1 vsan 10 name=a name=b\n"
         "1 vsan 11 name=\n"
         "1 vsan 12 name=a,b\n"
         "1 vsan 13 name=" +
             std::string(65, 'n') +
             "\n"
             "1 vsan 14 1 2 3 4 5\n"
             "1\n"
             "1 domain 10 0x0100ff 0x020000\n"
             "1 domain 10 0x010000 0x0200ff\n"
             "2 vsan 10 # another slot\n"
             "1 vsan 10 name=again\n",
         {},
         "line 3: unknown flow type 'vsn'; expected: vsan V | domain V SID DID | exact V SID DID\n"
         "line 4: slot '0' is not 1..64\n"
         "line 5: slot '65' is not 1..64\n"
         "line 6: slot 'x' is not 1..64\n"
         "line 7: expected: vsan V | domain V SID DID | exact V SID DID\n"
         "line 8: VSAN 4096 outside 1..4095\n"
         "line 9: name given twice\n"
         "line 10: name '' is not 1..64 characters of A-Z a-z 0-9 . _ : / -\n"
         "line 11: name 'a,b' is not 1..64 characters of A-Z a-z 0-9 . _ : / -\n"
         "line 12: name '" +
             std::string(40, 'n') +
             "...' is not 1..64 characters of A-Z a-z 0-9 . _ : / -\n"
             "line 13: too many words; expected: SLOT vsan V | SLOT domain V SID DID | SLOT "
             "exact V SID DID, then name=LABEL\n"
             "line 14: expected: vsan V | domain V SID DID | exact V SID DID\n"
             "line 16: slot 1 domain 10 0x010000 0x020000 repeats line 15\n"
             "line 18: slot 1 vsan 10 repeats line 1"},
        // A slot holds 65,535 flows, repeats not counted, whatever other slots hold.
        {[] {
             std::string text;
             for (uint32_t i = 0; i < model::kMaxFlowsPerSlot; ++i) {
                 text += "7 exact 1 " + model::fcid_hex(0x010000 + i) + " 0x020000\n";
             }
             return text + "7 exact 1 0x010000 0x020000\n8 vsan 1\n7 vsan 1\n7 vsan 2\n";
         }(),
         {},
         "line 65536: slot 7 exact 1 0x010000 0x020000 repeats line 1\n"
         "line 65538: slot 7 has more than 65535 flows"},
        // Only the first 20 are listed, then how many more there were.
        {[&] {
             std::string text;
             for (int i = 0; i < 25; ++i) {
                 text += "1 vsan 0\n";
             }
             return text;
         }(),
         {},
         [&] {
             std::string text;
             for (int i = 1; i <= 20; ++i) {
                 text += "line " + std::to_string(i) + ": VSAN 0 outside 1..4095\n";
             }
             return text + "... and 5 more errors";
         }()},
    };
    for (const Case &c : cases) {
        const auto parsed = model::parse_flow_set(c.text);
        const std::string head = c.text.substr(0, 60);
        if (c.error.empty()) {
            ASSERT_TRUE(parsed.ok()) << head << "\n" << parsed.error().message;
            EXPECT_EQ(lines_of(*parsed), c.entries) << head;
        } else {
            ASSERT_FALSE(parsed.ok()) << head;
            EXPECT_EQ(parsed.error().code, model::Errc::InvalidParams);
            EXPECT_EQ(parsed.error().message, c.error) << head;
        }
    }
}

// Any valid set, written and read again, is the same set in export order;
// written again, the same text.
TEST(FlowSet, WriteThenParseGivesTheSameSet) {
    std::mt19937 rng(20);
    for (int round = 0; round < 20; ++round) {
        std::vector<FlowEntry> set;
        const int size = 1 + static_cast<int>(rng() % 400);
        for (int i = 0; i < size; ++i) {
            FlowEntry e;
            e.slot = 1 + rng() % 3;
            const auto type = static_cast<model::FlowType>(1 + rng() % 3);
            std::string why;
            e.key = *model::make_key(type, 1 + rng() % 4, 0x010000 + rng() % 0x30000,
                                     0x010000 + rng() % 0x30000, &why);
            if (rng() % 2 != 0) {
                e.name = "n" + std::to_string(rng() % 1000) + (rng() % 2 ? "/x:y" : "");
            }
            const bool seen = std::any_of(set.begin(), set.end(), [&](const FlowEntry &o) {
                return o.slot == e.slot && o.key == e.key;
            });
            if (seen) {
                continue;
            }
            set.push_back(e);
        }
        const std::string text = model::write_flow_set(set);
        auto parsed = model::parse_flow_set(text);
        ASSERT_TRUE(parsed.ok()) << parsed.error().message;
        std::vector<FlowEntry> want = set;
        std::sort(want.begin(), want.end(), [](const FlowEntry &a, const FlowEntry &b) {
            return a.slot != b.slot ? a.slot < b.slot : a.key < b.key;
        });
        for (size_t i = 0; i < want.size(); ++i) {
            want[i].line = static_cast<uint32_t>(i + 1);
        }
        EXPECT_EQ(*parsed, want);
        EXPECT_EQ(model::write_flow_set(*parsed), text);
    }
}

} // namespace
