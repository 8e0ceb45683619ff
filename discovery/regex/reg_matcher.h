// One run of a compiled program against one subject (see regexec).
#pragma once

#include <cstdint>

#include "reg_program.h"

// Matching recurses once per alternative tried, per repetition count tried
// and per group, so a loop over a group costs a few levels per unit of the
// subject. Past this depth a match gives up instead of exhausting the stack
// of the thread it runs on.
constexpr int32_t REG_MAX_DEPTH = 4000;
// Backtracking can take exponential time ("(a|a)*b"), so one regexec gives
// up past a bound on its steps of work. The bound grows with what the input
// can need: REG_STEPS_PER_CELL steps for each subject position (the
// terminator included) and each unit of the program's weight, that is its
// nodes plus the steps a scan of all its sets and literals costs; at least
// REG_MIN_STEPS. The address pattern (weight 48, so 192 steps per subject
// unit) needs at most about 55 per unit, while a short pathological input
// gives up after a few thousand steps rather than millions. A search whose
// every attempt walks far through a long subject can meet the bound; long
// subjects are held to REG_MAX_STEPS plus REG_STEPS_PER_UNIT per unit.
constexpr int64_t REG_MIN_STEPS = 256;
constexpr int64_t REG_STEPS_PER_CELL = 4;
constexpr int64_t REG_MAX_STEPS = 5000000;
constexpr int64_t REG_STEPS_PER_UNIT = 256;
// Unit comparisons cost far less than a step: a set or literal of many units
// counts one step per this many units compared.
constexpr int64_t REG_UNITS_PER_STEP = 16;

// The step bound of regexec for a compiled program and a subject of nLength
// units.
int64_t RegStepBound(const CRegProgram& program, int64_t nLength);

class CRegMatcher : public CRegProgramAccessor {
public:
    CRegMatcher(CRegProgram& program, const char16_t* pszSubject, int64_t nMaxSteps);

    // One attempt at a position of the subject; on success records the
    // whole match as position 0.
    bool TryAt(const char16_t* pPosition);
    // True once a bound was passed: no further attempt can succeed.
    bool IsAborted() const { return m_bAborted; }

    // How many times a simple item matches in a row from a position.
    int32_t regrepeat(const char16_t* pItem, const char16_t* pPosition);

    // For measurement: the deepest recursion and the work done so far.
    int32_t GetMaxDepthReached() const { return m_nMaxDepth; }
    int64_t GetSteps() const { return m_nSteps; }

private:
    bool MatchChain(const char16_t* pNode);
    bool InSet(const char16_t* pszSet, char16_t ch);  // counts the units compared as work
    bool Abort(int nCode);

    const char16_t* m_pInput;      // current input position
    const char16_t* m_pSubject;    // subject start
    const char16_t** m_apStart;    // the program's, borrowed
    const char16_t** m_apEnd;      // the program's, borrowed
    const CRegProgram& m_program;  // borrowed
    int32_t m_nDepth = 0;
    int32_t m_nMaxDepth = 0;
    int64_t m_nSteps = 0;
    int64_t m_nMaxSteps;
    bool m_bAborted = false;
};
