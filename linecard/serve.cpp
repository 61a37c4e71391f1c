#include "serve.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <random>

#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include "acl_tcam_flow_stats.h"
#include "card_protocol.h"
#include "platform_sim.h"
#include "serve_card.h"
#include "serve_log.h"
#include "traffic.h"

namespace serve {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vexa_socket::ConnectionPtr;
using vexa_socket::FrameHeader;

// The message-service handle the library is initialised with; it names the
// supervisor connection of the moment.
constexpr uint32_t kHandle = 1;
constexpr std::chrono::milliseconds kFirstBackoff = 100ms;
constexpr std::chrono::milliseconds kMaxBackoff = 2s;

uint64_t random_boot_id() {
    std::random_device device;
    uint64_t id = 0;
    while (id == 0) {
        id = uint64_t{device()} << 32 | device();
    }
    return id;
}

const char *action_name(card_protocol::TrafficAction action) {
    switch (action) {
    case card_protocol::TrafficAction::Pause:
        return "pause";
    case card_protocol::TrafficAction::Resume:
        return "resume";
    case card_protocol::TrafficAction::Rate:
        break;
    }
    return "rate";
}

class Daemon {
public:
    explicit Daemon(const Config &config)
        : config_(config), generator_(config.traffic_pps, config.seed) {}
    int run();

private:
    void connect();
    void retry_later();
    void on_connected(vexa_socket::Socket socket);
    void on_lost(const ConnectionPtr &connection, const std::string &reason);
    void on_frame(const ConnectionPtr &connection, const FrameHeader &header,
                  std::span<const uint8_t> payload);
    void breach(const ConnectionPtr &connection, const std::string &why);
    void serve_traffic(const card_protocol::TrafficRequest &request);
    void reply_status(const ConnectionPtr &connection, const FrameHeader &request);
    card_protocol::Status status() const;
    void tick();
    void stop(const char *why);
    void ignore_hangups();

    card_protocol::Hello hello(bool fresh) const {
        return {card_protocol::kProtocolVersion,
                config_.slot,
                config_.first_counter,
                config_.table_size,
                boot_id_,
                fresh ? card_protocol::kHelloFresh : 0};
    }

    Config config_;
    asio::io_context io_; // first member: every I/O object goes before it
    asio::signal_set signals_{io_, SIGINT, SIGTERM};
    asio::signal_set hangups_{io_, SIGHUP}; // logged and ignored: the card keeps counting
    asio::steady_timer retry_timer_{io_};
    asio::steady_timer traffic_timer_{io_};
    traffic::Generator generator_;
    ConnectionPtr connection_;
    const Clock::time_point started_ = Clock::now();
    Clock::time_point last_tick_ = started_;
    const uint64_t boot_id_ = random_boot_id();
    std::chrono::milliseconds backoff_ = kFirstBackoff;
    uint64_t failed_attempts_ = 0;
    bool library_up_ = false;
    bool stopping_ = false;
    int exit_status_ = 0;
};

void Daemon::connect() {
    vexa_socket::connect(
        io_, config_.supervisor,
        [this](std::optional<vexa_socket::Socket> socket, const std::string &error) {
            if (stopping_) {
                return;
            }
            if (!socket) {
                // The first failure of a series is worth a line;
                // the retries every 2 s are not.
                if (failed_attempts_++ == 0) {
                    log_line(Severity::Warning, "cannot connect: " + error + "; retrying");
                }
                retry_later();
                return;
            }
            on_connected(std::move(*socket));
        },
        config_.tls);
}

void Daemon::retry_later() {
    retry_timer_.expires_after(backoff_);
    retry_timer_.async_wait([this](std::error_code ec) {
        if (!ec && !stopping_) {
            connect();
        }
    });
    backoff_ = std::min(backoff_ * 2, kMaxBackoff);
}

void Daemon::on_connected(vexa_socket::Socket socket) {
    vexa_socket::Handlers handlers;
    handlers.on_frame = [this](const ConnectionPtr &c, const FrameHeader &h,
                               std::span<const uint8_t> p) { on_frame(c, h, p); };
    handlers.on_close = [this](const ConnectionPtr &c, const std::string &reason) {
        on_lost(c, reason);
    };
    connection_ = vexa_socket::Connection::create(std::move(socket), vexa_socket::Limits{},
                                                  std::move(handlers),
                                                  vexa_socket::to_string(config_.supervisor));
    vexa_socket::bind_handle(kHandle, connection_, card_protocol::card_addr(config_.slot));

    // The hello goes first; on the first connection the library's download
    // request follows it, sent by the initialisation on this handle.
    const bool fresh = !library_up_;
    connection_->send(card_protocol::kOpHello, card_protocol::card_addr(config_.slot),
                      card_protocol::kSupervisorAddr, 0, card_protocol::encode(hello(fresh)));
    std::string retries;
    if (failed_attempts_ > 0) {
        retries = " after " + std::to_string(failed_attempts_) + " failed attempt(s)";
    }
    failed_attempts_ = 0;
    if (fresh) {
        const uint32_t status =
            acl_tcam_flow_init(kHandle, config_.first_counter, config_.table_size);
        if (status != 0) {
            log_format(Severity::Error, "cannot initialise the flow table: 0x%08x", status);
            exit_status_ = 1;
            stop("initialisation failed");
            return;
        }
        acl_tcam_flow_set_region_init_done();
        library_up_ = true;
        log_line(Severity::Notice, "connected to " + vexa_socket::to_string(config_.supervisor) +
                                       retries + "; flow table initialised, download requested");
    } else {
        log_line(Severity::Notice,
                 "reconnected to " + vexa_socket::to_string(config_.supervisor) + retries + "; " +
                     std::to_string(acl_tcam_get_avl_flow_count()) + " flow(s) kept");
    }
    connection_->start();
}

void Daemon::on_lost(const ConnectionPtr &connection, const std::string &reason) {
    if (stopping_ || connection != connection_) {
        return;
    }
    vexa_socket::unbind_handle(kHandle);
    connection_.reset();
    log_format(Severity::Warning, "lost the supervisor (%s); flows kept; reconnecting in %lld ms",
               reason.c_str(), static_cast<long long>(backoff_.count()));
    retry_later();
}

void Daemon::breach(const ConnectionPtr &connection, const std::string &why) {
    log_line(Severity::Error, "protocol breach by the supervisor: " + why + "; disconnecting");
    connection->close("protocol breach: " + why);
}

void Daemon::on_frame(const ConnectionPtr &connection, const FrameHeader &header,
                      std::span<const uint8_t> payload) {
    if (connection != connection_) {
        return;
    }
    namespace cp = card_protocol;
    switch (header.opcode) {
    case cp::kOpFlowRequest: {
        // Any length: the library answers a short or malformed request itself.
        const vexa_msg msg = vexa_socket::make_message(kHandle, header, payload);
        const uint32_t status = acl_tcam_flow_process_stats_msg(kHandle, &msg);
        note_flow_request(payload, status);
        break;
    }
    case cp::kOpDisplayRequest: {
        if (!payload.empty()) {
            return breach(connection, "display request with a payload");
        }
        const vexa_msg msg = vexa_socket::make_message(kHandle, header, payload);
        const uint32_t status = acl_tcam_print_flows_info(&msg);
        std::fflush(stdout);
        if (status != 0) {
            log_format(Severity::Warning, "display: the last chunk could not be sent (%u)", status);
        }
        break;
    }
    case cp::kOpStatusRequest:
        if (!payload.empty()) {
            return breach(connection, "status request with a payload");
        }
        reply_status(connection, header);
        break;
    case cp::kOpTrafficRequest: {
        const std::optional<cp::TrafficRequest> request = cp::decode_traffic(payload);
        if (!request) {
            return breach(connection, "malformed traffic request (" +
                                          std::to_string(payload.size()) + " bytes)");
        }
        serve_traffic(*request);
        reply_status(connection, header);
        break;
    }
    default:
        return breach(connection, "unexpected opcode " + std::to_string(header.opcode));
    }
    // The supervisor is talking to us: a later loss starts the backoff over.
    backoff_ = kFirstBackoff;
}

void Daemon::serve_traffic(const card_protocol::TrafficRequest &request) {
    switch (request.action) {
    case card_protocol::TrafficAction::Pause:
        generator_.pause();
        break;
    case card_protocol::TrafficAction::Resume:
        generator_.resume();
        break;
    case card_protocol::TrafficAction::Rate:
        generator_.set_rate(request.pps);
        break;
    }
    log_format(Severity::Info, "traffic %s: %" PRIu64 " pps, %s", action_name(request.action),
               generator_.pps(), generator_.paused() ? "paused" : "flowing");
}

card_protocol::Status Daemon::status() const {
    const Card &c = card();
    card_protocol::Status s;
    s.slot = config_.slot;
    s.flows = acl_tcam_flow_is_initialized() != 0 ? acl_tcam_get_avl_flow_count() : 0;
    s.counters_used = g_num_counters_used;
    s.first_counter = config_.first_counter;
    s.table_size = config_.table_size;
    s.traffic_flags = generator_.paused() ? card_protocol::kTrafficPaused : 0;
    s.traffic_pps = generator_.pps();
    s.frames_injected = generator_.frames();
    s.bytes_injected = generator_.bytes();
    s.mismatches = c.mismatches;
    s.queries_checked = c.queries_checked;
    s.uptime_ms = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count());
    s.boot_id = boot_id_;
    return s;
}

void Daemon::reply_status(const ConnectionPtr &connection, const FrameHeader &request) {
    if (connection->send(card_protocol::kOpReply, card_protocol::card_addr(config_.slot),
                         request.src, request.msg_id, card_protocol::encode(status())) == 0) {
        log_line(Severity::Warning, "status reply not sent: send queue full");
    }
}

void Daemon::tick() {
    traffic_timer_.expires_after(traffic::kTick);
    traffic_timer_.async_wait([this](std::error_code ec) {
        if (ec || stopping_) {
            return;
        }
        const Clock::time_point now = Clock::now();
        generator_.run_for(now - last_tick_, card().tcam, card().truth);
        last_tick_ = now;
        tick();
    });
}

void Daemon::ignore_hangups() {
    hangups_.async_wait([this](std::error_code ec, int) {
        if (!ec) {
            log_line(Severity::Notice, "SIGHUP ignored");
            ignore_hangups();
        }
    });
}

void Daemon::stop(const char *why) {
    stopping_ = true;
    log_line(Severity::Notice, std::string("stopping: ") + why);
    signals_.cancel();
    hangups_.cancel();
    retry_timer_.cancel();
    traffic_timer_.cancel();
    if (connection_) {
        vexa_socket::unbind_handle(kHandle);
        connection_->close("card stopping");
        connection_.reset();
    }
    // A connect in progress cannot be cancelled; nothing else is left to run.
    io_.stop();
}

int Daemon::run() {
    card_sim_set_slot(config_.slot);
    card().log_level = config_.log_level;
    vexa_socket::set_logger([](const std::string &line) { log_line(Severity::Warning, line); });
    vexa_socket::set_send_observer(
        [](uint32_t handle, const FrameHeader &, std::span<const uint8_t> payload, int) {
            if (handle == kHandle) {
                check_sent(payload);
            }
        });
    signals_.async_wait([this](std::error_code ec, int signal_number) {
        if (!ec) {
            stop(signal_number == SIGINT ? "SIGINT" : "SIGTERM");
        }
    });
    ignore_hangups();
    log_format(Severity::Notice,
               "slot %u, counters %u..%u, traffic %" PRIu64
               " pps%s, supervisor %s, boot id %016" PRIx64,
               config_.slot, config_.first_counter, config_.table_size - 1, generator_.pps(),
               generator_.paused() ? " (paused)" : "",
               vexa_socket::to_string(config_.supervisor).c_str(), boot_id_);
    tick();
    connect();
    io_.run();

    vexa_socket::set_send_observer(nullptr);
    std::fflush(stdout);
    const Card &c = card();
    log_format(Severity::Notice,
               "stopped: %u flow(s), %" PRIu64 " frames injected, %" PRIu64
               " queries checked, %" PRIu64 " mismatches",
               acl_tcam_flow_is_initialized() != 0 ? acl_tcam_get_avl_flow_count() : 0,
               generator_.frames(), c.queries_checked, c.mismatches);
    // A card that saw the library answer wrongly says so in its exit status.
    return exit_status_ != 0 ? exit_status_ : (c.mismatches != 0 ? 1 : 0);
}

} // namespace

int run(const Config &config) {
    Daemon daemon(config);
    return daemon.run();
}

} // namespace serve
