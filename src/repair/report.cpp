// The outcomes of check and repair as lines a person reads (852) and as the JSON report, and the
// repair's text report. Every line comes from the typed outcome; nothing here decides anything.
#include "repair/report.h"

#include <cerrno>

#include "os/files.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/date.h"
#include "runtime/format.h"

namespace tav::repair {
namespace {

using nlohmann::json;
using Place = DirectoryOutcome::Place;

std::string utf8(const std::string& oem) { return rt::oemToUtf8(oem); }

std::string hostOf(const std::string& windows) {
  return windows.empty() ? std::string() : os::toHost(windows).string();
}

std::string placeName(Place p) {
  switch (p) {
    case Place::Database:
      return "database";
    case Place::Str:
      return "str";
    case Place::Public:
      return "public";
    case Place::Firm:
      return "firm";
  }
  return "database";
}

std::string heading(const DirectoryOutcome& d) {
  switch (d.place) {
    case Place::Firm:
      return "firm " + rt::lTrim(rt::Str(d.number, 4, 0)) + " (" + d.label + "\\)" +
             (d.name.empty() ? "" : " " + d.name);
    case Place::Database:
      return "the database directory";
    default:
      return d.label + "\\";
  }
}

std::string plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::vector<std::string> databaseLines(const DatabaseOutcome& o) {
  std::vector<std::string> lines;
  if (o.refused()) {
    lines.push_back(std::string(o.repair ? "repair" : "check") + " refused: " + o.refusal);
    return lines;
  }
  lines.push_back("database:  " + o.database);
  if (!o.originals.empty()) lines.push_back("originals: " + o.originals);
  size_t tables = 0, damaged = 0, mended = 0, left = 0, inUse = 0;
  for (const DirectoryOutcome& d : o.directories) {
    tables += d.tablesRead;
    if (d.missing) {
      lines.push_back(heading(d) + ": the directory is missing");
      continue;
    }
    if (d.tables.empty()) continue;
    lines.push_back(heading(d) + ": " + plural(d.tablesRead, "table", "tables") + " read");
    for (const TableOutcome& t : d.tables) {
      lines.push_back("  " + t.table);
      if (t.inUse) {
        ++inUse;
        if (!o.repair) lines.push_back("    in use by another program: not read");
      } else {
        damaged += !t.found.findings.empty() || !t.found.opened;
        mended += !t.done.empty() && t.left.empty();
        left += !t.left.empty();
        if (!t.found.opened) lines.push_back("    found: cannot be read: " + t.found.unreadable);
        for (const std::string& p : t.found.problems) lines.push_back("    found: " + p);
      }
      for (const Done& done : t.done) lines.push_back("    done:  " + done.text);
      for (const std::string& l : t.left) lines.push_back("    left:  " + l);
      if (!t.originals.empty()) lines.push_back("    originals kept in " + t.originals);
    }
  }
  std::string summary = plural(tables, "table", "tables") + " read, " +
                        (damaged ? plural(damaged, "damaged", "damaged") : "nothing damaged");
  if (o.repair && damaged) summary += ", " + std::to_string(mended) + " mended";
  if (o.repair && left) summary += ", " + plural(left, "left for a person", "left for a person");
  if (inUse) summary += ", " + plural(inUse, "in use elsewhere", "in use elsewhere");
  lines.push_back(summary);
  return lines;
}

json databaseJson(const DatabaseOutcome& o) {
  json j;
  j["action"] = o.repair ? "repair" : "check";
  j["exit_code"] = o.exitCode();
  j["refusal"] = o.refused() ? json(utf8(o.refusal)) : json(nullptr);
  j["database_directory"] = utf8(o.database);
  j["database_directory_host"] = hostOf(o.database);
  j["originals"] = o.originals.empty() ? json(nullptr) : json(utf8(o.originals));
  j["originals_host"] = o.originals.empty() ? json(nullptr) : json(hostOf(o.originals));
  j["report"] = o.report.empty() ? json(nullptr) : json(hostOf(o.report));
  json dirs = json::array();
  for (const DirectoryOutcome& d : o.directories) {
    json tables = json::array();
    for (const TableOutcome& t : d.tables) {
      json found = json::array(), omitted = json::array(), done = json::array(),
           left = json::array();
      for (const engine::Finding& f : t.found.findings)
        found.push_back({{"kind", damageName(f.kind)},
                         {"record", f.record ? json(f.record) : json(nullptr)},
                         {"field", f.field.empty() ? json(nullptr) : json(utf8(f.field))},
                         {"index", f.index.empty() ? json(nullptr) : json(utf8(f.index))},
                         {"text", utf8(f.text)}});
      for (const auto& [kind, count] : t.found.omitted)
        omitted.push_back({{"kind", damageName(kind)}, {"count", count}});
      for (const Done& m : t.done)
        done.push_back({{"kind", mendName(m.kind)}, {"text", utf8(m.text)}});
      for (const std::string& l : t.left) left.push_back(utf8(l));
      tables.push_back(
          {{"table", utf8(t.table)},
           {"in_use", t.inUse},
           {"unreadable",
            t.found.opened || t.inUse ? json(nullptr) : json(utf8(t.found.unreadable))},
           {"found", found},
           {"omitted", omitted},
           {"done", done},
           {"left", left},
           {"originals", t.originals.empty() ? json(nullptr) : json(utf8(t.originals))}});
    }
    dirs.push_back({{"place", placeName(d.place)},
                    {"number", d.place == Place::Firm ? json(d.number) : json(nullptr)},
                    {"name", d.name.empty() ? json(nullptr) : json(utf8(d.name))},
                    {"directory", utf8(d.directory)},
                    {"missing", d.missing},
                    {"tables_read", d.tablesRead},
                    {"tables", tables}});
  }
  j["directories"] = dirs;
  return j;
}

os::Status writeDatabaseReport(const DatabaseOutcome& o, const std::string& file) {
  std::string text = "(" + rt::Date::today().toText() + "/" + rt::timeOfDay().substr(0, 5) +
                     ")  Raport z naprawy bazy danych\r\n" + std::string(48, '-') + "\r\n";
  for (const std::string& line : databaseLines(o)) text += rt::oemToAnsi(line) + "\r\n";
  const size_t slash = file.rfind('\\');
  const std::string staged = file.substr(0, slash + 1) + "~" + file.substr(slash + 1) + ".tmp";
  if (os::writeFile(staged, text) != static_cast<int64_t>(text.size())) {
    os::removeFile(staged);
    return os::Status::fromErrno(EIO);
  }
  return os::replaceFile(staged, file);
}

}  // namespace tav::repair
