#pragma once
// A computation's ordinary failure travels as a value: a constant message with
// static storage, so creating, moving and dropping it needs no interpreter.

#include <utility>

namespace tovimera {

struct Failure {
    const char* message;
};

template <class T>
class Expected {
public:
    constexpr Expected(T value) : value_(std::move(value)), failure_(nullptr) {}
    constexpr Expected(Failure failure) : value_(), failure_(failure.message) {}

    [[nodiscard]] constexpr bool has_value() const noexcept { return failure_ == nullptr; }
    [[nodiscard]] constexpr const T& value() const& noexcept { return value_; }
    [[nodiscard]] constexpr T&& value() && noexcept { return std::move(value_); }
    [[nodiscard]] constexpr Failure error() const noexcept { return Failure{failure_}; }

private:
    T value_;
    const char* failure_;
};

}  // namespace tovimera
