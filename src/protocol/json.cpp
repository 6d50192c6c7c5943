// JSON values and the text of one member. The reader and writer are written by hand: they must
// keep a number's literal text, accept raw control characters in strings, stop at 512 levels,
// write "\/" and upper-case \u escapes per UTF-16 code unit, and keep lone surrogates; no packaged
// library does all of that without passes before and after it.
#include "protocol/json.h"

#include <utility>

#include "platform/exception.h"

namespace tolvenar {

const JsonValue* JsonValue::Find(std::string_view name) const {
  for (const auto& [member_name, value] : members_) {
    if (member_name == name) return value.get();
  }
  return nullptr;
}

void JsonValue::AddMember(std::string name, std::unique_ptr<JsonValue> value) {
  members_.emplace_back(std::move(name), std::move(value));
}

void JsonValue::AddElement(std::unique_ptr<JsonValue> value) {
  elements_.push_back(std::move(value));
}

std::string JSONValueToString(const JsonValue& value) {
  switch (value.Kind()) {
    case JsonKind::String:
    case JsonKind::Number:
      return value.Text();
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
