// The installation report and the failure log. Rows are separated by CR LF and values start at
// column 21, as the report has always been laid out.

#include "upgrade/install_report.h"

#include "db/files.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/date.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"

namespace tav::upgrade {
namespace {

using namespace rt::literals;

constexpr const char* kCrLf = "\r\n";
constexpr size_t kLabelWidth = 18;  // + ": " puts every value at column 21
const char* const kChangedFirmsTitle = "Lista firm w ktorych dokonano istotnych zmian:";

std::string label(std::string_view name) { return ";" + rt::padRight(name, kLabelWidth) + ": "; }

std::string firmNumber(double nr) { return rt::lTrim(rt::Str(nr, 4, 0)); }

// The report is the print file the runtime made of positioned output: each line at the next
// row, column 0, rows separated by CR LF.
std::string rows(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) out += kCrLf;
    out += lines[i];
  }
  return out;
}

void appendChangedFirms(std::vector<std::string>& lines, const rt::Array& tlist) {
  lines.push_back(kChangedFirmsTitle);
  lines.push_back(std::string(46, '-'));
  for (const rt::Value& entry : tlist) lines.push_back("Firma: " + rt::toText(entry));
  lines.push_back("");
}

std::string breakLines(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == ';')
      out += kCrLf;
    else
      out += c;
  }
  return out;
}

}  // namespace

std::string ERR_PIS(const rt::Error& e) {
  std::string s = label("Argumenty");
  if (e.args.empty()) {
    s += " NIL";
  } else {
    for (size_t i = 0; i < e.args.size(); ++i) {
      const rt::Value& a = e.args[i];
      s += ";(" + rt::Str(static_cast<double>(i + 1), 2, 0) + ") typ=" + rt::typeLetter(a.type()) +
           ": " + rt::toText(a);
    }
  }
  // Properties of the error object in the order the report has always listed them; the error
  // carries no cargo here, so it reads NIL as an unset cargo does.
  const std::pair<const char*, rt::Value> properties[] = {
      {"canDefault", rt::Value(e.canDefault)},
      {"canSubstitute", rt::Value(e.canSubstitute)},
      {"description", rt::Value(e.description)},
      {"filename", rt::Value(e.filename)},
      {"cargo", rt::Value()},
      {"genCode", rt::Value(e.genCode)},
      {"operation", rt::Value(e.operation)},
      {"osCode", rt::Value(e.osCode)},
      {"severity", rt::Value(static_cast<int>(e.severity))},
      {"subCode", rt::Value(e.subCode)},
      {"subSystem", rt::Value(e.subSystem)},
  };
  for (const auto& [name, value] : properties) s += label(name) + rt::toText(value);
  s += ";" + std::string(78, '-') + ";";
  return s;
}

void FirmFailures::add(double nr, const rt::Error* error) {
  add(nr, error ? ERR_PIS(*error) : std::string());
}

void FirmFailures::add(double nr, const std::string& described) {
  const std::string number = firmNumber(nr);
  std::string entry = "Firma nr: "_oem + number + " Błąd podczas instalacji:;"_oem;
  if (entries.empty()) entry += described;
  entries.push_back(std::move(entry));
  log += "Nie udało się zainstalować firmy nr: "_oem + number +
         ". Napraw firmę i spróbuj jeszcze raz!"_oem + kCrLf;
}

bool writeInstallReport(std::string_view databaseDirectory,
                        const std::vector<std::string>& failures, const rt::Value& tlist) {
  static const rt::Array kNone;
  const rt::Array& changed = tlist.isArray() ? tlist.arr() : kNone;
  std::vector<std::string> lines;
  if (!failures.empty()) {
    const std::string stamp =
        "(" + rt::Date::today().toText() + "/" + rt::timeOfDay().substr(0, 5) + ")";
    lines.push_back(stamp + "  Raport z instalacji wersji: " + rt::shared().wersja_p);
    lines.push_back(std::string(48, '-'));
    for (const std::string& entry : failures) lines.push_back(breakLines(rt::oemToAnsi(entry)));
    if (!changed.empty()) {
      lines.push_back("");
      appendChangedFirms(lines, changed);
    }
  } else if (!changed.empty()) {
    lines.push_back("");
    appendChangedFirms(lines, changed);
  } else {
    return true;
  }
  return db::WRITEFILE(std::string(databaseDirectory) + "public\\ins_raport.txt", rows(lines));
}

bool writeFailureLog(std::string_view log) {
  if (log.empty()) return true;
  return db::WRITEFILE(".\\error.log", rt::oemToAnsi(log));
}

}  // namespace tav::upgrade
