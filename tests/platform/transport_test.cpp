// The socket message service: the frame codec, addresses, and connections,
// listeners and vexa_send over real sockets in a scratch directory. Every
// wait runs the io_context against a deadline.

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vexa_socket.h"

namespace {

using namespace vexa_socket;
using Bytes = std::vector<uint8_t>;

constexpr size_t kDisplayChunk = 120652;

Bytes frame(const FrameHeader &header, const Bytes &payload) {
    Bytes out(kHeaderLen);
    encode_header(header, out.data());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

FrameHeader header_for(uint32_t len, uint32_t id = 1) {
    return FrameHeader{.opcode = 1002,
                       .src = {5, 1},
                       .dst = {0xfe000001u, 25},
                       .msg_id = id,
                       .reply_to = 0,
                       .payload_len = len};
}

Bytes pattern(size_t len, uint8_t seed) {
    Bytes out(len);
    for (size_t i = 0; i < len; ++i)
        out[i] = static_cast<uint8_t>(i * 31 + seed);
    return out;
}

struct Decoded {
    std::vector<Bytes> frames; // each re-encoded
    FrameError error = FrameError::None;
    FrameError at_end = FrameError::None;
};

// Feeds the stream in pieces of the given sizes (cycled), then the rest.
Decoded decode(const Bytes &stream, const std::vector<size_t> &pieces) {
    Decoded out;
    FrameDecoder decoder;
    auto on_frame = [&](const FrameHeader &h, std::span<const uint8_t> p) {
        out.frames.push_back(frame(h, Bytes(p.begin(), p.end())));
    };
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        size_t n = pieces.empty() ? stream.size()
                                  : std::min(pieces[i % pieces.size()], stream.size() - at);
        out.error = decoder.feed(std::span(stream.data() + at, n), on_frame);
        at += n;
    }
    out.at_end = decoder.finish();
    return out;
}

TEST(FrameCodec, RefusalsAndTruncations) {
    auto with = [](size_t at, uint8_t value) {
        Bytes b = frame(header_for(0), {});
        b[at] = value;
        return b;
    };
    auto claiming = [](uint32_t len) { return frame(header_for(len), {}); };
    Bytes whole = frame(header_for(10), pattern(10, 1));
    auto cut = [&](size_t n) { return Bytes(whole.begin(), whole.begin() + n); };
    Bytes then_garbage = whole;
    for (char c : std::string("GET / HTTP/1.1\r\nHost: example\r\nAccept: */*\r\n\r\n"))
        then_garbage.push_back(static_cast<uint8_t>(c));

    // Refusals come from feed() as soon as the header is in; a cut stream
    // only from finish().
    const struct {
        const char *name;
        Bytes stream;
        FrameError error;
        size_t frames;
        const char *message;
    } rows[] = {
        {"bad magic", with(0, 0x56 ^ 1), FrameError::BadMagic, 0, "bad magic"},
        {"version 2", with(2, 2), FrameError::BadVersion, 0, "unsupported version 2"},
        {"version 0", with(2, 0), FrameError::BadVersion, 0, "unsupported version 0"},
        {"flags", with(3, 0x80), FrameError::BadFlags, 0, "non-zero flags"},
        {"one over", claiming(kMaxPayload + 1), FrameError::TooLong, 0,
         "payload of 131073 bytes over the limit of 131072"},
        {"4 GiB", claiming(0xffffffffu), FrameError::TooLong, 0,
         "payload of 4294967295 bytes over the limit of 131072"},
        {"largest, header only", claiming(kMaxPayload), FrameError::Truncated, 0,
         "stream ended inside a frame"},
        {"cut at 1", cut(1), FrameError::Truncated, 0, nullptr},
        {"cut at 35", cut(35), FrameError::Truncated, 0, nullptr},
        {"cut at 36", cut(36), FrameError::Truncated, 0, nullptr},
        {"cut at 45", cut(45), FrameError::Truncated, 0, nullptr},
        {"whole", whole, FrameError::None, 1, nullptr},
        {"garbage", Bytes(then_garbage.begin() + 46, then_garbage.end()), FrameError::BadMagic, 0,
         nullptr},
        {"frame then garbage", then_garbage, FrameError::BadMagic, 1, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        bool refused = row.error != FrameError::None && row.error != FrameError::Truncated;
        for (const auto &pieces : {std::vector<size_t>{}, std::vector<size_t>{1}}) {
            Decoded d = decode(row.stream, pieces);
            EXPECT_EQ(d.error, refused ? row.error : FrameError::None);
            EXPECT_EQ(d.at_end, row.error);
            EXPECT_EQ(d.frames.size(), row.frames);
        }
        FrameDecoder decoder;
        FrameError error = decoder.feed(row.stream, [](auto &, auto) {});
        if (row.message) {
            EXPECT_EQ(decoder.error_message(), row.message);
        }
        // A failed decoder stays failed: a good frame afterwards is not handed over.
        if (error != FrameError::None) {
            bool called = false;
            EXPECT_EQ(decoder.feed(whole, [&](auto &, auto) { called = true; }), error);
            EXPECT_FALSE(called);
        }
    }
}

TEST(FrameCodec, HeaderBytesAreBigEndianAtFixedOffsets) {
    FrameHeader h{.opcode = 0x01020304,
                  .src = {0x05060708, 0x090a0b0c},
                  .dst = {0x0d0e0f10, 0x11121314},
                  .msg_id = 0x15161718,
                  .reply_to = 0x191a1b1c,
                  .payload_len = 0x0001fffe};
    uint8_t out[kHeaderLen];
    encode_header(h, out);
    const uint8_t expected[kHeaderLen] = {
        0x56, 0x58, 1,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,   12,   13,   14,
        15,   16,   17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 0x00, 0x01, 0xff, 0xfe};
    // The decoder reads them back in AnySplitYieldsTheSameFrames.
    EXPECT_EQ(Bytes(out, out + kHeaderLen), Bytes(expected, expected + kHeaderLen));
}

TEST(FrameCodec, AnySplitYieldsTheSameFrames) {
    Bytes stream;
    std::vector<Bytes> sent;
    uint32_t id = 1;
    for (size_t len : {size_t{0}, size_t{1}, size_t{184}, kDisplayChunk, size_t{5}, size_t{0}}) {
        sent.push_back(frame(header_for(static_cast<uint32_t>(len), id),
                             pattern(len, static_cast<uint8_t>(id))));
        ++id;
        stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    }
    std::mt19937 rng(7);
    std::vector<size_t> random_pieces(64);
    for (size_t &n : random_pieces)
        n = std::uniform_int_distribution<size_t>(0, 70000)(rng);
    for (const auto &pieces :
         {std::vector<size_t>{}, std::vector<size_t>{1}, std::vector<size_t>{35, 37},
          std::vector<size_t>{65536}, random_pieces}) {
        Decoded d = decode(stream, pieces);
        EXPECT_EQ(d.error, FrameError::None);
        EXPECT_EQ(d.at_end, FrameError::None);
        EXPECT_EQ(d.frames, sent);
    }
}

TEST(Addresses, ParseAndPrint) {
    // {text, printed back}; "" when it is refused.
    const std::pair<std::string, std::string> rows[] = {
        {"unix:/tmp/sup.sock", "unix:/tmp/sup.sock"},
        {"unix:/" + std::string(106, 'x'), "unix:/" + std::string(106, 'x')}, // NUL fits
        {"tcp:127.0.0.1:0", "tcp:127.0.0.1:0"},
        {"tcp:[::1]:8080", "tcp:[::1]:8080"},
        {"tcp:[fe80::1%1]:1", "tcp:[fe80::1%1]:1"},
        {"tcp:10.0.0.1:00080", "tcp:10.0.0.1:80"},
        {"unix:", ""},
        {"unix:/" + std::string(107, 'x'), ""},
        {"tcp:127.0.0.1:65536", ""},
        {"tcp:127.0.0.1:8x", ""},
        {"tcp:127.0.0.1", ""},
        {"tcp::80", ""},
        {"tcp:::1:80", ""},
        {"tcp:[::1]", ""},
        {"tcp:[1.2.3.4]:80", ""},
        {"udp:1.2.3.4:80", ""},
        {"/tmp/sock", ""},
    };
    for (const auto &[text, printed] : rows) {
        SCOPED_TRACE(text);
        std::string error;
        std::optional<Address> a = parse_address(text, &error);
        ASSERT_EQ(a.has_value(), !printed.empty());
        EXPECT_EQ(error.empty(), a.has_value());
        EXPECT_EQ(a ? to_string(*a) : "", printed);
    }
}

// ---- Over sockets -------------------------------------------------------------

struct Received {
    FrameHeader header;
    Bytes payload;
};

class Transport : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/transport-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        set_logger([this](const std::string &line) { logs_.push_back(line); });
    }
    void TearDown() override {
        set_logger({});
        set_send_observer({});
        std::filesystem::remove_all(dir_);
    }

    Address unix_address(const std::string &name = "s.sock") {
        return *parse_address("unix:" + dir_ + "/" + name, nullptr);
    }

    // Runs the loop until done() or ten seconds have passed.
    bool run_until(const std::function<bool()> &done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            io_.restart();
            io_.run_one_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // Listens with a framed server that records frames and ends.
    void serve(const Address &address, const Limits &limits = {},
               Listener::AcceptFilter filter = {}) {
        listener_ = std::make_unique<Listener>(io_, limits);
        std::string error;
        ASSERT_TRUE(listener_->listen(address, &error)) << error;
        listener_->start(
            [this, limits](Socket s, const PeerCredentials &, const std::string &name) {
                Handlers h;
                h.on_frame = [this](const ConnectionPtr &c, const FrameHeader &hd,
                                    std::span<const uint8_t> p) {
                    server_got_.push_back({hd, Bytes(p.begin(), p.end())});
                    if (on_server_frame_)
                        on_server_frame_(c, hd, p);
                };
                h.on_close = [this](const ConnectionPtr &, const std::string &reason) {
                    server_closed_.push_back(reason);
                    listener_->released();
                };
                server_conns_.push_back(Connection::create(std::move(s), limits, h, name));
                server_conns_.back()->start();
            },
            std::move(filter));
    }

    std::optional<Socket> raw_connect(const Address &address) {
        std::optional<Socket> out;
        bool done = false;
        connect(io_, address, [&](std::optional<Socket> s, const std::string &error) {
            EXPECT_TRUE(s) << error;
            out = std::move(s);
            done = true;
        });
        EXPECT_TRUE(run_until([&] { return done; }));
        return out;
    }

    ConnectionPtr dial(const Address &address, std::vector<Received> *got,
                       const Limits &limits = {}) {
        std::optional<Socket> s = raw_connect(address);
        if (!s)
            return nullptr;
        Handlers h;
        h.on_frame = [got](const ConnectionPtr &, const FrameHeader &hd,
                           std::span<const uint8_t> p) {
            got->push_back({hd, Bytes(p.begin(), p.end())});
        };
        auto c = Connection::create(std::move(*s), limits, h, "client");
        c->start();
        return c;
    }

    // True when the server closes the raw socket.
    bool sees_eof(Socket &s) {
        std::array<uint8_t, 256> buf;
        std::error_code result;
        std::function<void()> read = [&] {
            s.async_read_some(asio::buffer(buf),
                              [&](std::error_code ec, size_t) { ec ? void(result = ec) : read(); });
        };
        read();
        return run_until([&] { return bool(result); }) && result == asio::error::eof;
    }

    asio::io_context io_;
    std::string dir_;
    std::vector<std::string> logs_;
    std::unique_ptr<Listener> listener_;
    std::vector<ConnectionPtr> server_conns_;
    std::vector<Received> server_got_;
    std::vector<std::string> server_closed_;
    std::function<void(const ConnectionPtr &, const FrameHeader &, std::span<const uint8_t>)>
        on_server_frame_;
};

TEST_F(Transport, FramesBothWaysOverUnixAndTcp) {
    for (std::string where : {"unix:" + dir_ + "/x.sock", std::string("tcp:127.0.0.1:0")}) {
        SCOPED_TRACE(where);
        server_got_.clear();
        serve(*parse_address(where, nullptr));
        // Echo every frame back as an answer to it.
        on_server_frame_ = [](const ConnectionPtr &c, const FrameHeader &h,
                              std::span<const uint8_t> p) {
            EXPECT_NE(c->send(0, h.dst, h.src, h.msg_id, p), 0u);
        };
        std::vector<Received> got;
        ConnectionPtr client = dial(listener_->bound_address(), &got);
        ASSERT_TRUE(client);
        Bytes big = pattern(kDisplayChunk, 3);
        EXPECT_EQ(client->send(1002, {1, 1}, {0xfe000001u, 25}, 0, pattern(184, 9)), 1u);
        EXPECT_EQ(client->send(1003, {1, 1}, {0xfe000001u, 25}, 0, big), 2u);
        EXPECT_EQ(client->send(1004, {1, 1}, {0xfe000001u, 25}, 0, {}, 77), 77u);
        ASSERT_TRUE(run_until([&] { return got.size() == 3; }));
        ASSERT_EQ(server_got_.size(), 3u);
        EXPECT_EQ(server_got_[1].payload, big);
        for (uint32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(got[i].payload, server_got_[i].payload);
            EXPECT_EQ(got[i].header.reply_to, server_got_[i].header.msg_id);
            EXPECT_EQ(got[i].header.msg_id, i + 1); // the server's own numbering
        }
        const PeerCredentials &cred = server_conns_.back()->credentials();
        EXPECT_EQ(cred.known ? cred.pid : 0, where.starts_with("unix:") ? getpid() : 0);
        client->close("done");
        ASSERT_TRUE(run_until([&] { return listener_->connections() == 0; }));
        listener_->stop();
    }
}

TEST_F(Transport, SocketFileModeStaleAndLive) {
    Address address = unix_address();
    // A stale file: bound once, nobody accepting.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sun{.sun_family = AF_UNIX, .sun_path = {}};
    std::strcpy(sun.sun_path, address.path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun), 0);
    close(fd);

    mode_t old_mask = umask(0); // the mode must not depend on the caller's umask
    serve(address);
    umask(old_mask);
    struct stat st {};
    ASSERT_EQ(stat(address.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    std::string error;
    Listener second(io_, {});
    EXPECT_FALSE(second.listen(address, &error));
    EXPECT_NE(error.find("address in use"), std::string::npos) << error;
    second.stop(); // must not remove the first listener's file
    EXPECT_EQ(stat(address.path.c_str(), &st), 0);

    listener_->stop();
    EXPECT_NE(stat(address.path.c_str(), &st), 0);
    ASSERT_EQ(logs_.size(), 1u);
    EXPECT_NE(logs_[0].find("removed a stale socket"), std::string::npos) << logs_[0];

    std::ofstream(dir_ + "/plain") << "x";
    EXPECT_FALSE(second.listen(unix_address("plain"), &error));
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/plain"));
}

TEST_F(Transport, SlowPeerFillsTheQueueAndSendFails) {
    Limits small;
    small.max_send_queue_bytes = 1 << 20;
    serve(unix_address(), small);
    std::optional<Socket> never_reads = raw_connect(listener_->bound_address());
    ASSERT_TRUE(never_reads);
    ASSERT_TRUE(run_until([&] { return server_conns_.size() == 1; }));
    ConnectionPtr sender = server_conns_[0];
    Bytes chunk = pattern(kDisplayChunk, 5);
    int sent = 0;
    for (; sent < 1000; ++sent) {
        errno = 0;
        if (sender->send(0, {1, 1}, {2, 2}, 0, chunk) == 0)
            break;
        io_.poll(); // let writes go out while the peer's buffers have room
    }
    EXPECT_LT(sent, 1000);
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_LE(sender->queued_bytes(), small.max_send_queue_bytes);
    EXPECT_TRUE(sender->is_open());
}

TEST_F(Transport, ConnectionLimitAndFilter) {
    Limits limits;
    limits.max_connections = 2;
    bool allow = true;
    serve(unix_address(), limits, [&](const PeerCredentials &c, std::string *why) {
        EXPECT_TRUE(c.known);
        *why = "uid " + std::to_string(c.uid) + " not allowed";
        return allow;
    });
    std::vector<Received> got;
    ConnectionPtr a = dial(listener_->bound_address(), &got);
    ConnectionPtr b = dial(listener_->bound_address(), &got);
    ASSERT_TRUE(run_until([&] { return listener_->connections() == 2; }));
    std::optional<Socket> third = raw_connect(listener_->bound_address());
    EXPECT_TRUE(sees_eof(*third));
    EXPECT_EQ(server_conns_.size(), 2u);
    a->close("leaving");
    ASSERT_TRUE(run_until([&] { return listener_->connections() == 1; }));
    allow = false;
    std::optional<Socket> refused = raw_connect(listener_->bound_address());
    EXPECT_TRUE(sees_eof(*refused));
    allow = true;
    ConnectionPtr c = dial(listener_->bound_address(), &got);
    ASSERT_TRUE(run_until([&] { return listener_->connections() == 2; }));
    EXPECT_EQ(server_conns_.size(), 3u);
    ASSERT_EQ(logs_.size(), 2u);
    EXPECT_NE(logs_[0].find("2 connections"), std::string::npos) << logs_[0];
    EXPECT_NE(logs_[1].find("not allowed"), std::string::npos) << logs_[1];
}

TEST_F(Transport, VexaSendAnswersOnTheBoundHandle) {
    constexpr uint32_t kHandle = 7;
    constexpr vexa_addr_t kLocal{3, 1};
    std::vector<std::pair<FrameHeader, int>> observed;
    set_send_observer([&](uint32_t, const FrameHeader &h, std::span<const uint8_t>, int result) {
        observed.push_back({h, result});
    });
    serve(unix_address());
    on_server_frame_ = [&](const ConnectionPtr &c, const FrameHeader &h,
                           std::span<const uint8_t> p) {
        bind_handle(kHandle, c, kLocal);
        vexa_msg msg = make_message(kHandle, h, p);
        vexa_addr_t back{0xfe000000u, 0};
        EXPECT_EQ(vexa_send(kHandle, &back, 0, p.data(), uint32_t(p.size()), 0, &msg, 0), 0);
    };
    std::vector<Received> got;
    ConnectionPtr client = dial(listener_->bound_address(), &got);
    client->send(1002, {9, 1}, {3, 1}, 0, pattern(184, 2), 41);
    ASSERT_TRUE(run_until([&] { return got.size() == 1; }));
    EXPECT_EQ(got[0].header.reply_to, 41u);
    EXPECT_EQ(got[0].header.src.node, kLocal.node);
    EXPECT_EQ(got[0].header.dst.node, 0xfe000000u);
    EXPECT_EQ(got[0].payload, pattern(184, 2));
    ASSERT_EQ(observed.size(), 1u);
    EXPECT_EQ(observed[0].second, 0);
    EXPECT_EQ(observed[0].first.msg_id, got[0].header.msg_id);

    // Refusals: -1 with errno.
    vexa_addr_t dst{1, 1};
    uint8_t byte = 0;
    auto refusal = [&](uint32_t handle, const vexa_addr_t *to, const void *payload) {
        errno = 0;
        return vexa_send(handle, to, 0, payload, 1, 0, nullptr, 0) == -1 ? errno : 0;
    };
    EXPECT_EQ(refusal(kHandle, nullptr, &byte), EINVAL);
    EXPECT_EQ(refusal(kHandle, &dst, nullptr), EINVAL);
    EXPECT_EQ(refusal(kHandle + 1, &dst, &byte), ENOTCONN);
    EXPECT_EQ(vexa_send(kHandle, &dst, 0, nullptr, 0, 0, nullptr, 0), 0); // empty is fine
    server_conns_.back()->close("gone");
    EXPECT_EQ(refusal(kHandle, &dst, &byte), ENOTCONN);
    unbind_handle(kHandle);
    EXPECT_EQ(refusal(kHandle, &dst, &byte), ENOTCONN);
    ASSERT_EQ(observed.size(), 7u); // the observer sees failed sends too
    EXPECT_EQ(observed.back().second, -1);
}

} // namespace
