#include "harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int decode_status(int raw) {
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(const std::string &path, const std::vector<std::string> &args,
                             const std::string &dir, int log_fd) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    setpgid(0, 0);
    if (chdir(dir.c_str()) != 0) {
        _exit(126);
    }
    dup2(log_fd, STDOUT_FILENO);
    dup2(log_fd, STDERR_FILENO);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
}

// The directory holding the built programs.
std::string bin_dir() {
    const char *dir = std::getenv("CHASSIS_BIN");
    if (dir == nullptr || *dir == '\0') {
        throw std::runtime_error("CHASSIS_BIN is not set");
    }
    return dir;
}

} // namespace

Scratch::Scratch() {
    char templ[] = "/tmp/chassis-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = templ;
}

Scratch::~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

Process::Process(const std::string &program, const std::vector<std::string> &args,
                 const std::string &dir, const std::string &log_path)
    : log_path_(log_path) {
    const std::string path = program.starts_with('/') ? program : bin_dir() + "/" + program;
    const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        throw std::runtime_error("cannot open " + log_path);
    }
    pid_ = fork();
    if (pid_ == 0) {
        exec_child(path, args, dir, log_fd);
    }
    close(log_fd);
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
}

Process::~Process() {
    if (running()) {
        kill(pid_, SIGKILL);
        wait(5s);
    }
}

bool Process::running() {
    if (status_ || pid_ <= 0) {
        return false;
    }
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = decode_status(raw);
        return false;
    }
    return true;
}

void Process::signal(int sig) {
    if (running()) {
        kill(pid_, sig);
    }
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    wait_until([&] { return !running(); }, timeout);
    return status_;
}

std::string Process::log() const {
    std::ifstream in(log_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        if (pred()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

int connect_unix(const std::string &path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof addr.sun_path) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

RpcClient::RpcClient(const std::string &socket_path) : fd_(connect_unix(socket_path)) {}

RpcClient::~RpcClient() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool RpcClient::send_raw(const std::string &bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

void RpcClient::half_close() {
    if (fd_ >= 0) {
        shutdown(fd_, SHUT_WR);
    }
}

std::optional<std::string> RpcClient::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (fd_ >= 0) {
        // Only bytes not searched yet: a result of megabytes comes in many reads.
        if (const size_t nl = pending_.find('\n', scanned_); nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            scanned_ = 0;
            return line;
        }
        scanned_ = pending_.size();
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) <= 0) {
            return std::nullopt;
        }
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
    return std::nullopt;
}

bool RpcClient::closed_by_peer(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return true;
        }
    }
    return true;
}

std::optional<json> RpcClient::call(const std::string &method, const json &params,
                                    std::chrono::milliseconds timeout) {
    const int id = next_id_++;
    const json request = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}};
    if (!send_raw(request.dump() + "\n")) {
        return std::nullopt;
    }
    const auto deadline = Clock::now() + timeout;
    while (true) {
        const std::optional<std::string> line =
            read_line(std::chrono::milliseconds(remaining_ms(deadline)));
        if (!line) {
            return std::nullopt;
        }
        json response = json::parse(*line, nullptr, false);
        if (!response.is_discarded() && response.value("id", json()) == id) {
            return response;
        }
    }
}

Outcome run(const std::string &program, const std::vector<std::string> &args,
            std::chrono::milliseconds timeout) {
    char templ[] = "/tmp/chassis-run-XXXXXX";
    const int fd = mkstemp(templ);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    close(fd);
    Outcome result;
    {
        Process p(program, args, ".", templ);
        result.status = p.wait(timeout).value_or(-1);
        result.out = p.log();
    }
    unlink(templ);
    return result;
}

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    close(fd);
    return ntohs(addr.sin_port);
}

} // namespace harness
