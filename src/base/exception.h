// Exceptions raised by the connector. Every failure carries a message text;
// the class name is part of the unhandled-error report.
#pragma once

#include <exception>
#include <string>

namespace tolvenar {

// The general error class of the connector's own failures.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message);
  const std::string& Message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  virtual const char* ClassName() const { return "Exception"; }
  // Address of the code that constructed the exception, for the report.
  const void* RaiseAddress() const { return raise_address_; }

 private:
  std::string message_;
  const void* raise_address_;
};

// A failed platform call: "System Error.  Code: %d." CR LF platform text.
class EOSError : public Exception {
 public:
  EOSError(int code, const std::string& platform_text);
  int ErrorCode() const { return code_; }
  const char* ClassName() const override { return "EOSError"; }

 private:
  int code_;
};

// A standard stream that cannot be used.
class EInOutError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EInOutError"; }
};

// A worker thread that cannot be created.
class EThread : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EThread"; }
};

// The message of an operating-system error: for a non-zero code
// "System Error.  Code: <code>." CR LF and the platform's text without its
// trailing blanks, control characters and full stops; for code 0
// "A call to an OS function failed".
std::string OSErrorMessage(int code, const std::string& platform_text);

}  // namespace tolvenar
