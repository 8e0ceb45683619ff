// Text that came from the network: bounded and cleaned for the printer
// list, and made harmless for a terminal, a CSV file or a JSON document.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// C0 controls, DEL and C1 controls: they move a terminal's cursor, switch its
// modes or start escape sequences.
bool IsControlCharacter(char16_t ch);
// The characters that reorder the text around them (Unicode's Bidi_Control
// set): an override makes "fdp.exe" show as "exe.pdf".
bool IsBidiControl(char16_t ch);

// UTF-8 from a peer, decoded (invalid bytes become U+FFFD), control
// characters and the line and paragraph separators turned into spaces, and
// cut to at most nMaxUnits UTF-16 units without splitting a surrogate pair.
// The work is bounded by nMaxUnits, whatever the input's length.
std::u16string BoundedNetworkText(std::string_view utf8, size_t nMaxUnits);
// The same, without white space at either end.
std::u16string TrimmedNetworkText(std::string_view utf8, size_t nMaxUnits);

enum class PrintTarget {
    TERMINAL,  // one line: every control and reordering character is '?'
    CSV,       // as TERMINAL, but line feeds, tabs and CRLF stay (CSV quotes them)
};
// UTF-8 that can be shown as it is; anything that could steer the terminal
// or reorder its line becomes '?'.
std::string PrintableText(std::u16string_view text, PrintTarget target);

// A serialised JSON text (valid UTF-8) with every control and reordering
// character that its writer left raw (DEL, C1, the bidi controls, U+2028 and
// U+2029) written as a \uXXXX escape. Such characters occur only inside
// strings, so the document means exactly what it meant before.
std::string EscapeUnsafeJsonCharacters(std::string_view json);
