// The two passes of compilation. One recursive-descent parser runs twice over
// the same pattern: CRegValidator only counts the units the program needs,
// CRegCompiler then writes them into a buffer of exactly that size. The
// passes differ only in the five emit operations.
#pragma once

#include <cstdint>

#include "reg_program.h"

// Flags a parse step passes upward.
constexpr int REG_FLAG_NONEMPTY = 1;  // always consumes at least one unit
constexpr int REG_FLAG_SIMPLE = 2;    // one node that matches exactly one unit
constexpr int REG_FLAG_LEADREP = 4;   // starts with a repetition

class CRegCompilerBase : public CRegProgramAccessor {
public:
    explicit CRegCompilerBase(const char16_t* pszPattern) : m_pParse(pszPattern) {}
    virtual ~CRegCompilerBase() = default;

    // Parses the whole pattern. Returns its first node, or null after a
    // syntax error (recorded in this pass's error text); nFlags receives the
    // whole pattern's flags.
    char16_t* Parse(int& nFlags);

protected:
    // Appends one unit: a set member, a literal character or a terminator.
    virtual void EmitUnit(char16_t ch) = 0;
    // Appends a node header and returns where the node is.
    virtual char16_t* EmitNode(char16_t op) = 0;
    // Inserts a node header in front of pNode, moving it and all after it on.
    virtual void InsertNode(char16_t op, char16_t* pNode) = 0;
    // Points the next link of the chain's last node at pTarget.
    virtual void LinkTail(char16_t* pChain, char16_t* pTarget) = 0;
    // LinkTail on the operand of an OP_ALT node; nothing for other nodes.
    virtual void LinkBranchTail(char16_t* pNode, char16_t* pTarget) = 0;

private:
    char16_t* ParseAlternation(bool bGroup, int& nFlags);
    char16_t* ParseSequence(int& nFlags);
    char16_t* ParsePiece(int& nFlags);
    char16_t* ParseAtom(int& nFlags);
    char16_t* ParseBracket(int& nFlags);
    char16_t* ParseLiteral(int& nFlags);
    char16_t* Fail(int nCode) {
        RecordError(nCode);
        return nullptr;
    }

    const char16_t* m_pParse;  // the unit the parser looks at next
    int32_t m_nNextGroup = 1;
};

// Sizing pass: counts units, writes nothing.
class CRegValidator : public CRegCompilerBase {
public:
    explicit CRegValidator(const char16_t* pszPattern) : CRegCompilerBase(pszPattern) {}

    // Units the program needs, the magic unit included.
    int32_t GetSize() const { return m_nSize; }
    // Nodes among them.
    int32_t GetNodes() const { return m_nNodes; }

protected:
    void EmitUnit(char16_t) override { Grow(1); }
    char16_t* EmitNode(char16_t) override {
        Grow(3);
        CountNode();
        return m_aDummy;
    }
    void InsertNode(char16_t, char16_t*) override {
        Grow(3);
        CountNode();
    }
    void LinkTail(char16_t*, char16_t*) override {}
    void LinkBranchTail(char16_t*, char16_t*) override {}

private:
    // Saturates: a pattern of many wide ranges must not overflow the count;
    // anything this large is refused as too big anyway.
    void Grow(int32_t n) { m_nSize = m_nSize > INT32_MAX - n ? INT32_MAX : m_nSize + n; }
    void CountNode() { m_nNodes += m_nNodes < INT32_MAX ? 1 : 0; }

    int32_t m_nSize = 1;
    int32_t m_nNodes = 0;
    char16_t m_aDummy[3] = {OP_EMPTY, 0, 0};
};

// Emitting pass: writes into a buffer sized by CRegValidator.
class CRegCompiler : public CRegCompilerBase {
public:
    CRegCompiler(const char16_t* pszPattern, char16_t* pProgram)
        : CRegCompilerBase(pszPattern), m_pEmit(pProgram) {
        *m_pEmit++ = REG_MAGIC;
    }

    const char16_t* GetEmitCursor() const { return m_pEmit; }

protected:
    void EmitUnit(char16_t ch) override { *m_pEmit++ = ch; }
    char16_t* EmitNode(char16_t op) override;
    void InsertNode(char16_t op, char16_t* pNode) override;
    void LinkTail(char16_t* pChain, char16_t* pTarget) override;
    void LinkBranchTail(char16_t* pNode, char16_t* pTarget) override;

private:
    char16_t* m_pEmit;  // the next free unit
};
