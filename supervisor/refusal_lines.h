// Refusal log lines through a RefusalLog (admission.h): a few a window in
// full, the others summed up in one line when the window ends, so that a
// flood of refused peers cannot flood the log too.
#ifndef SUPERVISOR_REFUSAL_LINES_H
#define SUPERVISOR_REFUSAL_LINES_H

#include <string>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "admission.h"
#include "log.h"

namespace supervisor {

class RefusalLines {
public:
    explicit RefusalLines(asio::io_context &io) : timer_(io) {}

    void refused(const std::string &line) {
        const auto now = RefusalLog::Clock::now();
        if (auto summary = log_.summary(now)) {
            log(*summary);
        }
        if (log_.note(now)) {
            log(line);
        }
        arm();
    }

private:
    void arm() {
        const auto due = log_.summary_due();
        if (!due || armed_) {
            return;
        }
        armed_ = true;
        timer_.expires_at(*due);
        timer_.async_wait([this](const std::error_code &ec) {
            if (ec) {
                return; // cancelled: this may be gone
            }
            armed_ = false;
            if (auto summary = log_.summary(RefusalLog::Clock::now())) {
                log(*summary);
            }
            arm();
        });
    }

    RefusalLog log_;
    asio::steady_timer timer_;
    bool armed_ = false;
};

} // namespace supervisor

#endif // SUPERVISOR_REFUSAL_LINES_H
