// The firm steps of releases 030 to 046, as plans the catalogue's rows point at. Each is run by
// runFirmPlan (firm_step_frame.h): nothing when the firm has its release already, otherwise its
// work in order and its release recorded in the firm's wersja.dbf last.
#pragma once
#include "convert/firm_step_frame.h"

namespace tav::convert {

extern const FirmPlan I_25_01_030;  // firma: the method field metoda_zd
extern const FirmPlan I_25_01_031;  // p_skld: the formula fields r1..r4 widened
extern const FirmPlan I_25_01_032;  // ks_dok: the currency fields
extern const FirmPlan I_25_01_036;  // p_fcfg: the import path widened
extern const FirmPlan
    I_25_01_038;  // p_alu rebuilt on its template, all refunds by transfer; p_pa refund fields
extern const FirmPlan
    I_25_01_040;  // p_f: stand-by ("SWY") days, hours and pay of 2025 summed from p_n
extern const FirmPlan I_25_01_042;  // sam_rej: each vehicle's CO2 emission
extern const FirmPlan I_25_01_043;  // v_oss: e-invoice number fields; a fresh ksef_p
// v_data and rk_dok fields; the payslip template set aside; contract notes copied to the
// employee (the firm's number is rt::shared().num_fir).
extern const FirmPlan I_25_01_044;
// Vehicles, foreign invoices, bailiff deductions, purchases and car trade documents: widened and
// new fields, "U" documents become "Z", car documents take their parties from ks_dok.
extern const FirmPlan I_25_01_045;
extern const FirmPlan I_25_01_046;  // p_dat: PRPL, LICZYC and the monthly K and P fields

}  // namespace tav::convert
