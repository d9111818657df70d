// Fuzz target: a registry store file (the export-format text each root is kept in). The bytes
// are parsed into a hive of the root their first section names; a file that parses is written
// out again and must read back to the very same keys and values, byte for byte.

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "os/registry/hive.h"
#include "os/registry/registry.h"

using namespace tav;
using namespace tav::os;

namespace {

// The root the first section names, so that stores of every root get past the root check.
std::string rootOf(std::string_view text) {
  size_t open = text.find('[');
  if (open != std::string_view::npos) {
    size_t end = text.find_first_of("\\]\r\n", open + 1);
    if (end != std::string_view::npos) {
      std::string_view name = text.substr(open + 1, end - open - 1);
      if (reg::rootFromName(name)) return std::string(name);
    }
  }
  return "HKEY_CURRENT_USER";
}

// The root's own key is written only when it holds values: a section that names the bare root
// ("[HKEY_CURRENT_USER]") and nothing else does not come back, and need not.
std::vector<const reg::RegKey*> keysOf(const reg::Hive& h) {
  std::vector<const reg::RegKey*> out;
  for (const auto& [folded, key] : h.keys())
    if (!key.path.empty() || !key.values.empty()) out.push_back(&key);
  return out;
}

bool sameKeys(const reg::Hive& a, const reg::Hive& b) {
  const auto keysA = keysOf(a), keysB = keysOf(b);
  if (keysA.size() != keysB.size()) return false;
  for (size_t k = 0; k < keysA.size(); ++k) {
    const reg::RegKey &ka = *keysA[k], &kb = *keysB[k];
    if (ka.path != kb.path || ka.values.size() != kb.values.size()) return false;
    for (size_t i = 0; i < ka.values.size(); ++i)
      if (ka.values[i].name != kb.values[i].name || ka.values[i].type != kb.values[i].type ||
          ka.values[i].data != kb.values[i].data)
        return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::bytesOf(data, size);
  const std::string root = rootOf(text);
  reg::Hive hive(root);
  if (reg::parse(text, hive)) return 0;
  for (const auto& [folded, key] : hive.keys()) {
    if (!hive.find(key.path))
      fuzz::finding("a parsed key cannot be found by its path: " + key.path);
    (void)hive.subkeys(key.path);
    for (const auto& v : key.values) (void)key.find(v.name);
  }
  const std::string written = reg::serialize(hive);
  reg::Hive again(root);
  if (auto e = reg::parse(written, again))
    fuzz::finding("a written store does not parse again, line " + std::to_string(e.line) + ": " +
                  e.message);
  if (!sameKeys(hive, again)) fuzz::finding("a written store reads back different keys or values");
  if (reg::serialize(again) != written) fuzz::finding("a store written twice differs");
  return 0;
}
