// The release arguments as the run's shared variables, and the names of the results.
#include "upgrade/action.h"

#include "db/version_record.h"
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

std::vector<ArgumentMismatch> releaseArgumentsDisagree(const ReleaseArguments& release) {
  std::vector<ArgumentMismatch> found;
  auto compare = [&](const char* what, const std::string& given, const std::string& recorded,
                     const char* file) {
    if (!recorded.empty() && given != recorded) found.push_back({what, given, recorded, file});
  };
  if (const auto wk = db::readVersionRecord(".\\", "wk")) {
    compare("program release", release.program, wk->tav, "wk.dbf");
    compare("tax year", release.year, wk->rok, "wk.dbf");
  }
  if (const auto wb = db::readVersionRecord(".\\", "wb")) {
    compare("database release", release.database, wb->baza, "wb.dbf");
    if (found.empty() || found.back().what != std::string("tax year"))
      compare("tax year", release.year, wb->rok, "wb.dbf");
  }
  return found;
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
