// The library's fast formatter against vsnprintf: every text must come out
// byte for byte the same, truncation and returned length included.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "text_format.h"

namespace {

struct Formatted {
    int length;
    std::string text;
};

using Formatter = int (*)(char *, size_t, const char *, va_list);

int fast_formatter(char *out, size_t cap, const char *format, va_list args) {
    return acl_tcam::format_text(out, cap, format, args);
}

// One formatter into a buffer of 256 bytes (unwritten ones '#'), capped at cap.
Formatted with(Formatter formatter, size_t cap, const char *format, ...) {
    char out[256];
    std::fill(std::begin(out), std::end(out), '#');
    va_list args;
    va_start(args, format);
    const int length = formatter(out, cap, format, args);
    va_end(args);
    return {length, std::string(out, sizeof out)};
}

// Both formatters on the same arguments and buffer sizes, down to none.
template <class... Args>
void expect_same_text(const char *format, Args... args) {
    for (size_t cap : {size_t{256}, size_t{9}, size_t{1}, size_t{0}}) {
        const Formatted want = with(std::vsnprintf, cap, format, args...);
        const Formatted got = with(fast_formatter, cap, format, args...);
        EXPECT_EQ(got.length, want.length) << format << " cap " << cap;
        EXPECT_EQ(got.text, want.text) << format << " cap " << cap;
    }
}

TEST(TextFormat, SignedConversions) {
    expect_same_text("v %d|%i|%d", 0, -1, INT_MAX);
    expect_same_text("%d %d", INT_MIN, 42);
    expect_same_text("%lli %lli %ld", LLONG_MIN, LLONG_MAX, LONG_MIN);
    expect_same_text("[%-5d][%5d][%-2d]", -12, 7, 123456);
}

TEST(TextFormat, UnsignedConversions) {
    expect_same_text("%u %x %x", UINT_MAX, 0u, 0xdeadbeefu);
    expect_same_text("%-8llu|%-8llu|%llx", 0ull, ULLONG_MAX, ULLONG_MAX);
    expect_same_text("%-7x%-7x%lu", 0x10000u, 0xffffffu, ULONG_MAX);
}

TEST(TextFormat, StringsAndLiterals) {
    expect_same_text("(TCAMFS-EV)Flow: %s \n", "Type=3 VSAN=0x1");
    expect_same_text("100%% %s%s", "", "x");
    expect_same_text("[%-6s][%6s]", "ab", "abcdefgh");
}

TEST(TextFormat, DeclinesWhatItDoesNotKnow) {
    for (const char *format : {"%05d", "%.3d", "%hd", "%c", "%f", "%p", "%+d", "%lls", "%"}) {
        EXPECT_EQ(with(fast_formatter, 256, format, 1).length, acl_tcam::kFormatDeclined) << format;
    }
    EXPECT_EQ(with(fast_formatter, 256, "%s", static_cast<const char *>(nullptr)).length,
              acl_tcam::kFormatDeclined);
}

} // namespace
