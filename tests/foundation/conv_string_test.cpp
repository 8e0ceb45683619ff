#include "conv_string.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

TEST(ConvStringNarrow, NullBeforeAnyTextThenEmpty) {
    CConvString s;
    EXPECT_EQ(s.GetNarrow(), nullptr);
    EXPECT_EQ(s.GetNarrowCapacity(), 0u);
    EXPECT_EQ(s.GetCodePage(), 65001u);

    s = std::u16string();
    ASSERT_NE(s.GetNarrow(), nullptr);
    EXPECT_STREQ(s.GetNarrow(), "");
    EXPECT_EQ(s.GetNarrowCapacity(), 4u);

    CConvString absent(static_cast<const char16_t*>(nullptr));
    ASSERT_NE(absent.GetNarrow(), nullptr);
    EXPECT_STREQ(absent.GetNarrow(), "");
}

TEST(ConvStringNarrow, BufferSizedAndReusedAcrossAssignments) {
    struct Step {
        size_t nChars;
        uint32_t nCapacity;
        bool bSameBuffer;  // whether the previous buffer is kept
    };
    const Step steps[] = {
        {7, 32, false},      // 7*4+4
        {2, 32, true},       // needs 12, 32 is within 12..1036
        {300, 1204, false},  // grows: never in place
        {2, 12, false},      // 1204 exceeds 12+1024: shrinks to exactly 12
        {258, 1036, false},  // needs 1036 > 12
        {2, 1036, true},     // 1036 <= 12+1024: kept
    };
    CConvString s;
    const char* previous = nullptr;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.nChars);
        s = std::u16string(step.nChars, u'a');
        const char* narrow = s.GetNarrow();
        ASSERT_NE(narrow, nullptr);
        EXPECT_EQ(std::string(narrow), std::string(step.nChars, 'a'));
        EXPECT_EQ(s.GetNarrowCapacity(), step.nCapacity);
        if (step.bSameBuffer) {
            EXPECT_EQ(narrow, previous);
        }
        previous = narrow;
    }
}

TEST(ConvStringNarrow, RebuiltOnlyAfterAssignment) {
    CConvString s(u"abc");
    const char* first = s.GetNarrow();
    EXPECT_STREQ(first, "abc");
    // Changes through the base class do not mark the cache stale.
    s.append(u"def");
    EXPECT_STREQ(s.GetNarrow(), "abc");
    s = u"xyz";
    EXPECT_STREQ(s.GetNarrow(), "xyz");
}

TEST(ConvStringNarrow, NonAsciiBecomesUtf8) {
    CConvString s(u"Dr\u00FCcker \u20AC \U0001F5A8");
    EXPECT_STREQ(s.GetNarrow(),
                 "Dr\xC3\xBC"
                 "cker \xE2\x82\xAC \xF0\x9F\x96\xA8");
    // A lone surrogate cannot be encoded: it becomes U+FFFD, still within 4 bytes a unit.
    std::u16string lone = u"a";
    lone.push_back(static_cast<char16_t>(0xD800));
    s = lone;
    EXPECT_STREQ(s.GetNarrow(), "a\xEF\xBF\xBD");
}

TEST(ConvStringNarrow, CopyHasItsOwnBuffer) {
    CConvString source(u"printer");
    const char* sourceNarrow = source.GetNarrow();
    CConvString copy(source);
    EXPECT_EQ(copy.GetNarrowCapacity(), 0u);
    const char* copyNarrow = copy.GetNarrow();
    EXPECT_NE(copyNarrow, sourceNarrow);
    source = u"other";
    EXPECT_STREQ(source.GetNarrow(), "other");
    EXPECT_STREQ(copy.GetNarrow(), "printer");

    CConvString assigned;
    assigned = copy;
    EXPECT_STREQ(assigned.GetNarrow(), "printer");
    CConvString& self = assigned;
    assigned = self;
    EXPECT_STREQ(assigned.GetNarrow(), "printer");
}

// Narrow assignment goes through the current locale; bytes the locale cannot
// decode stand for themselves.
TEST(ConvStringNarrow, NarrowAssignmentUsesLocale) {
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    struct Case {
        const char* pszLocale;
        const char* pszInput;
        std::u16string strWide;
    };
    const Case cases[] = {
        {"C", "plain ASCII", u"plain ASCII"},           {"C", "caf\xE9", u"caf\u00E9"},
        {"C.UTF-8", "caf\xC3\xA9", u"caf\u00E9"},       {"C.UTF-8", "\xF0\x9F\x96\xA8!", u"\U0001F5A8!"},
        {"C.UTF-8", "bad\xFF\xC3", u"bad\u00FF\u00C3"}, {"C.UTF-8", "", u""},
    };
    for (const Case& c : cases) {
        if (std::setlocale(LC_CTYPE, c.pszLocale) == nullptr) {
            continue;
        }
        SCOPED_TRACE(std::string(c.pszLocale) + ": " + c.pszInput);
        CConvString s;
        s = c.pszInput;
        EXPECT_EQ(static_cast<const std::u16string&>(s), c.strWide);
        EXPECT_EQ(std::string(s.GetNarrow()), Utf16ToUtf8(c.strWide));
    }
    CConvString absent;
    absent = static_cast<const char*>(nullptr);
    EXPECT_STREQ(absent.GetNarrow(), "");
    std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(StringOperations, RemoveDotLocal) {
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"http://printer.local./index.html", u"http://printer./index.html"},
        {u"http://printer.local/", u"http://printer/"},
        {u"host.local.local", u"host"},
        {u"a.localb.local", u"ab"},
        {u"HOST.LOCAL", u"HOST.LOCAL"},
        {u".lo.localcal", u".local"},  // a match formed by a removal stays
        {u".loca", u".loca"},
        {u"", u""},
    };
    for (const auto& [input, expected] : cases) {
        std::u16string s = input;
        RemoveDotLocal(s);
        EXPECT_EQ(s, expected) << Utf16ToUtf8(input);
    }
}

TEST(StringOperations, PrefixCommasTrim) {
    std::u16string s = u"192.168.0.40";
    PrefixHttp(s);
    EXPECT_EQ(s, u"http://192.168.0.40");

    s = u"1,0,14,1";
    CommasToPoints(s);
    EXPECT_EQ(s, u"1.0.14.1");

    s = u" \t\u3000\u00A0name \r\n\v\f\u2003";
    TrimRight(s);
    EXPECT_EQ(s, u" \t\u3000\u00A0name");
    TrimLeft(s);
    EXPECT_EQ(s, u"name");

    s = u" \t\n ";
    TrimLeft(s);
    EXPECT_EQ(s, u"");
    s = u"x\u200By";  // zero-width space is not white space
    TrimRight(s);
    EXPECT_EQ(s, u"x\u200By");
}

TEST(Utf, Utf8ToUtf16ReplacesInvalidSequences) {
    const std::pair<std::string, std::u16string> cases[] = {
        {"abc", u"abc"},
        {"\xC3\xA9", u"\u00E9"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF0\x9F\x96\xA8", u"\U0001F5A8"},
        {"\xC3", u"\uFFFD"},              // truncated
        {"\xC3(", u"\uFFFD("},            // missing continuation: next byte starts afresh
        {"\x80x", u"\uFFFDx"},            // stray continuation
        {"\xC0\xAF", u"\uFFFD\uFFFD"},    // overlong lead bytes are never valid
        {"\xE0\x80\xAF", u"\uFFFD"},      // overlong three-byte form
        {"\xED\xA0\x80", u"\uFFFD"},      // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD"},  // beyond U+10FFFF
        {"\xFF\xFE", u"\uFFFD\uFFFD"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(Utf8ToUtf16(input), expected) << input;
    }
}

TEST(Utf, Utf16ToUtf8ReplacesLoneSurrogates) {
    std::u16string high(1, static_cast<char16_t>(0xD83D));
    std::u16string low(1, static_cast<char16_t>(0xDDA8));
    EXPECT_EQ(Utf16ToUtf8(u"\U0001F5A8"), "\xF0\x9F\x96\xA8");
    EXPECT_EQ(Utf16ToUtf8(high), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToUtf8(low + high), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToUtf8(high + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(Utf16ToUtf8(u"\u00E9\u20AC"), "\xC3\xA9\xE2\x82\xAC");
    // Round trip of every BMP scalar value and a few astral ones.
    std::u16string all;
    for (char32_t c = 1; c < 0x10000; ++c) {
        if (c < 0xD800 || c > 0xDFFF) {
            all.push_back(static_cast<char16_t>(c));
        }
    }
    all += u"\U00010000\U0010FFFF";
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(all)), all);
}
