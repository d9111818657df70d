#pragma once
#include <string_view>

namespace tav::convert {

// The firm steps of releases 030 to 046. Each takes the firm directory, the program directory,
// the database directory (all with their trailing backslash) and the firm's release as the
// runner read it; it does its work only while that release is below its own, records its release
// in the firm's wersja.dbf last, and returns true. A table operation that fails is raised as a
// runtime error, never passed over: the firm's release record must not claim a step that did
// not happen.

// firma.dbf gets the method field `metoda_zd`.
bool I_25_01_030(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);
// p_skld.dbf: the four formula fields r1..r4 widened.
bool I_25_01_031(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);
// ks_dok.dbf gets its currency fields.
bool I_25_01_032(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);
// p_fcfg.dbf: the import path widened.
bool I_25_01_036(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);
// p_alu.dbf rebuilt on its template with every refund paid by transfer; p_pa.dbf gets the
// refund fields.
bool I_25_01_038(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);
// p_f.dbf: the stand-by ("SWY") days, hours and pay of 2025 summed from p_n.dbf.
bool I_25_01_040(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);
// sam_rej.dbf: each vehicle's CO2 emission.
bool I_25_01_042(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);
// v_oss.dbf gets the e-invoice number fields; the firm gets a fresh ksef_p.dbf.
bool I_25_01_043(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);
// v_data.dbf and rk_dok.dbf fields; the payslip template set aside; contract notes copied to
// the employee (the firm's number is rt::shared().num_fir).
bool I_25_01_044(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);
// Vehicles, foreign invoices, bailiff deductions, purchases and car trade documents: widened and
// new fields, "U" documents become "Z", car documents take their parties from ks_dok.dbf.
bool I_25_01_045(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);
// p_dat.dbf gets the payroll parameters PRPL, LICZYC and the monthly K and P fields.
bool I_25_01_046(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);

}  // namespace tav::convert
