// The report written when an error escapes the entry point.
#include <gtest/gtest.h>

#include "host/error_report.h"

namespace tolvenar {
namespace {

TEST(FormatErrorReportTest, ExactTextWithPeriodAddedOnlyWhenMissing) {
  EXPECT_EQ(FormatErrorReport("Exception", "TolvenarConnector.exe", 0x1A2B,
                              "Nenhuma conexao configurada em TolvenarConnector.ini."),
            "Exception Exception in module TolvenarConnector.exe at 00001A2B.\r\n"
            "Nenhuma conexao configurada em TolvenarConnector.ini.\r\n");
  EXPECT_EQ(FormatErrorReport("EOSError", "m", 0, "System Error.  Code: 5.\r\nAccess denied"),
            "Exception EOSError in module m at 00000000.\r\n"
            "System Error.  Code: 5.\r\nAccess denied.\r\n");
  EXPECT_EQ(FormatErrorReport("Exception", "m", 0xFFFFFFFF, ""),
            "Exception Exception in module m at FFFFFFFF.\r\n\r\n");
}

}  // namespace
}  // namespace tolvenar
