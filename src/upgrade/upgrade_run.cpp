// The upgrade run over the firms of a database. The order of the work is what other
// workstations and the next attempt rely on:
//   the lock (takeDatabase: str\nazwy.dbf as "sem")      before anything is written
//   leftovers, reference tables, template steps           runTemplateSteps
//   `ok` := "N"                                           markVersionRecord, before the first firm
//   every firm under its own trap                         convertFirms -> convertFirm
//   the report, the public steps                          writeInstallReport, runPublicSteps
//   the shipped record in place, still "N"                ~wb.dbf renamed over wersja.dbf
//   `ok` := "T"                                           last of all, when no firm failed
#include "upgrade/upgrade_run.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <exception>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "convert/firm_runner.h"
#include "convert/release_catalogue.h"
#include "convert/speed_class.h"
#include "convert/step_registry.h"
#include "db/files.h"
#include "db/ns_config.h"
#include "db/run_variables.h"
#include "db/table_access.h"
#include "db/version_record.h"
#include "engine/workspace.h"
#include "os/children_in_order.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"
#include "runtime/shared_variables.h"
#include "upgrade/install_report.h"
#include "upgrade/progress_times.h"
#include "upgrade/worker_process.h"

namespace tav::upgrade {
namespace {

using namespace rt::literals;

// Indexes of refreshed tables that would no longer match them; the program rebuilds them.
constexpr const char* kStaleReferenceIndexes[] = {"euro.cdx", "ebc_euro.cdx"};
// Databases below this release have no str\xml\ of the current form.
constexpr const char* kXmlBelow = "025.01.023";

std::string number4(double n) { return rt::lTrim(rt::Str(n, 4, 0)); }

// Every area closed, the lock and the firm list included: what the run leaves behind whenever
// it returns.
void closeEverything() { engine::workspace().closeAll(); }

// The release the firm's own wersja.dbf records; empty when it cannot be read.
std::string firmRelease(const std::string& firmDirectory) {
  if (!os::exists(firmDirectory + "wersja.dbf")) return {};
  const std::optional<db::VersionRecord> r = db::readVersionRecord(firmDirectory);
  return r ? r->baza : std::string();
}

// The firm's short name from firma.dbf; false when the table does not open.
bool firmName(const std::string& firmDirectory, std::string& name) {
  if (!db::S_OTWORZ(firmDirectory, "firma", "fir")) return false;
  rt::guarded([&] {
    engine::WorkArea* a = engine::workspace().find("fir");
    const rt::Value v = a->get("ident");
    if (v.isText()) name = rt::allTrim(v.str());
  });
  rt::guarded([] { db::ZAMKNIJ("fir"); });
  return true;
}

std::string euCountries(std::string_view databaseDirectory) {
  std::string list = ",";
  if (!db::S_OTWORZ(std::string(databaseDirectory) + "str\\", "ue", "ue")) return list;
  rt::guarded([&] {
    engine::WorkArea* a = engine::workspace().find("ue");
    for (a->goTop(); !a->eof(); a->skip()) {
      const rt::Value v = a->get("kod");
      if (v.isText()) list += v.str() + ",";
    }
  });
  rt::guarded([] { db::ZAMKNIJ("ue"); });
  return list;
}

std::string errorText(const rt::Error& e) {
  std::string text = e.description;
  if (!e.operation.empty()) text += " (" + e.operation + ")";
  if (!e.filename.empty()) text += ": " + e.filename;
  return text.empty() ? e.summary() : text;
}

// Runs `work` as a recovery point: the failure message of an error that abandoned it ("Błąd
// podczas instalacji:;..."), or empty when it came to its end. With `abandonAll`, every error
// abandons it rather than waiting for a person.
std::string untilAbandoned(const std::function<void()>& work, bool abandonAll = true) {
  try {
    std::optional<rt::AbandonGuard> guard;
    if (abandonAll) guard.emplace();
    work();
  } catch (const rt::Abandon& e) {
    return "Błąd podczas instalacji:;"_oem + errorText(e.error());
  } catch (const std::exception& e) {
    return "Błąd podczas instalacji:;"_oem + e.what();
  }
  return {};
}

// Runs the public steps with their errors going to the caller's own handler: on a screen the
// error box with its Retry, unattended the abandoning one. An error a handler let pass (its
// default answer, a substitute) left a step undone: the run counts it as failed, so that the
// database is never marked complete over it. The failure message, or empty.
std::string publicStepsFailure(const std::function<void()>& steps) {
  const rt::Handler outer = rt::currentHandler();
  std::optional<rt::Error> passed;
  std::string failure = untilAbandoned(
      [&] {
        rt::HandlerGuard delegated([&](rt::Error& e) -> rt::Answer {
          if (!outer) throw rt::Abandon(e);
          const rt::Answer a = outer(e);
          if (a.kind != rt::Answer::Retry && !passed) passed = e;
          return a;
        });
        steps();
      },
      false);
  if (failure.empty() && passed) failure = "Błąd podczas instalacji:;"_oem + errorText(*passed);
  return failure;
}

// The steps the registry runs, into the run's record, for the length of a run: the firm steps
// into the firm being converted (`converting`), the others into the run's own list.
class StepsRecorded {
 public:
  StepsRecorded(RunRecord& run, FirmRecord*& converting)
      : previous_(convert::setStepObserver(
            [&run, &converting](convert::StepKind kind, int release, std::string_view) {
              const std::string name = convert::stepName(kind, release);
              if (kind == convert::StepKind::Firm) {
                if (converting) converting->steps.push_back(name);
              } else if (kind != convert::StepKind::Program) {
                run.steps.push_back(name);
              }
            })) {}
  ~StepsRecorded() { convert::setStepObserver(std::move(previous_)); }
  StepsRecorded(const StepsRecorded&) = delete;
  StepsRecorded& operator=(const StepsRecorded&) = delete;

 private:
  convert::StepObserver previous_;
};

// The table door's event pump (REK_ADD's wait between attempts, NIC between firms) is the
// front-end's for the length of a run.
class PumpInstalled {
 public:
  explicit PumpInstalled(frontend::Progress& progress)
      : previous_(db::setEventPump([&progress] { return progress.stopRequested(); })) {}
  ~PumpInstalled() { db::setEventPump(std::move(previous_)); }
  PumpInstalled(const PumpInstalled&) = delete;
  PumpInstalled& operator=(const PumpInstalled&) = delete;

 private:
  db::EventPump previous_;
};

// Asks whether to stop after Esc; true to stop.
bool userStops(frontend::Questions& person) {
  frontend::Question q{frontend::Question::Kind::GoOnAfterStop, {}, {}, {}, false};
  q.box = {"5",
           "Wstrzymanie instalacji"_oem,
           "Gdy przerwiesz instalację, Nie będzie można;korzystać z całej bazy danych."_oem,
           {"Kontynuuję"_oem, "Chcę przerwać"_oem}};
  return !person.ask(q).yes;
}

// What converting one firm gave, wherever it ran.
struct FirmResult {
  FirmRecord firm;
  bool failed = false;
  std::string failure;             // ERR_PIS of the error that stopped it
  std::vector<std::string> notes;  // the tlist entries its conversion added
  int speedClass = 0;
};

// The run as the firms see it.
struct Run {
  const db::Directories& directories;
  std::string release;  // the database's own, from before the upgrade
  db::RunVariables& variables;
  frontend::Questions& person;
  frontend::Progress& progress;
  RunRecord record;
  FirmRecord* converting = nullptr;  // the firm whose steps are running now
};

// Converts one firm under its own error trap; nothing here shows progress. `firm` comes with its
// number, directory and name.
FirmResult convertFirm(Run& run, FirmRecord firm) {
  auto& ws = engine::workspace();
  rt::Value& tlist = run.variables.tlist;
  const size_t notesBefore = tlist.isArray() ? tlist.arr().size() : 0;
  FirmResult r;
  // A firm the run passes over (it lacks a table it must have) is left exactly as it is.
  if (!convert::missingFirmTable(firm.directory)) db::removeLeftovers(firm.directory, true);
  firm.releaseBefore = firmRelease(firm.directory);
  run.converting = &firm;
  rt::Error caught;
  bool abandoned = false;
  std::string foreign;
  try {
    abandoned = !rt::guarded(
        [&] {
          convert::MAKE_WINFIR(firm.directory, run.directories.program, run.directories.database,
                               run.release);
        },
        &caught);
  } catch (const std::exception& e) {
    // Not a runtime error of the tables (memory, the host): the firm fails all the same.
    abandoned = true;
    foreign = e.what();
  }
  if (abandoned) {
    rt::Error described = caught;
    if (!foreign.empty()) described.description = foreign;
    r.failed = true;
    r.failure = ERR_PIS(described);
    firm.status = FirmStatus::Failed;
    firm.error = errorText(described);
  }
  run.converting = nullptr;
  db::CLOSEALL();
  ws.select("ins");
  firm.releaseAfter = firmRelease(firm.directory);
  if (!abandoned) {
    const char* missing = convert::missingFirmTable(firm.directory);
    firm.status = missing                                   ? FirmStatus::Skipped
                  : firm.releaseAfter == firm.releaseBefore ? FirmStatus::Current
                                                            : FirmStatus::Converted;
    if (missing) firm.skipped = std::string("no ") + missing;
    if (firm.status == FirmStatus::Current) firm.skipped = "current";
  }
  if (tlist.isArray())
    for (size_t i = notesBefore; i < tlist.arr().size(); ++i)
      r.notes.push_back(rt::toText(tlist.arr()[i]));
  r.speedClass = convert::speedClass();
  r.firm = std::move(firm);
  return r;
}

// A firm's result through a worker's pipe, and back.
std::string encodeResult(const FirmResult& r) {
  std::string out;
  const FirmRecord& f = r.firm;
  for (const std::string* field :
       {&f.releaseBefore, &f.releaseAfter, &f.error, &r.failure, &f.skipped})
    putField(out, *field);
  putField(out, std::to_string(static_cast<int>(f.status)));
  putField(out, r.failed ? "1" : "0");
  putField(out, std::to_string(r.speedClass));
  std::string steps, notes;
  for (const std::string& s : f.steps) putField(steps, s);
  for (const std::string& n : r.notes) putField(notes, n);
  putField(out, steps);
  putField(out, notes);
  return out;
}

std::optional<FirmResult> decodeResult(const std::string& in, FirmRecord firm) {
  const auto parts = fields(in);
  if (!parts || parts->size() != 10) return std::nullopt;
  const auto steps = fields((*parts)[8]), notes = fields((*parts)[9]);
  if (!steps || !notes) return std::nullopt;
  FirmResult r;
  firm.releaseBefore = (*parts)[0];
  firm.releaseAfter = (*parts)[1];
  firm.error = (*parts)[2];
  r.failure = (*parts)[3];
  firm.skipped = (*parts)[4];
  firm.status = static_cast<FirmStatus>(std::stoi((*parts)[5]));
  r.failed = (*parts)[6] == "1";
  r.speedClass = std::stoi((*parts)[7]);
  firm.steps = *steps;
  r.notes = *notes;
  r.firm = std::move(firm);
  return r;
}

frontend::FirmProgress progressOf(const FirmRecord& firm, int index, int total, bool done) {
  frontend::FirmProgress p;
  p.index = index;
  p.total = total;
  p.nr = firm.nr;
  p.name = firm.name;
  p.done = done;
  p.status = firm.status;
  return p;
}

// The firm loop: the message when the run ends inside it, empty when every firm was taken.
// Failures go to `failures`. With more than one job the firms are converted in worker processes,
// that many at once, and everything a firm leaves in the run (its record, report entries,
// progress, the tlist) is taken in firm order, as one firm after another would leave it.
std::string convertFirms(Run& run, int firmCount, size_t jobs, FirmFailures& failures) {
  auto& ws = engine::workspace();
  frontend::Progress& progress = run.progress;
  engine::WorkArea* ins = ws.find("ins");

  int counted = 0;
  for (ins->goTop(); !ins->eof(); ins->skip()) {
    progress.advance();
    ++counted;
  }
  progress.restart(firmCount, "Przetwarzanie danych (2) ..."_oem);
  OBLICZ_CZAS(static_cast<double>(counted));
  ws.select("ins");
  ins->goTop();
  const double loopStart = rt::secondsSinceMidnight();
  const std::string total = number4(firmCount);

  auto announce = [&](const FirmRecord& firm, bool named, int index) {
    std::string firmText = "Firma" + number4(firm.nr) + "\\";
    if (named) firmText = "(" + rt::StrZero(index, 4, 0) + "):" + firm.name;
    const std::string left = number4(firmCount - index) + "/" + total;
    progress.describe(rt::Value(firmText), index == 1 ? rt::Value("?") : rt::Value(),
                      rt::Value(left));
    progress.firm(progressOf(firm, index, firmCount, false));
  };
  auto conclude = [&](FirmResult r, int index) {
    if (r.failed) failures.add(r.firm.nr, r.failure);
    run.record.firms.push_back(std::move(r.firm));
    const std::string remaining = OBLICZ_CZAS(loopStart, rt::secondsSinceMidnight(), index);
    progress.describe(rt::Value(), rt::Value(remaining), rt::Value());
    frontend::FirmProgress done = progressOf(run.record.firms.back(), index, firmCount, true);
    done.remaining = remaining;
    if (remaining != "?") done.finish = G1_P_G2(rt::timeOfDay(), remaining);
    progress.firm(done);
    db::CLOSEALL();
    ws.select("ins");
  };

  struct Running {
    FirmRecord firm;
    bool named;
    int index;
  };
  std::deque<Running> running;  // in firm order, as `workers` holds their workers
  os::ChildrenInOrder workers(jobs);
  // The oldest worker's firm taken into the run: what it printed, then what became of it.
  auto gather = [&] {
    Running w = std::move(running.front());
    running.pop_front();
    WorkerProcess::Result got = workers.takeOldest();
    announce(w.firm, w.named, w.index);
    std::fputs(got.output.c_str(), stderr);
    std::optional<FirmResult> r;
    if (got.completed) r = decodeResult(got.value, w.firm);
    if (!r) {
      // The worker died (a crash, a kill): its firm failed; the files it was writing are staged,
      // and the next run finishes or discards them.
      rt::Error e;
      e.genCode = rt::kErrWrite;
      e.description = "konwersja firmy przerwana ("_oem +
                      (got.completed ? "wynik nieczytelny" : got.failure) + ")";
      r = FirmResult{};
      r->firm = w.firm;
      r->firm.status = FirmStatus::Failed;
      r->firm.error = errorText(e);
      r->failed = true;
      r->failure = ERR_PIS(e);
    }
    if (run.variables.tlist.isArray())
      for (const std::string& n : r->notes) run.variables.tlist.arr().push_back(rt::Value(n));
    convert::raiseSpeedClass(r->speedClass);
    conclude(std::move(*r), w.index);
  };

  int index = 0;
  for (; !ins->eof(); ins->skip()) {
    if (db::NIC() && userStops(run.person)) {
      while (!running.empty()) gather();
      return interruptedMessage();
    }
    progress.advance();
    ++index;
    const double nr = ins->get("nr").num();
    run.variables.num_fir = rt::Value(nr);
    FirmRecord firm;
    firm.nr = nr;
    firm.directory = run.directories.database + "firma" + number4(nr) + "\\";
    const bool named = firmName(firm.directory, firm.name);
    if (jobs == 1) {
      announce(firm, named, index);
      conclude(convertFirm(run, std::move(firm)), index);
      continue;
    }
    if (!workers.start([&, firm] { return encodeResult(convertFirm(run, firm)); }))
      throw std::runtime_error("cannot start a process to convert firm " + number4(nr));
    running.push_back({std::move(firm), named, index});
    while (workers.oldestDone()) gather();
  }
  while (!running.empty()) gather();
  return {};
}

}  // namespace

const std::vector<const char*>& shippedReferenceFiles() {
  static const std::vector<const char*> files = {
      "wersja.dbf", "wersje.dbf",  "euro.dbf",    "ebc_euro.dbf", "speed.dbf",   "pity.dbf",
      "pl_min.dbf", "min_zus.dbf", "pl_ulga.dbf", "st_ref.dbf",   "fix_cfg.xml", "p_wolne.dbf"};
  return files;
}

std::string usersAtWorkMessage() {
  return "W programie TAV pracują inni użytkownicy.;Kontynuacja instalacji jest niemożliwa!"_oem;
}
std::string noFirmListMessage() {
  return "Baza danych nie zawiera żadnej firmy,;lub uszkodzony plik \"install.dbf\""_oem;
}
std::string noFirmsMessage() { return "Baza danych nie zawiera żadnej firmy!"_oem; }
std::string interruptedMessage() { return "Instalacja przerwna na życzenie użytkownika"_oem; }

bool takeDatabase(const std::string& databaseDirectory) {
  if (engine::workspace().find("sem")) return true;
  const std::string lock = databaseDirectory + "str\\nazwy.dbf";
  if (!os::exists(lock)) db::FCOPY(".\\str\\nazwy.dbf", databaseDirectory + "str\\");
  return db::USEEX(lock, "sem");
}

DatabaseRun UPGRADE_NOWEJ_BAZY(const db::Directories& directories, std::string_view databaseRelease,
                               frontend::Questions& person, frontend::Progress& progress,
                               const RunOptions& options) {
  auto& ws = engine::workspace();
  auto& sv = rt::shared();
  const std::string& program = directories.program;
  const std::string& database = directories.database;
  db::RunVariables variables;
  Run run{directories, std::string(databaseRelease), variables, person, progress, {}, nullptr};
  PumpInstalled pump(progress);
  StepsRecorded steps(run.record, run.converting);
  auto finish = [&](Result result, std::string message = {}) {
    closeEverything();
    return DatabaseRun{result, std::move(message), std::move(run.record)};
  };

  // A workstation name chosen for this installation.
  const std::string nsFile = program + "setings\\ns.cfg";
  if (os::exists(nsFile)) {
    std::ifstream in(os::toHost(nsFile), std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    if (auto name = db::workstationNameInConfig(contents.str())) sv.nazwa_sieciowa = *name;
  }

  // The lock, unless the caller took it already.
  if (!takeDatabase(database)) return finish(Result::Refused, usersAtWorkMessage());

  // A run killed half-way may have left copies and staged tables: the database is ours now.
  for (const char* dir : {"", "str\\", "str\\xml\\", "public\\"})
    db::removeLeftovers(database + dir);

  db::MKDIR(program + "temp");
  for (const char* file : shippedReferenceFiles())
    db::FCOPY(std::string(".\\str\\") + file, database + "str\\");
  for (const char* file : kStaleReferenceIndexes) db::DEL_FILE(database + "str\\" + file);
  db::FCOPY(".\\str\\rcx.acc", database + "str\\");
  if (convert::releaseBelow(run.release, kXmlBelow)) {
    if (!os::isDirectory(database + "str\\xml")) db::MKDIR(database + "str\\xml");
    db::COPY_KAT(".\\xml\\", database + "str\\xml\\");
  }
  db::DEL_FILE(database + "public\\ins_raport.txt");
  db::DEL_FILE(database + "public\\hif_raport.rtf");

  convert::runTemplateSteps(run.release, directories);

  if (!db::OTWORZ(database, "install", "ins")) return finish(Result::Failed, noFirmListMessage());
  db::ZAMKNIJ("ins");

  progress.openWindow("Aktualizacja Bazy Danych");
  rt::settings().deletedHidden = true;
  variables.kraje_ue = euCountries(database);

  if (!db::OTWORZ(database, "install", "ins")) return finish(Result::Failed, noFirmListMessage());
  int firmCount = 0;
  {
    engine::WorkArea* ins = ws.find("ins");
    for (ins->goTop(); !ins->eof(); ins->skip()) ++firmCount;
  }
  if (firmCount < 1) return finish(Result::Failed, noFirmsMessage());
  const std::string n = number4(firmCount);
  progress.describe(rt::Value(), rt::Value("?"), rt::Value(n + "/" + n));
  progress.restart(firmCount, "Przetwarzanie danych (1)..."_oem);

  // From here until the end a stop anywhere must make the next attempt run again.
  const std::string unwritable = "Nie można zapisać pliku;"_oem + database + "wersja.dbf";
  if (!db::markVersionRecord(database, false)) return finish(Result::Failed, unwritable);

  FirmFailures failures;
  // An error between firms, outside any firm's trap: the run cannot say what state the
  // remaining firms are in, so it ends there as a failure.
  std::string stopped;
  const std::string failed = untilAbandoned([&] {
    stopped =
        convertFirms(run, firmCount, static_cast<size_t>(std::max(1, options.jobs)), failures);
  });
  OBLICZ_CZAS(std::nullopt);
  if (!failed.empty()) return finish(Result::Failed, failed);
  if (!stopped.empty()) return finish(Result::Interrupted, stopped);

  progress.describe(rt::Value("Analiza Katalogu public..."_oem), rt::Value("?"), rt::Value("?"));
  closeEverything();

  if (variables.tlist.isArray())
    for (const rt::Value& t : variables.tlist.arr()) run.record.texts.push_back(rt::toText(t));
  writeInstallReport(database, failures.entries, variables.tlist);
  // An error in the public steps (a table that cannot be written, a full disk) ends the run
  // before the new release is recorded: the database stays incomplete and the next run does
  // them again.
  stopped = publicStepsFailure([&] { convert::runPublicSteps(run.release, database, progress); });
  if (!stopped.empty()) return finish(Result::Failed, stopped);

  // The public steps are chosen by the release wersja.dbf records: the new release arrives only
  // once they are done, so that a run stopped among them does them again next time. The shipped
  // record's `ok` may say "T", and until the end the database must say it is incomplete: the
  // record is marked "N" beside wersja.dbf and only then takes its place, so that a crash at any
  // moment leaves a record saying "N", the old one or the new one.
  const std::optional<db::VersionRecord> before = db::readVersionRecord(database);
  const std::string programLevel = before && before->tavValue.isText() ? before->tav : "";
  const std::string incoming = database + "~wb.dbf";
  db::DEL_FILE(incoming);
  if (!db::FCOPY(".\\wb.dbf", incoming) ||
      !db::markVersionRecord(database, false, programLevel, "~wb") ||
      !os::replaceFile(incoming, database + "wersja.dbf")) {
    db::DEL_FILE(incoming);
    return finish(Result::Failed, unwritable);
  }

  if (!failures.empty()) {
    writeFailureLog(failures.log);
    return finish(Result::SomeFirmsFailed);
  }
  if (!db::markVersionRecord(database, true)) return finish(Result::Failed, unwritable);
  return finish(Result::Complete);
}

}  // namespace tav::upgrade
