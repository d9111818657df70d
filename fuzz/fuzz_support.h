#pragma once

// What every fuzz target shares: a scratch directory of its own process for the files a target
// hands to the code under test, and a way to run that code so that the runtime errors damaged
// input must raise come back as results. Anything else that goes wrong (a sanitizer report, an
// uncaught exception, a walk that does not end) is a finding and stops the process.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace tav::fuzz {

// A directory of this process, removed when it ends. /dev/shm keeps the file traffic of a
// million executions off the disk.
inline const std::filesystem::path& scratch() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path base =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    // libFuzzer ends its runs with _Exit, past the atexit below: directories of processes that
    // are gone are cleared here instead.
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(base, ec)) {
      const std::string name = e.path().filename().string();
      if (name.rfind("tav-fuzz-", 0) == 0 && !std::filesystem::exists("/proc/" + name.substr(9)))
        std::filesystem::remove_all(e.path(), ec);
    }
    std::filesystem::path d = base / ("tav-fuzz-" + std::to_string(::getpid()));
    std::filesystem::remove_all(d);
    std::filesystem::create_directories(d);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratch(), ec);
    });
    return d;
  }();
  return dir;
}

inline void writeBytes(const std::filesystem::path& p, std::string_view bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", p.c_str());
    std::abort();
  }
}

inline std::string_view bytesOf(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Runs `body` with a handler that takes the default or substitutes wherever the error allows and
// abandons otherwise, never retrying (a retry of damaged input would loop). True when the body
// ran to its end.
inline bool underHandler(const std::function<void()>& body) {
  rt::HandlerGuard guard([](rt::Error& e) {
    rt::Answer a;
    if (e.canSubstitute) {
      a.kind = rt::Answer::Substitute;
    } else if (e.canDefault) {
      a.kind = rt::Answer::Default;
    } else {
      throw rt::Abandon(e);
    }
    return a;
  });
  return rt::sequence(body);
}

// A loop over damaged input must still end: `steps` past `limit` means it never would.
inline bool boundedStep(uint64_t& steps, uint64_t limit, const char* what) {
  if (++steps > limit) {
    std::fprintf(stderr, "%s did not end after %llu steps\n", what,
                 static_cast<unsigned long long>(limit));
    std::abort();
  }
  return true;
}

[[noreturn]] inline void finding(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

}  // namespace tav::fuzz
