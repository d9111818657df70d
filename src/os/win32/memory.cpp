// The system's pages on Windows: committed virtual memory, released whole.
#include "os/memory.h"

#include <windows.h>

namespace tav::os {

void* takePages(size_t bytes) {
  return ::VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void releasePages(void* pages, size_t /*bytes*/) {
  // MEM_RELEASE takes the whole reservation and wants a size of 0.
  if (pages) ::VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace tav::os
