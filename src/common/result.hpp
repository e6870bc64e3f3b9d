// The core's one error value and the value-or-error wrapper every core
// operation returns. The core never throws for bad input: a malformed file
// is an ordinary return value, decided by the first check that fails.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace korrin {

enum class ErrorKind : std::uint8_t {
    Invalid,      // malformed, corrupt or inconsistent input, or an output limit
    Unsupported,  // well formed, but uses something this system does not decode
    OutOfMemory,  // a buffer for the result could not be allocated
    Io,           // a file could not be opened or read (os_error says why)
};

struct [[nodiscard]] DecodeError {
    ErrorKind kind;
    std::string message;
    int os_error = 0;  // ErrorKind::Io: the errno of the call that failed

    friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

// Value or error (a DecodeError unless another is named), with
// std::expected's member names so that the two can be swapped once every
// compiler we build with has <expected>.
template <class T, class E = DecodeError>
class [[nodiscard]] Result {
  public:
    using value_type = T;
    using error_type = E;

    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // implicit by design
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}  // implicit by design

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & noexcept { return *std::get_if<0>(&state_); }
    const T& value() const& noexcept { return *std::get_if<0>(&state_); }
    T&& value() && noexcept { return std::move(*std::get_if<0>(&state_)); }

    T& operator*() & noexcept { return value(); }
    const T& operator*() const& noexcept { return value(); }
    T&& operator*() && noexcept { return std::move(*this).value(); }
    T* operator->() noexcept { return std::get_if<0>(&state_); }
    const T* operator->() const noexcept { return std::get_if<0>(&state_); }

    E& error() & noexcept { return *std::get_if<1>(&state_); }
    const E& error() const& noexcept { return *std::get_if<1>(&state_); }
    E&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

  private:
    std::variant<T, E> state_;
};

// Success with no value, or an error.
template <class E>
class [[nodiscard]] Result<void, E> {
  public:
    using value_type = void;
    using error_type = E;

    Result() = default;
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}  // implicit by design

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    E& error() & noexcept { return *std::get_if<1>(&state_); }
    const E& error() const& noexcept { return *std::get_if<1>(&state_); }
    E&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

  private:
    std::variant<std::monostate, E> state_;
};

inline Result<void> ok() { return {}; }

namespace detail {

inline void append_piece(std::string& out, std::string_view text) { out.append(text); }
inline void append_piece(std::string& out, const char* text) { out.append(text); }
inline void append_piece(std::string& out, const std::string& text) { out.append(text); }
inline void append_piece(std::string& out, char c) { out.push_back(c); }

template <class N>
requires(std::is_integral_v<N> && !std::is_same_v<N, char> &&
         !std::is_same_v<N, bool>) void append_piece(std::string& out, N number) {
    out.append(std::to_string(number));
}

}  // namespace detail

// Concatenates texts and integers (plain decimal) into one message.
template <class... Pieces>
std::string cat(const Pieces&... pieces) {
    std::string out;
    (detail::append_piece(out, pieces), ...);
    return out;
}

template <class... Pieces>
[[gnu::cold]] DecodeError invalid(const Pieces&... pieces) {
    return DecodeError{ErrorKind::Invalid, cat(pieces...)};
}

template <class... Pieces>
[[gnu::cold]] DecodeError unsupported(const Pieces&... pieces) {
    return DecodeError{ErrorKind::Unsupported, cat(pieces...)};
}

[[gnu::cold]] inline DecodeError out_of_memory() { return DecodeError{ErrorKind::OutOfMemory, "out of memory"}; }

}  // namespace korrin

#define KR_CONCAT_INNER_(a, b) a##b
#define KR_CONCAT_(a, b) KR_CONCAT_INNER_(a, b)

// Returns the error of a failed Result<...> expression from the enclosing
// function.
#define KR_TRY(expr)                                                               \
    do {                                                                           \
        auto&& kr_try_result_ = (expr);                                            \
        if (!kr_try_result_.has_value()) return std::move(kr_try_result_).error(); \
    } while (false)

#define KR_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)        \
    auto&& tmp = (expr);                                 \
    if (!tmp.has_value()) return std::move(tmp).error(); \
    lhs = std::move(tmp).value()

// `KR_ASSIGN_OR_RETURN(auto x, f());` declares x from a successful f(), or
// returns its error.
#define KR_ASSIGN_OR_RETURN(lhs, expr) KR_ASSIGN_OR_RETURN_IMPL_(KR_CONCAT_(kr_result_, __LINE__), lhs, expr)
