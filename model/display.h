// Reading the library's display: reassembling its chunks into the table text,
// parsing the rows, and computing every flow's exact total from one display.
//
// The format (header lines, row widths) is the library's, shared through
// acl_tcam_flow_wire.h: a row is type, VSAN, SID, DID and counter id in fixed
// widths, then six counts separated by spaces. The first 26 characters
// are positional (no value of those five fields can overflow its width, the
// counter id reaching exactly five digits), so a 5-digit counter id glued to
// the frames that follow it is still read right; the six counts are read as
// space-separated numbers, since a wide count pushes the rest to the right.
//
// Totals (the library's query, for every flow in one pass):
//   total(F) = hw(F) + sum of hw(N) over every finer flow N of F
//              + pos(F) - neg(F)                         (mod 2^64)
// where the finer flows of a domain flow are the exact flows of its VSAN and
// domain pair, and those of a VSAN flow every domain and exact flow of its
// VSAN. A flow missing from the display (its counter could not be read) makes
// the total of every flow covering it incomplete.
#ifndef MODEL_DISPLAY_H
#define MODEL_DISPLAY_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "flow_key.h"

namespace display {

// Joins the chunks of one display, in order. add() takes one whole chunk
// payload (120,652 bytes: 12 reserved, u32 last_chunk, i32 text_len, text);
// it refuses a payload of another length or a text_len outside the text.
class Assembler {
public:
    bool add(std::span<const uint8_t> chunk, std::string *error);
    bool done() const { return done_; }
    size_t chunks() const { return chunks_; }
    const std::string &text() const { return text_; }

private:
    std::string text_;
    size_t chunks_ = 0;
    bool done_ = false;
};

struct Row {
    model::FlowKey key;
    uint32_t counter = 0;
    uint64_t hw_frames = 0, hw_bytes = 0;
    uint64_t pos_frames = 0, pos_bytes = 0;
    uint64_t neg_frames = 0, neg_bytes = 0;
};

struct Table {
    bool initialized = true; // false: "Flow Tables are not yet initialized"
    std::vector<Row> rows;   // in the display's (key) order
};

// Parses the whole text of a display. Refuses (with *error naming the line)
// anything that is not the four header lines followed by rows, or the single
// not-initialised line.
std::optional<Table> parse(std::string_view text, std::string *error);

// The header lines as the library prints them, newlines included.
std::string header_text();

// One row as the library prints it, newline included: what parse() reads
// back (for tests, fuzzers and tools that stand in for a card).
std::string row_text(const Row &row);

struct Total {
    model::FlowKey key;
    uint32_t counter = 0;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    bool complete = true; // false: a flow this total depends on is missing
};

// One total per row, in row order. missing: flows the card should hold but
// whose rows are absent; every row covering one of them is incomplete.
std::vector<Total> totals(std::span<const Row> rows, std::span<const model::FlowKey> missing);

} // namespace display

#endif // MODEL_DISPLAY_H
