// The compiled form of a regular expression and the two operations on it.
//
// A program is an array of 16-bit units. Unit 0 is REG_MAGIC; the first node
// starts at unit 1. Every node is a three-unit header {opcode, next offset,
// 0} followed by its operand: a zero-terminated string for the set and
// literal nodes, one node for the repetitions, the first node of its
// alternative for OP_ALT. The next offset is a signed distance to the next
// node of the chain, counted backwards for OP_LOOP, 0 at the end of a chain.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

constexpr char16_t REG_MAGIC = 0xFF9C;
constexpr int REG_SUBEXPRESSIONS = 10;  // the whole match and groups 1 to 9
// A program must stay below this many units so that every next offset fits
// in a signed 16-bit unit.
constexpr int32_t REG_MAX_PROGRAM = 0x7FFF;

// Opcodes.
constexpr char16_t OP_END = 0;
constexpr char16_t OP_AT_START = 1;
constexpr char16_t OP_AT_END = 2;
constexpr char16_t OP_ANY = 3;
constexpr char16_t OP_IN_SET = 4;
constexpr char16_t OP_NOT_IN_SET = 5;
constexpr char16_t OP_ALT = 6;
constexpr char16_t OP_LOOP = 7;
constexpr char16_t OP_LITERAL = 8;
constexpr char16_t OP_EMPTY = 9;
constexpr char16_t OP_REPEAT0 = 10;
constexpr char16_t OP_REPEAT1 = 11;
constexpr char16_t OP_WORD_START = 12;
constexpr char16_t OP_WORD_END = 13;
constexpr char16_t OP_GROUP_OPEN = 20;   // + group number 1 to 9
constexpr char16_t OP_GROUP_CLOSE = 30;  // + group number 1 to 9

// Numbered failures; RegErrorMessage gives their texts.
enum : int {
    REG_ERR_NULL_EXEC = 1,
    REG_ERR_CORRUPTED_REGEXP = 2,
    REG_ERR_CORRUPTION = 3,
    REG_ERR_CORRUPTED_POINTERS = 4,
    REG_ERR_BAD_REPEAT = 5,
    REG_ERR_CORRUPTED_OPCODE = 6,
    REG_ERR_NULL_SUB = 7,
    REG_ERR_DAMAGED_SUB = 8,
    REG_ERR_DAMAGED_MATCH = 9,
    REG_ERR_NULL_COMP = 10,
    REG_ERR_TOO_BIG = 11,
    REG_ERR_TOO_MANY_GROUPS = 12,
    REG_ERR_UNTERMINATED_GROUP = 13,
    REG_ERR_UNMATCHED_GROUP = 14,
    REG_ERR_JUNK_ON_END = 15,
    REG_ERR_EMPTY_OPERAND = 16,
    REG_ERR_NESTED_REPEAT = 17,
    REG_ERR_INVALID_RANGE = 18,
    REG_ERR_UNMATCHED_BRACKET = 19,
    REG_ERR_UNEXPECTED_END = 20,
    REG_ERR_FOLLOWS_NOTHING = 21,
    REG_ERR_TRAILING_BACKSLASH = 22,
    REG_ERR_STRCSPN = 23,
    REG_ERR_NULL_PATTERN = 24,
    // The matcher gives up rather than exhaust the stack or run for ever.
    REG_ERR_TOO_DEEP = 25,
    REG_ERR_TOO_LONG = 26,
};

// The text of a numbered failure; "Unknown error" for a number not listed.
const char16_t* RegErrorMessage(int nCode);

class CRegErrorHandler {
public:
    // Replaces the error text with the message of the code.
    void RecordError(int nCode) { m_strError = RegErrorMessage(nCode); }
    void RecordErrorText(const std::u16string& strError) { m_strError = strError; }
    void ClearError() { m_strError.clear(); }
    const std::u16string& GetError() const { return m_strError; }

private:
    std::u16string m_strError;
};

// Node navigation shared by the compiler and the matcher.
class CRegProgramAccessor : public CRegErrorHandler {
public:
    static char16_t Opcode(const char16_t* pNode) { return pNode[0]; }
    static const char16_t* Operand(const char16_t* pNode) { return pNode + 3; }
    static char16_t* Operand(char16_t* pNode) { return pNode + 3; }
    // The next node of the chain, or null at its end.
    static const char16_t* Next(const char16_t* pNode) {
        const int nOffset = static_cast<int16_t>(pNode[1]);
        if (nOffset == 0) return nullptr;
        return Opcode(pNode) == OP_LOOP ? pNode - nOffset : pNode + nOffset;
    }
    static char16_t* Next(char16_t* pNode) {
        return const_cast<char16_t*>(Next(static_cast<const char16_t*>(pNode)));
    }
};

// A compiled pattern and the positions of its last match.
class CRegProgram : public CRegErrorHandler {
public:
    CRegProgram() = default;
    CRegProgram(const CRegProgram&) = delete;
    CRegProgram& operator=(const CRegProgram&) = delete;

    int32_t m_nSize = 0;   // units in m_pProgram
    int32_t m_nNodes = 0;  // nodes among them, for the matcher's work bound
    // Index 0 is the whole match, 1 to 9 the groups; null when not matched.
    const char16_t* m_apStart[REG_SUBEXPRESSIONS] = {};
    const char16_t* m_apEnd[REG_SUBEXPRESSIONS] = {};
    char16_t m_chFirst = 0;                 // every match starts with this unit; 0 = unknown
    uint16_t m_nAnchored = 0;               // 1 when a match can start only at the subject start
    const char16_t* m_pRequired = nullptr;  // a literal every match contains
    int32_t m_nRequiredLength = 0;
    std::unique_ptr<char16_t[]> m_pProgram;
    bool m_bCompiled = false;
};

// Compiles a pattern (taken literally, without case folding) into a program.
bool regcomp(const char16_t* pszPattern, CRegProgram& program);
// Finds the leftmost match of a compiled program in a zero-terminated subject.
bool regexec(CRegProgram& program, const char16_t* pszSubject);
// The same under an explicit bound on the work of the whole call, in steps
// (node visits and repetition counts tried); regexec's own bound grows with
// the program and the subject (RegStepBound).
bool regexec(CRegProgram& program, const char16_t* pszSubject, int64_t nMaxSteps);

// Rewrites a pattern so that its letters outside bracket expressions match
// either case: "a" becomes "[Aa]". The output needs four units per pattern
// unit plus one. Returns the number of units written before the terminator.
size_t RegFoldCase(const char16_t* pszPattern, char16_t* pszOut);
