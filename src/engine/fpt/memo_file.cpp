// Reading, writing and allocating memo blocks. An allocation holds byte 0 of the file, as other
// workstations' engines do, and waits up to 200 tries of a hundredth for it; entries are padded to
// whole blocks so the file always ends on a block boundary.

#include "engine/fpt/memo_file.h"

#include <vector>

#include "os/wide.h"
#include "runtime/clock.h"
#include "runtime/coding.h"

namespace tav::engine {
namespace {
// Another workstation holds byte 0 only for the few writes of one allocation; these tries at a
// hundredth of a second each outlast it by far.
constexpr int kAllocationTries = 200;
}  // namespace

bool MemoFile::create(const std::filesystem::path& host, uint16_t blockSize) {
  if (blockSize == 0) return false;
  os::File f;
  if (!f.open(host, os::File::Mode::Create)) return false;
  std::vector<uint8_t> header(kHeaderSize, 0);
  uint32_t first = (kHeaderSize + blockSize - 1) / blockSize;
  rt::putBE32(header.data(), first);
  rt::putBE16(header.data() + 6, blockSize);
  return f.writeAt(0, header.data(), header.size()) && f.truncate(uint64_t(first) * blockSize);
}

std::unique_ptr<MemoFile> MemoFile::open(const std::filesystem::path& host, bool readOnly,
                                         bool shared, std::string& why) {
  std::unique_ptr<MemoFile> m(new MemoFile);
  if (!m->file_.open(host, readOnly ? os::File::Mode::Read : os::File::Mode::ReadWrite)) {
    why = "cannot open memo file " + os::oemText(host);
    return nullptr;
  }
  uint8_t header[8];
  if (!m->file_.readAt(0, header, sizeof header)) {
    why = "memo file header is short: " + os::oemText(host);
    return nullptr;
  }
  m->blockSize_ = rt::getBE16(header + 6);
  if (m->blockSize_ == 0) {
    why = "memo file has block size 0: " + os::oemText(host);
    return nullptr;
  }
  m->readOnly_ = readOnly;
  m->shared_ = shared;
  return m;
}

uint32_t MemoFile::nextFree() {
  uint8_t b[4];
  uint32_t first = (kHeaderSize + blockSize_ - 1) / blockSize_;
  if (!file_.readAt(0, b, 4)) return first;
  uint32_t next = rt::getBE32(b);
  // A pointer into the header would let a new memo overwrite it; one beyond the end of the
  // file is harmless but wasteful. Both are corrected from the file size.
  uint64_t size = fileSize();
  uint32_t bySize = static_cast<uint32_t>((size + blockSize_ - 1) / blockSize_);
  if (next < first) next = std::max(first, bySize);
  if (next < bySize) next = bySize;
  return next;
}

std::optional<std::string> MemoFile::read(uint32_t block, std::string& why, uint32_t* type) {
  if (block == 0) return std::string();
  uint64_t offset = uint64_t(block) * blockSize_;
  uint64_t size = fileSize();
  uint8_t head[8];
  if (offset < kHeaderSize || offset + 8 > size || !file_.readAt(offset, head, 8)) {
    why = "memo block " + std::to_string(block) + " lies outside the memo file";
    return std::nullopt;
  }
  uint32_t length = rt::getBE32(head + 4);
  if (length > size - offset - 8) {
    why = "memo at block " + std::to_string(block) + " claims " + std::to_string(length) +
          " bytes beyond the end of the memo file";
    return std::nullopt;
  }
  if (type) *type = rt::getBE32(head);
  std::string data(length, '\0');
  if (length && !file_.readAt(offset + 8, data.data(), length)) {
    why = "memo at block " + std::to_string(block) + " cannot be read";
    return std::nullopt;
  }
  return data;
}

bool MemoFile::writeEntry(uint32_t block, std::string_view data, uint32_t type) {
  // The entry is written padded to whole blocks, so that the file always ends on a block
  // boundary and the next-free pointer agrees with the file size.
  std::vector<char> buf(size_t(blocksFor(data.size())) * blockSize_, '\0');
  rt::putBE32(buf.data(), type);
  rt::putBE32(buf.data() + 4, static_cast<uint32_t>(data.size()));
  std::copy(data.begin(), data.end(), buf.begin() + 8);
  return file_.writeAt(uint64_t(block) * blockSize_, buf.data(), buf.size());
}

bool MemoFile::lockAllocation() {
  if (!shared_) return true;
  for (int i = 0; i < kAllocationTries; ++i) {
    if (file_.lockRange(0, 1, true)) return true;
    rt::pause(1);
  }
  return false;
}

void MemoFile::unlockAllocation() {
  if (shared_) file_.unlockRange(0, 1);
}

uint32_t MemoFile::write(std::string_view data, uint32_t type) {
  if (data.empty() || readOnly_) return 0;
  if (data.size() > 0x7FFFFFF0u) return 0;
  if (!lockAllocation()) return 0;
  uint32_t block = nextFree();
  uint64_t end = uint64_t(block) + blocksFor(data.size());
  bool ok = end <= 0xFFFFFFFFull && writeEntry(block, data, type);
  if (ok) {
    uint8_t b[4];
    rt::putBE32(b, static_cast<uint32_t>(end));
    ok = file_.writeAt(0, b, 4);
  }
  unlockAllocation();
  return ok ? block : 0;
}

uint32_t MemoFile::replace(uint32_t oldBlock, std::string_view data, uint32_t type) {
  if (data.empty() || readOnly_) return 0;
  if (oldBlock != 0) {
    uint64_t offset = uint64_t(oldBlock) * blockSize_;
    uint8_t head[8];
    if (offset >= kHeaderSize && offset + 8 <= fileSize() && file_.readAt(offset, head, 8)) {
      uint32_t oldLength = rt::getBE32(head + 4);
      // In place only when the old entry was sound (it lies wholly inside the file) and the
      // new value needs no more blocks than it held.
      if (oldLength <= fileSize() - offset - 8 && blocksFor(data.size()) <= blocksFor(oldLength)) {
        if (writeEntry(oldBlock, data, type)) return oldBlock;
      }
    }
  }
  return write(data, type);
}

bool MemoFile::clear() {
  if (readOnly_) return false;
  uint32_t first = (kHeaderSize + blockSize_ - 1) / blockSize_;
  uint8_t b[4];
  rt::putBE32(b, first);
  return file_.writeAt(0, b, 4) && file_.truncate(uint64_t(first) * blockSize_);
}

}  // namespace tav::engine
