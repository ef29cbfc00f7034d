#pragma once
// Failures travel as values that carry a message; nothing is thrown across
// components.
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace drovix {

// What went wrong, for callers that must tell failures apart (the HTTP
// request reader's "invalid data" answers 413, a stream time-out does not).
enum class ErrorKind {
  Other,
  InvalidData,    // the peer sent something we refuse (too large, malformed)
  UnexpectedEof,  // the peer closed before a message was complete
  TimedOut,
  Io,             // operating-system level failure
  Tls,            // handshake or record failure
};

struct Error {
  ErrorKind kind = ErrorKind::Other;
  std::string message;

  Error() = default;
  Error(std::string msg) : message(std::move(msg)) {}
  Error(const char* msg) : message(msg) {}
  Error(ErrorKind k, std::string msg) : kind(k), message(std::move(msg)) {}
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error err) : v_(std::move(err)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const { return std::get<1>(v_); }
  const std::string& message() const { return error().message; }

 private:
  std::variant<T, Error> v_;
};

// Success without a value.
struct Unit {};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error err) : err_(std::move(err)) {}

  bool ok() const { return !err_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *err_; }
  const std::string& message() const { return err_->message; }

 private:
  std::optional<Error> err_;
};

using Status = Result<void>;

inline Status ok_status() { return Status(); }

}  // namespace drovix
