// Fuzzes the frame decoder with arbitrary streams cut at arbitrary points.
//
// The input's first 8 bytes seed the cuts; the rest is the stream. For every
// input: the stream fed in random pieces yields exactly what it yields fed at
// once (frames, error, end state); each frame re-encodes to the very bytes it
// came from, in order from the stream's start; a refusal names the header
// where the frames stop; and a clean stream's unconsumed tail is what the
// decoder holds, reported as truncated at the end.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vexa_socket.h"

namespace {

using vexa_socket::FrameDecoder;
using vexa_socket::FrameError;
using vexa_socket::FrameHeader;
using vexa_socket::kHeaderLen;

struct Run {
    std::vector<std::vector<uint8_t>> frames; // re-encoded
    FrameError error = FrameError::None;
    FrameError at_end = FrameError::None;
    size_t buffered = 0;
};

std::vector<uint8_t> encode(const FrameHeader &header, std::span<const uint8_t> payload) {
    std::vector<uint8_t> out(kHeaderLen);
    vexa_socket::encode_header(header, out.data());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

uint64_t next(uint64_t &state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// seed 0: the whole stream in one feed.
Run decode(std::span<const uint8_t> stream, uint64_t seed, bool cut) {
    Run run;
    FrameDecoder decoder;
    auto on_frame = [&](const FrameHeader &h, std::span<const uint8_t> p) {
        if (p.size() != h.payload_len)
            std::abort();
        run.frames.push_back(encode(h, p));
    };
    size_t at = 0;
    while (at < stream.size() && run.error == FrameError::None) {
        size_t n = stream.size() - at;
        if (cut) {
            uint64_t r = next(seed);
            // Mostly tiny pieces, around header boundaries; some large.
            n = std::min<size_t>(n, (r & 3) ? r % 48 : r % 70000);
        }
        run.error = decoder.feed(stream.subspan(at, n), on_frame);
        at += n;
    }
    run.at_end = decoder.finish();
    run.buffered = decoder.buffered();
    return run;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint64_t seed = 0;
    if (size >= sizeof seed) {
        std::memcpy(&seed, data, sizeof seed);
        data += sizeof seed;
        size -= sizeof seed;
    }
    std::span<const uint8_t> stream(data, size);
    Run whole = decode(stream, seed, false);
    Run pieces = decode(stream, seed, true);
    if (pieces.frames != whole.frames || pieces.error != whole.error ||
        pieces.at_end != whole.at_end)
        std::abort();

    size_t offset = 0;
    for (const auto &f : whole.frames) {
        if (f.size() > stream.size() - offset || std::memcmp(f.data(), data + offset, f.size()))
            std::abort();
        offset += f.size();
    }
    if (whole.error != FrameError::None) {
        // Refused at the header right after the last frame, for that reason.
        FrameHeader h;
        if (stream.size() - offset < kHeaderLen || whole.at_end != whole.error ||
            vexa_socket::decode_header(data + offset, h) != whole.error)
            std::abort();
    } else {
        size_t tail = stream.size() - offset;
        if (whole.buffered != tail || pieces.buffered != tail ||
            whole.at_end != (tail ? FrameError::Truncated : FrameError::None))
            std::abort();
    }
    return 0;
}
