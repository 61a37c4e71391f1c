// Running the chassis from a test: a scratch directory, daemons started as
// child processes, a blocking JSON-RPC client and bounded waits.
//
// Invariants: every process a test starts dies with it. Children are killed
// (SIGKILL) by their Process object's destructor if still running, and ask
// the kernel to kill them should the test process die first
// (PR_SET_PDEATHSIG). Every wait is bounded; nothing here sleeps unbounded.
#ifndef TESTS_CHASSIS_HARNESS_H
#define TESTS_CHASSIS_HARNESS_H

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include <nlohmann/json.hpp>

namespace harness {

using json = nlohmann::json;
using namespace std::chrono_literals;

// A fresh directory under /tmp (short enough for Unix socket paths), removed
// with its contents by the destructor.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A child process running a program from CHASSIS_BIN (set by CTest), in dir, with its
// standard output and error appended to log_path.
class Process {
public:
    Process(const std::string &program, const std::vector<std::string> &args,
            const std::string &dir, const std::string &log_path);
    ~Process(); // SIGKILL and reap if still running
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int sig);
    // Waits for the exit; the exit status (or 128 + signal), or nullopt on
    // timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    std::string log() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string log_path_;
};

// Polls pred every 20 ms until it holds or timeout passes.
bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout);

// A loopback TCP port free a moment ago, for a server that cannot take port
// 0 and name its port; -1 when none could be had.
int free_port();

// A JSON-RPC client on a Unix socket, one request at a time.
class RpcClient {
public:
    explicit RpcClient(const std::string &socket_path);
    ~RpcClient();
    RpcClient(const RpcClient &) = delete;
    RpcClient &operator=(const RpcClient &) = delete;
    bool connected() const { return fd_ >= 0; }
    // The whole response object, or nullopt when the connection failed or no
    // line came within timeout.
    std::optional<json> call(const std::string &method, const json &params,
                             std::chrono::milliseconds timeout = 10s);
    // Sends raw bytes; false when the write failed.
    bool send_raw(const std::string &bytes);
    // Ends what this side sends (a frame cut short stays cut short).
    void half_close();
    // One line, or nullopt on timeout or end of stream.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);
    // Whether the peer closed the connection within timeout.
    bool closed_by_peer(std::chrono::milliseconds timeout);

private:
    int fd_ = -1;
    int next_id_ = 1;
    std::string pending_;
    size_t scanned_ = 0; // bytes of pending_ known to hold no newline
};

// A raw Unix stream connection, for bad-peer tests; -1 on failure.
int connect_unix(const std::string &path);

// Runs a program from CHASSIS_BIN to completion; its exit status and output.
struct Outcome {
    int status = -1;
    std::string out;
};
Outcome run(const std::string &program, const std::vector<std::string> &args,
            std::chrono::milliseconds timeout = 30s);

} // namespace harness

#endif // TESTS_CHASSIS_HARNESS_H
