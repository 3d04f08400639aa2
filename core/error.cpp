#include "error.hpp"

#include <cstring>

namespace zpr {

Error os_error(int errnum) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* description = strerror_r(errnum, buffer, sizeof buffer);
    return Error(std::string(description) + " (os error " + std::to_string(errnum) + ")");
}

Error unexpected_eof() { return Error("failed to fill whole buffer"); }

}  // namespace zpr
