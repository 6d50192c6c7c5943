// The report written when an error escapes the entry point.
#pragma once

#include <string>

namespace tolvenar {

class Env;

// "Exception <class> in module <module> at <offset 8 hex>." CR LF
// "<message><'.' if needed>" CR LF.
std::string FormatErrorReport(const std::string& class_name, const std::string& module_name,
                              unsigned long long offset, const std::string& message);

// Flushes standard output, writes the report of the current exception and a
// further CR LF to standard error. Call inside a catch block.
void ReportUnhandledError(Env& env);

}  // namespace tolvenar
