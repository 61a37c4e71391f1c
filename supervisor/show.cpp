// flow.show and flow.clear (show.h): the snapshot taken card by card, the
// merge of displays and configured flows, totals since each flow's clear,
// flow.show's two ways of writing it, and the clear taking its baselines from
// the same rows.

#include "show.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <span>
#include <utility>

#include "baseline.h"
#include "display.h"
#include "log.h"
#include "sync_plan.h"

namespace supervisor {

namespace {

using api::FlowText;
using model::Error;
using model::FlowKey;
using ShowRow = api::ShowFlow;

// Room for one row (a row with 20-digit counts is longer; the string then
// grows as usual).
constexpr size_t kShowRowBytes = 200;

// A card's display with the boot it was read in: a baseline applies only to
// totals of its own boot.
struct BootDisplay {
    DisplayText display;
    uint64_t boot_id = 0;
};

// The held rows of a display the card could give, filtered; nullopt with
// *error when there is none. unheld: the configured flows the card lacks.
// Totals are since each flow's clear unless filter.since_boot; void
// baselines go to drops.
std::optional<std::vector<ShowRow>>
held_rows(uint32_t slot, const SlotFlows &configured, Outcome<BootDisplay> &display,
          const api::ShowParams &filter, std::vector<FlowKey> &unheld, bool &complete,
          std::vector<Store::BaselineUpdate> &drops, std::string &error) {
    if (const Error *failure = model::failed(display)) {
        error = failure->message;
        return std::nullopt;
    }
    std::string why;
    const auto table = display::parse(display->display.text, &why);
    std::string().swap(display->display.text); // megabytes, no longer needed
    if (!table) {
        error = "unreadable display: " + why;
        return std::nullopt;
    }
    if (!table->initialized) {
        error = "the card's flow table is not initialized";
        return std::nullopt;
    }
    std::vector<FlowKey> held; // in key order, as the display lists them
    held.reserve(table->rows.size());
    for (const display::Row &row : table->rows) {
        held.push_back(row.key);
    }
    unheld = diff(configured, held).to_add;
    // Applied flows missing from the display: their counters could not be
    // read, so every total covering them is a lower bound.
    std::vector<FlowKey> missing;
    std::copy_if(unheld.begin(), unheld.end(), std::back_inserter(missing),
                 [&configured](const FlowKey &key) {
                     return configured.at(key).status == FlowStatus::Applied;
                 });
    const std::vector<display::Total> totals = display::totals(table->rows, missing);
    complete = std::all_of(totals.begin(), totals.end(),
                           [](const display::Total &t) { return t.complete; });
    std::vector<ShowRow> rows;
    rows.reserve(totals.size() + configured.size());
    for (const display::Total &total : totals) {
        if (!filter.admits(total.key)) {
            continue;
        }
        ShowRow row{slot, total.key, total.counter, total.frames, total.bytes, total.complete, {},
                    0,    {},        false};
        if (const auto it = configured.find(total.key); it != configured.end()) {
            row.status = it->second.status;
            row.code = it->second.code;
            row.name = it->second.name;
            const SinceClear since = since_clear(total.frames, total.bytes, total.complete,
                                                 it->second.baseline, display->boot_id);
            if (since.drop) {
                drops.emplace_back(total.key, std::nullopt);
            }
            if (!filter.since_boot) {
                row.frames = since.frames;
                row.bytes = since.bytes;
                row.cleared = since.cleared;
            }
        }
        rows.push_back(row);
    }
    return rows;
}

// The rows of one slot and the card's entry. display: the card's display
// (its text is dropped once read), or the error that kept it away; nullptr
// for a card down.
SlotSnapshot slot_rows(Services &services, uint32_t slot, Outcome<BootDisplay> *display,
                       const api::ShowParams &filter) {
    const SlotFlows &configured = services.store.flows(slot);
    SlotSnapshot out{{slot, services.cards.state(slot), false, std::nullopt}, {}, std::nullopt};
    api::ShowCard &card = out.card;
    std::vector<FlowKey> unheld;
    std::vector<Store::BaselineUpdate> drops;
    std::string error;
    std::optional<std::vector<ShowRow>> held;
    if (display == nullptr) {
        error = card_down_error(slot).message;
    } else {
        held = held_rows(slot, configured, *display, filter, unheld, card.complete, drops, error);
    }
    if (!held) {
        card.error = error;
    } else {
        out.boot_id = (*display)->boot_id;
    }
    std::vector<ShowRow> &rows = out.rows;
    rows = held ? std::move(*held) : std::vector<ShowRow>{};
    const size_t held_count = rows.size();
    const auto add_unheld = [&](const FlowKey &key, const ConfiguredFlow &state) {
        if (filter.admits(key)) {
            rows.push_back(ShowRow{slot, key, std::nullopt, 0, 0, false, state.status, state.code,
                                   state.name, false});
        }
    };
    if (held) {
        for (const FlowKey &key : unheld) {
            const ConfiguredFlow &state = configured.at(key);
            // The card's counter of it is gone: a re-add counts from zero.
            if (state.baseline && filter.admits(key)) {
                drops.emplace_back(key, std::nullopt);
            }
            add_unheld(key, state);
        }
    } else { // no display: the card holds none of them as far as we know
        for (const auto &[key, state] : configured) {
            add_unheld(key, state);
        }
    }
    if (rows.size() != held_count) {
        const auto by_key = [](const ShowRow &a, const ShowRow &b) { return a.key < b.key; };
        const auto middle = rows.begin() + static_cast<std::ptrdiff_t>(held_count);
        std::stable_sort(middle, rows.end(), by_key);
        std::inplace_merge(rows.begin(), middle, rows.end(), by_key);
    }
    if (std::string why; !drops.empty() && !services.store.set_baselines(slot, drops, &why)) {
        log(Severity::Error,
            "slot " + std::to_string(slot) + ": void clear baselines not dropped: " + why);
    }
    return out;
}

// Why a selected flow could not be cleared.
std::string not_cleared_reason(const SlotSnapshot &slot, const ShowRow &row) {
    if (slot.card.error) {
        return *slot.card.error;
    }
    if (!row.counter) {
        return "not held by the card (" + std::string(model::status_name(*row.status)) + ")";
    }
    return "incomplete total (a counter inside it could not be read)";
}

// One snapshot in progress: displays asked in slot order, at most
// kSnapshotWindow of them out or waiting at once, each slot handed to the
// sink in order once its display is in and the sink is ready.
class Snapshot : public std::enable_shared_from_this<Snapshot> {
public:
    Snapshot(Services &services, api::ShowParams params, std::shared_ptr<SnapshotSink> sink)
        : services_(services), params_(std::move(params)), sink_(std::move(sink)),
          slots_(params_.slots ? *params_.slots : known_slots(services)), displays_(slots_.size()) {
    }

    void start() {
        ask_more();
        hand_on();
    }

private:
    // A slot's display as it came, or nullptr's stand-in: the card was down.
    struct Arrived {
        std::optional<Outcome<BootDisplay>> display;
    };

    void ask_more() {
        while (asked_ < slots_.size() && asked_ - handed_ < kSnapshotWindow) {
            const size_t index = asked_++;
            const uint32_t slot = slots_[index];
            if (services_.cards.state(slot) == CardState::Down) {
                displays_[index] = Arrived{};
                continue;
            }
            services_.cards.display(
                slot, [self = shared_from_this(), index, slot](Outcome<DisplayText> outcome) {
                    // The session that answered is still the slot's: read its boot now.
                    const auto hello = self->services_.cards.hello(slot);
                    Outcome<BootDisplay> display = card_down_error(slot);
                    if (const Error *failure = model::failed(outcome)) {
                        display = *failure;
                    } else if (hello) {
                        display = BootDisplay{std::move(*outcome), hello->boot_id};
                    }
                    self->displays_[index] = Arrived{std::move(display)};
                    self->hand_on();
                });
        }
    }

    // Pieces to the sink for as long as it is ready and one is in. A sink
    // ready at once (its resume called inside pace) is served by this loop,
    // not by a call deeper down.
    void hand_on() {
        if (handing_) {
            return;
        }
        handing_ = true;
        while (!stopped_ && !pacing_ && hand_piece()) {
        }
        handing_ = false;
    }

    // The next piece: the current slot's, or the next slot's once its display
    // is in. false when there is none to hand yet (or any more).
    bool hand_piece() {
        if (!current_) {
            if (handed_ == slots_.size()) {
                if (!ended_) {
                    ended_ = true;
                    sink_->end();
                }
                return false;
            }
            std::optional<Arrived> &next = displays_[handed_];
            if (!next) {
                return false;
            }
            current_ = slot_rows(services_, slots_[handed_],
                                 next->display ? &*next->display : nullptr, params_);
            next.reset(); // the display's text goes before the rows are written
            ++handed_;
            at_ = 0;
            ask_more();
        }
        const std::vector<ShowRow> &rows = current_->rows;
        const size_t end = std::min(rows.size(), at_ + kShowPartRows);
        const std::span<const ShowRow> piece(rows.data() + at_, end - at_);
        at_ = end;
        pacing_ = true;
        sink_->piece(*current_, piece, at_ == rows.size());
        if (at_ == rows.size()) {
            current_.reset();
        }
        sink_->pace([self = shared_from_this()](bool go) {
            self->pacing_ = false;
            if (!go) {
                self->stopped_ = true;
                return;
            }
            self->hand_on();
        });
        return true;
    }

    Services &services_;
    const api::ShowParams params_;
    const std::shared_ptr<SnapshotSink> sink_;
    const std::vector<uint32_t> slots_;
    std::vector<std::optional<Arrived>> displays_; // by index in slots_
    size_t asked_ = 0;
    size_t handed_ = 0;                   // slots taken from displays_
    std::optional<SlotSnapshot> current_; // the slot being handed on
    size_t at_ = 0;                       // its rows handed on
    bool pacing_ = false;                 // a piece handed, the sink not yet ready again
    bool handing_ = false;                // inside hand_on's loop
    bool stopped_ = false;
    bool ended_ = false;
};

// flow.show with stream: a slot's rows in parts of kShowPartRows, the card
// with the last, then the cards and the count as the answer.
class PartsSink : public SnapshotSink {
public:
    explicit PartsSink(Respond respond) : respond_(std::move(respond)) {}

    void piece(const SlotSnapshot &slot, std::span<const ShowRow> rows, bool last) override {
        FlowText text(kShowRowBytes * rows.size() + 64);
        text.raw("\"slot\":");
        text.number(slot.card.slot);
        text.raw(",\"flows\":[");
        for (const ShowRow &row : rows) {
            text.show_row(row);
        }
        text.raw("]");
        if (last) {
            const api::json card = api::to_json(slot.card);
            text.raw(",\"card\":");
            text.raw(card.dump());
            cards_.push_back(card);
        }
        respond_(RawNotice{"flow.show.part", text.take()});
        rows_ += rows.size();
    }

    void pace(std::function<void(bool)> resume) override {
        respond_(WhenWritable{std::move(resume)});
    }

    void end() override {
        respond_(api::json{{"flows", api::json::array()}, {"cards", cards_}, {"rows", rows_}});
    }

private:
    Respond respond_;
    api::json cards_ = api::json::array();
    uint64_t rows_ = 0;
};

// flow.show without stream: one answer, its text handed on slot by slot.
class LineSink : public SnapshotSink {
public:
    explicit LineSink(Respond respond) : respond_(std::move(respond)) {}

    void piece(const SlotSnapshot &slot, std::span<const ShowRow> rows, bool last) override {
        FlowText text(kShowRowBytes * rows.size() + 16);
        if (!opened_) {
            text.raw("{\"flows\":[");
            opened_ = true;
        }
        if (any_row_) {
            text.continue_list();
        }
        for (const ShowRow &row : rows) {
            text.show_row(row);
        }
        any_row_ = any_row_ || !rows.empty();
        if (last) {
            cards_.push_back(api::to_json(slot.card));
        }
        respond_(Part{text.take()});
    }

    void pace(std::function<void(bool)> resume) override {
        respond_(WhenWritable{std::move(resume)});
    }

    void end() override {
        respond_(RawResult{(opened_ ? "]" : "{\"flows\":[]") + std::string(",\"cards\":") +
                           cards_.dump() + "}"});
    }

private:
    Respond respond_;
    api::json cards_ = api::json::array();
    bool opened_ = false;
    bool any_row_ = false;
};

// Everything kept: flow_snapshot's.
class WholeSink : public SnapshotSink {
public:
    explicit WholeSink(std::function<void(api::ShowResult)> done) : done_(std::move(done)) {}
    void piece(const SlotSnapshot &slot, std::span<const ShowRow> rows, bool last) override {
        result_.flows.insert(result_.flows.end(), rows.begin(), rows.end());
        if (last) {
            result_.cards.push_back(slot.card);
        }
    }
    void end() override { done_(std::move(result_)); }

private:
    std::function<void(api::ShowResult)> done_;
    api::ShowResult result_;
};

// flow.clear: each slot's baselines stored as its rows come, one transaction
// a slot.
class ClearSink : public SnapshotSink {
public:
    ClearSink(Services &services, std::optional<api::FlowParams> one, Respond respond)
        : services_(services), one_(std::move(one)), respond_(std::move(respond)) {}

    // A slot's baselines once all of its rows are in (they are the slot's).
    void piece(const SlotSnapshot &shown, std::span<const ShowRow>, bool last) override {
        if (!last) {
            return;
        }
        const uint32_t slot = shown.card.slot;
        std::vector<Store::BaselineUpdate> baselines;
        for (const ShowRow &row : shown.rows) {
            if (!row.status || (one_ && row.key != one_->key)) {
                continue; // not configured, or not the one flow
            }
            if (row.counter && row.complete && shown.boot_id) {
                baselines.emplace_back(row.key, Baseline{row.frames, row.bytes, *shown.boot_id});
            } else {
                result_.not_cleared.push_back({slot, row.key, not_cleared_reason(shown, row)});
            }
        }
        std::string why;
        if (baselines.empty() || services_.store.set_baselines(slot, baselines, &why)) {
            result_.cleared += baselines.size();
            return;
        }
        log(Severity::Error, "slot " + std::to_string(slot) + ": clear not stored: " + why);
        for (const auto &[key, baseline] : baselines) {
            result_.not_cleared.push_back({slot, key, "the database refused the change: " + why});
        }
    }

    void end() override { respond_(api::to_json(result_)); }

private:
    Services &services_;
    const std::optional<api::FlowParams> one_;
    Respond respond_;
    api::ClearResult result_;
};

} // namespace

void take_snapshot(Services &services, const api::ShowParams &params,
                   std::shared_ptr<SnapshotSink> sink) {
    std::make_shared<Snapshot>(services, params, std::move(sink))->start();
}

void flow_snapshot(Services &services, const api::ShowParams &params,
                   std::function<void(api::ShowResult)> done) {
    take_snapshot(services, params, std::make_shared<WholeSink>(std::move(done)));
}

void flow_show(Services &services, const api::ShowParams &params, Respond respond) {
    if (params.stream) {
        take_snapshot(services, params, std::make_shared<PartsSink>(std::move(respond)));
    } else {
        take_snapshot(services, params, std::make_shared<LineSink>(std::move(respond)));
    }
}

void flow_clear(Services &services, const api::ClearParams &params, Respond respond) {
    api::ShowParams filter = params.selection;
    if (params.flow) {
        if (services.store.find(params.flow->slot, params.flow->key) == nullptr) {
            respond(model::error(model::Errc::NotConfigured,
                                 "slot " + std::to_string(params.flow->slot) + " " +
                                     model::to_string(params.flow->key) +
                                     " is not configured; nothing cleared"));
            return;
        }
        filter = {std::vector<uint32_t>{params.flow->slot}, params.flow->key.type,
                  params.flow->key.vsan, false};
    }
    filter.since_boot = true; // a baseline is a raw total
    // Only configured flows keep a baseline: slots without any are skipped.
    std::vector<uint32_t> slots = services.store.slots();
    if (filter.slots) {
        std::erase_if(slots, [&filter](uint32_t slot) {
            return !std::binary_search(filter.slots->begin(), filter.slots->end(), slot);
        });
    }
    filter.slots = std::move(slots);
    take_snapshot(services, filter,
                  std::make_shared<ClearSink>(services, params.flow, std::move(respond)));
}

} // namespace supervisor
