// The character encodings of the profiles file. Text inside the connector is
// UTF-8; the file may be UTF-8 (with or without byte-order mark), UTF-16LE
// with its byte-order mark, or Windows-1252 (what Notepad and older tools
// write on a Brazilian Windows when the text is not valid UTF-8).
#pragma once

#include <string>
#include <string_view>

namespace tolvenar {

enum class IniCharset { kUtf8, kUtf16Le, kWindows1252 };

struct IniEncoding {
  IniCharset charset = IniCharset::kUtf8;
  // An EF BB BF mark before UTF-8 (or, rarely, Windows-1252) text. A UTF-16LE
  // file always has its FF FE mark.
  bool bom = false;
};

// A file's text as UTF-8, with what it takes to write it back byte for byte.
struct IniText {
  IniEncoding encoding;
  // UTF-8. An unpaired surrogate of a UTF-16 file is kept as its three-byte
  // form (as in WTF-8) so that it is written back unchanged.
  std::string utf8;
  // The odd last byte of a UTF-16 file, written back as it was.
  std::string trailing_bytes;
};

// Recognises the encoding: FF FE is UTF-16LE; otherwise valid UTF-8 (after an
// optional EF BB BF) is UTF-8, pure ASCII included; anything else is
// Windows-1252. Never fails.
IniText DecodeIni(std::string_view bytes);

// The file's bytes for `text` in text.encoding. Text that Windows-1252 cannot
// hold turns a Windows-1252 file into UTF-8 with a byte-order mark: the
// whole file is converted, and the mark keeps the new encoding unambiguous.
std::string EncodeIni(const IniText& text);

}  // namespace tolvenar
