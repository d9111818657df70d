#pragma once

// The registry class the tool's code calls, and the raw registry calls beneath it. Texts pass
// through as ANSI; nothing here raises an error, failures show in the object's status.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/registry/registry.h"
#include "runtime/value.h"

namespace tav::db {

// One registry key, bound by its full path ("HKEY_CURRENT_USER\Software\Tamborex\Tav\2025").
// The object passes texts through unchanged: callers hand it ANSI and convert what they read
// back, as the registry is an ANSI edge of the tool. No method raises an error; failures show in
// Status(), nCallSuccess and empty results.
class XBPREG {
 public:
  explicit XBPREG(std::string_view path = {}, bool create = false) { Init(path, create); }

  // Members as the tool's code reads them.
  uint32_t nHKey = 0;       // root handle; 0 when the root name is not recognised
  std::string cKey;         // key path below the root, no leading backslash
  uint32_t nKeyHandle = 0;  // handle while the key is open
  bool lStatus = false;     // the key exists (or was created)
  long nCallSuccess = 1;    // result of the last registry call, 1 before any
  uint32_t nDllHandle = 0;  // nonzero once the registry has been used
  std::string cClass;
  uint32_t nClass = 0;
  uint32_t nSubKeys = 0;
  uint32_t nMaxSubKeyLen = 0;
  uint32_t nMaxClassLen = 0;
  uint32_t nValues = 0;
  uint32_t nMaxValueNameLen = 0;
  uint32_t nMaxValueLen = 0;
  uint32_t nSecurityDescriptor = 0;
  std::string cLastWriteTime;           // "yyyy.mm.dd hh:mm:ss", UTC
  uint64_t nLastWriteTime = 0;          // FILETIME
  std::string cReadBinaryTypeAs = "A";  // "A": binary values deserialised; "C": raw bytes
  std::string cSaveStringTypeAs = "C";  // "C": texts as string values; "B": as binary values

  // The registry calls beneath the methods; each keeps its result code in nCallSuccess and
  // gives back whether it succeeded. A write that is not made says why in `refused` when given
  // (os/registry/registry.h); so do Create, MoveDown and SetValue below.
  bool RegOpenKeyEx(uint32_t access = os::reg::KEY_ALL_ACCESS);
  bool RegCreateKeyEx(std::string* refused = nullptr);
  bool RegQueryInfoKey();
  bool RegCloseKey();

  void Init(std::string_view path, bool create = false, std::string* refused = nullptr);
  bool Create(std::string* refused = nullptr);
  bool MoveDown(std::string_view name, std::string* refused = nullptr);
  // The value, converted by its type; NIL when the key or the value is absent. An empty name is
  // the key's default value.
  rt::Value GetValue(std::string_view name);
  // Texts become string values with their terminating zero (binary with cSaveStringTypeAs "B"),
  // numbers double words, arrays, dates and logicals binary values in the serialised form below.
  // Gives back the result code, 0 on success.
  long SetValue(std::string_view name, const rt::Value& value, std::string* refused = nullptr);
  rt::Value Standard() { return GetValue(""); }
  long Standard(const rt::Value& value, std::string* refused = nullptr) {
    return SetValue("", value, refused);
  }
  bool Status() const { return lStatus; }
  std::string KeyName() const;

 private:
  void resetInfo();
};

// Reads one text value; empty when the key or value is absent or the value is not text.
std::string QUERYREGISTRY(uint32_t root, std::string_view keyPath, std::string_view valueName);
// The computer's name from the registry (ANSI).
std::string NETNAME();

// The plain forwarders to the registry functions.
inline long REGOPENKEYEXA(uint32_t key, std::string_view subKey, uint32_t options, uint32_t access,
                          uint32_t* result) {
  return os::reg::RegOpenKeyEx(key, subKey, options, access, result);
}
inline long REGQUERYVALUEEXA(uint32_t key, std::string_view name, uint32_t* type, uint8_t* data,
                             uint32_t* size) {
  return os::reg::RegQueryValueEx(key, name, type, data, size);
}
inline long REGCLOSEKEY(uint32_t key) { return os::reg::RegCloseKey(key); }

// The self-describing binary form of a value that the registry keeps for arrays (and dates and
// logicals): docs/registry.md. Code blocks have no stored form (nullopt). Decoding checks every
// length and gives nullopt for anything that is not such a form.
std::optional<std::string> serializeValue(const rt::Value& v);
std::optional<rt::Value> deserializeValue(std::string_view bytes);

}  // namespace tav::db
