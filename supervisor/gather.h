// The fan-out of one client request to several cards: asks every slot one
// thing and answers once all have.
//
// Invariant: finished runs exactly once, after the last card's outcome (at
// once when there is no slot), with every slot's outcome.
#ifndef SUPERVISOR_GATHER_H
#define SUPERVISOR_GATHER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "cards.h"

namespace supervisor {

template <class T>
using Outcomes = std::map<uint32_t, Outcome<T>>;

// ask(slot, done) is one card request; finished(outcomes by slot) builds the
// answer.
template <class T>
void gather(const std::vector<uint32_t> &slots,
            const std::function<void(uint32_t, std::function<void(Outcome<T>)>)> &ask,
            std::function<void(Outcomes<T> &)> finished) {
    struct State {
        Outcomes<T> outcomes;
        size_t remaining = 0;
        std::function<void(Outcomes<T> &)> finished;
    };
    auto state = std::make_shared<State>();
    state->remaining = slots.size();
    state->finished = std::move(finished);
    if (slots.empty()) {
        state->finished(state->outcomes);
        return;
    }
    for (const uint32_t slot : slots) {
        ask(slot, [state, slot](Outcome<T> outcome) {
            state->outcomes.insert_or_assign(slot, std::move(outcome));
            if (--state->remaining == 0) {
                state->finished(state->outcomes);
            }
        });
    }
}

} // namespace supervisor

#endif // SUPERVISOR_GATHER_H
