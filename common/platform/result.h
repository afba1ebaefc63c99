// How every call of the platform layer reports a failure: it returns a Result, which holds either
// the call's value or the Error that stopped it. The error is read right after the system call
// that failed, so that the code a caller logs is that call's own, not one a later call left behind.
#pragma once

#include <cerrno>
#include <string>
#include <utility>
#include <variant>

namespace connchk::platform {

// A failed system call: which call, its code (errno, or the EAI_ value of getaddrinfo) and, where
// the platform layer has one, a sentence for the log that says what is wrong (empty otherwise:
// the caller words it from the code).
struct Error {
  std::string call;
  int code = 0;
  std::string text;
};

// The error errno holds now, for `call`: used right after a call that failed.
inline Error lastError(const char* call) { return Error{call, errno, {}}; }

// True for the error a receive reports when its time-out ran out, and for "nothing there now".
inline bool isTimeout(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

// A value of T, or the Error that stopped the call that was to make it.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : held_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : held_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return held_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // The value; only when ok().
  T& value() & { return std::get<0>(held_); }
  const T& value() const& { return std::get<0>(held_); }
  T&& value() && { return std::get<0>(std::move(held_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  // The value, or `fallback` when the call failed (an invalid Socket, say, that fails in turn).
  T value_or(T fallback) const& { return ok() ? value() : std::move(fallback); }
  T value_or(T fallback) && { return ok() ? std::get<0>(std::move(held_)) : std::move(fallback); }

  // The failure; only when !ok().
  const Error& error() const& { return std::get<1>(held_); }
  Error&& error() && { return std::get<1>(std::move(held_)); }
  // The failure's code, 0 when the call succeeded.
  int code() const { return ok() ? 0 : error().code; }
  bool timedOut() const { return !ok() && isTimeout(error().code); }

 private:
  std::variant<T, Error> held_;
};

// Success with nothing to give, or the Error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const& { return error_; }
  Error&& error() && { return std::move(error_); }
  int code() const { return failed_ ? error_.code : 0; }
  bool timedOut() const { return failed_ && isTimeout(error_.code); }

 private:
  Error error_;
  bool failed_ = false;
};

using Status = Result<void>;

// Whether a call succeeded, without its value: the start of a chain of steps that each may fail.
template <typename T>
Status statusOf(const Result<T>& result) {
  if (!result) return result.error();
  return {};
}

}  // namespace connchk::platform
