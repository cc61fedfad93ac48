#pragma once
// A value or an English message text: engine operations never throw for bad input.
#include <string>
#include <utility>
#include <variant>

namespace murkle {

struct Error {
    std::string message;
};

template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error e) : v_(std::move(e)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T&& take() { return std::get<0>(std::move(v_)); }
    const std::string& error() const { return std::get<1>(v_).message; }

private:
    std::variant<T, Error> v_;
};

inline Error fail(std::string message) { return Error{std::move(message)}; }

}  // namespace murkle
