// The connector's JSON text form, written by hand (see json.cpp for why no library): compact,
// pure ASCII, "\/" for the solidus, every UTF-16 code unit from U+0080 up as an upper-case \u
// escape.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "protocol/json.h"

namespace tolvenar {
namespace {

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
