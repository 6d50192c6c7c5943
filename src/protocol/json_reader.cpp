// ParseJSON: a hand-written reader (see json.cpp for why no library). It keeps an explicit
// stack of open containers instead of recursing, so hostile nesting costs no machine stack.
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "protocol/json.h"

namespace tolvenar {
namespace {

constexpr size_t kMaxDepth = 512;

bool IsWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// An open object or array, with the name of the member whose value comes next.
struct OpenContainer {
  std::unique_ptr<JsonValue> value;
  std::string pending_name;
};

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::unique_ptr<JsonValue> Read() {
    while (true) {
      // A value is expected here.
      SkipWhiteSpace();
      std::unique_ptr<JsonValue> value;
      if (AtEnd()) return nullptr;
      const char c = text_[pos_];
      if (c == '{' || c == '[') {
        if (open_.size() >= kMaxDepth) return nullptr;
        ++pos_;
        const bool is_object = c == '{';
        open_.push_back(
            {std::make_unique<JsonValue>(is_object ? JsonKind::Object : JsonKind::Array),
             std::string()});
        SkipWhiteSpace();
        if (Consume(is_object ? '}' : ']')) {
          value = std::move(open_.back().value);
          open_.pop_back();
        } else if (is_object) {
          if (!ReadMemberName()) return nullptr;
          continue;
        } else {
          continue;
        }
      } else {
        value = ReadScalar();
        if (!value) return nullptr;
      }

      // A complete value: attach it, closing containers that end right after it.
      while (true) {
        if (open_.empty()) {
          SkipWhiteSpace();
          return AtEnd() ? std::move(value) : nullptr;
        }
        OpenContainer& top = open_.back();
        const bool is_object = top.value->IsObject();
        if (is_object) {
          top.value->AddMember(std::move(top.pending_name), std::move(value));
        } else {
          top.value->AddElement(std::move(value));
        }
        SkipWhiteSpace();
        if (Consume(',')) {
          if (is_object && !ReadMemberName()) return nullptr;
          break;
        }
        if (!Consume(is_object ? '}' : ']')) return nullptr;
        value = std::move(top.value);
        open_.pop_back();
      }
    }
  }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }

  void SkipWhiteSpace() {
    while (!AtEnd() && IsWhiteSpace(text_[pos_])) ++pos_;
  }

  bool Consume(char c) {
    if (AtEnd() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  // `"name"` then `:`, white space allowed around both; the name goes to the top container.
  bool ReadMemberName() {
    SkipWhiteSpace();
    std::optional<std::string> name = ReadString();
    if (!name) return false;
    SkipWhiteSpace();
    if (!Consume(':')) return false;
    open_.back().pending_name = std::move(*name);
    return true;
  }

  std::unique_ptr<JsonValue> ReadScalar() {
    const char c = text_[pos_];
    if (c == '"') {
      std::optional<std::string> text = ReadString();
      if (!text) return nullptr;
      auto value = std::make_unique<JsonValue>(JsonKind::String);
      value->SetText(std::move(*text));
      return value;
    }
    if (c == '-' || IsDigit(c)) {
      std::optional<std::string_view> literal = ReadNumber();
      if (!literal) return nullptr;
      auto value = std::make_unique<JsonValue>(JsonKind::Number);
      value->SetText(std::string(*literal));
      return value;
    }
    if (ConsumeWord("true")) return std::make_unique<JsonValue>(JsonKind::True);
    if (ConsumeWord("false")) return std::make_unique<JsonValue>(JsonKind::False);
    if (ConsumeWord("null")) return std::make_unique<JsonValue>(JsonKind::Null);
    return nullptr;
  }

  // Case-sensitive; whatever follows the word is judged by the caller's next token.
  bool ConsumeWord(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  void SkipDigits() {
    while (!AtEnd() && IsDigit(text_[pos_])) ++pos_;
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)? ; gives the literal text.
  std::optional<std::string_view> ReadNumber() {
    const size_t start = pos_;
    Consume('-');
    if (AtEnd() || !IsDigit(text_[pos_])) return std::nullopt;
    if (!Consume('0')) SkipDigits();
    if (Consume('.')) {
      if (AtEnd() || !IsDigit(text_[pos_])) return std::nullopt;
      SkipDigits();
    }
    if (Consume('e') || Consume('E')) {
      if (!Consume('+')) Consume('-');
      if (AtEnd() || !IsDigit(text_[pos_])) return std::nullopt;
      SkipDigits();
    }
    return text_.substr(start, pos_ - start);
  }

  // Four hexadecimal digits at the current position, either letter case.
  std::optional<char32_t> ReadHex4() {
    if (text_.size() - pos_ < 4) return std::nullopt;
    char32_t unit = 0;
    for (size_t k = 0; k < 4; ++k) {
      const int digit = HexValue(text_[pos_ + k]);
      if (digit < 0) return std::nullopt;
      unit = (unit << 4) | static_cast<char32_t>(digit);
    }
    pos_ += 4;
    return unit;
  }

  // A low surrogate written as the very next escape, consumed only when it is one.
  std::optional<char32_t> ReadFollowingLowSurrogate() {
    if (text_.substr(pos_, 2) != "\\u") return std::nullopt;
    const size_t saved = pos_;
    pos_ += 2;
    std::optional<char32_t> unit = ReadHex4();
    if (unit && IsLowSurrogate(*unit)) return unit;
    pos_ = saved;
    return std::nullopt;
  }

  // A string token starting at the opening quotation mark; gives the decoded UTF-8 text.
  // Bytes other than the quotation mark and the backslash, control characters included,
  // are taken unchanged.
  std::optional<std::string> ReadString() {
    if (!Consume('"')) return std::nullopt;
    std::string out;
    while (true) {
      if (AtEnd()) return std::nullopt;
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (AtEnd()) return std::nullopt;
      const char escape = text_[pos_++];
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          out.push_back(escape);
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          std::optional<char32_t> unit = ReadHex4();
          if (!unit) return std::nullopt;
          char32_t cp = *unit;
          if (IsHighSurrogate(cp)) {
            if (std::optional<char32_t> low = ReadFollowingLowSurrogate()) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
            }
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return std::nullopt;
      }
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::vector<OpenContainer> open_;
};

}  // namespace

std::unique_ptr<JsonValue> ParseJSON(std::string_view text) {
  try {
    return Reader(DropUtf8Bom(text)).Read();
  } catch (const std::bad_alloc&) {
    return nullptr;  // A text too large to hold is not acceptable either.
  } catch (const std::length_error&) {
    return nullptr;
  }
}

}  // namespace tolvenar
