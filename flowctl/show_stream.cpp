// The show writers and the streamed flow.show (show_stream.h).

#include "show_stream.h"

#include <algorithm>
#include <charconv>

#include "status.h"

namespace flowctl {

// ---- table ----------------------------------------------------------------------

void TableWriter::rows(std::span<const FlowRow> rows) {
    for (const FlowRow &f : rows) {
        marked_ = marked_ || (f.counter && !f.complete);
    }
    if (laid_out_) {
        write(rows);
        return;
    }
    // Exactly the first kTableHead rows, however the parts fall.
    const size_t taken = std::min(rows.size(), kTableHead - head_.size());
    head_.insert(head_.end(), rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(taken));
    if (head_.size() == kTableHead) {
        lay_out();
        write(rows.subspan(taken));
    }
}

model::Status TableWriter::finish(const std::vector<ShowCard> &cards) {
    if (!laid_out_) {
        lay_out();
    }
    out_(flows_footnotes(marked_, cards));
    return model::Ok{};
}

// The columns and their widths from the rows held so far, as a table of
// those rows alone would have them; then those rows.
void TableWriter::lay_out() {
    named_ =
        std::any_of(head_.begin(), head_.end(), [](const FlowRow &f) { return !f.name.empty(); });
    cleared_ = std::any_of(head_.begin(), head_.end(), [](const FlowRow &f) { return f.cleared; });
    columns_ = flow_columns(named_, cleared_);
    std::vector<std::string> titles;
    for (const Column &c : columns_) {
        widths_.push_back(c.title.size());
        titles.push_back(c.title);
    }
    for (const FlowRow &f : head_) {
        const std::vector<std::string> cells = flow_cells(f, named_, cleared_);
        for (size_t c = 0; c < columns_.size(); ++c) {
            widths_[c] = std::max(widths_[c], cells[c].size());
        }
    }
    std::string text;
    table_line(text, columns_, widths_, titles);
    out_(text);
    laid_out_ = true;
    write(head_);
    head_ = std::vector<FlowRow>();
}

void TableWriter::write(std::span<const FlowRow> rows) {
    std::string text;
    for (const FlowRow &f : rows) {
        std::vector<std::string> cells = flow_cells(f, named_, cleared_);
        // A name or a clear first seen after the layout still shows, at the
        // end of its line.
        if (!named_ && !f.name.empty()) {
            cells.push_back(f.name);
        }
        if (!cleared_ && f.counter && f.cleared) {
            cells.push_back("clear");
        }
        table_line(text, columns_, widths_, cells);
    }
    out_(text);
}

// ---- JSON -----------------------------------------------------------------------

namespace {

void append_number(std::string &out, uint64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// A JSON string as nlohmann writes it; names and status names are plain.
void append_string(std::string &out, std::string_view text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    });
    if (plain) {
        out += '"';
        out += text;
        out += '"';
    } else {
        out += json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
    }
}

void append_fcid(std::string &out, uint32_t fcid) {
    static constexpr char kHex[] = "0123456789abcdef";
    char text[10] = {'"', '0', 'x', 0, 0, 0, 0, 0, 0, '"'};
    for (int i = 0; i < 6; ++i) {
        text[8 - i] = kHex[(fcid >> (4 * i)) & 0xf];
    }
    out.append(text, sizeof text);
}

} // namespace

void append_flow_json(std::string &out, const FlowRow &f) {
    // The members in nlohmann's order (sorted), as flow_json(f).dump().
    out += "{\"bytes\":";
    append_number(out, f.bytes);
    out += f.cleared ? ",\"cleared\":true,\"code\":" : ",\"cleared\":false,\"code\":";
    append_number(out, f.code);
    out += f.complete ? ",\"complete\":true,\"counter\":" : ",\"complete\":false,\"counter\":";
    if (f.counter) {
        append_number(out, *f.counter);
    } else {
        out += "null";
    }
    out += ",\"did\":";
    append_fcid(out, f.key.did);
    out += ",\"frames\":";
    append_number(out, f.frames);
    out += ",\"name\":";
    append_string(out, f.name);
    out += ",\"refusal\":";
    if (f.status == model::FlowStatus::Refused) {
        append_string(out, model::status_name(f.code));
    } else {
        out += "null";
    }
    out += ",\"sid\":";
    append_fcid(out, f.key.sid);
    out += ",\"slot\":";
    append_number(out, f.slot);
    out += ",\"status\":";
    append_string(out, f.status ? model::status_name(*f.status) : "unconfigured");
    out += ",\"type\":\"";
    out += model::type_name(f.key.type);
    out += "\",\"vsan\":";
    append_number(out, f.key.vsan);
    out += '}';
}

void JsonWriter::open() {
    if (!opened_) {
        opened_ = true;
        out_("{\"flows\":[");
    }
}

void JsonWriter::rows(std::span<const FlowRow> rows) {
    open();
    text_.clear();
    for (const FlowRow &f : rows) {
        if (!first_) {
            text_ += ',';
        }
        first_ = false;
        append_flow_json(text_, f);
    }
    out_(text_);
}

model::Status JsonWriter::finish(const std::vector<ShowCard> &cards) {
    open();
    json list = json::array();
    for (const ShowCard &c : cards) {
        list.push_back(api::to_json(c));
    }
    out_("],\"cards\":" + list.dump() + "}\n");
    return model::Ok{};
}

bool JsonWriter::fail(const json &error) {
    if (!opened_) {
        return false;
    }
    out_("],\"error\":" + error.dump() + "}\n");
    return true;
}

// ---- the streamed flow.show -------------------------------------------------------

model::Result<std::vector<ShowCard>>
stream_show(RpcClient &client, json params,
            const std::function<void(std::span<const FlowRow>)> &on_rows) {
    params["stream"] = true;
    api::ShowPart part;
    uint64_t streamed = 0;
    const auto on_line = [&](std::string_view line, long id) -> model::Result<bool> {
        const model::Result<bool> decoded = api::decode_show_part(line, part);
        if (!decoded || !*decoded) {
            return decoded;
        }
        if (part.id != id) {
            return model::error(model::Errc::Protocol,
                                "flow.show.part of another request than " + std::to_string(id));
        }
        streamed += part.flows.size();
        on_rows(part.flows);
        return true;
    };
    auto reply = client.call_streamed("flow.show", params, on_line);
    if (!reply) {
        return reply.error();
    }
    auto snapshot = api::decode_show(*reply);
    if (!snapshot) {
        return model::error(model::Errc::Protocol, "flow.show: " + snapshot.error().message);
    }
    // A supervisor that does not stream answers with the rows inline.
    if (!snapshot->flows.empty()) {
        streamed += snapshot->flows.size();
        on_rows(snapshot->flows);
    }
    if (const auto rows = reply->find("rows"); rows != reply->end() && *rows != json(streamed)) {
        return model::error(model::Errc::Protocol, "flow.show: " + rows->dump() +
                                                       " rows announced, " +
                                                       std::to_string(streamed) + " received");
    }
    return std::move(snapshot->cards);
}

} // namespace flowctl
