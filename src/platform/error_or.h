#pragma once

#include <cerrno>
#include <utility>
#include <variant>

namespace vellomar {

// The value a system call produced, or the errno it failed with. The relay reports failures
// as results, never as exceptions, and this is the one shape those results take.
template <typename T>
class [[nodiscard]] ErrorOr {
 public:
  ErrorOr(T value) : state_(std::move(value)) {}
  static ErrorOr Fail(int error) { return ErrorOr(ErrorCode{error}); }

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  int error() const { return ok() ? 0 : std::get<1>(state_).code; }

 private:
  struct ErrorCode {
    int code;
  };
  explicit ErrorOr(ErrorCode error) : state_(error) {}
  std::variant<T, ErrorCode> state_;
};

// For calls whose only result is success or an errno.
using Status = ErrorOr<std::monostate>;
inline Status Ok() { return Status(std::monostate{}); }
inline Status FailWith(int error) { return Status::Fail(error); }

}  // namespace vellomar
