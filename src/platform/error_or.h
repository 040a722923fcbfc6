#pragma once

#include <cerrno>
#include <utility>
#include <variant>

namespace vellomar {

// A failed system call's code, with the table it comes from: the resolver's EAI_* codes
// overlap errno's numbers and have texts of their own, so a code alone cannot be shown.
struct SystemError {
  enum class Source { Errno, Resolver };
  int code = 0;
  Source source = Source::Errno;
};

inline SystemError ResolverError(int code) { return SystemError{code, SystemError::Source::Resolver}; }

// The value a system call produced, or the error it failed with. The relay reports failures
// as results, never as exceptions, and this is the one shape those results take.
template <typename T>
class [[nodiscard]] ErrorOr {
 public:
  ErrorOr(T value) : state_(std::move(value)) {}
  // An errno value.
  static ErrorOr Fail(int error) { return ErrorOr(SystemError{error, SystemError::Source::Errno}); }
  static ErrorOr Fail(SystemError error) { return ErrorOr(error); }

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  // The code alone; 0 on success.
  int error() const { return ok() ? 0 : std::get<1>(state_).code; }
  // The code and its source, for passing the failure on or showing its text.
  SystemError failure() const { return ok() ? SystemError{} : std::get<1>(state_); }

 private:
  explicit ErrorOr(SystemError error) : state_(error) {}
  std::variant<T, SystemError> state_;
};

// For calls whose only result is success or an error.
using Status = ErrorOr<std::monostate>;
inline Status Ok() { return Status(std::monostate{}); }
inline Status FailWith(int error) { return Status::Fail(error); }
inline Status FailWith(SystemError error) { return Status::Fail(error); }

}  // namespace vellomar
