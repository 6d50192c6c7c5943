#include "base/text.h"

#include <algorithm>

namespace tolvenar {

namespace {

template <typename InSet>
std::string_view TrimWhere(std::string_view text, InSet in_set) {
  while (!text.empty() && in_set(text.front())) text.remove_prefix(1);
  while (!text.empty() && in_set(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string TrimControlsAndSpaces(std::string_view text) {
  return std::string(TrimWhere(text, [](char c) { return static_cast<unsigned char>(c) <= 0x20; }));
}

std::string_view TrimWhitespaceExceptLineFeed(std::string_view text) {
  return TrimWhere(
      text, [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; });
}

std::string_view TrimSpacesAndTabs(std::string_view text) {
  return TrimWhere(text, [](char c) { return c == ' ' || c == '\t'; });
}

std::string StripTrailingSlashes(std::string_view text) {
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  return std::string(text);
}

static char AsciiUpperChar(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpperChar(c);
  return out;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpperChar(a[i]) != AsciiUpperChar(b[i])) return false;
  }
  return true;
}

bool StartsWithAsciiNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

bool IsValidUtf8(std::string_view bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int extra;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= static_cast<size_t>(extra)) return false;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return false;
    if (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) return false;
    i += extra + 1;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

char32_t NextCodePoint(std::string_view text, size_t& pos) {
  constexpr char32_t kReplacement = 0xFFFD;
  const unsigned char lead = static_cast<unsigned char>(text[pos]);
  size_t extra;
  char32_t cp;
  char32_t min;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
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

namespace {

// Characters that change how the rest of a line reads: C0 and C1 controls
// (U+009B alone is a terminal's control sequence introducer), line and
// paragraph separators, and the directional marks, embeddings, overrides
// and isolates that make a viewer show text in another order than it was
// written.
bool IsLineControl(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string LoggableText(std::string_view text, size_t max_characters) {
  std::string out;
  out.reserve(std::min(text.size(), max_characters * 4));
  size_t pos = 0;
  for (size_t characters = 0; pos < text.size() && characters < max_characters; ++characters) {
    const size_t start = pos;
    const char32_t cp = NextCodePoint(text, pos);
    const std::string_view sequence = text.substr(start, pos - start);
    if (IsLineControl(cp) || !IsValidUtf8(sequence)) {
      out.push_back('?');
    } else {
      out.append(sequence);
    }
  }
  return out;
}

size_t CodePointCount(std::string_view text) {
  size_t count = 0;
  for (size_t pos = 0; pos < text.size(); ++count) NextCodePoint(text, pos);
  return count;
}

std::string_view DropUtf8Bom(std::string_view bytes) {
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return bytes;
}

std::string FoldControlRuns(std::string_view text) {
  std::string line;
  bool in_control = false;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) {
      in_control = true;
      continue;
    }
    if (in_control && !line.empty()) line.push_back(' ');
    in_control = false;
    line.push_back(c);
  }
  return line;
}

std::string OneLineLoggableText(std::string_view text, size_t max_characters) {
  return LoggableText(FoldControlRuns(text), max_characters);
}

}  // namespace tolvenar
