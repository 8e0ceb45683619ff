// The pattern object: case folding, the address pattern the UPnP provider
// uses, and what Match, MatchLength and MatchText report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reg_pattern.h"
#include "reg_program.h"
#include "reg_test_util.h"

namespace {

const char16_t* const IPV4 = u"[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]";

std::u16string Fold(const std::u16string& str) {
    std::vector<char16_t> aOut(str.size() * 4 + 1);
    const size_t n = RegFoldCase(str.c_str(), aOut.data());
    EXPECT_EQ(aOut[n], 0);
    return std::u16string(aOut.data(), n);
}

struct FoldCase {
    std::u16string strPattern;
    std::u16string strFolded;
};

class RegFold : public testing::TestWithParam<FoldCase> {};

TEST_P(RegFold, RewritesLettersOutsideBrackets) {
    EXPECT_EQ(Fold(GetParam().strPattern), GetParam().strFolded);
}

INSTANTIATE_TEST_SUITE_P(Patterns, RegFold,
                         testing::Values(FoldCase{u"abc", u"[Aa][Bb][Cc]"}, FoldCase{u"aZ", u"[Aa][Zz]"},
                                         FoldCase{u"[abc]", u"[abc]"},
                                         // Bracket tracking ends at the first "]".
                                         FoldCase{u"[]a]", u"[][Aa]]"}, FoldCase{u"[-a]", u"[-a]"},
                                         FoldCase{u"[a-]", u"[a-]"}, FoldCase{u"[^0-9]", u"[^0-9]"},
                                         FoldCase{u"[a]b[c]", u"[a][Bb][c]"}, FoldCase{u"a]b", u"[Aa]][Bb]"},
                                         // Backslashes get no special treatment.
                                         FoldCase{u"\\w", u"\\[Ww]"}, FoldCase{u"\\[a", u"\\[a"},
                                         // Only ASCII letters; the neighbours of A-Z and a-z stay.
                                         FoldCase{u"@[`{", u"@[`{"}, FoldCase{u"@`{~", u"@`{~"},
                                         FoldCase{u"\u00e9\u00c9", u"\u00e9\u00c9"}, FoldCase{u"1.2", u"1.2"},
                                         FoldCase{u"", u""}, FoldCase{IPV4, IPV4}),
                         RegCaseName());

struct PatternCase {
    std::u16string strPattern;
    std::u16string strSubject;
    const char16_t* pszMatch;  // null: no match
};

class RegPatternMatch : public testing::TestWithParam<PatternCase> {};

TEST_P(RegPatternMatch, MatchesThroughPatternObject) {
    const PatternCase& c = GetParam();
    CRegPattern pattern(c.strPattern.c_str());
    ASSERT_TRUE(pattern.IsCompiled()) << Narrow(pattern.GetErrorText());
    const bool bMatched = pattern.Match(c.strSubject);
    EXPECT_TRUE(pattern.GetErrorText().empty()) << Narrow(pattern.GetErrorText());
    if (c.pszMatch == nullptr) {
        EXPECT_FALSE(bMatched);
        EXPECT_EQ(pattern.MatchLength(), 0);
        EXPECT_EQ(pattern.MatchText(), u"");
    } else {
        ASSERT_TRUE(bMatched);
        EXPECT_EQ(pattern.MatchText(), c.pszMatch);
        EXPECT_EQ(pattern.MatchLength(),
                  static_cast<int32_t>(std::char_traits<char16_t>::length(c.pszMatch)));
    }
}

// What the UPnP provider cuts out of a description document's URL.
INSTANTIATE_TEST_SUITE_P(
    Address, RegPatternMatch,
    testing::Values(PatternCase{IPV4, u"http://192.168.1.20:80/description.xml", u"192.168.1.20"},
                    PatternCase{IPV4, u"http://10.0.0.1/rootDesc.xml", u"10.0.0.1"},
                    PatternCase{IPV4, u"http://printer.example:80/desc.xml", nullptr},
                    PatternCase{IPV4, u"1.2.3", nullptr}, PatternCase{IPV4, u"1.2.3.4.5", u"1.2.3.4"},
                    // Leftmost position, at most three digits a part.
                    PatternCase{IPV4, u"x1234.5.6.7", u"234.5.6.7"},
                    PatternCase{IPV4, u"300.1.1.1", u"00.1.1.1"},
                    // The shape is checked, not the value.
                    PatternCase{IPV4, u"299.299.299.299", u"299.299.299.299"},
                    PatternCase{IPV4, u"http://[fe80::1]:80/", nullptr}, PatternCase{IPV4, u"", nullptr},
                    PatternCase{IPV4, u"http://host:8080/a/1.2.3.4/x", u"1.2.3.4"},
                    PatternCase{IPV4, u"http://\uff11.2.3.4/", nullptr}),
    RegCaseName());

// Outside brackets letters match either case; inside they keep theirs.
INSTANTIATE_TEST_SUITE_P(
    CaseFolding, RegPatternMatch,
    testing::Values(PatternCase{u"abc", u"xABCx", u"ABC"}, PatternCase{u"abc", u"aBc", u"aBc"},
                    PatternCase{u"ABC", u"abc", u"abc"}, PatternCase{u"[abc]", u"ABC", nullptr},
                    PatternCase{u"[abc]", u"AbC", u"b"}, PatternCase{u"ab*c", u"xABBbC", u"ABBbC"},
                    // "[]a]" became a set of "]", "[", "A", "a", then a literal "]".
                    PatternCase{u"[]a]", u"]", nullptr}, PatternCase{u"[]a]", u"xA]", u"A]"},
                    PatternCase{u"[]a]", u"[]", u"[]"}, PatternCase{u"[]a]", u"]]", u"]]"},
                    // An escaped letter is folded as well, and the backslash then escapes
                    // the "[": "\W" becomes the literal text "[Ww]".
                    PatternCase{u"\\W", u"w", nullptr}, PatternCase{u"\\W", u"x[Ww]", u"[Ww]"},
                    PatternCase{u"\u00e9", u"\u00c9", nullptr}),
    RegCaseName());

INSTANTIATE_TEST_SUITE_P(EdgesAndEmpty, RegPatternMatch,
                         testing::Values(PatternCase{u"x*", u"abc", u""}, PatternCase{u"$", u"abc", u""},
                                         PatternCase{u"^ab", u"AB", u"AB"},
                                         PatternCase{u"ab$", u"AB\n", nullptr},
                                         PatternCase{u"\\<ab\\>", u"xab AB", u"AB"},
                                         PatternCase{u"\\<", u"", nullptr}),
                         RegCaseName());

// The engine's own example: rewritten to "[Aa][Bb]*[Cc]", which starts with
// a set, so the compiled pattern has no first character.
TEST(RegPattern, FoldedPatternLosesFirstCharacter) {
    CRegPattern pattern(u"ab*c");
    ASSERT_TRUE(pattern.IsCompiled());
    ASSERT_NE(pattern.GetProgram(), nullptr);
    EXPECT_EQ(pattern.GetProgram()->m_chFirst, 0);
    CRegProgram direct;
    ASSERT_TRUE(regcomp(u"[Aa][Bb]*[Cc]", direct));
    EXPECT_EQ(std::vector<unsigned>(pattern.GetProgram()->m_pProgram.get(),
                                    pattern.GetProgram()->m_pProgram.get() + pattern.GetProgram()->m_nSize),
              ProgramUnits(direct));
}

TEST(RegPattern, AddressPatternCompilesTo230Units) {
    CRegPattern pattern(IPV4);
    ASSERT_TRUE(pattern.IsCompiled());
    EXPECT_EQ(pattern.GetProgram()->m_nSize, 230);
}

TEST(RegPattern, SyntaxErrorLeavesPatternUncompiled) {
    CRegPattern pattern(u"ab\\");
    EXPECT_FALSE(pattern.IsCompiled());
    EXPECT_EQ(Narrow(pattern.GetErrorText()), "trailing \\");
    // Matching anyway gives a defined refusal, not a crash.
    EXPECT_FALSE(pattern.Match(u"ab"));
    EXPECT_EQ(Narrow(pattern.GetErrorText()), "NULL regexp");
    EXPECT_EQ(pattern.MatchLength(), 0);
    EXPECT_EQ(pattern.MatchText(), u"");

    CRegPattern unclosed(u"[abc");
    EXPECT_FALSE(unclosed.IsCompiled());
    EXPECT_EQ(Narrow(unclosed.GetErrorText()), "unmatched []");
}

TEST(RegPattern, NullPatternIsNotCompiled) {
    CRegPattern pattern(nullptr);
    EXPECT_FALSE(pattern.IsCompiled());
    EXPECT_EQ(Narrow(pattern.GetErrorText()), "NULL argument to regcomp");
}

TEST(RegPattern, MatchDescribesTheLastMatchOnly) {
    CRegPattern pattern(IPV4);
    EXPECT_EQ(pattern.MatchLength(), 0);  // before any Match
    EXPECT_EQ(pattern.MatchText(), u"");
    const std::u16string strFirst = u"http://192.168.0.40/";
    ASSERT_TRUE(pattern.Match(strFirst));
    EXPECT_EQ(pattern.MatchText(), u"192.168.0.40");
    EXPECT_FALSE(pattern.Match(u"http://printer/"));
    EXPECT_EQ(pattern.MatchLength(), 0);
    EXPECT_EQ(pattern.MatchText(), u"");
    EXPECT_FALSE(pattern.Match(static_cast<const char16_t*>(nullptr)));
    EXPECT_EQ(Narrow(pattern.GetErrorText()), "NULL argument to regexec");
    // The next call clears the error again.
    EXPECT_EQ(pattern.MatchLength(), 0);
    EXPECT_TRUE(pattern.GetErrorText().empty());
}

// A looping pattern against a long subject: the match gives up with an
// error and the object stays usable.
TEST(RegPattern, DeepLoopGivesUpAndRecovers) {
    CRegPattern pattern(u"(a|b)*c");
    ASSERT_TRUE(pattern.IsCompiled());
    const std::u16string strSubject(1000000, u'a');
    EXPECT_FALSE(pattern.Match(strSubject));
    EXPECT_EQ(Narrow(pattern.GetErrorText()), "match too deep");
    EXPECT_EQ(pattern.MatchLength(), 0);

    ASSERT_TRUE(pattern.Match(u"xAbBaC"));
    EXPECT_EQ(pattern.MatchText(), u"AbBaC");
    EXPECT_TRUE(pattern.GetErrorText().empty());
}

}  // namespace
