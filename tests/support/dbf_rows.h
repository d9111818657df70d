// A table's records as dbfread gives them, for the tests that read results back with dbfread on
// Linux and run under Wine too, where no Linux program can be started: there the records are
// read from their bytes, field by field, and each value written as dbfread's values print in
// Python (texts without trailing blanks, dates yyyy-mm-dd, whole numbers without blanks or
// leading zeros, logicals True/False), a blank date, number or logical as nothing (None).
//
// Invariants: the records dbfread gives (those not deleted) in record order; a table that cannot be
// opened gives no rows and says so in `error`.
#pragma once
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/workarea.h"
#include "engine/workspace.h"
#include "runtime/format.h"
#include "runtime/settings.h"

namespace tav::testing {

using DbfRow = std::vector<std::optional<std::string>>;

struct DbfRows {
  std::vector<DbfRow> rows;
  std::string error;  // why the table could not be read; empty when it could
};

inline std::optional<std::string> dbfreadValue(char type, int decimals, const std::string& bytes) {
  const std::string text = rt::allTrim(bytes);
  switch (type) {
    case 'D':
      if (text.empty()) return std::nullopt;
      return text.substr(0, 4) + "-" + text.substr(4, 2) + "-" + text.substr(6, 2);
    case 'N':
    case 'F': {
      if (text.empty()) return std::nullopt;
      if (decimals == 0) return std::to_string(std::stoll(text));
      char out[64];
      std::snprintf(out, sizeof out, "%.*f", decimals, std::stod(text));
      std::string s = out;
      while (s.size() > 2 && s.back() == '0' && s[s.size() - 2] != '.') s.pop_back();
      return s;
    }
    case 'L':
      if (text.empty() || text == "?") return std::nullopt;
      return std::string(text == "T" || text == "t" || text == "Y" || text == "y" ? "True"
                                                                                  : "False");
    default:
      return rt::rTrim(bytes);
  }
}

inline DbfRows dbfreadRows(const std::filesystem::path& table) {
  DbfRows out;
  engine::Workspace ws;
  engine::UseOptions o;
  o.readOnly = o.shared = true;
  if (!ws.useHost(table, "t", o)) {
    out.error = "cannot be opened";
    return out;
  }
  engine::WorkArea& a = *ws.current();
  for (uint32_t r = 1; r <= a.lastRec(); ++r) {
    a.goTo(r);
    if (a.deleted()) continue;
    DbfRow row;
    for (size_t i = 1; i <= a.fieldCount(); ++i) {
      const auto& f = a.field(i);
      row.push_back(dbfreadValue(f.type, f.decimals, std::string(a.buffer() + f.offset, f.length)));
    }
    out.rows.push_back(std::move(row));
  }
  return out;
}

// Every record of an open area, deleted ones included, as its bytes with each memo pointer
// replaced by the memo's text: what a table holds, however its memo file is laid out.
inline std::vector<std::string> recordsWithMemoTexts(engine::WorkArea& a) {
  std::vector<std::string> out;
  const rt::DeletedHiddenAs shown(false);
  for (uint32_t r = 1; r <= a.lastRec(); ++r) {
    a.goTo(r);
    std::string rec(1, a.buffer()[0]);
    for (size_t i = 1; i <= a.fieldCount(); ++i) {
      const auto& f = a.field(i);
      rec += '|';
      rec += f.type == 'M' ? a.get(i).str() : std::string(a.buffer() + f.offset, f.length);
    }
    out.push_back(rec);
  }
  return out;
}

}  // namespace tav::testing
