// A value or one error, never both. The core never throws across its API: every fallible operation
// returns one of these, and each layer converts its callees' errors once, at its edge.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace brimo {

// Wraps an error so that Result<T, E> can be built from it even when T and E are convertible.
template <class E>
struct Err {
    E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& e) {
    return Err<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class E2, class = std::enable_if_t<std::is_constructible_v<E, E2&&>>>
    Result(Err<E2> e) : v_(std::in_place_index<1>, E(std::move(e.error))) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { assert(ok()); return std::get<0>(v_); }
    const T& value() const& { assert(ok()); return std::get<0>(v_); }
    T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    E& error() & { assert(!ok()); return std::get<1>(v_); }
    const E& error() const& { assert(!ok()); return std::get<1>(v_); }
    E&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

private:
    std::variant<T, E> v_;
};

// A success holds no error object at all: a loop that checks a Result<void, E> per step pays for one
// flag, not for building and destroying an empty E (a std::string) each time.
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class E2, class = std::enable_if_t<std::is_constructible_v<E, E2&&>>>
    Result(Err<E2> e) : e_(std::in_place, std::move(e.error)) {}

    bool ok() const { return !e_.has_value(); }
    explicit operator bool() const { return ok(); }
    E& error() & { assert(!ok()); return *e_; }
    const E& error() const& { assert(!ok()); return *e_; }
    E&& error() && { assert(!ok()); return std::move(*e_); }

private:
    std::optional<E> e_;
};

}  // namespace brimo

#define BRIMO_CONCAT_INNER(a, b) a##b
#define BRIMO_CONCAT(a, b) BRIMO_CONCAT_INNER(a, b)

// Returns from the enclosing function with the error of the Result `...` when it holds one,
// converted to the function's error type.
#define BRIMO_TRY(...)                                                                        \
    do {                                                                                      \
        auto&& brimo_try_result_ = (__VA_ARGS__);                                             \
        if (!brimo_try_result_) return ::brimo::err(std::move(brimo_try_result_).error());    \
    } while (false)

// `lhs` (a declaration or an assignable expression) takes the value of the Result `...`; its error
// returns from the enclosing function as with BRIMO_TRY.
#define BRIMO_ASSIGN_OR_RETURN(lhs, ...) \
    BRIMO_ASSIGN_OR_RETURN_IMPL(BRIMO_CONCAT(brimo_result_, __LINE__), lhs, __VA_ARGS__)
#define BRIMO_ASSIGN_OR_RETURN_IMPL(tmp, lhs, ...)                      \
    auto tmp = (__VA_ARGS__);                                           \
    if (!tmp) return ::brimo::err(std::move(tmp).error());              \
    lhs = std::move(tmp).value()
