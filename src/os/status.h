// The outcome of an operation on the host, carrying its reason: success, or the error the OS gave.
// Callers test one set of codes on every platform (errno values: ENOENT, EACCES, EEXIST, ENOSPC,
// EAGAIN ...); the Windows backend maps its own codes onto them and keeps the original for the
// message. There is no process-wide "last error": a failure travels in its result.
#pragma once

#include <string>

namespace tav::os {

struct Status {
  int code = 0;     // 0: success; else an errno value
  long native = 0;  // the OS's own code: errno on Linux, GetLastError() on Windows

  static Status ok() { return {}; }
  static Status failed(int code, long native) { return Status{code, native}; }
  static Status fromErrno(int e) { return Status{e, e}; }
  explicit operator bool() const { return code == 0; }
  bool is(int errnoValue) const { return code == errnoValue; }
  // The OS's text for the error (UTF-8), "" on success.
  std::string message() const;
};

}  // namespace tav::os
