// JSON values and the text of one member. The reader and writer are written by hand: they must
// keep a number's literal text, accept raw control characters in strings, stop at 512 levels,
// write "\/" and upper-case \u escapes per UTF-16 code unit, and keep lone surrogates; no packaged
// library does all of that without passes before and after it.
#include "json/json.h"

#include <span>
#include <string>
#include <string_view>

#include "base/exception.h"

namespace tolvenar {

std::string_view JsonValue::Text() const {
  if (kind_ != JsonKind::String && kind_ != JsonKind::Number) return std::string_view();
  return std::string_view(text_, size_);
}

std::span<const JsonMember> JsonValue::Members() const {
  if (kind_ != JsonKind::Object) return {};
  return {members_, size_};
}

std::span<const JsonValue> JsonValue::Elements() const {
  if (kind_ != JsonKind::Array) return {};
  return {elements_, size_};
}

const JsonValue* JsonValue::Find(std::string_view name) const {
  for (const JsonMember& member : Members()) {
    if (member.Name() == name) return &member.Value();
  }
  return nullptr;
}

std::string JSONValueToString(const JsonValue& value) {
  switch (value.Kind()) {
    case JsonKind::String:
    case JsonKind::Number:
      return std::string(value.Text());
    case JsonKind::True:
      return "true";
    case JsonKind::False:
      return "false";
    case JsonKind::Null:
      return std::string();
    case JsonKind::Object:
    case JsonKind::Array:
      break;
  }
  throw Exception("Valor JSON nao pode ser convertido em texto.");
}

std::string TryGetJSONString(const JsonValue& object, std::string_view name) {
  const JsonValue* member = object.Find(name);
  if (member == nullptr) return std::string();
  try {
    return JSONValueToString(*member);
  } catch (const Exception&) {
    return std::string();
  }
}

}  // namespace tolvenar
