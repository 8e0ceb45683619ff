#include "reg_compiler.h"

#include <cstring>
#include <new>

namespace {

bool IsRepeatOperator(char16_t ch) {
    return ch == u'*' || ch == u'+' || ch == u'?';
}

// Units after which a literal run ends: each starts an atom of its own.
bool EndsLiteralRun(char16_t ch) {
    switch (ch) {
        case 0:
        case 10:
        case u'$':
        case u'(':
        case u')':
        case u'.':
        case u'[':
        case u'^':
        case u'|':
            return true;
        default:
            return false;
    }
}

size_t UnitLength(const char16_t* psz) {
    size_t n = 0;
    while (psz[n] != 0) ++n;
    return n;
}

}  // namespace

char16_t* CRegCompilerBase::Parse(int& nFlags) {
    return ParseAlternation(false, nFlags);
}

// The whole pattern, or the inside of a group: sequences separated by "|".
char16_t* CRegCompilerBase::ParseAlternation(bool bGroup, int& nFlags) {
    nFlags = REG_FLAG_NONEMPTY;
    char16_t* pRet = nullptr;
    int nGroup = 0;
    if (bGroup) {
        if (m_nNextGroup >= REG_SUBEXPRESSIONS) return Fail(REG_ERR_TOO_MANY_GROUPS);
        nGroup = m_nNextGroup++;
        pRet = EmitNode(static_cast<char16_t>(OP_GROUP_OPEN + nGroup));
    }

    int nBranchFlags = 0;
    char16_t* pBranch = ParseSequence(nBranchFlags);
    if (pBranch == nullptr) return nullptr;
    if (pRet != nullptr) {
        LinkTail(pRet, pBranch);
    } else {
        pRet = pBranch;
    }
    if (!(nBranchFlags & REG_FLAG_NONEMPTY)) nFlags &= ~REG_FLAG_NONEMPTY;
    nFlags |= nBranchFlags & REG_FLAG_LEADREP;
    while (*m_pParse == u'|') {
        ++m_pParse;
        pBranch = ParseSequence(nBranchFlags);
        if (pBranch == nullptr) return nullptr;
        LinkTail(pRet, pBranch);
        if (!(nBranchFlags & REG_FLAG_NONEMPTY)) nFlags &= ~REG_FLAG_NONEMPTY;
        nFlags |= nBranchFlags & REG_FLAG_LEADREP;
    }

    char16_t* pEnder = EmitNode(bGroup ? static_cast<char16_t>(OP_GROUP_CLOSE + nGroup) : OP_END);
    LinkTail(pRet, pEnder);
    // Every alternative goes on with whatever follows the choice.
    for (char16_t* pNode = pRet; pNode != nullptr; pNode = Next(pNode)) LinkBranchTail(pNode, pEnder);

    if (bGroup) {
        if (*m_pParse++ != u')') return Fail(REG_ERR_UNTERMINATED_GROUP);
    } else if (*m_pParse != 0) {
        return Fail(*m_pParse == u')' ? REG_ERR_UNMATCHED_GROUP : REG_ERR_JUNK_ON_END);
    }
    return pRet;
}

// One alternative: an OP_ALT node whose operand is the chain of its pieces.
char16_t* CRegCompilerBase::ParseSequence(int& nFlags) {
    nFlags = 0;
    char16_t* pRet = EmitNode(OP_ALT);
    char16_t* pChain = nullptr;
    while (*m_pParse != 0 && *m_pParse != u'|' && *m_pParse != u')') {
        int nPieceFlags = 0;
        char16_t* pLatest = ParsePiece(nPieceFlags);
        if (pLatest == nullptr) return nullptr;
        nFlags |= nPieceFlags & REG_FLAG_NONEMPTY;
        if (pChain == nullptr) {
            nFlags |= nPieceFlags & REG_FLAG_LEADREP;
        } else {
            LinkTail(pChain, pLatest);
        }
        pChain = pLatest;
    }
    if (pChain == nullptr) EmitNode(OP_EMPTY);
    return pRet;
}

// An atom, possibly followed by "*", "+" or "?".
char16_t* CRegCompilerBase::ParsePiece(int& nFlags) {
    int nAtomFlags = 0;
    char16_t* pRet = ParseAtom(nAtomFlags);
    if (pRet == nullptr) return nullptr;

    const char16_t op = *m_pParse;
    if (!IsRepeatOperator(op)) {
        nFlags = nAtomFlags;
        return pRet;
    }
    // A loop over something that can match nothing would never advance.
    if (!(nAtomFlags & REG_FLAG_NONEMPTY) && op != u'?') return Fail(REG_ERR_EMPTY_OPERAND);
    nFlags = op == u'*' ? REG_FLAG_LEADREP : op == u'+' ? REG_FLAG_NONEMPTY | REG_FLAG_LEADREP : 0;

    if (op == u'*' && (nAtomFlags & REG_FLAG_SIMPLE)) {
        InsertNode(OP_REPEAT0, pRet);
    } else if (op == u'+' && (nAtomFlags & REG_FLAG_SIMPLE)) {
        InsertNode(OP_REPEAT1, pRet);
    } else if (op == u'*') {
        // x* as (x loop | empty).
        InsertNode(OP_ALT, pRet);
        LinkBranchTail(pRet, EmitNode(OP_LOOP));
        LinkBranchTail(pRet, pRet);
        LinkTail(pRet, EmitNode(OP_ALT));
        LinkTail(pRet, EmitNode(OP_EMPTY));
    } else if (op == u'+') {
        // x+ as x (loop | empty).
        char16_t* pAlt = EmitNode(OP_ALT);
        LinkTail(pRet, pAlt);
        LinkTail(EmitNode(OP_LOOP), pRet);
        LinkTail(pAlt, EmitNode(OP_ALT));
        LinkTail(pRet, EmitNode(OP_EMPTY));
    } else {
        // x? as (x | empty).
        InsertNode(OP_ALT, pRet);
        LinkTail(pRet, EmitNode(OP_ALT));
        char16_t* pEmpty = EmitNode(OP_EMPTY);
        LinkTail(pRet, pEmpty);
        LinkBranchTail(pRet, pEmpty);
    }

    ++m_pParse;
    if (IsRepeatOperator(*m_pParse)) return Fail(REG_ERR_NESTED_REPEAT);
    return pRet;
}

char16_t* CRegCompilerBase::ParseAtom(int& nFlags) {
    nFlags = 0;
    const char16_t ch = *m_pParse++;
    switch (ch) {
        case u'^':
            return EmitNode(OP_AT_START);
        case u'$':
            return EmitNode(OP_AT_END);
        case u'.':
            nFlags = REG_FLAG_NONEMPTY | REG_FLAG_SIMPLE;
            return EmitNode(OP_ANY);
        case u'(': {
            int nGroupFlags = 0;
            char16_t* pRet = ParseAlternation(true, nGroupFlags);
            if (pRet == nullptr) return nullptr;
            nFlags = nGroupFlags & (REG_FLAG_NONEMPTY | REG_FLAG_LEADREP);
            return pRet;
        }
        case 0:
        case u'|':
        case u')':
            return Fail(REG_ERR_UNEXPECTED_END);
        case u'*':
        case u'+':
        case u'?':
            return Fail(REG_ERR_FOLLOWS_NOTHING);
        case u'\\':
            if (*m_pParse == 0) return Fail(REG_ERR_TRAILING_BACKSLASH);
            if (*m_pParse == u'<') {
                ++m_pParse;
                return EmitNode(OP_WORD_START);
            }
            if (*m_pParse == u'>') {
                ++m_pParse;
                return EmitNode(OP_WORD_END);
            }
            return ParseLiteral(nFlags);
        case u'[':
            return ParseBracket(nFlags);
        default:
            --m_pParse;
            return ParseLiteral(nFlags);
    }
}

// A bracket expression; the cursor is past the "[".
char16_t* CRegCompilerBase::ParseBracket(int& nFlags) {
    char16_t* pRet;
    if (*m_pParse == u'^') {
        pRet = EmitNode(OP_NOT_IN_SET);
        ++m_pParse;
    } else {
        pRet = EmitNode(OP_IN_SET);
    }
    // A leading "]" or "-" is a member, not the end or a range.
    if (*m_pParse == u']' || *m_pParse == u'-') EmitUnit(*m_pParse++);
    while (*m_pParse != 0 && *m_pParse != u']') {
        if (*m_pParse == u'-') {
            ++m_pParse;
            if (*m_pParse == u']' || *m_pParse == 0) {
                EmitUnit(u'-');
            } else {
                // The range's start is the unit before the "-"; it is emitted already.
                const int nStart = m_pParse[-2];
                const int nEnd = *m_pParse;
                if (nEnd < nStart) return Fail(REG_ERR_INVALID_RANGE);
                for (int nUnit = nStart + 1; nUnit <= nEnd; ++nUnit) EmitUnit(static_cast<char16_t>(nUnit));
                ++m_pParse;
            }
        } else {
            EmitUnit(*m_pParse++);
        }
    }
    EmitUnit(0);
    if (*m_pParse != u']') return Fail(REG_ERR_UNMATCHED_BRACKET);
    ++m_pParse;
    nFlags = REG_FLAG_NONEMPTY | REG_FLAG_SIMPLE;
    return pRet;
}

// A run of literal units starting at the cursor. A unit followed by a
// repetition operator is left out of a longer run, so that the operator
// applies to that unit alone.
char16_t* CRegCompilerBase::ParseLiteral(int& nFlags) {
    char16_t* pRet = EmitNode(OP_LITERAL);
    const char16_t* pBack = nullptr;  // where the last unit of the run began
    char16_t ch = *m_pParse++;
    for (;;) {
        const char16_t chNext = *m_pParse;
        if (EndsLiteralRun(chNext)) {
            EmitUnit(ch);
            break;
        }
        if (IsRepeatOperator(chNext)) {
            if (pBack != nullptr) {
                m_pParse = pBack;
            } else {
                EmitUnit(ch);
            }
            break;
        }
        EmitUnit(ch);
        if (chNext == u'\\') {
            const char16_t chEscaped = m_pParse[1];
            if (chEscaped == 0 || chEscaped == u'<' || chEscaped == u'>') break;
            pBack = m_pParse;
            m_pParse += 2;
            ch = chEscaped;
        } else {
            pBack = m_pParse;
            ch = *m_pParse++;
        }
    }
    EmitUnit(0);
    nFlags = REG_FLAG_NONEMPTY | (pBack == nullptr ? REG_FLAG_SIMPLE : 0);
    return pRet;
}

char16_t* CRegCompiler::EmitNode(char16_t op) {
    char16_t* pNode = m_pEmit;
    pNode[0] = op;
    pNode[1] = 0;
    pNode[2] = 0;
    m_pEmit += 3;
    return pNode;
}

void CRegCompiler::InsertNode(char16_t op, char16_t* pNode) {
    std::memmove(pNode + 3, pNode, static_cast<size_t>(m_pEmit - pNode) * sizeof(char16_t));
    m_pEmit += 3;
    pNode[0] = op;
    pNode[1] = 0;
    pNode[2] = 0;
}

void CRegCompiler::LinkTail(char16_t* pChain, char16_t* pTarget) {
    char16_t* pLast = pChain;
    for (char16_t* pNext = Next(pLast); pNext != nullptr; pNext = Next(pLast)) pLast = pNext;
    const ptrdiff_t nOffset = Opcode(pLast) == OP_LOOP ? pLast - pTarget : pTarget - pLast;
    pLast[1] = static_cast<char16_t>(static_cast<int16_t>(nOffset));
}

void CRegCompiler::LinkBranchTail(char16_t* pNode, char16_t* pTarget) {
    if (Opcode(pNode) == OP_ALT) LinkTail(Operand(pNode), pTarget);
}

bool regcomp(const char16_t* pszPattern, CRegProgram& program) {
    program.m_bCompiled = false;
    program.m_pProgram.reset();
    program.m_nSize = 0;
    program.m_nNodes = 0;
    program.m_chFirst = 0;
    program.m_nAnchored = 0;
    program.m_pRequired = nullptr;
    program.m_nRequiredLength = 0;
    if (pszPattern == nullptr) {
        program.RecordError(REG_ERR_NULL_COMP);
        return false;
    }

    // Sizing pass: a syntax error stops compilation here.
    CRegValidator validator(pszPattern);
    int nFlags = 0;
    if (validator.Parse(nFlags) == nullptr) {
        program.RecordErrorText(validator.GetError());
        return false;
    }
    const int32_t nSize = validator.GetSize();
    if (nSize >= REG_MAX_PROGRAM) {
        program.RecordError(REG_ERR_TOO_BIG);
        return false;
    }

    // Emitting pass into a buffer of exactly the counted size.
    std::unique_ptr<char16_t[]> pProgram(new (std::nothrow) char16_t[static_cast<size_t>(nSize)]);
    if (pProgram == nullptr) {
        program.RecordError(REG_ERR_TOO_BIG);
        return false;
    }
    CRegCompiler compiler(pszPattern, pProgram.get());
    if (compiler.Parse(nFlags) == nullptr || compiler.GetEmitCursor() != pProgram.get() + nSize) {
        program.RecordErrorText(compiler.GetError());
        return false;
    }
    program.m_nSize = nSize;
    program.m_nNodes = validator.GetNodes();
    program.m_pProgram = std::move(pProgram);

    // Hints that let the matcher skip hopeless positions, for a pattern with
    // a single top-level alternative.
    const char16_t* pBranch = program.m_pProgram.get() + 1;
    const char16_t* pAfter = CRegProgramAccessor::Next(pBranch);
    if (pAfter != nullptr && CRegProgramAccessor::Opcode(pAfter) == OP_END) {
        const char16_t* pScan = CRegProgramAccessor::Operand(pBranch);
        if (CRegProgramAccessor::Opcode(pScan) == OP_LITERAL) {
            program.m_chFirst = *CRegProgramAccessor::Operand(pScan);
        } else if (CRegProgramAccessor::Opcode(pScan) == OP_AT_START) {
            program.m_nAnchored = 1;
        }
        // A pattern that starts with a repetition is costly to try at each
        // position; a literal it must contain can rule a subject out first.
        if (nFlags & REG_FLAG_LEADREP) {
            const char16_t* pLongest = nullptr;
            size_t nLongest = 0;
            for (; pScan != nullptr; pScan = CRegProgramAccessor::Next(pScan)) {
                if (CRegProgramAccessor::Opcode(pScan) != OP_LITERAL) continue;
                const size_t nLength = UnitLength(CRegProgramAccessor::Operand(pScan));
                if (nLength >= nLongest) {
                    pLongest = CRegProgramAccessor::Operand(pScan);
                    nLongest = nLength;
                }
            }
            program.m_pRequired = pLongest;
            program.m_nRequiredLength = static_cast<int32_t>(nLongest);
        }
    }
    program.m_bCompiled = true;
    return true;
}
