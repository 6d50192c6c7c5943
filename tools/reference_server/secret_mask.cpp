#include "reference_server/secret_mask.h"

#include <nlohmann/json.hpp>

namespace tolvenar::tools {

namespace {

using Json = nlohmann::ordered_json;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool Listed(std::string_view name, std::initializer_list<std::string_view> names) {
  for (std::string_view listed : names)
    if (name == listed) return true;
  return false;
}

// Returns whether anything was masked.
bool MaskMembers(Json& value, std::initializer_list<std::string_view> names) {
  bool masked = false;
  if (value.is_object()) {
    for (auto& [name, member] : value.items()) {
      if (Listed(name, names) && !member.is_structured()) {
        const std::string text = member.is_string() ? member.get<std::string>()
                                 : member.is_null() ? std::string()
                                                    : member.dump();
        member = MaskSecret(text);
        masked = true;
      } else {
        masked = MaskMembers(member, names) || masked;
      }
    }
  } else if (value.is_array()) {
    for (Json& element : value) masked = MaskMembers(element, names) || masked;
  }
  return masked;
}

}  // namespace

bool IsSecretHeader(std::string_view name) {
  for (std::string_view secret : {"X-Tolvenar-Connector", "Authorization", "X-Tolvenar-Session"})
    if (SameIgnoringCase(name, secret)) return true;
  return false;
}

std::string MaskSecret(std::string_view value) { return value.empty() ? std::string() : "***"; }

std::string MaskJsonMembers(const std::string& json,
                            std::initializer_list<std::string_view> names) {
  // Names are looked for as written, without escapes, as the connector and
  // these servers write them; that spares parsing bodies of many megabytes.
  bool named = false;
  for (std::string_view name : names)
    named = named || json.find("\"" + std::string(name) + "\"") != std::string::npos;
  if (!named) return json;
  Json value = Json::parse(json, nullptr, false);
  if (value.is_discarded() || !MaskMembers(value, names)) return json;
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace tolvenar::tools
