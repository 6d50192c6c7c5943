#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "config/config.h"
#include "base/exception.h"
#include "env/windows/env_windows.h"

namespace tolvenar {
namespace {

using Config = TTolvenarConnectorConfig;

void ExpectOSError(const std::function<void()>& action, const std::string& label) {
  try {
    action();
    ADD_FAILURE() << label << ": no EOSError";
  } catch (const EOSError& e) {
    EXPECT_NE(e.ErrorCode(), 0) << label;
    EXPECT_EQ(e.Message().rfind("System Error.  Code: ", 0), 0u) << label << ": " << e.Message();
    EXPECT_NE(e.Message().find(".\r\n"), std::string::npos) << label << ": " << e.Message();
  }
}

TEST(DpapiProtectorTest, StoredTextRoundTripsThroughDpapi) {
  auto protector = NewDpapiProtector();
  const std::string secrets[] = {
      "s",
      "segredo-do-connector",
      "Conexão ção 日本 \xF0\x9F\x94\x91",
      std::string(20000, 'k') + "fim",
  };
  for (const auto& secret : secrets) {
    const std::string stored = Config::ProtectMachineString(*protector, secret);
    EXPECT_EQ(stored.size() % 4, 0u);
    EXPECT_EQ(stored.find_first_of(" \r\n\t"), std::string::npos);
    EXPECT_EQ(Config::UnprotectMachineString(*protector, "\r\n " + stored + " \r\n"), secret);
  }
}

TEST(DpapiProtectorTest, AlteredBlockRaises) {
  auto protector = NewDpapiProtector();
  const std::string block = protector->Protect("segredo-do-connector");
  std::string altered = block;
  altered[altered.size() - 1] = static_cast<char>(altered[altered.size() - 1] ^ 0x01);
  ExpectOSError([&] { protector->Unprotect(altered); }, "altered");
  ExpectOSError([&] { protector->Unprotect(block.substr(0, block.size() / 2)); }, "cut");
}

TEST(DpapiProtectorTest, ValidBase64OfNoBlockRaises) {
  auto protector = NewDpapiProtector();
  ExpectOSError([&] { Config::UnprotectMachineString(*protector, "QUJDRA=="); }, "no block");
}

}  // namespace
}  // namespace tolvenar
