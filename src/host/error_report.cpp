#include "host/error_report.h"

#include <cstdio>
#include <exception>

#include "base/exception.h"
#include "env/env.h"
#include "messages/messages.h"

namespace tolvenar {

std::string FormatErrorReport(const std::string& class_name, const std::string& module_name,
                              unsigned long long offset, const std::string& message) {
  char address[32];
  std::snprintf(address, sizeof address, "%08llX", offset);
  const bool add_period = !message.empty() && message.back() != '.';
  return FillMessage(kMsgErrorReport, {class_name, module_name, address}) + "\r\n" + message +
         (add_period ? "." : "") + "\r\n";
}

void ReportUnhandledError(Env& env) {
  std::string class_name = "Exception";
  std::string message;
  const void* address = nullptr;
  try {
    throw;
  } catch (const Exception& e) {
    class_name = e.ClassName();
    message = e.Message();
    address = e.RaiseAddress();
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
  }
  std::string module_name = env.ExecutableName();
  unsigned long long offset = 0;
  if (address != nullptr) env.ModuleOfAddress(address, &module_name, &offset);
  try {
    env.WriteStdOut("");  // flushes standard output
  } catch (...) {
    // No standard output (a service, a detached process): the report still
    // goes to standard error.
  }
  try {
    env.WriteStdErr(FormatErrorReport(class_name, module_name, offset, message) + "\r\n");
  } catch (...) {
    // Nowhere left to report to.
  }
}

}  // namespace tolvenar
