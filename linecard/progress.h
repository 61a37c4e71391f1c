// Progress of a long run on standard error, shown only when standard error is
// a terminal: one line, rewritten at most four times a second and cleared at
// the end, so that logs, pipes and files never see it.
#ifndef LINECARD_PROGRESS_H
#define LINECARD_PROGRESS_H

#include <chrono>
#include <cstdint>

namespace linecard {

class Progress {
public:
    // what: the run ("traffic random"); unit: what total counts ("frames");
    // wanted false shows nothing.
    Progress(const char *what, uint64_t total, const char *unit, bool wanted = true);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // Called for every step; looks at the clock only now and then, since a
    // step can take less than a clock read.
    void at(uint64_t done) {
        if (shown_ && (done & kCheckEvery) == 0) {
            update(done);
        }
    }

private:
    static constexpr uint64_t kCheckEvery = 0xfff; // a mask: every 4096 steps
    void update(uint64_t done);

    const char *what_;
    const char *unit_;
    uint64_t total_;
    bool shown_;         // standard error is a terminal
    bool drawn_ = false; // a line is on the terminal
    std::chrono::steady_clock::time_point last_;
};

} // namespace linecard

#endif // LINECARD_PROGRESS_H
