// Result<T>: a value or a core Error. Status is Result<Ok>.
#pragma once

#include <cstdio>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/error.h"

namespace core {

struct Ok {};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Error error) : v_(std::in_place_index<1>, error) {}         // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

using Status = Result<Ok>;

// InternalFault is what CORE_CHECK throws. It never leaves the core:
// contained() turns it into Error{ErrorKind::Internal, message}. The message
// is a static text, optionally followed by a number in decimal; the full text
// is kept inside the fault itself, and an Error, which only points at static
// texts, carries the static part.
class InternalFault : public std::exception {
 public:
  explicit InternalFault(const char* message) noexcept : static_(message) {}
  InternalFault(const char* prefix, unsigned value) noexcept : static_(prefix), numbered_(true) {
    std::snprintf(text_, sizeof text_, "%s%u", prefix, value);
  }
  const char* what() const noexcept override { return numbered_ ? text_ : static_; }
  const char* static_text() const noexcept { return static_; }

 private:
  const char* static_;
  bool numbered_ = false;
  char text_[64] = {};
};

// CORE_CHECK states an invariant that no input can break; a failure is a bug.
#define CORE_CHECK(cond, message)                                   \
  do {                                                              \
    if (!(cond)) [[unlikely]] throw ::core::InternalFault(message); \
  } while (0)

// contained turns what can unwind inside the core (std::bad_alloc, a failed
// CORE_CHECK) into values; every public core function runs its body through it.
template <class T, class Body>
Result<T> contained(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return Error{ErrorKind::OutOfMemory};
  } catch (const InternalFault& f) {
    return Error{ErrorKind::Internal, f.static_text()};
  } catch (...) {
    return Error{ErrorKind::Internal, "unexpected exception in the core"};
  }
}

}  // namespace core
