#include "config/ini_file.h"

#include "base/text.h"

namespace tolvenar {

namespace {

enum class LineKind { kOther, kSection, kKey };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;
  size_t value_begin = 0;  // offset in the line of the text after "="
};

ParsedLine ParseLine(std::string_view body) {
  ParsedLine parsed;
  const std::string_view content = TrimWhitespaceExceptLineFeed(body);
  if (content.empty() || content.front() == ';') return parsed;
  if (content.front() == '[') {
    std::string_view name = content.substr(1);
    const size_t close = name.rfind(']');
    if (close != std::string_view::npos) name = name.substr(0, close);
    parsed.kind = LineKind::kSection;
    parsed.name = TrimWhitespaceExceptLineFeed(name);
    return parsed;
  }
  const size_t equals = body.find('=');
  if (equals == std::string_view::npos) return parsed;
  parsed.name = TrimWhitespaceExceptLineFeed(body.substr(0, equals));
  if (parsed.name.empty()) return parsed;
  parsed.kind = LineKind::kKey;
  parsed.value_begin = equals + 1;
  return parsed;
}

// The first `max_chars` code points of valid UTF-8 text.
std::string_view CutToCodePoints(std::string_view text, size_t max_chars) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool starts_char = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (starts_char && chars++ == max_chars) return text.substr(0, i);
  }
  return text;
}

std::string ReadValue(std::string_view raw) {
  std::string_view value = TrimWhitespaceExceptLineFeed(raw);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(CutToCodePoints(value, IniFile::kMaxValueLength));
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

IniFile IniFile::FromBytes(std::string_view bytes) {
  IniText text = DecodeIni(bytes);
  IniFile file;
  file.encoding_ = text.encoding;
  file.trailing_bytes_ = std::move(text.trailing_bytes);
  const std::string_view s = text.utf8;
  size_t start = 0;
  while (start < s.size()) {
    const size_t newline = s.find('\n', start);
    if (newline == std::string_view::npos) {
      file.lines_.push_back({std::string(s.substr(start)), ""});
      break;
    }
    const bool crlf = newline > start && s[newline - 1] == '\r';
    const size_t body_end = crlf ? newline - 1 : newline;
    file.lines_.push_back({std::string(s.substr(start, body_end - start)), crlf ? "\r\n" : "\n"});
    start = newline + 1;
  }
  file.Reindex();
  return file;
}

void IniFile::Reindex() {
  sections_.clear();
  section_index_.clear();
  std::optional<size_t> current;  // index in sections_ of the lines being read
  for (size_t i = 0; i < lines_.size(); ++i) {
    const ParsedLine parsed = ParseLine(lines_[i].body);
    if (parsed.kind == LineKind::kSection) {
      const auto [found, added] =
          section_index_.try_emplace(AsciiUpper(parsed.name), sections_.size());
      if (added) sections_.push_back({std::string(parsed.name), i, {}});
      current = found->second;
    } else if (parsed.kind == LineKind::kKey && current) {
      sections_[*current].keys.try_emplace(AsciiUpper(parsed.name), i);  // the first one wins
    }
  }
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
  const auto found = section_index_.find(AsciiUpper(name));
  return found == section_index_.end() ? nullptr : &sections_[found->second];
}

std::vector<std::string> IniFile::SectionNames() const {
  std::vector<std::string> names;
  names.reserve(sections_.size());
  for (const Section& section : sections_) names.push_back(section.name);
  return names;
}

std::optional<size_t> IniFile::FindKeyLine(std::string_view section, std::string_view key) const {
  const Section* found = FindSection(section);
  if (found == nullptr) return std::nullopt;
  const auto line = found->keys.find(AsciiUpper(key));
  if (line == found->keys.end()) return std::nullopt;
  return line->second;
}

std::optional<std::string> IniFile::Value(std::string_view section, std::string_view key) const {
  const std::optional<size_t> index = FindKeyLine(section, key);
  if (!index) return std::nullopt;
  const std::string& body = lines_[*index].body;
  return ReadValue(std::string_view(body).substr(ParseLine(body).value_begin));
}

std::string IniFile::NewLineEnd() const {
  // Lines added follow the file's own line ends; CR LF, Windows's, for a
  // file that has none yet.
  for (const Line& line : lines_) {
    if (!line.end.empty()) return line.end;
  }
  return "\r\n";
}

void IniFile::InsertLine(size_t index, std::string body) {
  const std::string end = NewLineEnd();
  if (index > 0 && lines_[index - 1].end.empty()) lines_[index - 1].end = end;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), Line{std::move(body), end});
}

bool IniFile::SetValue(std::string_view section, std::string_view key, std::string_view value) {
  if (!IsValidUtf8(value) || HasLineBreak(value) || HasLineBreak(section) || HasLineBreak(key)) {
    return false;
  }
  // A longer value would be read back cut: a stored secret would no longer
  // unprotect after the next start.
  if (CodePointCount(value) > kMaxValueLength) return false;
  if (const std::optional<size_t> index = FindKeyLine(section, key)) {
    std::string& body = lines_[*index].body;
    body.replace(ParseLine(body).value_begin, std::string::npos, value);
    return true;
  }

  // Lines move from here on: the sections are found again afterwards.
  std::string line = std::string(key) + "=" + std::string(value);
  if (const Section* found = FindSection(section)) {
    size_t last = found->header;  // the header, or the first part's last key line
    for (size_t j = last + 1; j < lines_.size(); ++j) {
      const LineKind kind = ParseLine(lines_[j].body).kind;
      if (kind == LineKind::kSection) break;
      if (kind == LineKind::kKey) last = j;
    }
    InsertLine(last + 1, std::move(line));
  } else {
    InsertLine(lines_.size(), "[" + std::string(section) + "]");
    InsertLine(lines_.size(), std::move(line));
  }
  Reindex();
  return true;
}

std::string IniFile::ToBytes() const {
  IniText text;
  text.encoding = encoding_;
  text.trailing_bytes = trailing_bytes_;
  for (const Line& line : lines_) text.utf8 += line.body + line.end;
  return EncodeIni(text);
}

}  // namespace tolvenar
