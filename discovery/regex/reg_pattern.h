// A compiled regular expression over UTF-16 text.
//
// The pattern is compiled once, when the object is built; letters outside
// bracket expressions match either case ("abc" finds "ABC"), letters inside
// a bracket expression keep theirs. Match finds the leftmost match in a
// zero-terminated subject; MatchLength and MatchText then describe it.
//
// Usage:
//   CRegPattern pattern(u"[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]\\.[1-2]?[0-9]?[0-9]");
//   if (pattern.IsCompiled() && pattern.Match(strUrl)) strAddress = pattern.MatchText();
//
// The recorded match points into the caller's subject, so the subject must
// outlive the call of MatchText; Match refuses temporary strings for that
// reason. One object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CRegProgram;

class CRegPattern {
public:
    // Absent text (null) gives a pattern that is not compiled.
    explicit CRegPattern(const char16_t* pszPattern);
    ~CRegPattern();

    CRegPattern(const CRegPattern&) = delete;
    CRegPattern& operator=(const CRegPattern&) = delete;

    bool IsCompiled() const;

    // True when the pattern matches somewhere in the subject; false as well
    // when the pattern is not compiled or the match gave up past its bounds
    // (GetErrorText then says why).
    bool Match(const char16_t* pszSubject);
    bool Match(const std::u16string& strSubject) { return Match(strSubject.c_str()); }
    bool Match(std::u16string&&) = delete;

    // Length in units of the last whole match: 0 after a failed Match or
    // before any; -1 when there is no compiled pattern object at all.
    int32_t MatchLength();
    // The last whole match, copied out of the subject given to Match.
    std::u16string MatchText();

    // The last failure recorded by this object or its compiled pattern;
    // empty when none.
    std::u16string GetErrorText() const;

    // The compiled pattern, for inspection; null when it could not be created.
    const CRegProgram* GetProgram() const { return m_pProgram.get(); }

private:
    std::u16string m_strError;
    std::unique_ptr<CRegProgram> m_pProgram;
};
