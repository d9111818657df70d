// Memory taken from the system in whole pages and given back to it on release, beside the C
// heap: large short-lived buffers (an index build's sort buffers) taken from the heap raise its
// threshold for memory it then keeps, and a process converting firm after firm would grow with
// the largest table it met. Both backends return the pages to the system on release.
#pragma once

#include <cstddef>

namespace tav::os {

// `bytes` of zeroed, writable memory; nullptr when the system has none to give.
void* takePages(size_t bytes);
// Gives back what takePages returned, with the same size.
void releasePages(void* pages, size_t bytes);

}  // namespace tav::os
