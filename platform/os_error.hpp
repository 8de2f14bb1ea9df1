// Operating-system failures as I/O errors, worded as the database reports them.
#pragma once

#include <string>

#include "base/error.hpp"

namespace kestrove::platform {

// Every platform call returns a Result or Status whose failures are Error::Kind::Io. The error's
// os_code() is the errno value, or 0 when the OS did not report the failure itself; its message
// is the complete text the engine prints after "IO error: ".

// "<strerror text> (os error <N>)", e.g. "No such file or directory (os error 2)".
[[nodiscard]] std::string os_error_text(int errno_value);

[[nodiscard]] Error os_error(int errno_value);
// The failure the last system call left in errno.
[[nodiscard]] Error last_os_error();
// A read that met end of file before its buffer was full.
[[nodiscard]] Error short_read_error();
// A write that the OS accepted zero bytes of.
[[nodiscard]] Error short_write_error();
// A path that cannot be handed to the OS because it holds a NUL byte.
[[nodiscard]] Error nul_in_path_error();

}  // namespace kestrove::platform
