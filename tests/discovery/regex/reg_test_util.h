// Helpers shared by the engine's tests.
#pragma once

#include <string>
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
