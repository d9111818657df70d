#include "convert/firm_steps_early.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "convert/field_values.h"
#include "convert/firm_step_frame.h"
#include "convert/release_catalogue.h"
#include "db/arithmetic.h"
#include "db/files.h"
#include "db/index_catalogue.h"
#include "db/indexing.h"
#include "db/structure_change.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/files.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"

namespace tav::convert {
namespace {

using namespace rt::literals;

struct Firm {
  std::string dir;  // the firm's own directory
  std::string str;  // the database's templates
};

[[noreturn]] void stepFailed(const std::string& description, const std::string& file, const char* operation) {
  rt::Error e;
  e.genCode = rt::kErrOpen;
  e.subSystem = "TAV";
  e.description = description;
  e.filename = file;
  e.operation = operation;
  rt::fail(std::move(e));
}

// OTWORZ hands back an alias already open whatever table it holds, so the alias is closed first.
// A table that will not open stops the step: nothing after it may run on a missing table.
engine::WorkArea& open(const std::string& dir, std::string_view table, const char* alias,
                       std::string_view tag = {}) {
  db::ZAMKNIJ(alias);
  const std::string file = dir + std::string(table) + ".dbf";
  if (!db::OTWORZ(dir, table, alias, tag))
    stepFailed("Nie można otworzyć pliku "_oem + file, file, "OTWORZ");
  return *engine::workspace().find(alias);
}

bool exists(const std::string& dir, std::string_view table) {
  return os::exists(dir + std::string(table) + ".dbf");
}

void put(engine::WorkArea& a, const char* field, const rt::Value& v) { a.put(std::string_view(field), v); }

size_t fieldCount(const std::string& dir, const char* table, const char* alias) {
  const size_t n = open(dir, table, alias).fieldCount();
  db::ZAMKNIJ(alias);
  return n;
}

int fieldWidth(const std::string& dir, const char* table, const char* alias, const char* field) {
  engine::WorkArea& a = open(dir, table, alias);
  const int pos = a.fieldPos(field);
  const int width = pos ? a.field(static_cast<size_t>(pos)).length : 0;
  db::ZAMKNIJ(alias);
  return width;
}

// A new table of the release: the firm's copy is replaced by the database's template. A copy that
// did not arrive must not let the step record its release with the table missing or stale.
void copyTemplate(const Firm& f, const char* source, const char* target) {
  const std::string from = f.str + source + ".dbf", to = f.dir + target + ".dbf";
  if (!db::FCOPY(from, to)) stepFailed("Nie można skopiować wzorca "_oem + from, to, "FCOPY");
}

// The table's catalogued tags; a rebuild that failed leaves the table with an index that may no
// longer match its records, so the step stops rather than record its release.
void reindex(const Firm& f, const char* table) {
  const db::TagList* tags = db::tagsFor(table);
  const std::string base = f.dir + table;
  if (!tags) stepFailed("Brak indeksów tabeli "_oem + table, base + ".dbf", "INDEXON");
  if (db::INDEXON(base, *tags) != db::kIndexed)
    stepFailed("Nie można zbudować indeksu "_oem + base + ".cdx", base + ".cdx", "INDEXON");
}

// ---------------------------------------------------------------- what each step does

// Fields added to a table; `below` > 0: only while the table has fewer fields than that.
struct Addition {
  const char* table;
  const char* alias;
  size_t below;
  db::Structure fields;
  std::vector<rt::Value> initial;  // per field; nil (or missing) leaves it empty
};

// Fields widened by position; `field` / `shorterThan`: only while that field is shorter.
struct Widening {
  const char* table;
  const char* alias;
  const char* field;
  int shorterThan;
  db::Widenings widen;
};

using Rule = void (*)(const Firm&);

// In the order a step does them: templates, additions, widenings, the indexes its rule reads
// through, its rule, the indexes of the tables it changed, and last the release record.
struct StepPlan {
  int release = 0;
  std::vector<const char*> templates = {};
  std::vector<Addition> additions = {};
  std::vector<Widening> widenings = {};
  std::vector<const char*> indexesBeforeRule = {};
  Rule rule = nullptr;
  std::vector<const char*> indexes = {};
};

void addFields(const Firm& f, const Addition& a) {
  if (a.below && fieldCount(f.dir, a.table, a.alias) >= a.below) return;
  if (!db::DODAJ_POLE(a.fields, a.initial, f.dir, std::string(a.table) + ".dbf"))
    stepFailed("Nie można dodać pól do tabeli "_oem + a.table, f.dir + a.table + ".dbf", "DODAJ_POLE");
}

// ZMIEN_DL_POLA reports nothing, so the widths are read back: a table left narrow must not be
// recorded as converted.
void widenFields(const Firm& f, const Widening& w) {
  if (w.field && fieldWidth(f.dir, w.table, w.alias, w.field) >= w.shorterThan) return;
  db::ZMIEN_DL_POLA(f.dir, std::string(w.table) + ".dbf", w.widen);
  engine::WorkArea& a = open(f.dir, w.table, w.alias);
  const bool widened = std::all_of(w.widen.begin(), w.widen.end(), [&](const std::pair<int, int>& p) {
    return p.first >= 1 && static_cast<size_t>(p.first) <= a.fieldCount() &&
           a.field(static_cast<size_t>(p.first)).length >= p.second;
  });
  db::ZAMKNIJ(w.alias);
  if (!widened)
    stepFailed("Nie można poszerzyć pól tabeli "_oem + w.table, f.dir + w.table + ".dbf", "ZMIEN_DL_POLA");
}

bool run(const StepPlan& plan, std::string_view firmDirectory, std::string_view databaseDirectory,
         std::string_view firmRelease) {
  if (!firmStepDue(firmRelease, plan.release)) return true;
  const Firm f{std::string(firmDirectory), std::string(databaseDirectory) + "str\\"};
  for (const char* table : plan.templates) copyTemplate(f, table, table);
  for (const Addition& a : plan.additions) addFields(f, a);
  for (const Widening& w : plan.widenings) widenFields(f, w);
  for (const char* table : plan.indexesBeforeRule) reindex(f, table);
  if (plan.rule) plan.rule(f);
  for (const char* table : plan.indexes) reindex(f, table);
  recordFirmRelease(firmDirectory, plan.release);
  return true;
}

// ---------------------------------------------------------------- rules

// R1: the firm's information table follows its tax form.
void taxFormTemplate(const Firm& f) {
  engine::WorkArea& fir = open(f.dir, "firma", "fir");
  const bool lumpSum = rt::rTrim(rt::upper(text(fir, "ryczalt"))) == "R";
  db::ZAMKNIJ("fir");
  copyTemplate(f, lumpSum ? "rnf_fir" : "inf_fir", "inf_fir");
}

// R2: the first word found in the disposal reason decides its type.
struct DisposalType {
  const char* word;
  const char* type;
};
constexpr DisposalType kDisposalTypes[] = {{"SPRZ", "S"}, {"NIED", "X"}, {"KRA", "K"}, {"DAR", "D"}};
constexpr const char* kOtherDisposal = "I";

void fixedAssets(const Firm& f) {
  engine::WorkArea& stg = open(f.dir, "st_gn", "stg");
  for (stg.goTop(); !stg.eof(); stg.skip(1)) {
    if (stg.get(std::string_view("data_l")).empty()) continue;
    const std::string reason = rt::upper(rt::allTrim(text(stg, "powody_l")));
    const char* type = kOtherDisposal;
    for (const DisposalType& d : kDisposalTypes)
      if (reason.find(d.word) != std::string::npos) {
        type = d.type;
        break;
      }
    put(stg, "typ_l", rt::Value(type));
    put(stg, "dok_l", rt::Value("Brak danych"));
  }
  db::ZAMKNIJ("stg");

  engine::WorkArea& ste = open(f.dir, "st_en", "ste");
  for (ste.goTop(); !ste.eof(); ste.skip(1)) {
    const char* kind = !blank(text(ste, "lpp_i")) ? "W" : !blank(text(ste, "nip")) ? "F" : "S";
    put(ste, "sn", rt::Value(kind));
  }
  db::ZAMKNIJ("ste");
}

// R3: each employee's periods carry the last end date forward into the ones still open.
struct CodePair {
  const char* code;
  const char* flag;
};
constexpr CodePair kIftPairs[] = {{"typ1", "t1"}, {"typ2", "t2"}, {"typ3", "t3"}};
constexpr const char* kCompletedCode = "99";

void completeCode(engine::WorkArea& a, const CodePair& p) {
  if (rt::rTrim(text(a, p.code)) == kCompletedCode && blank(text(a, p.flag))) put(a, p.flag, rt::Value("1"));
}

void payrollPeriods(const Firm& f) {
  engine::WorkArea& pa = open(f.dir, "p_pa", "pa", "ppp");
  engine::WorkArea& pp = open(f.dir, "p_p", "pp");
  for (pp.goTop(); !pp.eof(); pp.skip(1)) {
    const std::string employee = text(pp, "lpp");
    if (!pa.seek(rt::Value(employee)) || !pa.found()) continue;
    rt::Value carried = pa.get(std::string_view("p6"));
    for (; !pa.eof() && rt::rTrim(text(pa, "lpp_p")) == rt::rTrim(employee); pa.skip(1)) {
      const rt::Value p6 = pa.get(std::string_view("p6"));
      if (!p6.empty()) {
        carried = p6;
      } else if (const rt::Value p5 = pa.get(std::string_view("p5"));
                 carried.isDate() && p5.isDate() && p5.date() < carried.date()) {
        put(pa, "p6", carried);
      }
    }
  }
  db::ZAMKNIJ("pa");
  db::ZAMKNIJ("pp");

  engine::WorkArea& um = open(f.dir, "p_um", "um");
  for (um.goTop(); !um.eof(); um.skip(1)) completeCode(um, {"ift", "ift2"});
  db::ZAMKNIJ("um");

  if (!exists(f.dir, "p_ift")) return;
  engine::WorkArea& ift = open(f.dir, "p_ift", "ift");
  for (ift.goTop(); !ift.eof(); ift.skip(1))
    for (const CodePair& p : kIftPairs) completeCode(ift, p);
  db::ZAMKNIJ("ift");
}

// R4: December of the work calendar.
constexpr uint32_t kDecember = 12;
constexpr int kDecemberWorkDays = 20;
constexpr const char* kDecemberDaysOff = "6,7,13,14,20,21,24,25,26,27,28,";

void workCalendar(const Firm& f) {
  engine::WorkArea& robo = open(f.dir, "p_cals", "robo");
  // A calendar without a twelfth record has no December to correct; writing on end of file
  // would change nothing that exists.
  if (robo.lastRec() >= kDecember) {
    robo.goTo(kDecember);
    put(robo, "dr", rt::Value(kDecemberWorkDays));
    put(robo, "dw", rt::Value(kDecemberDaysOff));
  }
  db::ZAMKNIJ("robo");
}

// R5: the seniority words of the payroll formulas, as functions of the base and as variables.
struct Rename {
  const char* from;
  const char* to;
};
constexpr Rename kAsFunctions[] = {{"MC_STAZ", "M_STAZ(B)"}, {"ROK_STAZ", "R_STAZ(B)"}};
constexpr Rename kAsVariables[] = {{"MC_STAZ", "MSTAZB"}, {"ROK_STAZ", "RSTAZB"}};

struct FormulaTable {
  const char* table;
  const char* alias;
  size_t functionsFrom, functionsTo, variablesFrom, variablesTo;  // field positions
};
constexpr FormulaTable kFormulaTables[] = {{"p_skld", "psd", 16, 19, 20, 23},
                                           {"p_sklm", "psm", 7, 10, 11, 14}};

template <size_t N>
void rewriteFormula(engine::WorkArea& a, size_t pos, const Rename (&renames)[N]) {
  const rt::Value v = a.get(pos);
  if (!v.isText()) return;
  std::string s = rt::rTrim(v.str());
  bool changed = false;
  for (const Rename& r : renames)
    for (size_t at = s.find(r.from); at != std::string::npos; at = s.find(r.from, at + std::strlen(r.to))) {
      s.replace(at, std::strlen(r.from), r.to);
      changed = true;
    }
  // A longer name can push a full formula past its field: cut, it would compute something else,
  // so such a formula keeps its old words.
  if (changed && s.size() <= a.field(pos).length) a.put(pos, rt::Value(s));
}

void payrollFormulas(const Firm& f) {
  for (const FormulaTable& t : kFormulaTables) {
    engine::WorkArea& a = open(f.dir, t.table, t.alias);
    for (a.goTop(); !a.eof(); a.skip(1)) {
      for (size_t pos = t.functionsFrom; pos <= t.functionsTo; ++pos) rewriteFormula(a, pos, kAsFunctions);
      for (size_t pos = t.variablesFrom; pos <= t.variablesTo; ++pos) rewriteFormula(a, pos, kAsVariables);
    }
    db::ZAMKNIJ(t.alias);
  }
}

// R6: contract payouts as they were before the flags existed.
constexpr double kTransferThreshold = 0.001;

void contractPayouts(const Firm& f) {
  engine::WorkArea& pus = open(f.dir, "p_us", "pus");
  for (pus.goTop(); !pus.eof(); pus.skip(1)) {
    put(pus, "wyplata", pus.get(std::string_view("kwota")));
    for (const char* flag : {"is_k", "is_z52", "is_p"}) put(pus, flag, rt::Value("N"));
    put(pus, "is_r", rt::Value(number(pus, "ror") > kTransferThreshold ? "T" : "N"));
  }
  db::ZAMKNIJ("pus");
}

// R7: flat-rate contracts pay the health contribution and the tax out of the amount.
constexpr double kHealthRate = 0.09, kFlatTaxRate = 0.12;

void flatRatePayouts(const Firm& f) {
  engine::WorkArea& pus = open(f.dir, "p_us", "pus");
  for (pus.goTop(); !pus.eof(); pus.skip(1)) {
    const double amount = number(pus, "kwota");
    put(pus, "wyplata", rt::Value(amount));
    put(pus, "is_k", rt::Value("N"));
    put(pus, "koszty", rt::Value(0));
    if (rt::rTrim(text(pus, "is_p")) != "T") continue;
    put(pus, "is_p", rt::Value("T"));
    put(pus, "is_z52", rt::Value("T"));
    const double health = db::ROUND2(amount * kHealthRate);
    const double tax = db::ROUND2(db::ROUND2(amount, 0) * kFlatTaxRate, 0);
    const double payout = db::ROUND2(amount - tax - health);
    put(pus, "zus52", rt::Value(health));
    put(pus, "podatek", rt::Value(tax));
    put(pus, "wyplata", rt::Value(payout));
    put(pus, "fp", rt::Value(0));
    const bool transfer = number(pus, "ror") > kTolerance;
    put(pus, "ror", rt::Value(transfer ? payout : 0.0));
    put(pus, "gotowka", rt::Value(transfer ? 0.0 : payout));
  }
  db::ZAMKNIJ("pus");
}

// R8: contribution records only for the partners the firm still lists.
void formerPartners(const Firm& f) {
  if (!exists(f.dir, "skl_52r")) return;
  // The partner list must be read: taken as empty, it would remove every contribution record.
  std::set<std::string> partners;
  engine::WorkArea& wsp = open(f.dir, "wspolnik", "wsp");
  for (wsp.goTop(); !wsp.eof(); wsp.skip(1)) {
    const std::string partner = rt::rTrim(text(wsp, "lpp_o"));
    if (!partner.empty()) partners.insert(partner);
  }
  db::ZAMKNIJ("wsp");

  engine::WorkArea& z52 = open(f.dir, "skl_52r", "z52");
  size_t removed = 0;
  for (z52.goTop(); !z52.eof(); z52.skip(1))
    if (!partners.count(rt::rTrim(text(z52, "lpp_o")))) {
      z52.remove();
      ++removed;
    }
  if (removed) z52.pack();
  db::ZAMKNIJ("z52");
}

// ---------------------------------------------------------------- the steps

const StepPlan k001 = {
    .release = 1,
    .templates = {"ks_dok"},
    .additions = {{"ks_kor", "kor", 0,
                   {{"MAJATEK", 'C', 1, 0}, {"TYP_P", 'C', 1, 0}, {"LP", 'N', 10, 0}}, {}},
                  {"ks_kora", "kora", 0, {{"LP", 'N', 10, 0}}, {}}},
    .rule = taxFormTemplate,
    .indexes = {"ks_dok", "ks_kor", "ks_kora"}};

const StepPlan k004 = {
    .release = 4,
    .additions = {{"st_en", "ste", 62, {{"SN", 'C', 1, 0}}, {rt::Value("-")}},
                  {"st_gn", "stg", 57,
                   {{"dok_l", 'C', 40, 0}, {"typ_l", 'C', 1, 0}, {"NR_OT", 'C', 40, 0}}, {}},
                  {"st_dok", "stk", 21, {{"dok_l", 'C', 40, 0}, {"typ_l", 'C', 1, 0}}, {}}},
    .rule = fixedAssets,
    .indexes = {"st_en", "st_gn", "st_dok"}};

const StepPlan k005 = {
    .release = 5, .additions = {{"st_gn", "stg", 58, {{"NR_OT", 'C', 40, 0}}, {}}}, .indexes = {"st_gn"}};

// The periods are walked in the order of the freshly built index.
const StepPlan k009 = {
    .release = 9, .indexesBeforeRule = {"p_pa"}, .rule = payrollPeriods, .indexes = {"p_um"}};

const StepPlan k010 = {.release = 10, .rule = workCalendar, .indexes = {"p_cals"}};

const StepPlan k011 = {
    .release = 11, .widenings = {{"wspolnik", "wsp", "adres_nrd", 9, {{15, 10}}}}, .indexes = {"wspolnik"}};

const StepPlan k017 = {.release = 17, .rule = payrollFormulas};

const StepPlan k019 = {.release = 19, .templates = {"cpn"}};

const StepPlan k021 = {
    .release = 21,
    .additions = {{"p_us", "pus", 22,
                   {{"Koszty", 'N', 12, 2}, {"Podatek", 'N', 12, 2}, {"wyplata", 'N', 12, 2},
                    {"is_k", 'C', 1, 0}, {"is_p", 'C', 1, 0}, {"is_r", 'C', 1, 0},
                    {"zus52", 'N', 12, 2}, {"is_z52", 'C', 1, 0}},
                   {}}},
    .rule = contractPayouts,
    .indexes = {"p_us"}};

const StepPlan k023 = {
    .release = 23, .widenings = {{"ks_kor", "kor", nullptr, 0, {{30, 40}}}}, .indexes = {"ks_kor"}};

const StepPlan k024 = {
    .release = 24,
    .additions = {{"p_us", "pus", 24, {{"zus52", 'N', 12, 2}, {"is_z52", 'C', 1, 0}}, {}}},
    .rule = flatRatePayouts,
    .indexes = {"p_us"}};

const StepPlan k025 = {.release = 25, .rule = formerPartners};

const StepPlan k027 = {
    .release = 27, .templates = {"sme_ewi", "sme_cfg", "sme_zw"}, .indexes = {"sme_ewi", "sme_zw"}};

}  // namespace

#define TAV_FIRM_STEP_BODY(name, plan)                                                             \
  bool name(std::string_view firmDirectory, std::string_view, std::string_view databaseDirectory, \
            std::string_view firmRelease) {                                                        \
    return run(plan, firmDirectory, databaseDirectory, firmRelease);                             \
  }

TAV_FIRM_STEP_BODY(I_25_01_001, k001)
TAV_FIRM_STEP_BODY(I_25_01_004, k004)
TAV_FIRM_STEP_BODY(I_25_01_005, k005)
TAV_FIRM_STEP_BODY(I_25_01_009, k009)
TAV_FIRM_STEP_BODY(I_25_01_010, k010)
TAV_FIRM_STEP_BODY(I_25_01_011, k011)
TAV_FIRM_STEP_BODY(I_25_01_017, k017)
TAV_FIRM_STEP_BODY(I_25_01_019, k019)
TAV_FIRM_STEP_BODY(I_25_01_021, k021)
TAV_FIRM_STEP_BODY(I_25_01_023, k023)
TAV_FIRM_STEP_BODY(I_25_01_024, k024)
TAV_FIRM_STEP_BODY(I_25_01_025, k025)
TAV_FIRM_STEP_BODY(I_25_01_027, k027)

#undef TAV_FIRM_STEP_BODY

}  // namespace tav::convert
