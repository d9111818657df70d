// The template steps' file lists, one row per release. A template missing from the release is
// never allowed to take the database's previous copy with it.

#include "convert/template_steps.h"

#include <string>

#include "db/files.h"
#include "os/files.h"

namespace tav::convert {
namespace {

// The shipped release's templates, relative to the tool's working directory.
constexpr const char* kShippedTemplates = ".\\str\\";

constexpr auto Replace = CopyRule::Replace;
constexpr auto Missing = CopyRule::OnlyWhenMissing;

}  // namespace

const std::vector<TemplateFiles>& templateFiles() {
  static const std::vector<TemplateFiles> steps = {
      {1,
       Replace,
       {"inf_fir.dbf", "rnf_fir.dbf",  "ks_dok.dbf",  "ks_kor.dbf",   "ks_kora.dbf", "br_cfg.dbf",
        "data.dbf",    "firma.dbf",    "lic_ods.dbf", "p_fmc.dbf",    "p_fpar.dbf",  "p_kals.dbf",
        "p_kalw.dbf",  "pr_mc.dbf",    "st_data.dbf", "st_limit.dbf", "v_data.dbf",  "v_kor.dbf",
        "v_rok.dbf",   "v_wystaw.dbf", "wersje.dbf",  "wersja.dbf"},
       {"csr_01.xml", "dsf1_2.xml", "p28_26.xml", "p28s_26.xml", "p36_31.xml", "p36l_20.xml",
        "p36ls_20.xml", "p36s_31.xml", "p37_30.xml", "p38_16.xml", "p39_12.xml", "prb_02.xml"}},
      {2, Replace, {"wpit.dbf"}, {}},
      {5, Replace, {}, {}},
      {10, Replace, {}, {}},
      {11,
       Replace,
       {"st_dok.dbf", "st_gn.dbf", "st_en.dbf", "p_kals.dbf", "p_kalw.dbf", "wspolnik.dbf"},
       {}},
      {13, Replace, {"p_fron_p.dbf"}, {}},
      {17, Missing, {"afaktury.cfg", "baselinker.cfg"}, {}},
      {19, Replace, {"cpn.dbf"}, {}},
      {21, Replace, {}, {}},
      {23, Replace, {"ks_kor.dbf"}, {}},
      {24, Replace, {"p_us.dbf"}, {}},
      {27, Replace, {"sme_cfg.dbf", "sme_ewi.dbf", "sme_lim.dbf", "sme_zw.dbf"}, {}},
      {30, Replace, {"firma.dbf"}, {}},
      {31, Replace, {"p_skld.dbf"}, {}},
      {32, Replace, {"ks_dok.dbf"}, {}},
      {36, Replace, {"p_fcfg.dbf"}, {}},
      {37, Replace, {}, {}},
      {38, Replace, {"p_alu.dbf", "p_pa.dbf", "refundacja_up.xlsx", "refundacja_up.rtf"}, {}},
      {40, Replace, {"p_f.dbf"}, {}},
      {42, Replace, {"ue.dbf"}, {}},
      {43, Replace, {"ksef_p.dbf", "v_oss.dbf"}, {}},
      {44, Replace, {"rk_dok.dbf", "v_data.dbf", "p_swp.rtf"}, {}},
      {45, Replace, {"ks_auto.dbf", "ks_fw.dbf", "p_uz.dbf", "sam_dok.dbf", "sam_rej.dbf"}, {}},
      {46, Replace, {"p_dat.dbf", "ods_tab.dbf"}, {}},
  };
  return steps;
}

void runTemplateFiles(int release, std::string_view databaseDirectory) {
  const std::string str = std::string(databaseDirectory) + "str\\";
  for (const TemplateFiles& step : templateFiles()) {
    if (step.release != release) continue;
    // A table travels without its memo or index: the firm steps index what they take from here.
    for (const char* name : step.copies) {
      if (step.rule == CopyRule::OnlyWhenMissing && os::exists(str + name)) continue;
      // FCOPY deletes its target before copying: without this test a template missing from the
      // release would take the database's previous one with it, and the firm steps need that.
      const std::string shipped = std::string(kShippedTemplates) + name;
      if (!os::exists(shipped)) continue;
      db::FCOPY(shipped, str);
    }
    // Forms withdrawn by the release; one that is already gone is no error.
    for (const char* name : step.xmlDeletions) os::removeFile(str + "xml\\" + name);
    return;
  }
}

#define TAV_TEMPLATE_STEP(name, release)                            \
  void name(std::string_view databaseDirectory, std::string_view) { \
    runTemplateFiles(release, databaseDirectory);                   \
  }

TAV_TEMPLATE_STEP(STR_25_01_001, 1)
TAV_TEMPLATE_STEP(STR_25_01_002, 2)
TAV_TEMPLATE_STEP(STR_25_01_005, 5)
TAV_TEMPLATE_STEP(STR_25_01_010, 10)
TAV_TEMPLATE_STEP(STR_25_01_011, 11)
TAV_TEMPLATE_STEP(STR_25_01_013, 13)
TAV_TEMPLATE_STEP(STR_25_01_017, 17)
TAV_TEMPLATE_STEP(STR_25_01_019, 19)
TAV_TEMPLATE_STEP(STR_25_01_021, 21)
TAV_TEMPLATE_STEP(STR_25_01_023, 23)
TAV_TEMPLATE_STEP(STR_25_01_024, 24)
TAV_TEMPLATE_STEP(STR_25_01_027, 27)
TAV_TEMPLATE_STEP(STR_25_01_030, 30)
TAV_TEMPLATE_STEP(STR_25_01_031, 31)
TAV_TEMPLATE_STEP(STR_25_01_032, 32)
TAV_TEMPLATE_STEP(STR_25_01_036, 36)
TAV_TEMPLATE_STEP(STR_25_01_037, 37)
TAV_TEMPLATE_STEP(STR_25_01_038, 38)
TAV_TEMPLATE_STEP(STR_25_01_040, 40)
TAV_TEMPLATE_STEP(STR_25_01_042, 42)
TAV_TEMPLATE_STEP(STR_25_01_043, 43)
TAV_TEMPLATE_STEP(STR_25_01_044, 44)
TAV_TEMPLATE_STEP(STR_25_01_045, 45)
TAV_TEMPLATE_STEP(STR_25_01_046, 46)

#undef TAV_TEMPLATE_STEP

}  // namespace tav::convert
