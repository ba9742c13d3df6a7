// The one way an operation of ours says it failed: a Result<T> holds either the value or a
// Failure, a one-line account for a person (what failed, and on what: the file, the option,
// the address) with the errno behind it when a system call failed. Nothing throws across the
// platform's seams and nothing is reported from deep inside: the caller decides what to say.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <variant>

namespace corvanta {

struct Failure {
  std::string message;  // e.g. "cannot write /tmp/x: No space left on device"
  int code = 0;         // the errno behind it; 0 when no system call failed

  // "`what`: <strerror(code)>", for a system call that failed with `code`.
  static Failure ofErrno(const std::string& what, int code = errno) {
    return {what + ": " + std::strerror(code), code};
  }
  // The same failure, its message prefixed with where it happened: "container /x: ...".
  Failure within(const std::string& context) && {
    message = context + ": " + message;
    return std::move(*this);
  }
};

template <class T = void>
class [[nodiscard]] Result {
 public:
  Result(T value) : _state(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : _state(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const { return _state.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Only when ok().
  T& value() & { return std::get<0>(_state); }
  const T& value() const& { return std::get<0>(_state); }
  T&& value() && { return std::get<0>(std::move(_state)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // Only when !ok().
  const Failure& failure() const& { return std::get<1>(_state); }
  Failure&& failure() && { return std::get<1>(std::move(_state)); }

 private:
  std::variant<T, Failure> _state;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : _failure(std::move(failure)), _ok(false) {}

  bool ok() const { return _ok; }
  explicit operator bool() const { return _ok; }
  const Failure& failure() const& { return _failure; }
  Failure&& failure() && { return std::move(_failure); }

 private:
  Failure _failure;
  bool _ok = true;
};

}  // namespace corvanta
