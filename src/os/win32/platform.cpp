// The host calls the shared sources of os need, on Windows (os/platform.h).
#include "os/platform.h"

#include <windows.h>

#include "os/wide.h"

namespace tav::os::platform {

void killSelf() {
  // As a kill: no exit handlers, no flushes.
  ::TerminateProcess(::GetCurrentProcess(), 137);
  for (;;) ::Sleep(INFINITE);
}

void stopSelf() {
  // This thread waits until another process resumes it (a debugger, a test's ResumeThread).
  ::SuspendThread(::GetCurrentThread());
}

std::string hostComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &n)) return {};
  return ansiFromWide(std::wstring_view(name, n));
}

bool removeSystemFont(std::string_view ansi) {
  const std::wstring w = wideFromAnsi(ansi);
  // A font that was never loaded is not held either: its file can go. Every loaded copy is taken
  // out (a font added twice is held twice).
  bool removed = false;
  while (::RemoveFontResourceW(w.c_str())) removed = true;
  if (removed)
    ::SendMessageTimeoutW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0, SMTO_ABORTIFHUNG, 1000, nullptr);
  return true;
}

std::optional<HostTimes> hostTimes(const std::filesystem::path& host) {
  WIN32_FILE_ATTRIBUTE_DATA d{};
  if (!::GetFileAttributesExW(host.c_str(), GetFileExInfoStandard, &d)) return std::nullopt;
  auto ft = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return HostTimes{ft(d.ftCreationTime), ft(d.ftLastAccessTime), ft(d.ftLastWriteTime),
                   (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow};
}

}  // namespace tav::os::platform
