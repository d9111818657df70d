// Fuzz target: the contents of setings\ns.cfg and the token-list helpers behind it. Invariant:
// the workstation name taken from any bytes has no bar in it and no blank at either end.

#include <string>

#include "db/ns_config.h"
#include "db/text.h"
#include "fuzz_support.h"

using namespace tav;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::bytesOf(data, size);
  if (auto name = db::workstationNameInConfig(text)) {
    if (name->find('|') != std::string::npos) fuzz::finding("a workstation name with a bar");
    if (!name->empty() && (name->front() == ' ' || name->back() == ' '))
      fuzz::finding("a workstation name with blanks at an end");
  }
  for (int i = 0; i <= 3; ++i) (void)db::TOKEN(text, i);
  (void)db::TOKEN(text);
  (void)db::USUN_SPACJE(text);
  return 0;
}
