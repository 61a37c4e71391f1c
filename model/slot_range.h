// The slots a line card may claim, for the flow model (flow-set files) and
// the card protocol alike; the protocol checks its own copy against these at
// compile time. No include: the card protocol takes nothing else of the model.
#ifndef MODEL_SLOT_RANGE_H
#define MODEL_SLOT_RANGE_H

#include <cstdint>

namespace model {

inline constexpr uint32_t kMinSlot = 1;
inline constexpr uint32_t kMaxSlot = 64;

} // namespace model

#endif // MODEL_SLOT_RANGE_H
