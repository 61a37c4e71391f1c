// A fast path for the library's own log and display formats.
//
// Every traced step and every display row is formatted, often inside a walk,
// and the C library's formatter spends most of its time on machinery these
// formats never use. format_text produces exactly what vsnprintf would for
// the conversions the library's texts use (d, i, u, x, s and %%, with the
// '-' flag, a width and the l and ll length modifiers) and declines
// everything else, so the caller can fall back to vsnprintf.
#ifndef ACL_TCAM_TEXT_FORMAT_H
#define ACL_TCAM_TEXT_FORMAT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace acl_tcam {

inline constexpr int kFormatDeclined = -1;

namespace text_format_detail {

// Writes like vsnprintf: at most cap - 1 characters and a NUL, while
// counting every character the whole text would have.
class Sink {
public:
    Sink(char *out, size_t cap) : out_(out), cap_(cap) {}
    void put(char c) {
        if (length_ + 1 < cap_) {
            out_[length_] = c;
        }
        ++length_;
    }
    void put(const char *text, size_t n) {
        if (length_ + n < cap_) {
            std::memcpy(out_ + length_, text, n);
            length_ += n;
            return;
        }
        for (size_t i = 0; i < n; ++i) {
            put(text[i]);
        }
    }
    void pad(size_t n) {
        if (length_ + n < cap_) {
            std::memset(out_ + length_, ' ', n);
            length_ += n;
            return;
        }
        for (size_t i = 0; i < n; ++i) {
            put(' ');
        }
    }
    size_t finish() {
        if (cap_ > 0) {
            out_[length_ < cap_ ? length_ : cap_ - 1] = '\0';
        }
        return length_;
    }

private:
    char *out_;
    size_t cap_;
    size_t length_ = 0;
};

// Digits of v in base 10 or 16 (lowercase), written backwards from end;
// returns the first digit. The base is a constant, so no division is done.
template <unsigned base>
char *digits(uint64_t v, char *end) {
    constexpr char kDigits[] = "0123456789abcdef";
    do {
        *--end = kDigits[v % base];
        v /= base;
    } while (v != 0);
    return end;
}

} // namespace text_format_detail

// Formats into out (cap bytes) and returns the full length of the text, or
// kFormatDeclined when format uses something outside the fast path; args is
// then partly consumed and out holds no meaningful text.
inline int format_text(char *out, size_t cap, const char *format, va_list args) {
    using namespace text_format_detail;
    Sink sink(out, cap);
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            // The literal run up to the next conversion, in one piece.
            const char *next = std::strchr(p, '%');
            const size_t n = next != nullptr ? static_cast<size_t>(next - p) : std::strlen(p);
            sink.put(p, n);
            p += n - 1;
            continue;
        }
        ++p;
        if (*p == '%') {
            sink.put('%');
            continue;
        }
        bool left = false;
        if (*p == '-') {
            left = true;
            ++p;
        }
        size_t width = 0;
        if (*p == '0') {
            return kFormatDeclined;
        }
        while (*p >= '0' && *p <= '9') {
            width = width * 10 + static_cast<size_t>(*p - '0');
            ++p;
        }
        int longs = 0;
        while (*p == 'l' && longs < 2) {
            ++longs;
            ++p;
        }
        char buffer[24];
        char *const end = buffer + sizeof buffer;
        const char *text = nullptr;
        size_t n = 0;
        switch (*p) {
        case 'd':
        case 'i': {
            const long long v = longs == 2   ? va_arg(args, long long)
                                : longs == 1 ? va_arg(args, long)
                                             : va_arg(args, int);
            const uint64_t magnitude =
                v < 0 ? uint64_t{0} - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            char *first = digits<10>(magnitude, end);
            if (v < 0) {
                *--first = '-';
            }
            text = first;
            n = static_cast<size_t>(end - first);
            break;
        }
        case 'u':
        case 'x': {
            const uint64_t v = longs == 2   ? va_arg(args, unsigned long long)
                               : longs == 1 ? va_arg(args, unsigned long)
                                            : va_arg(args, unsigned int);
            char *first = *p == 'x' ? digits<16>(v, end) : digits<10>(v, end);
            text = first;
            n = static_cast<size_t>(end - first);
            break;
        }
        case 's': {
            if (longs != 0) {
                return kFormatDeclined;
            }
            text = va_arg(args, const char *);
            if (text == nullptr) {
                return kFormatDeclined;
            }
            while (text[n] != '\0') {
                ++n;
            }
            break;
        }
        default:
            return kFormatDeclined;
        }
        const size_t padding = width > n ? width - n : 0;
        if (!left) {
            sink.pad(padding);
        }
        sink.put(text, n);
        if (left) {
            sink.pad(padding);
        }
    }
    const size_t length = sink.finish();
    return length > static_cast<size_t>(INT32_MAX) ? kFormatDeclined : static_cast<int>(length);
}

// vsnprintf's result, through the fast path wherever it applies.
inline int vformat_bounded(char *out, size_t cap, const char *format, va_list args) {
    va_list fallback;
    va_copy(fallback, args);
    int length = format_text(out, cap, format, args);
    if (length == kFormatDeclined) {
        length = std::vsnprintf(out, cap, format, fallback);
    }
    va_end(fallback);
    return length;
}

[[gnu::format(printf, 3, 4)]] inline int format_bounded(char *out, size_t cap, const char *format,
                                                        ...) {
    va_list args;
    va_start(args, format);
    const int length = vformat_bounded(out, cap, format, args);
    va_end(args);
    return length;
}

} // namespace acl_tcam

#endif // ACL_TCAM_TEXT_FORMAT_H
