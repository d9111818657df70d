// The firms converted at once run in child processes of the os layer (os/child_process.h); the run
// keeps calling them by the name it has always used.
#pragma once

#include "os/child_process.h"

namespace tav::upgrade {

using WorkerProcess = os::ChildProcess;
using os::fields;
using os::putField;

}  // namespace tav::upgrade
