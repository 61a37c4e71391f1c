// The host's random mode: a seeded workload over a small, heavily overlapping
// key space and a small counter table, so that flows nest, counters run out
// and ids come back. Every reply is checked, and every flow periodically.
#ifndef LINECARD_RANDOM_MODE_H
#define LINECARD_RANDOM_MODE_H

#include <cstdint>

#include "host.h"

namespace linecard {

// Runs ops operations from the seed; returns the process exit status. On the
// first mismatch it stops and prints the seed and the operations before it.
int run_random(uint64_t ops, uint64_t seed, const Options &options);

} // namespace linecard

#endif // LINECARD_RANDOM_MODE_H
