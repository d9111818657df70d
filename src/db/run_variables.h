#pragma once

// The variables an upgrade run shares with the conversion steps and the table door while it
// lasts: `pdane` (ten scratch values), `tlist` (texts for the installation report, one per firm
// with changes worth a line), `kraje_ue` (",PL,DE,...," from str\ue.dbf) and `num_fir` (the
// number of the firm being converted). The run owns them (a RunVariables lives as long as it);
// outside a run there are none, and what would note a text for the report notes nothing.
//
// Invariant: at most one run's variables exist at a time; they go with the run that made them.

#include <string>

#include "runtime/value.h"

namespace tav::db {

struct RunVariables {
  RunVariables();
  ~RunVariables();
  RunVariables(const RunVariables&) = delete;
  RunVariables& operator=(const RunVariables&) = delete;

  rt::Value pdane;
  rt::Value tlist;
  std::string kraje_ue;
  rt::Value num_fir;
};

// The running upgrade's variables; null outside a run.
RunVariables* runVariables();

}  // namespace tav::db
