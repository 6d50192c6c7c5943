// JSON values as the connector reads and writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvenar {

enum class JsonKind { Object, Array, String, Number, True, False, Null };

class JsonValue;
using JsonMember = std::pair<std::string, std::unique_ptr<JsonValue>>;

class JsonValue {
 public:
  explicit JsonValue(JsonKind kind) : kind_(kind) {}
  JsonKind Kind() const { return kind_; }
  bool IsObject() const { return kind_ == JsonKind::Object; }
  // String: the decoded text (UTF-8; a lone surrogate escape is kept as its
  // three-byte form). Number: the literal text exactly as written.
  const std::string& Text() const { return text_; }
  // Object members in text order, duplicates kept.
  const std::vector<JsonMember>& Members() const { return members_; }
  const std::vector<std::unique_ptr<JsonValue>>& Elements() const { return elements_; }
  // The first direct member named exactly `name`, or nullptr.
  const JsonValue* Find(std::string_view name) const;

  // Building, for the parser.
  void SetText(std::string text) { text_ = std::move(text); }
  void AddMember(std::string name, std::unique_ptr<JsonValue> value);
  void AddElement(std::unique_ptr<JsonValue> value);

 private:
  JsonKind kind_;
  std::string text_;
  std::vector<JsonMember> members_;
  std::vector<std::unique_ptr<JsonValue>> elements_;
};

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
