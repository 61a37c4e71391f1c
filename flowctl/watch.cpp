// The refresh loop of flowctl watch and the rates between two snapshots.

#include "watch.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <tuple>

#include <sys/ioctl.h>
#include <unistd.h>

#include "show_stream.h"

namespace flowctl {

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_stop_signal(int sig) {
    g_stop = 1;
    // A second signal ends the process at once, should a call hang.
    std::signal(sig, SIG_DFL);
}

// Sleeps until the deadline or a stop signal.
void sleep_until(std::chrono::steady_clock::time_point deadline) {
    while (g_stop == 0) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        nanosleep(&ts, nullptr); // EINTR: the loop checks the flag
    }
}

// The flows that fit on the terminal under the title and the header.
size_t screen_rows() {
    winsize size{};
    const size_t rows =
        ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 ? size.ws_row : 24;
    return rows > 3 ? rows - 3 : 1;
}

std::string clock_text() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

} // namespace

void RateTracker::begin(double elapsed_s) {
    elapsed_s_ = elapsed_s;
    current_.clear();
}

Rate RateTracker::rate(const FlowRow &f) {
    Rate r{f, std::nullopt, std::nullopt};
    // Rows come slot by slot: the previous snapshot's slots before this row's
    // are done with.
    while (!previous_.empty() && previous_.begin()->first < f.slot) {
        previous_.erase(previous_.begin());
    }
    if (!f.counter || !f.complete) {
        return r; // no rate, and none next time
    }
    const Entry e{static_cast<uint8_t>(f.slot),
                  static_cast<uint8_t>(f.key.type),
                  static_cast<uint16_t>(f.key.vsan),
                  f.key.did,
                  f.key.sid,
                  *f.counter,
                  f.frames,
                  f.bytes};
    const auto slot = previous_.find(f.slot);
    if (slot != previous_.end() && elapsed_s_ > 0) {
        const std::vector<Entry> &list = slot->second;
        const auto it =
            std::lower_bound(list.begin(), list.end(), e,
                             [](const Entry &a, const Entry &b) { return a.key() < b.key(); });
        if (it != list.end() && it->key() == e.key() && it->counter == e.counter &&
            e.frames >= it->frames && e.bytes >= it->bytes) {
            r.frames_per_s = static_cast<double>(e.frames - it->frames) / elapsed_s_;
            r.bytes_per_s = static_cast<double>(e.bytes - it->bytes) / elapsed_s_;
        }
    }
    current_[f.slot].push_back(e);
    return r;
}

void RateTracker::end() {
    for (auto &[slot, list] : current_) {
        // In the card's order already, unless the supervisor's changed.
        const auto by_key = [](const Entry &a, const Entry &b) { return a.key() < b.key(); };
        if (!std::is_sorted(list.begin(), list.end(), by_key)) {
            std::sort(list.begin(), list.end(), by_key);
        }
        list.shrink_to_fit();
    }
    previous_ = std::move(current_);
    current_.clear();
}

namespace {

// a before b: faster, or as fast and earlier in the snapshot.
template <class Ranked>
bool ahead(const Ranked &a, const Ranked &b) {
    const auto key = [](const Ranked &x) {
        return std::tuple(*x.rate.frames_per_s, *x.rate.bytes_per_s);
    };
    return key(a) > key(b) || (key(a) == key(b) && a.order < b.order);
}

} // namespace

void TopRates::add(Rate rate) {
    const size_t order = seen_++;
    if (k_ == 0) {
        return;
    }
    if (!rate.frames_per_s) {
        if (unknown_.size() < k_) {
            unknown_.push_back(std::move(rate));
        }
        return;
    }
    fastest_.push_back({std::move(rate), order});
    std::push_heap(fastest_.begin(), fastest_.end(), ahead<Ranked>);
    if (fastest_.size() > k_) {
        std::pop_heap(fastest_.begin(), fastest_.end(), ahead<Ranked>);
        fastest_.pop_back();
    }
}

std::vector<Rate> TopRates::take() {
    std::sort(fastest_.begin(), fastest_.end(), ahead<Ranked>);
    std::vector<Rate> out;
    out.reserve(std::min(k_, fastest_.size() + unknown_.size()));
    for (Ranked &r : fastest_) {
        out.push_back(std::move(r.rate));
    }
    for (Rate &r : unknown_) {
        if (out.size() >= k_) {
            break;
        }
        out.push_back(std::move(r));
    }
    fastest_.clear();
    unknown_.clear();
    seen_ = 0;
    return out;
}

std::vector<Rate> rates(const Snapshot *before, const Snapshot &now, double elapsed_s) {
    RateTracker tracker;
    if (before != nullptr) {
        tracker.begin(0);
        for (const FlowRow &f : before->flows) {
            tracker.rate(f);
        }
        tracker.end();
    }
    tracker.begin(elapsed_s);
    TopRates top(now.flows.size());
    for (const FlowRow &f : now.flows) {
        top.add(tracker.rate(f));
    }
    return top.take();
}

std::string rate_cell(std::optional<double> rate) {
    if (!rate) {
        return "-";
    }
    char cell[64];
    std::snprintf(cell, sizeof cell, "%.1f", *rate);
    return cell;
}

std::string rates_table(const std::vector<Rate> &rates) {
    const std::vector<Column> columns = {
        {"SLOT", true},   {"TYPE", false},    {"VSAN", true},    {"SID", false},
        {"DID", false},   {"FRAMES/S", true}, {"BYTES/S", true}, {"FRAMES ", true},
        {"BYTES ", true}, {"STATUS", false},
    };
    std::vector<std::vector<std::string>> rows;
    rows.reserve(rates.size());
    for (const Rate &r : rates) {
        const FlowRow &f = r.flow;
        const bool held = f.counter.has_value();
        rows.push_back({std::to_string(f.slot), model::type_name(f.key.type),
                        std::to_string(f.key.vsan), fcid_cell(f.key, f.key.sid),
                        fcid_cell(f.key, f.key.did), rate_cell(r.frames_per_s),
                        rate_cell(r.bytes_per_s), held ? count_cell(f.frames, f.complete) : "- ",
                        held ? count_cell(f.bytes, f.complete) : "- ", status_cell(f)});
    }
    return render_table(columns, rows);
}

model::Status run_watch(RpcClient &client, const WatchOptions &options) {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.interval_s));
    RateTracker tracker;
    std::optional<Clock::time_point> before_at;
    Clock::time_point next = Clock::now();
    for (long done = 0; g_stop == 0 && (!options.count || done < *options.count); ++done) {
        if (done > 0) {
            next += interval;
            sleep_until(next);
            if (g_stop != 0) {
                break;
            }
        }
        // A snapshot's time is when it was asked for: its rates are computed
        // as its rows arrive.
        const Clock::time_point at = Clock::now();
        const double elapsed =
            before_at ? std::chrono::duration<double>(at - *before_at).count() : 0;
        tracker.begin(elapsed);
        TopRates top(options.json_lines ? 0
                     : options.terminal ? screen_rows()
                                        : kWatchRowsOffTerminal);
        bool marked = false;
        bool line_open = false;
        std::string text;
        const auto shown =
            stream_show(client, options.show_params, [&](std::span<const FlowRow> rows) {
                for (const FlowRow &f : rows) {
                    marked = marked || (f.counter && !f.complete);
                    Rate r = tracker.rate(f);
                    if (!options.json_lines) {
                        top.add(std::move(r));
                        continue;
                    }
                    // JSON Lines: every flow, written as it arrives.
                    text +=
                        line_open
                            ? ","
                            : "{\"elapsed_s\":" + (elapsed > 0 ? json(elapsed) : json()).dump() +
                                  ",\"flows\":[";
                    line_open = true;
                    json row = flow_json(f);
                    row["frames_per_s"] = r.frames_per_s ? json(*r.frames_per_s) : json();
                    row["bytes_per_s"] = r.bytes_per_s ? json(*r.bytes_per_s) : json();
                    text += row.dump();
                }
                std::fwrite(text.data(), 1, text.size(), stdout);
                text.clear();
            });
        if (!shown) {
            if (line_open) {
                std::fputs("]}\n", stdout); // the line stays JSON; the failure follows
            }
            std::fflush(stdout);
            return shown.error();
        }
        tracker.end();
        std::string frame;
        if (options.json_lines) {
            if (!line_open) {
                frame = "{\"elapsed_s\":" + (elapsed > 0 ? json(elapsed) : json()).dump() +
                        ",\"flows\":[";
            }
            frame += "],\"time\":" + std::to_string(std::time(nullptr)) + "}\n";
        } else {
            const std::string notes = flows_footnotes(marked, *shown);
            std::vector<Rate> list = top.take();
            if (options.terminal) {
                frame = "\x1b[H\x1b[2J"; // home, clear screen: redraw in place
                // The footnotes fit on the screen too.
                const size_t lines =
                    static_cast<size_t>(std::count(notes.begin(), notes.end(), '\n'));
                list.resize(
                    std::min(list.size(),
                             std::max<size_t>(1, screen_rows() - std::min(screen_rows(), lines))));
            }
            frame += "flowctl watch  " + clock_text() + "  every " + rate_cell(options.interval_s) +
                     " s\n";
            frame += rates_table(list) + notes;
            if (!options.terminal) {
                frame += "\n";
            }
        }
        std::fwrite(frame.data(), 1, frame.size(), stdout);
        std::fflush(stdout);
        before_at = at;
    }
    return model::Ok{};
}

} // namespace flowctl
