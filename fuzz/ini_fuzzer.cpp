// IniFile on any bytes: reading, writing back unchanged, and one edit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/ini_file.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tolvenar::IniFile file = tolvenar::IniFile::FromBytes(bytes);
  const auto sections = file.SectionNames();
  for (const std::string& section : sections) {
    for (const char* key : {"ServidorURL", "ConnectorID", "ConnectorSecretEnc", "x"}) {
      if (auto value = file.Value(section, key)) {
        // At most kMaxValueLength characters: count the bytes that start one.
        size_t characters = 0;
        for (char c : *value) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        FUZZ_CHECK(characters <= tolvenar::IniFile::kMaxValueLength);
      }
    }
  }
  // An untouched file is written back byte for byte.
  FUZZ_CHECK(file.ToBytes() == bytes);

  // An edit reads back, and every section survives it.
  const std::string section = sections.empty() ? "Novo" : sections.front();
  const std::string value = "valor \xC3\xA7 1";
  if (file.SetValue(section, "ConnectorID", value)) {
    const tolvenar::IniFile again = tolvenar::IniFile::FromBytes(file.ToBytes());
    FUZZ_CHECK(again.Value(section, "ConnectorID") == value);
    FUZZ_CHECK(again.SectionNames().size() >= sections.size());
  }
  return 0;
}
