// Builds OS error values and their display text.
#include "platform/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace kestrove::platform {

namespace {

// strerror_r comes in two flavours; overloads pick the message from whichever one libc has.
[[maybe_unused]] const char* message_from(int xsi_result, const char* buffer) {
    return xsi_result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* message_from(const char* gnu_result, const char*) {
    return gnu_result;
}

}  // namespace

std::string os_error_text(int errno_value) {
    char buffer[256] = {};
    const char* message = message_from(strerror_r(errno_value, buffer, sizeof buffer), buffer);
    std::string text =
        message != nullptr ? message : "Unknown error " + std::to_string(errno_value);
    text += " (os error ";
    text += std::to_string(errno_value);
    text += ')';
    return text;
}

Error os_error(int errno_value) { return Error::io(os_error_text(errno_value), errno_value); }

Error last_os_error() { return os_error(errno); }

Error short_read_error() { return Error::io("failed to fill whole buffer"); }

Error short_write_error() { return Error::io("failed to write whole buffer"); }

Error nul_in_path_error() { return Error::io("file name contained an unexpected NUL byte"); }

}  // namespace kestrove::platform
