// The firm steps of releases 001 to 027: their plans and the data rules the plans call. The
// frame (firm_step_frame.h) runs them; every rule works through the firm context, so a table it
// cannot open or a copy that did not arrive stops the step before its release is recorded.
#include "convert/firm_steps_early.h"

#include <cstring>
#include <set>
#include <span>
#include <string>

#include "convert/field_values.h"
#include "convert/release_catalogue.h"
#include "db/arithmetic.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "runtime/codepage.h"
#include "runtime/format.h"

namespace tav::convert {
namespace {

using namespace fields;
using rt::Value;

void put(engine::WorkArea& a, const char* field, const Value& v) {
  a.put(std::string_view(field), v);
}

// ---- the data rules -------------------------------------------------------------------------

// The firm's information table follows its tax form.
void taxFormTemplate(const FirmContext& f) {
  engine::WorkArea& fir = f.open("firma", "fir");
  const bool lumpSum = rt::rTrim(rt::upper(text(fir, "ryczalt"))) == "R";
  db::ZAMKNIJ("fir");
  f.copyTemplate(lumpSum ? "rnf_fir" : "inf_fir", "inf_fir");
}

// The first word found in the disposal reason decides its type.
struct DisposalType {
  const char* word;
  const char* type;
};
constexpr DisposalType kDisposalTypes[] = {
    {"SPRZ", "S"}, {"NIED", "X"}, {"KRA", "K"}, {"DAR", "D"}};
constexpr const char* kOtherDisposal = "I";

// A disposed asset (one with a disposal date) gets the type of its disposal.
void disposalType(engine::WorkArea& stg, std::span<engine::WorkArea* const>) {
  if (stg.get(std::string_view("data_l")).empty()) return;
  const std::string reason = rt::upper(rt::allTrim(text(stg, "powody_l")));
  const char* type = kOtherDisposal;
  for (const DisposalType& d : kDisposalTypes)
    if (reason.find(d.word) != std::string::npos) {
      type = d.type;
      break;
    }
  put(stg, "typ_l", Value(type));
  put(stg, "dok_l", Value("Brak danych"));
}

// Who an asset's record stands for: an employee's (W), a firm's (F) or the firm's own (S).
void assetOwner(engine::WorkArea& ste, std::span<engine::WorkArea* const>) {
  const char* kind = !blank(text(ste, "lpp_i")) ? "W" : !blank(text(ste, "nip")) ? "F" : "S";
  put(ste, "sn", Value(kind));
}

// Each employee's periods carry the last end date forward into the ones still open.
struct CodePair {
  const char* code;
  const char* flag;
};
constexpr CodePair kIftPairs[] = {{"typ1", "t1"}, {"typ2", "t2"}, {"typ3", "t3"}};
constexpr const char* kCompletedCode = "99";

void completeCode(engine::WorkArea& a, const CodePair& p) {
  if (rt::rTrim(text(a, p.code)) == kCompletedCode && blank(text(a, p.flag)))
    put(a, p.flag, Value("1"));
}

void payrollPeriods(const FirmContext& f) {
  engine::WorkArea& pa = f.open("p_pa", "pa", "ppp");
  engine::WorkArea& pp = f.open("p_p", "pp");
  for (pp.goTop(); !pp.eof(); pp.skip(1)) {
    const std::string employee = text(pp, "lpp");
    if (!pa.seek(Value(employee)) || !pa.found()) continue;
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

  engine::WorkArea& um = f.open("p_um", "um");
  for (um.goTop(); !um.eof(); um.skip(1)) completeCode(um, {"ift", "ift2"});
  db::ZAMKNIJ("um");

  if (!f.has("p_ift.dbf")) return;
  engine::WorkArea& ift = f.open("p_ift", "ift");
  for (ift.goTop(); !ift.eof(); ift.skip(1))
    for (const CodePair& p : kIftPairs) completeCode(ift, p);
  db::ZAMKNIJ("ift");
}

// December of the work calendar.
constexpr uint32_t kDecember = 12;
constexpr int kDecemberWorkDays = 20;
constexpr const char* kDecemberDaysOff = "6,7,13,14,20,21,24,25,26,27,28,";

void workCalendar(const FirmContext& f) {
  engine::WorkArea& robo = f.open("p_cals", "robo");
  // A calendar without a twelfth record has no December to correct; writing on end of file
  // would change nothing that exists.
  if (robo.lastRec() >= kDecember) {
    robo.goTo(kDecember);
    put(robo, "dr", Value(kDecemberWorkDays));
    put(robo, "dw", Value(kDecemberDaysOff));
  }
  db::ZAMKNIJ("robo");
}

// The seniority words of the payroll formulas, as functions of the base and as variables.
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
    for (size_t at = s.find(r.from); at != std::string::npos;
         at = s.find(r.from, at + std::strlen(r.to))) {
      s.replace(at, std::strlen(r.from), r.to);
      changed = true;
    }
  // A longer name can push a full formula past its field: cut, it would compute something else,
  // so such a formula keeps its old words.
  if (changed && s.size() <= a.field(pos).length) a.put(pos, Value(s));
}

void payrollFormulas(const FirmContext& f) {
  for (const FormulaTable& t : kFormulaTables) {
    engine::WorkArea& a = f.open(t.table, t.alias);
    for (a.goTop(); !a.eof(); a.skip(1)) {
      for (size_t pos = t.functionsFrom; pos <= t.functionsTo; ++pos)
        rewriteFormula(a, pos, kAsFunctions);
      for (size_t pos = t.variablesFrom; pos <= t.variablesTo; ++pos)
        rewriteFormula(a, pos, kAsVariables);
    }
    db::ZAMKNIJ(t.alias);
  }
}

// Contract payouts as they were before the flags existed.
constexpr double kTransferThreshold = 0.001;

void contractPayout(engine::WorkArea& pus, std::span<engine::WorkArea* const>) {
  put(pus, "wyplata", pus.get(std::string_view("kwota")));
  for (const char* flag : {"is_k", "is_z52", "is_p"}) put(pus, flag, Value("N"));
  put(pus, "is_r", Value(number(pus, "ror") > kTransferThreshold ? "T" : "N"));
}

// Flat-rate contracts pay the health contribution and the tax out of the amount.
constexpr double kHealthRate = 0.09, kFlatTaxRate = 0.12;

void flatRatePayout(engine::WorkArea& pus, std::span<engine::WorkArea* const>) {
  const double amount = number(pus, "kwota");
  put(pus, "wyplata", Value(amount));
  put(pus, "is_k", Value("N"));
  put(pus, "koszty", Value(0));
  if (rt::rTrim(text(pus, "is_p")) != "T") return;
  put(pus, "is_p", Value("T"));
  put(pus, "is_z52", Value("T"));
  const double health = db::ROUND2(amount * kHealthRate);
  const double tax = db::ROUND2(db::ROUND2(amount, 0) * kFlatTaxRate, 0);
  const double payout = db::ROUND2(amount - tax - health);
  put(pus, "zus52", Value(health));
  put(pus, "podatek", Value(tax));
  put(pus, "wyplata", Value(payout));
  put(pus, "fp", Value(0));
  const bool transfer = number(pus, "ror") > kTolerance;
  put(pus, "ror", Value(transfer ? payout : 0.0));
  put(pus, "gotowka", Value(transfer ? 0.0 : payout));
}

// Contribution records only for the partners the firm still lists.
void formerPartners(const FirmContext& f) {
  if (!f.has("skl_52r.dbf")) return;
  // The partner list must be read: taken as empty, it would remove every contribution record.
  std::set<std::string> partners;
  engine::WorkArea& wsp = f.open("wspolnik", "wsp");
  for (wsp.goTop(); !wsp.eof(); wsp.skip(1)) {
    const std::string partner = rt::rTrim(text(wsp, "lpp_o"));
    if (!partner.empty()) partners.insert(partner);
  }
  db::ZAMKNIJ("wsp");

  // The records go in the one rewrite that packs the table: marked first and packed after, a
  // run stopped in between would leave them hidden, and its rerun, finding none, never packed.
  engine::WorkArea& z52 = f.open("skl_52r", "z52");
  std::set<uint32_t> removed;
  for (z52.goTop(); !z52.eof(); z52.skip(1))
    if (!partners.count(rt::rTrim(text(z52, "lpp_o")))) removed.insert(z52.recno());
  if (!removed.empty()) z52.packWithout(removed);
  db::ZAMKNIJ("z52");
}

}  // namespace

// ---- the plans ------------------------------------------------------------------------------
// One work item a line, in the order the step does them.

const FirmPlan I_25_01_001 = {
    1,
    {CopyTemplate{"ks_dok"},
     AddFields{{"ks_kor", "kor"}, always(), {C("MAJATEK", 1), C("TYP_P", 1), N("LP", 10)}},
     AddFields{{"ks_kora", "kora"}, always(), {N("LP", 10)}}, DataRule{taxFormTemplate},
     Reindex{"ks_dok"}, Reindex{"ks_kor"}, Reindex{"ks_kora"}}};

const FirmPlan I_25_01_004 = {
    4,
    {AddFields{{"st_en", "ste"}, fieldCountBelow(62), {C("SN", 1)}, {Value("-")}},
     ConvertRecords{{"st_en", "ste"}, assetOwner},
     AddFields{
         {"st_gn", "stg"}, fieldCountBelow(57), {C("dok_l", 40), C("typ_l", 1), C("NR_OT", 40)}},
     ConvertRecords{{"st_gn", "stg"}, disposalType},
     AddFields{{"st_dok", "stk"}, fieldCountBelow(21), {C("dok_l", 40), C("typ_l", 1)}},
     Reindex{"st_en"}, Reindex{"st_gn"}, Reindex{"st_dok"}}};

const FirmPlan I_25_01_005 = {
    5, {AddFields{{"st_gn", "stg"}, fieldCountBelow(58), {C("NR_OT", 40)}}, Reindex{"st_gn"}}};

// The periods are walked in the order of the freshly built index.
const FirmPlan I_25_01_009 = {9, {Reindex{"p_pa"}, DataRule{payrollPeriods}, Reindex{"p_um"}}};

const FirmPlan I_25_01_010 = {10, {DataRule{workCalendar}, Reindex{"p_cals"}}};

const FirmPlan I_25_01_011 = {
    11,
    {WidenFields{{"wspolnik", "wsp"}, fieldNarrowerThan("adres_nrd", 9), {{"adres_nrd", 10}}},
     Reindex{"wspolnik"}}};

// The release brought nothing to the firm's tables.
const FirmPlan I_25_01_013 = {13, {}};

const FirmPlan I_25_01_017 = {17, {DataRule{payrollFormulas}}};

const FirmPlan I_25_01_019 = {19, {CopyTemplate{"cpn"}}};

const FirmPlan I_25_01_021 = {
    21,
    {AddFields{{"p_us", "pus"},
               fieldCountBelow(22),
               {N("Koszty", 12, 2), N("Podatek", 12, 2), N("wyplata", 12, 2), C("is_k", 1),
                C("is_p", 1), C("is_r", 1), N("zus52", 12, 2), C("is_z52", 1)}},
     ConvertRecords{{"p_us", "pus"}, contractPayout}, Reindex{"p_us"}}};

const FirmPlan I_25_01_023 = {
    23, {WidenFields{{"ks_kor", "kor"}, always(), {{"nr_pierw", 40}}}, Reindex{"ks_kor"}}};

const FirmPlan I_25_01_024 = {
    24,
    {AddFields{{"p_us", "pus"}, fieldCountBelow(24), {N("zus52", 12, 2), C("is_z52", 1)}},
     ConvertRecords{{"p_us", "pus"}, flatRatePayout}, Reindex{"p_us"}}};

const FirmPlan I_25_01_025 = {25, {DataRule{formerPartners}}};

const FirmPlan I_25_01_027 = {27,
                              {CopyTemplate{"sme_ewi"}, CopyTemplate{"sme_cfg"},
                               CopyTemplate{"sme_zw"}, Reindex{"sme_ewi"}, Reindex{"sme_zw"}}};

}  // namespace tav::convert
