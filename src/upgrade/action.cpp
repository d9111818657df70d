// The release arguments as the run's shared variables, and the names of the results.
#include "upgrade/action.h"

#include "runtime/shared_variables.h"

namespace tav::upgrade {

void useReleaseArguments(const ReleaseArguments& release) {
  auto& sv = rt::shared();
  sv.wersja_p = release.program;
  sv.wersja_b = release.database;
  sv.roczek = release.year;
}

ReleaseArguments currentReleaseArguments() {
  const auto& sv = rt::shared();
  return {sv.wersja_p, sv.wersja_b, sv.roczek};
}

const char* resultName(Result r) {
  switch (r) {
    case Result::Complete:
      return "complete";
    case Result::SomeFirmsFailed:
      return "some firms failed";
    case Result::Refused:
      return "refused";
    case Result::Declined:
      return "declined";
    case Result::Interrupted:
      return "interrupted";
    case Result::Failed:
      return "failed";
  }
  return "failed";
}

}  // namespace tav::upgrade
