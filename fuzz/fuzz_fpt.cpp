// Fuzz target: a memo file. The bytes are opened as an .fpt and every block from the end of the
// header to the end of the file is read as a memo, plus the pointers a damaged record could
// hold (0, the header's own blocks, the next-free pointer, past the end). Invariant: a pointer or
// a stored length that runs outside the file is reported, never followed.

#include <algorithm>
#include <string>

#include "engine/fpt/memo_file.h"
#include "fuzz_support.h"

using namespace tav;
using namespace tav::engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path path = fuzz::scratch() / "m.fpt";
  fuzz::writeBytes(path, fuzz::bytesOf(data, size));
  std::string why;
  auto m = MemoFile::open(path, true, false, why);
  if (!m) return 0;
  const uint32_t bs = m->blockSize();
  if (bs == 0) fuzz::finding("memo file opened with block size 0");
  const uint64_t blocks = m->fileSize() / bs + 1;
  auto readAt = [&](uint32_t b) {
    uint32_t type = 0;
    std::string reason;
    auto text = m->read(b, reason, &type);
    if (text && text->size() > m->fileSize()) fuzz::finding("a memo longer than its file");
  };
  const uint32_t firstData = (MemoFile::kHeaderSize + bs - 1) / bs;
  const uint64_t end = std::min<uint64_t>(blocks, firstData + 4096);
  for (uint64_t b = firstData; b < end; ++b) readAt(static_cast<uint32_t>(b));
  for (uint32_t b :
       {0u, 1u, firstData ? firstData - 1 : 0u, m->nextFree(),
        static_cast<uint32_t>(std::min<uint64_t>(blocks, 0xFFFFFFFFu)), 0x7FFFFFFFu, 0xFFFFFFFFu})
    readAt(b);
  return 0;
}
