// The refresh loop of flowctl watch and the rates between two snapshots.

#include "watch.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <tuple>

namespace flowctl {

namespace {

using FlowId = std::tuple<uint32_t, model::FlowType, uint32_t, uint32_t, uint32_t>;

FlowId id_of(const FlowRow &f) {
    return {f.slot, f.key.type, f.key.vsan, f.key.sid, f.key.did};
}

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

std::string clock_text() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

} // namespace

std::vector<Rate> rates(const Snapshot *before, const Snapshot &now, double elapsed_s) {
    std::map<FlowId, const FlowRow *> previous;
    if (before != nullptr) {
        for (const FlowRow &f : before->flows) {
            previous.emplace(id_of(f), &f);
        }
    }
    std::vector<Rate> out;
    out.reserve(now.flows.size());
    for (const FlowRow &f : now.flows) {
        Rate r{f, std::nullopt, std::nullopt};
        const auto it = previous.find(id_of(f));
        if (it != previous.end() && elapsed_s > 0) {
            const FlowRow &p = *it->second;
            if (f.counter && p.counter == f.counter && f.complete && p.complete &&
                f.frames >= p.frames && f.bytes >= p.bytes) {
                r.frames_per_s = static_cast<double>(f.frames - p.frames) / elapsed_s;
                r.bytes_per_s = static_cast<double>(f.bytes - p.bytes) / elapsed_s;
            }
        }
        out.push_back(std::move(r));
    }
    std::stable_sort(out.begin(), out.end(), [](const Rate &a, const Rate &b) {
        if (a.frames_per_s.has_value() != b.frames_per_s.has_value()) {
            return a.frames_per_s.has_value();
        }
        if (!a.frames_per_s) {
            return false;
        }
        return std::tie(*a.frames_per_s, *a.bytes_per_s) >
               std::tie(*b.frames_per_s, *b.bytes_per_s);
    });
    return out;
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

json rates_json(const std::vector<Rate> &rates, double elapsed_s) {
    json flows = json::array();
    for (const Rate &r : rates) {
        json f = flow_json(r.flow);
        f["frames_per_s"] = r.frames_per_s ? json(*r.frames_per_s) : json();
        f["bytes_per_s"] = r.bytes_per_s ? json(*r.bytes_per_s) : json();
        flows.push_back(std::move(f));
    }
    return {{"time", std::time(nullptr)},
            {"elapsed_s", elapsed_s > 0 ? json(elapsed_s) : json()},
            {"flows", flows}};
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
    std::optional<Snapshot> before;
    Clock::time_point before_at;
    Clock::time_point next = Clock::now();
    for (long done = 0; g_stop == 0 && (!options.count || done < *options.count); ++done) {
        if (done > 0) {
            next += interval;
            sleep_until(next);
            if (g_stop != 0) {
                break;
            }
        }
        auto reply = client.call("flow.show", options.show_params);
        const Clock::time_point at = Clock::now();
        if (!reply) {
            return reply.error();
        }
        auto now = api::decode_show(*reply);
        if (!now) {
            return model::error(model::Errc::Protocol, "flow.show: " + now.error().message);
        }
        const double elapsed = before ? std::chrono::duration<double>(at - before_at).count() : 0;
        const std::vector<Rate> list = rates(before ? &*before : nullptr, *now, elapsed);
        std::string frame;
        if (options.json_lines) {
            frame = rates_json(list, elapsed).dump() + "\n";
        } else {
            if (options.terminal) {
                frame = "\x1b[H\x1b[2J"; // home, clear screen: redraw in place
            }
            frame += "flowctl watch  " + clock_text() + "  every " + rate_cell(options.interval_s) +
                     " s\n";
            frame += rates_table(list) + flows_footnotes(*now);
            if (!options.terminal) {
                frame += "\n";
            }
        }
        std::fwrite(frame.data(), 1, frame.size(), stdout);
        std::fflush(stdout);
        before = std::move(*now);
        before_at = at;
    }
    return model::Ok{};
}

} // namespace flowctl
