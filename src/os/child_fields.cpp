// The result encoding of a child process (os/child_process.h), the same on every platform.
#include <cstring>

#include "os/child_process.h"

namespace tav::os {

void putField(std::string& out, const std::string& field) {
  const uint64_t size = field.size();
  out.append(reinterpret_cast<const char*>(&size), sizeof size);
  out += field;
}

std::optional<std::vector<std::string>> fields(const std::string& in) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < in.size()) {
    uint64_t size = 0;
    if (in.size() - at < sizeof size) return std::nullopt;
    std::memcpy(&size, in.data() + at, sizeof size);
    at += sizeof size;
    if (in.size() - at < size) return std::nullopt;
    out.emplace_back(in, at, size);
    at += size;
  }
  return out;
}

}  // namespace tav::os
