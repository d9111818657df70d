#include "convert/firm_steps_late.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "convert/firm_step_frame.h"
#include "convert/release_catalogue.h"
#include "convert/step_registry.h"
#include "db/arithmetic.h"
#include "db/files.h"
#include "db/index_catalogue.h"
#include "db/indexing.h"
#include "db/structure_change.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"

namespace tav::convert {
namespace {

using namespace rt::literals;
using engine::FieldSpec;
using engine::WorkArea;
using rt::Value;

// The firm a step works on.
struct Firm {
  std::string dir;  // the firm directory
  std::string str;  // the database's str\, where the shipped templates are
  int release;      // the step's own release, for the error's name
};

[[noreturn]] void fault(const Firm& f, int code, std::string description, std::string file) {
  rt::Error e;
  e.genCode = code;
  e.subSystem = "TAV";
  e.description = std::move(description);
  e.filename = std::move(file);
  e.operation = stepName(StepKind::Firm, f.release);
  rt::fail(std::move(e));
}

// OTWORZ hands back an alias that is already open whatever table it holds, so the alias is
// closed first. A table that will not open stops the step.
WorkArea& open(const Firm& f, std::string_view table, std::string_view alias, std::string_view tag = {}) {
  db::ZAMKNIJ(alias);
  if (!db::OTWORZ(f.dir, table, alias, tag))
    fault(f, rt::kErrOpen, "Nie można otworzyć pliku "_oem + f.dir + std::string(table) + ".dbf",
          f.dir + std::string(table) + ".dbf");
  return *engine::workspace().find(alias);
}

std::string text(WorkArea& a, std::string_view field) {
  Value v = a.get(field);
  return v.isText() ? v.str() : std::string();
}
double number(WorkArea& a, std::string_view field) {
  Value v = a.get(field);
  return v.isNumber() ? v.num() : 0;
}
rt::Date date(WorkArea& a, std::string_view field) {
  Value v = a.get(field);
  return v.isDate() ? v.date() : rt::Date();
}
bool blank(std::string_view s) { return rt::allTrim(s).empty(); }

// When a structure change is due: while the table has fewer than `fewerFields` fields, or, when
// `field` is named, while that field is narrower than `narrowerThan`.
struct Condition {
  const char* alias;
  size_t fewerFields = 0;
  const char* field = nullptr;
  int narrowerThan = 0;
};

int width(const Firm& f, WorkArea& a, const char* table, const char* field) {
  const int pos = a.fieldPos(field);
  // Fields are widened by position: without the named field the positions cannot be trusted.
  if (pos == 0)
    fault(f, rt::kErrDataWidth, "Brak pola "_oem + field + " w pliku " + table, f.dir + table + ".dbf");
  return a.field(static_cast<size_t>(pos)).length;
}

bool due(const Firm& f, const char* table, const Condition& c) {
  WorkArea& a = open(f, table, c.alias);
  const bool result = c.field ? width(f, a, table, c.field) < c.narrowerThan : a.fieldCount() < c.fewerFields;
  db::ZAMKNIJ(c.alias);
  return result;
}

// The kinds of work a step is made of, done in the order its plan lists them.
struct AddFields {  // DODAJ_POLE, widening on the way when `widen` is given
  const char* table;
  Condition when;
  db::Structure fields;
  std::vector<Value> initial;
  db::Widenings widen;
};
struct WidenFields {  // ZMIEN_DL_POLA
  const char* table;
  Condition when;
  db::Widenings widen;
  bool keepDeleted;
};
struct CopyTemplate {  // the firm's table replaced by the shipped empty one
  const char* file;
};
struct Reindex {  // with the catalogue's tags; a failure is left for the next full reindex
  const char* table;
};
struct DataRule {
  void (*apply)(const Firm&);
};
using Work = std::variant<AddFields, WidenFields, CopyTemplate, Reindex, DataRule>;

void perform(const Firm& f, const AddFields& w) {
  if (!due(f, w.table, w.when)) return;
  // DODAJ_POLE keeps the data when it fails, but the fields are not there: recording the
  // release anyway would leave the firm without them for good.
  if (!db::DODAJ_POLE(w.fields, w.initial, f.dir, std::string(w.table) + ".dbf", w.widen))
    fault(f, rt::kErrWrite, "Nie można zmienić struktury pliku "_oem + w.table, f.dir + w.table + ".dbf");
}

void perform(const Firm& f, const WidenFields& w) {
  if (!due(f, w.table, w.when)) return;
  db::ZMIEN_DL_POLA(f.dir, std::string(w.table) + ".dbf", w.widen, w.keepDeleted);
  // ZMIEN_DL_POLA reports nothing; a table still narrow afterwards was not widened.
  if (due(f, w.table, w.when))
    fault(f, rt::kErrWrite, "Nie można poszerzyć pól pliku "_oem + w.table, f.dir + w.table + ".dbf");
}

void perform(const Firm& f, const CopyTemplate& w) {
  if (!db::FCOPY(f.str + w.file, f.dir + w.file))
    fault(f, rt::kErrCreate, "Nie można skopiować pliku "_oem + f.str + w.file, f.dir + w.file);
}

void perform(const Firm& f, const Reindex& w) {
  const db::TagList* tags = db::tagsFor(w.table);
  if (!tags) fault(f, rt::kErrNoOrder, "Brak listy indeksów pliku "_oem + w.table, f.dir + w.table + ".dbf");
  db::INDEXON(f.dir + w.table, *tags);
}

void perform(const Firm& f, const DataRule& w) { w.apply(f); }

// ---- the data rules -------------------------------------------------------------------------

// Refunds: p_alu.dbf is carried over onto its template through alu.dbf, every refund marked as
// paid by transfer.
void refundsByTransfer(const Firm& f) {
  const std::string alu = f.dir + "alu.dbf", palu = f.dir + "p_alu.dbf";
  if (!db::FCOPY(f.str + "p_alu.dbf", alu))
    fault(f, rt::kErrCreate, "Nie można skopiować pliku "_oem + f.str + "p_alu.dbf", alu);
  WorkArea& a = open(f, "alu", "alu");
  if (!a.importFrom(os::toHost(palu)))
    fault(f, rt::kErrRead, "Nie można przenieść danych z pliku "_oem + palu, palu);
  a.eval([&a] { a.put(std::string_view("przelew"), Value("T")); });
  db::ZAMKNIJ("alu");
  if (!db::FCOPY(alu, palu)) fault(f, rt::kErrCreate, "Nie można skopiować pliku "_oem + alu, palu);
}

// Stand-by duty of 2025: per payroll month, the "SWY" absences of the employee in that month.
constexpr const char* kStandByYear = "2025";
constexpr const char* kStandBy = "SWY";

void standByTotals(const Firm& f) {
  WorkArea& pn = open(f, "p_n", "pn", "lmc");
  WorkArea& ff = open(f, "p_f", "ff");
  for (ff.goTop(); !ff.eof(); ff.skip(1)) {
    const std::string employee = text(ff, "lpp_p");
    const std::string month = kStandByYear + text(ff, "mc");
    double days = 0, calendarDays = 0, hours = 0, amount = 0;
    pn.seek(Value(employee + month));
    for (; !pn.eof() && text(pn, "lpp_p") == employee && text(pn, "rmc") == month; pn.skip(1)) {
      if (text(pn, "tzus") != kStandBy) continue;
      days += number(pn, "dr");
      calendarDays += number(pn, "dk");
      hours = db::G1_PLUS_G2({hours, number(pn, "godz")});
      amount += number(pn, "kwota");
    }
    if (amount <= kTolerance) continue;
    ff.put(std::string_view("swy_dk"), Value(calendarDays));
    ff.put(std::string_view("swy_dr"), Value(days));
    ff.put(std::string_view("swy_gn"), Value(db::G_TO_N(hours)));
    ff.put(std::string_view("swy_wyn"), Value(amount));
  }
  db::ZAMKNIJ("pn");
  db::ZAMKNIJ("ff");
}

// Vehicle CO2 emission in g/km: none for electric cars, the hybrid figure for hybrids made from
// 2025, the general figure otherwise.
constexpr double kHybridFuel = 6, kHybridCo2 = 93.6, kGeneralCo2 = 120.0;
constexpr const char* kElectric = "E";
constexpr const char* kHybridFromYear = "2025";

void vehicleEmission(const Firm& f) {
  WorkArea& kss = open(f, "sam_rej", "kss");
  for (kss.goTop(); !kss.eof(); kss.skip(1)) {
    double co2 = kGeneralCo2;
    if (text(kss, "rodzaj") == kElectric)
      co2 = 0;
    else if (std::abs(number(kss, "cpn_t") - kHybridFuel) < kTolerance && text(kss, "rok_prod") >= kHybridFromYear)
      co2 = kHybridCo2;
    kss.put(std::string_view("co2"), Value(co2));
  }
  db::ZAMKNIJ("kss");
}

// Notes of a contract (p_up) are copied to the employee the contract belongs to.
constexpr size_t kNoteModuleWidth = 10, kNoteKeyWidth = 20;

void notesToEmployees(const Firm& f) {
  const std::string payslip = f.dir + "zest\\p_swp.rtf";
  std::error_code ec;
  if (std::filesystem::exists(os::toHost(payslip), ec)) {
    // The user's own template is set aside, never lost: without its copy it stays where it is.
    if (!db::FCOPY(payslip, payslip + ".bak"))
      fault(f, rt::kErrCreate, "Nie można skopiować pliku "_oem + payslip, payslip + ".bak");
    db::DEL_FILE(payslip);
  }
  const Value& firmNumber = rt::shared().num_fir;
  // Without the firm's number the notes would be filed under another firm's keys.
  if (!firmNumber.isNumber())
    fault(f, rt::kErrNoVar, "Nieznany numer firmy"_oem, f.dir + "uwagi.dbf");
  perform(f, Reindex{"uwagi"});

  WorkArea& uwagi = open(f, "uwagi", "uwagi", "lpp");
  WorkArea& up = open(f, "p_up", "up");
  const std::string module = rt::padLeft("PRACOWNIK", kNoteModuleWidth);
  const std::string firm = "F" + rt::StrZero(firmNumber.num(), 4, 0);
  for (up.goTop(); !up.eof(); up.skip(1)) {
    const std::string employee = text(up, "lpp_p");
    if (blank(employee)) continue;
    const std::string employeeKey = firm + rt::padLeft(employee, kNoteKeyWidth);
    if (!uwagi.seek(Value(module + firm + rt::padLeft(text(up, "lpp"), kNoteKeyWidth))) || !uwagi.found()) continue;
    const Value note = uwagi.get(std::string_view("tresc"));
    if (!note.isText() || blank(note.str())) continue;
    if (uwagi.seek(Value(module + employeeKey)) && uwagi.found()) {
      if (blank(text(uwagi, "tresc"))) uwagi.put(std::string_view("tresc"), note);
      continue;
    }
    if (!uwagi.append()) fault(f, rt::kErrAppendLock, "Nie można dopisać uwagi"_oem, f.dir + "uwagi.dbf");
    uwagi.put(std::string_view("modul"), Value(module));
    uwagi.put(std::string_view("lpp"), Value(employeeKey));
    uwagi.put(std::string_view("tresc"), note);
  }
  db::ZAMKNIJ("uwagi");
  db::ZAMKNIJ("up");
}

// Purchase documents of kind "U" are now kind "Z", with the second amount equal to the first.
void purchasesRetyped(const Firm& f) {
  WorkArea& dok = open(f, "ks_dok", "dok");
  for (dok.goTop(); !dok.eof(); dok.skip(1)) {
    if (text(dok, "tk") != "U") continue;
    dok.put(std::string_view("tk"), Value("Z"));
    dok.put(std::string_view("kwota2"), dok.get(std::string_view("kwota1")));
  }
  db::ZAMKNIJ("dok");
}

// Foreign invoices get their VAT date, exchange-rate dates and days to the payment term.
void foreignInvoiceDates(const Firm& f) {
  WorkArea& fw = open(f, "ks_fw", "fw");
  for (fw.goTop(); !fw.eof(); fw.skip(1)) {
    if (!date(fw, "data_vat").empty()) continue;
    const rt::Date term = date(fw, "termin"), vat = date(fw, "d_vat");
    // An invoice without a term or a VAT date has no days to count (the difference with an
    // empty date is millions of days, which the field cannot hold).
    const int days = term.empty() || vat.empty() ? 0 : std::max(term - vat, 0);
    fw.put(std::string_view("il_ter"), Value(days));
    fw.put(std::string_view("data_vat"), fw.get(std::string_view("d_spr")));
    fw.put(std::string_view("f_kurs"), fw.get(std::string_view("kurs_tav")));
    fw.put(std::string_view("d_kurs_tav"), fw.get(std::string_view("d_kurs")));
    fw.put(std::string_view("d_kurs_vat"), fw.get(std::string_view("d_kurs")));
  }
  db::ZAMKNIJ("fw");
}

// A car trade record (ks_auto) takes its buyer's and seller's data from the purchase and sale
// documents it is linked to: (ks_auto field, ks_dok field).
using FieldCopies = std::vector<std::pair<const char*, const char*>>;
const FieldCopies kFromPurchase = {{"nr_ksefz", "nr_ksef"}, {"fir_z", "firma"}, {"adr_z", "adres"},
                                   {"nip_z", "nip"},        {"ue_z", "ue"},     {"lpp_kliz", "kli"}};
const FieldCopies kFromSale = {{"nr_ksef", "nr_ksef"}, {"ksef_serw", "ksef_serw"}, {"fir_s", "firma"},
                               {"adr_s", "adres"},     {"nip_s", "nip"},           {"ue_s", "ue"},
                               {"lpp_klis", "kli"}};

void carTradeParties(const Firm& f) {
  WorkArea& dok = open(f, "ks_dok", "dok", "lpp");
  WorkArea& mag = open(f, "ks_auto", "mag", "lpp");
  auto take = [&](const char* link, const FieldCopies& copies) {
    const std::string key = text(mag, link);
    // An empty link points at no document, not at one whose number happens to be empty.
    if (blank(key) || !dok.seek(Value(key)) || !dok.found()) return;
    for (const auto& [to, from] : copies) mag.put(std::string_view(to), dok.get(std::string_view(from)));
  };
  for (mag.goTop(); !mag.eof(); mag.skip(1)) {
    take("lpp_ksz", kFromPurchase);
    take("lpp_tav", kFromSale);
  }
  db::ZAMKNIJ("dok");
  db::ZAMKNIJ("mag");
}

// Payroll parameters of the firm, in p_dat's only record.
constexpr double kPrpl = 0.3;
constexpr size_t kMonths = 12;

void payrollParameters(const Firm& f) {
  WorkArea& pdat = open(f, "p_dat", "pdat");
  if (!pdat.eof()) {
    pdat.put(std::string_view("prpl"), Value(kPrpl));
    pdat.put(std::string_view("liczyc"), Value(std::string(kMonths, 'N')));
  }
  db::ZAMKNIJ("pdat");
}

// ---- the steps ------------------------------------------------------------------------------

FieldSpec C(const char* name, int length) { return {name, 'C', length, 0}; }
FieldSpec N(const char* name, int length, int decimals = 0) { return {name, 'N', length, decimals}; }
FieldSpec D(const char* name) { return {name, 'D', 8, 0}; }

db::Structure monthly(char prefix) {
  db::Structure out;
  for (size_t m = 1; m <= kMonths; ++m) out.push_back(N((std::string(1, prefix) + rt::StrZero(static_cast<double>(m), 2, 0)).c_str(), 10));
  return out;
}

db::Structure payrollFields() {
  db::Structure out = {N("PRPL", 10, 2), C("LICZYC", 12)};
  for (char prefix : {'K', 'P'}) {
    db::Structure months = monthly(prefix);
    out.insert(out.end(), months.begin(), months.end());
  }
  return out;
}

struct StepPlan {
  int release;
  std::vector<Work> work;
};

const std::vector<StepPlan>& plans() {
  static const std::vector<StepPlan> kPlans = {
      {30, {AddFields{"firma", {"fir", 146}, {N("metoda_zd", 1)}, {Value(0)}, {}}}},
      {31, {WidenFields{"p_skld", {"psd", 0, "r1", 160}, {{16, 165}, {17, 165}, {18, 165}, {19, 165}}, true}}},
      {32,
       {AddFields{"ks_dok", {"dok", 92}, {C("Wal", 3), D("Dwal"), N("Kwal", 12, 2), N("Kurs", 12, 8)}, {}, {}},
        Reindex{"ks_dok"}}},
      {36, {WidenFields{"p_fcfg", {"robo", 0, "pimp", 180}, {{5, 200}}, true}}},
      {38,
       {DataRule{refundsByTransfer},
        AddFields{"p_pa", {"pa", 68}, {C("REF_OD", 6), C("REF_DO", 6), N("REF_KW", 10, 2)}, {}, {}},
        Reindex{"p_alu"}, Reindex{"p_pa"}}},
      {40,
       {AddFields{"p_f", {"ff", 236}, {N("SWY_DK", 10), N("SWY_DR", 10), N("SWY_GN", 10, 2), N("SWY_WYN", 10, 2)}, {}, {}},
        Reindex{"p_n"}, DataRule{standByTotals}, Reindex{"p_f"}}},
      {42, {AddFields{"sam_rej", {"kss", 80}, {N("CO2", 10, 2)}, {}, {}}, DataRule{vehicleEmission}, Reindex{"sam_rej"}}},
      {43,
       {AddFields{"v_oss", {"vos", 49}, {C("NR_KSEF", 36), C("KSEF_SERW", 1)}, {}, {}}, CopyTemplate{"ksef_p.dbf"},
        Reindex{"v_oss"}}},
      {44,
       {AddFields{"v_data", {"vdat", 82}, {D("DATA0_ML"), D("DATA1_ML"), D("REPLY_ML")}, {}, {}},
        AddFields{"rk_dok", {"rkd", 27}, {C("R_TO_R", 1), C("lpp_rach", 10), C("lpp_dokp", 10)},
                  {Value("N"), Value(""), Value("")}, {}},
        Reindex{"rk_dok"}, DataRule{notesToEmployees}}},
      {45,
       {WidenFields{"sam_dok", {"sdk", 0, "firma", 80}, {{26, 80}, {29, 80}}, false},
        WidenFields{"sam_rej", {"kss", 0, "firma", 80}, {{27, 80}, {28, 80}}, false},
        AddFields{"ks_fw", {"fw", 0, "nazwa_kli", 80},
                  {N("IL_TER", 5), D("DATA_VAT"), D("D_KURS_TAV"), D("D_KURS_VAT"), N("F_kURS", 10, 4)}, {},
                  {{14, 80}, {34, 40}}},
        AddFields{"p_uz", {"puz", 25}, {N("komornik", 10, 2)}, {}, {}},
        DataRule{purchasesRetyped},
        AddFields{"ks_auto", {"mag", 32},
                  {C("NR_KSEFZ", 36), C("FIR_S", 80), C("ADR_S", 80), C("NIP_S", 20), C("UE_S", 2), C("FIR_Z", 80),
                   C("ADR_Z", 80), C("NIP_Z", 20), C("UE_Z", 2), C("LPP_KLIS", 2), C("LPP_KLIZ", 2)},
                  {},
                  {{7, 40}, {8, 40}}},
        DataRule{foreignInvoiceDates},
        Reindex{"sam_dok"}, Reindex{"sam_rej"}, Reindex{"ks_dok"}, Reindex{"ks_auto"}, Reindex{"ks_fw"},
        Reindex{"p_uz"},
        DataRule{carTradeParties}}},
      {46, {AddFields{"p_dat", {"pdat", 76}, payrollFields(), {}, {}}, DataRule{payrollParameters}}},
  };
  return kPlans;
}

bool runStep(int release, std::string_view firmDirectory, std::string_view databaseDirectory,
             std::string_view firmRelease) {
  if (!firmStepDue(firmRelease, release)) return true;
  const Firm firm{std::string(firmDirectory), std::string(databaseDirectory) + "str\\", release};
  const auto plan = std::find_if(plans().begin(), plans().end(), [&](const StepPlan& p) { return p.release == release; });
  for (const Work& w : plan->work) std::visit([&](const auto& item) { perform(firm, item); }, w);
  recordFirmRelease(firmDirectory, release);
  return true;
}

}  // namespace

#define TAV_LATE_FIRM_STEP(name, release)                                                         \
  bool name(std::string_view firmDirectory, std::string_view, std::string_view databaseDirectory, \
            std::string_view firmRelease) {                                                       \
    return runStep(release, firmDirectory, databaseDirectory, firmRelease);                      \
  }

TAV_LATE_FIRM_STEP(I_25_01_030, 30)
TAV_LATE_FIRM_STEP(I_25_01_031, 31)
TAV_LATE_FIRM_STEP(I_25_01_032, 32)
TAV_LATE_FIRM_STEP(I_25_01_036, 36)
TAV_LATE_FIRM_STEP(I_25_01_038, 38)
TAV_LATE_FIRM_STEP(I_25_01_040, 40)
TAV_LATE_FIRM_STEP(I_25_01_042, 42)
TAV_LATE_FIRM_STEP(I_25_01_043, 43)
TAV_LATE_FIRM_STEP(I_25_01_044, 44)
TAV_LATE_FIRM_STEP(I_25_01_045, 45)
TAV_LATE_FIRM_STEP(I_25_01_046, 46)

}  // namespace tav::convert
