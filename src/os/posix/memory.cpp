// The system's pages on POSIX: anonymous private mappings.
#include "os/memory.h"

#include <sys/mman.h>

namespace tav::os {

void* takePages(size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void releasePages(void* pages, size_t bytes) {
  if (pages) ::munmap(pages, bytes);
}

}  // namespace tav::os
