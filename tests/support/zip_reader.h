// A ZIP reader of the tests' own, for the archive tests that read back with unzip and Python's
// zipfile on Linux and run under Wine too, where no Linux program can be started. It shares
// nothing with the tool's writer: it finds the end record, walks the central directory, checks
// every local header against its central entry, inflates (zlib, raw deflate) or copies each
// entry's data and checks its CRC-32 and sizes, as `unzip -t` does.
//
// Invariants: an archive that fails any of those checks reads as not ok, with the first problem
// in `error`; entries come in central-directory order, names as stored (UTF-8 when flag bit 11
// says so).
#pragma once
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "os/wide.h"

namespace tav::testing {

struct ZipEntry {
  std::string name;
  int method = 0;
  int flags = 0;
  std::string dateTime;  // "yyyy-mm-dd hh:mm:ss", as zipfile's date_time prints
  std::string data;
};

struct ZipArchive {
  bool ok = false;
  std::string error;
  std::vector<ZipEntry> entries;
  std::string comment;
};

inline ZipArchive readZip(const std::filesystem::path& file) {
  ZipArchive z;
  std::ifstream in(file, std::ios::binary);
  const std::string b((std::istreambuf_iterator<char>(in)), {});
  auto u16 = [&](size_t at) -> uint32_t {
    return static_cast<uint8_t>(b[at]) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1]))
                                             << 8;
  };
  auto u32 = [&](size_t at) -> uint32_t { return u16(at) | u16(at + 2) << 16; };
  auto fail = [&](const std::string& why) {
    z.ok = false;
    z.error = why;
    return z;
  };
  if (b.size() < 22) return fail("too short for an end record");
  size_t end = b.size() - 22;
  while (u32(end) != 0x06054b50) {
    if (end == 0 || b.size() - end > 22 + 65535) return fail("no end record");
    --end;
  }
  const uint32_t count = u16(end + 10), cdSize = u32(end + 12), cdStart = u32(end + 16);
  const uint32_t commentLength = u16(end + 20);
  if (end + 22 + commentLength != b.size()) return fail("the comment does not end the file");
  z.comment = b.substr(end + 22, commentLength);
  if (static_cast<uint64_t>(cdStart) + cdSize != end) return fail("central directory misplaced");
  size_t at = cdStart;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 46 > end || u32(at) != 0x02014b50) return fail("bad central entry");
    ZipEntry e;
    e.flags = static_cast<int>(u16(at + 8));
    e.method = static_cast<int>(u16(at + 10));
    const uint32_t time = u16(at + 12), date = u16(at + 14), crc = u32(at + 16);
    const uint32_t packed = u32(at + 20), size = u32(at + 24);
    const uint32_t nameLength = u16(at + 28), extra = u16(at + 30), note = u16(at + 32);
    const uint32_t local = u32(at + 42);
    e.name = b.substr(at + 46, nameLength);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u", (date >> 9) + 1980,
                  (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
    e.dateTime = stamp;
    at += 46 + nameLength + extra + note;

    if (local + 30 > cdStart || u32(local) != 0x04034b50) return fail(e.name + ": no local header");
    if (u16(local + 8) != static_cast<uint32_t>(e.method) ||
        b.compare(local + 30, u16(local + 26), e.name) != 0)
      return fail(e.name + ": the local header disagrees");
    const size_t dataStart = local + 30 + u16(local + 26) + u16(local + 28);
    if (dataStart + packed > cdStart) return fail(e.name + ": data beyond the entries");
    if (e.method == 0) {
      if (packed != size) return fail(e.name + ": stored sizes differ");
      e.data = b.substr(dataStart, packed);
    } else if (e.method == 8) {
      e.data.resize(size);
      z_stream s{};
      if (inflateInit2(&s, -MAX_WBITS) != Z_OK) return fail("zlib");
      s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(b.data() + dataStart));
      s.avail_in = packed;
      s.next_out = reinterpret_cast<Bytef*>(e.data.data());
      s.avail_out = size;
      const int rc = inflate(&s, Z_FINISH);
      const bool whole = rc == Z_STREAM_END && s.total_out == size && s.total_in == packed;
      inflateEnd(&s);
      if (!whole) return fail(e.name + ": does not inflate to its size");
    } else {
      return fail(e.name + ": method " + std::to_string(e.method));
    }
    if (crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())) !=
        crc)
      return fail(e.name + ": CRC differs");
    z.entries.push_back(std::move(e));
  }
  z.ok = true;
  return z;
}

// Writes every entry below `dir`, as unzip -d does ('/' separates directories).
inline bool extractZip(const ZipArchive& z, const std::filesystem::path& dir) {
  if (!z.ok) return false;
  for (const ZipEntry& e : z.entries) {
    std::filesystem::path to = dir;
    size_t from = 0;
    for (size_t slash; (slash = e.name.find('/', from)) != std::string::npos; from = slash + 1)
      to /= os::hostPath(e.name.substr(from, slash - from));
    std::filesystem::create_directories(to);
    to /= os::hostPath(e.name.substr(from));
    std::ofstream(to, std::ios::binary) << e.data;
  }
  return true;
}

}  // namespace tav::testing
