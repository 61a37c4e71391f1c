// The states the supervisor reports and its clients read back: a card's
// (down, replaying, ready) and a configured flow's (pending, applied,
// refused). Both sides compare the enums; the names exist only on the wire
// and in the database.
//
// Invariant: each name table lists the enum's values in order, and the
// parsers accept exactly those names.
#ifndef MODEL_STATES_H
#define MODEL_STATES_H

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace model {

enum class CardState { Down, Replaying, Ready };
enum class FlowStatus { Pending, Applied, Refused };

inline constexpr std::array<const char *, 3> kCardStateNames = {"down", "replaying", "ready"};
inline constexpr std::array<const char *, 3> kFlowStatusNames = {"pending", "applied", "refused"};

namespace detail {
template <class E, size_t N>
constexpr std::optional<E> parse_name(const std::array<const char *, N> &names,
                                      std::string_view name) {
    for (size_t i = 0; i < N; ++i) {
        if (name == names[i]) {
            return static_cast<E>(i);
        }
    }
    return std::nullopt;
}
} // namespace detail

constexpr const char *state_name(CardState state) {
    return kCardStateNames.at(static_cast<size_t>(state));
}
constexpr std::optional<CardState> parse_state(std::string_view name) {
    return detail::parse_name<CardState>(kCardStateNames, name);
}

constexpr const char *status_name(FlowStatus status) {
    return kFlowStatusNames.at(static_cast<size_t>(status));
}
constexpr std::optional<FlowStatus> parse_flow_status(std::string_view name) {
    return detail::parse_name<FlowStatus>(kFlowStatusNames, name);
}

} // namespace model

#endif // MODEL_STATES_H
