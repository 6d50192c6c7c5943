#include "config/ini_encoding.h"

#include <array>
#include <optional>

#include "base/text.h"

namespace tolvenar {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves
// undefined map to the C1 control of the same value, as Windows converts
// them, so every byte reads and writes back unchanged.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string DecodeUtf16Le(std::string_view bytes, std::string* trailing) {
  std::string out;
  out.reserve(bytes.size());
  const size_t units = bytes.size() / 2;
  auto unit_at = [&](size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                 (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  };
  for (size_t i = 0; i < units; ++i) {
    const char16_t u = unit_at(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const char16_t low = unit_at(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, u);  // unpaired surrogates included
  }
  if (bytes.size() % 2 != 0) *trailing = std::string(bytes.substr(bytes.size() - 1));
  return out;
}

void AppendUtf16LeUnit(std::string& out, char32_t unit) {
  out.push_back(static_cast<char>(unit & 0xFF));
  out.push_back(static_cast<char>((unit >> 8) & 0xFF));
}

std::string EncodeUtf16Le(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() * 2);
  for (size_t pos = 0; pos < utf8.size();) {
    const char32_t cp = NextCodePoint(utf8, pos);
    if (cp >= 0x10000) {
      AppendUtf16LeUnit(out, 0xD800 + ((cp - 0x10000) >> 10));
      AppendUtf16LeUnit(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      AppendUtf16LeUnit(out, cp);
    }
  }
  return out;
}

std::string DecodeCp1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char ch : bytes) {
    const unsigned char b = static_cast<unsigned char>(ch);
    AppendUtf8(out, (b >= 0x80 && b <= 0x9F) ? char32_t(kCp1252High[b - 0x80]) : char32_t(b));
  }
  return out;
}

std::optional<char> Cp1252Byte(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (size_t i = 0; i < kCp1252High.size(); ++i) {
    if (kCp1252High[i] == cp) return static_cast<char>(0x80 + i);
  }
  return std::nullopt;
}

std::optional<std::string> EncodeCp1252(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t pos = 0; pos < utf8.size();) {
    // U+FFFD, malformed input included, has no Windows-1252 byte.
    const std::optional<char> byte = Cp1252Byte(NextCodePoint(utf8, pos));
    if (!byte) return std::nullopt;
    out.push_back(*byte);
  }
  return out;
}

}  // namespace

IniText DecodeIni(std::string_view bytes) {
  IniText text;
  if (bytes.starts_with(kUtf16LeBom)) {
    text.encoding = {IniCharset::kUtf16Le, true};
    text.utf8 = DecodeUtf16Le(bytes.substr(kUtf16LeBom.size()), &text.trailing_bytes);
    return text;
  }
  text.encoding.bom = bytes.starts_with(kUtf8Bom);
  if (text.encoding.bom) bytes.remove_prefix(kUtf8Bom.size());
  if (IsValidUtf8(bytes)) {
    text.encoding.charset = IniCharset::kUtf8;
    text.utf8 = std::string(bytes);
  } else {
    text.encoding.charset = IniCharset::kWindows1252;
    text.utf8 = DecodeCp1252(bytes);
  }
  return text;
}

std::string EncodeIni(const IniText& text) {
  switch (text.encoding.charset) {
    case IniCharset::kUtf16Le:
      return std::string(kUtf16LeBom) + EncodeUtf16Le(text.utf8) + text.trailing_bytes;
    case IniCharset::kWindows1252:
      if (std::optional<std::string> bytes = EncodeCp1252(text.utf8)) {
        return (text.encoding.bom ? std::string(kUtf8Bom) : std::string()) + *bytes;
      }
      return std::string(kUtf8Bom) + text.utf8;
    case IniCharset::kUtf8:
      break;
  }
  return (text.encoding.bom ? std::string(kUtf8Bom) : std::string()) + text.utf8;
}

}  // namespace tolvenar
