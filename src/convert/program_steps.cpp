// The program steps of each release, one table row per release. A register record another
// workstation holds is left in place rather than waited for.

#include "convert/program_steps.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "db/files.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/files.h"
#include "os/system_info.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"

namespace tav::convert {
namespace {

// The shipped release's printout templates, relative to the tool's working directory.
constexpr const char* kShippedTemplates = ".\\txt\\";

// Windows 11 starts at this build. The word-processor path kept from an older system is cleared
// there, so that the program looks for the word processor again.
constexpr unsigned long kWordPathResetBuild = 22000;

// Screens of mask\ that release 001 withdrew, by group: "08_01_" 2..9 is 08_01_02 to 08_01_09.
struct ScreenRun {
  const char* group;
  int first, last;
};
constexpr ScreenRun kObsoleteScreenRuns[] = {
    {"01_01_", 1, 10}, {"02_01_", 1, 2}, {"02_02_", 1, 2}, {"02_03_", 1, 2}, {"02_04_", 1, 1},
    {"03_03_", 1, 2},  {"03_03_", 4, 4}, {"03_04_", 1, 1}, {"03_05_", 1, 2}, {"04_01_", 1, 1},
    {"04_02_", 1, 1},  {"04_03_", 1, 1}, {"04_04_", 1, 1}, {"05_01_", 1, 5}, {"06_01_", 2, 2},
    {"07_01_", 1, 2},  {"08_01_", 2, 9}, {"08_02_", 1, 1}, {"08_03_", 1, 2}, {"09_01_", 1, 1},
    {"09_02_", 1, 1},  {"09_03_", 1, 1}, {"09_04_", 1, 2}, {"09_05_", 1, 1}, {"09_07_", 1, 1},
    {"09_08_", 1, 1},  {"09_09_", 1, 2}, {"10_01_", 2, 4}, {"10_02_", 1, 1}, {"10_03_", 1, 3},
    {"11_01_", 1, 5},  {"11_02_", 1, 1}, {"11_03_", 1, 1}, {"12_01_", 1, 1}, {"12_02_", 1, 3},
    {"12_04_", 1, 1},  {"12_05_", 1, 1}, {"12_06_", 1, 1}, {"12_08_", 1, 1}, {"12_09_", 1, 1},
    {"12_10_", 1, 1},  {"12_11_", 1, 1}, {"12_12_", 1, 1}, {"12_13_", 1, 1}, {"13_01_", 1, 1},
    {"13_02_", 1, 1},  {"14_01_", 1, 2}, {"14_02_", 1, 2}, {"14_04_", 1, 1}, {"15_01_", 1, 1},
    {"15_02_", 1, 1},  {"16_01_", 1, 1}, {"17_01_", 1, 1}, {"17_02_", 1, 1}, {"18_01_", 1, 1},
    {"19_01_", 1, 2},  {"19_02_", 1, 1},
};
constexpr const char* kObsoleteNamedScreens[] = {"dpitu",   "dpito",   "kinder",   "pit_imp",
                                                 "pit_opp", "pit_pwz", "pit_pwzz", "ptree1",
                                                 "ptree2",  "ptree3"};
constexpr const char* kObsoletePrintouts[] = {
    "pit_dsf.txt", "pit_op.txt",  "pit_opp.txt", "pit_pito.txt", "pit_str.txt", "pit_u.txt",
    "pit_zap.txt", "pit_zes.txt", "rap_26l.txt", "rap_28l.txt",  "rap_36l.txt", "rap_37l.txt"};
constexpr const char* kObsoleteReports[] = {
    "dsf_2.txt",   "p28_26.txt",   "p28b_20.txt", "p28s_26.txt", "p2k_9.txt",  "p36_31.txt",
    "p36l_20.txt", "p36ls_20.txt", "p36s_31.txt", "p37_30.txt",  "p38_16.txt", "p39_12.txt",
    "pcsr_1.txt",  "pcsrs_1.txt",  "pd_31.txt",   "pdz_2.txt",   "pip_5.txt",  "pitb_21.txt",
    "pitbr_7.txt", "pm_10.txt",    "pmit_2.txt",  "po_28.txt",   "prb_2.txt",  "prbs_2.txt",
    "pwz_2.txt",   "pwzr_2.txt",   "pzg_8.txt"};

const ProgramTemplates* templatesOf(int release) {
  for (const ProgramTemplates& step : programTemplates())
    if (step.release == release) return &step;
  return nullptr;
}

bool namesOneOf(const std::string& plik, const std::vector<const char*>& names) {
  const std::string name = rt::lower(rt::allTrim(plik));
  return std::any_of(names.begin(), names.end(), [&](const char* n) { return name == n; });
}

// Deletes the register's records that name one of `names`, whatever their case or surrounding
// blanks. A record another workstation holds stays; so does the whole register when it cannot
// be opened shared.
void cleanRegister(std::string_view databaseDirectory, const std::vector<const char*>& names) {
  // An area left open under the alias would be handed back instead of this database's register.
  rt::guarded([] { db::ZAMKNIJ("wzorce"); });
  if (!db::S_OTWORZ(std::string(databaseDirectory) + "str\\", "wzorce", "wzorce")) return;
  engine::WorkArea* area = engine::workspace().current();
  rt::guarded([&] {
    for (area->goTop(); !area->eof(); area->skip()) {
      const rt::Value plik = area->get("plik");
      if (!plik.isText() || !namesOneOf(plik.str(), names)) continue;
      if (!db::REK_LOCK()) continue;
      area->remove();
      area->unlock();
    }
  });
  rt::guarded([] { db::ZAMKNIJ("wzorce"); });
}

// The build number is the last part of the version text ("10.00.22631"); a text that does not
// end in digits counts as an old build, so nothing is cleared on a guess.
unsigned long buildNumber(const std::string& versionText) {
  const size_t dot = versionText.find_last_of('.');
  const std::string_view digits =
      std::string_view(versionText).substr(dot == std::string::npos ? 0 : dot + 1);
  unsigned long build = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), build);
  return build;
}

}  // namespace

const std::vector<ProgramTemplates>& programTemplates() {
  static const std::vector<ProgramTemplates> steps = {
      {1,
       {"ew_kas.txt", "crm_12a.txt", "drk_z52.txt", "inw_f3b.txt", "mp_zus1.txt", "p_11sum1.txt",
        "rnw_f3b.txt", "v_pr01.txt", "v_pr3.txt", "wroz_7.txt", "de_mini4.txt", "de_mini5.txt",
        "p_wyp7b.txt"},
       false},
      {4, {}},
      {10, {"p_lst4b.txt"}},
      {13, {"pf_w21_1.txt"}},
      {14, {"cpn_1.txt"}},
      {19, {"de_mini4.txt", "de_mini5.txt", "de_mini6.txt"}},
      {21, {"faktura.txt", "faktura_zw.txt"}, true, true},
      {24, {"p_pus1.txt", "p_pus2.txt", "vz_vat.txt"}, true, true},
      {26, {"p_lo.txt"}},
      {27, {"sme_sum1.txt"}},
      {28, {"sme_sum2.txt", "sme_sum3.txt", "p_uz_k3.txt"}},
      {30, {"rnw_f3f.txt"}},
      {33, {"jpk_s1f.txt"}},
      {42, {"p_22.txt"}},
      {43, {"il_prac.txt", "mrt_tav.txt"}},
      {45,
       {"crm_p11b.txt", "fakt_w.txt", "ks_auto.txt", "pl_uzl1.txt", "pl_uzl2.txt", "z3a_inf.txt",
        "z3a_inf1.txt"}},
      {46, {"inf_f2.txt", "p_wyp3.txt"}},
  };
  return steps;
}

const std::vector<std::string>& obsoleteProgramFiles() {
  static const std::vector<std::string> files = [] {
    std::vector<std::string> out;
    for (const ScreenRun& run : kObsoleteScreenRuns)
      for (int n = run.first; n <= run.last; ++n)
        out.push_back("mask\\" + std::string(run.group) + rt::StrZero(n, 2, 0) + ".scn");
    for (const char* name : kObsoleteNamedScreens)
      out.push_back("mask\\" + std::string(name) + ".scn");
    for (const char* name : kObsoletePrintouts) out.push_back("txt\\" + std::string(name));
    for (const char* name : kObsoleteReports) out.push_back("ravimon\\" + std::string(name));
    return out;
  }();
  return files;
}

void runProgramTemplates(int release, std::string_view programDirectory,
                         std::string_view databaseDirectory) {
  const ProgramTemplates* step = templatesOf(release);
  if (!step) return;
  const std::string programTxt = std::string(programDirectory) + "txt\\";
  const std::string databaseTxt = std::string(databaseDirectory) + "txt\\";
  for (const char* name : step->templates) {
    const bool copied = db::FCOPY(std::string(kShippedTemplates) + name, programTxt);
    // The database's copy overrides the program's template. It goes only once the new template
    // is there: without it the user's copy would be lost for the previous program template.
    if (step->removesDatabaseCopies && copied) db::DEL_FILE(databaseTxt + name);
  }
  if (step->cleansRegister) cleanRegister(databaseDirectory, step->templates);
}

void resetWordProcessorPath(std::string_view programDirectory) {
  const std::string setings = std::string(programDirectory) + "setings\\";
  if (!os::exists(setings + "station.dbf")) return;
  if (os::osFamily() == "WIN9X" || buildNumber(os::osVersionText()) < kWordPathResetBuild) return;
  rt::guarded([] { db::ZAMKNIJ("xu"); });
  if (!db::S_OTWORZ(setings, "station", "xu")) return;
  engine::WorkArea* area = engine::workspace().current();
  rt::guarded([&] {
    area->goTop();
    if (area->eof() || !db::REK_LOCK()) return;
    area->put("path_word", rt::Value(""));
    area->unlock();
  });
  rt::guarded([] { db::ZAMKNIJ("xu"); });
}

void L25_01_001(std::string_view programDirectory, std::string_view databaseDirectory) {
  // The register is rebuilt by the program from this release's templates.
  db::DEL_FILE(std::string(databaseDirectory) + "str\\wzorce.dbf");
  runProgramTemplates(1, programDirectory, databaseDirectory);
  for (const std::string& file : obsoleteProgramFiles())
    db::DEL_FILE(std::string(programDirectory) + file);
}

void L25_01_019(std::string_view programDirectory, std::string_view databaseDirectory) {
  runProgramTemplates(19, programDirectory, databaseDirectory);
  resetWordProcessorPath(programDirectory);
}

#define TAV_PROGRAM_STEP(name, release)                                              \
  void name(std::string_view programDirectory, std::string_view databaseDirectory) { \
    runProgramTemplates(release, programDirectory, databaseDirectory);               \
  }

TAV_PROGRAM_STEP(L25_01_004, 4)
TAV_PROGRAM_STEP(L25_01_010, 10)
TAV_PROGRAM_STEP(L25_01_013, 13)
TAV_PROGRAM_STEP(L25_01_014, 14)
TAV_PROGRAM_STEP(L25_01_021, 21)
TAV_PROGRAM_STEP(L25_01_024, 24)
TAV_PROGRAM_STEP(L25_01_026, 26)
TAV_PROGRAM_STEP(L25_01_027, 27)
TAV_PROGRAM_STEP(L25_01_028, 28)
TAV_PROGRAM_STEP(L25_01_030, 30)
TAV_PROGRAM_STEP(L25_01_033, 33)
TAV_PROGRAM_STEP(L25_01_042, 42)
TAV_PROGRAM_STEP(L25_01_043, 43)
TAV_PROGRAM_STEP(L25_01_045, 45)
TAV_PROGRAM_STEP(L25_01_046, 46)

#undef TAV_PROGRAM_STEP

}  // namespace tav::convert
