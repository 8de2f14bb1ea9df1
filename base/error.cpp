// Display texts of the error kinds.
#include "base/error.hpp"

namespace kestrove {

std::string Error::display() const {
    switch (kind_) {
        case Kind::Io:
            return "IO error: " + message_;
        case Kind::Compression:
            return "Compression error: " + message_;
        case Kind::InvalidData:
            break;
    }
    return "Invalid data: " + message_;
}

}  // namespace kestrove
