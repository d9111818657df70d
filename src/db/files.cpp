// The file family over os/files. Names from a listing are compared in upper-case 852; a copy
// replaces its target in one step, so a failed copy leaves the previous file rather than none.

#include "db/files.h"

#include "engine/staging.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"

namespace tav::db {

namespace {

// Listed names are compared with the tool's texts in upper case, code page 852. On Windows a
// listing gives ANSI names that are converted to OEM first; our listing already gives 852 names,
// so that conversion is the identity here. The file is addressed with the name as listed.
std::string comparableName(const std::string& listed) { return rt::upper(listed); }

bool containsAny(const std::string& name, const std::vector<std::string>& texts) {
  for (const auto& t : texts)
    if (name.find(rt::upper(t)) != std::string::npos) return true;
  return false;
}

}  // namespace

bool DEL_FILE(std::string_view file) {
  if (!os::exists(file)) return true;
  os::removeFile(file);
  // Ten more attempts: 11 in all, at most about 4 hundredths apart.
  for (int pass = 1; pass <= 10; ++pass) {
    if (!os::exists(file)) return true;
    if (pass == 1) {
      rt::pause(2);
      if (os::exists(file)) os::setAttributes(file, "-R-S-H");
    }
    rt::pause(2);
    os::removeFile(file);
  }
  return !os::exists(file);
}

void DEL_KAT(std::string_view directory, std::string_view mask, std::string_view skip,
             const std::vector<std::string>& keep) {
  std::string dir(directory);
  if (dir.empty() || dir.back() != '\\') dir += '\\';
  for (const os::DirEntry& e : os::listDirectory(dir + std::string(mask))) {
    std::string name = comparableName(e.name);
    if (skip.find(name) != std::string_view::npos) continue;
    if (containsAny(name, keep)) continue;  // only when the 4th argument on were passed
    std::string file = dir + e.name;
    for (int attempt = 0; attempt < 4; ++attempt)
      if (DEL_FILE(file)) break;
  }
}

bool MKDIR(std::string_view directory) {
  if (!directory.empty() && directory.back() == '\\') directory.remove_suffix(1);
  return static_cast<bool>(os::createDirectory(directory));
}

void COPY_KAT(std::string_view source, std::string_view target, std::string_view mask,
              std::string_view skip, const std::vector<std::string>& only) {
  if (source.empty()) return;
  std::string skipUpper = rt::upper(skip);
  std::string src(source), dst(target);
  for (const os::DirEntry& e : os::listDirectory(src + std::string(mask), "D")) {
    std::string name = comparableName(e.name);
    if (skipUpper.find("," + name + ",") != std::string::npos) continue;
    if (e.isDirectory()) continue;
    if (!only.empty() && !containsAny(name, only)) continue;  // only with a 5th argument on
    FCOPY(src + e.name, dst + rt::lower(e.name));
  }
}

bool WRITEFILE(std::string_view file, std::string_view text) {
  int64_t written = os::writeFile(file, text);
  if (written < 0) return false;
  return static_cast<size_t>(written) == text.size();
}

bool FCOPY(std::string_view source, std::string_view target) {
  std::string to(target);
  if (!to.empty() && to.back() == '\\') {
    // The name after the last separator; host paths ("/...") use slashes.
    size_t sep = source.find_last_of("\\/");
    to += source.substr(sep == std::string_view::npos ? 0 : sep + 1);
  }
  rt::AbandonGuard guard;
  for (int attempt = 0; attempt < 10; ++attempt) {
    bool copied = false;
    bool clean = rt::sequence([&] {
      // The copy replaces the target in one step, so the target is not deleted first: a copy
      // that fails then leaves the previous file in place instead of none. Only the attributes
      // that would refuse the replacement are cleared, as the deletion would have.
      if (os::exists(to) && !os::isDirectory(to)) os::setAttributes(to, "-R-S-H");
      copied = static_cast<bool>(os::copyFile(source, to));
    });
    if (clean && copied) return true;
    rt::pause(5);
  }
  return false;
}

void removeLeftovers(std::string_view directory, bool subdirectories) {
  std::string dir(directory);
  if (dir.empty() || dir.back() != '\\') dir += '\\';
  if (subdirectories)
    for (const os::DirEntry& e : os::listDirectory(dir + "*.*", "D"))
      // A link is not followed: it may lead out of the database, or back up into it for ever.
      if (e.isDirectory() && !(e.attributes & os::kAttrReparsePoint))
        removeLeftovers(dir + e.name + "\\", true);
  // A rebuild that reached its commit record is finished first: its staged files are the table's
  // new content, not leftovers.
  for (const os::DirEntry& e : os::listDirectory(dir + "~*.swp")) {
    const size_t dot = e.name.rfind('.');
    if (e.name.size() > 1 && dot != std::string::npos)
      engine::finishInterruptedSwap(os::toHost(dir + e.name.substr(1, dot - 1) + ".dbf"));
  }
  for (const os::DirEntry& e : os::listDirectory(dir + "~*.*")) {
    if (e.isDirectory() || e.name.size() < 2 || e.name[0] != '~') continue;
    const std::string lower = rt::lower(e.name);
    const size_t dot = lower.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : lower.substr(dot);
    // A copy's temporary is "~<name>.<process>.tmp"; another program's "~<anything>.tmp" is its
    // own business.
    bool leftover = false;
    if (ext == ".tmp") {
      const std::string stem = lower.substr(0, dot);
      const size_t processDot = stem.rfind('.');
      leftover = processDot != std::string::npos && processDot > 1 &&
                 processDot + 1 < stem.size() &&
                 stem.find_first_not_of("0123456789", processDot + 1) == std::string::npos;
    }
    if (ext == ".dbf" || ext == ".fpt" || ext == ".cdx")
      leftover = os::exists(dir + e.name.substr(1, dot - 1) + ".dbf");
    if (leftover) DEL_FILE(dir + e.name);
  }
}

}  // namespace tav::db
