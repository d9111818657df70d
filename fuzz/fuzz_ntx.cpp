// Fuzz target: a single-key (.ntx) index file. The bytes are opened read-only as an index and its
// one key is walked both ways and sought (index_walk.h). Invariant: a damaged file is refused
// when it is opened or reported by the operation that meets the damage, never a crash or a hang.

#include "engine/ntx/ntx_file.h"
#include "engine/index/index_files.h"
#include "fuzz_support.h"
#include "index_walk.h"

using namespace tav;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path path = fuzz::scratch() / "n.ntx";
  const std::string_view bytes = fuzz::bytesOf(data, size);
  fuzz::writeBytes(path, bytes);
  auto f = engine::openIndexFile(path, true);
  if (!f) return 0;
  // The tail of the input doubles as a key to seek: keys the file holds are tried anyway.
  fuzz::walkFile(*f, size, bytes.substr(size > 64 ? size - 64 : 0), false, fuzz::kOpenNtxTagNameBlanks);
  (void)engine::indexFileError(*f);
  return 0;
}
