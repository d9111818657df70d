// Internal to os: the few host calls that the shared sources of os (the fault seam, shell link
// encoding, the computer name, font removal) need from the platform's backend. Each backend folder
// (os/posix, os/win32) defines all of them; nothing outside os includes this header.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tav::os::platform {

// Ends this process at once, as a kill would: no exit handlers, no flushes (the fault seam's
// "kill" must leave the disk as a power cut would).
[[noreturn]] void killSelf();

// Holds this process where it stands until it is continued from outside (the fault seam's "stop",
// with which a test makes a second run meet the first one mid-way).
void stopSelf();

// The host's own name for this computer, before the network form (first dot, upper case, 15
// characters) is applied.
std::string hostComputerName();

// Takes an ANSI-named font file out of the system's font table; true when nothing holds it.
bool removeSystemFont(std::string_view ansi);

// A file's times as FILETIMEs (100 ns since 1601) and its size, for a shell link's header.
struct HostTimes {
  uint64_t created = 0, accessed = 0, written = 0;
  uint64_t size = 0;
};
std::optional<HostTimes> hostTimes(const std::filesystem::path& host);

}  // namespace tav::os::platform
