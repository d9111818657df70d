#pragma once

// Writing ZIP archives file by file. An archive is written under a temporary name and renamed into
// place, so a file under the archive's own name is always whole.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "os/file.h"

namespace tav::upgrade {

// Per-file results of ZipWriter::addFile. 0 goes on; the negative codes below 0 and above -6
// are zlib's own, so that a caller who knows zlib reads them as such.
enum ZipResult : int {
  kZipOk = 0,
  kZipFileError = -1,    // the file could not be read, or the archive could not be written
  kZipStreamError = -2,  // the compressor refused its parameters
  kZipMemoryError = -4,  // the compressor ran out of memory
  kZipBufferError = -5,  // the compressor could make no progress
  kZipTooLarge = -100,   // would need ZIP64: a file or the archive reaching 4 GiB, or 65535 entries
  kZipNotOpen = -101,    // no archive is open
  kZipBadName = -102,    // empty, too long, leaving the archive's root ("..") or already present
  kZipDamaged = -103,    // an earlier failure left a partial entry that was not repaired (fix)
};

// Writes a new ZIP archive, one file at a time, deflated or stored when deflating does not
// shrink it. The archive is written under a temporary name beside it (archive + ".tmp") and
// renamed into place by save(), so a file under the archive's own name is always whole;
// close() without save() removes the temporary file. No ZIP64: what would need it is refused
// with kZipTooLarge. The byte layout is described in docs/release-archive.md.
//
// Entry names are given in 852 as the tool writes paths: backslashes become "/", a leading
// ".\" or "\" is dropped ("STR/wersja.dbf"). A name that is pure ASCII is stored as it is;
// any other is stored as UTF-8 with general purpose bit 11 set, which unzip on Linux and the
// Windows archivers read correctly, where 852 bytes would only come out right on a machine
// whose OEM page happens to be 852.
class ZipWriter {
 public:
  ZipWriter() = default;
  ~ZipWriter();  // close() when still open
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Starts a new archive at `archive` (852 Windows path). False when its directory is missing
  // or not writable, or when the name is taken by a directory or a read-only file.
  bool open(std::string_view archive);
  bool isOpen() const { return file_.isOpen(); }

  // Adds the file `source` (852 Windows path) under `entryName`; one of ZipResult.
  int addFile(std::string_view source, std::string_view entryName);

  // Writes the central directory and the end record with `comment` (852, stored as UTF-8,
  // at most 65535 bytes), then renames the archive into place and closes. False, with the
  // temporary file removed, when any of it fails or the archive is damaged.
  bool save(std::string_view comment);

  // Ends without saving: the temporary file goes, an archive of the same name saved earlier
  // stays as it was.
  void close();

  // Called when a failed add has left a partial entry in the file; its answer becomes the
  // archive's repair result. Without a handler the archive stays damaged and cannot be saved.
  using CorruptionHandler = std::function<int(ZipWriter&)>;
  void onCorruption(CorruptionHandler h) { onCorruption_ = std::move(h); }
  // Repairs a damaged archive by cutting the partial entry away: kZipOk, or kZipFileError when
  // the file cannot be cut. Nothing to do for an archive that is not damaged.
  int fix();
  bool damaged() const { return damaged_; }

  size_t entryCount() const { return entries_.size(); }

 private:
  struct Entry {
    std::string name;  // as stored
    bool utf8 = false;
    uint16_t method = 0;
    uint16_t dosTime = 0, dosDate = 0;
    uint32_t crc = 0;
    uint32_t compressedSize = 0, size = 0;
    uint32_t externalAttributes = 0;
    uint32_t offset = 0;  // of the local header
  };

  int writeEntry(os::File& src, Entry& e);
  int deflateData(os::File& src, uint64_t dataStart, uint64_t& written, uint32_t& crc,
                  uint64_t& read);
  int storeData(os::File& src, uint64_t dataStart, uint64_t& written, uint32_t& crc,
                uint64_t& read);
  bool append(const void* data, size_t n);
  void damage();
  void discard();

  os::File file_;
  std::string target_;  // 852 Windows path of the archive
  std::string temp_;    // 852 Windows path written until save
  uint64_t end_ = 0;    // bytes of complete entries
  std::vector<Entry> entries_;
  std::vector<std::string> keys_;  // upper-case names, for duplicates
  bool damaged_ = false;
  CorruptionHandler onCorruption_;
};

}  // namespace tav::upgrade
