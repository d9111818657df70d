// The message of a failure on Linux: the C library's text of its errno.
#include <cstring>

#include "os/status.h"

namespace tav::os {

std::string Status::message() const { return code == 0 ? std::string() : std::strerror(code); }

}  // namespace tav::os
