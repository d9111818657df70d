// A fault of the seam (TAV_FAULT's syntax, os/fault.h) in force for one scope of a test running
// in-process: set and read again at construction, gone and read again at destruction, so the
// counts of the test's own operations start from zero and nothing leaks into the next test.
#pragma once

#include <cstdlib>

#include "os/fault.h"

namespace tav::testing {

class InjectedFault {
 public:
  explicit InjectedFault(const char* rule) { set(rule); }
  ~InjectedFault() { set(""); }
  InjectedFault(const InjectedFault&) = delete;
  InjectedFault& operator=(const InjectedFault&) = delete;

 private:
  static void set(const char* rule) {
#ifdef _WIN32
    _putenv_s("TAV_FAULT", rule);
#else
    ::setenv("TAV_FAULT", rule, 1);
#endif
    os::reloadFaults();
  }
};

}  // namespace tav::testing
