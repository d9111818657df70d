// Internal to the Windows backend: Win32 error codes as the errno values the rest of the tool tests
// (os/status.h), so that the engine's "does not exist", "in use" and "no room" decisions are the
// same on both platforms.
#pragma once

#include <windows.h>

#include <cerrno>

#include "os/status.h"

namespace tav::os::win32 {

inline int errnoOf(DWORD e) {
  switch (e) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      // Someone else holds the file or the bytes: the code the engine treats as "in use".
      return EWOULDBLOCK;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_BUSY:
    case ERROR_CURRENT_DIRECTORY:
      return EBUSY;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    default:
      return EIO;
  }
}

inline Status statusOf(DWORD e) {
  return e == 0 ? Status::ok() : Status::failed(errnoOf(e), static_cast<long>(e));
}
inline Status lastStatus() { return statusOf(::GetLastError()); }
// An errno given by the fault seam, as if the OS had given it.
inline Status injected(int e) { return Status::failed(e, 0); }

}  // namespace tav::os::win32
