// The connector's JSON text form, written by hand (see json.cpp for why no library): compact,
// pure ASCII, "\/" for the solidus, every UTF-16 code unit from U+0080 up as an upper-case \u
// escape.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/json.h"

namespace tolvenar {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one character at `pos` and advances past it. Accepts the three-byte form of a lone
// surrogate (as the reader produces it); any byte that does not start a well-formed sequence
// counts as U+FFFD on its own.
char32_t NextCodePoint(std::string_view text, size_t& pos) {
  const unsigned char lead = static_cast<unsigned char>(text[pos]);
  size_t extra;
  char32_t cp;
  char32_t min;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    cp = lead & 0x1F;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    cp = lead & 0x0F;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    cp = lead & 0x07;
    min = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (text.size() - pos <= extra) {
    ++pos;
    return kReplacement;
  }
  for (size_t k = 1; k <= extra; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[pos + k]);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) {
    ++pos;
    return kReplacement;
  }
  pos += extra + 1;
  return cp;
}

void AppendUnitEscape(std::string& out, char32_t unit) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\u";
  out.push_back(kHex[(unit >> 12) & 0xF]);
  out.push_back(kHex[(unit >> 8) & 0xF]);
  out.push_back(kHex[(unit >> 4) & 0xF]);
  out.push_back(kHex[unit & 0xF]);
}

void AppendAscii(std::string& out, char c) {
  switch (c) {
    case '\b':
      out += "\\b";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\r':
      out += "\\r";
      return;
    case '"':
      out += "\\\"";
      return;
    case '/':
      out += "\\/";
      return;
    case '\\':
      out += "\\\\";
      return;
    default:
      break;
  }
  if (static_cast<unsigned char>(c) < 0x20) {
    AppendUnitEscape(out, static_cast<unsigned char>(c));
  } else {
    out.push_back(c);
  }
}

}  // namespace

std::string WriteJSONString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = NextCodePoint(text, pos);
    if (cp < 0x80) {
      AppendAscii(out, static_cast<char>(cp));
    } else if (cp < 0x10000) {
      AppendUnitEscape(out, cp);
    } else {
      const char32_t offset = cp - 0x10000;
      AppendUnitEscape(out, 0xD800 + (offset >> 10));
      AppendUnitEscape(out, 0xDC00 + (offset & 0x3FF));
    }
  }
  out.push_back('"');
  return out;
}

void JsonObjectWriter::AddString(std::string_view name, std::string_view value) {
  if (!members_.empty()) members_.push_back(',');
  members_ += WriteJSONString(name);
  members_.push_back(':');
  members_ += WriteJSONString(value);
}

void JsonObjectWriter::AddInteger(std::string_view name, int64_t value) {
  if (!members_.empty()) members_.push_back(',');
  members_ += WriteJSONString(name);
  members_.push_back(':');
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  members_.append(digits, result.ptr);
}

std::string JsonObjectWriter::ToString() const { return "{" + members_ + "}"; }

}  // namespace tolvenar
