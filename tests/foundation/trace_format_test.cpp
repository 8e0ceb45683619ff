#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "conv_string.h"
#include "trace_log.h"

namespace {

// Formats through the same erased path as TraceMessage, with a checked format.
template <class... A>
std::string Format(TraceFormat<A...> fmt, A&&... args) {
    const trace_detail::TraceArg erased[] = {trace_detail::MakeArg(args)..., trace_detail::TraceArg{}};
    char16_t out[256];
    const int n = FormatTraceText(out, 255, fmt.Get(), erased, sizeof...(A));
    EXPECT_GE(n, 0);
    return Utf16ToUtf8(std::u16string_view(out, n < 0 ? 0 : static_cast<size_t>(n)));
}

}  // namespace

TEST(TraceFormat, IntegersAsPrintf) {
    const int minusOne = -1;
    const int64_t wideMinusOne = -1;
    const uint64_t big = 0x123456789ABCDEF0ull;
    const short shortMinus = -2;
    const unsigned char byte = 200;
    EXPECT_EQ(Format(u"%d|%i|%u", 42, -42, 42u), "42|-42|42");
    EXPECT_EQ(Format(u"%X|%x|%u", minusOne, minusOne, minusOne), "FFFFFFFF|ffffffff|4294967295");
    EXPECT_EQ(Format(u"%X|%d", wideMinusOne, wideMinusOne), "FFFFFFFFFFFFFFFF|-1");
    EXPECT_EQ(Format(u"%X|%u", big, big), "123456789ABCDEF0|1311768467463790320");
    EXPECT_EQ(Format(u"%d|%X", shortMinus, shortMinus), "-2|FFFFFFFE");
    EXPECT_EQ(Format(u"%d|%x", byte, byte), "200|c8");
    EXPECT_EQ(Format(u"%d|%d", INT_MIN, INT64_MIN), "-2147483648|-9223372036854775808");
    EXPECT_EQ(Format(u"%d", 0xFFFFFFFFu), "-1");
    EXPECT_EQ(Format(u"(0x%08X)", 0x80004005u), "(0x80004005)");
    EXPECT_EQ(Format(u"%.2d.%.2d.%.4d", 6, 12, 2009), "06.12.2009");
    EXPECT_EQ(Format(u"PID:0x%04X", 0xF3Cu), "PID:0x0F3C");
    EXPECT_EQ(Format(u"[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 42, 42), "[   42][42   ][-0042][+42][ 42]");
    EXPECT_EQ(Format(u"[%#x][%#X][%#x]", 255, 255, 0), "[0xff][0XFF][0]");
    EXPECT_EQ(Format(u"[%.0d][%5.3d][%05.3d]", 0, 7, 7), "[][  007][  007]");
    EXPECT_EQ(Format(u"%d|%d", true, 'A'), "1|65");
}

TEST(TraceFormat, LineBreaksInTextCannotForgeLines) {
    // A device may name itself anything; its name must stay on its own line.
    const std::u16string name =
        u"Evil\r\n01.01.2026 00:00:00 PID:0x0001 THID:0x0001: Printer added\tX\u2028Y";
    EXPECT_EQ(Format(u"MDNS: Printer found: %s", name),
              "MDNS: Printer found: Evil  01.01.2026 00:00:00 PID:0x0001 THID:0x0001: Printer added X Y");
}

TEST(TraceFormat, TextCharactersAndLiterals) {
    const std::u16string text = u"Office Laser";
    CConvString conv(u"Dr\u00FCcker");
    const std::u16string_view view = u"view";
    const char16_t* pointer = u"pointer";
    const char16_t* none = nullptr;
    EXPECT_EQ(Format(u"%s|%s|%s|%s|%s", text, conv, view, pointer, u"literal"),
              "Office Laser|Dr\xC3\xBC"
              "cker|view|pointer|literal");
    EXPECT_EQ(Format(u"%s", none), "(null)");
    EXPECT_EQ(Format(u"[%8s][%-8s][%.3s]", view, view, view), "[    view][view    ][vie]");
    EXPECT_EQ(Format(u"%d device%c found.", 1, u' '), "1 device  found.");
    EXPECT_EQ(Format(u"%d device%c found.", 2, u's'), "2 devices found.");
    EXPECT_EQ(Format(u"%c%c", 0x20AC, 'x'), "\xE2\x82\xACx");
    EXPECT_EQ(Format(u"100%% of %s", u"%s %d"), "100% of %s %d");
    EXPECT_EQ(Format(u"no conversions"), "no conversions");
    // An embedded NUL does not cut the argument short; like every control
    // character it is written as a space.
    EXPECT_EQ(Format(u"[%s]", std::u16string(u"a\0b", 3)), "[a b]");
}

TEST(TraceFormat, ReportsWhenTheTextDoesNotFit) {
    const std::u16string ten(10, u'x');
    const trace_detail::TraceArg args[] = {trace_detail::MakeArg(ten)};
    char16_t out[16];
    for (auto& c : out) {
        c = u'#';
    }
    EXPECT_EQ(FormatTraceText(out, 12, u"[%s]", args, 1), 12);
    EXPECT_EQ(out[12], 0);
    for (auto& c : out) {
        c = u'#';
    }
    EXPECT_EQ(FormatTraceText(out, 11, u"[%s]", args, 1), -1);
    EXPECT_EQ(out[11], 0);  // the limit always leaves room for the terminator
    EXPECT_EQ(out[12], u'#');
}
