// The ZIP writer's records (docs/release-archive.md). Entries are made by a Unix host at format 2.0
// so unzip restores the permission bits; without ZIP64, a size or offset that needs it is refused.

#include "upgrade/zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "os/file.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/coding.h"

namespace tav::upgrade {
namespace {

// Record layouts (all integers little-endian); see docs/release-archive.md.
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndRecordSize = 22;
// Offsets inside the local header of the fields known only after the data is written.
constexpr size_t kLocalVersionAt = 4, kLocalMethodAt = 8, kLocalCrcAt = 14;

constexpr uint16_t kStored = 0, kDeflated = 8;
constexpr uint16_t kVersionStored = 10, kVersionDeflated = 20;
// Made by a Unix host (3) at format 2.0: unzip then restores the permission bits kept in the
// upper half of the external attributes; Windows archivers read the DOS bits of the lower half.
constexpr uint16_t kVersionMadeBy = (3 << 8) | 20;
constexpr uint16_t kFlagUtf8 = 1 << 11;
constexpr uint32_t kDosReadOnly = 0x01, kDosArchive = 0x20;

// Without ZIP64 every size and offset is a 32-bit field and 0xFFFFFFFF itself announces ZIP64.
constexpr uint64_t kLimit32 = 0xFFFFFFFFu;
// 0xFFFF in the end record's counts announces ZIP64 as well.
constexpr size_t kMaxEntries = 0xFFFE;
constexpr size_t kMaxNameOrComment = 0xFFFF;
constexpr size_t kChunk = 64 * 1024;

bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// "STR/wersja.dbf" from ".\STR\wersja.dbf"; empty when the name cannot be an entry: nothing
// left, a directory ("x/"), an empty component or one that climbs out with "..".
std::string entryName(std::string_view given) {
  std::string n(given);
  std::replace(n.begin(), n.end(), '\\', '/');
  for (;;) {
    if (n.starts_with("./"))
      n.erase(0, 2);
    else if (n.starts_with("/"))
      n.erase(0, 1);
    else
      break;
  }
  if (n.empty() || n.back() == '/') return {};
  size_t start = 0;
  while (start <= n.size()) {
    size_t slash = n.find('/', start);
    std::string_view part = std::string_view(n).substr(
        start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "..") return {};
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return n;
}

void dosDateTime(time_t t, uint16_t& date, uint16_t& time) {
  struct tm tm {};
  localtime_r(&t, &tm);
  if (tm.tm_year < 80) {  // the format starts in 1980
    date = (0 << 9) | (1 << 5) | 1;
    time = 0;
    return;
  }
  if (tm.tm_year > 207) tm.tm_year = 207;  // and ends in 2107
  date = static_cast<uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
}

int zlibResult(int rc) {
  switch (rc) {
    case Z_MEM_ERROR:
      return kZipMemoryError;
    case Z_BUF_ERROR:
      return kZipBufferError;
    default:
      return kZipStreamError;
  }
}

}  // namespace

ZipWriter::~ZipWriter() { close(); }

bool ZipWriter::open(std::string_view archive) {
  close();
  target_ = std::string(archive);
  temp_ = target_ + ".tmp";
  if (os::isDirectory(target_)) return false;
  if (auto a = os::attributes(target_); a && (*a & os::kAttrReadOnly)) return false;
  auto host = os::toHost(temp_);
  if (!file_.open(host, os::File::Mode::Create)) return false;
  os::noteCreated(host);
  end_ = 0;
  entries_.clear();
  keys_.clear();
  damaged_ = false;
  return true;
}

int ZipWriter::addFile(std::string_view source, std::string_view given) {
  if (!isOpen()) return kZipNotOpen;
  if (damaged_) return kZipDamaged;

  Entry e;
  std::string name = entryName(given);
  if (name.empty()) return kZipBadName;
  std::string key = rt::upper(name);
  if (std::find(keys_.begin(), keys_.end(), key) != keys_.end()) return kZipBadName;
  e.utf8 = !isAscii(name);
  e.name = e.utf8 ? rt::oemToUtf8(name) : name;
  if (e.name.size() > kMaxNameOrComment) return kZipBadName;
  if (entries_.size() >= kMaxEntries) return kZipTooLarge;

  // Only regular files are opened: opening a pipe for reading would wait for a writer forever.
  os::File src;
  if (!os::fileSize(source) || !src.open(os::toHost(source), os::File::Mode::Read))
    return kZipFileError;
  const std::optional<os::File::Info> st = src.info();
  if (!st || !src.isRegularFile()) return kZipFileError;
  if (st->size >= kLimit32) return kZipTooLarge;
  if (end_ + kLocalHeaderSize + e.name.size() >= kLimit32) return kZipTooLarge;

  dosDateTime(static_cast<time_t>(st->writeTime), e.dosDate, e.dosTime);
  e.externalAttributes =
      ((st->unixMode & 0xFFFF) << 16) | kDosArchive | ((st->unixMode & 0222) ? 0 : kDosReadOnly);
  e.offset = static_cast<uint32_t>(end_);

  int rc = writeEntry(src, e);
  if (rc != kZipOk) {
    damage();
    return rc;
  }
  entries_.push_back(std::move(e));
  keys_.push_back(std::move(key));
  return kZipOk;
}

int ZipWriter::writeEntry(os::File& src, Entry& e) {
  std::string header(kLocalHeaderSize, '\0');
  char* h = header.data();
  rt::putLE32(h, kLocalSignature);
  rt::putLE16(h + 4, kVersionDeflated);
  rt::putLE16(h + 6, e.utf8 ? kFlagUtf8 : 0);
  rt::putLE16(h + 8, kDeflated);
  rt::putLE16(h + 10, e.dosTime);
  rt::putLE16(h + 12, e.dosDate);
  // crc, compressed and uncompressed size (14, 18, 22) are patched in below.
  rt::putLE16(h + 26, static_cast<uint16_t>(e.name.size()));
  rt::putLE16(h + 28, 0);
  header += e.name;
  if (!file_.writeAt(end_, header.data(), header.size())) return kZipFileError;

  const uint64_t dataStart = end_ + header.size();
  uint64_t written = 0, read = 0;
  uint32_t crc = 0;
  e.method = kDeflated;
  int rc = deflateData(src, dataStart, written, crc, read);
  if (rc != kZipOk) return rc;
  // Deflate makes incompressible data (and empty files) slightly larger; those are stored.
  if (written >= read) {
    e.method = kStored;
    if (!file_.truncate(dataStart)) return kZipFileError;
    rc = storeData(src, dataStart, written, crc, read);
    if (rc != kZipOk) return rc;
  }
  if (dataStart + written >= kLimit32) return kZipTooLarge;

  e.crc = crc;
  e.compressedSize = static_cast<uint32_t>(written);
  e.size = static_cast<uint32_t>(read);
  char patch[12];
  rt::putLE32(patch, e.crc);
  rt::putLE32(patch + 4, e.compressedSize);
  rt::putLE32(patch + 8, e.size);
  char method[2], version[2];
  rt::putLE16(method, e.method);
  rt::putLE16(version, e.method == kStored ? kVersionStored : kVersionDeflated);
  if (!file_.writeAt(end_ + kLocalCrcAt, patch, sizeof patch) ||
      !file_.writeAt(end_ + kLocalMethodAt, method, sizeof method) ||
      !file_.writeAt(end_ + kLocalVersionAt, version, sizeof version))
    return kZipFileError;
  end_ = dataStart + written;
  return kZipOk;
}

int ZipWriter::deflateData(os::File& src, uint64_t dataStart, uint64_t& written, uint32_t& crc,
                           uint64_t& read) {
  z_stream zs{};
  // Raw deflate (negative window bits): the ZIP entry carries its own CRC, not zlib's wrapper.
  int rc = deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) return zlibResult(rc);
  std::vector<unsigned char> in(kChunk), out(kChunk);
  crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  written = read = 0;
  int result = kZipOk;
  int flush = Z_NO_FLUSH;
  while (result == kZipOk && flush != Z_FINISH) {
    ssize_t n = src.readSomeAt(read, in.data(), kChunk);
    if (n < 0) {
      result = kZipFileError;
      break;
    }
    read += static_cast<uint64_t>(n);
    if (read >= kLimit32) {
      result = kZipTooLarge;
      break;
    }
    crc = static_cast<uint32_t>(crc32(crc, in.data(), static_cast<uInt>(n)));
    // readSomeAt fills the chunk unless the file ended.
    flush = static_cast<size_t>(n) < kChunk ? Z_FINISH : Z_NO_FLUSH;
    zs.next_in = in.data();
    zs.avail_in = static_cast<uInt>(n);
    do {
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(kChunk);
      rc = deflate(&zs, flush);
      if (rc == Z_STREAM_ERROR) {
        result = kZipStreamError;
        break;
      }
      size_t have = kChunk - zs.avail_out;
      if (have && !file_.writeAt(dataStart + written, out.data(), have)) {
        result = kZipFileError;
        break;
      }
      written += have;
      if (dataStart + written >= kLimit32) {
        result = kZipTooLarge;
        break;
      }
    } while (zs.avail_out == 0);
  }
  if (result == kZipOk && rc != Z_STREAM_END) result = kZipBufferError;
  deflateEnd(&zs);
  return result;
}

int ZipWriter::storeData(os::File& src, uint64_t dataStart, uint64_t& written, uint32_t& crc,
                         uint64_t& read) {
  std::vector<unsigned char> buf(kChunk);
  crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  written = read = 0;
  for (;;) {
    ssize_t n = src.readSomeAt(read, buf.data(), kChunk);
    if (n < 0) return kZipFileError;
    if (n == 0) return kZipOk;
    read += static_cast<uint64_t>(n);
    if (dataStart + read >= kLimit32) return kZipTooLarge;
    crc = static_cast<uint32_t>(crc32(crc, buf.data(), static_cast<uInt>(n)));
    if (!file_.writeAt(dataStart + written, buf.data(), static_cast<size_t>(n)))
      return kZipFileError;
    written += static_cast<uint64_t>(n);
  }
}

void ZipWriter::damage() {
  damaged_ = true;
  if (onCorruption_) onCorruption_(*this);
}

int ZipWriter::fix() {
  if (!isOpen()) return kZipNotOpen;
  if (!damaged_) return kZipOk;
  if (!file_.truncate(end_)) return kZipFileError;
  damaged_ = false;
  return kZipOk;
}

bool ZipWriter::append(const void* data, size_t n) {
  if (!file_.writeAt(end_, data, n)) return false;
  end_ += n;
  return true;
}

bool ZipWriter::save(std::string_view comment) {
  if (!isOpen()) return false;
  std::string text = isAscii(comment) ? std::string(comment) : rt::oemToUtf8(comment);
  if (damaged_ || text.size() > kMaxNameOrComment) {
    discard();
    return false;
  }

  std::string directory;
  for (const Entry& e : entries_) {
    char h[kCentralHeaderSize] = {};
    rt::putLE32(h, kCentralSignature);
    rt::putLE16(h + 4, kVersionMadeBy);
    rt::putLE16(h + 6, e.method == kStored ? kVersionStored : kVersionDeflated);
    rt::putLE16(h + 8, e.utf8 ? kFlagUtf8 : 0);
    rt::putLE16(h + 10, e.method);
    rt::putLE16(h + 12, e.dosTime);
    rt::putLE16(h + 14, e.dosDate);
    rt::putLE32(h + 16, e.crc);
    rt::putLE32(h + 20, e.compressedSize);
    rt::putLE32(h + 24, e.size);
    rt::putLE16(h + 28, static_cast<uint16_t>(e.name.size()));
    // extra field and comment lengths, disk number, internal attributes: 0
    rt::putLE32(h + 38, e.externalAttributes);
    rt::putLE32(h + 42, e.offset);
    directory.append(h, sizeof h);
    directory += e.name;
  }
  const uint64_t directoryAt = end_;
  if (directoryAt + directory.size() + kEndRecordSize + text.size() >= kLimit32) {
    discard();
    return false;
  }
  char end[kEndRecordSize] = {};
  rt::putLE32(end, kEndSignature);
  // this disk and the directory's disk: 0
  rt::putLE16(end + 8, static_cast<uint16_t>(entries_.size()));
  rt::putLE16(end + 10, static_cast<uint16_t>(entries_.size()));
  rt::putLE32(end + 12, static_cast<uint32_t>(directory.size()));
  rt::putLE32(end + 16, static_cast<uint32_t>(directoryAt));
  rt::putLE16(end + 20, static_cast<uint16_t>(text.size()));

  bool ok = append(directory.data(), directory.size()) && append(end, sizeof end) &&
            append(text.data(), text.size()) && file_.truncate(end_) && file_.sync();
  if (!ok) {
    discard();
    return false;
  }
  file_.close();
  const auto from = os::toHost(temp_), to = os::toHost(target_);
  const bool renamed = static_cast<bool>(os::replaceHostFile(from, to));
  os::forgetListing(from.parent_path());
  if (!renamed) {
    discard();
    return false;
  }
  entries_.clear();
  keys_.clear();
  return true;
}

void ZipWriter::discard() {
  file_.close();
  os::removeFile(temp_);
  entries_.clear();
  keys_.clear();
  damaged_ = false;
  end_ = 0;
}

void ZipWriter::close() {
  if (isOpen()) discard();
}

}  // namespace tav::upgrade
