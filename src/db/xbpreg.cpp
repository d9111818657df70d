// The registry class over os/registry, and the stored form of runtime values (a 4-byte mark, then
// one tagged item, docs/registry.md). Every count read back is checked, so a damaged value is
// refused.

#include "db/xbpreg.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <vector>

#include "runtime/coding.h"
#include "runtime/settings.h"

namespace tav::db {
namespace reg = os::reg;
namespace {

// Stored form of values: a 4-byte mark, then one tagged item (see docs/registry.md).
constexpr std::string_view kMark = "TAV\x01";
constexpr int kMaxDepth = 64;

bool putValue(std::string& out, const rt::Value& v, int depth) {
  if (depth > kMaxDepth) return false;
  char b[8];
  switch (v.type()) {
    case rt::Type::Nil:
      out += 'U';
      return true;
    case rt::Type::Character:
    case rt::Type::Memo:
      out += v.type() == rt::Type::Memo ? 'M' : 'C';
      rt::putLE32(b, static_cast<uint32_t>(v.str().size()));
      out.append(b, 4);
      out += v.str();
      return true;
    case rt::Type::Numeric:
      out += 'N';
      rt::putLE64(b, rt::doubleBits(v.num()));
      out.append(b, 8);
      rt::putLE16(b, static_cast<uint16_t>(v.numInfo().width));
      rt::putLE16(b + 2, static_cast<uint16_t>(v.numInfo().decimals));
      out.append(b, 4);
      return true;
    case rt::Type::Date:
      out += 'D';
      rt::putLE32(b, static_cast<uint32_t>(v.date().julian()));
      out.append(b, 4);
      return true;
    case rt::Type::Logical:
      out += 'L';
      out += v.log() ? '\1' : '\0';
      return true;
    case rt::Type::Array:
      out += 'A';
      rt::putLE32(b, static_cast<uint32_t>(v.arr().size()));
      out.append(b, 4);
      for (const auto& e : v.arr())
        if (!putValue(out, e, depth + 1)) return false;
      return true;
    case rt::Type::Block:
      return false;
  }
  return false;
}

std::optional<rt::Value> getValue(std::string_view s, size_t& at, int depth) {
  if (depth > kMaxDepth || at >= s.size()) return std::nullopt;
  const char tag = s[at++];
  auto need = [&](size_t n) { return n <= s.size() - at; };
  switch (tag) {
    case 'U':
      return rt::Value();
    case 'C':
    case 'M': {
      if (!need(4)) return std::nullopt;
      uint32_t n = rt::getLE32(s.data() + at);
      at += 4;
      if (!need(n)) return std::nullopt;
      std::string text(s.substr(at, n));
      at += n;
      return tag == 'M' ? rt::Value::memo(std::move(text)) : rt::Value(std::move(text));
    }
    case 'N': {
      if (!need(12)) return std::nullopt;
      double d = rt::bitsDouble(rt::getLE64(s.data() + at));
      auto width = static_cast<int16_t>(rt::getLE16(s.data() + at + 8));
      auto decimals = static_cast<int16_t>(rt::getLE16(s.data() + at + 10));
      at += 12;
      return rt::Value(rt::Number{d, width, decimals});
    }
    case 'D': {
      if (!need(4)) return std::nullopt;
      auto jd = static_cast<int32_t>(rt::getLE32(s.data() + at));
      at += 4;
      // Only the empty date (0) and days of years 1 to 9999 are ever stored.
      const rt::Date d = rt::Date::fromStoredJulian(jd);
      if (jd != 0 && d.empty()) return std::nullopt;
      return rt::Value(d);
    }
    case 'L': {
      if (!need(1) || static_cast<unsigned char>(s[at]) > 1) return std::nullopt;
      return rt::Value(s[at++] == '\1');
    }
    case 'A': {
      if (!need(4)) return std::nullopt;
      uint32_t n = rt::getLE32(s.data() + at);
      at += 4;
      // Every element takes at least its tag byte: a count beyond that is damage.
      if (!need(n)) return std::nullopt;
      rt::Array items;
      items.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        auto e = getValue(s, at, depth + 1);
        if (!e) return std::nullopt;
        items.push_back(std::move(*e));
      }
      return rt::Value(std::move(items));
    }
    default:
      return std::nullopt;
  }
}

std::string fileTimeText(uint64_t ft) {
  if (ft == 0) return {};
  std::time_t t = static_cast<std::time_t>(ft / 10000000ull) - 11644473600ll;
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y.%m.%d %H:%M:%S", &tm);
  return buf;
}

std::string bytesToString(const std::vector<uint8_t>& buf, uint32_t size) {
  return std::string(reinterpret_cast<const char*>(buf.data()), size);
}

std::string untilZero(const std::string& s) { return s.substr(0, s.find('\0')); }

// Switches exact comparison off for a scope, as the binding of a key does.
class InexactScope {
 public:
  InexactScope() : saved_(rt::settings().exact) { rt::settings().exact = false; }
  ~InexactScope() { rt::settings().exact = saved_; }
  InexactScope(const InexactScope&) = delete;
  InexactScope& operator=(const InexactScope&) = delete;

 private:
  bool saved_;
};

}  // namespace

std::optional<std::string> serializeValue(const rt::Value& v) {
  std::string out(kMark);
  if (!putValue(out, v, 0)) return std::nullopt;
  return out;
}

std::optional<rt::Value> deserializeValue(std::string_view bytes) {
  if (bytes.substr(0, kMark.size()) != kMark) return std::nullopt;
  size_t at = kMark.size();
  auto v = getValue(bytes, at, 0);
  if (!v || at != bytes.size()) return std::nullopt;
  return v;
}

void XBPREG::resetInfo() {
  cClass.clear();
  nClass = nSubKeys = nMaxSubKeyLen = nMaxClassLen = nValues = 0;
  nMaxValueNameLen = nMaxValueLen = nSecurityDescriptor = 0;
  cLastWriteTime.clear();
  nLastWriteTime = 0;
}

bool XBPREG::RegOpenKeyEx(uint32_t access) {
  nDllHandle = 1;
  nCallSuccess = reg::RegOpenKeyEx(nHKey, cKey, 0, access, &nKeyHandle);
  if (nCallSuccess != reg::ERROR_SUCCESS) {
    nKeyHandle = 0;
    return false;
  }
  RegQueryInfoKey();
  return true;
}

bool XBPREG::RegCreateKeyEx(std::string* refused) {
  nDllHandle = 1;
  uint32_t disposition = 0;
  nCallSuccess = reg::RegCreateKeyEx(nHKey, cKey, 0, "", 0, reg::KEY_ALL_ACCESS, &nKeyHandle,
                                     &disposition, refused);
  if (nCallSuccess != reg::ERROR_SUCCESS) {
    nKeyHandle = 0;
    return false;
  }
  RegQueryInfoKey();
  return true;
}

bool XBPREG::RegQueryInfoKey() {
  reg::KeyInfo info;
  nCallSuccess = reg::RegQueryInfoKey(nKeyHandle, &info);
  if (nCallSuccess != reg::ERROR_SUCCESS) return false;
  cClass = info.className;
  nClass = static_cast<uint32_t>(info.className.size());
  nSubKeys = info.subKeys;
  nMaxSubKeyLen = info.maxSubKeyLen;
  nMaxClassLen = info.maxClassLen;
  nValues = info.values;
  nMaxValueNameLen = info.maxValueNameLen;
  nMaxValueLen = info.maxValueLen;
  nSecurityDescriptor = info.securityDescriptor;
  nLastWriteTime = (static_cast<uint64_t>(info.lastWriteTime.high) << 32) | info.lastWriteTime.low;
  cLastWriteTime = fileTimeText(nLastWriteTime);
  return true;
}

bool XBPREG::RegCloseKey() {
  if (nKeyHandle == 0) return true;
  nCallSuccess = reg::RegCloseKey(nKeyHandle);
  nKeyHandle = 0;
  return nCallSuccess == reg::ERROR_SUCCESS;
}

void XBPREG::Init(std::string_view path, bool create, std::string* refused) {
  InexactScope inexact;
  nHKey = 0;
  cKey.clear();
  nKeyHandle = 0;
  lStatus = false;
  nCallSuccess = 1;
  nDllHandle = 0;
  resetInfo();
  cReadBinaryTypeAs = "A";
  cSaveStringTypeAs = "C";
  if (path.empty()) return;
  if (path.front() == '\\') path.remove_prefix(1);
  size_t sep = path.find('\\');
  nHKey = reg::rootFromName(path.substr(0, sep)).value_or(0);
  if (sep != std::string_view::npos) cKey = std::string(path.substr(sep + 1));
  if (nHKey == 0) return;
  if (RegOpenKeyEx(reg::KEY_ALL_ACCESS)) {
    lStatus = true;
  } else if (create && RegCreateKeyEx(refused)) {
    lStatus = true;
  }
  RegCloseKey();
}

bool XBPREG::Create(std::string* refused) {
  if (lStatus || nHKey == 0) return lStatus;
  if (RegOpenKeyEx(reg::KEY_ALL_ACCESS) || RegCreateKeyEx(refused)) lStatus = true;
  RegCloseKey();
  return lStatus;
}

bool XBPREG::MoveDown(std::string_view name, std::string* refused) {
  const std::string previous = KeyName();
  if (nHKey == 0 || name.empty()) return false;
  std::string below = cKey.empty() ? std::string(name) : cKey + "\\" + std::string(name);
  Init(std::string(reg::rootName(nHKey)) + "\\" + below, true, refused);
  if (lStatus) return true;
  Init(previous, false);
  return false;
}

rt::Value XBPREG::GetValue(std::string_view name) {
  if (nHKey == 0 || !RegOpenKeyEx(reg::KEY_READ)) return {};
  // Never a null buffer: that would ask for the size only.
  std::vector<uint8_t> buf(std::max<uint32_t>(nMaxValueLen, 1));
  uint32_t type = 0, size = static_cast<uint32_t>(buf.size());
  nCallSuccess = reg::RegQueryValueEx(nKeyHandle, name, &type, buf.data(), &size);
  if (nCallSuccess == reg::ERROR_MORE_DATA) {
    // Another process wrote a longer value since the key was queried.
    buf.resize(size);
    nCallSuccess = reg::RegQueryValueEx(nKeyHandle, name, &type, buf.data(), &size);
  }
  const long rc = nCallSuccess;
  RegCloseKey();
  nCallSuccess = rc;
  if (rc != reg::ERROR_SUCCESS) return {};
  std::string data = bytesToString(buf, size);
  switch (type) {
    case os::reg::REG_SZ:
      return rt::Value(untilZero(data));
    case os::reg::REG_EXPAND_SZ:
      return rt::Value(reg::expandEnvironmentStrings(untilZero(data)));
    case os::reg::REG_DWORD:
      if (data.size() == 4) return rt::Value(static_cast<long long>(rt::getLE32(data.data())));
      return rt::Value(data);
    case os::reg::REG_BINARY:
      if (cReadBinaryTypeAs == "A") {
        if (auto v = deserializeValue(data)) return *v;
      }
      return rt::Value(data);
    default:
      return rt::Value(data);
  }
}

long XBPREG::SetValue(std::string_view name, const rt::Value& value, std::string* refused) {
  uint32_t type = 0;
  std::string data;
  if (value.isText()) {
    if (cSaveStringTypeAs == "B") {
      type = os::reg::REG_BINARY;
      data = value.str();
    } else {
      type = os::reg::REG_SZ;
      data = value.str() + '\0';
    }
  } else if (value.isNumber()) {
    // A double word holds the integral part; negative numbers keep their 32-bit form.
    double n = std::trunc(value.num());
    auto word = static_cast<uint32_t>(static_cast<int64_t>(n));
    type = os::reg::REG_DWORD;
    data.resize(4);
    rt::putLE32(data.data(), word);
  } else if (auto stored = serializeValue(value); stored && !value.isNil()) {
    type = os::reg::REG_BINARY;
    data = std::move(*stored);
  } else {
    nCallSuccess = reg::ERROR_INVALID_PARAMETER;
    return nCallSuccess;
  }
  constexpr uint32_t kWriteAndQuery = 0x20007;
  if (nHKey == 0 || !RegOpenKeyEx(kWriteAndQuery)) {
    if (nHKey == 0) nCallSuccess = reg::ERROR_INVALID_HANDLE;
    return nCallSuccess;
  }
  const long rc =
      reg::RegSetValueEx(nKeyHandle, name, 0, type, reinterpret_cast<const uint8_t*>(data.data()),
                         static_cast<uint32_t>(data.size()), refused);
  RegCloseKey();
  nCallSuccess = rc;
  return rc;
}

std::string XBPREG::KeyName() const {
  std::string name(reg::rootName(nHKey));
  if (!cKey.empty()) name += "\\" + cKey;
  return name;
}

std::string QUERYREGISTRY(uint32_t root, std::string_view keyPath, std::string_view valueName) {
  uint32_t key = 0;
  if (REGOPENKEYEXA(root, keyPath, 0, reg::KEY_QUERY_VALUE, &key) != reg::ERROR_SUCCESS) return {};
  uint32_t type = 0, size = 0;
  std::string text;
  if (REGQUERYVALUEEXA(key, valueName, &type, nullptr, &size) == reg::ERROR_SUCCESS &&
      (type == os::reg::REG_SZ || type == os::reg::REG_EXPAND_SZ)) {
    std::vector<uint8_t> buf(size);
    if (REGQUERYVALUEEXA(key, valueName, &type, buf.data(), &size) == reg::ERROR_SUCCESS)
      text = untilZero(bytesToString(buf, size));
  }
  REGCLOSEKEY(key);
  return text;
}

std::string NETNAME() {
  return QUERYREGISTRY(reg::HKEY_LOCAL_MACHINE, reg::kComputerNameKey, "ComputerName");
}

}  // namespace tav::db
