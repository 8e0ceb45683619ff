#include "reg_matcher.h"

#include <algorithm>
#include <string_view>

namespace {

// Letters, digits and "_" of ASCII; nothing else is part of a word.
bool IsWordUnit(char16_t ch) {
    return (ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') || (ch >= u'0' && ch <= u'9') ||
           ch == u'_';
}

// Keeps the recursion depth in step with the call stack.
class CDepthGuard {
public:
    explicit CDepthGuard(int32_t& nDepth) : m_nDepth(nDepth) { ++m_nDepth; }
    ~CDepthGuard() { --m_nDepth; }
    CDepthGuard(const CDepthGuard&) = delete;
    CDepthGuard& operator=(const CDepthGuard&) = delete;

private:
    int32_t& m_nDepth;
};

}  // namespace

CRegMatcher::CRegMatcher(CRegProgram& program, const char16_t* pszSubject, int64_t nMaxSteps)
    : m_pInput(pszSubject),
      m_pSubject(pszSubject),
      m_apStart(program.m_apStart),
      m_apEnd(program.m_apEnd),
      m_program(program),
      m_nMaxSteps(nMaxSteps) {}

bool CRegMatcher::InSet(const char16_t* pszSet, char16_t ch) {
    const char16_t* p = pszSet;
    while (*p != 0 && *p != ch) ++p;
    m_nSteps += (p - pszSet) / REG_UNITS_PER_STEP;
    return *p != 0;
}

bool CRegMatcher::Abort(int nCode) {
    RecordError(nCode);
    m_bAborted = true;
    return false;
}

bool CRegMatcher::TryAt(const char16_t* pPosition) {
    for (int i = 0; i < REG_SUBEXPRESSIONS; ++i) {
        m_apStart[i] = nullptr;
        m_apEnd[i] = nullptr;
    }
    m_pInput = pPosition;
    if (!MatchChain(m_program.m_pProgram.get() + 1)) return false;
    m_apStart[0] = pPosition;
    m_apEnd[0] = m_pInput;
    return true;
}

bool CRegMatcher::MatchChain(const char16_t* pNode) {
    CDepthGuard guard(m_nDepth);
    if (m_nDepth > m_nMaxDepth) m_nMaxDepth = m_nDepth;
    if (m_nDepth > REG_MAX_DEPTH) return Abort(REG_ERR_TOO_DEEP);

    const char16_t* pScan = pNode;
    while (pScan != nullptr) {
        if (++m_nSteps > m_nMaxSteps) return Abort(REG_ERR_TOO_LONG);
        const char16_t* pNext = Next(pScan);
        const char16_t op = Opcode(pScan);
        switch (op) {
            case OP_END:
                return true;
            case OP_AT_START:
                if (m_pInput != m_pSubject) return false;
                break;
            case OP_AT_END:
                if (*m_pInput != 0) return false;
                break;
            case OP_ANY:
                if (*m_pInput == 0) return false;
                ++m_pInput;
                break;
            case OP_IN_SET:
                if (*m_pInput == 0 || !InSet(Operand(pScan), *m_pInput)) return false;
                ++m_pInput;
                break;
            case OP_NOT_IN_SET:
                if (*m_pInput == 0 || InSet(Operand(pScan), *m_pInput)) return false;
                ++m_pInput;
                break;
            case OP_LITERAL: {
                const char16_t* pszLiteral = Operand(pScan);
                if (*pszLiteral != *m_pInput) return false;
                // The subject's terminator differs from every literal unit,
                // so the comparison never reads past it.
                size_t n = 1;
                for (; pszLiteral[n] != 0; ++n) {
                    if (pszLiteral[n] != m_pInput[n]) return false;
                }
                m_pInput += n;
                m_nSteps += static_cast<int64_t>(n) / REG_UNITS_PER_STEP;
                break;
            }
            case OP_EMPTY:
            case OP_LOOP:
                break;
            case OP_ALT:
                if (pNext == nullptr || Opcode(pNext) != OP_ALT) {
                    pNext = Operand(pScan);  // no choice: no need to recurse
                    break;
                }
                do {
                    const char16_t* pSave = m_pInput;
                    if (MatchChain(Operand(pScan))) return true;
                    if (m_bAborted) return false;
                    m_pInput = pSave;
                    pScan = Next(pScan);
                } while (pScan != nullptr && Opcode(pScan) == OP_ALT);
                return false;
            case OP_REPEAT0:
            case OP_REPEAT1: {
                // Counts whose following unit cannot start the next literal
                // are skipped without a recursive try.
                const char16_t chLookAhead =
                    pNext != nullptr && Opcode(pNext) == OP_LITERAL ? *Operand(pNext) : 0;
                const int32_t nMin = op == OP_REPEAT0 ? 0 : 1;
                const char16_t* pStart = m_pInput;
                int32_t nCount = regrepeat(Operand(pScan), pStart);
                m_nSteps += nCount;
                for (; nCount >= nMin; --nCount) {
                    if (++m_nSteps > m_nMaxSteps) return Abort(REG_ERR_TOO_LONG);
                    m_pInput = pStart + nCount;
                    if (chLookAhead == 0 || *m_pInput == chLookAhead) {
                        if (MatchChain(pNext)) return true;
                        if (m_bAborted) return false;
                    }
                }
                return false;
            }
            case OP_WORD_START:
                if (!IsWordUnit(*m_pInput)) return false;
                if (m_pInput > m_pSubject && IsWordUnit(m_pInput[-1])) return false;
                break;
            case OP_WORD_END:
                if (IsWordUnit(*m_pInput)) return false;
                break;
            default:
                if (op > OP_GROUP_OPEN && op < OP_GROUP_OPEN + REG_SUBEXPRESSIONS) {
                    // The innermost success comes first, so a group inside a
                    // loop keeps the positions of its last iteration.
                    const char16_t* pSave = m_pInput;
                    if (!MatchChain(pNext)) return false;
                    if (m_apStart[op - OP_GROUP_OPEN] == nullptr) m_apStart[op - OP_GROUP_OPEN] = pSave;
                    return true;
                }
                if (op > OP_GROUP_CLOSE && op < OP_GROUP_CLOSE + REG_SUBEXPRESSIONS) {
                    const char16_t* pSave = m_pInput;
                    if (!MatchChain(pNext)) return false;
                    if (m_apEnd[op - OP_GROUP_CLOSE] == nullptr) m_apEnd[op - OP_GROUP_CLOSE] = pSave;
                    return true;
                }
                RecordError(REG_ERR_CORRUPTION);
                return false;
        }
        pScan = pNext;
    }
    RecordError(REG_ERR_CORRUPTED_POINTERS);
    return false;
}

int32_t CRegMatcher::regrepeat(const char16_t* pItem, const char16_t* pPosition) {
    const char16_t* pScan = pPosition;
    const char16_t* pszOperand = Operand(pItem);
    switch (Opcode(pItem)) {
        case OP_ANY:
            while (*pScan != 0) ++pScan;
            break;
        case OP_IN_SET:
            while (*pScan != 0 && InSet(pszOperand, *pScan)) ++pScan;
            break;
        case OP_NOT_IN_SET:
            while (*pScan != 0 && !InSet(pszOperand, *pScan)) ++pScan;
            break;
        case OP_LITERAL:
            while (*pScan != 0 && *pScan == *pszOperand) ++pScan;
            break;
        default:
            RecordError(REG_ERR_BAD_REPEAT);
            return 0;
    }
    return static_cast<int32_t>(pScan - pPosition);
}

int64_t RegStepBound(const CRegProgram& program, int64_t nLength) {
    const int64_t nCeiling = REG_MAX_STEPS + REG_STEPS_PER_UNIT * std::max<int64_t>(nLength, 0);
    const int64_t nNodes = std::max<int64_t>(program.m_nNodes, 0);
    const int64_t nStringUnits = std::max<int64_t>(program.m_nSize - 1 - 3 * nNodes, 0);
    const int64_t nWeight = 1 + nNodes + nStringUnits / REG_UNITS_PER_STEP;
    // Past the ceiling the product no longer matters: stop before it could overflow.
    if (nLength + 1 > nCeiling / (REG_STEPS_PER_CELL * nWeight)) return nCeiling;
    return std::min(nCeiling, std::max(REG_MIN_STEPS, REG_STEPS_PER_CELL * nWeight * (nLength + 1)));
}

bool regexec(CRegProgram& program, const char16_t* pszSubject) {
    const int64_t nLength =
        pszSubject != nullptr ? static_cast<int64_t>(std::u16string_view(pszSubject).size()) : 0;
    return regexec(program, pszSubject, RegStepBound(program, nLength));
}

bool regexec(CRegProgram& program, const char16_t* pszSubject, int64_t nMaxSteps) {
    // A failed match must not leave positions into an earlier subject behind.
    for (int i = 0; i < REG_SUBEXPRESSIONS; ++i) {
        program.m_apStart[i] = nullptr;
        program.m_apEnd[i] = nullptr;
    }
    if (pszSubject == nullptr) {
        program.RecordError(REG_ERR_NULL_EXEC);
        return false;
    }
    if (program.m_pProgram == nullptr || program.m_nSize < 1 || program.m_pProgram[0] != REG_MAGIC) {
        program.RecordError(REG_ERR_CORRUPTED_REGEXP);
        return false;
    }

    if (program.m_pRequired != nullptr) {
        const std::u16string_view subject(pszSubject);
        const std::u16string_view required(program.m_pRequired,
                                           static_cast<size_t>(program.m_nRequiredLength));
        if (subject.find(required) == std::u16string_view::npos) return false;
    }

    CRegMatcher matcher(program, pszSubject, nMaxSteps);
    bool bMatched = false;
    if (program.m_nAnchored) {
        bMatched = matcher.TryAt(pszSubject);
    } else if (program.m_chFirst != 0) {
        for (const char16_t* p = pszSubject; *p != 0 && !matcher.IsAborted(); ++p) {
            if (*p == program.m_chFirst && matcher.TryAt(p)) {
                bMatched = true;
                break;
            }
        }
    } else {
        // Up to and including the terminator: an empty match or "$" can
        // succeed there.
        for (const char16_t* p = pszSubject; !matcher.IsAborted(); ++p) {
            if (matcher.TryAt(p)) {
                bMatched = true;
                break;
            }
            if (*p == 0) break;
        }
    }
    if (!matcher.GetError().empty()) program.RecordErrorText(matcher.GetError());
    if (!bMatched) {
        for (int i = 0; i < REG_SUBEXPRESSIONS; ++i) {
            program.m_apStart[i] = nullptr;
            program.m_apEnd[i] = nullptr;
        }
    }
    return bMatched;
}
