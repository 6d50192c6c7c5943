// IniFile: reads and edits the profiles file in memory.
//
// Our own reader and writer rather than the platform's private-profile
// functions: Linux has none, and an enrollment must change three keys in one
// atomic replacement of the file, where each WritePrivateProfileStringW call
// rewrites the file on its own.
//
// Lexical rules, the same on every platform:
// - Lines end with LF or CR LF. Blanks (space, tab, CR, VT, FF) around
//   section names, key names and values are ignored.
// - A line whose first non-blank character is ";" is a comment.
// - "[name]" starts a section; the name runs to the last "]" of the line (to
//   the end of the line when there is none).
// - "name=value" is a key; the name is what precedes the first "=". A line
//   with no "=" or with nothing before it, and any key before the first
//   section, belongs to no section and is ignored.
// - Section and key names match with ASCII letters compared without case.
//   Windows's own functions also fold non-ASCII letters; names in this file
//   are ASCII, and the ASCII rule does not depend on the machine's locale.
// - A section name that appears again continues the same section: it is
//   listed once, at its first position, with the spelling found there; a key
//   is read from the first occurrence that holds it, and a new key is added
//   to the first occurrence. Of a key repeated within the section, the first
//   wins.
// - A value is trimmed; then, when it both begins and ends with a double
//   quote, the two quotes are removed; then it is cut to 2047 characters
//   (code points). A key with nothing after "=" reads as empty text.
// Character encodings: see ini_encoding.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/ini_encoding.h"

namespace tolvenar {

class IniFile {
 public:
  // The longest value read, in characters.
  static constexpr size_t kMaxValueLength = 2047;

  // An empty file (no bytes), UTF-8.
  IniFile() = default;
  // Any bytes at all; never fails.
  static IniFile FromBytes(std::string_view bytes);

  // Every section name once, in file order, spelled as at its first place.
  std::vector<std::string> SectionNames() const;
  // The key's value, or nothing when the section has no such key.
  std::optional<std::string> Value(std::string_view section, std::string_view key) const;

  // Sets the key's value: in place when the key is present (the text after
  // its "=" is replaced), otherwise as a new line after the section's last
  // key, otherwise in a new section at the end of the file. Every other byte
  // of the file stays as it was. The value is written as given; false, and
  // nothing changed, when it is not valid UTF-8 or holds a line break, since
  // no line can hold it, or when it is longer than kMaxValueLength
  // characters, since it would be read back cut.
  bool SetValue(std::string_view section, std::string_view key, std::string_view value);

  // The file's bytes, in the file's own encoding (see EncodeIni).
  std::string ToBytes() const;

 private:
  struct Line {
    std::string body;
    std::string end;  // "\r\n", "\n", or "" for a last line without one
  };

  // Where a section's parts are, so that a lookup costs the same however
  // many sections the file holds. Names are folded with AsciiUpper.
  struct Section {
    std::string name;                              // spelling at its first place
    size_t header = 0;                             // line of its first header
    std::unordered_map<std::string, size_t> keys;  // key -> first line holding it
  };

  std::string NewLineEnd() const;
  // Builds the sections from the lines, in one pass.
  void Reindex();
  const Section* FindSection(std::string_view name) const;
  // Index of the line holding the key, in file order.
  std::optional<size_t> FindKeyLine(std::string_view section, std::string_view key) const;
  void InsertLine(size_t index, std::string body);

  IniEncoding encoding_;
  std::string trailing_bytes_;  // see IniText
  std::vector<Line> lines_;
  std::vector<Section> sections_;                          // in file order
  std::unordered_map<std::string, size_t> section_index_;  // folded name -> sections_
};

}  // namespace tolvenar
