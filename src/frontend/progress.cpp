// The names of a firm's outcomes, as the reports and the progress lines print them.
#include "frontend/progress.h"

namespace tav::frontend {

const char* statusName(FirmStatus s) {
  switch (s) {
    case FirmStatus::Converted:
      return "converted";
    case FirmStatus::Current:
      return "current";
    case FirmStatus::Failed:
      return "failed";
    case FirmStatus::Skipped:
      return "skipped";
  }
  return "skipped";
}

}  // namespace tav::frontend
