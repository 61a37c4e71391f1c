// The display reader: rows printed exactly as the library prints them are
// read back whatever their width, chunk boundaries fall anywhere, garbage is
// refused with its line, and every total matches a brute-force model.

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "acl_tcam_flow_wire.h"
#include "display.h"

namespace {

using display::Row;
using model::FlowKey;
using model::FlowType;

// The library's header, which its own display tests pin byte for byte.
const std::string kHeader = display::header_text();

std::string display_text(const std::vector<Row> &rows) {
    std::string text = kHeader;
    for (const Row &r : rows) {
        text += row_text(r);
    }
    return text;
}

// One chunk payload as a card sends it: big-endian fields, and the text
// field's tail full of stale bytes.
std::vector<uint8_t> chunk(std::string_view text, bool last, int32_t text_len_override = -2) {
    std::vector<uint8_t> p(120652, 'Z');
    std::fill_n(p.begin(), 12, 0);
    acl_tcam_wire_put_be32(&p[ACL_TCAM_WIRE_LAST_CHUNK_AT], last ? 1 : 0);
    const int32_t len =
        text_len_override != -2 ? text_len_override : static_cast<int32_t>(text.size());
    acl_tcam_wire_put_be32(&p[ACL_TCAM_WIRE_TEXT_LEN_AT], static_cast<uint32_t>(len));
    std::memcpy(p.data() + ACL_TCAM_WIRE_TEXT_AT, text.data(), text.size());
    if (text.size() < 120632) {
        p[20 + text.size()] = '\0';
    }
    return p;
}

constexpr uint64_t kMax = UINT64_MAX;

const Row kWideRows[] = {
    // a 5-digit counter id glued to the frames after it
    {{FlowType::Vsan, 1, 0, 0}, 65534, 7, 700, 0, 0, 0, 0},
    {{FlowType::Vsan, 4095, 0, 0}, 1, kMax, kMax, kMax, kMax, kMax, kMax},
    {{FlowType::Domain, 10, 0x120000, 0xff0000}, 10000, 1, 12345678, 123456789, 0, 9, 99999999},
    {{FlowType::Exact, 10, 0x010101, 0xabcdef}, 0, 0, 0, 0, 0, 0, 0},
    {{FlowType::Exact, 10, 0xffffff, 0xabcdef}, 99999, 10000000000000000000ull, 1, 2, 3, 4, 5},
};

// Rows of every width, an empty table, and a library not initialised yet.
TEST(DisplayParse, ReadsRowsOfEveryWidth) {
    const std::vector<Row> wide(std::begin(kWideRows), std::end(kWideRows));
    const struct {
        std::string text;
        bool initialized;
        std::vector<Row> rows;
    } cases[] = {{display_text(wide), true, wide},
                 {kHeader, true, {}},
                 {"Flow Tables are not yet initialized\n", false, {}}};
    for (const auto &c : cases) {
        std::string error;
        const auto table = display::parse(c.text, &error);
        ASSERT_TRUE(table) << error;
        EXPECT_EQ(table->initialized, c.initialized);
        ASSERT_EQ(table->rows.size(), c.rows.size());
        for (size_t i = 0; i < c.rows.size(); ++i) {
            EXPECT_EQ(row_text(table->rows[i]), row_text(c.rows[i]));
        }
    }
}

TEST(DisplayParse, RefusesGarbageNamingTheLine) {
    const std::string good = row_text(kWideRows[2]);
    const std::string header(kHeader);
    auto with_row = [&](const std::string &row) { return header + good + row + "\n"; };
    struct Case {
        const char *what;
        std::string text;
        const char *error;
    };
    // clang-format off
    const Case cases[] = {
        {"empty", "", "empty display"},
        {"header cut short", header.substr(0, 160), "line 3: header cut short"},
        {"header changed", "X" + header.substr(1), "line 1: not the display header"},
        {"no final newline", header + good.substr(0, good.size() - 1), "line 5: no newline"},
        {"type 4",                   with_row("4 10   0      0      5    1 1 0 0 0 0"), "line 6: bad flow type"},
        {"VSAN of letters",          with_row("1 1x   0      0      5    1 1 0 0 0 0"), "line 6: bad VSAN"},
        {"VSAN 0",                   with_row("1 0    0      0      5    1 1 0 0 0 0"), "line 6: flow key out of range"},
        {"VSAN 4096",                with_row("1 4096 0      0      5    1 1 0 0 0 0"), "line 6: flow key out of range"},
        {"upper-case SID",           with_row("3 10   1A0101 020202 5    1 1 0 0 0 0"), "line 6: bad SID"},
        {"SID not left-aligned",     with_row("3 10    10101 020202 5    1 1 0 0 0 0"), "line 6: bad SID"},
        {"domain flow with a port",  with_row("2 10   120001 130000 5    1 1 0 0 0 0"), "line 6: flow key out of range"},
        {"VSAN flow with a SID",     with_row("1 11   10000  0      5    1 1 0 0 0 0"), "line 6: flow key out of range"},
        {"exact SID below 0x010000", with_row("3 10   ffff   20202  5    1 1 0 0 0 0"), "line 6: flow key out of range"},
        {"counter not a number",     with_row("3 10   10101  20202  x    1 1 0 0 0 0"), "line 6: bad counter id"},
        {"five counts",              with_row("3 10   10101  20202  5    1 1 0 0 0   "), "line 6: missing count"},
        {"count of 2^64",            with_row("3 10   10101  20202  5    18446744073709551616 1 0 0 0 0"), "line 6: count out of range"},
        {"counts glued by a sign",   with_row("3 10   10101  20202  5    1 -1 0 0 0 0"), "line 6: missing count"},
        {"seven counts",             with_row("3 10   10101  20202  5    1 1 0 0 0 0 7"), "line 6: trailing text"},
        {"tab between counts",       with_row("3 10   10101  20202  5    1\t1 0 0 0 0"), "line 6: bad count"},
        {"short line",               with_row("3 10"), "line 6: row too short"},
        {"a row twice",              header + good + good, "line 6: row out of key order"},
        {"out of key order",         header + good + row_text(kWideRows[0]), "line 6: row out of key order"},
        {"text after not initialised", "Flow Tables are not yet initialized\nx\n", "line 1: not the display header"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        EXPECT_FALSE(display::parse(c.text, &error));
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

TEST(DisplayAssembler, JoinsChunksSplitAtEveryOffset) {
    const std::string text = display_text({std::begin(kWideRows), std::end(kWideRows)});
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        display::Assembler a;
        std::string error;
        ASSERT_TRUE(a.add(chunk(text.substr(0, cut), false), &error)) << error;
        EXPECT_FALSE(a.done());
        ASSERT_TRUE(a.add(chunk(text.substr(cut), true), &error)) << error;
        ASSERT_TRUE(a.done());
        EXPECT_EQ(a.chunks(), 2u);
        ASSERT_EQ(a.text(), text) << "cut at " << cut;
    }
}

TEST(DisplayAssembler, RefusesMalformedChunks) {
    struct Case {
        const char *what;
        std::vector<uint8_t> payload;
        const char *error;
    };
    std::vector<uint8_t> short_chunk = chunk("x", true);
    short_chunk.pop_back();
    const Case cases[] = {
        {"one byte short", short_chunk, "display chunk of 120651 bytes"},
        {"negative length", chunk("", true, -1), "display text length -1"},
        {"no room for the NUL", chunk("", true, 120632), "display text length 120632"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        display::Assembler a;
        std::string error;
        EXPECT_FALSE(a.add(c.payload, &error));
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(a.chunks(), 0u);
    }
    display::Assembler a;
    std::string error;
    ASSERT_TRUE(a.add(chunk(std::string(120631, 'a'), true), &error)) << error;
    EXPECT_FALSE(a.add(chunk("", true), &error));
    EXPECT_EQ(a.text().size(), 120631u);
}

// ---- totals against the definition ----------------------------------------

std::vector<display::Total> brute_force(const std::vector<Row> &rows,
                                        const std::vector<FlowKey> &missing) {
    std::vector<display::Total> out;
    for (const Row &f : rows) {
        display::Total t{f.key, f.counter, f.hw_frames + f.pos_frames - f.neg_frames,
                         f.hw_bytes + f.pos_bytes - f.neg_bytes, true};
        for (const Row &n : rows) {
            if (model::covers(f.key, n.key)) {
                t.frames += n.hw_frames;
                t.bytes += n.hw_bytes;
            }
        }
        for (const FlowKey &m : missing) {
            t.complete = t.complete && !model::covers(f.key, m);
        }
        out.push_back(t);
    }
    return out;
}

TEST(DisplayTotals, MatchBruteForceOnRandomTables) {
    std::mt19937_64 rng(20240601);
    auto pick = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); };
    // Counts near 2^64 as well, so that sums and differences wrap.
    auto count = [&]() -> uint64_t {
        switch (pick(3)) {
        case 0:
            return pick(1000);
        case 1:
            return kMax - pick(1000);
        default:
            return rng();
        }
    };
    for (int round = 0; round < 300; ++round) {
        // Few VSANs, domains and ports, so that flows nest.
        std::vector<FlowKey> keys;
        for (size_t i = pick(40); i > 0; --i) {
            const auto type = static_cast<FlowType>(1 + pick(3));
            const auto vsan = static_cast<uint32_t>(1 + pick(3));
            const auto sid = static_cast<uint32_t>((1 + pick(3)) << 16 | pick(2));
            const auto did = static_cast<uint32_t>((1 + pick(3)) << 16 | pick(2));
            keys.push_back(*model::make_key(type, vsan, sid, did, nullptr));
        }
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        std::vector<Row> rows;
        std::vector<FlowKey> missing;
        uint32_t counter = 1;
        for (const FlowKey &k : keys) {
            if (pick(6) == 0) {
                missing.push_back(k);
                continue;
            }
            rows.push_back({k, counter++, count(), count(), count(), count(), count(), count()});
        }
        // Through the text, so that the parser is checked on the same rows.
        std::string error;
        const auto table = display::parse(display_text(rows), &error);
        ASSERT_TRUE(table) << error;
        ASSERT_EQ(table->rows.size(), rows.size());

        const auto got = display::totals(table->rows, missing);
        const auto want = brute_force(rows, missing);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE("round " + std::to_string(round) + ", " + model::to_string(want[i].key));
            EXPECT_EQ(
                std::tie(got[i].key, got[i].counter, got[i].frames, got[i].bytes, got[i].complete),
                std::tie(want[i].key, want[i].counter, want[i].frames, want[i].bytes,
                         want[i].complete));
        }
    }
}

} // namespace
