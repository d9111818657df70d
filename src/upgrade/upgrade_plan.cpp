// The plan of an upgrade: the run's own choices, read from the same tables, written nowhere.
#include "upgrade/upgrade_plan.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <variant>

#include "convert/firm_runner.h"
#include "convert/firm_step_frame.h"
#include "convert/release_catalogue.h"
#include "convert/step_registry.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"
#include "upgrade/release_archive.h"
#include "upgrade/upgrade_run.h"

namespace tav::upgrade {
namespace {

namespace fs = std::filesystem;
using namespace rt::literals;

// Aliases of the plan's own: never one a caller may hold.
constexpr const char* kFirmsAlias = "planins";
constexpr const char* kReadAlias = "planread";

std::string number4(double n) { return rt::lTrim(rt::Str(n, 4, 0)); }

uint64_t sizeOf(const std::string& windowsPath) {
  std::error_code ec;
  const uint64_t n = fs::file_size(os::toHost(windowsPath), ec);
  return ec ? 0 : n;
}

// One field of the first record of dir + name, read shared; empty when it cannot be read.
std::string firstRecordText(const std::string& dir, const char* name, const char* field) {
  std::string text;
  if (!os::exists(dir + name + ".dbf") || !db::S_OTWORZ(dir, name, kReadAlias)) return text;
  rt::guarded([&] {
    engine::WorkArea* a = engine::workspace().find(kReadAlias);
    a->goTop();
    if (a->eof()) return;
    const rt::Value v = a->get(field);
    if (v.isText()) text = rt::allTrim(v.str());
  });
  rt::guarded([] { db::ZAMKNIJ(kReadAlias); });
  return text;
}

long recordCount(const std::string& dir, const std::string& table) {
  long n = -1;
  if (!os::exists(dir + table + ".dbf") || !db::S_OTWORZ(dir, table, kReadAlias)) return n;
  rt::guarded([&] { n = static_cast<long>(engine::workspace().find(kReadAlias)->lastRec()); });
  rt::guarded([] { db::ZAMKNIJ(kReadAlias); });
  return n;
}

// The firm tables one step restructures or replaces, in the order its plan names them.
std::vector<std::string> tablesOfStep(int release) {
  std::vector<std::string> names;
  const convert::ReleaseSteps* row = convert::releaseSteps(release);
  if (!row || !row->firmPlan) return names;
  auto add = [&](const char* name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  };
  for (const convert::FirmWork& w : row->firmPlan->work) {
    if (auto a = std::get_if<convert::AddFields>(&w))
      add(a->table.name);
    else if (auto b = std::get_if<convert::WidenFields>(&w))
      add(b->table.name);
    else if (auto c = std::get_if<convert::CopyTemplate>(&w))
      add(c->table);
  }
  return names;
}

// Firm numbers the last installation report names as failed.
std::set<long> failedInLastReport(const std::string& database) {
  std::set<long> failed;
  const std::string text = os::readFile(database + "public\\ins_raport.txt").value_or("");
  const std::string mark = rt::utf8ToAnsi("Firma nr: ");
  for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1))
    failed.insert(std::strtol(text.c_str() + at + mark.size(), nullptr, 10));
  return failed;
}

std::string joined(const std::vector<int>& releases, convert::StepKind kind) {
  std::string s;
  for (int r : releases) s += (s.empty() ? "" : ", ") + convert::stepName(kind, r);
  return s.empty() ? "none" : s;
}

std::string megabytes(uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", bytes / 1e6);
  return buf;
}

}  // namespace

const char* decisionName(UpgradePlan::Decision d) {
  switch (d) {
    case UpgradePlan::Decision::Run:
      return "run";
    case UpgradePlan::Decision::Repeat:
      return "repeat";
    case UpgradePlan::Decision::RefreshOnly:
      return "refresh program only";
    case UpgradePlan::Decision::Refused:
      return "refused";
  }
  return "refused";
}

uint64_t freeSpace(const std::string& directory) { return os::freeSpace(directory).value_or(0); }

uint64_t spaceNeeded(const UpgradePlan& plan) {
  const std::string& database = plan.checks.database;
  uint64_t largest = 0;
  if (plan.decision == UpgradePlan::Decision::Run ||
      plan.decision == UpgradePlan::Decision::Repeat) {
    for (const char* f : shippedReferenceFiles())
      largest = std::max(largest, sizeOf(std::string(".\\str\\") + f));
    for (const PlannedFirm& firm : plan.firms)
      for (const auto& step : firm.tables)
        for (const PlannedTable& t : step) {
          const std::string base = firm.directory + t.name;
          largest = std::max(largest,
                             sizeOf(base + ".dbf") + sizeOf(base + ".fpt") + sizeOf(base + ".cdx"));
        }
  }
  uint64_t archive = 0;
  if (!os::exists(database + "install\\" + rt::shared().wersja_p + ".zip"))
    for (const std::string& mask : releaseMasks())
      for (const os::DirEntry& e : os::listDirectory(mask))
        if (!e.isDirectory()) archive += e.size;
  return largest + archive;
}

std::string spaceRefusal(uint64_t needed, uint64_t available, const std::string& database) {
  if (available == 0 || available >= needed) return {};
  auto mb = [](uint64_t bytes) {
    return rt::lTrim(rt::Str(static_cast<double>(bytes) / 1e6, 12, 1));
  };
  return "Aktualizacja potrzebuje "_oem + mb(needed) +
         " MB wolnego miejsca;na dysku z bazą danych "_oem + database +
         ",;a wolnych jest tylko "_oem + mb(available) +
         " MB.;Zwolnij miejsce i spróbuj jeszcze raz."_oem;
}

namespace {

// A run the disk cannot hold refuses before it starts: so does its plan.
void refuseWithoutSpace(UpgradePlan& p) {
  const std::string why = spaceRefusal(p.spaceNeeded, p.spaceFree, p.checks.database);
  if (why.empty()) return;
  p.decision = UpgradePlan::Decision::Refused;
  p.refusal = why;
}

}  // namespace

UpgradePlan planUpgrade(const std::string& programDirectory, bool countRecords) {
  UpgradePlan p;
  p.checks = checkUpgrade(programDirectory);
  if (!p.checks.passed()) return p;
  const UpgradeChecks& c = p.checks;
  p.programSteps = convert::programStepsAbove(c.databaseProgramRelease);
  p.estimate = durationEstimate(c.database, c.databaseProgramRelease);
  p.spaceFree = freeSpace(c.database);
  if (!c.databaseRunDue()) {
    p.decision = UpgradePlan::Decision::RefreshOnly;
    p.spaceNeeded = spaceNeeded(p);
    refuseWithoutSpace(p);
    return p;
  }
  p.decision = convert::releaseBelow(c.databaseRelease, rt::shared().wersja_b)
                   ? UpgradePlan::Decision::Run
                   : UpgradePlan::Decision::Repeat;
  p.templateSteps = convert::templateStepsAbove(c.databaseRelease);
  p.publicSteps = convert::publicStepsAbove(c.databaseRelease);
  p.publicIndexRebuild = true;
  p.publicIndexWithMode = !convert::publicIndexMode(c.databaseRelease).isNil();

  const std::set<long> failed = failedInLastReport(c.database);
  rt::guarded([] { db::ZAMKNIJ(kFirmsAlias); });
  if (!db::S_OTWORZ(c.database, "install", kFirmsAlias)) {
    p.decision = UpgradePlan::Decision::Refused;
    p.refusal = noFirmListMessage();
    return p;
  }
  std::vector<double> numbers;
  rt::guarded([&] {
    engine::WorkArea* ins = engine::workspace().find(kFirmsAlias);
    for (ins->goTop(); !ins->eof(); ins->skip()) numbers.push_back(ins->get("nr").num());
  });
  rt::guarded([] { db::ZAMKNIJ(kFirmsAlias); });
  if (numbers.empty()) {
    p.decision = UpgradePlan::Decision::Refused;
    p.refusal = noFirmsMessage();
    return p;
  }

  for (double nr : numbers) {
    PlannedFirm f;
    f.nr = nr;
    f.directory = c.database + "firma" + number4(nr) + "\\";
    f.failedLastRun = failed.count(static_cast<long>(nr)) > 0;
    f.name = firstRecordText(f.directory, "firma", "ident");
    f.release = firstRecordText(f.directory, "wersja", "baza");
    if (const char* missing = convert::missingFirmTable(f.directory)) {
      f.skipped = std::string("no ") + missing;
      p.firms.push_back(f);
      continue;
    }
    // The run fails such a firm before touching it (MAKE_WINFIR asks the same question).
    if (const auto damage = convert::firmDamage(f.directory)) {
      f.skipped = "damaged: " + rt::oemToUtf8(damage->table) + ": " + rt::oemToUtf8(damage->what);
      p.firms.push_back(f);
      continue;
    }
    const convert::FirmStepChoice choice = convert::chooseFirmSteps(f.release, c.databaseRelease);
    f.start = choice.start;
    f.steps = choice.steps;
    f.fullReindex = choice.fullReindex;
    if (choice.current) f.skipped = "current";
    for (int step : f.steps) {
      std::vector<PlannedTable> tables;
      for (const std::string& name : tablesOfStep(step))
        tables.push_back({name, countRecords ? recordCount(f.directory, name) : -1});
      f.tables.push_back(std::move(tables));
    }
    p.firms.push_back(std::move(f));
  }
  p.spaceNeeded = spaceNeeded(p);
  refuseWithoutSpace(p);
  return p;
}

std::string planText(const UpgradePlan& p) {
  auto u = [](const std::string& oem) { return rt::oemToUtf8(oem); };
  const UpgradeChecks& c = p.checks;
  std::string t;
  if (!c.passed()) {
    std::string text = u(c.text);
    std::replace(text.begin(), text.end(), ';', ' ');
    return "decision: refused by the check \"" + u(c.title) + "\": " + text + "\n";
  }
  t += "program:   " + u(c.program) + " (release " + c.programRelease + ")\n";
  t += "database:  " + u(c.database) + " (release " + c.databaseRelease + ", " +
       (c.complete ? "complete" : "marked incomplete") + ", program level " +
       c.databaseProgramRelease + ")\n";
  t += std::string("decision:  ") + decisionName(p.decision);
  if (!p.refusal.empty()) {
    std::string text = u(p.refusal);
    std::replace(text.begin(), text.end(), ';', ' ');
    t += ": " + text;
  } else if (p.decision != UpgradePlan::Decision::RefreshOnly) {
    t += " (database " + c.databaseRelease + " -> " + rt::shared().wersja_b + ")";
  }
  t += "\n";
  if (p.decision == UpgradePlan::Decision::Run || p.decision == UpgradePlan::Decision::Repeat) {
    t += "template steps: " + joined(p.templateSteps, convert::StepKind::Template) + "\n";
    size_t converting = 0;
    for (const PlannedFirm& f : p.firms) converting += !f.steps.empty();
    t += "firms: " + std::to_string(p.firms.size()) + ", " + std::to_string(converting) +
         " to convert\n";
    for (const PlannedFirm& f : p.firms) {
      t += "  " + number4(f.nr) + " " + (f.name.empty() ? std::string("-") : u(f.name)) +
           " (firma" + number4(f.nr) + ", release " +
           (f.release.empty() ? std::string("?") : f.release) + ")";
      if (f.failedLastRun) t += " [failed in the last run]";
      if (!f.skipped.empty()) {
        t += ": " + f.skipped + "\n";
        continue;
      }
      t += ": " + std::to_string(f.steps.size()) + " steps from " + f.start +
           (f.fullReindex ? ", then every index rebuilt" : "") + "\n";
      for (size_t i = 0; i < f.steps.size(); ++i) {
        t += "      " + convert::stepName(convert::StepKind::Firm, f.steps[i]);
        std::string tables;
        for (const PlannedTable& tb : f.tables[i])
          tables += (tables.empty() ? "" : ", ") + tb.name +
                    (tb.records < 0 ? std::string(" (absent)")
                                    : " (" + std::to_string(tb.records) +
                                          (tb.records == 1 ? " record)" : " records)"));
        t += tables.empty() ? "\n" : ": " + tables + "\n";
      }
    }
    t += "public steps: " + joined(p.publicSteps, convert::StepKind::Public) + ", then NTX_PUB" +
         (p.publicIndexWithMode ? "(1)" : "") + "\n";
  }
  if (p.runs()) {
    t += "program steps: " + joined(p.programSteps, convert::StepKind::Program) + "\n";
    t += "duration:  " +
         (p.estimate
              ? rt::rTrim(u(durationText(p.estimate->seconds))) + " (class " +
                    std::to_string(p.estimate->durationClass) + ", as measured on this workstation)"
              : std::string("not measured on this workstation yet")) +
         "\n";
  }
  // The space also where it is what refuses the run.
  if (p.runs() || p.spaceNeeded > 0)
    t +=
        "space:     " + megabytes(p.spaceNeeded) + " needed, " + megabytes(p.spaceFree) + " free\n";
  return t;
}

}  // namespace tav::upgrade
