// The message of a failure on Windows: the system's own text for its code (FormatMessageW), or the
// C library's for an errno the fault seam gave.
#include <windows.h>

#include <cstring>

#include "os/status.h"
#include "os/wide.h"

namespace tav::os {

std::string Status::message() const {
  if (code == 0) return {};
  if (native == 0) return std::strerror(code);
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(native), MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT),
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring w = n && text ? std::wstring(text, n) : std::wstring();
  if (text) ::LocalFree(text);
  while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r' || w.back() == L'.')) w.pop_back();
  if (w.empty()) return "Windows error " + std::to_string(native);
  return utf8FromWide(w);
}

}  // namespace tav::os
