#include "progress.h"

#include <cinttypes>
#include <cstdio>
#include <unistd.h>

namespace linecard {

namespace {

constexpr auto kInterval = std::chrono::milliseconds(250);
// Erases to the end of the line; the cursor is left at its start, so that
// whatever is printed next overwrites the progress line.
constexpr const char *kEraseRest = "\x1b[K\r";

} // namespace

Progress::Progress(const char *what, uint64_t total, const char *unit, bool wanted)
    : what_(what), unit_(unit), total_(total), shown_(wanted && isatty(STDERR_FILENO) == 1),
      last_(std::chrono::steady_clock::now()) {}

Progress::~Progress() {
    if (drawn_) {
        std::fprintf(stderr, "%s", kEraseRest);
    }
}

void Progress::update(uint64_t done) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kInterval) {
        return;
    }
    last_ = now;
    drawn_ = true;
    const auto percent =
        total_ == 0 ? 100u : static_cast<unsigned>(100.0 * static_cast<double>(done) / total_);
    std::fprintf(stderr, "%s: %" PRIu64 " of %" PRIu64 " %s (%u%%)%s", what_, done, total_, unit_,
                 percent, kEraseRest);
}

} // namespace linecard
