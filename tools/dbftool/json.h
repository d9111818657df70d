#pragma once

// The JSON lines dbftool dump writes and dbftool create reads: one flat object per record.

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tav::dbftool {

// The JSON of one record line: a flat object of strings, numbers, logicals and nulls.
struct JsonValue {
  enum Kind { Null, String, Number, Bool } kind = Null;
  std::string text;  // String: UTF-8; Number: the literal as written
  double number = 0;
  bool boolean = false;
};
using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

// Throws std::runtime_error with a plain reason on anything else.
JsonObject parseObject(std::string_view line);
void appendString(std::string& out, std::string_view utf8);

}  // namespace tav::dbftool
