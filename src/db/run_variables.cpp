// The running upgrade's variables: made with the run, gone with it.
#include "db/run_variables.h"

#include <cassert>

namespace tav::db {
namespace {
RunVariables* gCurrent = nullptr;
}  // namespace

RunVariables::RunVariables() {
  assert(gCurrent == nullptr && "one upgrade run at a time");
  rt::Array scratch(10, rt::Value(std::string()));
  scratch[0] = rt::Value(0.0);
  scratch[1] = rt::Value(0.0);
  pdane = rt::Value(scratch);
  tlist = rt::Value(rt::Array{});
  gCurrent = this;
}

RunVariables::~RunVariables() { gCurrent = nullptr; }

RunVariables* runVariables() { return gCurrent; }

}  // namespace tav::db
