#include "scenario.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "acl_tcam_flow_stats.h"
#include "status.h"

namespace scenario {

namespace {

struct VerbName {
    std::string_view word;
    Verb verb;
};

constexpr VerbName kVerbs[] = {
    {"init", Verb::Init},     {"region-ready", Verb::RegionReady},
    {"add", Verb::Add},       {"del", Verb::Del},
    {"get", Verb::Get},       {"traffic", Verb::Traffic},
    {"lookup", Verb::Lookup}, {"show", Verb::Show},
    {"verify", Verb::Verify}, {"echo", Verb::Echo},
};

// A frame's VSAN tag and FC IDs.
constexpr uint32_t kVsanMax = model::kMaxVsan;
constexpr uint32_t kFcidMax = model::kMaxFcid;
// A request's fields on the wire.
constexpr uint64_t kRequestFieldMax = UINT32_MAX;

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (true) {
        at = line.find_first_not_of(" \t\r", at);
        if (at == std::string_view::npos) {
            return words;
        }
        const size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
        words.push_back(line.substr(at, end - at));
        at = end;
    }
}

std::string quoted(std::string_view word) {
    return "'" + printable(word) + "'";
}

// Reads the words of one command in order, keeping the first error.
class Reader {
public:
    Reader(std::string_view what, std::vector<std::string_view> words)
        : what_(what), words_(std::move(words)) {}

    bool failed() const { return !error_.empty(); }
    const std::string &error() const { return error_; }

    // The next word, taken only if it is this one.
    bool take(std::string_view expected) {
        if (next_ < words_.size() && words_[next_] == expected) {
            ++next_;
            return true;
        }
        return false;
    }

    void fail(const std::string &message) {
        if (error_.empty()) {
            error_ = std::string(what_) + ": " + message;
        }
    }

    std::optional<std::string_view> word(const char *expected) {
        if (next_ >= words_.size() || words_[next_].find('=') != std::string_view::npos) {
            fail(std::string("expected ") + expected);
            return std::nullopt;
        }
        return words_[next_++];
    }

    uint64_t value(const char *expected, uint64_t max) {
        const auto w = word(expected);
        if (!w) {
            return 0;
        }
        return checked(*w, expected, max);
    }

    uint64_t checked(std::string_view w, const char *what, uint64_t max) {
        const auto v = model::parse_number(w);
        if (!v) {
            fail(quoted(w) + " is not a number");
            return 0;
        }
        if (*v > max) {
            fail(std::string(what) + " " + std::string(w) + " is out of range (at most " +
                 std::to_string(max) + ")");
            return 0;
        }
        return *v;
    }

    // The remaining words must all be name=value options from the allowed
    // list, each at most once; returns them in order.
    std::vector<std::pair<std::string_view, std::string_view>>
    options(std::initializer_list<std::string_view> allowed) {
        std::vector<std::pair<std::string_view, std::string_view>> out;
        for (; next_ < words_.size(); ++next_) {
            const std::string_view w = words_[next_];
            const size_t eq = w.find('=');
            const std::string_view name = w.substr(0, eq);
            bool known = eq != std::string_view::npos && eq + 1 < w.size();
            known = known && std::find(allowed.begin(), allowed.end(), name) != allowed.end();
            if (!known) {
                fail("unexpected " + quoted(w));
                return out;
            }
            if (std::any_of(out.begin(), out.end(),
                            [&](const auto &o) { return o.first == name; })) {
                fail(std::string(name) + "= given twice");
                return out;
            }
            out.emplace_back(name, w.substr(eq + 1));
        }
        return out;
    }

private:
    std::string_view what_;
    std::vector<std::string_view> words_;
    size_t next_ = 1; // past the verb
    std::string error_;
};

// V SID DID of a frame: a conversation, or the key a lookup asks about.
void conversation(Reader &r, FlowSpec &flow) {
    flow.vsan = static_cast<uint32_t>(r.value("VSAN", kVsanMax));
    if (!r.failed() && flow.vsan == 0) {
        r.fail("VSAN 0 is out of range (" + std::to_string(model::kMinVsan) + " to " +
               std::to_string(kVsanMax) + ")");
    }
    flow.sid = static_cast<uint32_t>(r.value("SID", kFcidMax));
    flow.did = static_cast<uint32_t>(r.value("DID", kFcidMax));
}

// A request's flow, its fields as written: the host expects the library to
// refuse what it does not accept.
void parse_flow(Reader &r, FlowSpec &flow) {
    const auto g = r.word("vsan, domain or exact");
    if (!g) {
        return;
    }
    if (*g != "vsan" && *g != "domain" && *g != "exact") {
        r.fail("expected vsan, domain or exact, not " + quoted(*g));
        return;
    }
    flow.granularity = *g == "vsan"     ? Granularity::Vsan
                       : *g == "domain" ? Granularity::Domain
                                        : Granularity::Exact;
    flow.vsan = static_cast<uint32_t>(r.value("VSAN", kRequestFieldMax));
    if (flow.granularity != Granularity::Vsan) {
        flow.sid = static_cast<uint32_t>(r.value("SID", kRequestFieldMax));
        flow.did = static_cast<uint32_t>(r.value("DID", kRequestFieldMax));
    }
}

void parse_request(Reader &r, Command &c) {
    parse_flow(r, c.flow);
    for (const auto &[name, value] : r.options({"index", "expect"})) {
        if (name == "index") {
            c.index = static_cast<uint32_t>(r.checked(value, "index", UINT32_MAX));
        } else if (!(c.expect = model::parse_status(value))) {
            r.fail("unknown status " + quoted(value));
        }
    }
}

void parse_traffic(Reader &r, Command &c) {
    if (r.take("random")) {
        c.verb = Verb::RandomTraffic;
        c.frames = r.value("a frame count", UINT32_MAX);
        if (!r.failed() && c.frames == 0) {
            r.fail("random traffic of 0 frames");
        }
        for (const auto &[name, value] : r.options({"seed"})) {
            c.seed = r.checked(value, "seed", UINT64_MAX);
        }
        return;
    }
    conversation(r, c.flow);
    bool frames = false;
    bool bytes = false;
    for (const auto &[name, value] : r.options({"frames", "bytes"})) {
        uint64_t &field = name == "frames" ? c.frames : c.bytes;
        (name == "frames" ? frames : bytes) = true;
        field = r.checked(value, name == "frames" ? "frames" : "bytes", UINT32_MAX);
    }
    if (!frames || !bytes) {
        r.fail("needs frames=N and bytes=N");
    } else if (c.frames == 0) {
        r.fail("frames=0: a burst has at least one frame");
    } else if (c.bytes < c.frames || c.bytes > c.frames * kFrameBytesMax) {
        r.fail("bytes=" + std::to_string(c.bytes) + " for frames=" + std::to_string(c.frames) +
               ": a frame carries 1 to " + std::to_string(kFrameBytesMax) + " bytes");
    }
}

void parse_lookup(Reader &r, Command &c) {
    conversation(r, c.flow);
    c.lookup_type = static_cast<uint32_t>(r.value("TYPE (1, 2 or 3)", FLOW_TYPE_SID_DID));
    if (!r.failed() && c.lookup_type < FLOW_TYPE_VSAN) {
        r.fail("TYPE 0 is out of range (1, 2 or 3)");
    }
    for (const auto &[name, value] : r.options({"expect"})) {
        c.expect = static_cast<uint32_t>(r.checked(value, "expect", UINT16_MAX));
    }
}

void parse_init(Reader &r, Command &c) {
    c.first_counter_id = static_cast<uint32_t>(r.value("FIRST counter id", UINT32_MAX));
    c.table_size = static_cast<uint32_t>(r.value("table SIZE", UINT32_MAX));
    if (!r.failed() && c.first_counter_id == 0) {
        r.fail("FIRST counter id 0 is out of range (counter 0 means no counter)");
    }
    for (const auto &[name, value] : r.options({"expect"})) {
        if (!(c.expect = model::parse_status(value))) {
            r.fail("unknown status " + quoted(value));
        }
    }
}

struct LineBuffer {
    char *data = nullptr; // getline(3) allocates and grows it
    size_t capacity = 0;
    ~LineBuffer() { std::free(data); }
};

struct CloseFile {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

} // namespace

std::string printable(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte < 0x7f) {
            out += ch;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        }
    }
    return out;
}

Parsed parse_line(std::string_view line) {
    line = line.substr(0, line.find('#'));
    std::vector<std::string_view> words = split_words(line);
    if (words.empty()) {
        return {};
    }
    const std::string_view verb_word = words.front();
    const auto known = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                    [&](const VerbName &v) { return v.word == verb_word; });
    if (known == std::end(kVerbs)) {
        return {std::nullopt, "unknown command " + quoted(verb_word)};
    }
    Command c;
    c.verb = known->verb;
    Reader r(verb_word, std::move(words));
    switch (c.verb) {
    case Verb::Init:
        parse_init(r, c);
        break;
    case Verb::Add:
    case Verb::Del:
    case Verb::Get:
        parse_request(r, c);
        break;
    case Verb::Traffic:
        parse_traffic(r, c);
        break;
    case Verb::Lookup:
        parse_lookup(r, c);
        break;
    case Verb::Echo: {
        const size_t at = line.find(verb_word) + verb_word.size();
        const size_t text = line.find_first_not_of(" \t", at);
        c.text = text == std::string_view::npos ? "" : std::string(line.substr(text));
        while (!c.text.empty() && (c.text.back() == ' ' || c.text.back() == '\r')) {
            c.text.pop_back();
        }
        break;
    }
    default: // region-ready, show, verify take nothing
        r.options({});
        break;
    }
    if (r.failed()) {
        return {std::nullopt, r.error()};
    }
    return {std::move(c), ""};
}

// stdio rather than a stream: a directory opens, and only errno tells why
// reading it then fails.
bool load(const std::string &path, std::vector<Step> &steps, std::string &error) {
    const std::unique_ptr<std::FILE, CloseFile> in(std::fopen(path.c_str(), "r"));
    if (!in) {
        error = printable(path) + ": cannot open: " + std::strerror(errno);
        return false;
    }
    LineBuffer line;
    ssize_t length = 0;
    for (int number = 1; (length = getline(&line.data, &line.capacity, in.get())) >= 0; ++number) {
        std::string_view text(line.data, static_cast<size_t>(length));
        if (text.ends_with('\n')) {
            text.remove_suffix(1);
        }
        Parsed p = parse_line(text);
        if (!p.error.empty()) {
            error = printable(path) + ":" + std::to_string(number) + ": " + p.error;
            return false;
        }
        if (p.command) {
            steps.push_back({number, std::move(*p.command)});
        }
    }
    const int read_error = errno;
    if (std::ferror(in.get())) {
        error = printable(path) + ": cannot read: " + std::strerror(read_error);
        return false;
    }
    return true;
}

namespace {

std::string flow_text(const FlowSpec &f) {
    return model::to_string({f.granularity, f.vsan, f.sid, f.did});
}

std::string conversation_text(const FlowSpec &f) {
    return std::to_string(f.vsan) + " " + model::fcid_hex(f.sid) + " " + model::fcid_hex(f.did);
}

const char *verb_word(Verb verb) {
    for (const VerbName &v : kVerbs) {
        if (v.verb == verb) {
            return v.word.data();
        }
    }
    return "traffic"; // random traffic shares the word
}

} // namespace

std::string format(const Command &c) {
    std::string text = verb_word(c.verb);
    switch (c.verb) {
    case Verb::Init:
        text += " " + std::to_string(c.first_counter_id) + " " + std::to_string(c.table_size);
        text += c.expect ? " expect=" + model::status_name(*c.expect) : "";
        break;
    case Verb::Add:
    case Verb::Del:
    case Verb::Get:
        text += " " + flow_text(c.flow);
        text += c.index != 1 ? " index=" + std::to_string(c.index) : "";
        text += c.expect ? " expect=" + model::status_name(*c.expect) : "";
        break;
    case Verb::Traffic:
        text += " " + conversation_text(c.flow) + " frames=" + std::to_string(c.frames) +
                " bytes=" + std::to_string(c.bytes);
        break;
    case Verb::RandomTraffic:
        text += " random " + std::to_string(c.frames) + " seed=" + std::to_string(c.seed);
        break;
    case Verb::Lookup:
        text += " " + conversation_text(c.flow) + " " + std::to_string(c.lookup_type);
        text += c.expect ? " expect=" + std::to_string(*c.expect) : "";
        break;
    case Verb::Echo:
        text += " " + c.text;
        break;
    default:
        break;
    }
    return text;
}

} // namespace scenario
