// Generates the sample release, database and program trees. Every firm gets records that meet each
// case its conversions distinguish, and the same seed always gives the same files.

#include "generate.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "db/index_catalogue.h"
#include "os/path.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "schema.h"
#include "values.h"
#include "writer.h"

namespace tav::mkrelease {
namespace fs = std::filesystem;
namespace {

using rt::Value;

std::string oem(const char* utf8) { return rt::utf8ToOem(utf8); }
std::string zeros(long n, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*ld", width, n);
  return buf;
}
std::string padLeft(std::string s, size_t width) {
  if (s.size() < width) s.insert(0, width - s.size(), ' ');
  return s;
}
rt::Date date(int y, int m, int d) { return rt::Date::fromYmd(y, m, d); }
// "025.01.001" -> "25.01.001": the program release that goes with a database release.
std::string programForm(const std::string& databaseRelease) { return databaseRelease.substr(1); }
// The number a firm's wersja.dbf keeps beside the release: year and series, 25.01.
double seriesNumber(const std::string& release) {
  return std::stod(release.substr(0, 3)) + std::stod(release.substr(4, 2)) / 100.0;
}

fs::path tablePath(const fs::path& dir, const std::string& name) {
  fs::path p = dir;
  size_t start = 0;
  for (size_t slash; (slash = name.find('\\', start)) != std::string::npos; start = slash + 1) {
    p /= name.substr(start, slash - start);
  }
  return p / (name.substr(start) + ".dbf");
}

// ---- What a firm holds ----------------------------------------------------------------

struct FirmContext {
  int number = 1;
  int year = 2025;
  int records = 2000;
  int employees = 10;
  Rng* rng = nullptr;
  long small() const { return std::clamp(records / 100, 3, 40); }
};

std::string employeeKey(long e) { return keyText(e + 1, 10); }

// Records of the tables the conversions read or change, made so that each rule meets the
// cases it distinguishes. Other firm tables get `small()` records of plausible values.
struct Plan {
  long (*rows)(const FirmContext&);
  void (*fill)(const FirmContext&, size_t, Record&);
};

// Step 004: reasons written as users write them, to be read upper-cased and trimmed.
struct DisposalCase {
  bool dated;
  const char* reason;
};
const DisposalCase kDisposals[] = {
    {true, "  sprzedaz  "},
    {true, "niedobór w magazynie"},
    {true, "kradzież z placu"},
    {true, "darowizna dla szkoły"},
    {true, ""},
    {true, "zużycie techniczne"},
    {false, "sprzedaż"},
    {false, ""},
};

// Step 042: kind, fuel and year of make, covering every branch of the emission rule.
struct VehicleCase {
  const char* kind;
  int fuel;
  const char* made;
};
const VehicleCase kVehicles[] = {{"E", 1, "2023"}, {"S", 6, "2025"}, {"S", 6, "2024"},
                                 {"S", 1, "2020"}, {"E", 6, "2025"}, {"S", 2, "2026"}};

// Step 017: formulas with and without the words it replaces.
const char* const kFormulas[] = {"IIF(MC_STAZ>=12, PODST*0.05, 0)", "ROK_STAZ*PODST/100",
                                 "PODST*0.2", "IIF(ROK_STAZ>5, MC_STAZ, 0)", ""};

const std::map<std::string, Plan>& firmPlans() {
  static const std::map<std::string, Plan> plans = {
      {"firma",
       {[](const FirmContext&) { return 1L; },
        [](const FirmContext& c, size_t, Record& r) {
          Rng& g = *c.rng;
          r.setText("ident", "F" + std::to_string(c.number) + " " + surname(g));
          r.setText("nazwa", companyName(g));
          // Lump-sum payers, one of them written in lower case as users do.
          r.setText("ryczalt", c.number % 3 == 0 ? (c.number % 6 == 0 ? "r" : "R") : "N");
        }}},
      {"inf_fir",
       {[](const FirmContext&) { return 4L; },
        [](const FirmContext&, size_t i, Record& r) {
          r.setText("kod", "INF" + zeros(static_cast<long>(i) + 1, 2));
          r.setText("nazwa", oem("Zasady opodatkowania - skala podatkowa"));
        }}},
      {"ntx",
       {[](const FirmContext&) { return 5L; },
        [](const FirmContext&, size_t i, Record& r) {
          const char* files[] = {"ks_dok", "ks_kor", "p_f", "p_n", "st_gn"};
          r.setText("plik", files[i % 5]);
          r.set("ok", Value(false));
        }}},
      {"st_gn",
       {[](const FirmContext& c) { return 8 + c.small(); },
        [](const FirmContext& c, size_t i, Record& r) {
          const DisposalCase& d = kDisposals[i % 8];
          bool dated = i < 8 ? d.dated : c.rng->chance(20);
          r.set("data_l", Value(dated ? date(c.year, 6, 30) : rt::Date()));
          r.setText("powody_l", i < 8 ? oem(d.reason) : std::string());
        }}},
      {"st_en",
       {[](const FirmContext&) { return 6L; },
        [](const FirmContext& c, size_t i, Record& r) {
          r.setText("lpp_i", i % 3 == 0 ? keyText(static_cast<long>(i) + 1, 10) : "");
          r.setText("nip", i % 3 == 1 ? nip(*c.rng) : "");
        }}},
      {"p_p",
       {[](const FirmContext& c) { return static_cast<long>(c.employees); },
        [](const FirmContext& c, size_t i, Record& r) {
          r.setText("lpp", employeeKey(static_cast<long>(i)));
          r.setText("p7", surname(*c.rng));
          r.setText("p8", firstName(*c.rng));
        }}},
      // Step 009: per employee a record with p6, one before it without (it gets p6), one after
      // it without (left alone); every fourth employee has none, so the seek fails.
      {"p_pa",
       {[](const FirmContext& c) { return 3L * c.employees; },
        [](const FirmContext& c, size_t i, Record& r) {
          long e = static_cast<long>(i / 3), k = static_cast<long>(i % 3);
          r.setText("lpp_p", employeeKey(e % 4 == 3 ? e + c.employees : e));
          r.setText("sort", zeros(k + 1, 4));
          const rt::Date starts[] = {date(c.year, 1, 1), date(c.year, 1, 5), date(c.year, 9, 1)};
          r.set("p5", Value(starts[k]));
          r.set("p6", Value(k == 0 ? date(c.year, 1, 15) : rt::Date()));
        }}},
      {"p_um",
       {[](const FirmContext& c) { return c.small(); },
        [](const FirmContext&, size_t i, Record& r) {
          const char* codes[][2] = {{"99", ""}, {"99", "2"}, {"01", ""}};
          r.setText("ift", codes[i % 3][0]);
          r.setText("ift2", codes[i % 3][1]);
        }}},
      {"p_ift",
       {[](const FirmContext& c) { return c.small(); },
        [](const FirmContext&, size_t i, Record& r) {
          r.setText("typ1", "99");
          r.setText("t1", i % 2 ? "4" : "");
          r.setText("typ2", i % 3 ? "99" : "02");
          r.setText("t2", "");
          r.setText("typ3", "05");
          r.setText("t3", "");
        }}},
      {"p_cals",
       {[](const FirmContext&) { return 12L; },
        [](const FirmContext&, size_t i, Record& r) {
          r.setText("lpp_k", keyText(1, 10));
          r.setNumber("mc", static_cast<double>(i + 1));
          r.setNumber("dr", 21);
          r.setText("dw", "");
        }}},
      // Steps 021 and 024: the amount of the worked example first, transfers and cash mixed.
      {"p_us",
       {[](const FirmContext& c) { return 2L * c.employees; },
        [](const FirmContext& c, size_t i, Record& r) {
          double amount =
              i == 0 ? 1000.40 : static_cast<double>(c.rng->between(20000, 900000)) / 100.0;
          r.setNumber("kwota", amount);
          r.setNumber("ror", i % 2 ? amount : 0);
          r.setNumber("gotowka", i % 2 ? 0 : amount);
          r.setText("is_p", i % 2 == 0 ? "T" : "N");
        }}},
      {"wspolnik",
       {[](const FirmContext&) { return 3L; },
        [](const FirmContext&, size_t i, Record& r) {
          r.setText("lpp_o", keyText(static_cast<long>(i) + 1, 10));
          r.setText("adres_nrd", "12A");
        }}},
      // Step 025: partners 1-3 are listed, 4 and 5 have left, one record names nobody.
      {"skl_52r",
       {[](const FirmContext&) { return 6L; },
        [](const FirmContext&, size_t i, Record& r) {
          r.setText("lpp_o", i < 5 ? keyText(static_cast<long>(i) + 1, 10) : "");
        }}},
      // Step 040: stand-by absences of 2025 (the step looks at that year whatever the sample
      // year), two in one month whose hours add up past a full hour, other absences beside.
      {"p_n",
       {[](const FirmContext& c) { return 4L * c.employees; },
        [](const FirmContext&, size_t i, Record& r) {
          long e = static_cast<long>(i / 4), k = static_cast<long>(i % 4);
          const int months[] = {1, 1, 1, 3};
          const int days[] = {10, 20, 12, 3};
          const double hours[] = {8.30, 4.45, 8.00, 2.15};
          r.setText("lpp_p", employeeKey(e));
          r.set("od", Value(date(2025, months[k], days[k])));
          r.set("do", Value(date(2025, months[k], days[k] + 2)));
          r.setText("rmc", "2025" + zeros(months[k], 2));
          r.setText("tzus", k == 2 ? "CHO" : "SWY");
          r.setNumber("dr", 3);
          r.setNumber("dk", 3);
          r.setNumber("godz", hours[k]);
          r.setNumber("kwota", 100.0 + static_cast<double>(k) * 50.25);
        }}},
      {"p_f",
       {[](const FirmContext& c) { return 12L * c.employees; },
        [](const FirmContext&, size_t i, Record& r) {
          r.setText("lpp_p", employeeKey(static_cast<long>(i / 12)));
          r.setText("mc", zeros(static_cast<long>(i % 12) + 1, 2));
          r.setText("rok", "2025");
        }}},
      {"sam_rej",
       {[](const FirmContext&) { return 6L; },
        [](const FirmContext&, size_t i, Record& r) {
          r.setText("rodzaj", kVehicles[i].kind);
          r.setNumber("cpn_t", kVehicles[i].fuel);
          r.setText("rok_prod", kVehicles[i].made);
        }}},
      {"sam_dok",
       {[](const FirmContext& c) { return c.small(); },
        [](const FirmContext& c, size_t, Record& r) {
          r.setText("lpp_kss", keyText(c.rng->between(1, 6), 10));
        }}},
      // Step 044: contracts with and without an employee.
      {"p_up",
       {[](const FirmContext& c) { return 2L * c.employees; },
        [](const FirmContext& c, size_t i, Record& r) {
          r.setText("lpp", keyText(static_cast<long>(i) + 1, 10));
          r.setText("lpp_p", i % 5 == 4 ? "" : employeeKey(static_cast<long>(i) % c.employees));
        }}},
      // Notes under the contract's key (to be moved to the employee's), and for every third
      // contract an empty note already under the employee's key.
      {"uwagi",
       {[](const FirmContext& c) { return 2L * c.employees; },
        [](const FirmContext& c, size_t i, Record& r) {
          std::string firm = "F" + zeros(c.number, 4);
          r.setText("modul", padLeft("PRACOWNIK", 10));
          if (i % 3 == 1) {
            r.setText("lpp", firm + padLeft(employeeKey(static_cast<long>(i) % c.employees), 20));
            r.set("tresc", Value::memo(""));
          } else {
            r.setText("lpp", firm + padLeft(keyText(static_cast<long>(i) + 1, 10), 20));
            r.set("tresc", Value::memo(oem(i % 3 == 2 ? "" : "Badania okresowe do końca roku")));
          }
        }}},
      {"ks_dok",
       {[](const FirmContext& c) { return static_cast<long>(c.records); },
        [](const FirmContext& c, size_t i, Record& r) {
          Rng& g = *c.rng;
          int m = static_cast<int>(i % 12) + 1;
          r.setText("lpp", keyText(static_cast<long>(i) + 1, 10));
          r.setText("tm", zeros(m, 2));
          r.set("datak", Value(date(c.year, m, static_cast<int>(g.between(1, 28)))));
          r.setText("tk", i % 10 == 0 ? "U" : (i % 2 ? "Z" : "S"));
          r.setText("kli", "K" + std::to_string(i % 3));
          r.setText("nr_ksef", i % 4 ? ""
                                     : nip(g) + "-" + zeros(c.year, 4) + "0101-" +
                                           zeros(static_cast<long>(i), 6));
        }}},
      {"ks_auto",
       {[](const FirmContext& c) { return std::clamp(c.records / 50L, 5L, 200L); },
        [](const FirmContext& c, size_t, Record& r) {
          // Some links point past the documents, as after a document was removed.
          r.setText("lpp_ksz", keyText(c.rng->between(1, c.records + 5), 10));
          r.setText("lpp_tav", keyText(c.rng->between(1, c.records + 5), 10));
        }}},
      {"ks_fw",
       {[](const FirmContext& c) { return std::max(5L, c.records / 4L); },
        [](const FirmContext& c, size_t, Record& r) {
          rt::Date sale = dateIn(c.year, *c.rng);
          r.set("d_spr", Value(sale));
          r.set("d_vat", Value(sale));
          r.set("termin", Value(sale + static_cast<int>(c.rng->between(-3, 30))));
        }}},
      {"rk_dok", {[](const FirmContext& c) { return std::max(5L, c.records / 4L); }, nullptr}},
      {"klient\\klient",
       {[](const FirmContext& c) { return std::max(5L, c.records / 10L); }, nullptr}},
      {"v_oss", {[](const FirmContext& c) { return std::max(3L, c.records / 20L); }, nullptr}},
      {"p_skld",
       {[](const FirmContext&) { return 10L; },
        [](const FirmContext& c, size_t, Record& r) {
          for (const char* f : {"r1", "r2", "r3", "r4", "w1", "w2", "w3", "w4"})
            r.setText(f, c.rng->pick(kFormulas));
        }}},
      {"p_sklm",
       {[](const FirmContext& c) { return c.small(); },
        [](const FirmContext& c, size_t, Record& r) {
          for (const char* f : {"r1", "r2", "r3", "r4", "w1", "w2", "w3", "w4"})
            r.setText(f, c.rng->pick(kFormulas));
        }}},
      {"p_fcfg",
       {[](const FirmContext&) { return 3L; },
        [](const FirmContext&, size_t i, Record& r) {
          r.setText("pimp", "C:\\TAV\\IMPORT\\PLACE\\" + std::to_string(i + 1) + "\\");
        }}},
      {"p_dat", {[](const FirmContext&) { return 1L; }, nullptr}},
      {"v_data", {[](const FirmContext&) { return 1L; }, nullptr}},
  };
  return plans;
}

// Planned tables that are bulk data rather than rule cases.
const std::set<std::string> kDeletingPlans = {"ks_dok",         "ks_fw", "rk_dok",
                                              "klient\\klient", "v_oss", "ks_auto"};

// ---- Reference tables of str\ ---------------------------------------------------------

const char* const kEuCountries[] = {"AT", "BE", "BG", "CY", "CZ", "DE", "DK", "EE", "EL",
                                    "ES", "FI", "FR", "HR", "HU", "IE", "IT", "LT", "LU",
                                    "LV", "MT", "NL", "PL", "PT", "RO", "SE", "SI", "SK"};

struct StrPlan {
  long rows;
  void (*fill)(int year, size_t, Record&);
};

const std::map<std::string, StrPlan>& strPlans() {
  static const std::map<std::string, StrPlan> plans = {
      {"ue", {27, [](int, size_t i, Record& r) { r.setText("kod", kEuCountries[i]); }}},
      // Releases and their duration classes; the highest class lies late in the year.
      {"speed",
       {6,
        [](int, size_t i, Record& r) {
          const char* releases[] = {"25.01.001", "25.01.013", "25.01.023",
                                    "25.01.030", "25.01.040", "25.01.045"};
          const int classes[] = {3, 1, 2, 1, 2, 4};
          r.setText("wersja", releases[i]);
          r.setNumber("speed", classes[i]);
        }}},
      {"nazwy",
       {1,
        [](int, size_t, Record& r) {
          r.setText("nazwa", "STANOWISKO1");
          for (const char* f : {"s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8", "s9"})
            r.setNumber(f, 0);
        }}},
      {"semafor", {0, nullptr}},
      // Template register: the names the program steps clean up, written as users left them.
      {"wzorce",
       {5,
        [](int, size_t i, Record& r) {
          const char* files[] = {"faktura.txt", " FAKTURA.TXT ", "faktura_zw.txt", "p_pus1.txt",
                                 "umowa.txt"};
          r.setText("plik", files[i]);
        }}},
      {"p_kals",
       {12, [](int, size_t i, Record& r) { r.setNumber("mc", static_cast<double>(i + 1)); }}},
      {"p_kalw",
       {12, [](int, size_t i, Record& r) { r.setNumber("mc", static_cast<double>(i + 1)); }}},
      {"p_fmc",
       {12, [](int, size_t i, Record& r) { r.setText("mc", zeros(static_cast<long>(i) + 1, 2)); }}},
      {"min_zus",
       {12,
        [](int year, size_t i, Record& r) {
          r.setText("rok", std::to_string(year));
          r.setText("mc", zeros(static_cast<long>(i) + 1, 2));
        }}},
      {"p_wolne",
       {4,
        [](int year, size_t i, Record& r) {
          const int md[][2] = {{1, 1}, {5, 3}, {11, 11}, {12, 25}};
          r.set("od_daty", Value(date(year, md[i][0], md[i][1])));
        }}},
      {"rnf_fir",
       {4,
        [](int, size_t i, Record& r) {
          r.setText("kod", "RNF" + zeros(static_cast<long>(i) + 1, 2));
          r.setText("nazwa", oem("Zasady opodatkowania - ryczałt ewidencjonowany"));
        }}},
  };
  return plans;
}

// ---- Files that are not tables ----------------------------------------------------------

const char* const kPrintouts[] = {
    "p_lst4b.txt",  "pf_w21_1.txt", "cpn_1.txt",      "de_mini4.txt", "de_mini5.txt",
    "de_mini6.txt", "faktura.txt",  "faktura_zw.txt", "p_pus1.txt",   "p_pus2.txt",
    "vz_vat.txt",   "p_lo.txt",     "sme_sum1.txt",   "sme_sum2.txt", "sme_sum3.txt",
    "p_uz_k3.txt",  "rnw_f3f.txt",  "jpk_s1f.txt",    "p_22.txt",     "il_prac.txt",
    "mrt_tav.txt",  "crm_p11b.txt", "fakt_w.txt",     "ks_auto.txt",  "pl_uzl1.txt",
    "pl_uzl2.txt",  "z3a_inf.txt",  "z3a_inf1.txt",   "inf_f2.txt",   "p_wyp3.txt",
    "ew_kas.txt",   "crm_12a.txt",  "drk_z52.txt",    "inw_f3b.txt",  "mp_zus1.txt",
    "p_11sum1.txt", "rnw_f3b.txt",  "v_pr01.txt",     "v_pr3.txt",    "wroz_7.txt",
    "p_wyp7b.txt",
};
// Printouts and screens an older program still has and the refresh removes.
const char* const kOldPrintouts[] = {"pit_dsf.txt", "pit_op.txt",  "pit_opp.txt", "pit_pito.txt",
                                     "pit_str.txt", "pit_u.txt",   "pit_zap.txt", "pit_zes.txt",
                                     "rap_26l.txt", "rap_28l.txt", "rap_36l.txt", "rap_37l.txt"};
const char* const kOldScreens[] = {"01_01_01.scn", "01_01_10.scn", "02_03_02.scn", "08_01_05.scn",
                                   "19_02_01.scn", "dpitu.scn",    "kinder.scn",   "ptree3.scn"};
const char* const kOldRavimon[] = {"dsf_2.txt", "p28_26.txt", "pcsr_1.txt", "pzg_8.txt"};
const char* const kOldXml[] = {"csr_01.xml", "dsf1_2.xml",  "p28_26.xml",   "p28s_26.xml",
                               "p36_31.xml", "p36l_20.xml", "p36ls_20.xml", "p36s_31.xml",
                               "p37_30.xml", "p38_16.xml",  "p39_12.xml",   "prb_02.xml"};
const char* const kReleaseXml[] = {"jpk_v7m_3.xml", "pit11_29.xml", "pit4r_12.xml",
                                   "zus_dra_5.xml"};
const char* const kProgramFiles[] = {"tav.exe",      "un_tav.exe",   "7z.exe",       "openssl.exe",
                                     "msxsl.exe",    "setup2.exe",   "ot4xb.dll",    "xbzlib.dll",
                                     "xb2net.dll",   "xbpcre.dll",   "zlib1.dll",    "pcre.dll",
                                     "ssleay32.dll", "libeay32.dll", "lfromurl.dll", "fce32.dll",
                                     "fce64.dll",    "tav_pdf.dll",  "tav_ksef.dll"};

std::string placeholder(const std::string& name, const std::string& release) {
  return "TAV " + release + ": " + name + "\r\n";
}

// ---- Tables by place --------------------------------------------------------------------

const db::TagList* strTags(const std::string& name) {
  for (const auto& i : db::strIndexes())
    if (i.table == name) return &i.tags;
  return nullptr;
}
const db::TagList* publicTags(const std::string& name) {
  for (const auto& i : db::publicIndexes())
    if (i.table == name) return &i.tags;
  return nullptr;
}

// The str\ directory as a release of `release` has it: every firm table's empty template and
// the reference tables with their records.
void writeStr(TableWriter& w, const fs::path& str, std::string_view release, int year) {
  for (const Table& t : Schema::builtIn().tables()) {
    if (t.obsolete || !t.existsAt(release) || !(t.at(Place::Str) || t.at(Place::Firm))) continue;
    std::string base = t.baseName();
    if (t.at(Place::Firm) && !t.at(Place::Str)) {
      // inf_fir's template has records of its own: the 001 step copies it whole into the firm,
      // as it copies rnf_fir for lump-sum payers.
      long rows = base == "inf_fir" ? 4 : 0;
      Fill fill;
      if (rows)
        fill = [](size_t i, Record& r) {
          r.setText("kod", "INF" + zeros(static_cast<long>(i) + 1, 2));
        };
      w.write(str / (base + ".dbf"), t, release, static_cast<size_t>(rows), fill);
      continue;
    }
    auto plan = strPlans().find(base);
    long rows = plan != strPlans().end() ? plan->second.rows : 10;
    Fill fill;
    if (plan != strPlans().end() && plan->second.fill) {
      auto f = plan->second.fill;
      fill = [f, year](size_t i, Record& r) { f(year, i, r); };
    }
    w.write(str / (base + ".dbf"), t, release, static_cast<size_t>(rows), fill, strTags(base));
  }
}

struct PublicData {
  int firms = 1;
  int year = 2025;
  bool withRecords = false;
};

// Records of the shared tables in a database: the payment registers hold duplicates, payments
// to forms of both kinds, a payment to neither, and firm numbers for the totals to correct.
struct PublicPlan {
  long (*rows)(int firms);
  void (*fill)(int firms, int year, size_t, Record&);
};

const std::map<std::string, PublicPlan>& publicPlans() {
  static const std::map<std::string, PublicPlan> plans = {
      {"firmy",
       {[](int firms) { return static_cast<long>(firms); },
        [](int, int, size_t i, Record& r) {
          r.setNumber("nr", static_cast<double>(i) + 1);
          r.setNumber("vnr", 0);
        }}},
      {"wpit",
       {[](int firms) { return 5L * firms; },
        [](int, int year, size_t i, Record& r) {
          // Record 2 repeats record 1's form, partner and month: the totals drop it.
          size_t same = i == 1 ? 0 : i;
          r.setText("lpp", keyText(static_cast<long>(i) + 1, 10));
          r.setText("pit", "PIT36");
          r.setText("lpp_o", keyText(static_cast<long>(same % 7) + 1, 10));
          r.setText("rmc", std::to_string(year) + zeros(static_cast<long>(same % 12) + 1, 2));
          r.setNumber("kw_zap", 0);
          r.setNumber("kw_ods", 0);
        }}},
      {"fpit",
       {[](int firms) { return 3L * firms; },
        [](int firms, int year, size_t i, Record& r) {
          size_t same = i == 1 ? 0 : i;
          r.setText("lpp", keyText(static_cast<long>(i) + 1, 10));
          r.setText("pit", "PIT4R");
          r.setText("nrfir", keyText(static_cast<long>(same % static_cast<size_t>(firms)) + 1, 4));
          r.setText("rmc", std::to_string(year) + zeros(static_cast<long>(same % 12) + 1, 2));
        }}},
      {"pit_zap",
       {[](int firms) { return 8L * firms + 1; },
        [](int firms, int, size_t i, Record& r) {
          long n = static_cast<long>(i);
          bool toPartner = i % 2 == 0, last = i == 8u * static_cast<size_t>(firms);
          r.setText("lpp", keyText(n + 1, 10));
          r.setText("lpp_w", !last && toPartner ? keyText(n / 2 % (5L * firms) + 1, 10) : "");
          r.setText("lpp_f", !last && !toPartner ? keyText(n / 2 % (3L * firms) + 1, 10) : "");
          r.setText("lpp_o", "");
          r.setText("nrfir", keyText(n % 3 == 0 ? 99 : n % firms + 1, 4));
          r.setNumber("kwota_gl", 100.0 + static_cast<double>(n));
          r.setNumber("odsetki", static_cast<double>(n % 4));
        }}},
      // The partners the forms of wpit name, each with the firm that reports them.
      {"wf",
       {[](int) { return 7L; },
        [](int firms, int, size_t i, Record& r) {
          r.setText("lpp", keyText(static_cast<long>(i) + 1, 10));
          r.setText("lpp_o", keyText(static_cast<long>(i) + 1, 10));
          r.setText("nrfir", keyText(static_cast<long>(i) % firms + 1, 4));
        }}},
      {"fak",
       {[](int) { return 5L; },
        [](int firms, int, size_t i, Record& r) {
          r.setNumber("nrfir0", static_cast<double>(static_cast<long>(i) % firms + 1));
        }}},
      {"pub_dat", {[](int) { return 1L; }, nullptr}},
  };
  return plans;
}

void writePublic(TableWriter& w, const fs::path& pub, std::string_view release,
                 const PublicData& d) {
  int firms = std::max(1, d.firms), year = d.year;
  for (const Table& t : Schema::builtIn().tables()) {
    if (!t.at(Place::Public) || !t.existsAt(release)) continue;
    std::string base = t.baseName();
    auto plan = publicPlans().find(base);
    bool planned = plan != publicPlans().end();
    // A release ships the shared tables empty, but for the single record of the update stamp.
    long rows = !d.withRecords ? (base == "pub_dat" ? 1 : 0)
                : planned      ? plan->second.rows(firms)
                               : 5;
    Fill fill;
    if (d.withRecords && planned && plan->second.fill) {
      auto f = plan->second.fill;
      fill = [f, firms, year](size_t i, Record& r) { f(firms, year, i, r); };
    }
    w.write(pub / (base + ".dbf"), t, release, static_cast<size_t>(rows), fill, publicTags(base));
  }
}

void writeVersion(TableWriter& w, const fs::path& file, Place place, const char* name,
                  const std::string& baza, const std::string& program, int year, const char* ok) {
  const Table* t = Schema::builtIn().find(place, name);
  w.write(file, *t, kShipped, 1, [&](size_t, Record& r) {
    if (!baza.empty()) r.setText("baza", baza);
    r.setText("tav", program);
    r.setText("rok", std::to_string(year));
    if (ok) r.setText("ok", ok);
  });
}

void checkRelease(const std::string& r, bool database) {
  bool ok = r.size() == (database ? 10u : 9u);
  for (size_t i = 0; ok && i < r.size(); ++i) {
    size_t dot1 = database ? 3 : 2, dot2 = dot1 + 3;
    ok = (i == dot1 || i == dot2) ? r[i] == '.'
                                  : std::isdigit(static_cast<unsigned char>(r[i])) != 0;
  }
  if (!ok)
    throw std::invalid_argument("not a " + std::string(database ? "database" : "program") +
                                " release: " + r);
}

// ---- One firm ----------------------------------------------------------------------------

void writeFirm(TableWriter& w, const fs::path& dir, const FirmRole& role,
               const std::string& structures, const FirmContext& ctx) {
  for (const Table& t : Schema::builtIn().tables()) {
    if (!t.at(Place::Firm) || !t.existsAt(structures)) continue;
    if (t.obsolete && !role.obsoleteFiles) continue;
    if (t.optional && role.withoutOptional) continue;
    std::string base = t.baseName();
    if (base == "firma" && role.withoutFirma) continue;
    if (base == "wersja") {
      w.write(dir / "wersja.dbf", t, structures, 1, [&](size_t, Record& r) {
        r.setText("baza", role.release);
        r.setNumber("nr", seriesNumber(role.release));
        r.setText("wariant", role.release.substr(7));
      });
      continue;
    }
    auto plan = firmPlans().find(rt::lower(t.name));
    long rows = plan != firmPlans().end() ? plan->second.rows(ctx) : (t.obsolete ? 2 : ctx.small());
    Fill fill;
    auto f = plan != firmPlans().end() ? plan->second.fill : nullptr;
    // Records users deleted and the program has not packed away yet: one in fifty, except in
    // the tables whose every record stands for a case of a conversion rule.
    bool withDeleted = !f || kDeletingPlans.count(rt::lower(t.name));
    fill = [f, withDeleted, &ctx](size_t i, Record& r) {
      if (f) f(ctx, i, r);
      if (withDeleted && i % 50 == 49) r.remove();
    };
    w.write(tablePath(dir, t.name), t, structures, static_cast<size_t>(rows), fill,
            t.obsolete ? nullptr : db::tagsFor(t.name));
  }
  if (role.obsoleteFiles) writeFile(dir / "dsto.lpp", "1\r\n");
  if (!role.withoutOptional)
    writeFile(dir / "zest" / "p_swp.rtf", "{\\rtf1\\ansi Wyciąg z listy płac}\r\n");
  writeFile(dir / "ins_raport.txt", "Raport z poprzedniej instalacji\r\n");
  writeFile(dir / "bak" / "ks_dok.bak", "kopia\r\n");
  writeFile(dir / "bak" / "k" / "ks_kor.bak", "kopia\r\n");
  if (role.keepsBackup) writeFile(dir / "bak" / "w51.txt", "\r\n");
}

// The newest release the firm steps know.
const std::string kNewestFirmRelease = "025.01.046";

}  // namespace

FirmRole firmRole(int n, const std::string& databaseRelease) {
  FirmRole r;
  r.release = databaseRelease;
  switch (n) {
    case 2:
      r.release = "013.05.001";
      r.obsoleteFiles = true;
      break;
    case 3:
      r.release = "022.01.010";
      break;
    case 4:
      r.release = "025.01.022";
      break;
    case 5:
      r.withoutFirma = true;
      break;
    case 6:
      r.withoutOptional = true;
      break;
    case 7:
      r.keepsBackup = true;
      break;
    // An upgrade stopped after its firm loop: the firm is done, the database record is not.
    case 8:
      r.release = kNewestFirmRelease;
      break;
    default:
      break;
  }
  return r;
}

void writeRelease(const ReleaseOptions& o) {
  checkRelease(o.program, false);
  checkRelease(o.database, true);
  Rng rng(o.seed);
  TableWriter w(o.year, rng);
  const fs::path& d = o.dir;
  writeVersion(w, d / "wk.dbf", Place::Release, "wk", "", o.program, o.year, nullptr);
  writeVersion(w, d / "wb.dbf", Place::Release, "wb", o.database, o.program, o.year, "T");
  writeStr(w, d / "str", kShipped, o.year);
  for (const char* f : {"afaktury.cfg", "baselinker.cfg"})
    writeFile(d / "str" / f, std::string("[") + f + "]\r\nwersja=" + o.program + "\r\n");
  writeFile(d / "str" / "fix_cfg.xml",
            "<?xml version=\"1.0\"?><fix wersja=\"" + o.program + "\"/>\r\n");
  writeFile(d / "str" / "rcx.acc", placeholder("rcx.acc", o.program));
  writeFile(d / "str" / "refundacja_up.xlsx", placeholder("refundacja_up.xlsx", o.program));
  writeFile(d / "str" / "refundacja_up.rtf", "{\\rtf1\\ansi Refundacja}\r\n");
  writeFile(d / "str" / "p_swp.rtf", "{\\rtf1\\ansi Wyciąg z listy płac " + o.program + "}\r\n");
  for (const char* x : kReleaseXml) writeFile(d / "xml" / x, "<?xml version=\"1.0\"?><wzor/>\r\n");
  writePublic(w, d / "public", kShipped, {1, o.year, false});
  for (const char* t : kPrintouts) writeFile(d / "txt" / t, placeholder(t, o.program));
  for (const char* f : kProgramFiles) writeFile(d / f, placeholder(f, o.program));
  for (const char* f : {"tavsans.ttf", "tavmono.ttf", "zmiany.chm"})
    writeFile(d / "czytaj.to" / f, placeholder(f, o.program));
  for (const char* f : {"pit11_29.txt", "pit4r_12.txt"})
    writeFile(d / "ravimon" / f, placeholder(f, o.program));
  for (const char* f : {"20_01_01.scn", "20_02_01.scn", "21_01_01.scn"})
    writeFile(d / "mask" / f, placeholder(f, o.program));
  writeFile(d / "w001" / "dek_w001.xml", "<?xml version=\"1.0\"?><deklaracja/>\r\n");
}

void writeDatabase(const DatabaseOptions& o) {
  checkRelease(o.release, true);
  if (o.firms < 1 || o.records < 1)
    throw std::invalid_argument("--firms and --records must be at least 1");
  Rng rng(o.seed);
  TableWriter w(o.year, rng);
  const fs::path& d = o.dir;
  writeVersion(w, d / "wersja.dbf", Place::Database, "wersja", o.release, programForm(o.release),
               o.year, "T");
  const Table& install = *Schema::builtIn().find(Place::Database, "install");
  // One firm more than asked for, its record deleted: the run must skip it.
  w.write(d / "install.dbf", install, kShipped, static_cast<size_t>(o.firms) + 1,
          [&](size_t i, Record& r) {
            r.setNumber("nr", static_cast<double>(i) + 1);
            r.setNumber("vnr", 100.0 + static_cast<double>(i));
            if (i == static_cast<size_t>(o.firms)) r.remove();
          });
  w.write(d / "semafor.dbf", *Schema::builtIn().find(Place::Database, "semafor"), kShipped, 0);
  writeStr(w, d / "str", o.release, o.year);
  // A customised configuration the upgrade must keep; the other one is missing on purpose.
  writeFile(d / "str" / "afaktury.cfg", "[afaktury.cfg]\r\nkonto=moje\r\n");
  for (const char* x : kOldXml)
    writeFile(d / "str" / "xml" / x, "<?xml version=\"1.0\"?><wzor/>\r\n");
  fs::create_directories(d / "str" / "zest");
  writeFile(d / "txt" / "faktura.txt", "Faktura po zmianach użytkownika\r\n");
  writePublic(w, d / "public", o.release, {o.firms, o.year, true});
  fs::create_directories(d / "pit");
  fs::create_directories(d / "install");
  for (int n = 1; n <= o.firms; ++n) {
    FirmRole role = firmRole(n, o.release);
    // Firms below 023.01.001 are raised to the database's release before any step runs, so
    // their tables already have that release's structures.
    std::string structures = role.release < "023.01.001" ? o.release : role.release;
    Rng firmRng(o.seed * 1000003u + static_cast<uint64_t>(n));
    FirmContext ctx;
    ctx.number = n;
    ctx.year = o.year;
    ctx.records = o.records;
    ctx.employees = std::clamp(o.records / 100, 3, 200);
    ctx.rng = &firmRng;
    TableWriter fw(o.year, firmRng);
    writeFirm(fw, d / ("firma" + std::to_string(n)), role, structures, ctx);
  }
}

void writeProgram(const ProgramOptions& o) {
  checkRelease(o.release, false);
  Rng rng(1);
  TableWriter w(o.year, rng);
  const fs::path& d = o.dir;
  // The installed program records its database as a Windows path, as the installer's checks
  // expect (a drive letter or a network name); a host directory is named through the drive map.
  std::string given = rt::utf8ToOem(os::utf8(o.database));
  bool windowsForm = (given.size() > 1 && given[1] == ':') || given.rfind("\\\\", 0) == 0;
  std::string db = windowsForm ? given : os::fromHost(fs::absolute(o.database).lexically_normal());
  if (db.empty() || db.back() != '\\') db += '\\';
  const Table& baza = *Schema::builtIn().find(Place::Program, "baza");
  if (db.size() > static_cast<size_t>(baza.fields[0].length))
    throw std::invalid_argument("database path longer than 60: " + db);
  w.write(d / "baza.dbf", baza, kShipped, 1, [&](size_t, Record& r) { r.setText("path", db); });
  writeVersion(w, d / "wersja.dbf", Place::Program, "wersja", "", o.release, o.year, nullptr);
  w.write(d / "setings" / "station.dbf",
          *Schema::builtIn().find(Place::Program, "setings\\station"), kShipped, 1,
          [](size_t, Record& r) {
            r.setText("path_word", "C:\\Program Files\\Microsoft Office\\WINWORD.EXE");
          });
  for (const char* f : {"tav.exe", "un_tav.exe", "ot4xb.dll", "xbzlib.dll", "socmapi.dll",
                        "vpes3261.dll", "tav_old.dll"}) {
    writeFile(d / f, placeholder(f, o.release));
  }
  for (const char* t : kPrintouts) writeFile(d / "txt" / t, placeholder(t, o.release));
  writeFile(d / "txt" / "faktura.txt", "Faktura zmieniona przez użytkownika\r\n");
  for (const char* t : kOldPrintouts) writeFile(d / "txt" / t, placeholder(t, o.release));
  for (const char* s : kOldScreens) writeFile(d / "mask" / s, placeholder(s, o.release));
  for (const char* s : kOldRavimon) writeFile(d / "ravimon" / s, placeholder(s, o.release));
  writeFile(d / "czytaj.to" / "tavsans.ttf", placeholder("tavsans.ttf", o.release));
  writeFile(d / "czytaj.to" / "zmiany.chm", placeholder("zmiany.chm", o.release));
  for (const char* f : {"mail_test.txt", "mail_send.log0"}) writeFile(d / "temp" / f, "\r\n");
}

}  // namespace tav::mkrelease
