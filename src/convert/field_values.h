#pragma once
#include <string>
#include <string_view>

#include "engine/workarea.h"
#include "runtime/format.h"

// Reading a field for a conversion rule: a field of another type than expected reads as its empty
// value, as the rules compare with blanks and zero rather than fail on a damaged record.
namespace tav::convert {

inline std::string text(engine::WorkArea& a, const char* field) {
  rt::Value v = a.get(std::string_view(field));
  return v.isText() ? v.str() : std::string();
}

inline double number(engine::WorkArea& a, const char* field) {
  rt::Value v = a.get(std::string_view(field));
  return v.isNumber() ? v.num() : 0;
}

inline bool blank(const std::string& s) { return rt::allTrim(s).empty(); }

}  // namespace tav::convert
