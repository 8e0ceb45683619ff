// Compilation: program layouts, hints, bracket sets, literal runs and the
// syntax errors with their texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reg_compiler.h"
#include "reg_program.h"
#include "reg_test_util.h"

namespace {

constexpr unsigned M = REG_MAGIC;
const char16_t* const IPV4 = u"[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]";

struct LayoutCase {
    const char* pszPattern;
    std::vector<unsigned> aUnits;
};

class RegLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(RegLayout, EmitsExactUnits) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(U(GetParam().pszPattern).c_str(), program)) << Narrow(program.GetError());
    EXPECT_EQ(ProgramUnits(program), GetParam().aUnits);
    EXPECT_EQ(program.m_nSize, static_cast<int32_t>(GetParam().aUnits.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Programs, RegLayout,
    testing::Values(LayoutCase{"ab*c", {M, 6, 21, 0, 8, 5, 0, 97, 0, 10, 8, 0, 8,
                                        0, 0, 98, 0, 8, 5, 0, 99, 0, 0,  0, 0}},
                    LayoutCase{"a*", {M, 6, 11, 0, 10, 8, 0, 8, 0, 0, 97, 0, 0, 0, 0}},
                    // x? as (x | empty)
                    LayoutCase{"a?", {M, 6, 17, 0, 6, 8, 0, 8, 8, 0, 97, 0, 6, 3, 0, 9, 3, 0, 0, 0, 0}},
                    // A group under "*": the inserted choice moves the group three units
                    // on; the loop node points back at the choice.
                    LayoutCase{"(a)*", {M, 6,  29, 0, 6, 20, 0, 21, 3, 0, 6, 8, 0, 8, 5, 0, 97,
                                        0, 31, 3,  0, 7, 17, 0, 6,  3, 0, 9, 3, 0, 0, 0, 0}},
                    // A group under "+": the loop node points back at the group.
                    LayoutCase{"(a)+", {M, 6, 29, 0, 21, 3,  0, 6, 8, 0, 8, 5, 0, 97, 0, 31, 3,
                                        0, 6, 6,  0, 7,  17, 0, 6, 3, 0, 9, 3, 0, 0,  0, 0}},
                    // Two alternatives, each ending at the common end node.
                    LayoutCase{"a|b", {M, 6, 8, 0, 8, 13, 0, 97, 0, 6, 8, 0, 8, 5, 0, 98, 0, 0, 0, 0}},
                    // An empty pattern is one alternative holding an empty node.
                    LayoutCase{"", {M, 6, 6, 0, 9, 3, 0, 0, 0, 0}}),
    RegCaseName());

TEST(RegLayout, AddressPatternHasNoHints) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(IPV4, program));
    EXPECT_EQ(program.m_nSize, 230);
    EXPECT_EQ(program.m_chFirst, 0);
    EXPECT_EQ(program.m_nAnchored, 0);
    EXPECT_EQ(program.m_pRequired, nullptr);
    EXPECT_TRUE(program.m_bCompiled);
}

// The sizing pass must count exactly what the emitting pass writes, or the
// program would overrun its buffer.
TEST(RegLayout, SizingPassCountsWhatIsEmitted) {
    for (const char16_t* psz :
         {u"ab*c", u"(a|b)*c", u"x(y(z)+)?w", u"[^]a-z-]+\\<w\\>$", u"^a\\.b\\*c*", IPV4}) {
        CRegValidator validator(psz);
        int nFlags = 0;
        ASSERT_NE(validator.Parse(nFlags), nullptr);
        CRegProgram program;
        ASSERT_TRUE(regcomp(psz, program));
        EXPECT_EQ(validator.GetSize(), program.m_nSize);
    }
}

struct HintCase {
    const char* pszPattern;
    char16_t chFirst;
    uint16_t nAnchored;
    const char* pszRequired;  // null: none
};

class RegHints : public testing::TestWithParam<HintCase> {};

TEST_P(RegHints, ComputesHints) {
    const HintCase& c = GetParam();
    CRegProgram program;
    ASSERT_TRUE(regcomp(U(c.pszPattern).c_str(), program));
    EXPECT_EQ(program.m_chFirst, c.chFirst);
    EXPECT_EQ(program.m_nAnchored, c.nAnchored);
    if (c.pszRequired == nullptr) {
        EXPECT_EQ(program.m_pRequired, nullptr);
    } else {
        ASSERT_NE(program.m_pRequired, nullptr);
        EXPECT_EQ(std::u16string(program.m_pRequired, static_cast<size_t>(program.m_nRequiredLength)),
                  U(c.pszRequired));
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, RegHints,
                         testing::Values(HintCase{"ab*c", u'a', 0, nullptr}, HintCase{"^abc", 0, 1, nullptr},
                                         HintCase{"[Aa][Bb]*[Cc]", 0, 0, nullptr},
                                         // Only a pattern starting with a repetition gets a required literal.
                                         HintCase{"a*bcd", 0, 0, "bcd"}, HintCase{"a+b", 0, 0, "b"},
                                         // Longest literal wins, a later one on a tie.
                                         HintCase{"a*bc*de", 0, 0, "de"}, HintCase{"x*ab.cd", 0, 0, "cd"},
                                         HintCase{"x*abc.de", 0, 0, "abc"}, HintCase{"(ab)*c", 0, 0, "c"},
                                         // "?" is not a leading repetition.
                                         HintCase{"a?bcd", 0, 0, nullptr},
                                         // Several alternatives: no hints at all.
                                         HintCase{"ab|cd", 0, 0, nullptr}, HintCase{"^a|b", 0, 0, nullptr},
                                         HintCase{"a*b|c*d", 0, 0, nullptr}),
                         RegCaseName());

// The operand string of the node after the top-level choice.
std::u16string FirstOperand(const CRegProgram& program, char16_t& op) {
    const char16_t* pNode = CRegProgramAccessor::Operand(program.m_pProgram.get() + 1);
    op = CRegProgramAccessor::Opcode(pNode);
    return std::u16string(CRegProgramAccessor::Operand(pNode));
}

struct OperandCase {
    const char* pszPattern;
    char16_t op;
    std::u16string strOperand;
};

class RegOperand : public testing::TestWithParam<OperandCase> {};

TEST_P(RegOperand, ParsesFirstAtom) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(U(GetParam().pszPattern).c_str(), program)) << Narrow(program.GetError());
    char16_t op = 0;
    EXPECT_EQ(FirstOperand(program, op), GetParam().strOperand);
    EXPECT_EQ(op, GetParam().op);
}

INSTANTIATE_TEST_SUITE_P(
    Brackets, RegOperand,
    testing::Values(OperandCase{"[]a]", OP_IN_SET, u"]a"}, OperandCase{"[-a]", OP_IN_SET, u"-a"},
                    OperandCase{"[a-]", OP_IN_SET, u"a-"},
                    OperandCase{"[^0-9]", OP_NOT_IN_SET, u"0123456789"},
                    OperandCase{"[^]x]", OP_NOT_IN_SET, u"]x"}, OperandCase{"[a-cx-z]", OP_IN_SET, u"abcxyz"},
                    // A second "-" ranges on from the previous range's end.
                    OperandCase{"[a-c-e]", OP_IN_SET, u"abcde"}, OperandCase{"[a-a]", OP_IN_SET, u"a"},
                    OperandCase{"[\\]", OP_IN_SET, u"\\"}),
    RegCaseName());

INSTANTIATE_TEST_SUITE_P(
    Literals, RegOperand,
    testing::Values(OperandCase{"abc", OP_LITERAL, u"abc"},
                    // A unit under an operator is split off the run.
                    OperandCase{"abc*", OP_LITERAL, u"ab"}, OperandCase{"ab\\.*", OP_LITERAL, u"ab"},
                    // Escapes are taken literally and the backslash dropped.
                    OperandCase{"a\\.b\\*", OP_LITERAL, u"a.b*"}, OperandCase{"\\\\x", OP_LITERAL, u"\\x"},
                    OperandCase{"\\(", OP_LITERAL, u"("},
                    // Runs end before units that start other atoms.
                    OperandCase{"ab.c", OP_LITERAL, u"ab"}, OperandCase{"ab[c]", OP_LITERAL, u"ab"},
                    OperandCase{"ab\ncd", OP_LITERAL, u"ab"}, OperandCase{"ab\\<c", OP_LITERAL, u"ab"},
                    OperandCase{"ab]c", OP_LITERAL, u"ab]c"}),
    RegCaseName());

TEST(RegLiteral, SingleUnitUnderOperatorIsRepeatedAlone) {
    CRegProgram program;
    ASSERT_TRUE(regcomp(u"\\.+", program));
    char16_t op = 0;
    FirstOperand(program, op);
    EXPECT_EQ(op, OP_REPEAT1);
    const char16_t* pItem =
        CRegProgramAccessor::Operand(CRegProgramAccessor::Operand(program.m_pProgram.get() + 1));
    EXPECT_EQ(CRegProgramAccessor::Opcode(pItem), OP_LITERAL);
    EXPECT_EQ(std::u16string(CRegProgramAccessor::Operand(pItem)), u".");
}

struct ErrorCase {
    std::u16string strPattern;
    const char* pszError;  // null: compiles
};

class RegSyntax : public testing::TestWithParam<ErrorCase> {};

TEST_P(RegSyntax, ReportsError) {
    CRegProgram program;
    const bool bCompiled = regcomp(GetParam().strPattern.c_str(), program);
    if (GetParam().pszError == nullptr) {
        EXPECT_TRUE(bCompiled) << Narrow(program.GetError());
        EXPECT_TRUE(program.GetError().empty());
    } else {
        EXPECT_FALSE(bCompiled);
        EXPECT_FALSE(program.m_bCompiled);
        EXPECT_EQ(Narrow(program.GetError()), GetParam().pszError);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Errors, RegSyntax,
    testing::Values(
        ErrorCase{u"(((((((((a)))))))))", nullptr}, ErrorCase{u"((((((((((a))))))))))", "too many ()"},
        ErrorCase{u"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "too many ()"}, ErrorCase{u"a**", "nested *?+"},
        ErrorCase{u"a+?", "nested *?+"}, ErrorCase{u"(ab)?*", "nested *?+"},
        ErrorCase{u"*a", "?+* follows nothing"}, ErrorCase{u"a|+b", "?+* follows nothing"},
        ErrorCase{u"(?a)", "?+* follows nothing"}, ErrorCase{u"(a?)*", "*+ operand could be empty"},
        ErrorCase{u"()*", "*+ operand could be empty"}, ErrorCase{u"^*", "*+ operand could be empty"},
        ErrorCase{u"\\<+", "*+ operand could be empty"}, ErrorCase{u"(a|)+", "*+ operand could be empty"},
        ErrorCase{u"(a?)?", nullptr}, ErrorCase{u"$?", nullptr}, ErrorCase{u"(a|b)*", nullptr},
        ErrorCase{u"[z-a]", "invalid [] range"}, ErrorCase{u"[abc", "unmatched []"},
        ErrorCase{u"[]", "unmatched []"}, ErrorCase{u"[^", "unmatched []"}, ErrorCase{u"[a-", "unmatched []"},
        ErrorCase{u"(ab", "unterminated ()"}, ErrorCase{u"(", "unterminated ()"},
        ErrorCase{u"((a)", "unterminated ()"}, ErrorCase{u"ab)", "unmatched ()"},
        ErrorCase{u")", "unmatched ()"}, ErrorCase{u"ab\\", "trailing \\"}, ErrorCase{u"\\", "trailing \\"},
        ErrorCase{u"[\\]\\", "trailing \\"},
        // Every next offset must fit in 16 bits.
        ErrorCase{u"[\x01-\xffff]", "regexp too big"},
        ErrorCase{std::u16string(32756, u'a'), "regexp too big"},
        ErrorCase{std::u16string(32755, u'a'), nullptr}),
    RegCaseName());

TEST(RegSyntax, NullPatternIsRefused) {
    CRegProgram program;
    EXPECT_FALSE(regcomp(nullptr, program));
    EXPECT_EQ(Narrow(program.GetError()), "NULL argument to regcomp");
}

TEST(RegErrorTable, TextsByNumber) {
    EXPECT_EQ(Narrow(RegErrorMessage(1)), "NULL argument to regexec");
    EXPECT_EQ(Narrow(RegErrorMessage(20)), "internal error: \\0|) unexpected");
    EXPECT_EQ(Narrow(RegErrorMessage(23)), "internal error: strcspn 0");
    EXPECT_EQ(Narrow(RegErrorMessage(24)), "NULL regexp");
    EXPECT_EQ(Narrow(RegErrorMessage(0)), "Unknown error");
    EXPECT_EQ(Narrow(RegErrorMessage(-1)), "Unknown error");
    EXPECT_EQ(Narrow(RegErrorMessage(1000)), "Unknown error");
}

}  // namespace
