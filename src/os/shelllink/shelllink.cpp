// Encoding and decoding of shell link files, byte for byte in Windows's own layout
// (docs/shell-links.md): the links are opened by the Windows shell, not by this tool.

#include "os/shelllink/shelllink.h"

#include <array>
#include <cstdint>
#include <iterator>

#include "os/path.h"
#include "os/platform.h"
#include "runtime/codepage.h"
#include "runtime/coding.h"

namespace tav::os {
namespace {

constexpr uint32_t kHeaderSize = 0x4C;
// The shell link class identifier 00021401-0000-0000-C000-000000000046 in its stored byte order.
constexpr std::array<uint8_t, 16> kLinkClsid = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// LinkFlags.
constexpr uint32_t kHasLinkTargetIdList = 0x01;
constexpr uint32_t kHasLinkInfo = 0x02;
constexpr uint32_t kHasName = 0x04;
constexpr uint32_t kHasRelativePath = 0x08;
constexpr uint32_t kHasWorkingDir = 0x10;
constexpr uint32_t kHasArguments = 0x20;
constexpr uint32_t kHasIconLocation = 0x40;
constexpr uint32_t kIsUnicode = 0x80;

// LinkInfoFlags.
constexpr uint32_t kVolumeIdAndLocalBasePath = 0x01;
constexpr uint32_t kCommonNetworkRelativeLink = 0x02;

constexpr uint32_t kFileAttributeArchive = 0x20;
constexpr uint32_t kShowNormal = 1;
constexpr uint32_t kDriveFixed = 3;
constexpr uint32_t kValidNetType = 0x02;
constexpr uint32_t kNetworkProviderLanman = 0x00020000;

void put32(std::string& out, uint32_t v) {
  char b[4];
  rt::putLE32(b, v);
  out.append(b, 4);
}
void put16(std::string& out, uint16_t v) {
  char b[2];
  rt::putLE16(b, v);
  out.append(b, 2);
}
void set32(std::string& out, size_t at, uint32_t v) { rt::putLE32(out.data() + at, v); }

bool needsUnicode(std::string_view ansi) {
  for (char c : ansi)
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

std::string utf16(std::string_view ansi) { return rt::utf8ToUtf16le(rt::ansiToUtf8(ansi)); }

// LinkInfo for a target on a drive: VolumeID and LocalBasePath, with the Unicode form of the path
// as well when the ANSI one has letters that another code page would read differently.
std::string localLinkInfo(const std::string& path) {
  const bool unicode = needsUnicode(path);
  const uint32_t headerSize = unicode ? 0x24 : 0x1C;
  std::string info(headerSize, '\0');
  set32(info, 8, kVolumeIdAndLocalBasePath);
  set32(info, 12, static_cast<uint32_t>(info.size()));  // VolumeIDOffset
  // VolumeID: size, drive type, serial number, label offset, empty label.
  put32(info, 0x11);
  put32(info, kDriveFixed);
  put32(info, 0);
  put32(info, 0x10);
  info += '\0';
  set32(info, 16, static_cast<uint32_t>(info.size()));  // LocalBasePathOffset
  info += path;
  info += '\0';
  set32(info, 24, static_cast<uint32_t>(info.size()));  // CommonPathSuffixOffset
  info += '\0';
  if (unicode) {
    set32(info, 28, static_cast<uint32_t>(info.size()));
    info += utf16(path);
    info.append(2, '\0');
    set32(info, 32, static_cast<uint32_t>(info.size()));
    info.append(2, '\0');
  }
  set32(info, 0, static_cast<uint32_t>(info.size()));
  set32(info, 4, headerSize);
  return info;
}

// LinkInfo for a target on a share: the share's name ("\\SERVER\SHARE") and the path below it.
std::string networkLinkInfo(const std::string& path) {
  size_t shareEnd = path.find('\\', 2);
  if (shareEnd != std::string::npos) shareEnd = path.find('\\', shareEnd + 1);
  // A target that ends right after the share's own backslash keeps that backslash in the share
  // name: an empty suffix reads back as the share alone, and the backslash would be lost.
  if (shareEnd + 1 == path.size()) shareEnd = std::string::npos;
  std::string share = path.substr(0, shareEnd);
  std::string suffix = shareEnd == std::string::npos ? "" : path.substr(shareEnd + 1);
  std::string info(0x1C, '\0');
  set32(info, 8, kCommonNetworkRelativeLink);
  set32(info, 20, static_cast<uint32_t>(info.size()));  // CommonNetworkRelativeLinkOffset
  std::string cnrl(0x14, '\0');
  set32(cnrl, 4, kValidNetType);
  set32(cnrl, 8, 0x14);  // NetNameOffset
  set32(cnrl, 16, kNetworkProviderLanman);
  cnrl += share;
  cnrl += '\0';
  set32(cnrl, 0, static_cast<uint32_t>(cnrl.size()));
  info += cnrl;
  set32(info, 24, static_cast<uint32_t>(info.size()));  // CommonPathSuffixOffset
  info += suffix;
  info += '\0';
  set32(info, 0, static_cast<uint32_t>(info.size()));
  set32(info, 4, 0x1C);
  return info;
}

void putCounted(std::string& out, std::string_view ansi) {
  std::string u = utf16(ansi);
  put16(out, static_cast<uint16_t>(u.size() / 2));
  out += u;
}

// Bounds-checked reading of a link file.
class Reader {
 public:
  explicit Reader(std::string_view b) : b_(b) {}
  bool has(size_t at, size_t n) const { return at <= b_.size() && n <= b_.size() - at; }
  uint32_t u32(size_t at) const { return rt::getLE32(b_.data() + at); }
  uint16_t u16(size_t at) const { return rt::getLE16(b_.data() + at); }
  std::string_view bytes(size_t at, size_t n) const { return b_.substr(at, n); }
  // A zero-terminated ANSI string that must end before `limit`.
  std::optional<std::string> cstr(size_t at, size_t limit) const {
    if (at >= limit || limit > b_.size()) return std::nullopt;
    size_t end = b_.find('\0', at);
    if (end == std::string_view::npos || end >= limit) return std::nullopt;
    return std::string(b_.substr(at, end - at));
  }
  // A zero-terminated UTF-16 string, given back as ANSI.
  std::optional<std::string> wstr(size_t at, size_t limit) const {
    if (limit > b_.size()) return std::nullopt;
    for (size_t i = at; i + 1 < limit; i += 2) {
      if (b_[i] == '\0' && b_[i + 1] == '\0') {
        auto utf8 = rt::utf16leToUtf8(b_.substr(at, i - at));
        if (!utf8) return std::nullopt;
        return rt::utf8ToAnsi(*utf8);
      }
    }
    return std::nullopt;
  }

 private:
  std::string_view b_;
};

std::optional<std::string> decodeLinkInfo(const Reader& r, size_t at, size_t& next) {
  if (!r.has(at, 0x1C)) return std::nullopt;
  const uint32_t size = r.u32(at), headerSize = r.u32(at + 4), flags = r.u32(at + 8);
  if (size < 0x1C || headerSize < 0x1C || headerSize > size || !r.has(at, size))
    return std::nullopt;
  const size_t end = at + size;
  next = end;
  auto field = [&](uint32_t off) -> std::optional<size_t> {
    if (off == 0 || off >= size) return std::nullopt;
    return at + off;
  };
  const bool unicode = headerSize >= 0x24;
  std::optional<std::string> suffix;
  if (unicode && r.u32(at + 32)) {
    if (auto p = field(r.u32(at + 32))) suffix = r.wstr(*p, end);
  }
  if (!suffix) {
    if (auto p = field(r.u32(at + 24))) suffix = r.cstr(*p, end);
  }
  std::string tail = suffix.value_or("");
  if (flags & kVolumeIdAndLocalBasePath) {
    std::optional<std::string> base;
    if (unicode && r.u32(at + 28)) {
      if (auto p = field(r.u32(at + 28))) base = r.wstr(*p, end);
    }
    if (!base) {
      auto p = field(r.u32(at + 16));
      if (!p) return std::nullopt;
      base = r.cstr(*p, end);
    }
    if (!base) return std::nullopt;
    return *base + tail;
  }
  if (flags & kCommonNetworkRelativeLink) {
    auto p = field(r.u32(at + 20));
    if (!p || !r.has(*p, 0x14)) return std::nullopt;
    const uint32_t cnrlSize = r.u32(*p), netNameOffset = r.u32(*p + 8);
    if (cnrlSize < 0x14 || !r.has(*p, cnrlSize) || *p + cnrlSize > end) return std::nullopt;
    if (netNameOffset < 0x14 || netNameOffset >= cnrlSize) return std::nullopt;
    auto share = r.cstr(*p + netNameOffset, *p + cnrlSize);
    if (!share) return std::nullopt;
    return tail.empty() ? *share : *share + "\\" + tail;
  }
  return std::string();
}

void fillFromTarget(std::string& out, const std::string& target) {
  if (target.empty()) return;
  const std::optional<platform::HostTimes> t = platform::hostTimes(toHost(rt::ansiToOem(target)));
  if (!t) return;
  rt::putLE64(out.data() + 28, t->created);
  rt::putLE64(out.data() + 36, t->accessed);
  rt::putLE64(out.data() + 44, t->written);
  set32(out, 52, static_cast<uint32_t>(t->size));
}

}  // namespace

std::string encodeShellLink(const ShellLink& link) {
  uint32_t flags = kHasLinkInfo | kIsUnicode;
  if (!link.description.empty()) flags |= kHasName;
  if (!link.workingDir.empty()) flags |= kHasWorkingDir;
  if (!link.arguments.empty()) flags |= kHasArguments;

  std::string out(kHeaderSize, '\0');
  set32(out, 0, kHeaderSize);
  std::copy(kLinkClsid.begin(), kLinkClsid.end(), out.begin() + 4);
  set32(out, 20, flags);
  set32(out, 24, kFileAttributeArchive);
  fillFromTarget(out, link.target);
  set32(out, 60, kShowNormal);

  const bool network = link.target.size() > 2 && link.target[0] == '\\' && link.target[1] == '\\';
  out += network ? networkLinkInfo(link.target) : localLinkInfo(link.target);
  if (flags & kHasName) putCounted(out, link.description);
  if (flags & kHasWorkingDir) putCounted(out, link.workingDir);
  if (flags & kHasArguments) putCounted(out, link.arguments);
  put32(out, 0);  // terminal block of the (empty) extra data
  return out;
}

std::optional<ShellLink> decodeShellLink(std::string_view bytes) {
  Reader r(bytes);
  if (!r.has(0, kHeaderSize) || r.u32(0) != kHeaderSize) return std::nullopt;
  if (bytes.substr(4, 16) != std::string_view(reinterpret_cast<const char*>(kLinkClsid.data()), 16))
    return std::nullopt;
  const uint32_t flags = r.u32(20);
  size_t at = kHeaderSize;
  if (flags & kHasLinkTargetIdList) {
    if (!r.has(at, 2)) return std::nullopt;
    at += 2 + r.u16(at);
  }
  ShellLink link;
  if (flags & kHasLinkInfo) {
    size_t next = 0;
    auto target = decodeLinkInfo(r, at, next);
    if (!target) return std::nullopt;
    link.target = *target;
    at = next;
  }
  const bool unicode = flags & kIsUnicode;
  auto counted = [&](std::string* into) {
    if (!r.has(at, 2)) return false;
    const size_t chars = r.u16(at);
    const size_t n = unicode ? chars * 2 : chars;
    if (!r.has(at + 2, n)) return false;
    std::string_view raw = r.bytes(at + 2, n);
    at += 2 + n;
    if (!into) return true;
    if (!unicode) {
      *into = std::string(raw);
    } else {
      auto utf8 = rt::utf16leToUtf8(raw);
      if (!utf8) return false;
      *into = rt::utf8ToAnsi(*utf8);
    }
    // Some shells (Wine's) count the terminating zero of a string: it is not part of the text.
    while (!into->empty() && into->back() == '\0') into->pop_back();
    return true;
  };
  if ((flags & kHasName) && !counted(&link.description)) return std::nullopt;
  if ((flags & kHasRelativePath) && !counted(nullptr)) return std::nullopt;
  if ((flags & kHasWorkingDir) && !counted(&link.workingDir)) return std::nullopt;
  if ((flags & kHasArguments) && !counted(&link.arguments)) return std::nullopt;
  if ((flags & kHasIconLocation) && !counted(nullptr)) return std::nullopt;
  return link;
}

}  // namespace tav::os
