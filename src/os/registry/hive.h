#pragma once

// The keys and values of one registry root in memory, and the export-format text each root is kept
// in on disk. Key and value names compare ignoring letter case; the case first written is kept.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tav::os::reg {

// Value types, numbered as the registry numbers them.
enum : uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_DWORD_BIG_ENDIAN = 5,
  REG_LINK = 6,
  REG_MULTI_SZ = 7,
  REG_QWORD = 11,
};

// One named value. `data` holds the bytes exactly as the writer passed them; string types are
// ANSI (code page 1250) with their terminating zero, as the A functions of the registry take them.
struct RegValue {
  std::string name;  // "" is the key's default value
  uint32_t type = REG_NONE;
  std::string data;
};

struct RegKey {
  std::string path;  // below the root, components joined by '\', case as first written; "" = root
  std::vector<RegValue> values;  // in the order they were first set

  const RegValue* find(std::string_view name) const;
  // Replaces the value of that name (keeping its place) or appends it.
  void set(RegValue v);
};

// The keys of one root. Names of keys and values compare ignoring letter case, as the registry
// does; the case first written is kept for display.
class Hive {
 public:
  explicit Hive(std::string rootName = {}) : root_(std::move(rootName)) {}
  const std::string& rootName() const { return root_; }

  const RegKey* find(std::string_view path) const;
  RegKey* find(std::string_view path);
  // Creates the key and every missing ancestor; `created` tells whether the key itself was new.
  RegKey& create(std::string_view path, bool* created = nullptr);
  std::vector<const RegKey*> subkeys(std::string_view path) const;  // direct children
  const std::map<std::string, RegKey>& keys() const { return keys_; }
  bool empty() const { return keys_.empty(); }

 private:
  std::string root_;
  // Keyed by the folded path (see fold()), which also orders a parent right before its subtree.
  std::map<std::string, RegKey> keys_;
};

// The comparison form of a key path or a value name: upper case, with '\' ranked below every
// printable character so that a key's subtree sorts directly after it.
std::string fold(std::string_view ansi);
// The last component of a key path.
std::string_view leafName(std::string_view path);

// The registry editor's export format ("Windows Registry Editor Version 5.00"), as UTF-8 text
// so that a person can read the store on the host: [ROOT\key] sections, "name"="text",
// dword:0000000a, hex:.. for binary data and hex(N):.. for other types. String types that the
// quoted form cannot carry and REG_EXPAND_SZ / REG_MULTI_SZ are hex(N) of UTF-16LE text, as the
// editor writes them. Every stored byte reads back exactly.
std::string serialize(const Hive& hive);

struct ParseError {
  int line = 0;  // 1-based; 0 when there is no error
  std::string message;
  explicit operator bool() const { return line != 0; }
};
// Parses a whole store file into `hive` (which must be empty). Sections of another root than the
// hive's are an error: each root lives in a file of its own.
ParseError parse(std::string_view text, Hive& hive);

// The value of one hex digit, -1 for another character.
int hexDigit(char c);
// A "hex:" value's comma-separated byte list ("01,ff, 0a") into `bytes`; false when malformed.
bool readHexList(std::string_view s, std::string& bytes);

}  // namespace tav::os::reg
