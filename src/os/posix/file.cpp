// Host files for the table engine and the tools: positioned reads and writes, locks, and syncs
// that flush only what this descriptor changed (see file.h).
#include "os/file.h"

#include "os/fault.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "os/path.h"

namespace tav::os {

namespace {
std::atomic<bool> gDurableSync{true};
std::atomic<uint64_t> gSyncs{0};
}  // namespace

File::~File() { close(); }

File::File(File&& o) noexcept
    : h_(o.h_),
      mode_(o.mode_),
      error_(o.error_),
      unsynced_(o.unsynced_),
      batch_(o.batch_),
      path_(std::move(o.path_)) {
  o.h_ = -1;
  o.unsynced_ = false;
}

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    close();
    h_ = o.h_;
    mode_ = o.mode_;
    error_ = o.error_;
    unsynced_ = o.unsynced_;
    batch_ = o.batch_;
    path_ = std::move(o.path_);
    o.h_ = -1;
    o.unsynced_ = false;
  }
  return *this;
}

bool File::open(const std::filesystem::path& host, Mode mode) {
  close();
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::Read:
      flags |= O_RDONLY;
      break;
    case Mode::ReadWrite:
      flags |= O_RDWR;
      break;
    case Mode::Create:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    case Mode::OpenAlways:
      flags |= O_RDWR | O_CREAT;
      break;
  }
  if (const int injected = faultAt(FaultPoint::Open)) {
    h_ = -1;
    error_ = injected;
    path_ = host;
    return false;
  }
  h_ = ::open(host.c_str(), flags, 0666);
  mode_ = mode;
  error_ = h_ < 0 ? errno : 0;
  // A file made or emptied by this open has changes of its own to force, and the letter-case
  // lookup keeps its listing of the directory without reading it again.
  unsynced_ = h_ >= 0 && (mode == Mode::Create || mode == Mode::OpenAlways);
  if (unsynced_) noteCreated(host);
  path_ = host;
  return h_ >= 0;
}

void File::close() {
  if (h_ >= 0) ::close(static_cast<int>(h_));
  h_ = -1;
}

std::optional<File::Info> File::info() const {
  struct stat st;
  if (h_ < 0 || ::fstat(static_cast<int>(h_), &st) != 0) return std::nullopt;
  return Info{static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtime),
              static_cast<uint32_t>(st.st_mode)};
}

bool File::isRegularFile() const {
  struct stat st;
  return h_ >= 0 && ::fstat(static_cast<int>(h_), &st) == 0 && S_ISREG(st.st_mode);
}

bool File::readAt(uint64_t offset, void* buf, size_t n) {
  return readSomeAt(offset, buf, n) == static_cast<ssize_t>(n);
}

ssize_t File::readSomeAt(uint64_t offset, void* buf, size_t n) {
  if (const int injected = faultAt(FaultPoint::Read)) {
    error_ = injected;
    return -1;
  }
  size_t done = 0;
  auto p = static_cast<char*>(buf);
  while (done < n) {
    ssize_t r =
        ::pread(static_cast<int>(h_), p + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

bool File::writeAt(uint64_t offset, const void* buf, size_t n) {
  unsynced_ = true;
  if (const int injected = faultAt(FaultPoint::Write)) {
    error_ = injected;
    return false;
  }
  size_t done = 0;
  auto p = static_cast<const char*>(buf);
  while (done < n) {
    ssize_t r =
        ::pwrite(static_cast<int>(h_), p + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return false;
    }
    done += static_cast<size_t>(r);
  }
  startWriteback(offset, n);
  return true;
}

// What a bulk writer wrote starts on its way to the disk a batch at a time while it goes on, so
// that the sync that must wait for it (before a rename, at a close) finds most of it written: the
// disk works while the tool computes instead of after it. Left alone, the kernel starts only
// when a tenth of the memory is dirty, which a whole upgrade of hundreds of firms may never reach.
// Whole pages only: the one a later write continues is started with the next batch.
void File::startWriteback(uint64_t offset, size_t n) {
  constexpr uint64_t kBatch = 1 << 20, kPage = 4096;
  if (!gDurableSync) return;  // nothing of it will be waited for
  batch_.from = std::min(batch_.from, offset);
  batch_.to = std::max(batch_.to, offset + n);
  batch_.bytes += n;
  if (batch_.bytes < kBatch) return;
  const uint64_t from = batch_.from & ~(kPage - 1), to = batch_.to & ~(kPage - 1);
  // A hint: a range the kernel cannot start now is written at the sync all the same.
  if (to > from)
    ::sync_file_range(static_cast<int>(h_), static_cast<off_t>(from), static_cast<off_t>(to - from),
                      SYNC_FILE_RANGE_WRITE);
  batch_ = {};
}

int64_t File::size() {
  struct stat st;
  if (::fstat(static_cast<int>(h_), &st) != 0) {
    error_ = errno;
    return -1;
  }
  return st.st_size;
}

bool File::truncate(uint64_t size) {
  unsynced_ = true;
  if (const int injected = faultAt(FaultPoint::Write)) {
    error_ = injected;
    return false;
  }
  if (::ftruncate(static_cast<int>(h_), static_cast<off_t>(size)) != 0) {
    error_ = errno;
    return false;
  }
  return true;
}

uint64_t syncsDone() { return gSyncs; }

void setDurableSync(bool on) { gDurableSync = on; }
bool durableSync() { return gDurableSync; }

bool File::sync() {
  if (!unsynced_) return true;
  if (!syncAll()) return false;
  unsynced_ = false;
  return true;
}

bool File::syncAll() {
  ++gSyncs;
  if (const int injected = faultAt(FaultPoint::Flush, path_.c_str())) {
    error_ = injected;
    return false;
  }
  if (gDurableSync && ::fdatasync(static_cast<int>(h_)) != 0) {
    error_ = errno;
    return false;
  }
  unsynced_ = false;  // what this descriptor wrote is forced with the rest
  return true;
}

bool File::lockRange(uint64_t offset, uint64_t length, bool exclusive) {
  if (const int injected = faultAt(FaultPoint::Lock)) {
    error_ = injected;
    return false;
  }
  struct flock fl {};
  fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  if (::fcntl(static_cast<int>(h_), F_OFD_SETLK, &fl) != 0) {
    error_ = errno;
    return false;
  }
  return true;
}

bool File::unlockRange(uint64_t offset, uint64_t length) {
  struct flock fl {};
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  return ::fcntl(static_cast<int>(h_), F_OFD_SETLK, &fl) == 0;
}

bool File::lockOpenMode(bool exclusive) {
  if (const int injected = faultAt(FaultPoint::Lock)) {
    error_ = injected;
    return false;
  }
  if (::flock(static_cast<int>(h_), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    error_ = errno;
    return false;
  }
  return true;
}

}  // namespace tav::os
