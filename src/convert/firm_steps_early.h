#pragma once
#include <string_view>

namespace tav::convert {

// Firm steps of releases 001 to 027. Each takes the firm directory, the program directory, the
// database directory (all with their trailing backslash) and the firm's release as the runner
// read it, does nothing when the firm already has its release, and records its release in the
// firm's wersja.dbf as its last action. A table operation that fails raises: the firm is then
// recorded as failed by the upgrade and the step runs again next time, never counted as done.
#define TAV_FIRM_STEP(name)                                                                      \
  bool name(std::string_view firmDirectory, std::string_view programDirectory,                  \
            std::string_view databaseDirectory, std::string_view firmRelease)

TAV_FIRM_STEP(I_25_01_001);  // ks_dok from its template, ks_kor/ks_kora fields, inf_fir by tax form
TAV_FIRM_STEP(I_25_01_004);  // fixed assets: new fields, disposal type and entry kind derived
TAV_FIRM_STEP(I_25_01_005);  // st_gn: NR_OT
TAV_FIRM_STEP(I_25_01_009);  // payroll: p6 carried forward, code "99" completed
TAV_FIRM_STEP(I_25_01_010);  // work calendar: December
TAV_FIRM_STEP(I_25_01_011);  // wspolnik: adres_nrd widened
TAV_FIRM_STEP(I_25_01_017);  // payroll formulas: seniority words renamed
TAV_FIRM_STEP(I_25_01_019);  // cpn from its template
TAV_FIRM_STEP(I_25_01_021);  // p_us: payout and flag fields
TAV_FIRM_STEP(I_25_01_023);  // ks_kor: nr_pierw widened
TAV_FIRM_STEP(I_25_01_024);  // p_us: 9 % contribution and 12 % flat-rate tax
TAV_FIRM_STEP(I_25_01_025);  // skl_52r: records of former partners removed
TAV_FIRM_STEP(I_25_01_027);  // sme_ewi, sme_cfg, sme_zw from their templates

#undef TAV_FIRM_STEP

}  // namespace tav::convert
