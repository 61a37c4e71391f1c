// The display reader: chunk reassembly, the row parser and the one-pass
// totals (display.h has the row format and the totals rule).
//
// Invariants: parse() accepts only what the library prints, so every row it
// returns holds a key in the library's stored form (checked here, not
// trusted), and rows come in strictly increasing key order, which also rules
// out a flow listed twice. The parser never allocates per row beyond the
// result vector, and reads numbers with std::from_chars only.

#include "display.h"

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace display {

namespace {

constexpr size_t kChunkLen = ACL_TCAM_FS_PRINT_REPLY_LEN;
constexpr size_t kTextCapacity = ACL_TCAM_FS_PRINT_TEXT_CAPACITY;
// 65,535 rows of six 20-digit counts stay well below this; a card that keeps
// sending past it is broken, and must not grow a receiver without bound.
constexpr size_t kMaxTextBytes = 32u << 20;

constexpr std::string_view kNotInitialized = ACL_TCAM_WIRE_DISPLAY_NOT_INIT;
constexpr std::string_view kHeader[] = {
    ACL_TCAM_WIRE_DISPLAY_HEADER_0,
    ACL_TCAM_WIRE_DISPLAY_HEADER_1,
    ACL_TCAM_WIRE_DISPLAY_HEADER_2,
    ACL_TCAM_WIRE_DISPLAY_HEADER_3,
};
static_assert(std::size(kHeader) == ACL_TCAM_WIRE_DISPLAY_HEADER_LINES);

// The positional part of a row, its fields one after another at the widths
// the library prints them with.
struct Field {
    size_t at;
    size_t width;
    int base;
    size_t max_digits; // the widest value the library can print there
};
constexpr Field kType{0, ACL_TCAM_WIRE_ROW_TYPE_WIDTH, 10, 1};
constexpr Field kVsan{kType.at + kType.width, ACL_TCAM_WIRE_ROW_VSAN_WIDTH, 10, 4};
constexpr Field kSid{kVsan.at + kVsan.width, ACL_TCAM_WIRE_ROW_SID_WIDTH, 16, 6};
constexpr Field kDid{kSid.at + kSid.width, ACL_TCAM_WIRE_ROW_DID_WIDTH, 16, 6};
constexpr Field kCounter{kDid.at + kDid.width, ACL_TCAM_WIRE_ROW_COUNTER_WIDTH, 10, 5};
constexpr size_t kCountsAt = kCounter.at + kCounter.width;
constexpr size_t kCounts = ACL_TCAM_WIRE_ROW_COUNTS;
// Every count padded to its width and followed by a space or the newline.
constexpr size_t kMinRowBytes = kCountsAt + kCounts * (ACL_TCAM_WIRE_ROW_COUNT_WIDTH + 1);
// No field's widest value fills it: something always separates it from the
// next, except a five-digit counter id, which the counts' position settles.
static_assert(kType.max_digits < kType.width && kVsan.max_digits < kVsan.width &&
              kSid.max_digits < kSid.width && kDid.max_digits < kDid.width &&
              kCounter.max_digits <= kCounter.width);

bool is_digit(char c, int base) {
    if (c >= '0' && c <= '9') {
        return true;
    }
    return base == 16 && c >= 'a' && c <= 'f'; // "%x" prints lower case
}

// A left-aligned number padded with spaces to the field's width.
bool read_field(std::string_view line, const Field &f, uint32_t *out) {
    const char *begin = line.data() + f.at;
    const char *end = begin + f.width;
    const char *p = begin;
    while (p < end && is_digit(*p, f.base)) {
        ++p;
    }
    const size_t digits = static_cast<size_t>(p - begin);
    if (digits == 0 || digits > f.max_digits) {
        return false;
    }
    for (const char *q = p; q < end; ++q) {
        if (*q != ' ') {
            return false;
        }
    }
    return std::from_chars(begin, p, *out, f.base).ec == std::errc{};
}

// One row line (without its newline); nullptr on success, else what is wrong.
const char *parse_row(std::string_view line, Row *row) {
    if (line.size() < kCountsAt + 2 * kCounts - 1) {
        return "row too short";
    }
    uint32_t type = 0;
    uint32_t vsan = 0;
    if (!read_field(line, kType, &type) || type < 1 || type > 3) {
        return "bad flow type";
    }
    if (!read_field(line, kVsan, &vsan)) {
        return "bad VSAN";
    }
    row->key.type = static_cast<model::FlowType>(type);
    row->key.vsan = vsan;
    if (!read_field(line, kSid, &row->key.sid)) {
        return "bad SID";
    }
    if (!read_field(line, kDid, &row->key.did)) {
        return "bad DID";
    }
    if (!read_field(line, kCounter, &row->counter)) {
        return "bad counter id";
    }
    if (!model::is_stored_form(row->key)) {
        return "flow key out of range";
    }
    uint64_t *const counts[kCounts] = {&row->hw_frames, &row->hw_bytes,   &row->pos_frames,
                                       &row->pos_bytes, &row->neg_frames, &row->neg_bytes};
    const char *p = line.data() + kCountsAt;
    const char *const end = line.data() + line.size();
    for (size_t i = 0; i < kCounts; ++i) {
        if (i > 0) {
            // "%-8llu " leaves at least one space between two counts.
            if (p == end || *p != ' ') {
                return "bad count";
            }
            while (p < end && *p == ' ') {
                ++p;
            }
        }
        if (p == end || !is_digit(*p, 10)) {
            return i == 0 ? "bad count" : "missing count";
        }
        const auto [next, ec] = std::from_chars(p, end, *counts[i]);
        if (ec != std::errc{}) {
            return "count out of range";
        }
        p = next;
    }
    while (p < end && *p == ' ') {
        ++p;
    }
    return p == end ? nullptr : "trailing text";
}

bool fail(std::string *error, std::string why) {
    if (error != nullptr) {
        *error = std::move(why);
    }
    return false;
}

} // namespace

bool Assembler::add(std::span<const uint8_t> chunk, std::string *error) {
    if (done_) {
        return fail(error, "chunk after the last one");
    }
    if (chunk.size() != kChunkLen) {
        return fail(error, "display chunk of " + std::to_string(chunk.size()) +
                               " bytes, expected " + std::to_string(kChunkLen));
    }
    acl_tcam_wire_chunk_t c{};
    if (acl_tcam_wire_decode_chunk(chunk.data(), chunk.size(), &c) != 0) {
        const auto text_len =
            static_cast<int32_t>(acl_tcam_wire_get_be32(&chunk[ACL_TCAM_WIRE_TEXT_LEN_AT]));
        return fail(error, "display text length " + std::to_string(text_len) + " outside 0.." +
                               std::to_string(kTextCapacity - 1));
    }
    if (text_.size() + c.text_len > kMaxTextBytes) {
        return fail(error, "display text over " + std::to_string(kMaxTextBytes) + " bytes");
    }
    text_.append(c.text, c.text_len);
    ++chunks_;
    done_ = c.last != 0;
    return true;
}

std::string header_text() {
    std::string text;
    for (const std::string_view line : kHeader) {
        text.append(line).push_back('\n');
    }
    return text;
}

std::string row_text(const Row &r) {
    char line[256];
    std::snprintf(
        line, sizeof line, ACL_TCAM_WIRE_ROW_FORMAT, static_cast<int>(r.key.type),
        static_cast<int>(r.key.vsan), r.key.sid, r.key.did, static_cast<int>(r.counter),
        static_cast<unsigned long long>(r.hw_frames), static_cast<unsigned long long>(r.hw_bytes),
        static_cast<unsigned long long>(r.pos_frames), static_cast<unsigned long long>(r.pos_bytes),
        static_cast<unsigned long long>(r.neg_frames),
        static_cast<unsigned long long>(r.neg_bytes));
    return line;
}

std::optional<Table> parse(std::string_view text, std::string *error) {
    Table table;
    if (text == kNotInitialized) {
        table.initialized = false;
        return table;
    }
    // A row takes at least kMinRowBytes (every count padded to 8 digits), so
    // this bound keeps the parse to one allocation on a display of any size.
    table.rows.reserve(text.size() / kMinRowBytes);
    size_t line_no = 0;
    size_t at = 0;
    std::optional<Table> none;
    while (at < text.size()) {
        ++line_no;
        const size_t nl = text.find('\n', at);
        if (nl == std::string_view::npos) {
            fail(error, "line " + std::to_string(line_no) + ": no newline at the end");
            return none;
        }
        const std::string_view line = text.substr(at, nl - at);
        at = nl + 1;
        if (line_no <= std::size(kHeader)) {
            if (line != kHeader[line_no - 1]) {
                fail(error, "line " + std::to_string(line_no) + ": not the display header");
                return none;
            }
            continue;
        }
        Row row;
        if (const char *why = parse_row(line, &row); why != nullptr) {
            fail(error, "line " + std::to_string(line_no) + ": " + why);
            return none;
        }
        if (!table.rows.empty() && !(table.rows.back().key < row.key)) {
            fail(error, "line " + std::to_string(line_no) + ": row out of key order");
            return none;
        }
        table.rows.push_back(row);
    }
    if (line_no < std::size(kHeader)) {
        fail(error, text.empty() ? std::string("empty display")
                                 : "line " + std::to_string(line_no + 1) + ": header cut short");
        return none;
    }
    return table;
}

namespace {

struct Sum {
    uint64_t frames = 0;
    uint64_t bytes = 0;
};

// A domain pair inside a VSAN: 12 + 8 + 8 bits.
uint32_t domain_pair(const model::FlowKey &k) {
    return k.vsan << 16 | (k.sid & model::kDomainMask) >> 8 | (k.did & model::kDomainMask) >> 16;
}

} // namespace

std::vector<Total> totals(std::span<const Row> rows, std::span<const model::FlowKey> missing) {
    using model::FlowType;
    // The hardware counts of finer flows, summed once: every domain and exact
    // row into its VSAN, every exact row into its domain pair.
    std::unordered_map<uint32_t, Sum> by_vsan;
    std::unordered_map<uint32_t, Sum> by_pair;
    by_pair.reserve(rows.size());
    for (const Row &r : rows) {
        if (r.key.type == FlowType::Vsan) {
            continue;
        }
        Sum &v = by_vsan[r.key.vsan];
        v.frames += r.hw_frames;
        v.bytes += r.hw_bytes;
        if (r.key.type == FlowType::Exact) {
            Sum &d = by_pair[domain_pair(r.key)];
            d.frames += r.hw_frames;
            d.bytes += r.hw_bytes;
        }
    }
    // A missing flow leaves out its counts from every flow covering it.
    std::unordered_set<uint32_t> vsan_incomplete;
    std::unordered_set<uint32_t> pair_incomplete;
    for (const model::FlowKey &m : missing) {
        if (m.type != FlowType::Vsan) {
            vsan_incomplete.insert(m.vsan);
        }
        if (m.type == FlowType::Exact) {
            pair_incomplete.insert(domain_pair(m));
        }
    }

    std::vector<Total> out;
    out.reserve(rows.size());
    for (const Row &r : rows) {
        Total t{r.key, r.counter, r.hw_frames + r.pos_frames - r.neg_frames,
                r.hw_bytes + r.pos_bytes - r.neg_bytes, true};
        const Sum *finer = nullptr;
        if (r.key.type == FlowType::Vsan) {
            if (auto it = by_vsan.find(r.key.vsan); it != by_vsan.end()) {
                finer = &it->second;
            }
            t.complete = !vsan_incomplete.contains(r.key.vsan);
        } else if (r.key.type == FlowType::Domain) {
            const uint32_t pair = domain_pair(r.key);
            if (auto it = by_pair.find(pair); it != by_pair.end()) {
                finer = &it->second;
            }
            t.complete = !pair_incomplete.contains(pair);
        }
        if (finer != nullptr) {
            t.frames += finer->frames;
            t.bytes += finer->bytes;
        }
        out.push_back(t);
    }
    return out;
}

} // namespace display
