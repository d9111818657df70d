// The run directory of a repair and its list of kept originals. Every step leaves a state the next
// attempt takes up: a copy is renamed into place only when whole, the list names an item only
// after its files are flushed, and the marker says the run has not ended.
#include "repair/originals.h"

#include <ctime>

#include "db/directories.h"
#include "os/file.h"
#include "os/files.h"
#include "os/path.h"

namespace tav::repair {
namespace {

constexpr const char* kMarker = "w_toku.txt";
constexpr const char* kList = "spis.txt";

// Forces a file, or a directory's entries, to the disk.
bool flushed(const std::string& path) {
  os::File f;
  return f.open(os::toHost(path), os::File::Mode::Read) && f.syncAll();
}

std::string parentOf(const std::string& path) {
  const size_t at = path.find_last_of('\\', path.size() >= 2 ? path.size() - 2 : 0);
  return at == std::string::npos ? path : path.substr(0, at + 1);
}

std::string fileName(const std::string& path) {
  const size_t at = path.rfind('\\');
  return at == std::string::npos ? path : path.substr(at + 1);
}

// A copy that was killed half-way is a temporary file beside its target, never the target.
void removeUnfinishedCopies(const std::string& dir) {
  for (const os::DirEntry& e : os::listDirectory(dir + "*.*", "D"))
    if (e.isDirectory() && !(e.attributes & os::kAttrReparsePoint))
      removeUnfinishedCopies(dir + e.name + "\\");
  for (const os::DirEntry& t : os::listDirectory(dir + "~*.tmp")) os::removeFile(dir + t.name);
}

std::string stamp() {
  const std::time_t now = std::time(nullptr);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", std::localtime(&now));
  return buf;
}

}  // namespace

Originals::Originals(std::string root) : root_(std::move(root)) {
  if (!root_.empty() && root_.back() != '\\') root_ += '\\';
}

void Originals::resume() {
  const std::string base = root_ + "naprawa\\";
  for (const os::DirEntry& e : os::listDirectory(base + "*.*", "D")) {
    if (!e.isDirectory()) continue;
    const std::string dir = base + e.name + "\\";
    const bool unfinished =
        os::exists(dir + kMarker) || os::listDirectory(dir + "*.*", "DHS").empty();
    if (unfinished) dir_ = dir;  // the listing is sorted by name: the latest one wins
  }
  if (dir_.empty()) return;
  removeUnfinishedCopies(dir_);
  if (!os::exists(dir_ + kMarker)) {
    const std::string marker = dir_ + kMarker;
    os::writeFile(marker, "Naprawa w toku\r\n");
    flushed(marker);
  }
  if (const auto text = os::readFile(dir_ + kList)) {
    size_t from = 0;
    for (size_t end; (end = text->find('\n', from)) != std::string::npos; from = end + 1)
      listed_.insert(text->substr(from, end - from));
  }
}

bool Originals::begin() {
  if (!dir_.empty()) return true;
  const std::string base = root_ + "naprawa\\";
  if (!os::isDirectory(base) && !os::createDirectory(base)) return false;
  std::string name = stamp();
  for (int n = 2; os::exists(base + name); ++n) name = stamp() + "-" + std::to_string(n);
  if (!os::createDirectory(base + name)) return false;
  dir_ = base + name + "\\";
  const std::string marker = dir_ + kMarker;
  return os::writeFile(marker, "Naprawa w toku\r\n") >= 0 && flushed(marker) && flushed(base);
}

bool Originals::append(const std::string& item) {
  os::File list;
  if (!list.open(os::toHost(dir_ + kList), os::File::Mode::OpenAlways)) return false;
  const int64_t size = list.size();
  const std::string line = item + "\n";
  if (size < 0 || !list.writeAt(uint64_t(size), line.data(), line.size()) || !list.sync())
    return false;
  listed_.insert(item);
  return true;
}

bool Originals::keep(const std::string& item, const std::vector<std::string>& files,
                     const std::string& subdirectory) {
  if (kept(item)) return true;
  if (!begin()) return false;
  const std::string target = dir_ + subdirectory;
  if (!subdirectory.empty() && !os::isDirectory(target)) {
    db::MAKEDIR(target);
    if (!os::isDirectory(target)) return false;
  }
  for (const std::string& file : files) {
    const std::string copy = target + fileName(file);
    if (!os::copyFile(file, copy) || !flushed(copy)) return false;
  }
  if (!flushed(target) || !flushed(parentOf(target))) return false;
  return append(item);
}

bool Originals::note(const std::string& item) {
  if (kept(item)) return true;
  return begin() && append(item);
}

void Originals::finish() {
  // The last thing the repair does: a repair stopped before it is taken up again by the next, and
  // one stopped after it has ended (a removal lost to a power cut only makes the next repair go
  // over the same originals once more).
  if (!dir_.empty()) os::removeFile(dir_ + kMarker);
}

}  // namespace tav::repair
