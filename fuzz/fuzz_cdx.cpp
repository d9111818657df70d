// Fuzz target: a compound (.cdx) index file. The bytes are opened read-only as an index and each
// of its tags is walked both ways and sought (index_walk.h). Invariant: a damaged file is refused
// when it is opened or reported by the operation that meets the damage, never a crash or a hang.

#include "fuzz_support.h"
#include "index_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tav::fuzz::fuzzIndexFile(data, size, "c.cdx");
}
