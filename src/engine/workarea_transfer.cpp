// Export and import of records between a work area and another table: fields paired by name,
// values converted only between compatible types.
#include "engine/workarea.h"

#include <algorithm>
#include <cstring>

#include "engine/drivers.h"
#include "engine/expr/expression.h"
#include "engine/index/index_files.h"
#include "engine/index/key_encoding.h"
#include "engine/staging.h"
#include "engine/workspace.h"
#include "os/file.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/format.h"
#include "runtime/settings.h"

namespace tav::engine {
namespace {
bool numericType(char t) { return t == 'N' || t == 'F' || t == 'I' || t == 'B' || t == 'Y'; }
bool textType(char t) { return t == 'C' || t == 'M' || t == 'V'; }
bool dateType(char t) { return t == 'D' || t == 'T'; }
bool compatible(char a, char b) {
  return a == b || (numericType(a) && numericType(b)) || (textType(a) && textType(b)) ||
         (dateType(a) && dateType(b));
}
}  // namespace

// ---------------------------------------------------------------- export, import

bool WorkArea::exportTo(const std::filesystem::path& host, const std::vector<std::string>& names,
                        Condition forCond) {
  flushRecord();
  std::vector<size_t> positions;
  if (names.empty()) {
    for (size_t i = 1; i <= fieldCount(); ++i) positions.push_back(i);
  } else {
    for (const auto& n : names) {
      int p = fieldPos(n);
      if (!p) {
        raise(rt::kErrNoVar, "no field " + n, "DBEXPORT");
        return false;
      }
      positions.push_back(size_t(p));
    }
  }
  std::vector<FieldSpec> specs;
  for (size_t p : positions) {
    const FieldDef& f = field(p);
    specs.push_back({f.name, f.type, f.length, f.decimals});
  }
  std::string why;
  if (!Table::create(host, specs, why)) {
    raise(rt::kErrCreate, why, "DBEXPORT");
    return false;
  }
  rt::Error err;
  auto t = Table::open(host, TableOptions{}, err);
  if (!t) {
    rt::raise(err);
    return false;
  }
  WorkArea target(ws_, 0, "", std::move(t), *driver_);
  std::vector<std::pair<size_t, size_t>> pairs;
  for (size_t i = 0; i < positions.size(); ++i) pairs.emplace_back(i + 1, positions[i]);
  const FieldCopy plan = target.planFieldCopy(*this, pairs);
  uint32_t saved = recno_;
  bool savedEof = eof_;
  for (goTop(); !eof_; skip(1)) {
    if (forCond && !forCond()) continue;
    target.append();
    target.putFields(*this, plan);
    if (deleted()) target.remove();
  }
  target.commit();
  target.close();
  if (savedEof)
    goTo(0);
  else
    goTo(saved);
  return true;
}

bool WorkArea::importFrom(const std::filesystem::path& host, Condition forCond) {
  flushRecord();
  rt::Error err;
  auto t = Table::open(host, TableOptions::sharedReadOnly(), err);
  if (!t) {
    rt::raise(err);
    return false;
  }
  WorkArea source(ws_, 0, "", std::move(t), *driver_);
  std::vector<std::pair<size_t, size_t>> map;  // (here, there)
  for (size_t i = 1; i <= fieldCount(); ++i) {
    int p = source.fieldPos(fieldName(i));
    if (p && compatible(field(i).type, source.field(size_t(p)).type))
      map.emplace_back(i, size_t(p));
  }
  const FieldCopy plan = planFieldCopy(source, map);
  for (source.goTop(); !source.eof(); source.skip(1)) {
    if (forCond && !forCond()) continue;
    if (!append()) {
      raise(rt::kErrAppendLock, "cannot append: the table header is locked", "DBIMPORT");
      return false;
    }
    putFields(source, plan);
    if (source.deleted()) remove();
  }
  flushRecord();
  return true;
}

}  // namespace tav::engine
