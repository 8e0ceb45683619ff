#include "reg_pattern.h"

#include <new>

#include "reg_program.h"

namespace {

size_t UnitLength(const char16_t* psz) {
    size_t n = 0;
    while (psz[n] != 0) ++n;
    return n;
}

}  // namespace

CRegPattern::CRegPattern(const char16_t* pszPattern) : m_pProgram(new (std::nothrow) CRegProgram) {
    if (m_pProgram == nullptr) return;
    if (pszPattern == nullptr) {
        regcomp(nullptr, *m_pProgram);
        m_strError = m_pProgram->GetError();
        return;
    }
    // Every pattern is compiled case-insensitively outside brackets: each
    // letter may grow to four units.
    const size_t nLength = UnitLength(pszPattern);
    std::unique_ptr<char16_t[]> pszFolded(new (std::nothrow) char16_t[nLength * 4 + 1]);
    if (pszFolded == nullptr) {
        m_pProgram->RecordError(REG_ERR_TOO_BIG);
        m_strError = m_pProgram->GetError();
        return;
    }
    RegFoldCase(pszPattern, pszFolded.get());
    if (!regcomp(pszFolded.get(), *m_pProgram)) m_strError = m_pProgram->GetError();
}

CRegPattern::~CRegPattern() = default;

bool CRegPattern::IsCompiled() const {
    return m_pProgram != nullptr && m_pProgram->m_bCompiled;
}

bool CRegPattern::Match(const char16_t* pszSubject) {
    m_strError.clear();
    if (m_pProgram == nullptr) {
        m_strError = RegErrorMessage(REG_ERR_NULL_PATTERN);
        return false;
    }
    m_pProgram->ClearError();
    if (!m_pProgram->m_bCompiled) {
        // Nothing usable to run; forget any earlier match as well.
        for (int i = 0; i < REG_SUBEXPRESSIONS; ++i) {
            m_pProgram->m_apStart[i] = nullptr;
            m_pProgram->m_apEnd[i] = nullptr;
        }
        m_strError = RegErrorMessage(REG_ERR_NULL_PATTERN);
        return false;
    }
    return regexec(*m_pProgram, pszSubject);
}

int32_t CRegPattern::MatchLength() {
    m_strError.clear();
    if (m_pProgram == nullptr) {
        m_strError = RegErrorMessage(REG_ERR_NULL_PATTERN);
        return -1;
    }
    m_pProgram->ClearError();
    return static_cast<int32_t>(m_pProgram->m_apEnd[0] - m_pProgram->m_apStart[0]);
}

std::u16string CRegPattern::MatchText() {
    const int32_t nLength = MatchLength();
    if (nLength <= 0) return std::u16string();
    return std::u16string(m_pProgram->m_apStart[0], static_cast<size_t>(nLength));
}

std::u16string CRegPattern::GetErrorText() const {
    if (!m_strError.empty() || m_pProgram == nullptr) return m_strError;
    return m_pProgram->GetError();
}
