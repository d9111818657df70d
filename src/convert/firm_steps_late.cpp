// The firm steps of releases 030 to 046: their plans and the data rules the plans call. The
// frame (firm_step_frame.h) runs them; every rule works through the firm context, so a table it
// cannot open, a copy that did not arrive or a missing firm number stops the step before its
// release is recorded.
#include "convert/firm_steps_late.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "convert/field_values.h"
#include "convert/release_catalogue.h"
#include "db/arithmetic.h"
#include "db/files.h"
#include "db/run_variables.h"
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
using namespace fields;
using engine::WorkArea;
using rt::Value;

// ---- the data rules -------------------------------------------------------------------------

// Refunds: p_alu.dbf is carried over onto its template through alu.dbf, every refund marked as
// paid by transfer.
void refundsByTransfer(const FirmContext& f) {
  const std::string alu = f.dir + "alu.dbf", palu = f.dir + "p_alu.dbf";
  f.copyTemplate("p_alu", "alu");
  WorkArea& a = f.open("alu", "alu");
  if (!a.importFrom(os::toHost(palu)))
    f.fail(rt::kErrRead, "Nie można przenieść danych z pliku "_oem + palu, palu);
  a.eval([&a] { a.put(std::string_view("przelew"), Value("T")); });
  db::ZAMKNIJ("alu");
  f.copy(alu, palu);
}

// Stand-by duty of 2025: per payroll month, the "SWY" absences of the employee in that month.
constexpr const char* kStandByYear = "2025";
constexpr const char* kStandBy = "SWY";

void standByTotal(WorkArea& ff, std::span<WorkArea* const> reads) {
  WorkArea& pn = *reads[0];  // p_n in the order of its lmc tag
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
  if (amount <= kTolerance) return;
  ff.put(std::string_view("swy_dk"), Value(calendarDays));
  ff.put(std::string_view("swy_dr"), Value(days));
  ff.put(std::string_view("swy_gn"), Value(db::G_TO_N(hours)));
  ff.put(std::string_view("swy_wyn"), Value(amount));
}

// Vehicle CO2 emission in g/km: none for electric cars, the hybrid figure for hybrids made from
// 2025, the general figure otherwise.
constexpr double kHybridFuel = 6, kHybridCo2 = 93.6, kGeneralCo2 = 120.0;
constexpr const char* kElectric = "E";
constexpr const char* kHybridFromYear = "2025";

void vehicleEmission(WorkArea& kss, std::span<WorkArea* const>) {
  double co2 = kGeneralCo2;
  if (text(kss, "rodzaj") == kElectric)
    co2 = 0;
  else if (std::abs(number(kss, "cpn_t") - kHybridFuel) < kTolerance &&
           text(kss, "rok_prod") >= kHybridFromYear)
    co2 = kHybridCo2;
  kss.put(std::string_view("co2"), Value(co2));
}

// Notes of a contract (p_up) are copied to the employee the contract belongs to.
constexpr size_t kNoteModuleWidth = 10, kNoteKeyWidth = 20;

void notesToEmployees(const FirmContext& f) {
  const std::string payslip = f.dir + "zest\\p_swp.rtf";
  std::error_code ec;
  if (std::filesystem::exists(os::toHost(payslip), ec)) {
    // The user's own template is set aside, never lost: without its copy it stays where it is.
    f.copy(payslip, payslip + ".bak");
    db::DEL_FILE(payslip);
  }
  const db::RunVariables* run = db::runVariables();
  const Value firmNumber = run ? run->num_fir : Value();
  // Without the firm's number the notes would be filed under another firm's keys.
  if (!firmNumber.isNumber())
    f.fail(rt::kErrNoVar, "Nieznany numer firmy"_oem, f.dir + "uwagi.dbf");
  f.reindex("uwagi");

  WorkArea& uwagi = f.open("uwagi", "uwagi", "lpp");
  WorkArea& up = f.open("p_up", "up");
  const std::string module = rt::padLeft("PRACOWNIK", kNoteModuleWidth);
  const std::string firm = "F" + rt::StrZero(firmNumber.num(), 4, 0);
  for (up.goTop(); !up.eof(); up.skip(1)) {
    const std::string employee = text(up, "lpp_p");
    if (blank(employee)) continue;
    const std::string employeeKey = firm + rt::padLeft(employee, kNoteKeyWidth);
    if (!uwagi.seek(Value(module + firm + rt::padLeft(text(up, "lpp"), kNoteKeyWidth))) ||
        !uwagi.found())
      continue;
    const Value note = uwagi.get(std::string_view("tresc"));
    if (!note.isText() || blank(note.str())) continue;
    if (uwagi.seek(Value(module + employeeKey)) && uwagi.found()) {
      if (blank(text(uwagi, "tresc"))) uwagi.put(std::string_view("tresc"), note);
      continue;
    }
    if (!uwagi.append())
      f.fail(rt::kErrAppendLock, "Nie można dopisać uwagi"_oem, f.dir + "uwagi.dbf");
    uwagi.put(std::string_view("modul"), Value(module));
    uwagi.put(std::string_view("lpp"), Value(employeeKey));
    uwagi.put(std::string_view("tresc"), note);
  }
  db::ZAMKNIJ("uwagi");
  db::ZAMKNIJ("up");
}

// Purchase documents of kind "U" are now kind "Z", with the second amount equal to the first.
void purchasesRetyped(const FirmContext& f) {
  WorkArea& dok = f.open("ks_dok", "dok");
  for (dok.goTop(); !dok.eof(); dok.skip(1)) {
    if (text(dok, "tk") != "U") continue;
    dok.put(std::string_view("tk"), Value("Z"));
    dok.put(std::string_view("kwota2"), dok.get(std::string_view("kwota1")));
  }
  db::ZAMKNIJ("dok");
}

// Foreign invoices get their VAT date, exchange-rate dates and days to the payment term.
void foreignInvoiceDates(WorkArea& fw, std::span<WorkArea* const>) {
  if (!date(fw, "data_vat").empty()) return;
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

// A car trade record (ks_auto) takes its buyer's and seller's data from the purchase and sale
// documents it is linked to: (ks_auto field, ks_dok field).
using FieldCopies = std::vector<std::pair<const char*, const char*>>;
const FieldCopies kFromPurchase = {{"nr_ksefz", "nr_ksef"}, {"fir_z", "firma"},
                                   {"adr_z", "adres"},      {"nip_z", "nip"},
                                   {"ue_z", "ue"},          {"lpp_kliz", "kli"}};
const FieldCopies kFromSale = {{"nr_ksef", "nr_ksef"}, {"ksef_serw", "ksef_serw"},
                               {"fir_s", "firma"},     {"adr_s", "adres"},
                               {"nip_s", "nip"},       {"ue_s", "ue"},
                               {"lpp_klis", "kli"}};

void carTradeParties(WorkArea& mag, std::span<WorkArea* const> reads) {
  WorkArea& dok = *reads[0];  // ks_dok in the order of its lpp tag
  auto take = [&](const char* link, const FieldCopies& copies) {
    const std::string key = text(mag, link);
    // An empty link points at no document, not at one whose number happens to be empty.
    if (blank(key) || !dok.seek(Value(key)) || !dok.found()) return;
    for (const auto& [to, from] : copies)
      mag.put(std::string_view(to), dok.get(std::string_view(from)));
  };
  take("lpp_ksz", kFromPurchase);
  take("lpp_tav", kFromSale);
}

// Payroll parameters of the firm, in p_dat's only record.
constexpr double kPrpl = 0.3;
constexpr size_t kMonths = 12;

void payrollParameters(const FirmContext& f) {
  WorkArea& pdat = f.open("p_dat", "pdat");
  if (!pdat.eof()) {
    pdat.put(std::string_view("prpl"), Value(kPrpl));
    pdat.put(std::string_view("liczyc"), Value(std::string(kMonths, 'N')));
  }
  db::ZAMKNIJ("pdat");
}

db::Structure monthly(char prefix) {
  db::Structure out;
  for (size_t m = 1; m <= kMonths; ++m)
    out.push_back(
        N((std::string(1, prefix) + rt::StrZero(static_cast<double>(m), 2, 0)).c_str(), 10));
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

}  // namespace

// ---- the plans ------------------------------------------------------------------------------
// One work item a line, in the order the step does them.

const FirmPlan I_25_01_030 = {
    30, {AddFields{{"firma", "fir"}, fieldCountBelow(146), {N("metoda_zd", 1)}, {Value(0)}}}};

const FirmPlan I_25_01_031 = {31,
                              {WidenFields{{"p_skld", "psd"},
                                           fieldNarrowerThan("r1", 160),
                                           {{"r1", 165}, {"r2", 165}, {"r3", 165}, {"r4", 165}},
                                           true}}};

const FirmPlan I_25_01_032 = {
    32,
    {AddFields{{"ks_dok", "dok"},
               fieldCountBelow(92),
               {C("Wal", 3), D("Dwal"), N("Kwal", 12, 2), N("Kurs", 12, 8)}},
     Reindex{"ks_dok"}}};

const FirmPlan I_25_01_036 = {
    36, {WidenFields{{"p_fcfg", "robo"}, fieldNarrowerThan("pimp", 180), {{"pimp", 200}}, true}}};

const FirmPlan I_25_01_038 = {
    38,
    {DataRule{refundsByTransfer},
     AddFields{
         {"p_pa", "pa"}, fieldCountBelow(68), {C("REF_OD", 6), C("REF_DO", 6), N("REF_KW", 10, 2)}},
     Reindex{"p_alu"}, Reindex{"p_pa"}}};

// p_n is indexed before p_f changes, since the totals are summed along its lmc tag.
const FirmPlan I_25_01_040 = {
    40,
    {Reindex{"p_n"},
     AddFields{{"p_f", "ff"},
               fieldCountBelow(236),
               {N("SWY_DK", 10), N("SWY_DR", 10), N("SWY_GN", 10, 2), N("SWY_WYN", 10, 2)}},
     ConvertRecords{{"p_f", "ff"}, standByTotal, {{"p_n", "pn", "lmc"}}}, Reindex{"p_f"}}};

const FirmPlan I_25_01_042 = {
    42,
    {AddFields{{"sam_rej", "kss"}, fieldCountBelow(80), {N("CO2", 10, 2)}},
     ConvertRecords{{"sam_rej", "kss"}, vehicleEmission}, Reindex{"sam_rej"}}};

const FirmPlan I_25_01_043 = {
    43,
    {AddFields{{"v_oss", "vos"}, fieldCountBelow(49), {C("NR_KSEF", 36), C("KSEF_SERW", 1)}},
     CopyTemplate{"ksef_p"}, Reindex{"v_oss"}}};

const FirmPlan I_25_01_044 = {
    44,
    {AddFields{
         {"v_data", "vdat"}, fieldCountBelow(82), {D("DATA0_ML"), D("DATA1_ML"), D("REPLY_ML")}},
     AddFields{{"rk_dok", "rkd"},
               fieldCountBelow(27),
               {C("R_TO_R", 1), C("lpp_rach", 10), C("lpp_dokp", 10)},
               {Value("N"), Value(""), Value("")}},
     Reindex{"rk_dok"}, DataRule{notesToEmployees}}};

// Each table's records are converted right after its fields are added (the conversions read
// nothing of the tables changed in between), and ks_dok is indexed, its purchases retyped, before
// ks_auto changes: the car documents find their parties along its lpp tag.
const FirmPlan I_25_01_045 = {
    45,
    {WidenFields{
         {"sam_dok", "sdk"}, fieldNarrowerThan("firma", 80), {{"firma", 80}, {"adres", 80}}},
     WidenFields{
         {"sam_rej", "kss"}, fieldNarrowerThan("firma", 80), {{"firma", 80}, {"adres", 80}}},
     AddFields{
         {"ks_fw", "fw"},
         fieldNarrowerThan("nazwa_kli", 80),
         {N("IL_TER", 5), D("DATA_VAT"), D("D_KURS_TAV"), D("D_KURS_VAT"), N("F_kURS", 10, 4)},
         {},
         {{"nazwa_kli", 80}, {"miasto_kli", 40}}},
     ConvertRecords{{"ks_fw", "fw"}, foreignInvoiceDates},
     AddFields{{"p_uz", "puz"}, fieldCountBelow(25), {N("komornik", 10, 2)}},
     DataRule{purchasesRetyped}, Reindex{"ks_dok"},
     AddFields{{"ks_auto", "mag"},
               fieldCountBelow(32),
               {C("NR_KSEFZ", 36), C("FIR_S", 80), C("ADR_S", 80), C("NIP_S", 20), C("UE_S", 2),
                C("FIR_Z", 80), C("ADR_Z", 80), C("NIP_Z", 20), C("UE_Z", 2), C("LPP_KLIS", 2),
                C("LPP_KLIZ", 2)},
               {},
               {{"nr_fz", 40}, {"nr_fs", 40}}},
     ConvertRecords{{"ks_auto", "mag"}, carTradeParties, {{"ks_dok", "dok", "lpp"}}},
     Reindex{"sam_dok"}, Reindex{"sam_rej"}, Reindex{"ks_auto"}, Reindex{"ks_fw"},
     Reindex{"p_uz"}}};

const FirmPlan I_25_01_046 = {46,
                              {AddFields{{"p_dat", "pdat"}, fieldCountBelow(76), payrollFields()},
                               DataRule{payrollParameters}}};

}  // namespace tav::convert
