#pragma once

// An open host file: positioned reads and writes, size, sync, and the two kinds of locks the
// table files need. Byte-range locks conflict between two opens of one process as between
// processes, and closing one open does not drop the locks of another (Linux: open-file-description
// locks, F_OFD_SETLK; Windows: LockFileEx on the handle, at the same byte offsets, so both lock the
// same records of a shared table). The open mode (shared or exclusive use of a table) is an flock
// on the descriptor on Linux and the share mode of the handle on Windows. Expected failures are
// results, never exceptions; lastError() is this open's own errno-style code (docs/platforms.md).

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tav::os {

// Whether sync() reaches the disk. The tool keeps it on: a table it reports written must survive
// a power cut. A bulk writer of data that can be made again (the sample generator) turns it off,
// since a flush per closed index costs it most of its time on a real disk.
void setDurableSync(bool on);
bool durableSync();
// Flushes to the disk this process asked for so far (diagnostics, and the tests that hold the
// flushes to where safety needs them).
uint64_t syncsDone();

class File {
 public:
  enum class Mode {
    Read,
    ReadWrite,
    Create,      // read-write, created or truncated
    OpenAlways,  // read-write, created when missing, contents kept (truncate after locking)
  };

  File() = default;
  ~File();
  File(File&& o) noexcept;
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // False with errno kept in lastError() when the file cannot be opened.
  bool open(const std::filesystem::path& host, Mode mode);
  void close();
  bool isOpen() const { return h_ != -1; }
  // A regular file (not a directory, a pipe or a device): only those are read whole.
  bool isRegularFile() const;
  // Size, last write (seconds since 1970) and Unix mode bits of the open file; on Windows the
  // mode is that of a regular file, read-only when the file's attribute says so.
  struct Info {
    uint64_t size = 0;
    int64_t writeTime = 0;
    uint32_t unixMode = 0;
  };
  std::optional<Info> info() const;
  int lastError() const { return error_; }
  const std::filesystem::path& path() const { return path_; }

  // Whole reads and writes at an offset; false on a short transfer or an error.
  bool readAt(uint64_t offset, void* buf, size_t n);
  bool writeAt(uint64_t offset, const void* buf, size_t n);
  // Reads up to n bytes; the count read, or -1 on an error.
  ssize_t readSomeAt(uint64_t offset, void* buf, size_t n);
  int64_t size();
  bool truncate(uint64_t size);
  // Forces what this descriptor wrote (or truncated) since its last sync to the disk; nothing to
  // do, and no flush, when it wrote nothing. Closing an unchanged file thus costs no flush.
  bool sync();
  // Forces the whole file (or a directory's entries) to the disk, whoever wrote it: for a file
  // written through another descriptor, before a rename makes it count.
  bool syncAll();

  // Non-blocking byte-range lock; false when another holder has a conflicting lock.
  bool lockRange(uint64_t offset, uint64_t length, bool exclusive);
  bool unlockRange(uint64_t offset, uint64_t length);
  // Non-blocking open-mode lock on the whole file; false when another holder conflicts.
  bool lockOpenMode(bool exclusive);

 private:
  void startWriteback(uint64_t offset, size_t n);  // Linux only

  // The descriptor on Linux, the HANDLE on Windows; -1 when closed.
  intptr_t h_ = -1;
  Mode mode_ = Mode::Read;
  int error_ = 0;
  bool unsynced_ = false;  // written or truncated since the last sync
  // Linux: what was written since its writeback was last started (os/posix/file.cpp).
  struct Batch {
    uint64_t from = UINT64_MAX, to = 0, bytes = 0;
  } batch_;
  std::filesystem::path path_;
};

}  // namespace tav::os
