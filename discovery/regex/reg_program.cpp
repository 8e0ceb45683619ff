#include "reg_program.h"

namespace {

// Indexed by error code; codes 6 to 9 and 23 belong to operations this
// engine does not offer but keep their numbers.
constexpr const char16_t* MESSAGES[] = {
    nullptr,
    u"NULL argument to regexec",
    u"corrupted regexp",
    u"regexp corruption",
    u"corrupted pointers",
    u"internal error: bad call of regrepeat",
    u"corrupted opcode",
    u"NULL parm to regsub",
    u"damaged regexp fed to regsub",
    u"damaged match string",
    u"NULL argument to regcomp",
    u"regexp too big",
    u"too many ()",
    u"unterminated ()",
    u"unmatched ()",
    u"internal error: junk on end",
    u"*+ operand could be empty",
    u"nested *?+",
    u"invalid [] range",
    u"unmatched []",
    u"internal error: \\0|) unexpected",
    u"?+* follows nothing",
    u"trailing \\",
    u"internal error: strcspn 0",
    u"NULL regexp",
    u"match too deep",
    u"match too long",
};
constexpr int MESSAGE_COUNT = static_cast<int>(sizeof(MESSAGES) / sizeof(MESSAGES[0]));

bool IsAsciiLetter(char16_t ch) {
    return (ch >= u'A' && ch <= u'Z') || (ch >= u'a' && ch <= u'z');
}

}  // namespace

const char16_t* RegErrorMessage(int nCode) {
    if (nCode < 1 || nCode >= MESSAGE_COUNT) return u"Unknown error";
    return MESSAGES[nCode];
}

size_t RegFoldCase(const char16_t* pszPattern, char16_t* pszOut) {
    size_t n = 0;
    bool bInBrackets = false;
    for (const char16_t* p = pszPattern; *p != 0; ++p) {
        const char16_t ch = *p;
        if (ch == u'[') {
            bInBrackets = true;
        } else if (ch == u']') {
            bInBrackets = false;
        } else if (!bInBrackets && IsAsciiLetter(ch)) {
            pszOut[n++] = u'[';
            pszOut[n++] = static_cast<char16_t>(ch & ~0x20);  // upper case
            pszOut[n++] = static_cast<char16_t>(ch | 0x20);   // lower case
            pszOut[n++] = u']';
            continue;
        }
        pszOut[n++] = ch;
    }
    pszOut[n] = 0;
    return n;
}
