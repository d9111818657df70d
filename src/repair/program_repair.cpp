// The check and repair of an installed program against the release the tool runs in: its files,
// its registry keys and its shortcuts. A file is replaced only after it was kept under the
// program's naprawa\; the keys and links are written by the registration the installation uses.
#include <algorithm>
#include <cstring>

#include "convert/program_refresh.h"
#include "convert/release_catalogue.h"
#include "db/files.h"
#include "db/xbpreg.h"
#include "engine/workspace.h"
#include "install/registration.h"
#include "os/file.h"
#include "os/files.h"
#include "os/path.h"
#include "os/registry/registry.h"
#include "os/shelllink/shelllink.h"
#include "os/wide.h"
#include "repair/originals.h"
#include "repair/repair.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"

namespace tav::repair {
namespace {

using What = ProgramItem::What;

std::string withBackslash(std::string dir) {
  if (!dir.empty() && dir.back() != '\\') dir += '\\';
  return dir;
}

std::string firstField(const std::string& table, const char* field) {
  std::string text;
  if (!os::exists(table)) return text;
  rt::HandlerGuard quiet([](rt::Error&) { return rt::Answer{}; });
  engine::Workspace ws;
  engine::UseOptions uo;
  uo.shared = uo.readOnly = true;
  if (!ws.useHost(os::toHost(table), "R", uo)) return text;
  engine::WorkArea& a = *ws.current();
  a.goTop();
  if (a.eof()) return text;
  const rt::Value v = a.get(field);
  if (v.isText()) text = rt::allTrim(v.str());
  if (v.isNumber()) text = rt::allTrim(rt::Str(v.num(), 10, 0));
  return text;
}

// Compares two files byte for byte; `why` says how they differ.
bool sameBytes(const std::string& a, const std::string& b, std::string& why) {
  const auto sa = os::fileSize(a), sb = os::fileSize(b);
  if (!sa || !sb) {
    why = "cannot be read";
    return false;
  }
  if (*sa != *sb) {
    why = "differs from the release (" + std::to_string(*sa) + " bytes, the release's " +
          std::to_string(*sb) + ")";
    return false;
  }
  os::File fa, fb;
  if (!fa.open(os::toHost(a), os::File::Mode::Read) ||
      !fb.open(os::toHost(b), os::File::Mode::Read)) {
    why = "cannot be read";
    return false;
  }
  std::vector<char> ba(1 << 16), bb(1 << 16);
  for (uint64_t at = 0; at < *sa;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(ba.size(), *sa - at));
    if (!fa.readAt(at, ba.data(), n) || !fb.readAt(at, bb.data(), n)) {
      why = "cannot be read";
      return false;
    }
    if (std::memcmp(ba.data(), bb.data(), n) != 0) {
      why = "differs from the release (same size, other bytes)";
      return false;
    }
    at += n;
  }
  return true;
}

bool sameText(const std::string& a, const std::string& b) { return rt::upper(a) == rt::upper(b); }

struct Installation {
  std::string program, database, year;
};

// The registry's record of the installation: the tool's key for the year and the uninstall entry.
std::vector<ProgramItem> registryItems(const Installation& in) {
  std::vector<ProgramItem> items;
  const std::string year = rt::oemToAnsi(in.year);
  auto expect = [&](db::XBPREG& key, const char* name, const std::string& want, bool path,
                    std::string& wrong) {
    const rt::Value v = key.GetValue(name);
    const std::string have = v.isText() ? v.str() : std::string();
    if (path ? !sameText(withBackslash(have), withBackslash(want)) : have != want)
      wrong += std::string(wrong.empty() ? "" : "; ") + name + " is \"" + rt::ansiToOem(have) +
               "\", not \"" + rt::ansiToOem(want) + "\"";
  };
  const std::string program = rt::oemToAnsi(in.program), database = rt::oemToAnsi(in.database);
  {
    const std::string path = install::toolKeyPath(year) + "\\" + year;
    db::XBPREG key(path);
    std::string wrong;
    if (!key.Status()) {
      wrong = "missing";
    } else {
      expect(key, "Program", program, true, wrong);
      expect(key, "Baza", database, true, wrong);
      expect(key, "Rok", year, false, wrong);
      expect(key, "Wersja_Programu", rt::oemToAnsi(rt::shared().wersja_p), false, wrong);
      expect(key, "Wersja_Bazy", rt::oemToAnsi(rt::shared().wersja_b), false, wrong);
    }
    if (!wrong.empty())
      items.push_back({What::RegistryKey, rt::ansiToOem(path), wrong, {}, {}, {}});
  }
  {
    const std::string path = install::uninstallKeyPath(year);
    db::XBPREG key(path);
    std::string wrong;
    if (!key.Status()) {
      wrong = "missing";
    } else {
      expect(key, "InstallLocation", program, true, wrong);
      expect(key, "DisplayVersion", rt::oemToAnsi(rt::shared().wersja_p), false, wrong);
      expect(key, "UninstallString", program + "un_tav.exe", true, wrong);
    }
    if (!wrong.empty())
      items.push_back({What::RegistryKey, rt::ansiToOem(path), wrong, {}, {}, {}});
  }
  return items;
}

// The two shortcuts the registration makes, where the shell folders are known.
std::vector<ProgramItem> shortcutItems(const Installation& in) {
  std::vector<ProgramItem> items;
  const auto& sv = rt::shared();
  const std::string year = rt::oemToAnsi(in.year);
  std::vector<std::string> links;
  if (!sv.cPulpit.empty()) links.push_back(rt::ansiToOem(sv.cPulpit + "Tav " + year + ".lnk"));
  if (!sv.cMenu.empty())
    links.push_back(rt::ansiToOem(sv.cMenu + "Tamborex\\Tav-" + year + "\\Tav-" + year + ".lnk"));
  const std::string target = rt::oemToAnsi(in.program) + "tav.exe";
  for (const std::string& link : links) {
    std::string wrong;
    if (!os::exists(link)) {
      wrong = "missing";
    } else {
      const auto read = os::readShellLink(os::toHost(link));
      if (!read)
        wrong = "cannot be read";
      else if (!sameText(read->target, target))
        wrong = "starts " + rt::ansiToOem(read->target) + ", not " + rt::ansiToOem(target);
    }
    if (!wrong.empty()) items.push_back({What::Shortcut, link, wrong, {}, {}, {}});
  }
  return items;
}

ProgramOutcome run(const Request& request, bool repair) {
  ProgramOutcome out;
  out.repair = repair;
  out.release = rt::shared().wersja_p;
  const std::string dir = withBackslash(rt::allTrim(request.directory));
  out.program = dir;
  if (rt::allTrim(request.directory).empty() || !os::exists(dir + "baza.dbf") ||
      !os::exists(dir + "wersja.dbf")) {
    out.refusal = "no TAV program in " + dir + " (baza.dbf and wersja.dbf are missing)";
    return out;
  }
  const std::string year = firstField(dir + "wersja.dbf", "rok");
  const std::string release = firstField(dir + "wersja.dbf", "tav");
  if (year != rt::shared().roczek) {
    out.refusal = "the program in " + dir + " belongs to the year " + year;
    return out;
  }
  if (release != rt::shared().wersja_p) {
    out.refusal = "the program in " + dir + " is at release " + release + ", the tool carries " +
                  rt::shared().wersja_p + ": its files are the upgrade's to bring (--upgrade)";
    return out;
  }
  std::string database = firstField(dir + "baza.dbf", "path");
  if (!database.empty()) {
    const std::string here = os::currentDirectory();
    if (os::changeDirectory(dir)) {
      database = os::fullPath(database);
      os::changeDirectory(here);
    }
    database = withBackslash(database);
  }
  out.database = database;
  if (repair && !request.confirmed) {
    out.refusal = "a repair changes the program: run it again with --yes";
    return out;
  }
  if (repair)
    if (const os::reg::StoreProblem p = os::reg::checkStore()) {
      out.refusal = "the registry cannot be written: " + p.message;
      return out;
    }

  Originals originals(dir);
  if (repair) originals.resume();
  for (const convert::ShippedFile& f : convert::shippedProgramFiles()) {
    ++out.filesCompared;
    const std::string mine = dir + f.program, shipped = ".\\" + f.release;
    std::string found;
    const bool listed = repair && originals.kept(f.program);
    if (!os::exists(mine))
      found = "missing";
    else if (f.sameBytes && !sameBytes(mine, shipped, found)) {
    }
    if (found.empty() && !listed) continue;
    ProgramItem item{What::File, f.program, found, {}, {}, {}};
    if (!repair) {
      out.items.push_back(std::move(item));
      continue;
    }
    // An interrupted repair may have replaced it already: what was found is told from the file
    // it kept (or its note that there was none).
    if (listed) {
      const std::string kept = originals.directory() + f.program;
      item.found.clear();
      if (!os::exists(kept))
        item.found = "missing";
      else if (f.sameBytes)
        sameBytes(kept, shipped, item.found);
    }
    const size_t slash = f.program.rfind('\\');
    const std::string sub = slash == std::string::npos ? "" : f.program.substr(0, slash + 1);
    const bool kept =
        os::exists(mine) ? originals.keep(f.program, {mine}, sub) : originals.note(f.program);
    if (!kept) {
      item.left = "could not be kept under naprawa\\: not replaced";
    } else {
      if (os::exists(originals.directory() + f.program))
        item.original = originals.directory() + sub;
      if (!found.empty()) db::FCOPY(shipped, mine);
      std::string still;
      const bool fine = os::exists(mine) && (!f.sameBytes || sameBytes(mine, shipped, still));
      if (fine)
        item.done.push_back({Mend::FileRestored, "copied from the release"});
      else
        item.left = "could not be copied from the release";
    }
    out.items.push_back(std::move(item));
  }

  const Installation in{dir, database, rt::shared().roczek};
  std::vector<ProgramItem> records = registryItems(in);
  for (ProgramItem& i : shortcutItems(in)) records.push_back(std::move(i));
  if (repair && !records.empty()) {
    const std::string refused =
        install::REJESTRY(rt::oemToAnsi(dir), rt::oemToAnsi(database), rt::shared().roczek);
    const std::vector<ProgramItem> keys = registryItems(in), links = shortcutItems(in);
    for (ProgramItem& i : records) {
      const auto& after = i.what == What::RegistryKey ? keys : links;
      bool still = false;
      for (const ProgramItem& a : after) still = still || a.name == i.name;
      if (still)
        i.left = refused.empty() ? "still wrong after the registration" : "not written: " + refused;
      else
        i.done.push_back({i.what == What::RegistryKey ? Mend::RegistryWritten : Mend::ShortcutsMade,
                          i.what == What::RegistryKey ? "written" : "made anew"});
    }
  }
  for (ProgramItem& i : records) out.items.push_back(std::move(i));
  out.originals = originals.directory();
  if (repair) originals.finish();
  return out;
}

}  // namespace

int ProgramOutcome::exitCode() const {
  if (refused()) return 2;
  for (const ProgramItem& i : items)
    if (!repair || !i.left.empty()) return 1;
  return 0;
}

ProgramOutcome checkProgram(const Request& request) { return run(request, false); }
ProgramOutcome repairProgram(const Request& request) { return run(request, true); }

std::vector<std::string> programLines(const ProgramOutcome& o) {
  std::vector<std::string> lines;
  if (o.refused()) {
    lines.push_back(std::string(o.repair ? "repair" : "check") + " refused: " + o.refusal);
    return lines;
  }
  lines.push_back("program:   " + o.program + " (release " + o.release + ")");
  lines.push_back("database:  " + o.database);
  if (!o.originals.empty()) lines.push_back("originals: " + o.originals);
  for (const ProgramItem& i : o.items) {
    const char* what = i.what == What::File          ? "file"
                       : i.what == What::RegistryKey ? "registry key"
                                                     : "shortcut";
    lines.push_back(std::string(what) + " " + i.name + ": " + i.found);
    for (const Done& d : i.done) lines.push_back("    done:  " + d.text);
    if (!i.left.empty()) lines.push_back("    left:  " + i.left);
    if (!i.original.empty()) lines.push_back("    original kept in " + i.original);
  }
  size_t left = 0;
  for (const ProgramItem& i : o.items) left += !i.left.empty();
  std::string summary = std::to_string(o.filesCompared) + " files compared with the release, " +
                        (o.items.empty() ? std::string("nothing wrong")
                                         : std::to_string(o.items.size()) + " things wrong");
  if (o.repair && !o.items.empty())
    summary += ", " + std::to_string(o.items.size() - left) + " mended, " + std::to_string(left) +
               " left for a person";
  lines.push_back(summary);
  return lines;
}

nlohmann::json programJson(const ProgramOutcome& o) {
  using nlohmann::json;
  auto u = [](const std::string& s) { return rt::oemToUtf8(s); };
  json j;
  j["action"] = o.repair ? "repair-program" : "check-program";
  j["exit_code"] = o.exitCode();
  j["refusal"] = o.refused() ? json(u(o.refusal)) : json(nullptr);
  j["program_directory"] = u(o.program);
  j["database_directory"] = u(o.database);
  j["release"] = o.release;
  j["originals"] = o.originals.empty() ? json(nullptr) : json(u(o.originals));
  j["originals_host"] =
      o.originals.empty() ? json(nullptr) : json(os::utf8(os::toHost(o.originals)));
  j["files_compared"] = o.filesCompared;
  json items = json::array();
  for (const ProgramItem& i : o.items) {
    json done = json::array();
    for (const Done& d : i.done) done.push_back({{"kind", mendName(d.kind)}, {"text", u(d.text)}});
    items.push_back({{"what", i.what == What::File          ? "file"
                              : i.what == What::RegistryKey ? "registry_key"
                                                            : "shortcut"},
                     {"name", u(i.name)},
                     {"found", u(i.found)},
                     {"done", done},
                     {"left", i.left.empty() ? json(nullptr) : json(u(i.left))},
                     {"original", i.original.empty() ? json(nullptr) : json(u(i.original))}});
  }
  j["items"] = items;
  return j;
}

}  // namespace tav::repair
