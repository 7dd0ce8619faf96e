// The framework's exception classes.
//
// `Exception` is the base every engine error derives from; its message is the
// text shown in the standard error box. The stream and conversion classes are
// the ones the archive engine and the dataset layer raise.
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  const std::string Message() const { return what(); }
};

class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EMathError : public Exception {
 public:
  using Exception::Exception;
};
// Raised for division and modulus by zero: "Division by zero".
class EZeroDivide : public EMathError {
 public:
  EZeroDivide() : EMathError("Division by zero") {}
  using EMathError::EMathError;
};
class EInvalidOperation : public Exception {
 public:
  using Exception::Exception;
};
class EListError : public Exception {
 public:
  using Exception::Exception;
};
// Raised to end a command silently (no error box).
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};
