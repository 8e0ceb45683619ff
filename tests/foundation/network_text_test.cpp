// Network text: what the providers keep of it, and how hvl-scan shows it.
#include "network_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "conv_string.h"
#include "host_interfaces.h"

namespace {

struct BoundCase {
    const char* pszWhat;
    std::string strUtf8;
    size_t nMaxUnits;
    std::u16string strBounded;
    std::u16string strTrimmed;
};

class NetworkTextBound : public testing::TestWithParam<BoundCase> {};

TEST_P(NetworkTextBound, DecodedCleanedCutAndTrimmed) {
    const BoundCase& c = GetParam();
    EXPECT_EQ(BoundedNetworkText(c.strUtf8, c.nMaxUnits), c.strBounded);
    EXPECT_EQ(TrimmedNetworkText(c.strUtf8, c.nMaxUnits), c.strTrimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkTextBound,
    testing::Values(BoundCase{"utf8", "Caf\xC3\xA9", 10, u"Caf\u00E9", u"Caf\u00E9"},
                    BoundCase{"invalid_utf8", "bad \xC3\x28", 10, u"bad \uFFFD(", u"bad \uFFFD("},
                    BoundCase{"controls_become_spaces", "two\r\nlines\tand\x7F", 20, u"two  lines and ",
                              u"two  lines and"},
                    BoundCase{"c1_and_separators",
                              " a\xC2\x85"
                              "b\xE2\x80\xA8"
                              "c\xE2\x80\xA9 ",
                              20, u" a b c  ", u"a b c"},
                    // The window shows a name as the peer sent it: reordering stays.
                    BoundCase{"bidi_kept",
                              "\xE2\x80\xAE"
                              "fdp",
                              10, u"\u202Efdp", u"\u202Efdp"},
                    BoundCase{"cut", "abcdef", 4, u"abcd", u"abcd"},
                    BoundCase{"pair_at_cut_dropped", "ab\xF0\x9F\x96\xA8", 3, u"ab", u"ab"},
                    BoundCase{"pair_within_bound", "ab\xF0\x9F\x96\xA8", 4, u"ab\U0001F5A8", u"ab\U0001F5A8"},
                    BoundCase{"cut_before_trim", "  xy  ", 3, u"  x", u"x"},
                    BoundCase{"only_controls", "\r\n\t", 8, u"   ", u""}),
    [](const testing::TestParamInfo<BoundCase>& info) { return std::string(info.param.pszWhat); });

TEST(NetworkTextBound, WorkIsBoundedForAnyLength) {
    EXPECT_EQ(BoundedNetworkText(std::string(1 << 20, 'x'), 256).size(), 256u);
}

struct PrintCase {
    const char* pszWhat;
    std::u16string strText;
    std::string strTerminal;
    std::string strCsv;
};

class PrintableTextCases : public testing::TestWithParam<PrintCase> {};

TEST_P(PrintableTextCases, TerminalAndCsv) {
    const PrintCase& c = GetParam();
    EXPECT_EQ(PrintableText(c.strText, PrintTarget::TERMINAL), c.strTerminal);
    EXPECT_EQ(PrintableText(c.strText, PrintTarget::CSV), c.strCsv);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PrintableTextCases,
    testing::Values(PrintCase{"plain", u"Office \u00C4 \U0001F5A8", "Office \xC3\x84 \xF0\x9F\x96\xA8",
                              "Office \xC3\x84 \xF0\x9F\x96\xA8"},
                    PrintCase{"escape_sequence", u"\x1B[2Jx\x7F", "?[2Jx?", "?[2Jx?"},
                    PrintCase{"c1_csi", u"a\u009B31mb\u0085", "a?31mb?", "a?31mb?"},
                    PrintCase{"line_breaks", u"a\r\nb\nc\td", "a??b?c?d", "a\r\nb\nc\td"},
                    PrintCase{"bare_cr", u"paid\r0.00\r", "paid?0.00?", "paid?0.00?"},
                    PrintCase{"bidi_override", u"\u202Efdp.exe\u202C", "?fdp.exe?", "?fdp.exe?"},
                    PrintCase{"bidi_isolates_and_marks", u"\u2066a\u2069\u200E\u200F\u061C", "?a????",
                              "?a????"},
                    PrintCase{"line_separators", u"a\u2028b\u2029", "a?b?", "a?b?"}),
    [](const testing::TestParamInfo<PrintCase>& info) { return std::string(info.param.pszWhat); });

struct JsonCase {
    const char* pszWhat;
    std::string strJson;
    std::string strEscaped;
};

class JsonEscapes : public testing::TestWithParam<JsonCase> {};

TEST_P(JsonEscapes, UnsafeCharactersBecomeEscapes) {
    EXPECT_EQ(EscapeUnsafeJsonCharacters(GetParam().strJson), GetParam().strEscaped);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonEscapes,
    testing::Values(JsonCase{"layout_kept", "[\n  {\n    \"a\": \"\\u001b\"\n  }\n]",
                             "[\n  {\n    \"a\": \"\\u001b\"\n  }\n]"},
                    JsonCase{"c1_and_del",
                             "\"a\xC2\x9B"
                             "b\x7F\"",
                             "\"a\\u009Bb\\u007F\""},
                    JsonCase{"bidi",
                             "\"\xE2\x80\xAE"
                             "x\xE2\x81\xA6\"",
                             "\"\\u202Ex\\u2066\""},
                    JsonCase{"separators", "\"\xE2\x80\xA8\xE2\x80\xA9\"", "\"\\u2028\\u2029\""},
                    JsonCase{"others_untouched", "\"\xC3\x84\xF0\x9F\x96\xA8\"",
                             "\"\xC3\x84\xF0\x9F\x96\xA8\""}),
    [](const testing::TestParamInfo<JsonCase>& info) { return std::string(info.param.pszWhat); });

// Each interface once, its addresses in host byte order, loopback no target.
TEST(HostInterfaces, LoopbackOnceWithItsAddressInHostOrder) {
    std::vector<HostInterface> a;
    ASSERT_EQ(ListHostInterfaces(a), 0);
    const auto fnLo = [](const HostInterface& i) { return i.strName == "lo"; };
    ASSERT_EQ(std::count_if(a.begin(), a.end(), fnLo), 1);
    const HostInterface& lo = *std::find_if(a.begin(), a.end(), fnLo);
    EXPECT_TRUE(lo.IsLoopback() && !lo.CanMulticast() && lo.nIndex != 0);
    EXPECT_EQ(Ipv4Text(lo.aIpv4.at(0).nAddress) + "/" + Ipv4Text(lo.aIpv4.at(0).nMask),
              "127.0.0.1/255.0.0.0");
}

}  // namespace
