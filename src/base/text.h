// Text helpers shared by every module. All text in the core is UTF-8.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace tolvenar {

// Trimming: each function removes one set of characters from both ends and
// is named after its set.

// Every character of code U+0020 or lower: the controls U+0000-U+001F
// (CR, LF, tab, NUL...) and the space.
std::string TrimControlsAndSpaces(std::string_view text);

// The C whitespace except the line feed: space, tab, CR, VT and FF. For text
// already cut into lines at LF, where a CR left before it is blank. Returns
// a view into `text`.
std::string_view TrimWhitespaceExceptLineFeed(std::string_view text);

// Space and tab only, the blanks of an HTTP header line. Returns a view into
// `text`.
std::string_view TrimSpacesAndTabs(std::string_view text);

// Removes trailing "/" characters again and again.
std::string StripTrailingSlashes(std::string_view text);

// Folds only the ASCII letters a..z onto A..Z; every other byte unchanged.
std::string AsciiUpper(std::string_view text);

// Equal length and equal bytes after folding ASCII a..z onto A..Z.
bool SameTextAscii(std::string_view a, std::string_view b);

// True when `text` begins with `prefix`, ASCII letters compared without case.
bool StartsWithAsciiNoCase(std::string_view text, std::string_view prefix);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view bytes);

// Appends the UTF-8 form of a code point; a lone surrogate gets the same
// three-byte pattern, so UTF-16 text with one survives a round trip.
void AppendUtf8(std::string& out, char32_t cp);

// The code point at `pos`, advancing `pos`. Accepts the three-byte form of a
// surrogate; a malformed sequence gives U+FFFD for its first byte alone.
char32_t NextCodePoint(std::string_view text, size_t& pos);

// Text from a peer made fit to stand inside one log line: every byte that
// is not valid UTF-8 and every character that could forge or disguise a
// line becomes "?": the controls U+0000-U+001F and U+007F-U+009F, the line
// and paragraph separators U+2028 and U+2029, and the bidirectional
// controls U+061C, U+200E, U+200F, U+202A-U+202E and U+2066-U+2069. The
// text is cut after `max_characters` characters (never inside a UTF-8
// sequence). Valid text without those comes back unchanged.
std::string LoggableText(std::string_view text, size_t max_characters = 200);

// Runs of characters below U+0020 (a CR LF inside a message) become one
// blank; none is kept at the start.
std::string FoldControlRuns(std::string_view text);

// Text from a file or a peer made fit to stand as one line of a report:
// runs of characters below U+0020 become one blank (FoldControlRuns), then
// the result is cleaned and cut as LoggableText does. A report line holds
// a server's whole error message, hence 500 characters unless told.
std::string OneLineLoggableText(std::string_view text, size_t max_characters = 500);

// The number of code points of UTF-8 text (a malformed byte counts as one).
size_t CodePointCount(std::string_view text);

// Drops a leading UTF-8 byte-order mark (EF BB BF), if any.
std::string_view DropUtf8Bom(std::string_view bytes);

// Text of a length fixed at compile time, NUL-terminated: a constant made of
// other constants (JoinText).
template <size_t N>
struct FixedText {
  char chars[N + 1] = {};
  constexpr const char* c_str() const { return chars; }
  constexpr operator std::string_view() const { return {chars, N}; }
};

// The string literals or char arrays one after the other, each without its
// closing NUL, at compile time.
template <size_t... N>
constexpr FixedText<(N + ... + 0) - sizeof...(N)> JoinText(const char (&... parts)[N]) {
  FixedText<(N + ... + 0) - sizeof...(N)> joined;
  size_t at = 0;
  ((std::copy_n(parts, N - 1, joined.chars + at), at += N - 1), ...);
  return joined;
}

}  // namespace tolvenar
