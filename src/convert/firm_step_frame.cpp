// The runner of the firm steps' plans and the firm context their rules work through. Every
// failure is raised before the release record is written, so a firm's wersja.dbf never names a
// step whose work is not all on disk.
#include "convert/firm_step_frame.h"

#include <algorithm>
#include <optional>
#include <span>
#include <utility>

#include "convert/release_catalogue.h"
#include "convert/step_registry.h"
#include "db/files.h"
#include "db/index_catalogue.h"
#include "db/indexing.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/files.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"

namespace tav::convert {
namespace {

using namespace rt::literals;

constexpr double kSeries = 25.01;  // year and series of every release of this catalogue

}  // namespace

// ---- the context

void FirmContext::fail(int genCode, std::string description, std::string file) const {
  rt::Error e;
  e.genCode = genCode;
  e.subSystem = "TAV";
  e.description = std::move(description);
  e.filename = std::move(file);
  e.operation = stepName(StepKind::Firm, release);
  rt::fail(std::move(e));
}

std::string FirmContext::table(std::string_view name) const {
  return dir + std::string(name) + ".dbf";
}

bool FirmContext::has(std::string_view file) const { return os::exists(dir + std::string(file)); }

engine::WorkArea& FirmContext::open(std::string_view name, std::string_view alias,
                                    std::string_view tag) const {
  db::ZAMKNIJ(alias);
  if (!db::OTWORZ(dir, name, alias, tag))
    fail(rt::kErrOpen, "Nie można otworzyć pliku "_oem + table(name), table(name));
  return *engine::workspace().find(alias);
}

void FirmContext::copy(const std::string& from, const std::string& to) const {
  if (!db::FCOPY(from, to)) fail(rt::kErrCreate, "Nie można skopiować pliku "_oem + from, to);
}

void FirmContext::copyTemplate(std::string_view source, std::string_view target) const {
  copy(str + std::string(source) + ".dbf", table(target));
}

// A table restructured under an index built for its old records gives wrong answers to every
// seek: a rebuild that failed stops the step like any other failure.
void FirmContext::reindex(std::string_view name) const {
  const db::TagList* tags = db::tagsFor(name);
  const std::string base = dir + std::string(name);
  if (!tags) fail(rt::kErrNoOrder, "Brak listy indeksów pliku "_oem + table(name), table(name));
  if (db::INDEXON(base, *tags) != db::kIndexed)
    fail(rt::kErrCreate, "Nie można zbudować indeksu "_oem + base + ".cdx", base + ".cdx");
}

namespace {

// ---- the work items

// Reads what a change's condition asks of its table and, when the change is due, the positions
// of the fields it widens. A field named by the condition or a widening that the table lacks
// stops the step: widening works by position, and another field in that place would be changed.
struct Inspection {
  bool due = false;
  db::Widenings widen;  // positions, when due
};

Inspection inspect(const FirmContext& f, const FirmTable& t, const Due& when,
                   const std::vector<Widen>& widen) {
  engine::WorkArea& a = f.open(t.name, t.alias);
  auto position = [&](const char* field) {
    const int pos = a.fieldPos(field);
    if (pos == 0) {
      db::ZAMKNIJ(t.alias);
      f.fail(rt::kErrDataWidth, "Brak pola "_oem + field + " w pliku " + f.table(t.name),
             f.table(t.name));
    }
    return pos;
  };
  Inspection out;
  switch (when.test) {
    case Due::Test::Always:
      out.due = true;
      break;
    case Due::Test::FieldCountBelow:
      out.due = a.fieldCount() < when.fieldCount;
      break;
    case Due::Test::FieldNarrowerThan:
      out.due = a.field(static_cast<size_t>(position(when.field))).length < when.width;
      break;
  }
  if (out.due)
    for (const Widen& w : widen) out.widen.emplace_back(position(w.field), w.width);
  db::ZAMKNIJ(t.alias);
  return out;
}

// The areas of the tables a conversion of records reads. A step that fails leaves them open to
// the firm's trap, which closes every area, as it does those of a rule that failed.
class OpenReads {
 public:
  OpenReads(const FirmContext& f, const std::vector<TableRead>& reads) {
    for (const TableRead& r : reads) {
      aliases_.push_back(r.alias);
      areas_.push_back(&f.open(r.name, r.alias, r.tag ? r.tag : std::string_view()));
    }
  }
  std::span<engine::WorkArea* const> areas() const { return areas_; }
  void close() const {
    for (const char* alias : aliases_) db::ZAMKNIJ(alias);
  }

 private:
  std::vector<const char*> aliases_;
  std::vector<engine::WorkArea*> areas_;
};

// The conversion as a loop over the table in place.
void convertInPlace(const FirmContext& f, const ConvertRecords& w) {
  const OpenReads reads(f, w.reads);
  engine::WorkArea& a = f.open(w.table.name, w.table.alias);
  for (a.goTop(); !a.eof(); a.skip(1)) w.change(a, reads.areas());
  db::ZAMKNIJ(w.table.alias);
  reads.close();
}

// DODAJ_POLE, and the conversion of the table's records after it when one follows: in the
// change's copy when it rewrites the table straight from the old one, in place otherwise (no
// field was due, or the work copies were chosen, which are the literal sequence).
void perform(const FirmContext& f, const AddFields& w, const ConvertRecords* then = nullptr) {
  const Inspection is = inspect(f, w.table, w.when, w.widen);
  db::RecordChange records;
  if (is.due) {
    // What the conversion reads is open before the copy begins, so that a table it lacks stops
    // the step before anything is written.
    std::optional<OpenReads> reads;
    if (then && db::writesOnce()) {
      reads.emplace(f, then->reads);
      records.change = [then, areas = reads->areas()](engine::WorkArea& record) {
        then->change(record, areas);
      };
    }
    // DODAJ_POLE keeps the data when it fails, but without the fields: recording the release
    // anyway would leave the firm without them for good.
    if (!db::DODAJ_POLE(w.fields, w.initial, f.dir, std::string(w.table.name) + ".dbf", is.widen,
                        db::RebuildPath::Default, reads ? &records : nullptr))
      f.fail(rt::kErrWrite, "Nie można zmienić struktury pliku "_oem + f.table(w.table.name),
             f.table(w.table.name));
    if (reads) reads->close();
  }
  if (then && !records.made) convertInPlace(f, *then);
}

void perform(const FirmContext& f, const WidenFields& w) {
  const Inspection is = inspect(f, w.table, w.when, w.widen);
  if (!is.due) return;
  db::ZMIEN_DL_POLA(f.dir, std::string(w.table.name) + ".dbf", is.widen, w.keepDeleted);
  // ZMIEN_DL_POLA reports nothing, so the widths are read back: a table left narrow must not be
  // recorded as converted.
  engine::WorkArea& a = f.open(w.table.name, w.table.alias);
  const bool widened = std::all_of(w.widen.begin(), w.widen.end(), [&](const Widen& x) {
    const int pos = a.fieldPos(x.field);
    return pos != 0 && a.field(static_cast<size_t>(pos)).length >= x.width;
  });
  db::ZAMKNIJ(w.table.alias);
  if (!widened)
    f.fail(rt::kErrWrite, "Nie można poszerzyć pól pliku "_oem + f.table(w.table.name),
           f.table(w.table.name));
}

void perform(const FirmContext& f, const CopyTemplate& w) { f.copyTemplate(w.table, w.table); }
void perform(const FirmContext& f, const Reindex& w) { f.reindex(w.table); }
void perform(const FirmContext& f, const DataRule& w) { w.apply(f); }
void perform(const FirmContext& f, const ConvertRecords& w) { convertInPlace(f, w); }

// The conversion of records that rides in the change `w` makes: the one right after it, of the
// same table.
const ConvertRecords* convertedWith(const FirmWork& w, const FirmWork* next) {
  const auto* add = std::get_if<AddFields>(&w);
  const auto* convert = next ? std::get_if<ConvertRecords>(next) : nullptr;
  if (!add || !convert || std::string_view(add->table.name) != convert->table.name) return nullptr;
  return convert;
}

}  // namespace

void runFirmPlan(const FirmPlan& plan, std::string_view firmDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease) {
  if (!firmStepDue(firmRelease, plan.release)) return;
  const FirmContext firm{std::string(firmDirectory), std::string(databaseDirectory) + "str\\",
                         plan.release};
  for (size_t i = 0; i < plan.work.size(); ++i) {
    const FirmWork* next = i + 1 < plan.work.size() ? &plan.work[i + 1] : nullptr;
    if (const ConvertRecords* then = convertedWith(plan.work[i], next)) {
      perform(firm, std::get<AddFields>(plan.work[i]), then);
      ++i;
      continue;
    }
    std::visit([&](const auto& item) { perform(firm, item); }, plan.work[i]);
  }
  recordFirmRelease(firmDirectory, plan.release);
}

engine::WorkArea& openFirmReleaseRecord(std::string_view firmDirectory) {
  // OTWORZ takes an alias already in use as the table asked for: a "wer" left open on another
  // release record (the database's, another firm's) would be read and written in this one's place.
  db::ZAMKNIJ(kFirmReleaseAlias);
  if (!db::OTWORZ(firmDirectory, "wersja", kFirmReleaseAlias)) {
    rt::Error e;
    e.genCode = rt::kErrOpen;
    e.subSystem = "DBFCDX";
    e.description = "Nie można otworzyć pliku wersji firmy"_oem;
    e.filename = std::string(firmDirectory) + "wersja.dbf";
    e.operation = "OTWORZ";
    rt::fail(std::move(e));
  }
  return *engine::workspace().current();
}

void recordFirmRelease(std::string_view firmDirectory, int release) {
  engine::WorkArea& wer = openFirmReleaseRecord(firmDirectory);
  const std::string text = databaseRelease(release);
  wer.put(std::string_view("baza"), rt::Value(text));
  wer.put(std::string_view("nr"), rt::Value(kSeries));
  wer.put(std::string_view("wariant"), rt::Value(rt::StrZero(release, 3, 0)));
  // On disk before the next step's changes are: after a power loss the record may say a step is
  // not done whose tables it changed (the step runs again, as after a kill), never that steps are
  // not done whose later steps' changes the tables already hold.
  wer.commit();
  db::ZAMKNIJ(kFirmReleaseAlias);
}

}  // namespace tav::convert
