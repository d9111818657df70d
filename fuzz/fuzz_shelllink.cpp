// Fuzz target: a shell link (.lnk) file. Invariants: every offset and count is checked, so any
// bytes give a link or a refusal; a link that is read, written again and read back keeps its
// target, working directory, arguments and description.

#include <string>

#include "fuzz_support.h"
#include "os/shelllink/shelllink.h"

using namespace tav;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto link = os::decodeShellLink(fuzz::bytesOf(data, size));
  if (!link) return 0;
  const std::string again = os::encodeShellLink(*link);
  auto back = os::decodeShellLink(again);
  if (!back) fuzz::finding("a link written from a decoded link does not decode");
  if (back->target != link->target || back->workingDir != link->workingDir ||
      back->arguments != link->arguments || back->description != link->description)
    fuzz::finding("a link written from a decoded link reads back different: target [" +
                  link->target + "] -> [" + back->target + "], working directory [" +
                  link->workingDir + "] -> [" + back->workingDir + "], arguments [" +
                  link->arguments + "] -> [" + back->arguments + "], description [" +
                  link->description + "] -> [" + back->description + "]");
  return 0;
}
