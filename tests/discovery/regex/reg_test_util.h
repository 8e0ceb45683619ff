// Helpers shared by the engine's tests.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "reg_program.h"

inline std::vector<unsigned> ProgramUnits(const CRegProgram& program) {
    return std::vector<unsigned>(program.m_pProgram.get(), program.m_pProgram.get() + program.m_nSize);
}

// Narrow ASCII test text as UTF-16.
inline std::u16string U(const char* psz) {
    return std::u16string(psz, psz + std::char_traits<char>::length(psz));
}

inline std::string Narrow(const std::u16string& str) {
    std::string out;
    for (char16_t ch : str) out += ch < 128 ? static_cast<char>(ch) : '?';
    return out;
}

// A parameterised case's name: its number, then its pattern (and subject)
// with every character a test name cannot hold spelt as a word, so a failure
// says which case failed ("07_a_Star_b_on_aab").
inline std::string SpeltForTestName(const std::string& strText) {
    static const std::pair<char, const char*> WORDS[] = {
        {'*', "Star"}, {'+', "Plus"},   {'?', "Query"},      {'|', "Or"},     {'(', "Open"},  {')', "Close"},
        {'[', "Set"},  {']', "SetEnd"}, {'^', "Caret"},      {'$', "Dollar"}, {'.', "Dot"},   {'\\', "Esc"},
        {'{', "Rep"},  {'}', "RepEnd"}, {',', "Comma"},      {'-', "Dash"},   {' ', "Space"}, {'<', "Lt"},
        {'>', "Gt"},   {':', "Colon"},  {'_', "Underscore"}, {'/', "Slash"}};
    std::string strName;
    bool bWordBefore = false;
    for (unsigned char ch : strText) {
        const char* pszWord = nullptr;
        for (const auto& [c, psz] : WORDS) {
            if (c == static_cast<char>(ch)) pszWord = psz;
        }
        char szHex[8];
        if (pszWord == nullptr && !std::isalnum(ch)) {
            std::snprintf(szHex, sizeof szHex, "x%02X", ch);
            pszWord = szHex;
        }
        if (pszWord != nullptr) {
            strName += strName.empty() ? "" : "_";
            strName += pszWord;
            bWordBefore = true;
        } else {
            strName += bWordBefore ? "_" : "";
            strName += static_cast<char>(ch);
            bWordBefore = false;
        }
        if (strName.size() > 48) return strName.substr(0, 48) + "_etc";
    }
    return strName.empty() ? "Empty" : strName;
}

inline std::string TextOf(const char* psz) {
    return psz != nullptr ? psz : "";
}
inline std::string TextOf(const std::u16string& str) {
    return Narrow(str);
}

struct RegCaseName {
    template <typename P>
    std::string operator()(const testing::TestParamInfo<P>& info) const {
        char szIndex[8];
        std::snprintf(szIndex, sizeof szIndex, "%02zu_", info.index);
        std::string strName = szIndex;
        if constexpr (requires { info.param.pszPattern; }) {
            strName += SpeltForTestName(TextOf(info.param.pszPattern));
        } else {
            strName += SpeltForTestName(TextOf(info.param.strPattern));
        }
        if constexpr (requires { info.param.strSubject; }) {
            strName += "_on_" + SpeltForTestName(TextOf(info.param.strSubject));
        }
        return strName;
    }
};
