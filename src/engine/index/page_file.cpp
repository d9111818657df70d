// The page file beneath both index formats: open and create, the lock byte, page bounds, reads
// and writes that report a damaged file, and the free list. See page_file.h for what stays true.

#include "engine/index/page_file.h"
#include "os/wide.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tav::engine {

PageFile::~PageFile() {
  if (locked_) unlock();
}

bool PageFile::openFile(const std::filesystem::path& host, bool readOnly, uint64_t minSize,
                        const char* kind, std::string& why) {
  host_ = host;
  pathText_ = os::utf8(host);
  readOnly_ = readOnly;
  if (!file_.open(host, readOnly ? os::File::Mode::Read : os::File::Mode::ReadWrite)) {
    why = "cannot open " + os::oemText(host) + ": " + std::strerror(file_.lastError());
    return false;
  }
  int64_t size = file_.size();
  if (size < static_cast<int64_t>(minSize)) {
    why = os::oemText(host) + " is too short for " + kind;
    return false;
  }
  measureEnd();
  return true;
}

bool PageFile::createFile(const std::filesystem::path& host, std::string& why) {
  host_ = host;
  pathText_ = os::utf8(host);
  if (!file_.open(host, os::File::Mode::Create)) {
    why = "cannot create " + os::oemText(host) + ": " + std::strerror(file_.lastError());
    return false;
  }
  return true;
}

void PageFile::measureEnd() {
  int64_t size = file_.size();
  if (size > 0) fileEnd_ = static_cast<uint64_t>(size) / geometry_.page * geometry_.page;
}

bool PageFile::validPage(uint32_t offset) const {
  return offset >= geometry_.firstPage && offset % geometry_.page == 0 &&
         uint64_t{offset} + geometry_.page <= fileEnd_;
}

void PageFile::readPage(uint32_t offset, uint8_t* buf) {
  if (!validPage(offset))
    throw Damaged{"page pointer " + std::to_string(offset) + " is outside the file"};
  if (!file_.readAt(offset, buf, geometry_.page))
    throw Damaged{"cannot read page " + std::to_string(offset)};
}

void PageFile::write(uint64_t offset, const void* data, size_t n) {
  if (!file_.writeAt(offset, data, n)) throw Damaged{"cannot write the index file"};
}

uint32_t PageFile::allocPage() {
  if (freeHead_ != 0 && validPage(freeHead_)) {
    uint32_t page = freeHead_;
    setFreeHead(freeLink(page));
    freeChanged_ = true;
    return page;
  }
  // Page pointers are 32 bits: the last page must end below 4 GiB.
  if (fileEnd_ + 2 * uint64_t{geometry_.page} > (uint64_t{1} << 32))
    throw Damaged{"the index file is full"};
  uint32_t page = static_cast<uint32_t>(fileEnd_);
  fileEnd_ += geometry_.page;
  return page;
}

void PageFile::freePage(uint32_t offset) {
  std::vector<uint8_t> buf(geometry_.page, 0);
  formatFreePage(buf.data(), freeHead_);
  write(offset, buf.data(), buf.size());
  freeHead_ = offset;
  freeChanged_ = true;
}

void PageFile::flush() {
  if (!readOnly_) file_.sync();
}

bool PageFile::lock(bool exclusive) {
  if (!file_.lockRange(geometry_.lockOffset, 1, exclusive && !readOnly_)) return false;
  locked_ = true;
  refresh();
  return true;
}

void PageFile::unlock() {
  if (!locked_) return;
  file_.unlockRange(geometry_.lockOffset, 1);
  locked_ = false;
}

}  // namespace tav::engine
