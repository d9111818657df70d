// Shell links on Windows are made and read by the shell itself: IShellLinkW for the target,
// working directory, arguments and description, IPersistFile to save and load the .lnk. A link is
// saved beside its name and moved over it, so that a reader never meets half a link.
// windows.h first: the other Win32 headers build on it.
#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "os/shelllink/shelllink.h"
#include "os/wide.h"

namespace tav::os {

namespace {

// COM for this thread for as long as a call needs it; a thread already in another apartment keeps
// it (the shell link object works in either).
class ComScope {
 public:
  ComScope() : hr_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }

 private:
  HRESULT hr_;
};

template <class T>
struct Released {
  T* p = nullptr;
  ~Released() {
    if (p) p->Release();
  }
};

}  // namespace

bool writeShellLink(const std::filesystem::path& hostFile, const ShellLink& link) {
  ComScope com;
  Released<IShellLinkW> sl;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&sl.p))))
    return false;
  if (FAILED(sl.p->SetPath(wideFromAnsi(link.target).c_str()))) return false;
  if (!link.workingDir.empty() &&
      FAILED(sl.p->SetWorkingDirectory(wideFromAnsi(link.workingDir).c_str())))
    return false;
  if (!link.arguments.empty() && FAILED(sl.p->SetArguments(wideFromAnsi(link.arguments).c_str())))
    return false;
  if (!link.description.empty() &&
      FAILED(sl.p->SetDescription(wideFromAnsi(link.description).c_str())))
    return false;
  Released<IPersistFile> pf;
  if (FAILED(sl.p->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&pf.p)))) return false;
  std::filesystem::path tmp = hostFile;
  tmp += L".tmp";
  if (FAILED(pf.p->Save(tmp.c_str(), TRUE))) {
    ::DeleteFileW(tmp.c_str());
    return false;
  }
  if (!::MoveFileExW(tmp.c_str(), hostFile.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileW(tmp.c_str());
    return false;
  }
  return true;
}

std::optional<ShellLink> readShellLink(const std::filesystem::path& hostFile) {
  ComScope com;
  Released<IShellLinkW> sl;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&sl.p))))
    return std::nullopt;
  Released<IPersistFile> pf;
  if (FAILED(sl.p->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&pf.p))) ||
      FAILED(pf.p->Load(hostFile.c_str(), STGM_READ)))
    return std::nullopt;
  wchar_t buf[INFOTIPSIZE + MAX_PATH] = {};
  ShellLink link;
  if (SUCCEEDED(sl.p->GetPath(buf, MAX_PATH, nullptr, SLGP_RAWPATH)))
    link.target = ansiFromWide(buf);
  buf[0] = 0;
  if (SUCCEEDED(sl.p->GetWorkingDirectory(buf, MAX_PATH))) link.workingDir = ansiFromWide(buf);
  buf[0] = 0;
  if (SUCCEEDED(sl.p->GetArguments(buf, INFOTIPSIZE))) link.arguments = ansiFromWide(buf);
  buf[0] = 0;
  if (SUCCEEDED(sl.p->GetDescription(buf, INFOTIPSIZE))) link.description = ansiFromWide(buf);
  return link;
}

}  // namespace tav::os
