// Compiles arbitrary patterns and matches them against arbitrary subjects,
// both through the pattern object (case-folded) and through regcomp and
// regexec directly, and checks what every result must satisfy.
//
// Input: the pattern's bytes, a zero byte, the subject's bytes (without a
// zero byte the pattern is matched against its own text). A byte stands for
// the unit of the same value, except that a byte from 0xF0 up takes the next
// two bytes as one unit (high byte first), so that every 16-bit value can
// be reached while the corpus stays readable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "reg_pattern.h"
#include "reg_program.h"

namespace {

std::u16string Decode(const uint8_t* pData, size_t nSize) {
    std::u16string str;
    for (size_t i = 0; i < nSize; ++i) {
        char16_t ch = pData[i];
        if (pData[i] >= 0xF0 && i + 2 < nSize) {
            ch = static_cast<char16_t>((pData[i + 1] << 8) | pData[i + 2]);
            i += 2;
        }
        if (ch != 0) str += ch;  // text is zero-terminated: no zero inside
    }
    return str;
}

// Units that the ranges of bracket expressions span, counted generously
// (every "x-y"). Each unit of a range is a unit of program to size and
// emit: a few ranges over the whole 16-bit space make a program of tens of
// thousands of units, and the fuzzer would spend its time there. The
// program-size limit itself is covered by the compile tests.
constexpr int64_t MAX_RANGE_UNITS = 1024;

int64_t RangeUnits(const std::u16string& strPattern) {
    int64_t nUnits = 0;
    for (size_t i = 2; i < strPattern.size(); ++i) {
        if (strPattern[i - 1] == u'-' && strPattern[i] > strPattern[i - 2]) {
            nUnits += strPattern[i] - strPattern[i - 2];
        }
    }
    return nUnits;
}

void Check(bool bCondition) {
    if (!bCondition) std::abort();
}

// Every result must describe a part of the subject; the hints must hold for
// the match that was found. The engine's own work bound keeps backtracking
// inputs cheap, as it grows with the pattern and the subject.
void CheckProgramMatch(CRegProgram& program, const std::u16string& strSubject) {
    const char16_t* pszSubject = strSubject.c_str();
    const bool bMatched = regexec(program, pszSubject);
    const char16_t* pStart = program.m_apStart[0];
    const char16_t* pEnd = program.m_apEnd[0];
    if (!bMatched) {
        Check(pStart == nullptr && pEnd == nullptr);
        return;
    }
    Check(pStart != nullptr && pEnd != nullptr);
    Check(pStart >= pszSubject && pStart <= pEnd && pEnd <= pszSubject + strSubject.size());
    const std::u16string_view match(pStart, static_cast<size_t>(pEnd - pStart));
    if (program.m_nAnchored) Check(pStart == pszSubject);
    if (program.m_chFirst != 0) Check(!match.empty() && match[0] == program.m_chFirst);
    if (program.m_pRequired != nullptr) {
        const std::u16string_view required(program.m_pRequired,
                                           static_cast<size_t>(program.m_nRequiredLength));
        Check(match.find(required) != std::u16string_view::npos);
    }
    for (int i = 1; i < REG_SUBEXPRESSIONS; ++i) {
        if (program.m_apStart[i] == nullptr || program.m_apEnd[i] == nullptr) continue;
        Check(program.m_apStart[i] >= pStart && program.m_apStart[i] <= pEnd);
        Check(program.m_apEnd[i] >= pStart && program.m_apEnd[i] <= pEnd);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    size_t nSplit = 0;
    while (nSplit < nSize && pData[nSplit] != 0) ++nSplit;
    const std::u16string strPattern = Decode(pData, nSplit);
    const std::u16string strSubject =
        nSplit < nSize ? Decode(pData + nSplit + 1, nSize - nSplit - 1) : strPattern;

    if (RangeUnits(strPattern) > MAX_RANGE_UNITS) return -1;  // not kept in the corpus

    // The pattern taken literally.
    CRegProgram program;
    if (regcomp(strPattern.c_str(), program)) {
        Check(program.m_bCompiled && program.GetError().empty());
        Check(program.m_nSize > 3 && program.m_nSize < REG_MAX_PROGRAM);
        Check(program.m_pProgram[0] == REG_MAGIC);
        CheckProgramMatch(program, strSubject);
    } else {
        Check(!program.m_bCompiled && !program.GetError().empty());
    }

    // The pattern as callers use it, folded to either case.
    CRegPattern pattern(strPattern.c_str());
    if (!pattern.IsCompiled()) {
        Check(!pattern.GetErrorText().empty());
        return 0;
    }
    const bool bMatched = pattern.Match(strSubject);
    const int32_t nLength = pattern.MatchLength();
    const std::u16string strMatch = pattern.MatchText();
    Check(nLength >= 0 && static_cast<size_t>(nLength) == strMatch.size());
    if (bMatched) {
        Check(strSubject.find(strMatch) != std::u16string::npos);
    } else {
        Check(nLength == 0);
    }
    return 0;
}
