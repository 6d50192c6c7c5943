// JSON values as the connector reads and writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace tolvenar {

enum class JsonKind : uint8_t { Object, Array, String, Number, True, False, Null };

class JsonMember;

// One parsed value. The outermost value, the one ParseJSON gives, owns the whole tree: every
// value below it lies in one array, every member in another and every text in one buffer, so
// a value costs 24 bytes and a member 40 whatever the input, with no allocation of their own.
// The densest input, `[0,0,...]`, thus costs about 13 bytes of tree per byte of text.
class JsonValue {
 public:
  JsonValue() = default;  // a null
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue();

  JsonKind Kind() const { return kind_; }
  bool IsObject() const { return kind_ == JsonKind::Object; }
  // String: the decoded text (UTF-8; a lone surrogate escape is kept as its three-byte form).
  // Number: the literal text exactly as written. Empty for the other kinds.
  std::string_view Text() const;
  // Object members in text order, duplicates kept; empty for anything but an object.
  std::span<const JsonMember> Members() const;
  // Array elements in text order; empty for anything but an array.
  std::span<const JsonValue> Elements() const;
  // The first direct member named exactly `name`, or nullptr.
  const JsonValue* Find(std::string_view name) const;

 private:
  friend class JsonReader;
  struct Tree;  // the arrays and text buffer, held by the outermost value

  JsonKind kind_ = JsonKind::Null;
  uint32_t size_ = 0;  // bytes of text, or number of members or elements
  union {              // into the outermost value's tree, by kind
    const char* text_ = nullptr;
    const JsonValue* elements_;
    const JsonMember* members_;
  };
  std::unique_ptr<Tree> tree_;
};

class JsonMember {
 public:
  std::string_view Name() const { return name_; }
  const JsonValue& Value() const { return value_; }

 private:
  friend class JsonReader;
  std::string_view name_;  // decoded, in the tree's text buffer
  JsonValue value_;
};

// A poll answer or a command is a handful of values, and a long body is one string that costs
// only its own bytes. Past this many values (objects, arrays and scalars, the outermost
// included) a text gives no value: it can be nothing the connector uses, and the bound keeps
// its tree, names and values together, below about 4 MB plus its texts. A text of 4 GiB or
// more gives no value either (answers are capped far below that).
inline constexpr size_t kMaxJsonValues = 100000;

// Parses one JSON text; nullptr when the text is not acceptable. Never raises.
std::unique_ptr<JsonValue> ParseJSON(std::string_view text);

// Text of a scalar value; raises Exception for an object or an array.
std::string JSONValueToString(const JsonValue& value);

// Text of the first member named `name` of `object`; "" when missing, null,
// an object or an array. Never raises.
std::string TryGetJSONString(const JsonValue& object, std::string_view name);

// Writes a JSON object in the connector's compact, pure-ASCII form.
class JsonObjectWriter {
 public:
  void AddString(std::string_view name, std::string_view value);
  void AddInteger(std::string_view name, int64_t value);
  // "{...}" with the members in the order they were added. The rvalue form
  // hands over the text without copying it, for large bodies.
  std::string ToString() const&;
  std::string ToString() &&;

 private:
  static constexpr size_t kSpareCapacity = 1024;
  // Reserves room for one member and writes its name and the colon.
  void StartMember(std::string_view name, size_t value_length);

  std::string text_ = "{";  // the closing brace is added by ToString
};

// A JSON string literal, quotes included, in the connector's escaping.
std::string WriteJSONString(std::string_view text);
// The same literal appended to `out`, and its length in bytes.
void AppendJSONString(std::string& out, std::string_view text);
size_t JSONStringLength(std::string_view text);

}  // namespace tolvenar
