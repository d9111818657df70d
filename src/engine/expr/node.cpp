// The faults every node raises: compile faults abandon, runtime faults let the handler substitute
// the operation's result.

#include "engine/expr/node.h"

namespace tav::engine::expr {

void compileFault(int genCode, std::string description, std::string operation,
                  std::string_view text) {
  rt::Error e;
  e.genCode = genCode;
  e.description = std::move(description) + " in \"" + std::string(text) + "\"";
  e.operation = std::move(operation);
  rt::fail(std::move(e));
}

rt::Value runtimeFault(int genCode, int subCode, std::string description,
                       std::string_view operation, std::vector<rt::Value> args, bool canDefault,
                       rt::Value defaultValue) {
  rt::Error e;
  e.genCode = genCode;
  e.subCode = subCode;
  e.description = std::move(description);
  e.operation = std::string(operation);
  e.args = std::move(args);
  e.canSubstitute = true;
  e.canDefault = canDefault;
  rt::Answer a = rt::raise(e);
  if (a.kind == rt::Answer::Substitute) return a.value;
  if (a.kind == rt::Answer::Default && canDefault) return defaultValue;
  // A retry would meet the same operands again; an answer the error does not allow abandons.
  throw rt::Abandon(std::move(e));
}

rt::Value argumentFault(int subCode, std::string_view operation, std::vector<rt::Value> args) {
  return runtimeFault(rt::kErrArg, subCode, "Argument error", operation, std::move(args));
}

void appendSubstitute(std::string& out, const rt::Value& v, std::string_view operation) {
  if (v.isText()) {
    out += v.str();
    return;
  }
  rt::Error e;
  e.genCode = rt::kErrDataType;
  e.description = "Data type error: a text was expected";
  e.operation = std::string(operation);
  e.args = {v};
  rt::fail(std::move(e));
}

void Node::appendText(std::string& out, Frame& f) {
  rt::Value v = eval(f);
  if (v.isText()) {
    out += v.str();
    return;
  }
  appendSubstitute(
      out, runtimeFault(rt::kErrDataType, 0, "Data type error: a text was expected", "text", {v}),
      "text");
}

}  // namespace tav::engine::expr
