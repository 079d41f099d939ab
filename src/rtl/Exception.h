#pragma once

#include <exception>
#include <string>

// Base of every error this program raises. The message is bytes, shown as is.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A text that does not convert to an integer.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// An index outside a list's bounds.
class EListError : public Exception {
 public:
  using Exception::Exception;
};
