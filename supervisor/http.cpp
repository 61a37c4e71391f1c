// The HTTP endpoint (http.h): cpp-httplib's server and worker threads, the
// bounds on its connections, and every answer asked of the event loop.

#include "http.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/post.hpp>
#include <httplib.h>

#include "exposition.h"
#include "http_rules.h"
#include "log.h"
#include "schema.h"
#include "show.h"
#include "spool.h"
#include "web_page.h"

namespace supervisor {

namespace {

// The endpoint only reads: its requests are a reader's, so that a change
// could not pass through it even by mistake.
const PeerIdentity kHttpClient{api::Role::Reader, "http"};

using Clock = std::chrono::steady_clock;
using jsonrpc::json;

// With the charset, cpp-httplib leaves JSON uncompressed: it compresses only
// an exact "application/json", and with brotli at its slowest setting when
// the client accepts br, as every browser does (65,535 flows: 40 s instead
// of 1 s uncompressed).
constexpr const char *kJson = "application/json; charset=utf-8";
constexpr const char *kText = "text/plain; charset=utf-8";

// An answer as the event loop gives it to a worker thread. With a spool, the
// body is the spool's text (too large to hold: a chassis's /metrics).
struct Answer {
    int status = 200;
    std::shared_ptr<const std::string> body;
    const char *type = kJson;
    std::shared_ptr<const Spool> spool;
};

// What one read of a spool sends.
constexpr size_t kSpoolChunk = 256 * 1024;

Answer text_answer(int status, std::string text) {
    return {status, std::make_shared<const std::string>(std::move(text)), kText, nullptr};
}

int http_status(const model::Error &error) {
    switch (error.code) {
    case model::Errc::InvalidParams:
        return 400;
    case model::Errc::Busy:
    case model::Errc::NoReply:
    case model::Errc::CardDown:
        return 503;
    default:
        return 500;
    }
}

Answer error_answer(const model::Error &error) {
    const jsonrpc::Error wire = jsonrpc::to_jsonrpc(error);
    json body{{"error", {{"code", wire.code}, {"message", wire.message}}}};
    if (!wire.data.is_null()) {
        body["error"]["data"] = wire.data;
    }
    return {http_status(error), std::make_shared<const std::string>(body.dump()), kJson, nullptr};
}

Answer reply_answer(Reply reply) {
    if (const auto *result = std::get_if<json>(&reply)) {
        return {200, std::make_shared<const std::string>(result->dump()), kJson, nullptr};
    }
    if (auto *raw = std::get_if<RawResult>(&reply)) {
        return {200, std::make_shared<const std::string>(std::move(raw->json_text)), kJson,
                nullptr};
    }
    if (const auto *error = std::get_if<model::Error>(&reply)) {
        return error_answer(*error);
    }
    return error_answer(model::error(model::Errc::Internal, "no answer"));
}

// The server's workers: a fixed number of threads taking connections in
// order, as many as connections may be open, so that none waits for a
// worker for long. Bounding the connections is ConnectionWatch's part.
class Workers : public httplib::TaskQueue {
public:
    explicit Workers(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            threads_.emplace_back([this] { work(); });
        }
    }
    void enqueue(std::function<void()> fn) override {
        {
            const std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(fn));
        }
        ready_.notify_one();
    }
    void shutdown() override {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread &t : threads_) {
            t.join();
        }
    }

private:
    void work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) {
                    return;
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job(); // serves the connection and closes it
        }
    }

    std::vector<std::thread> threads_;
    std::deque<std::function<void()>> jobs_;
    std::mutex mutex_;
    std::condition_variable ready_;
    bool stopping_ = false;
};

// Bounds the server's connections from outside it: the library bounds each
// read and write, not how long a connection lasts nor how many there are.
// Every interval it lists the process's sockets connected on our port, shuts
// down those older than the limit and the oldest past the bound; the worker
// serving one then sees its end and closes it.
class ConnectionWatch {
public:
    void start(uint16_t port, size_t max_connections, std::chrono::seconds limit) {
        port_ = port;
        max_ = max_connections;
        limit_ = limit;
        thread_ = std::thread([this] { run(); });
    }
    // Shuts down every connection (so that workers blocked on one return),
    // then the thread.
    void stop() {
        {
            const std::lock_guard lock(mutex_);
            if (!thread_.joinable()) {
                return;
            }
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    static constexpr std::chrono::milliseconds kInterval{200};

    struct Seen {
        std::string peer;
        Clock::time_point since;
        bool shut = false;
    };

    void run() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            scan(false);
            lock.lock();
            wake_.wait_for(lock, kInterval, [this] { return stopping_; });
        }
        lock.unlock();
        scan(true);
    }

    // The peer of a socket connected on our port, as text; "" for any other
    // descriptor.
    std::string peer_of(int fd) const {
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) {
            return {};
        }
        sockaddr_storage local{}, peer{};
        socklen_t length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
            return {};
        }
        uint16_t port = 0;
        if (local.ss_family == AF_INET) {
            port = ntohs(reinterpret_cast<const sockaddr_in &>(local).sin_port);
        } else if (local.ss_family == AF_INET6) {
            port = ntohs(reinterpret_cast<const sockaddr_in6 &>(local).sin6_port);
        }
        length = sizeof peer;
        if (port != port_ || getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
            return {};
        }
        return std::string(reinterpret_cast<const char *>(&peer), length);
    }

    void scan(bool all) {
        const Clock::time_point now = Clock::now();
        std::map<int, Seen> current;
        if (DIR *dir = opendir("/proc/self/fd")) {
            while (const dirent *entry = readdir(dir)) {
                const int fd = std::atoi(entry->d_name);
                if (entry->d_name[0] == '.' || fd == dirfd(dir)) {
                    continue;
                }
                std::string peer = peer_of(fd);
                if (peer.empty()) {
                    continue;
                }
                const auto known = seen_.find(fd);
                current[fd] = known != seen_.end() && known->second.peer == peer
                                  ? known->second
                                  : Seen{std::move(peer), now, false};
            }
            closedir(dir);
        }
        seen_ = std::move(current);
        std::vector<std::pair<Clock::time_point, int>> open;
        for (auto &[fd, seen] : seen_) {
            if (seen.shut) {
                continue;
            }
            if (all || now - seen.since > limit_) {
                close_down(fd, seen);
            } else {
                open.emplace_back(seen.since, fd);
            }
        }
        if (open.size() > max_) {
            // The oldest go: a crowd of idle connections then cannot keep a
            // new client out for long, and a scraper reconnects at its next
            // scrape.
            std::sort(open.begin(), open.end());
            for (size_t i = 0; i < open.size() - max_; ++i) {
                close_down(open[i].second, seen_[open[i].second]);
            }
        }
    }

    void close_down(int fd, Seen &seen) {
        // The descriptor may have been closed and reused since the scan.
        if (peer_of(fd) == seen.peer) {
            ::shutdown(fd, SHUT_RDWR);
        }
        seen.shut = true;
    }

    uint16_t port_ = 0;
    size_t max_ = 0;
    std::chrono::seconds limit_{};
    std::map<int, Seen> seen_; // the watch thread's own
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

// A response body the event loop writes as it is produced and a worker
// sends as it comes: at most about kResumeOutput of it waits between the two,
// the producer pausing beyond (as it does for a control client that reads
// slowly). The loop side takes a flow.show written as one answer (Part...,
// then the RawResult ending it).
class BodyPipe {
public:
    explicit BodyPipe(asio::io_context &io) : io_(io) {}

    // The loop's side.
    void deliver(Reply reply) {
        std::lock_guard lock(mutex_);
        if (auto *wait = std::get_if<WhenWritable>(&reply)) {
            if (gone_ || bytes_ < kResumeOutput) {
                asio::post(io_, [then = std::move(wait->then), go = !gone_] { then(go); });
            } else {
                waiting_ = std::move(wait->then);
            }
            return;
        }
        if (auto *part = std::get_if<Part>(&reply)) {
            push(std::move(part->text));
        } else if (auto *raw = std::get_if<RawResult>(&reply)) {
            push(std::move(raw->json_text));
            ended_ = true;
        } else if (auto *error = std::get_if<model::Error>(&reply)) {
            error_ = *error;
            ended_ = true;
        } else if (auto *result = std::get_if<json>(&reply)) {
            push(result->dump());
            ended_ = true;
        }
        changed_.notify_all();
    }

    enum class Next { Piece, End, Error, Stalled };
    // The worker's side: the next piece (End once all are taken), waiting
    // until deadline or stopping.
    Next next(std::string &piece, Clock::time_point deadline, const std::atomic<bool> &stopping) {
        std::unique_lock lock(mutex_);
        while (pieces_.empty() && !ended_) {
            if (stopping || Clock::now() >= deadline) {
                return Next::Stalled;
            }
            changed_.wait_for(lock, std::chrono::milliseconds(50));
        }
        if (pieces_.empty()) {
            return error_ ? Next::Error : Next::End;
        }
        piece = std::move(pieces_.front());
        pieces_.pop_front();
        bytes_ -= piece.size();
        if (bytes_ < kResumeOutput && waiting_) {
            asio::post(io_, [then = std::move(waiting_)] { then(true); });
            waiting_ = nullptr;
        }
        return Next::Piece;
    }

    // Whether the answer failed before its first piece.
    std::optional<model::Error> error() {
        std::lock_guard lock(mutex_);
        return error_;
    }

    // The client left (or the server stops): the producer stops.
    void abandon() {
        std::lock_guard lock(mutex_);
        gone_ = true;
        pieces_.clear();
        bytes_ = 0;
        if (waiting_) {
            asio::post(io_, [then = std::move(waiting_)] { then(false); });
            waiting_ = nullptr;
        }
    }

private:
    void push(std::string piece) {
        if (!gone_ && !piece.empty()) {
            bytes_ += piece.size();
            pieces_.push_back(std::move(piece));
        }
    }

    asio::io_context &io_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> pieces_;
    size_t bytes_ = 0;
    bool ended_ = false;
    bool gone_ = false;
    std::optional<model::Error> error_;
    std::function<void(bool)> waiting_;
};

// When this worker's request was read (set before routing, read by the
// logger on the same thread).
thread_local std::optional<Clock::time_point> request_started;

} // namespace

struct Http::Impl {
    Impl(asio::io_context &io, Services &services, Metrics &metrics, HttpOptions options)
        : io(io), services(services), metrics(metrics), options(options) {}

    // Runs work on the event loop and waits for the answer it gives (once,
    // from the loop). 503 when it does not come in time or the server stops.
    Answer ask(std::function<void(std::function<void(Answer)>)> work) {
        auto promise = std::make_shared<std::promise<Answer>>();
        std::future<Answer> answer = promise->get_future();
        if (stopping) {
            return text_answer(503, "stopping\n");
        }
        asio::post(io, [work = std::move(work), promise] {
            work([promise](Answer a) { promise->set_value(std::move(a)); });
        });
        const Clock::time_point deadline = Clock::now() + options.answer_timeout;
        while (answer.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            if (stopping || Clock::now() >= deadline) {
                return text_answer(503, stopping ? "stopping\n" : "no answer in time\n");
            }
        }
        return answer.get();
    }

    // A method of the control socket, its params given.
    Answer call(const char *method, json params) {
        return ask([this, method, params = std::move(params)](std::function<void(Answer)> done) {
            jsonrpc::Request request;
            request.method = method;
            request.params = params;
            auto parts = std::make_shared<std::string>();
            dispatch(services, request, kHttpClient,
                     [this, parts, done = std::move(done)](Reply reply) {
                         if (auto *part = std::get_if<Part>(&reply)) {
                             *parts += part->text;
                         } else if (auto *wait = std::get_if<WhenWritable>(&reply)) {
                             asio::post(io, [then = std::move(wait->then)] { then(true); });
                         } else if (auto *raw = std::get_if<RawResult>(&reply);
                                    raw != nullptr && !parts->empty()) {
                             *parts += raw->json_text;
                             done(reply_answer(RawResult{std::move(*parts)}));
                         } else if (answers(reply)) {
                             done(reply_answer(std::move(reply)));
                         }
                     });
        });
    }

    // A method whose answer is written as it is produced (flow.show), sent
    // chunk by chunk as it comes. Its status is known with its first piece.
    void stream(httplib::Response &res, const char *method, json params) {
        if (stopping) {
            res.status = 503;
            res.set_content("stopping\n", kText);
            return;
        }
        auto pipe = std::make_shared<BodyPipe>(io);
        asio::post(io, [this, pipe, method, params = std::move(params)] {
            jsonrpc::Request request;
            request.method = method;
            request.params = params;
            dispatch(services, request, kHttpClient,
                     [pipe](Reply reply) { pipe->deliver(std::move(reply)); });
        });
        std::string first;
        const BodyPipe::Next next =
            pipe->next(first, Clock::now() + options.answer_timeout, stopping);
        if (next != BodyPipe::Next::Piece) {
            pipe->abandon();
            const auto error = pipe->error();
            Answer answer = error
                                ? error_answer(*error)
                                : text_answer(503, stopping ? "stopping\n" : "no answer in time\n");
            res.status = answer.status;
            res.set_content(*answer.body, answer.type);
            return;
        }
        res.set_chunked_content_provider(
            kJson,
            [this, pipe, first = std::move(first)](size_t, httplib::DataSink &sink) mutable {
                std::string piece = std::move(first);
                if (piece.empty()) {
                    switch (pipe->next(piece, Clock::now() + options.answer_timeout, stopping)) {
                    case BodyPipe::Next::Piece:
                        break;
                    case BodyPipe::Next::End:
                        sink.done();
                        return true;
                    default: // half a document: the client sees it cut short
                        pipe->abandon();
                        return false;
                    }
                }
                if (!sink.write(piece.data(), piece.size())) {
                    pipe->abandon();
                    return false;
                }
                return true;
            },
            [pipe](bool) { pipe->abandon(); });
    }

    // On the loop: the flow and card families, shared by the scrapes that
    // ask while it is taken. The snapshot is taken card by card, its text
    // spooled as each card's rows come.
    void snapshot(std::function<void(Answer)> done) {
        if (!scrapes.join(std::move(done))) {
            return;
        }
        std::string why;
        std::shared_ptr<Spool> spool = Spool::create(&why);
        if (!spool) {
            scrapes.finish(text_answer(503, "no snapshot: " + why + "\n"));
            return;
        }
        struct Scrape : SnapshotSink {
            explicit Scrape(std::shared_ptr<Spool> spool_)
                : spool(std::move(spool_)),
                  flows([spool = spool.get()](std::string_view text) { spool->append(text); }) {}
            void piece(const SlotSnapshot &slot, std::span<const api::ShowFlow> rows,
                       bool last) override {
                flows.rows(rows);
                if (last) {
                    cards.push_back(slot.card);
                }
            }
            void end() override {
                status = flows.finish(cards);
                ended();
            }
            std::shared_ptr<Spool> spool;
            api::FlowExposition flows;
            std::vector<api::ShowCard> cards;
            std::optional<model::Status> status; // the flows' end
            std::optional<Reply> card_list;
            std::function<void()> ended;
        };
        auto scrape = std::make_shared<Scrape>(spool);
        const Clock::time_point started = Clock::now();
        // Both the flows and the card list in: the card families follow.
        auto finish = [this, scrape, started] {
            if (!scrape->status || !scrape->card_list) {
                return;
            }
            const Answer answer = render(*scrape->status, *scrape->card_list, scrape->spool);
            metrics.snapshot(Clock::now() - started);
            scrape->ended = nullptr; // it holds scrape
            scrapes.finish(answer);
        };
        scrape->ended = finish;
        // Counters since each card's boot: a clear is no reset, a restart is.
        api::ShowParams show;
        show.since_boot = true;
        take_snapshot(services, show, scrape);
        jsonrpc::Request list;
        list.method = "cards.list";
        dispatch(services, list, kHttpClient, [scrape, finish](Reply reply) {
            if (answers(reply)) {
                scrape->card_list = std::move(reply);
                finish();
            }
        });
    }

    static Answer render(const model::Status &flows, const Reply &cards,
                         const std::shared_ptr<Spool> &spool) {
        if (const model::Error *error = model::failed(flows)) {
            return text_answer(503, "no snapshot: " + error->message + "\n");
        }
        if (const auto *error = std::get_if<model::Error>(&cards)) {
            return text_answer(503, "no snapshot: " + error->message + "\n");
        }
        const json *cards_json = std::get_if<json>(&cards);
        const auto list = cards_json != nullptr ? api::decode_cards(*cards_json)
                                                : model::Result<std::vector<api::CardInfo>>(
                                                      model::error(model::Errc::Internal, ""));
        if (!list) {
            return text_answer(500, "no snapshot: undecodable card list\n");
        }
        spool->append(api::cards_prometheus(*list));
        if (std::string why; !spool->seal(&why)) {
            return text_answer(503, "no snapshot: " + why + "\n");
        }
        return {200, nullptr, api::kPrometheusContentType, spool};
    }

    void readiness(std::function<void(Answer)> done) {
        std::vector<SlotReadiness> slots;
        for (const uint32_t slot : known_slots(services)) {
            slots.push_back({slot, services.store.flows(slot).size(), services.cards.state(slot)});
        }
        // The store is open for as long as the supervisor runs.
        const std::optional<std::string> why = not_ready(true, slots);
        done(why ? text_answer(503, *why + "\n") : text_answer(200, "ready\n"));
    }

    void routes() {
        const auto send = [](httplib::Response &res, const Answer &answer) {
            res.status = answer.status;
            res.set_content(*answer.body, answer.type);
        };
        server->Get("/", [](const httplib::Request &, httplib::Response &res) {
            res.set_content(std::string(web_page()), "text/html; charset=utf-8");
        });
        server->Get("/metrics", [this, send](const httplib::Request &, httplib::Response &res) {
            Answer answer = ask([this](std::function<void(Answer)> done) { snapshot(done); });
            if (answer.status != 200 || !answer.spool) {
                send(res, answer);
                return;
            }
            // Chunked, so that gzip still applies; the supervisor's own
            // families are read fresh for each scrape.
            res.set_chunked_content_provider(
                answer.type, [spool = answer.spool, own = metrics.exposition(),
                              offset = size_t{0}](size_t, httplib::DataSink &sink) mutable {
                    if (offset < spool->size()) {
                        std::string chunk;
                        if (!spool->read(offset, kSpoolChunk, &chunk) || chunk.empty()) {
                            return false;
                        }
                        offset += chunk.size();
                        return sink.write(chunk.data(), chunk.size());
                    }
                    if (!own.empty()) {
                        const bool written = sink.write(own.data(), own.size());
                        own.clear();
                        return written;
                    }
                    sink.done();
                    return true;
                });
        });
        server->Get("/api/v1/flows",
                    [this, send](const httplib::Request &req, httplib::Response &res) {
                        auto params = query_params(req.params, kShowQuery);
                        if (!params) {
                            send(res, error_answer(params.error()));
                            return;
                        }
                        stream(res, "flow.show", std::move(*params));
                    });
        server->Get("/api/v1/cards", [this, send](const httplib::Request &req,
                                                  httplib::Response &res) {
            auto params = query_params(req.params, {});
            send(res, params ? call("cards.list", json::object()) : error_answer(params.error()));
        });
        server->Get("/healthz", [this, send](const httplib::Request &, httplib::Response &res) {
            // Alive means the event loop still turns.
            send(res,
                 ask([](std::function<void(Answer)> done) { done(text_answer(200, "ok\n")); }));
        });
        server->Get("/readyz", [this, send](const httplib::Request &, httplib::Response &res) {
            send(res, ask([this](std::function<void(Answer)> done) { readiness(done); }));
        });
        const auto refuse = [](const httplib::Request &, httplib::Response &res) {
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content("read-only: GET and HEAD only\n", kText);
        };
        server->Post(".*", refuse);
        server->Put(".*", refuse);
        server->Patch(".*", refuse);
        server->Delete(".*", refuse);
        server->Options(".*", refuse);
        server->set_error_handler([](const httplib::Request &, httplib::Response &res) {
            if (res.body.empty()) {
                res.set_content(std::to_string(res.status) + "\n", kText);
            }
        });
        server->set_exception_handler(
            [](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
                res.status = 500;
                res.set_content("internal error\n", kText);
            });
        server->set_pre_routing_handler([](const httplib::Request &, httplib::Response &) {
            request_started = Clock::now();
            return httplib::Server::HandlerResponse::Unhandled;
        });
        server->set_logger([this](const httplib::Request &req, const httplib::Response &res) {
            const Clock::time_point now = Clock::now();
            metrics.request(req.method, res.status,
                            request_started ? now - *request_started : Clock::duration{});
            request_started.reset();
        });
    }

    asio::io_context &io;
    Services &services;
    Metrics &metrics;
    const HttpOptions options;
    std::unique_ptr<httplib::Server> server; // made by listen(), plain or TLS
    ConnectionWatch watch;
    std::thread listener;
    std::atomic<bool> stopping{false};
    Coalescer<Answer> scrapes; // the event loop's
    std::string host;
    std::string scheme = "http://";
    int port = 0;
};

Http::Http(asio::io_context &io, Services &services, Metrics &metrics, HttpOptions options)
    : impl_(std::make_unique<Impl>(io, services, metrics, options)) {}

Http::~Http() {
    stop();
}

bool Http::listen(const std::string &text, std::string *error) {
    Impl &m = *impl_;
    const auto address = parse_http_address(text);
    if (!address) {
        *error = address.error().message;
        return false;
    }
    const HttpOptions &o = m.options;
    if (address->tls) {
        if (!o.tls.complete()) {
            *error = text + ": TLS needs --tls-cert, --tls-key and --tls-ca";
            return false;
        }
        // The library asks for a client certificate from the CA when given
        // one, and refuses a client without.
        auto tls = std::make_unique<httplib::SSLServer>(o.tls.cert.c_str(), o.tls.key.c_str(),
                                                        o.tls.ca.c_str());
        if (!tls->is_valid()) {
            *error = text + ": cannot use " + o.tls.cert + ", " + o.tls.key + " or " + o.tls.ca;
            return false;
        }
        SSL_CTX_set_min_proto_version(tls->ssl_context(), TLS1_2_VERSION);
        m.server = std::move(tls);
    } else {
        m.server = std::make_unique<httplib::Server>();
    }
    m.scheme = address->tls ? "https://" : "http://";
    m.server->new_task_queue = [workers = o.max_connections] { return new Workers(workers); };
    m.server->set_read_timeout(o.read_timeout);
    m.server->set_write_timeout(o.write_timeout);
    m.server->set_keep_alive_timeout(o.read_timeout.count());
    m.server->set_keep_alive_max_count(o.keep_alive_requests);
    m.server->set_payload_max_length(o.max_body);
    m.routes();
    // The library's default would share the port (SO_REUSEPORT) with any
    // other process binding it: a second supervisor must fail instead.
    int listening = -1;
    m.server->set_socket_options([&listening](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listening = sock;
    });
    m.host = address->host;
    m.port = address->port == 0
                 ? m.server->bind_to_any_port(address->host)
                 : (m.server->bind_to_port(address->host, address->port) ? address->port : -1);
    if (m.port <= 0) {
        *error = "cannot listen on " + text;
        return false;
    }
    // The library listens with a backlog of 5: a burst of connections would
    // wait seconds for the kernel's SYN retries.
    ::listen(listening, SOMAXCONN);
    m.watch.start(static_cast<uint16_t>(m.port), o.max_connections, o.connection_limit);
    m.listener = std::thread([&m] { m.server->listen_after_bind(); });
    // stop() needs the server running to end it.
    while (!m.server->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string Http::url() const {
    const std::string &host = impl_->host;
    return impl_->scheme + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(impl_->port) + "/";
}

void Http::stop() {
    Impl &m = *impl_;
    m.stopping = true;
    if (!m.listener.joinable()) {
        return;
    }
    m.server->stop();
    m.watch.stop(); // ends every connection, so that the workers return
    m.listener.join();
}

} // namespace supervisor
