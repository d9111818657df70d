// The one SharedVariables instance of the process; resetShared gives tests an empty one.

#include "runtime/shared_variables.h"

namespace tav::rt {

SharedVariables& shared() {
  static SharedVariables v;
  return v;
}

void resetShared() { shared() = SharedVariables(); }

}  // namespace tav::rt
