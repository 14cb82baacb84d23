// Quorlin::ExceptionString: the root of the support library's value
// exceptions. Thrown and caught by value; copying copies the reason.
#pragma once

#include <string>

namespace Quorlin {

class ExceptionString {
 public:
  explicit ExceptionString(std::string reason) : _reason(std::move(reason)) {}
  std::string getReason() const { return _reason; }

 private:
  std::string _reason;
};

// Every failure of the internet client.
class ExceptionInternet : public ExceptionString {
 public:
  using ExceptionString::ExceptionString;
};

}  // namespace Quorlin
