// ParseJSON: a hand-written reader (see json.cpp for why no library). It keeps an explicit
// stack of open containers instead of recursing, so hostile nesting costs no machine stack.
// Values are gathered as small records and laid out in the tree's flat arrays at the end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"
#include "json/json.h"

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

// A complete value while the text is read. Its text is at `offset` in the reader's text
// buffer; its children are at `offset` in the reader's element or member list. 32 bits hold
// both: the text is under 4 GiB and the lists under kMaxJsonValues.
struct ValueRecord {
  JsonKind kind = JsonKind::Null;
  uint32_t size = 0;
  uint32_t offset = 0;
};

uint32_t Narrow(size_t n) { return static_cast<uint32_t>(n); }

// Gives a list's memory back (clear() keeps it).
template <typename T>
void Release(std::vector<T>& list) {
  std::vector<T>().swap(list);
}

struct MemberRecord {
  ValueRecord name;
  ValueRecord value;
};

// An open object or array; its finished children wait on the reader's pending list from
// `first_pending` on (for an object: name, value, name, value...).
struct OpenContainer {
  JsonKind kind;
  size_t first_pending;
};

}  // namespace

struct JsonValue::Tree {
  std::string text;
  std::unique_ptr<JsonValue[]> elements;
  std::unique_ptr<JsonMember[]> members;
};

JsonValue::JsonValue(JsonValue&& other) noexcept = default;
JsonValue& JsonValue::operator=(JsonValue&& other) noexcept = default;
JsonValue::~JsonValue() = default;

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  std::unique_ptr<JsonValue> Read() {
    while (true) {
      // A value is expected here.
      SkipWhiteSpace();
      if (AtEnd() || !CountValue()) return nullptr;
      ValueRecord value;
      const char c = text_[pos_];
      if (c == '{' || c == '[') {
        if (open_.size() >= kMaxDepth) return nullptr;
        ++pos_;
        const bool is_object = c == '{';
        open_.push_back({is_object ? JsonKind::Object : JsonKind::Array, pending_.size()});
        SkipWhiteSpace();
        if (Consume(is_object ? '}' : ']')) {
          value = CloseContainer();
        } else if (is_object) {
          if (!ReadMemberName()) return nullptr;
          continue;
        } else {
          continue;
        }
      } else {
        if (!ReadScalar(value)) return nullptr;
      }

      // A complete value: attach it, closing containers that end right after it.
      while (true) {
        if (open_.empty()) {
          SkipWhiteSpace();
          return AtEnd() ? BuildTree(value) : nullptr;
        }
        pending_.push_back(value);
        const bool is_object = open_.back().kind == JsonKind::Object;
        SkipWhiteSpace();
        if (Consume(',')) {
          if (is_object && !ReadMemberName()) return nullptr;
          break;
        }
        if (!Consume(is_object ? '}' : ']')) return nullptr;
        value = CloseContainer();
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

  bool CountValue() { return ++value_count_ <= kMaxJsonValues; }

  // Moves the top container's children from the pending list to their final list.
  ValueRecord CloseContainer() {
    const OpenContainer top = open_.back();
    open_.pop_back();
    const auto first = pending_.begin() + static_cast<std::ptrdiff_t>(top.first_pending);
    ValueRecord container{top.kind, 0, 0};
    if (top.kind == JsonKind::Object) {
      container.offset = Narrow(members_.size());
      for (auto it = first; it != pending_.end(); it += 2) members_.push_back({it[0], it[1]});
      container.size = Narrow(members_.size()) - container.offset;
    } else {
      container.offset = Narrow(elements_.size());
      elements_.insert(elements_.end(), first, pending_.end());
      container.size = Narrow(elements_.size()) - container.offset;
    }
    pending_.erase(first, pending_.end());
    return container;
  }

  // Lays the records out in the tree's arrays; the outermost value owns them.
  std::unique_ptr<JsonValue> BuildTree(const ValueRecord& outermost) {
    Release(pending_);
    auto tree = std::make_unique<JsonValue::Tree>();
    tree->text = std::move(text_buffer_);
    if (tree->text.capacity() - tree->text.size() > tree->text.size() / 4) {
      tree->text.shrink_to_fit();
    }
    if (!elements_.empty()) {
      tree->elements = std::make_unique<JsonValue[]>(elements_.size());
    }
    if (!members_.empty()) tree->members = std::make_unique<JsonMember[]>(members_.size());
    for (size_t i = 0; i < elements_.size(); ++i) Fill(tree->elements[i], elements_[i], *tree);
    Release(elements_);
    for (size_t i = 0; i < members_.size(); ++i) {
      JsonMember& member = tree->members[i];
      member.name_ = TextOf(members_[i].name, *tree);
      Fill(member.value_, members_[i].value, *tree);
    }
    Release(members_);
    auto value = std::make_unique<JsonValue>();
    Fill(*value, outermost, *tree);
    value->tree_ = std::move(tree);
    return value;
  }

  static std::string_view TextOf(const ValueRecord& record, const JsonValue::Tree& tree) {
    return std::string_view(tree.text).substr(record.offset, record.size);
  }

  static void Fill(JsonValue& out, const ValueRecord& record, const JsonValue::Tree& tree) {
    out.kind_ = record.kind;
    out.size_ = record.size;
    switch (record.kind) {
      case JsonKind::String:
      case JsonKind::Number:
        out.text_ = TextOf(record, tree).data();
        break;
      case JsonKind::Array:
        out.elements_ = tree.elements.get() + record.offset;
        break;
      case JsonKind::Object:
        out.members_ = tree.members.get() + record.offset;
        break;
      case JsonKind::True:
      case JsonKind::False:
      case JsonKind::Null:
        break;
    }
  }

  // `"name"` then `:`, white space allowed around both; the name goes to the pending list.
  bool ReadMemberName() {
    SkipWhiteSpace();
    ValueRecord name;
    if (!ReadString(name)) return false;
    SkipWhiteSpace();
    if (!Consume(':')) return false;
    pending_.push_back(name);
    return true;
  }

  bool ReadScalar(ValueRecord& value) {
    const char c = text_[pos_];
    if (c == '"') return ReadString(value);
    if (c == '-' || IsDigit(c)) {
      std::optional<std::string_view> literal = ReadNumber();
      if (!literal) return false;
      value = {JsonKind::Number, Narrow(literal->size()), Narrow(text_buffer_.size())};
      text_buffer_.append(*literal);
      return true;
    }
    if (ConsumeWord("true")) {
      value.kind = JsonKind::True;
    } else if (ConsumeWord("false")) {
      value.kind = JsonKind::False;
    } else if (ConsumeWord("null")) {
      value.kind = JsonKind::Null;
    } else {
      return false;
    }
    return true;
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

  // A string token starting at the opening quotation mark; its decoded UTF-8 text goes to the
  // text buffer. Bytes other than the quotation mark and the backslash, control characters
  // included, are taken unchanged.
  bool ReadString(ValueRecord& value) {
    if (!Consume('"')) return false;
    // Room for the whole token at once: a long body then takes its own length, not up to
    // twice that by doubling. Decoding never makes a text longer.
    size_t end = pos_;
    while (end < text_.size() && text_[end] != '"') end += text_[end] == '\\' ? 2 : 1;
    const size_t needed = text_buffer_.size() + (end - pos_);
    if (needed > text_buffer_.capacity()) {
      text_buffer_.reserve(std::max(needed, 2 * text_buffer_.capacity()));
    }
    const size_t start = text_buffer_.size();
    std::string& out = text_buffer_;
    while (true) {
      if (AtEnd()) return false;
      const char c = text_[pos_++];
      if (c == '"') {
        value = {JsonKind::String, Narrow(out.size() - start), Narrow(start)};
        return true;
      }
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (AtEnd()) return false;
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
          if (!unit) return false;
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
          return false;
      }
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  size_t value_count_ = 0;
  std::vector<OpenContainer> open_;
  std::vector<ValueRecord> pending_;
  std::vector<ValueRecord> elements_;
  std::vector<MemberRecord> members_;
  std::string text_buffer_;  // every decoded string, name and number literal, back to back
};

std::unique_ptr<JsonValue> ParseJSON(std::string_view text) {
  if (text.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
  try {
    return JsonReader(DropUtf8Bom(text)).Read();
  } catch (const std::bad_alloc&) {
    return nullptr;  // A text too large to hold is not acceptable either.
  } catch (const std::length_error&) {
    return nullptr;
  }
}

}  // namespace tolvenar
