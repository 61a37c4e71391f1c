// flowctl show as the snapshot arrives: the supervisor streams flow.show one
// part at a time (at most 1,024 rows of one slot), and each format writes a
// part's rows before the next is read, so that flowctl's memory does not grow
// with the chassis and the first rows print at once.
//
// Invariants: a writer fed a snapshot in parts writes what it writes for the
// same snapshot in one piece, with one exception, the table: its columns are
// laid out from its first kTableHead rows (all of them in a smaller
// snapshot), and a wider cell later pushes its own line.
#ifndef FLOWCTL_SHOW_STREAM_H
#define FLOWCTL_SHOW_STREAM_H

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exposition.h"
#include "format.h"
#include "rpc_client.h"

namespace flowctl {

class ShowWriter {
public:
    using Out = std::function<void(std::string_view)>;
    virtual ~ShowWriter() = default;
    // A part's rows, in the snapshot's order.
    virtual void rows(std::span<const FlowRow> rows) = 0;
    // The end: every card's entry, in slot order.
    virtual model::Status finish(const std::vector<ShowCard> &cards) = 0;
};

// The rows a table holds back to lay out its columns.
inline constexpr size_t kTableHead = 1024;

// The flow table, then its footnotes (the incomplete marker, cards down or
// whose display failed).
class TableWriter : public ShowWriter {
public:
    explicit TableWriter(Out out) : out_(std::move(out)) {}
    void rows(std::span<const FlowRow> rows) override;
    model::Status finish(const std::vector<ShowCard> &cards) override;

private:
    void lay_out();
    void write(std::span<const FlowRow> rows);
    Out out_;
    std::vector<FlowRow> head_;
    bool laid_out_ = false;
    bool named_ = false, cleared_ = false;
    std::vector<Column> columns_;
    std::vector<size_t> widths_;
    bool marked_ = false; // a held flow's total is incomplete
};

// flowctl's JSON document for show: {"flows": [...], "cards": [...]}. The
// rows come first: they are written as they arrive, the cards at the end.
class JsonWriter : public ShowWriter {
public:
    explicit JsonWriter(Out out) : out_(std::move(out)) {}
    void rows(std::span<const FlowRow> rows) override;
    model::Status finish(const std::vector<ShowCard> &cards) override;
    // A failure after the document began ends it with an "error" member, so
    // that standard output still holds one JSON object; false when nothing
    // was written yet (the failure is then printed on its own).
    bool fail(const json &error);

private:
    void open();
    Out out_;
    bool opened_ = false;
    bool first_ = true;
    std::string text_;
};

// A row in flowctl's JSON, as flow_json(row).dump() writes it, without the
// document (a show writes a million of them).
void append_flow_json(std::string &out, const FlowRow &row);

// The flow families of the Prometheus text (api::FlowExposition), with the
// bytes family spooled to a temporary file.
class PrometheusWriter : public ShowWriter {
public:
    explicit PrometheusWriter(Out out) : exposition_(std::move(out)) {}
    void rows(std::span<const FlowRow> rows) override { exposition_.rows(rows); }
    model::Status finish(const std::vector<ShowCard> &cards) override {
        return exposition_.finish(cards);
    }

private:
    api::FlowExposition exposition_;
};

// Asks flow.show with "stream": true and hands each part's rows to on_rows
// as it arrives; returns the cards' entries of the answer. The answer's
// count of rows must be the parts'. An answer with its rows inline (not
// streamed) is handed over too, in one piece.
model::Result<std::vector<ShowCard>>
stream_show(RpcClient &client, json params,
            const std::function<void(std::span<const FlowRow>)> &on_rows);

} // namespace flowctl

#endif // FLOWCTL_SHOW_STREAM_H
