// The upgrade run over the firms of a database, with its progress window and interrupt check.
// The order of the work is what other workstations and the next attempt rely on: the lock before
// anything is written, `ok` := "N" before the first firm, the version record replaced only after
// the firms, `ok` := "T" last of all.
#include "upgrade/upgrade_run.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <exception>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "convert/firm_runner.h"
#include "convert/program_refresh.h"
#include "convert/release_catalogue.h"
#include "convert/speed_class.h"
#include "convert/step_registry.h"
#include "db/files.h"
#include "db/ns_config.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "gui/application.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"
#include "runtime/shared_variables.h"
#include "shell/dialogs/alarm.h"
#include "shell/dialogs/progress_bar.h"
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
constexpr const char* kFirmTables[] = {"wersja.dbf", "firma.dbf", "ks_dok.dbf"};

RunRecord& record() {
  static RunRecord r;
  return r;
}

RunObserver& observer() {
  static RunObserver o;
  return o;
}

void notify(const FirmProgress& p) {
  if (observer()) observer()(p);
}

std::string number4(double n) { return rt::lTrim(rt::Str(n, 4, 0)); }

// Every area closed, the lock and the firm list included: what the run leaves behind whenever
// it returns.
void closeEverything() { engine::workspace().closeAll(); }

// The release the firm's own wersja.dbf records; empty when it cannot be read.
std::string firmRelease(const std::string& firmDirectory) {
  std::string release;
  if (!os::exists(firmDirectory + "wersja.dbf")) return release;
  rt::guarded([] { db::ZAMKNIJ("wfr"); });
  if (!db::S_OTWORZ(firmDirectory, "wersja", "wfr")) return release;
  rt::guarded([&] {
    engine::WorkArea* a = engine::workspace().find("wfr");
    a->goTop();
    if (a->eof()) return;
    const rt::Value v = a->get("baza");
    if (v.isText()) release = rt::allTrim(v.str());
  });
  rt::guarded([] { db::ZAMKNIJ("wfr"); });
  return release;
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

// Sets the database's completion flag; false when the record could not be written. A
// `programLevel` given is put back as the record's `tav` when the record demands more: the program
// steps of the refresh are chosen by it, and the refresh raises it once they are done.
bool setCompletion(std::string_view databaseDirectory, const char* ok,
                   const std::string& programLevel = {}, const char* table = "wersja") {
  if (!db::S_OTWORZ(databaseDirectory, table, "wer")) return false;
  bool written = false;
  rt::guarded([&] {
    engine::WorkArea* a = engine::workspace().find("wer");
    a->goTop();
    if (a->eof() || !db::REK_LOCK()) return;
    a->put("ok", rt::Value(std::string(ok)));
    const rt::Value tav = a->get("tav");
    if (!programLevel.empty() && tav.isText() && convert::releaseBelow(programLevel, tav.str()))
      a->put("tav", rt::Value(programLevel));
    a->commit();
    a->unlock();
    written = true;
  });
  rt::guarded([] { db::ZAMKNIJ("wer"); });
  return written;
}

// The program level the database's wersja.dbf records now (its `tav`); empty when unreadable.
std::string recordedProgramLevel(std::string_view databaseDirectory) {
  std::string level;
  if (!db::S_OTWORZ(databaseDirectory, "wersja", "wer")) return level;
  rt::guarded([&] {
    engine::WorkArea* a = engine::workspace().find("wer");
    a->goTop();
    const rt::Value v = a->get("tav");
    if (!a->eof() && v.isText()) level = rt::allTrim(v.str());
  });
  rt::guarded([] { db::ZAMKNIJ("wer"); });
  return level;
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

// Runs `work` with every error abandoning it rather than waiting for a person; the failure
// result ("Błąd podczas instalacji:;..."), or what `work` left in the result, or empty.
std::string untilAbandoned(const std::function<void()>& work) {
  try {
    rt::AbandonGuard guard;
    work();
  } catch (const rt::Abandon& e) {
    return "Błąd podczas instalacji:;"_oem + errorText(e.error());
  } catch (const std::exception& e) {
    return "Błąd podczas instalacji:;"_oem + e.what();
  }
  return {};
}

// The run's shared variables live as long as the run.
struct RunVariables {
  RunVariables() {
    auto& sv = rt::shared();
    rt::Array pdane(10, rt::Value(std::string()));
    pdane[0] = rt::Value(0.0);
    pdane[1] = rt::Value(0.0);
    sv.pdane = rt::Value(pdane);
    sv.tlist = rt::Value(rt::Array{});
    sv.kraje_ue.clear();
    sv.num_fir = rt::Value();
  }
  ~RunVariables() {
    auto& sv = rt::shared();
    sv.pdane = rt::Value();
    sv.tlist = rt::Value();
    sv.kraje_ue.clear();
    sv.num_fir = rt::Value();
  }
};

// The firm whose conversion runs now: the firm steps the registry runs go into its record.
FirmRecord* convertingFirm = nullptr;

// The steps the registry runs, into the run's record, for the length of a run.
struct StepsRecorded {
  convert::StepObserver previous =
      convert::setStepObserver([](convert::StepKind kind, int release, std::string_view) {
        const std::string name = convert::stepName(kind, release);
        if (kind == convert::StepKind::Firm) {
          if (convertingFirm) convertingFirm->steps.push_back(name);
        } else if (kind != convert::StepKind::Program) {
          record().steps.push_back(name);
        }
      });
  ~StepsRecorded() {
    convertingFirm = nullptr;
    convert::setStepObserver(std::move(previous));
  }
};

struct PumpInstalled {
  db::EventPump previous = db::setEventPump(pumpEvents);
  ~PumpInstalled() { db::setEventPump(std::move(previous)); }
};

// Asks whether to stop after Esc; true to stop.
bool userStops() {
  const rt::Array buttons{rt::Value("Kontynuuję"_oem), rt::Value("Chcę przerwać"_oem)};
  return shell::ALARM(
             {}, "5", rt::Value("Wstrzymanie instalacji"_oem),
             rt::Value(
                 "Gdy przerwiesz instalację, Nie będzie można;korzystać z całej bazy danych."_oem),
             rt::Value(buttons))
             .choice == 2;
}

// What converting one firm gave, wherever it ran.
struct FirmResult {
  FirmRecord firm;
  bool failed = false;
  std::string failure;             // ERR_PIS of the error that stopped it
  std::vector<std::string> notes;  // the tlist entries its conversion added
  int speedClass = 0;
};

// Converts one firm under its own error trap; nothing here shows progress. `firm` comes with its
// number, directory and name.
FirmResult convertFirm(FirmRecord firm, std::string_view programDirectory,
                       std::string_view databaseDirectory, std::string_view databaseRelease) {
  auto& ws = engine::workspace();
  auto& sv = rt::shared();
  const size_t notesBefore = sv.tlist.isArray() ? sv.tlist.arr().size() : 0;
  FirmResult r;
  db::removeLeftovers(firm.directory, true);
  firm.releaseBefore = firmRelease(firm.directory);
  convertingFirm = &firm;
  rt::Error caught;
  bool abandoned = false;
  std::string foreign;
  try {
    abandoned = !rt::guarded(
        [&] {
          convert::MAKE_WINFIR(firm.directory, programDirectory, databaseDirectory,
                               databaseRelease);
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
  convertingFirm = nullptr;
  db::CLOSEALL();
  ws.select("ins");
  firm.releaseAfter = firmRelease(firm.directory);
  if (!abandoned) {
    bool complete = true;
    for (const char* t : kFirmTables) complete = complete && os::exists(firm.directory + t);
    firm.status = !complete                                 ? FirmStatus::Skipped
                  : firm.releaseAfter == firm.releaseBefore ? FirmStatus::Current
                                                            : FirmStatus::Converted;
  }
  if (sv.tlist.isArray())
    for (size_t i = notesBefore; i < sv.tlist.arr().size(); ++i)
      r.notes.push_back(rt::toText(sv.tlist.arr()[i]));
  r.speedClass = convert::speedClass();
  r.firm = std::move(firm);
  return r;
}

// A firm's result through a worker's pipe, and back.
std::string encodeResult(const FirmResult& r) {
  std::string out;
  const FirmRecord& f = r.firm;
  for (const std::string* field : {&f.releaseBefore, &f.releaseAfter, &f.error, &r.failure})
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
  if (!parts || parts->size() != 9) return std::nullopt;
  const auto steps = fields((*parts)[7]), notes = fields((*parts)[8]);
  if (!steps || !notes) return std::nullopt;
  FirmResult r;
  firm.releaseBefore = (*parts)[0];
  firm.releaseAfter = (*parts)[1];
  firm.error = (*parts)[2];
  r.failure = (*parts)[3];
  firm.status = static_cast<FirmStatus>(std::stoi((*parts)[4]));
  r.failed = (*parts)[5] == "1";
  r.speedClass = std::stoi((*parts)[6]);
  firm.steps = *steps;
  r.notes = *notes;
  r.firm = std::move(firm);
  return r;
}

int& firmJobsSetting() {
  static int jobs = 1;
  return jobs;
}

// The firm loop (steps 18 to 20): the result when the run ends inside it, empty when every firm
// was taken. Failures go to `failures`. With more than one job the firms are converted in worker
// processes, that many at once, and everything a firm leaves in the run (its record, report
// entries, progress, the tlist) is taken in firm order, as one firm after another would leave it.
std::string convertFirms(std::string_view programDirectory, std::string_view databaseDirectory,
                         std::string_view databaseRelease, gui::Widget* progressArea, int firmCount,
                         FirmFailures& failures) {
  auto& ws = engine::workspace();
  auto& sv = rt::shared();
  engine::WorkArea* ins = ws.find("ins");

  int counted = 0;
  for (ins->goTop(); !ins->eof(); ins->skip()) {
    shell::LICZNIK();
    ++counted;
  }
  shell::LICZNIK(rt::Value("NEW"), rt::Value(firmCount),
                 rt::Value("Przetwarzanie danych (2) ..."_oem));
  OBLICZ_CZAS(static_cast<double>(counted));
  ws.select("ins");
  ins->goTop();
  const double loopStart = rt::secondsSinceMidnight();
  const std::string total = number4(firmCount);
  const size_t jobs = static_cast<size_t>(std::max(1, firmJobsSetting()));

  auto announce = [&](const FirmRecord& firm, bool named, int index) {
    std::string firmText = "Firma" + number4(firm.nr) + "\\";
    if (named) firmText = "(" + rt::StrZero(index, 4, 0) + "):" + firm.name;
    const std::string left = number4(firmCount - index) + "/" + total;
    OPISY(progressArea, rt::Value(firmText), index == 1 ? rt::Value("?") : rt::Value(),
          rt::Value(left));
    notify({index, firmCount, &firm, false, {}, {}});
  };
  auto conclude = [&](FirmResult r, int index) {
    if (r.failed) failures.add(r.firm.nr, r.failure);
    record().firms.push_back(std::move(r.firm));
    const std::string remaining = OBLICZ_CZAS(loopStart, rt::secondsSinceMidnight(), index);
    OPISY(progressArea, rt::Value(), rt::Value(remaining));
    notify({index, firmCount, &record().firms.back(), true, remaining,
            remaining == "?" ? std::string() : G1_P_G2(rt::timeOfDay(), remaining)});
    db::CLOSEALL();
    ws.select("ins");
  };

  struct Running {
    FirmRecord firm;
    bool named;
    int index;
    WorkerProcess worker;
  };
  std::deque<Running> running;
  // A worker's firm taken into the run: what it printed, then what became of it.
  auto gather = [&] {
    Running w = std::move(running.front());
    running.pop_front();
    WorkerProcess::Result got = w.worker.collect();
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
    if (sv.tlist.isArray())
      for (const std::string& n : r->notes) sv.tlist.arr().push_back(rt::Value(n));
    convert::raiseSpeedClass(r->speedClass);
    conclude(std::move(*r), w.index);
  };

  int index = 0;
  for (; !ins->eof(); ins->skip()) {
    if (db::NIC() && userStops()) {
      while (!running.empty()) gather();
      return interruptedMessage();
    }
    shell::LICZNIK();
    ++index;
    const double nr = ins->get("nr").num();
    sv.num_fir = rt::Value(nr);
    FirmRecord firm;
    firm.nr = nr;
    firm.directory = std::string(databaseDirectory) + "firma" + number4(nr) + "\\";
    const bool named = firmName(firm.directory, firm.name);
    if (jobs == 1) {
      announce(firm, named, index);
      conclude(convertFirm(std::move(firm), programDirectory, databaseDirectory, databaseRelease),
               index);
      continue;
    }
    if (running.size() >= jobs) gather();
    std::optional<WorkerProcess> worker = WorkerProcess::start([&, firm] {
      return encodeResult(convertFirm(firm, programDirectory, databaseDirectory, databaseRelease));
    });
    if (!worker) throw std::runtime_error("cannot start a process to convert firm " + number4(nr));
    running.push_back({std::move(firm), named, index, std::move(*worker)});
  }
  while (!running.empty()) gather();
  return {};
}

std::atomic<bool> interruption{false};

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

const char* statusName(FirmStatus s) {
  switch (s) {
    case FirmStatus::Converted:
      return "converted";
    case FirmStatus::Current:
      return "current";
    case FirmStatus::Failed:
      return "failed";
    case FirmStatus::Skipped:
      return "skipped";
  }
  return "skipped";
}

const RunRecord& lastRun() { return record(); }

void setFirmJobs(int jobs) { firmJobsSetting() = std::max(1, jobs); }

RunObserver setRunObserver(RunObserver o) {
  std::swap(observer(), o);
  return o;
}

void requestInterruption() { interruption = true; }
bool interruptionRequested() { return interruption; }
void clearInterruption() { interruption = false; }

bool pumpEvents() {
  auto& a = gui::app();
  bool esc = interruption.load();
  while (auto ev = a.next(1)) {
    if (ev->type == gui::EventType::Key && ev->key == gui::key::Esc) {
      esc = true;
      continue;
    }
    // Timers run when dispatched: one left undispatched would come back at once, for ever.
    a.dispatch(*ev);
  }
  return esc || interruption.load();
}

void PREPARE_INS(gui::Widget* dialog, gui::Dialog*& progressWindow, gui::Widget*& progressArea,
                 const std::string& title) {
  auto& a = gui::app();
  auto& sv = rt::shared();
  gui::Widget* over = dialog ? &dialog->dialog()->drawingArea() : nullptr;
  const gui::Size size = over ? over->size() : gui::Size{630, 260};
  gui::DialogFlags flags;
  flags.taskList = flags.titleBar = flags.sysMenu = false;
  flags.alwaysOnTop = true;
  const gui::Point at = over ? dialog->dialog()->pos() : gui::Point{0, 0};
  progressWindow = &a.createDialog(dialog ? dialog->dialog() : nullptr, at, size, flags);
  progressWindow->setTitle(title);  // no title bar shows it; it names the window for the desktop
  gui::Widget& da = progressWindow->drawingArea();
  progressArea = &da;
  da.setColors(gui::kDarkGrey, gui::kDialogBack);
  da.setFont(gui::Font::parse("8.Arial"));

  const int W = size.w, H = size.h;
  const int m = sv.h_org / 12;
  const int row = m / 2 + 4;

  // 1: the titled frame along the top, 2: the progress bar under it (its frame is 60 high),
  // then 3 to 7 the labels and 8 to 12 their values, row by row downwards.
  const int frameHeight = m + m / 2, barHeight = 60;
  const int frameY = H - m / 2 - frameHeight, barY = frameY - m / 4 - barHeight;
  auto& frame = da.add<gui::Static>(gui::StaticType::RaisedBox, gui::Point{m / 2, frameY},
                                    gui::Size{W - m, frameHeight});
  auto& heading = frame.add<gui::Static>(gui::StaticType::Text, gui::Point{4, 4},
                                         gui::Size{W - m - 8, frameHeight - 8});
  heading.setAlign(gui::Align::Center);
  gui::Font big;
  big.name = "Arial";
  big.codePage = 238;
  big.pointSize = sv.fh12;
  big.bold = true;
  heading.setFont(big);
  heading.setCaption("Instalacja programu TAV (wersja " + sv.wersja_p + ")");

  shell::LICZNIK(rt::Value(rt::Array{rt::Value(double(m / 2)), rt::Value(double(barY))}),
                 rt::Value(double(W - m)), rt::Value(10.0),
                 rt::Value("Czynności przygotowawcze..."_oem), &da);

  const char* labels[] = {"Nazwa firmy: ", "Aktualna godzina: ", "Koniec instalacji za minut: ",
                          "Czyli o godz.: ", "Pozostało firm: "};
  const int labelWidth = W / 2 - m;
  auto rowY = [&](int i) { return barY - m / 3 - (i + 1) * row; };
  for (int i = 0; i < 5; ++i) {
    auto& l = da.add<gui::Static>(gui::StaticType::Text, gui::Point{m, rowY(i)},
                                  gui::Size{labelWidth, row});
    l.setAlign(gui::Align::Right);
    l.setCaption(rt::utf8ToOem(labels[i]));
  }
  const std::string initial[] = {title, "?", "?", "?", " "};
  for (int i = 0; i < 5; ++i) {
    auto& v = da.add<gui::Static>(gui::StaticType::Text, gui::Point{m + labelWidth + 4, rowY(i)},
                                  gui::Size{W - labelWidth - 2 * m - 4, row});
    gui::Font f;
    f.name = "Courier New";
    f.codePage = 238;
    f.pointSize = sv.fh8 + 2;
    f.bold = true;
    v.setFont(f);
    v.setCaption(initial[i]);
  }
  progressWindow->show();
  progressWindow->setFocus();
  a.backend().flush();
}

void connectProgressWindow() {
  convert::ProgressWindowCalls calls;
  calls.prepare = [](gui::Widget* dialog, gui::Dialog*& window, gui::Widget*& area,
                     const std::string& title) { PREPARE_INS(dialog, window, area, title); };
  calls.describe = [](gui::Widget* area, const rt::Value& firm, const rt::Value& remaining,
                      const rt::Value& firms) { OPISY(area, firm, remaining, firms); };
  convert::setProgressWindowCalls(std::move(calls));
}

std::string UPGRADE_NOWEJ_BAZY(gui::Widget* dialog, std::string_view programDirectory,
                               std::string_view databaseDirectory, std::string_view databaseRelease,
                               gui::Dialog*& progressWindow, gui::Widget*& progressArea) {
  auto& ws = engine::workspace();
  auto& sv = rt::shared();
  const std::string program(programDirectory), database(databaseDirectory),
      release(databaseRelease);
  record() = RunRecord{};
  RunVariables variables;
  PumpInstalled pump;
  StepsRecorded steps;
  auto finish = [&](std::string result) {
    closeEverything();
    record().result = result;
    return result;
  };

  // A workstation name chosen for this installation.
  const std::string nsFile = program + "setings\\ns.cfg";
  if (os::exists(nsFile)) {
    std::ifstream in(os::toHost(nsFile), std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    if (auto name = db::workstationNameInConfig(contents.str())) sv.nazwa_sieciowa = *name;
  }

  // The lock: every workstation of TAV opens str\nazwy.dbf, so nobody works while it is held.
  if (!os::exists(database + "str\\nazwy.dbf")) db::FCOPY(".\\str\\nazwy.dbf", database + "str\\");
  if (!db::USEEX(database + "str\\nazwy.dbf", "sem")) return finish(usersAtWorkMessage());

  // A run killed half-way may have left copies and staged tables: the database is ours now.
  for (const char* dir : {"", "str\\", "str\\xml\\", "public\\"})
    db::removeLeftovers(database + dir);

  db::MKDIR(program + "temp");
  for (const char* file : shippedReferenceFiles())
    db::FCOPY(std::string(".\\str\\") + file, database + "str\\");
  for (const char* file : kStaleReferenceIndexes) db::DEL_FILE(database + "str\\" + file);
  db::FCOPY(".\\str\\rcx.acc", database + "str\\");
  if (convert::releaseBelow(release, kXmlBelow)) {
    if (!os::isDirectory(database + "str\\xml")) db::MKDIR(database + "str\\xml");
    db::COPY_KAT(".\\xml\\", database + "str\\xml\\");
  }
  db::DEL_FILE(database + "public\\ins_raport.txt");
  db::DEL_FILE(database + "public\\hif_raport.rtf");

  convert::runTemplateSteps(release, database, program);

  if (!db::OTWORZ(database, "install", "ins")) return finish(noFirmListMessage());
  db::ZAMKNIJ("ins");

  PREPARE_INS(dialog, progressWindow, progressArea, "Aktualizacja Bazy Danych");
  rt::settings().deletedHidden = true;
  sv.kraje_ue = euCountries(database);

  if (!db::OTWORZ(database, "install", "ins")) return finish(noFirmListMessage());
  int firmCount = 0;
  {
    engine::WorkArea* ins = ws.find("ins");
    for (ins->goTop(); !ins->eof(); ins->skip()) ++firmCount;
  }
  if (firmCount < 1) return finish(noFirmsMessage());
  const std::string n = number4(firmCount);
  OPISY(progressArea, rt::Value(), rt::Value("?"), rt::Value(n + "/" + n));
  shell::LICZNIK(rt::Value("NEW"), rt::Value(firmCount),
                 rt::Value("Przetwarzanie danych (1)..."_oem));

  // From here until the end a stop anywhere must make the next attempt run again.
  if (!setCompletion(database, "N"))
    return finish("Nie można zapisać pliku;"_oem + database + "wersja.dbf");

  FirmFailures failures;
  // An error between firms, outside any firm's trap: the run cannot say what state the
  // remaining firms are in, so it ends there as a failure.
  std::string stopped;
  const std::string failed = untilAbandoned([&] {
    stopped = convertFirms(program, database, release, progressArea, firmCount, failures);
  });
  if (!failed.empty()) stopped = failed;
  OBLICZ_CZAS(std::nullopt);
  if (!stopped.empty()) return finish(stopped);

  OPISY(progressArea, rt::Value("Analiza Katalogu public..."_oem), rt::Value("?"), rt::Value("?"));
  closeEverything();

  if (sv.tlist.isArray())
    for (const rt::Value& t : sv.tlist.arr()) record().texts.push_back(rt::toText(t));
  writeInstallReport(database, failures.entries, sv.tlist);
  // An error in the public steps (a table that cannot be written, a full disk) ends the run
  // before the new release is recorded: the database stays incomplete and the next run does
  // them again.
  stopped = untilAbandoned([&] { convert::runPublicSteps(release, database); });
  if (!stopped.empty()) return finish(stopped);

  // The public steps are chosen by the release wersja.dbf records: the new release arrives only
  // once they are done, so that a run stopped among them does them again next time. The shipped
  // record's `ok` may say "T", and until the end the database must say it is incomplete: the
  // record is marked "N" beside wersja.dbf and only then takes its place, so that a crash at any
  // moment leaves a record saying "N", the old one or the new one.
  const std::string programLevel = recordedProgramLevel(database);
  const std::string incoming = database + "~wb.dbf";
  db::DEL_FILE(incoming);
  if (!db::FCOPY(".\\wb.dbf", incoming) || !setCompletion(database, "N", programLevel, "~wb") ||
      !os::replaceFile(incoming, database + "wersja.dbf")) {
    db::DEL_FILE(incoming);
    return finish("Nie można zapisać pliku;"_oem + database + "wersja.dbf");
  }

  if (!failures.empty()) {
    writeFailureLog(failures.log);
    return finish("01");
  }
  if (!setCompletion(database, "T"))
    return finish("Nie można zapisać pliku;"_oem + database + "wersja.dbf");
  return finish("00");
}

}  // namespace tav::upgrade
