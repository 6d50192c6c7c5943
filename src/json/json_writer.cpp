// The connector's JSON text form, written by hand (see json.cpp for why no library): compact,
// pure ASCII, "\/" for the solidus, every UTF-16 code unit from U+0080 up as an upper-case \u
// escape.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "base/text.h"
#include "json/json.h"

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

// The two-character escape of `c`, or "" when it has none.
std::string_view ShortEscape(char c) {
  switch (c) {
    case '\b':
      return "\\b";
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\f':
      return "\\f";
    case '\r':
      return "\\r";
    case '"':
      return "\\\"";
    case '/':
      return "\\/";
    case '\\':
      return "\\\\";
    default:
      return {};
  }
}

void AppendAscii(std::string& out, char c) {
  const std::string_view escape = ShortEscape(c);
  if (!escape.empty()) {
    out += escape;
  } else if (static_cast<unsigned char>(c) < 0x20) {
    AppendUnitEscape(out, static_cast<unsigned char>(c));
  } else {
    out.push_back(c);
  }
}

// An ASCII character written as itself.
bool IsPlain(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && byte < 0x80 && c != '"' && c != '\\' && c != '/';
}

}  // namespace

size_t JSONStringLength(std::string_view text) {
  size_t length = 2;
  size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (IsPlain(c)) {
      ++length;
      ++pos;
    } else if (static_cast<unsigned char>(c) < 0x80) {
      length += ShortEscape(c).empty() ? 6 : 2;
      ++pos;
    } else {
      length += NextCodePoint(text, pos) >= 0x10000 ? 12 : 6;
    }
  }
  return length;
}

void AppendJSONString(std::string& out, std::string_view text) {
  out.push_back('"');
  size_t pos = 0;
  while (pos < text.size()) {
    // Runs of plain characters go in one piece.
    size_t end = pos;
    while (end < text.size() && IsPlain(text[end])) ++end;
    out.append(text, pos, end - pos);
    pos = end;
    if (pos == text.size()) break;
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      AppendAscii(out, text[pos++]);
      continue;
    }
    const char32_t cp = NextCodePoint(text, pos);
    if (cp < 0x10000) {
      AppendUnitEscape(out, cp);
    } else {
      const char32_t offset = cp - 0x10000;
      AppendUnitEscape(out, 0xD800 + (offset >> 10));
      AppendUnitEscape(out, 0xDC00 + (offset & 0x3FF));
    }
  }
  out.push_back('"');
}

std::string WriteJSONString(std::string_view text) {
  std::string out;
  out.reserve(JSONStringLength(text));
  AppendJSONString(out, text);
  return out;
}

void JsonObjectWriter::StartMember(std::string_view name, size_t value_length) {
  const size_t needed = text_.size() + 1 + JSONStringLength(name) + 1 + value_length + 1;
  // Room for a few short members more, so that a large member is not moved
  // again by the next small one.
  if (needed > text_.capacity()) text_.reserve(needed + kSpareCapacity);
  if (text_.size() > 1) text_.push_back(',');
  AppendJSONString(text_, name);
  text_.push_back(':');
}

void JsonObjectWriter::AddString(std::string_view name, std::string_view value) {
  StartMember(name, JSONStringLength(value));
  AppendJSONString(text_, value);
}

void JsonObjectWriter::AddInteger(std::string_view name, int64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  StartMember(name, static_cast<size_t>(result.ptr - digits));
  text_.append(digits, result.ptr);
}

std::string JsonObjectWriter::ToString() const& { return text_ + "}"; }

std::string JsonObjectWriter::ToString() && {
  text_.push_back('}');
  return std::move(text_);
}

}  // namespace tolvenar
