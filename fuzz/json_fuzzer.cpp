// ParseJSON on any bytes; every string and name it yields is written back and
// must come out as pure ASCII JSON that reads back to the same text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "base/text.h"
#include "json/json.h"

namespace {

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// Writes `text` as a member and checks the written object.
void CheckWritten(std::string_view text) {
  tolvenar::JsonObjectWriter writer;
  writer.AddString(text, text);
  writer.AddInteger("n", -5);
  const std::string json = writer.ToString();
  FUZZ_CHECK(IsAscii(json));
  FUZZ_CHECK(json.find_first_of("\r\n\t") == std::string::npos);
  const auto parsed = tolvenar::ParseJSON(json);
  FUZZ_CHECK(parsed && parsed->IsObject());
  FUZZ_CHECK(parsed->Members().size() == 2);
  FUZZ_CHECK(parsed->Members()[1].Value().Text() == "-5");
  // Valid UTF-8 survives unchanged; anything else was replaced on writing.
  if (tolvenar::IsValidUtf8(text)) {
    FUZZ_CHECK(parsed->Members()[0].Name() == text);
    FUZZ_CHECK(parsed->Members()[0].Value().Text() == text);
  }
}

void Walk(const tolvenar::JsonValue& value) {
  switch (value.Kind()) {
    case tolvenar::JsonKind::Object:
      for (const tolvenar::JsonMember& member : value.Members()) {
        CheckWritten(member.Name());
        // Never raises, whatever the member holds.
        tolvenar::TryGetJSONString(value, member.Name());
        Walk(member.Value());
      }
      break;
    case tolvenar::JsonKind::Array:
      for (const tolvenar::JsonValue& element : value.Elements()) Walk(element);
      break;
    case tolvenar::JsonKind::String:
      CheckWritten(value.Text());
      break;
    case tolvenar::JsonKind::Number:
      FUZZ_CHECK(!value.Text().empty());
      FUZZ_CHECK(tolvenar::ParseJSON(value.Text()) != nullptr);
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto value = tolvenar::ParseJSON(text)) Walk(*value);
  // The raw bytes as a string value, too.
  CheckWritten(text);
  return 0;
}
