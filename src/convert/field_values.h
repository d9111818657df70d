#pragma once

// Reading a field for a conversion rule: a field of another type than expected reads as its empty
// value, as the rules compare with blanks and zero rather than fail on a damaged record.

#include <string>
#include <string_view>

#include "engine/workarea.h"
#include "runtime/format.h"

namespace tav::convert {

inline std::string text(engine::WorkArea& a, std::string_view field) {
  rt::Value v = a.get(field);
  return v.isText() ? v.str() : std::string();
}

inline double number(engine::WorkArea& a, std::string_view field) {
  rt::Value v = a.get(field);
  return v.isNumber() ? v.num() : 0;
}

inline rt::Date date(engine::WorkArea& a, std::string_view field) {
  rt::Value v = a.get(field);
  return v.isDate() ? v.date() : rt::Date();
}

inline bool blank(std::string_view s) { return rt::allTrim(s).empty(); }

}  // namespace tav::convert
