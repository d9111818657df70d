// The public steps and NTX_PUB. A rebuilt shared table is copied over the old one only after it
// is closed, with a pause for the file system; an open alias is closed first so the table named
// is the one worked on.

#include "convert/public_steps.h"

#include <functional>
#include <string>
#include <vector>

#include "convert/field_values.h"
#include "convert/release_catalogue.h"
#include "db/files.h"
#include "db/index_catalogue.h"
#include "db/indexing.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"

namespace tav::convert {
namespace {

using namespace rt::literals;

// A wpit.dbf below this many fields predates release 002 (kw_ods is the 18th).
constexpr size_t kWpitFields = 18;
// Given to the file system after the template's copy opens and after the rebuilt table closes,
// before it is copied over the old one.
constexpr int kSettlePause = 10;
// NTX_PUB's progress bar: 15 steps, one after every third table of the two lists.
constexpr int kIndexSteps = 15;
constexpr size_t kTablesPerStep = 3;
// The totals advance their progress bar once per this many records.
constexpr long kRecordsPerStep = 100;
// INDEXON's work aliases: a failed build leaves its table open under one of them.
constexpr const char* kIndexWorkAliases[] = {"roboczy",  "roboczy0", "roboczy1", "roboczy2",
                                             "roboczy3", "roboczy4", "roboczy5", "roboczy6",
                                             "roboczy7", "roboczy8"};

struct Dirs {
  std::string pub, str, pit;
  explicit Dirs(std::string_view database)
      : pub(std::string(database) + "public\\"),
        str(std::string(database) + "str\\"),
        pit(std::string(database) + "pit\\") {}
};

// OTWORZ hands back an alias that is already open, whatever table it holds: the alias is closed
// first so that the table named is the one worked on. A table that will not open is an error the
// handler may retry (another workstation let it go, the user mended it); any other answer
// abandons the step, since it cannot go on without the table.
engine::WorkArea& open(const std::string& dir, const char* table, const char* alias,
                       std::string_view tag, const char* step) {
  db::ZAMKNIJ(alias);
  const std::string file = dir + table + ".dbf";
  rt::Error e;
  e.genCode = rt::kErrOpen;
  e.subSystem = "DBFCDX";
  e.description = "Nie można otworzyć pliku "_oem + file;
  e.filename = file;
  e.operation = step;
  e.canRetry = true;
  while (!db::OTWORZ(dir, table, alias, tag))
    if (rt::raise(e).kind != rt::Answer::Retry) throw rt::Abandon(e);
  return *engine::workspace().find(alias);
}

// A progress bar that advances once per kRecordsPerStep records.
class RecordProgress {
 public:
  RecordProgress(frontend::Progress& progress, engine::WorkArea& walked, const std::string& caption)
      : progress_(progress) {
    progress_.restart(static_cast<double>(walked.lastRec()) / kRecordsPerStep, caption);
  }
  void record() {
    if (++seen_ % kRecordsPerStep == 0) progress_.advance();
  }

 private:
  frontend::Progress& progress_;
  long seen_ = 0;
};

// Marks deleted every record whose `key` fields repeat those of the record before it in the
// area's order: one form per kind, partner (or firm) and month.
void dropDuplicates(engine::WorkArea& a, const std::vector<const char*>& key) {
  std::string kept;
  bool first = true;
  for (a.goTop(); !a.eof(); a.skip(1)) {
    std::string k;
    for (const char* f : key) k += text(a, f);
    if (!first && k == kept) {
      a.remove();
      continue;
    }
    kept = std::move(k);
    first = false;
  }
}

// The payments registered against one form: pz is ordered by the form's number, then the date.
struct Payments {
  double paid = 0, interest = 0;
};
Payments sumPayments(engine::WorkArea& pz, const char* formField, const std::string& form,
                     const std::function<void()>& perPayment = {}) {
  Payments s;
  pz.seek(rt::Value(form));
  for (; !pz.eof() && rt::rTrim(text(pz, formField)) == rt::rTrim(form); pz.skip(1)) {
    s.paid += number(pz, "kwota_gl") - number(pz, "odsetki");
    s.interest += number(pz, "odsetki");
    if (perPayment) perPayment();
  }
  return s;
}

void paymentTotals(const Dirs& d, frontend::Progress& bar) {
  // The totals must never keep or count a deleted record, whatever the caller's SET DELETED: a
  // duplicate kept because the record before it was already deleted would leave the form with no
  // live record at all.
  const rt::DeletedHiddenAs hidden(true);

  engine::WorkArea& pf = open(d.pub, "fpit", "pf", "rmc", "NTX_PUB");
  dropDuplicates(pf, {"pit", "rmc", "nrfir"});
  db::ZAMKNIJ("pf");
  engine::WorkArea& pw = open(d.pub, "wpit", "pw", "nrw", "NTX_PUB");
  dropDuplicates(pw, {"pit", "lpp_o", "rmc"});
  db::ZAMKNIJ("pw");

  {
    engine::WorkArea& w = open(d.pub, "wpit", "pw", "", "NTX_PUB");
    engine::WorkArea& pz = open(d.pub, "pit_zap", "pz", "lpw", "NTX_PUB");
    RecordProgress progress(bar, w, "Sumowanie zapłat (1)..."_oem);
    for (w.goTop(); !w.eof(); w.skip(1)) {
      progress.record();
      Payments s = sumPayments(pz, "lpp_w", text(w, "lpp"));
      w.put(std::string_view("kw_zap"), rt::Value(s.paid));
      w.put(std::string_view("kw_ods"), rt::Value(s.interest));
    }
    db::ZAMKNIJ("pw");
    db::ZAMKNIJ("pz");
  }
  {
    engine::WorkArea& f = open(d.pub, "fpit", "pf", "", "NTX_PUB");
    engine::WorkArea& pz = open(d.pub, "pit_zap", "pz", "lpf", "NTX_PUB");
    RecordProgress progress(bar, f, " Sumowanie zapłat (2)..."_oem);
    for (f.goTop(); !f.eof(); f.skip(1)) {
      progress.record();
      const std::string firm = text(f, "nrfir");
      // A payment to a firm's form belongs to that firm, whatever number it was entered with.
      Payments s = sumPayments(pz, "lpp_f", text(f, "lpp"), [&] {
        if (text(pz, "nrfir") != firm) pz.put(std::string_view("nrfir"), rt::Value(firm));
      });
      f.put(std::string_view("kw_zap"), rt::Value(s.paid));
      f.put(std::string_view("kw_odsetek"), rt::Value(s.interest));
    }
    db::ZAMKNIJ("pf");
    db::ZAMKNIJ("pz");
  }
  {
    engine::WorkArea& wf = open(d.pub, "wf", "wf", "wf", "NTX_PUB");
    engine::WorkArea& f = open(d.pub, "fpit", "pf", "lpp", "NTX_PUB");
    engine::WorkArea& w = open(d.pub, "wpit", "pw", "lpp", "NTX_PUB");
    engine::WorkArea& pz = open(d.pub, "pit_zap", "pz", "", "NTX_PUB");
    RecordProgress progress(bar, pz, " Sumowanie zapłat (3)..."_oem);
    for (pz.goTop(); !pz.eof(); pz.skip(1)) {
      progress.record();
      const std::string toPartner = text(pz, "lpp_w"), toFirm = text(pz, "lpp_f");
      if (!blank(toPartner)) {
        // A partner's payment goes to the firm that reports the partner.
        if (!w.seek(rt::Value(toPartner)) || !w.found()) continue;
        const rt::Value partner = w.get(std::string_view("lpp_o"));
        if (!wf.seek(partner) || !wf.found()) continue;
        pz.put(std::string_view("lpp_o"), partner);
        pz.put(std::string_view("nrfir"), wf.get(std::string_view("nrfir")));
      } else if (!blank(toFirm)) {
        if (!f.seek(rt::Value(toFirm)) || !f.found()) continue;
        pz.put(std::string_view("nrfir"), f.get(std::string_view("nrfir")));
      }
    }
    for (const char* alias : {"wf", "pf", "pw", "pz"}) db::ZAMKNIJ(alias);
  }
}

void deleteIndexes(const Dirs& d) {
  for (const std::string* dir : {&d.pub, &d.str, &d.pit}) db::DEL_KAT(*dir, "*.cdx");
}

}  // namespace

void PUB_25_01_002(std::string_view databaseDirectory) {
  const Dirs d(databaseDirectory);
  // A table that cannot be opened has an unknown structure: rebuilding it would put an empty
  // template in place of records that were never read.
  db::ZAMKNIJ("pw");
  if (!db::OTWORZ(d.pub, "wpit", "pw")) return;
  const size_t fields = engine::workspace().find("pw")->fieldCount();
  db::ZAMKNIJ("pw");
  const std::string rebuilt = d.pub + "awpit.dbf", table = d.pub + "wpit.dbf";
  if (fields >= kWpitFields) {
    // Converted. A work copy still here means the run that converted the table stopped right
    // after copying it into place, perhaps before the old index went: both go now.
    if (os::exists(rebuilt)) {
      db::DEL_FILE(d.pub + "wpit.cdx");
      db::DEL_FILE(rebuilt);
    }
    return;
  }

  // A copy that fails keeps its target: a work copy left by an interrupted run, perhaps holding
  // records already, must not be taken for the template.
  db::DEL_FILE(rebuilt);
  db::FCOPY(d.str + "wpit.dbf", rebuilt);
  db::ZAMKNIJ("apw");
  if (db::OTWORZ(d.pub, "awpit", "apw")) {
    rt::pause(kSettlePause);
    bool carried = false;
    // The records must all be in the new table before it replaces the old one: an append that
    // failed halfway would otherwise lose the rest. The template is taken for its structure
    // alone; records it may carry are no tax forms.
    bool clean = rt::guarded([&] {
      engine::WorkArea& apw = *engine::workspace().find("apw");
      apw.zap();
      carried = apw.importFrom(os::toHost(table));
    });
    db::ZAMKNIJ("apw");
    if (clean && carried) {
      rt::pause(kSettlePause);
      // The old index numbers records of the old file; it must not be read against the new one.
      if (db::FCOPY(rebuilt, table)) db::DEL_FILE(d.pub + "wpit.cdx");
    }
  }
  db::DEL_FILE(rebuilt);
}

void PUB_25_01_013(std::string_view databaseDirectory) {
  const Dirs d(databaseDirectory);
  const std::string database(databaseDirectory);
  const rt::DeletedHiddenAs hidden(true);  // a deleted firm record is no firm
  engine::WorkArea& ins = open(database, "install", "ins", "", "PUB_25_01_013");
  engine::WorkArea& fr = open(d.pub, "firmy", "fr", "", "PUB_25_01_013");
  for (ins.goTop(); !ins.eof(); ins.skip(1)) {
    const double nr = number(ins, "nr");
    // A firm number without its record in firmy.dbf would land on the end of the file, where
    // there is nothing to write.
    if (nr < 1 || nr > static_cast<double>(fr.lastRec())) continue;
    fr.goTo(static_cast<uint32_t>(nr));
    fr.put(std::string_view("vnr"), ins.get(std::string_view("vnr")));
  }
  db::ZAMKNIJ("ins");
  db::ZAMKNIJ("fr");
}

void NTX_PUB(std::string_view databaseDirectory, const rt::Value& mode,
             frontend::Progress& progress) {
  const Dirs d(databaseDirectory);
  deleteIndexes(d);
  progress.restart(kIndexSteps, "Tworzenie indeksów..."_oem);

  double errors = 0;
  size_t built = 0;
  auto build = [&](const std::string& dir, const std::vector<db::PublicIndex>& list) {
    for (const db::PublicIndex& t : list) {
      const bool absent = t.optional && !os::exists(dir + t.table + ".dbf");
      if (!absent) errors += db::INDEXON(dir + t.table, t.tags);
      if (++built % kTablesPerStep == 0) progress.advance();
    }
  };
  build(d.str, db::strIndexes());
  build(d.pub, db::publicIndexes());

  if (errors > kTolerance) {
    // The table of a tag that failed is still open under INDEXON's work alias, on the index
    // about to be deleted.
    for (const char* alias : kIndexWorkAliases) db::ZAMKNIJ(alias);
    deleteIndexes(d);
    // Without the indexes the payment totals below cannot be made; passed over in silence, the
    // database would count as upgraded with its totals never made, and no rerun would make them.
    rt::Error e;
    e.genCode = rt::kErrCreate;
    e.description = "cannot build the indexes of public\\ and str\\";
    e.operation = "NTX_PUB";
    e.filename = std::string(databaseDirectory);
    rt::fail(std::move(e));
  }
  if (mode.isNil()) paymentTotals(d, progress);
}

}  // namespace tav::convert
