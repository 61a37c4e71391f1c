// The frame codec: the 36-byte big-endian header and the decoder that cuts a
// byte stream into frames.
//
// Invariants of FrameDecoder:
//  - buffer_ holds only the bytes of the one frame begun and not finished; a
//    frame that arrives whole inside one feed() is handed over from the
//    caller's bytes without a copy;
//  - once buffer_ holds a whole header, that header has been checked and is
//    in header_, and the buffer has room for the whole frame;
//  - a header is checked as soon as its 36 bytes are in, so a bad stream is
//    refused before its payload is waited for;
//  - after a failure, feed() and finish() return it and nothing else runs.

#include <algorithm>
#include <cstring>
#include <string>

#include "vexa_socket.h"

namespace vexa_socket {

namespace {

// Offsets in the header.
constexpr size_t kMagicAt = 0;
constexpr size_t kVersionAt = 2;
constexpr size_t kFlagsAt = 3;
constexpr size_t kOpcodeAt = 4;
constexpr size_t kSrcNodeAt = 8;
constexpr size_t kSrcEndpointAt = 12;
constexpr size_t kDstNodeAt = 16;
constexpr size_t kDstEndpointAt = 20;
constexpr size_t kMsgIdAt = 24;
constexpr size_t kReplyToAt = 28;
constexpr size_t kPayloadLenAt = 32;

void put16(uint8_t *at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v >> 8);
    at[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *at, uint32_t v) {
    at[0] = static_cast<uint8_t>(v >> 24);
    at[1] = static_cast<uint8_t>(v >> 16);
    at[2] = static_cast<uint8_t>(v >> 8);
    at[3] = static_cast<uint8_t>(v);
}

uint16_t get16(const uint8_t *at) {
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

uint32_t get32(const uint8_t *at) {
    return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

} // namespace

const char *error_text(FrameError error) {
    switch (error) {
    case FrameError::None:
        return "no error";
    case FrameError::BadMagic:
        return "bad magic";
    case FrameError::BadVersion:
        return "unsupported version";
    case FrameError::BadFlags:
        return "non-zero flags";
    case FrameError::TooLong:
        return "payload over the limit";
    case FrameError::Truncated:
        return "stream ended inside a frame";
    }
    return "unknown frame error";
}

void encode_header(const FrameHeader &header, uint8_t out[kHeaderLen]) {
    put16(out + kMagicAt, kMagic);
    out[kVersionAt] = kVersion;
    out[kFlagsAt] = 0;
    put32(out + kOpcodeAt, header.opcode);
    put32(out + kSrcNodeAt, header.src.node);
    put32(out + kSrcEndpointAt, header.src.endpoint);
    put32(out + kDstNodeAt, header.dst.node);
    put32(out + kDstEndpointAt, header.dst.endpoint);
    put32(out + kMsgIdAt, header.msg_id);
    put32(out + kReplyToAt, header.reply_to);
    put32(out + kPayloadLenAt, header.payload_len);
}

FrameError decode_header(const uint8_t in[kHeaderLen], FrameHeader &out) {
    if (get16(in + kMagicAt) != kMagic)
        return FrameError::BadMagic;
    if (in[kVersionAt] != kVersion)
        return FrameError::BadVersion;
    if (in[kFlagsAt] != 0)
        return FrameError::BadFlags;
    uint32_t len = get32(in + kPayloadLenAt);
    if (len > kMaxPayload)
        return FrameError::TooLong;
    out.opcode = get32(in + kOpcodeAt);
    out.src = {get32(in + kSrcNodeAt), get32(in + kSrcEndpointAt)};
    out.dst = {get32(in + kDstNodeAt), get32(in + kDstEndpointAt)};
    out.msg_id = get32(in + kMsgIdAt);
    out.reply_to = get32(in + kReplyToAt);
    out.payload_len = len;
    return FrameError::None;
}

FrameError FrameDecoder::feed(std::span<const uint8_t> bytes, const OnFrame &on_frame) {
    if (failed_ != FrameError::None)
        return failed_;
    const uint8_t *at = bytes.data();
    size_t left = bytes.size();

    // Checks a whole header; on failure remembers what made it fail.
    auto check = [this](const uint8_t *header, FrameHeader &out) {
        failed_ = decode_header(header, out);
        if (failed_ == FrameError::BadVersion)
            failed_value_ = header[kVersionAt];
        else if (failed_ == FrameError::TooLong)
            failed_value_ = get32(header + kPayloadLenAt);
        return failed_ == FrameError::None;
    };
    auto take = [&](size_t want) {
        size_t n = std::min(want, left);
        buffer_.insert(buffer_.end(), at, at + n);
        at += n;
        left -= n;
    };

    // First finish the frame begun in an earlier call.
    if (!buffer_.empty()) {
        if (buffer_.size() < kHeaderLen) {
            take(kHeaderLen - buffer_.size());
            if (buffer_.size() < kHeaderLen)
                return FrameError::None;
            if (!check(buffer_.data(), header_))
                return failed_;
            buffer_.reserve(kHeaderLen + header_.payload_len);
        }
        size_t total = kHeaderLen + header_.payload_len;
        take(total - buffer_.size());
        if (buffer_.size() < total)
            return FrameError::None;
        on_frame(header_,
                 std::span<const uint8_t>(buffer_.data() + kHeaderLen, header_.payload_len));
        buffer_.clear();
    }

    // Then every whole frame in place.
    FrameHeader header;
    while (left >= kHeaderLen) {
        if (!check(at, header))
            return failed_;
        size_t total = kHeaderLen + header.payload_len;
        if (left < total) {
            header_ = header;
            buffer_.reserve(total);
            break;
        }
        on_frame(header, std::span<const uint8_t>(at + kHeaderLen, header.payload_len));
        at += total;
        left -= total;
    }
    buffer_.insert(buffer_.end(), at, at + left);
    return FrameError::None;
}

FrameError FrameDecoder::finish() const {
    if (failed_ != FrameError::None)
        return failed_;
    return buffer_.empty() ? FrameError::None : FrameError::Truncated;
}

std::string FrameDecoder::error_message() const {
    FrameError error = finish();
    switch (error) {
    case FrameError::BadVersion:
        return "unsupported version " + std::to_string(failed_value_);
    case FrameError::TooLong:
        return "payload of " + std::to_string(failed_value_) + " bytes over the limit of " +
               std::to_string(kMaxPayload);
    default:
        return error_text(error);
    }
}

} // namespace vexa_socket
