// flow.show (show.h): the merge of displays and configured flows.

#include "show.h"

#include <algorithm>
#include <iterator>

#include "display.h"
#include "gather.h"
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

// The held rows of a display the card could give, filtered; nullopt with
// *error when there is none. unheld: the configured flows the card lacks.
std::optional<std::vector<ShowRow>> held_rows(uint32_t slot, const SlotFlows &configured,
                                              const Outcome<DisplayText> &display,
                                              const api::ShowParams &filter,
                                              std::vector<FlowKey> &unheld, bool &complete,
                                              std::string &error) {
    if (const Error *failure = model::failed(display)) {
        error = failure->message;
        return std::nullopt;
    }
    std::string why;
    const auto table = display::parse(display->text, &why);
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
        ShowRow row{slot, total.key, total.counter, total.frames, total.bytes, total.complete,
                    {},   0};
        if (const auto it = configured.find(total.key); it != configured.end()) {
            row.status = it->second.status;
            row.code = it->second.code;
        }
        rows.push_back(row);
    }
    return rows;
}

// The rows of one slot written to text, and the card's entry. display: the
// card's display, or the error that kept it away; nullptr for a card down.
api::ShowCard show_slot(Services &services, uint32_t slot, const Outcome<DisplayText> *display,
                        const api::ShowParams &filter, FlowText &text) {
    const SlotFlows &configured = services.store.flows(slot);
    api::ShowCard card{slot, services.cards.state(slot), false, std::nullopt};
    std::vector<FlowKey> unheld;
    std::string error;
    std::optional<std::vector<ShowRow>> held;
    if (display == nullptr) {
        error = card_down_error(slot).message;
    } else {
        held = held_rows(slot, configured, *display, filter, unheld, card.complete, error);
    }
    if (!held) {
        card.error = error;
    }
    std::vector<ShowRow> rows = held ? std::move(*held) : std::vector<ShowRow>{};
    const size_t held_count = rows.size();
    const auto add_unheld = [&](const FlowKey &key, const FlowState &state) {
        if (filter.admits(key)) {
            rows.push_back(ShowRow{slot, key, std::nullopt, 0, 0, false, state.status, state.code});
        }
    };
    if (held) {
        for (const FlowKey &key : unheld) {
            add_unheld(key, configured.at(key));
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
    for (const ShowRow &row : rows) {
        text.show_row(row);
    }
    return card;
}

} // namespace

void flow_show(Services &services, const api::ShowParams &params, Respond respond) {
    const std::vector<uint32_t> slots = params.slots ? *params.slots : known_slots(services);
    std::vector<uint32_t> up;
    std::copy_if(slots.begin(), slots.end(), std::back_inserter(up), [&services](uint32_t slot) {
        return services.cards.state(slot) != CardState::Down;
    });
    gather<DisplayText>(
        up,
        [&services](uint32_t slot, std::function<void(Outcome<DisplayText>)> done) {
            services.cards.display(slot, std::move(done));
        },
        [&services, slots, params, respond = std::move(respond)](Outcomes<DisplayText> &displays) {
            // A card with its displays all taken makes the whole request busy:
            // a retry soon is better than megabytes of rows without counts.
            for (const auto &[slot, outcome] : displays) {
                const Error *error = model::failed(outcome);
                if (error != nullptr && error->code == model::Errc::Busy) {
                    respond(*error);
                    return;
                }
            }
            FlowText text(kShowRowBytes * configured_rows(services, slots));
            text.raw("{\"flows\":[");
            api::json cards = api::json::array();
            for (const uint32_t slot : slots) {
                const auto it = displays.find(slot);
                cards.push_back(api::to_json(show_slot(
                    services, slot, it == displays.end() ? nullptr : &it->second, params, text)));
            }
            text.raw("],\"cards\":");
            text.raw(cards.dump());
            text.raw("}");
            respond(RawResult{text.take()});
        });
}

} // namespace supervisor
