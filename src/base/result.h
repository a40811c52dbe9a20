// Result types: a value or an error, never an exception across modules.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace dh {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return Unexpected<std::decay_t<E>>{std::forward<E>(error)};
}

// Holds either a T or an E. Accessing the wrong alternative is a programming
// error (asserted in debug builds).
template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : data_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
  template <class U>
  Expected(Unexpected<U> error)  // NOLINT(google-explicit-constructor)
      : data_(std::in_place_index<1>, std::move(error.error)) {}

  bool has_value() const { return data_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & {
    assert(has_value());
    return std::get<0>(data_);
  }
  const T& value() const& {
    assert(has_value());
    return std::get<0>(data_);
  }
  T&& value() && {
    assert(has_value());
    return std::get<0>(std::move(data_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & {
    assert(!has_value());
    return std::get<1>(data_);
  }
  const E& error() const& {
    assert(!has_value());
    return std::get<1>(data_);
  }
  E&& error() && {
    assert(!has_value());
    return std::get<1>(std::move(data_));
  }

 private:
  std::variant<T, E> data_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <class U>
  Expected(Unexpected<U> error)  // NOLINT(google-explicit-constructor)
      : failed_(true), error_(std::move(error.error)) {}

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  E& error() & {
    assert(failed_);
    return error_;
  }
  const E& error() const& {
    assert(failed_);
    return error_;
  }
  E&& error() && {
    assert(failed_);
    return std::move(error_);
  }

 private:
  bool failed_ = false;
  E error_{};
};

}  // namespace dh

// Returns from the enclosing function with the error of `result` (an
// Expected, named or computed here) when it holds one. The enclosing function
// returns an Expected whose error type can be made from that error.
#define DH_TRY(result)                                                                         \
  do {                                                                                         \
    auto&& dh_try_result_ = (result);                                                          \
    if (!dh_try_result_) {                                                                     \
      return ::dh::unexpected(std::forward<decltype(dh_try_result_)>(dh_try_result_).error()); \
    }                                                                                          \
  } while (false)
