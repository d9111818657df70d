// Host files on Windows: CreateFileW, positioned ReadFile/WriteFile, FlushFileBuffers, LockFileEx.
// Invariants kept as on Linux (os/file.h): byte-range locks at the same offsets the Linux engine
// uses, so both lock the same records of a shared table; a lock taken twice on one open is one
// lock (taking it again, or with the other mode, converts it, as F_OFD_SETLK does); unlocking a
// range releases every lock of this open inside it. The open mode is the handle's share mode: a
// shared open lets others read and write, an exclusive one lets no one else open the file at all.
// Opens of this tool allow deletion and renaming by others, as Linux opens do; the accounting
// program's own opens do not, which is what keeps a table it holds from being swapped away.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "os/fault.h"
#include "os/file.h"
#include "os/wide.h"
#include "os/win32/win_error.h"

namespace tav::os {

namespace {

std::atomic<bool> gDurableSync{true};
std::atomic<uint64_t> gSyncs{0};

HANDLE handleOf(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The locks each open holds, so that LockFileEx (which neither converts nor merges) behaves as the
// byte-range locks the engine was written against. Keyed by handle.
struct HeldLock {
  uint64_t offset, length;
  bool exclusive;
};
struct LockBook {
  SRWLOCK guard = SRWLOCK_INIT;
  std::vector<std::pair<intptr_t, HeldLock>> held;
};
LockBook& book() {
  static LockBook b;
  return b;
}

HANDLE openHandle(const std::filesystem::path& host, File::Mode mode, DWORD share) {
  DWORD access = GENERIC_READ, disposition = OPEN_EXISTING;
  switch (mode) {
    case File::Mode::Read:
      break;
    case File::Mode::ReadWrite:
      access |= GENERIC_WRITE;
      break;
    case File::Mode::Create:
      access |= GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      break;
    case File::Mode::OpenAlways:
      access |= GENERIC_WRITE;
      disposition = OPEN_ALWAYS;
      break;
  }
  return ::CreateFileW(host.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

OVERLAPPED at(uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

}  // namespace

uint64_t syncsDone() { return gSyncs; }
void setDurableSync(bool on) { gDurableSync = on; }
bool durableSync() { return gDurableSync; }

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
  path_ = host;
  mode_ = mode;
  if (const int injected = faultAt(FaultPoint::Open)) {
    error_ = injected;
    return false;
  }
  HANDLE h = openHandle(host, mode, kShareAll);
  if (h == INVALID_HANDLE_VALUE) {
    error_ = win32::errnoOf(::GetLastError());
    return false;
  }
  h_ = reinterpret_cast<intptr_t>(h);
  error_ = 0;
  unsynced_ = mode == Mode::Create || mode == Mode::OpenAlways;
  return true;
}

void File::close() {
  if (h_ == -1) return;
  {
    LockBook& b = book();
    AcquireSRWLockExclusive(&b.guard);
    std::erase_if(b.held, [&](const auto& e) { return e.first == h_; });
    ReleaseSRWLockExclusive(&b.guard);
  }
  ::CloseHandle(handleOf(h_));
  h_ = -1;
}

std::optional<File::Info> File::info() const {
  BY_HANDLE_FILE_INFORMATION d{};
  if (h_ == -1 || !::GetFileInformationByHandle(handleOf(h_), &d)) return std::nullopt;
  const uint64_t ft = (static_cast<uint64_t>(d.ftLastWriteTime.dwHighDateTime) << 32) |
                      d.ftLastWriteTime.dwLowDateTime;
  Info i;
  i.size = (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
  i.writeTime = static_cast<int64_t>(ft / 10000000ull) - 11644473600ll;
  // A regular file: rw-r--r--, or r--r--r-- when read-only.
  i.unixMode = (d.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0100444 : 0100644;
  return i;
}

bool File::isRegularFile() const {
  BY_HANDLE_FILE_INFORMATION d{};
  return h_ != -1 && ::GetFileType(handleOf(h_)) == FILE_TYPE_DISK &&
         ::GetFileInformationByHandle(handleOf(h_), &d) &&
         !(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
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
    OVERLAPPED o = at(offset + done);
    const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(handleOf(h_), p + done, want, &got, &o)) {
      const DWORD e = ::GetLastError();
      if (e == ERROR_HANDLE_EOF) break;
      error_ = win32::errnoOf(e);
      return -1;
    }
    if (got == 0) break;
    done += got;
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
    OVERLAPPED o = at(offset + done);
    const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
    DWORD put = 0;
    if (!::WriteFile(handleOf(h_), p + done, want, &put, &o)) {
      error_ = win32::errnoOf(::GetLastError());
      return false;
    }
    if (put == 0) {
      error_ = EIO;
      return false;
    }
    done += put;
  }
  return true;
}

int64_t File::size() {
  LARGE_INTEGER s{};
  if (!::GetFileSizeEx(handleOf(h_), &s)) {
    error_ = win32::errnoOf(::GetLastError());
    return -1;
  }
  return s.QuadPart;
}

bool File::truncate(uint64_t size) {
  unsynced_ = true;
  if (const int injected = faultAt(FaultPoint::Write)) {
    error_ = injected;
    return false;
  }
  FILE_END_OF_FILE_INFO eof{};
  eof.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!::SetFileInformationByHandle(handleOf(h_), FileEndOfFileInfo, &eof, sizeof eof)) {
    error_ = win32::errnoOf(::GetLastError());
    return false;
  }
  return true;
}

bool File::sync() {
  if (!unsynced_) return true;
  if (!syncAll()) return false;
  unsynced_ = false;
  return true;
}

bool File::syncAll() {
  ++gSyncs;
  if (const int injected = faultAt(FaultPoint::Flush, utf8(path_).c_str())) {
    error_ = injected;
    return false;
  }
  if (!gDurableSync) return true;
  HANDLE target = handleOf(h_), writer = INVALID_HANDLE_VALUE;
  if (mode_ == Mode::Read) {
    // Windows flushes only through a handle that may write: a file written through another open
    // (a staged table before its swap) is flushed through one made for the purpose.
    writer = ::CreateFileW(path_.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (writer == INVALID_HANDLE_VALUE) {
      // A read-only file has nothing of ours waiting to be written.
      const DWORD e = ::GetLastError();
      if (e == ERROR_ACCESS_DENIED) return true;
      error_ = win32::errnoOf(e);
      return false;
    }
    target = writer;
  }
  const bool ok = ::FlushFileBuffers(target);
  const DWORD e = ok ? 0 : ::GetLastError();
  if (writer != INVALID_HANDLE_VALUE) ::CloseHandle(writer);
  if (!ok) {
    error_ = win32::errnoOf(e);
    return false;
  }
  unsynced_ = false;  // what this handle wrote is flushed with the rest
  return true;
}

bool File::lockRange(uint64_t offset, uint64_t length, bool exclusive) {
  if (const int injected = faultAt(FaultPoint::Lock)) {
    error_ = injected;
    return false;
  }
  LockBook& b = book();
  AcquireSRWLockExclusive(&b.guard);
  auto same = std::find_if(b.held.begin(), b.held.end(), [&](const auto& e) {
    return e.first == h_ && e.second.offset == offset && e.second.length == length;
  });
  if (same != b.held.end()) {
    if (same->second.exclusive == exclusive) {
      ReleaseSRWLockExclusive(&b.guard);
      return true;
    }
    // A conversion: Windows keeps both modes side by side, so the old one goes first.
    OVERLAPPED o = at(offset);
    ::UnlockFileEx(handleOf(h_), 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32),
                   &o);
    b.held.erase(same);
  }
  OVERLAPPED o = at(offset);
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  const bool ok = ::LockFileEx(handleOf(h_), flags, 0, static_cast<DWORD>(length),
                               static_cast<DWORD>(length >> 32), &o);
  if (ok) {
    b.held.push_back({h_, HeldLock{offset, length, exclusive}});
  } else {
    error_ = win32::errnoOf(::GetLastError());
  }
  ReleaseSRWLockExclusive(&b.guard);
  return ok;
}

bool File::unlockRange(uint64_t offset, uint64_t length) {
  LockBook& b = book();
  AcquireSRWLockExclusive(&b.guard);
  bool ok = true;
  for (auto it = b.held.begin(); it != b.held.end();) {
    const HeldLock& l = it->second;
    if (it->first == h_ && l.offset >= offset && l.offset + l.length <= offset + length) {
      OVERLAPPED o = at(l.offset);
      ok = ::UnlockFileEx(handleOf(h_), 0, static_cast<DWORD>(l.length),
                          static_cast<DWORD>(l.length >> 32), &o) &&
           ok;
      it = b.held.erase(it);
    } else {
      ++it;
    }
  }
  ReleaseSRWLockExclusive(&b.guard);
  return ok;
}

bool File::lockOpenMode(bool exclusive) {
  if (const int injected = faultAt(FaultPoint::Lock)) {
    error_ = injected;
    return false;
  }
  // A shared open is what open() made: it would have failed had anyone held the file exclusively.
  if (!exclusive) return true;
  // Share modes are fixed when a handle is made, and our own handle counts as another holder: the
  // file is opened again without sharing, in place of the first handle.
  const Mode mode = mode_;
  const bool unsynced = unsynced_;
  const std::filesystem::path path = path_;
  close();
  HANDLE h = openHandle(path, mode == Mode::Create ? Mode::ReadWrite : mode, 0);
  if (h == INVALID_HANDLE_VALUE) {
    error_ = win32::errnoOf(::GetLastError());
    return false;
  }
  h_ = reinterpret_cast<intptr_t>(h);
  mode_ = mode;
  unsynced_ = unsynced;
  path_ = path;
  return true;
}

}  // namespace tav::os
