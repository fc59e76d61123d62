#pragma once

// Text from outside, file names above all, as it is shown on one line of
// output: a name may hold any byte but "/" and NUL, and one planted in a
// shared folder could otherwise end the line and forge the next
// ("Successfully signed: ..."), move a terminal's cursor, or turn the line
// around. Control characters are shown escaped:
// - C0 controls and DEL: \t, \n and \r, the others \xHH ("\x1b");
// - C1 controls (U+0080 to U+009F), the line and paragraph separators
//   (U+2028, U+2029) and the bidirectional embeddings, overrides and
//   isolates (U+202A to U+202E, U+2066 to U+2069): \uHHHH ("\u2028").
// Everything else stays as it is, bytes that are not UTF-8 too, and so does
// a backslash: the result holds no control character, and escaping it again
// changes nothing, so output that passes through several programs (the
// tools' through the window's console) is escaped once.
//
// Plain C++ without Qt, so that the window and the SDK tools share it.

#include <string>
#include <string_view>

namespace safefile {

// Whether the code point is shown escaped.
bool isEscapedWhenShown(char32_t codePoint);

// How an escaped code point is shown ("\n", "\x1b", "\u2028").
std::string escapeOf(char32_t codePoint);

// How many bytes the character at `at` of `utf8` takes when it is one that
// is shown escaped; 0 when it is shown as it is.
size_t escapedLengthAt(std::string_view utf8, size_t at);

// `utf8` with its control characters escaped.
std::string shownText(std::string_view utf8);

} // namespace safefile
