#pragma once

// The installation report and error log an upgrade leaves behind for the firms it failed to
// convert.

#include <string>
#include <string_view>
#include <vector>

#include "runtime/error.h"
#include "runtime/value.h"

namespace tav::upgrade {

// The error that stopped a firm, as ";"-separated lines for the installation report: the
// arguments (" NIL" without any), then the error's properties, each value from column 21,
// closed by a line of 78 "-" and a final ";".
std::string ERR_PIS(const rt::Error& error);

// The firms an upgrade run failed to convert, in firm order, in the two forms the run leaves
// behind (852 text, ";" a line break in the entries).
struct FirmFailures {
  std::vector<std::string> entries;  // "Firma nr: 3 Błąd podczas instalacji:;" (+ ERR_PIS)
  std::string log;  // "Nie udało się zainstalować firmy nr: 3. ..." CR LF per firm

  // Records one failed firm. Only the first entry carries the description of its error, when
  // the error is known (`error` not null): it is the one the user needs to see.
  void add(double nr, const rt::Error* error);
  // The same with the error already described by ERR_PIS (empty: unknown).
  void add(double nr, const std::string& described);
  bool empty() const { return entries.empty(); }
};

// Writes databaseDirectory + "public\ins_raport.txt" from the failures and the run's `tlist`
// (texts of the conversion steps, one per firm with significant changes). Lines end with
// CR LF; failure entries are converted to code page 1250, the `tlist` entries stay as the steps
// wrote them (852). With neither failures nor `tlist` entries nothing is written (the run has
// deleted the old report) and the result is true. False when the file could not be written.
bool writeInstallReport(std::string_view databaseDirectory,
                        const std::vector<std::string>& failures, const rt::Value& tlist);

// Writes the failure log, converted to code page 1250, as the whole of ".\error.log" in the
// working directory (the shipped release). An empty log writes nothing and gives true.
bool writeFailureLog(std::string_view log);

}  // namespace tav::upgrade
