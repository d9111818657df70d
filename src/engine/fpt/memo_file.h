#pragma once

// An FPT memo file. All integers are big-endian.
//   header (512 bytes): u32 next free block at 0, u16 block size at 6 (writers that store a u32
//   at 4 give the same bytes for sizes below 65536); the rest is zero.
//   entry at block b (byte offset b * blockSize): u32 type (1 text, 0 binary, 2 object),
//   u32 length, then the data; it occupies ceil((8 + length) / blockSize) blocks.
// Blocks of a replaced memo that no longer fits stay dead until the file is rebuilt; readers
// never follow them because no record points there any more.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/file.h"

namespace tav::engine {

class MemoFile {
 public:
  static constexpr uint32_t kHeaderSize = 512;
  static constexpr uint16_t kDefaultBlockSize = 64;
  static constexpr uint32_t kTypeBinary = 0, kTypeText = 1;

  MemoFile(const MemoFile&) = delete;
  MemoFile& operator=(const MemoFile&) = delete;

  // Creates (or truncates) an empty memo file.
  static bool create(const std::filesystem::path& host, uint16_t blockSize = kDefaultBlockSize);
  // nullptr with a reason when the file is missing or its header is damaged.
  static std::unique_ptr<MemoFile> open(const std::filesystem::path& host, bool readOnly,
                                        bool shared, std::string& why);

  uint16_t blockSize() const { return blockSize_; }
  const std::filesystem::path& path() const { return file_.path(); }

  // The memo at `block`; nullopt (with a reason) when the pointer or the stored length runs
  // outside the file: a damaged memo is reported, never followed.
  std::optional<std::string> read(uint32_t block, std::string& why, uint32_t* type = nullptr);
  // Stores a new memo at the next free block; 0 for an empty value (no memo) or a failed write.
  uint32_t write(std::string_view data, uint32_t type = kTypeText);
  // Stores `data` in place of the memo at `oldBlock` when it fits the blocks that memo holds,
  // otherwise at the next free block. Returns the memo's block (0 for an empty value).
  uint32_t replace(uint32_t oldBlock, std::string_view data, uint32_t type = kTypeText);
  // Back to an empty file (ZAP).
  bool clear();
  bool sync() { return file_.sync(); }
  bool syncAll() { return file_.syncAll(); }
  // Blocks the whole file currently spans, for pointer checks.
  uint64_t fileSize() { return static_cast<uint64_t>(std::max<int64_t>(0, file_.size())); }
  uint32_t nextFree();

 private:
  MemoFile() = default;
  // In shared use the allocation is done under a lock of byte 0, so that two workstations never
  // hand out the same block; the next-free pointer is read again under the lock.
  bool lockAllocation();
  void unlockAllocation();
  uint32_t blocksFor(uint64_t length) const {
    return static_cast<uint32_t>((8 + length + blockSize_ - 1) / blockSize_);
  }
  bool writeEntry(uint32_t block, std::string_view data, uint32_t type);

  os::File file_;
  uint16_t blockSize_ = kDefaultBlockSize;
  bool readOnly_ = false;
  bool shared_ = false;
};

}  // namespace tav::engine
