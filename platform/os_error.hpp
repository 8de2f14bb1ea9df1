// Operating-system error values of the platform layer, worded as the engine reports I/O failures.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace kestrove::platform {

// One failed operating-system request. `code` is the errno value, or 0 when the failure was not
// reported by the OS itself (a short read or write, a path holding a NUL byte). `what` is the
// complete text the engine prints after "IO error: ".
struct OsError {
    int code = 0;
    std::string what;
};

// "<strerror text> (os error <N>)", e.g. "No such file or directory (os error 2)".
[[nodiscard]] std::string os_error_text(int errno_value);

[[nodiscard]] OsError os_error(int errno_value);
// The failure the last system call left in errno.
[[nodiscard]] OsError last_os_error();
// A read that met end of file before its buffer was full.
[[nodiscard]] OsError short_read_error();
// A write that the OS accepted zero bytes of.
[[nodiscard]] OsError short_write_error();
// A path that cannot be handed to the OS because it holds a NUL byte.
[[nodiscard]] OsError nul_in_path_error();

// A value of type T or the OsError that prevented it.
template <class T>
class [[nodiscard]] OsResult {
    static_assert(!std::is_same_v<std::remove_cv_t<T>, OsError>);

public:
    OsResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    OsResult(OsError error) : state_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // Precondition: ok().
    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }

    // Precondition: !ok().
    [[nodiscard]] const OsError& error() const& { return std::get<1>(state_); }
    [[nodiscard]] OsError&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, OsError> state_;
};

// Success or the OsError that prevented it.
template <>
class [[nodiscard]] OsResult<void> {
public:
    OsResult() = default;
    OsResult(OsError error) : error_(std::move(error)) {}
    static OsResult success() { return OsResult(); }

    [[nodiscard]] bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }

    // Precondition: !ok().
    [[nodiscard]] const OsError& error() const& { return *error_; }
    [[nodiscard]] OsError&& error() && { return *std::move(error_); }

private:
    std::optional<OsError> error_;
};

using OsStatus = OsResult<void>;

}  // namespace kestrove::platform
