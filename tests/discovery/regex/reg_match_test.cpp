// Matching a compiled program: leftmost matches, anchors, word edges, empty
// matches, groups, and the bounds that keep a match from exhausting the
// stack or running for ever.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "reg_matcher.h"
#include "reg_program.h"
#include "reg_test_util.h"

namespace {

struct MatchCase {
    std::u16string strPattern;
    std::u16string strSubject;
    const char16_t* pszMatch;  // null: no match
    int nStart = 0;            // where the match begins in the subject
};

class RegMatch : public testing::TestWithParam<MatchCase> {};

TEST_P(RegMatch, FindsLeftmostMatch) {
    const MatchCase& c = GetParam();
    CRegProgram program;
    ASSERT_TRUE(regcomp(c.strPattern.c_str(), program)) << Narrow(program.GetError());
    const bool bMatched = regexec(program, c.strSubject.c_str());
    EXPECT_TRUE(program.GetError().empty()) << Narrow(program.GetError());
    if (c.pszMatch == nullptr) {
        EXPECT_FALSE(bMatched);
        EXPECT_EQ(program.m_apStart[0], nullptr);
        EXPECT_EQ(program.m_apEnd[0], nullptr);
        return;
    }
    ASSERT_TRUE(bMatched);
    EXPECT_EQ(std::u16string(program.m_apStart[0], program.m_apEnd[0]), c.pszMatch);
    EXPECT_EQ(program.m_apStart[0] - c.strSubject.c_str(), c.nStart);
}

INSTANTIATE_TEST_SUITE_P(
    Literals, RegMatch,
    testing::Values(MatchCase{u"abc", u"xxabcxx", u"abc", 2}, MatchCase{u"abc", u"ABC", nullptr},
                    MatchCase{u"abc", u"ab", nullptr}, MatchCase{u"ab", u"aab", u"ab", 1},
                    MatchCase{u"a\\.b", u"axb a.b", u"a.b", 4}, MatchCase{u"a\\*", u"aa*", u"a*", 1},
                    MatchCase{u"", u"abc", u"", 0}, MatchCase{u"", u"", u"", 0},
                    MatchCase{u"\u00e9t\u00e9", u"l'\u00e9t\u00e9", u"\u00e9t\u00e9", 2}),
    RegCaseName());

INSTANTIATE_TEST_SUITE_P(
    Repetitions, RegMatch,
    testing::Values(MatchCase{u"ab*c", u"ac", u"ac"}, MatchCase{u"ab*c", u"xabbbc", u"abbbc", 1},
                    MatchCase{u"ab*c", u"abd", nullptr}, MatchCase{u"ab+c", u"ac", nullptr},
                    MatchCase{u"ab+c", u"abbc", u"abbc"}, MatchCase{u"ab?c", u"abc", u"abc"},
                    MatchCase{u"ab?c", u"ac", u"ac"}, MatchCase{u"ab?c", u"abbc", nullptr},
                    MatchCase{u"b+", u"abbb", u"bbb", 1}, MatchCase{u"a.*b", u"aXbYb", u"aXbYb"},
                    // The run must give back units for what follows.
                    MatchCase{u"a*ab", u"aaab", u"aaab"}, MatchCase{u"[0-9]*9", u"1999x", u"1999"},
                    MatchCase{u".*", u"abc", u"abc"}, MatchCase{u"[^,]*,", u"ab,cd,", u"ab,"},
                    MatchCase{u"(ab)*c", u"ababc", u"ababc"}, MatchCase{u"(ab)+c", u"c abc", u"abc", 2},
                    MatchCase{u"(a|b)*c", u"xababc", u"ababc", 1},
                    MatchCase{u"(ab|cd)+", u"xcdabz", u"cdab", 1},
                    MatchCase{u"(a|ab)(c|bcd)(d*)", u"abcd", u"abcd"}, MatchCase{u"(a?)?b", u"b", u"b"}),
    RegCaseName());

INSTANTIATE_TEST_SUITE_P(
    Sets, RegMatch,
    testing::Values(MatchCase{u"[]a]+", u"x]a]", u"]a]", 1}, MatchCase{u"[-a]", u"x-", u"-", 1},
                    MatchCase{u"[a-]", u"x-", u"-", 1}, MatchCase{u"[^0-9]", u"12", nullptr},
                    MatchCase{u"[^0-9]", u"12a", u"a", 2}, MatchCase{u"[a-c]+", u"xbcay", u"bca", 1},
                    MatchCase{u"[^a]*", u"bba", u"bb"}, MatchCase{u"a.c", u"ac", nullptr},
                    MatchCase{u"a|b|c", u"xxc", u"c", 2}),
    RegCaseName());

// "$" only at the terminator, "^" only at the subject start, an empty match
// is a match.
INSTANTIATE_TEST_SUITE_P(Anchors, RegMatch,
                         testing::Values(MatchCase{u"^ab", u"ab", u"ab"}, MatchCase{u"^ab", u"cab", nullptr},
                                         MatchCase{u"ab$", u"abcab", u"ab", 3},
                                         MatchCase{u"ab$", u"ab\n", nullptr}, MatchCase{u"$", u"abc", u"", 3},
                                         MatchCase{u"^", u"abc", u"", 0}, MatchCase{u"^$", u"", u""},
                                         MatchCase{u"^$", u"a", nullptr}, MatchCase{u"x*", u"abc", u"", 0},
                                         MatchCase{u"^a*", u"baa", u"", 0},
                                         MatchCase{u"b|^a", u"cab", u"b", 2},
                                         MatchCase{u"a\n$", u"a\n", u"a\n"}),
                         RegCaseName());

// Word characters are ASCII letters, digits and "_"; nothing above 127.
INSTANTIATE_TEST_SUITE_P(
    WordEdges, RegMatch,
    testing::Values(MatchCase{u"\\<ab", u"ab", u"ab"}, MatchCase{u"\\<ab", u"cab", nullptr},
                    MatchCase{u"\\<ab", u"c ab", u"ab", 2}, MatchCase{u"\\<ab", u"_ab", nullptr},
                    MatchCase{u"ab\\>", u"ab", u"ab"}, MatchCase{u"ab\\>", u"abc", nullptr},
                    MatchCase{u"ab\\>", u"ab9 ab.", u"ab", 4}, MatchCase{u"\\<a", u"\u00e9a", u"a", 1},
                    MatchCase{u"a\\>", u"a\u00e9", u"a"}, MatchCase{u"\\<", u" ", nullptr},
                    MatchCase{u"\\<[0-9]+\\>", u"a1 22 3b", u"22", 3}, MatchCase{u"\\>", u"ab", u"", 2}),
    RegCaseName());

TEST(RegGroups, RecordsGroupPositions) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(u"(a+)(b+)", program));
    const std::u16string strSubject = u"xaabbbc";
    ASSERT_TRUE(regexec(program, strSubject.c_str()));
    EXPECT_EQ(std::u16string(program.m_apStart[1], program.m_apEnd[1]), u"aa");
    EXPECT_EQ(std::u16string(program.m_apStart[2], program.m_apEnd[2]), u"bbb");
    EXPECT_EQ(program.m_apStart[3], nullptr);
}

TEST(RegGroups, LoopKeepsLastIteration) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(u"(a|b)+c", program));
    const std::u16string strSubject = u"abac";
    ASSERT_TRUE(regexec(program, strSubject.c_str()));
    EXPECT_EQ(program.m_apStart[1] - strSubject.c_str(), 2);
    EXPECT_EQ(program.m_apEnd[1] - strSubject.c_str(), 3);
}

TEST(RegExec, RefusesNullAndDamagedPrograms) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(u"a", program));
    EXPECT_FALSE(regexec(program, nullptr));
    EXPECT_EQ(Narrow(program.GetError()), "NULL argument to regexec");

    program.m_pProgram[0] = 0;
    EXPECT_FALSE(regexec(program, u"a"));
    EXPECT_EQ(Narrow(program.GetError()), "corrupted regexp");

    CRegProgram empty;  // never compiled: no buffer at all
    EXPECT_FALSE(regexec(empty, u"a"));
    EXPECT_EQ(Narrow(empty.GetError()), "corrupted regexp");
}

TEST(RegExec, DamagedNodesFailWithTheirErrors) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(u"ab", program));
    program.m_pProgram[4] = 17;  // no such opcode
    EXPECT_FALSE(regexec(program, u"ab"));
    EXPECT_EQ(Narrow(program.GetError()), "regexp corruption");

    ASSERT_TRUE(regcomp(u"ab", program));
    program.m_pProgram[5] = 0;  // the literal leads nowhere
    EXPECT_FALSE(regexec(program, u"ab"));
    EXPECT_EQ(Narrow(program.GetError()), "corrupted pointers");
}

TEST(RegExec, RepeatOfANonSimpleItemIsRefused) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(u"x", program));
    CRegMatcher matcher(program, u"xx", REG_MAX_STEPS);
    const char16_t aRepeat[] = {OP_REPEAT0, 0, 0, OP_EMPTY, 0, 0};
    EXPECT_EQ(matcher.regrepeat(aRepeat + 3, u"xx"), 0);
    EXPECT_EQ(Narrow(matcher.GetError()), "internal error: bad call of regrepeat");
    const char16_t aLiteral[] = {OP_LITERAL, 0, 0, u'x', 0};
    EXPECT_EQ(matcher.regrepeat(aLiteral, u"xxy"), 2);
    const char16_t aNotIn[] = {OP_NOT_IN_SET, 0, 0, u'y', 0};
    EXPECT_EQ(matcher.regrepeat(aNotIn, u"xxy"), 2);
    EXPECT_EQ(matcher.regrepeat(aNotIn, u"xx"), 2);  // stops at the terminator
}

// A failed match leaves no positions behind, even when it fails before any
// attempt: they would point into a subject the caller may have freed.
TEST(RegExec, FailedMatchForgetsEarlierMatch) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(u"x*abc", program));  // has a required literal
    std::u16string strSubject = u"abc";
    ASSERT_TRUE(regexec(program, strSubject.c_str()));
    EXPECT_NE(program.m_apStart[0], nullptr);
    EXPECT_FALSE(regexec(program, u"zzz"));  // rejected by the required literal
    EXPECT_EQ(program.m_apStart[0], nullptr);
    EXPECT_EQ(program.m_apEnd[0], nullptr);

    ASSERT_TRUE(regcomp(u"abc", program));  // has a first character
    ASSERT_TRUE(regexec(program, strSubject.c_str()));
    EXPECT_FALSE(regexec(program, u"zzz"));
    EXPECT_EQ(program.m_apStart[0], nullptr);
}

// A loop over a group recurses a few levels per unit: against a long subject
// the match must give up with an error, not overflow the stack.
TEST(RegBounds, DeepLoopFailsWithError) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(u"(a|b)*c", program));
    std::u16string strSubject(1000000, u'a');
    strSubject += u'c';  // passes the required-literal check
    EXPECT_FALSE(regexec(program, strSubject.c_str()));
    EXPECT_EQ(Narrow(program.GetError()), "match too deep");
    EXPECT_EQ(program.m_apStart[0], nullptr);

    // The program stays usable, and a loop well within the bound matches.
    program.ClearError();
    std::u16string strShort(REG_MAX_DEPTH / 8, u'b');
    strShort += u'c';
    ASSERT_TRUE(regexec(program, strShort.c_str()));
    EXPECT_EQ(program.m_apEnd[0] - program.m_apStart[0], static_cast<ptrdiff_t>(strShort.size()));
    EXPECT_TRUE(program.GetError().empty());
}

TEST(RegBounds, ExponentialBacktrackingIsCut) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(u"(a|a)*b", program));
    // The "b" passes the required-literal check but is out of reach.
    const std::u16string strSubject = std::u16string(60, u'a') + u"cb";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(regexec(program, strSubject.c_str()));
    EXPECT_EQ(Narrow(program.GetError()), "match too long");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

// The address pattern has no loops: its recursion stays shallow and its work
// per position small however long the subject, well inside regexec's bound,
// also on subjects full of near-misses.
TEST(RegBounds, AddressPatternStaysShallow) {
    CRegProgram program;
    ASSERT_TRUE(
        regcomp(u"[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]", program));
    for (const std::u16string strRepeated : {u"12.3x", u"22.22.22.x", u"222.222.222x", u"1"}) {
        std::u16string strSubject;
        for (int i = 0; i < 20000 / static_cast<int>(strRepeated.size()); ++i) strSubject += strRepeated;
        strSubject += u"1234.5.6.7";
        CRegMatcher matcher(program, strSubject.c_str(), REG_MAX_STEPS);
        const char16_t* p = strSubject.c_str();
        for (; *p != 0 && !matcher.TryAt(p); ++p) {
        }
        ASSERT_FALSE(matcher.IsAborted());
        const int64_t nLength = static_cast<int64_t>(strSubject.size());
        EXPECT_EQ(std::u16string(program.m_apStart[0], program.m_apEnd[0]), u"234.5.6.7");
        EXPECT_LT(matcher.GetMaxDepthReached(), 40);
        EXPECT_LT(matcher.GetSteps(), RegStepBound(program, nLength) / 3) << Narrow(strRepeated);
        EXPECT_LT(matcher.GetSteps(), REG_STEPS_PER_UNIT * nLength);
    }
    // A short subject is never cut either.
    EXPECT_TRUE(regexec(program, u"x1.2.3.4"));
    EXPECT_GT(RegStepBound(program, 0), 100);
}

}  // namespace
