// The firm steps of releases 001 to 027, as plans the catalogue's rows point at. Each is run by
// runFirmPlan (firm_step_frame.h): nothing when the firm has its release already, otherwise its
// work in order and its release recorded in the firm's wersja.dbf last.
#pragma once
#include "convert/firm_step_frame.h"

namespace tav::convert {

extern const FirmPlan
    I_25_01_001;  // ks_dok from its template, ks_kor/ks_kora fields, inf_fir by tax form
extern const FirmPlan
    I_25_01_004;  // fixed assets: new fields, disposal type and entry kind derived
extern const FirmPlan I_25_01_005;  // st_gn: NR_OT
extern const FirmPlan I_25_01_009;  // payroll: p6 carried forward, code "99" completed
extern const FirmPlan I_25_01_010;  // work calendar: December
extern const FirmPlan I_25_01_011;  // wspolnik: adres_nrd widened
extern const FirmPlan I_25_01_013;  // only the release record
extern const FirmPlan I_25_01_017;  // payroll formulas: seniority words renamed
extern const FirmPlan I_25_01_019;  // cpn from its template
extern const FirmPlan I_25_01_021;  // p_us: payout and flag fields
extern const FirmPlan I_25_01_023;  // ks_kor: nr_pierw widened
extern const FirmPlan I_25_01_024;  // p_us: 9 % contribution and 12 % flat-rate tax
extern const FirmPlan I_25_01_025;  // skl_52r: records of former partners removed
extern const FirmPlan I_25_01_027;  // sme_ewi, sme_cfg, sme_zw from their templates

}  // namespace tav::convert
