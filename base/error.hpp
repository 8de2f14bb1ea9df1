// The one error type of every layer, from the platform to the Python module, and the result
// values that carry it. It depends on nothing of the project.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kestrove {

// A failure of the platform or the storage engine. Failures travel as values, never as
// exceptions; the Python layer turns each into a ValueError whose text is `display()`.
class Error {
public:
    enum class Kind : uint8_t { Io = 0, Compression = 1, InvalidData = 2 };

    // An I/O failure; `os_code` is the errno value when the operating system reported it, 0 for
    // failures it did not report (a short read or write, a path holding a NUL byte).
    static Error io(std::string message, int os_code = 0) {
        return Error(Kind::Io, std::move(message), os_code);
    }
    static Error compression(std::string message) {
        return Error(Kind::Compression, std::move(message));
    }
    static Error invalid_data(std::string message) {
        return Error(Kind::InvalidData, std::move(message));
    }

    Kind kind() const { return kind_; }
    // The text the error carries, without the kind's prefix.
    const std::string& message() const { return message_; }
    // The errno value of an I/O failure the operating system reported; 0 otherwise.
    int os_code() const { return os_code_; }
    // "IO error: {}", "Compression error: {}" or "Invalid data: {}".
    std::string display() const;

    bool operator==(const Error&) const = default;

private:
    Error(Kind kind, std::string message, int os_code = 0)
        : kind_(kind), message_(std::move(message)), os_code_(os_code) {}

    Kind kind_;
    std::string message_;
    int os_code_ = 0;
};

// Either a value of type T or a failure of type E (an Error unless said otherwise).
// The one result type from the platform layer up to the database.
template <class T, class E = Error>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const E& error() const& {
        assert(!ok());
        return std::get<1>(state_);
    }
    E&& error() && {
        assert(!ok());
        return std::get<1>(std::move(state_));
    }

private:
    std::variant<T, E> state_;
};

// Success, or an Error.
template <>
class [[nodiscard]] Result<void, Error> {
public:
    Result() = default;
    Result(Error error) : error_(std::in_place, std::move(error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error& error() const& {
        assert(!ok());
        return *error_;
    }
    Error&& error() && {
        assert(!ok());
        return std::move(*error_);
    }

private:
    std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace kestrove

// Propagates the error of a Status-returning expression out of the enclosing function.
#define KESTROVE_TRY(expr)                                  \
    do {                                                    \
        auto kestrove_try_status_ = (expr);                 \
        if (!kestrove_try_status_.ok()) {                   \
            return std::move(kestrove_try_status_).error(); \
        }                                                   \
    } while (0)

// Evaluates `expr`, a Result; on failure returns its error from the enclosing function, else
// declares `decl` from its value: KESTROVE_ASSIGN_OR_RETURN(NewFile made, create_new(path)).
#define KESTROVE_ASSIGN_OR_RETURN(decl, expr) \
    KESTROVE_ASSIGN_OR_RETURN_IMPL_(KESTROVE_RESULT_NAME_(__LINE__), decl, expr)
#define KESTROVE_RESULT_NAME_(line) KESTROVE_RESULT_NAME_INNER_(line)
#define KESTROVE_RESULT_NAME_INNER_(line) kestrove_result_##line##_
#define KESTROVE_ASSIGN_OR_RETURN_IMPL_(result, decl, expr) \
    auto result = (expr);                                   \
    if (!result.ok()) return std::move(result).error();     \
    decl = std::move(result).value()
