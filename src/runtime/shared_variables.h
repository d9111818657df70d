#pragma once

// The named variables the start-up, the dialogs and the conversion steps share. Texts are code
// page 852 unless marked ANSI; directory values always end with a backslash.

#include <optional>
#include <string>

#include "runtime/value.h"

namespace tav::rt {

// The tool's process-wide named variables, in one place. Texts are code page 852 unless marked
// ANSI; directory values end with a backslash.
struct SharedVariables {
  // Start-up.
  std::string wersja_p;  // program release this tool carries, "25.01.023"
  std::string wersja_b;  // database release this tool carries, "025.01.023"
  std::string roczek;    // tax year, "2025"
  Value brok0, brok1;
  std::string cPulpit;   // desktop folder (ANSI); empty when unknown or not writable
  std::string cMenu;     // Start-menu Programs folder (ANSI)
  std::string cProgram;  // program directory of an earlier installation for roczek
  std::string cBaza;     // database directory of an earlier installation for roczek
  std::string cTAV;
  int fh8 = 8, fh9 = 9, fh10 = 10, fh11 = 11, fh12 = 12;  // dialog font point sizes
  std::string lpp_alfabet;                                // chr(1)..chr(255) in collation order
  int h_org = 370;  // reference height for dialog margins and button heights
  Value bErr;
  std::string nazwa_sieciowa;  // workstation name chosen for this run

  // The upgrade run's own variables (pdane, tlist, kraje_ue, num_fir) live with the run:
  // db/run_variables.h.
};

SharedVariables& shared();
void resetShared();  // back to the start-up values (tests)

}  // namespace tav::rt
