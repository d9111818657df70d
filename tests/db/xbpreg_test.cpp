// Groups: Xbpreg (the registry class: binding by path, values stored by type and read back
// converted, moving down a tree, the network name) and StoredValueForm (the stored form of values,
// every damaged form refused).
#include "db/xbpreg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "os/path.h"
#include "os/system_info.h"
#include "runtime/settings.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
namespace reg = tav::os::reg;
using tav::db::XBPREG;
using tav::rt::Value;

namespace {

class Xbpreg : public ::testing::Test {
 protected:
  Xbpreg() { reg::resetForTests(); }
  ~Xbpreg() override {
    reg::resetForTests();
    tav::os::setComputerName(std::nullopt);
  }
  // Type and bytes of a value under HKEY_CURRENT_USER\K, read beside the class.
  static std::pair<uint32_t, std::string> raw(const std::string& name) {
    reg::HKEY h = 0;
    reg::RegOpenKeyEx(reg::HKEY_CURRENT_USER, "K", 0, reg::KEY_READ, &h);
    uint32_t type = 0, size = 0;
    reg::RegQueryValueEx(h, name, &type, nullptr, &size);
    std::string data(size, '\0');
    reg::RegQueryValueEx(h, name, &type, reinterpret_cast<uint8_t*>(data.data()), &size);
    reg::RegCloseKey(h);
    return {type, data};
  }
  tav::testing::TempDriveMap map_;
};

TEST_F(Xbpreg, BindsByPathAndCreatesOnlyWhenAsked) {
  tav::rt::settings().exact = true;
  XBPREG missing("\\HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025");
  EXPECT_TRUE(tav::rt::settings().exact);  // switched off while binding only
  tav::rt::settings().exact = false;
  EXPECT_EQ(missing.nHKey, reg::HKEY_CURRENT_USER);
  EXPECT_EQ(missing.cKey, "Software\\Tamborex\\Tav\\2025");
  EXPECT_FALSE(missing.Status());
  EXPECT_EQ(missing.nCallSuccess, reg::ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(missing.Create());
  EXPECT_EQ(missing.nKeyHandle, 0u);  // closed again
  reg::resetForTests();
  XBPREG again("HKEY_CURRENT_USER\\software\\TAMBOREX\\tav\\2025");
  EXPECT_TRUE(again.Status());
  EXPECT_EQ(again.KeyName(), "HKEY_CURRENT_USER\\software\\TAMBOREX\\tav\\2025");
  EXPECT_EQ(XBPREG("HKEY_LOCAL_MACHINE").KeyName(), "HKEY_LOCAL_MACHINE");

  XBPREG unknown("HKEY_NOWHERE\\Software\\X", true);
  EXPECT_EQ(unknown.nHKey, 0u);
  EXPECT_FALSE(unknown.Status());
  EXPECT_FALSE(unknown.Create());
  EXPECT_FALSE(unknown.MoveDown("Y"));
  EXPECT_TRUE(unknown.GetValue("x").isNil());
  EXPECT_NE(unknown.SetValue("x", Value("y")), 0);
}

TEST_F(Xbpreg, ValuesAreStoredByTypeAndReadBackConverted) {
  XBPREG r("HKEY_CURRENT_USER\\K", true);
  EXPECT_EQ(r.SetValue("NoModify", Value(5)), 0);
  EXPECT_EQ(raw("NoModify"),
            std::make_pair(uint32_t{reg::REG_DWORD}, std::string("\x05\0\0\0", 4)));
  EXPECT_EQ(r.GetValue("nomodify").num(), 5);
  r.SetValue("neg", Value(-1));
  EXPECT_EQ(raw("neg").second, "\xff\xff\xff\xff");
  r.SetValue("frac", Value(7.9));
  EXPECT_EQ(r.GetValue("frac").num(), 7);

  EXPECT_EQ(r.SetValue("Program", Value("C:\\Ksi\xea\x67owo\\")), 0);
  EXPECT_EQ(raw("Program"),
            std::make_pair(uint32_t{reg::REG_SZ}, std::string("C:\\Ksi\xea\x67owo\\") + '\0'));
  EXPECT_EQ(r.GetValue("Program").str(), "C:\\Ksi\xea\x67owo\\");  // bytes pass unchanged
  r.cSaveStringTypeAs = "B";
  r.SetValue("bin", Value("abc"));
  EXPECT_EQ(raw("bin"), std::make_pair(uint32_t{reg::REG_BINARY}, std::string("abc")));
  EXPECT_EQ(r.GetValue("bin").str(), "abc");
  r.cSaveStringTypeAs = "C";

  EXPECT_TRUE(r.Standard().isNil());
  EXPECT_EQ(r.Standard(Value("Parametry instalacyjne TAV")), 0);
  EXPECT_EQ(raw("").second, std::string("Parametry instalacyjne TAV") + '\0');
  EXPECT_EQ(r.Standard().str(), "Parametry instalacyjne TAV");

  EXPECT_TRUE(r.GetValue("none").isNil());
  EXPECT_EQ(r.nCallSuccess, reg::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(r.SetValue("nil", Value()), reg::ERROR_INVALID_PARAMETER);
  XBPREG info("HKEY_CURRENT_USER\\K");
  EXPECT_EQ(info.nValues, 6u);
  EXPECT_EQ(info.nMaxValueLen, 27u);
  EXPECT_FALSE(info.cLastWriteTime.empty());
}

TEST_F(Xbpreg, ExpandableStringReadsBackExpanded) {
  ::setenv("TEMP", "C:\\Users\\jan\\Temp", 1);
  reg::HKEY h = 0;
  reg::RegCreateKeyEx(reg::HKEY_CURRENT_USER, "K", 0, "", 0, reg::KEY_ALL_ACCESS, &h, nullptr);
  std::string data = std::string("%TEMP%\\x") + '\0';
  reg::RegSetValueEx(h, "t", 0, reg::REG_EXPAND_SZ, reinterpret_cast<const uint8_t*>(data.data()),
                     static_cast<uint32_t>(data.size()));
  reg::RegCloseKey(h);
  EXPECT_EQ(XBPREG("HKEY_CURRENT_USER\\K").GetValue("t").str(), "C:\\Users\\jan\\Temp\\x");
  ::unsetenv("TEMP");
}

TEST_F(Xbpreg, ArraysDatesAndLogicalsRoundTrip) {
  XBPREG r("HKEY_CURRENT_USER\\K", true);
  tav::rt::Array inner{Value("b"), Value(tav::rt::Date::fromYmd(2025, 1, 31)), Value(true)};
  Value arr(tav::rt::Array{Value("a"), Value::number(12.5, 8, 2), Value(), Value(inner),
                           Value::memo("memo"), Value(tav::rt::Array{})});
  EXPECT_EQ(r.SetValue("arr", arr), 0);
  EXPECT_EQ(raw("arr").first, reg::REG_BINARY);
  Value back = r.GetValue("arr");
  EXPECT_TRUE(back.identical(arr));
  EXPECT_EQ(back.arr()[1].numInfo().decimals, 2);
  EXPECT_EQ(back.arr()[4].type(), tav::rt::Type::Memo);
  r.SetValue("date", Value(tav::rt::Date::fromYmd(2024, 2, 29)));
  EXPECT_EQ(r.GetValue("date").date(), tav::rt::Date::fromYmd(2024, 2, 29));
  r.cReadBinaryTypeAs = "C";
  EXPECT_EQ(r.GetValue("arr").str(), *tav::db::serializeValue(arr));
}

TEST(StoredValueForm, RefusesEveryDamagedForm) {
  Value v(tav::rt::Array{Value("tekst"), Value(3), Value(tav::rt::Array{Value(true)})});
  const std::string good = *tav::db::serializeValue(v);
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_FALSE(tav::db::deserializeValue(good.substr(0, n))) << n;
  EXPECT_FALSE(tav::db::deserializeValue(good + "x"));
  std::string hugeCount = good;
  hugeCount[5] = '\xff';  // the outer array's count
  EXPECT_FALSE(tav::db::deserializeValue(hugeCount));
  std::string deep = "TAV\x01";  // nesting far beyond any stored value is refused, not followed
  for (int i = 0; i < 100000; ++i) deep += std::string("A\x01\x00\x00\x00", 5);
  EXPECT_FALSE(tav::db::deserializeValue(deep + "U"));
  // A date is its day number: 0 for the empty date, otherwise a day of years 1 to 9999.
  const int32_t first = tav::rt::Date::fromYmd(1, 1, 1).julian(),
                last = tav::rt::Date::fromYmd(9999, 12, 31).julian();
  auto date = [](int32_t jd) {
    std::string s =
        "TAV\x01"
        "D";
    for (int i = 0; i < 4; ++i)
      s += static_cast<char>((static_cast<uint32_t>(jd) >> (8 * i)) & 0xFF);
    return tav::db::deserializeValue(s);
  };
  for (int32_t jd : {0, first, last}) {
    ASSERT_TRUE(date(jd)) << jd;
    EXPECT_EQ(date(jd)->date().julian(), jd);
  }
  for (int32_t jd : {-1, 1, first - 1, last + 1, 0x20202020}) EXPECT_FALSE(date(jd)) << jd;
}

TEST_F(Xbpreg, MoveDownStaysUnderTheSameRoot) {
  for (const char* root : {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                           "HKEY_USERS", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"}) {
    XBPREG r(std::string(root) + "\\Software\\Tav\\2025", true);
    const uint32_t handle = r.nHKey;
    EXPECT_TRUE(r.MoveDown("2025")) << root;
    EXPECT_EQ(r.nHKey, handle);
    EXPECT_EQ(r.KeyName(), std::string(root) + "\\Software\\Tav\\2025\\2025");
    EXPECT_TRUE(XBPREG(r.KeyName()).Status());
  }
  XBPREG k("HKEY_CURRENT_USER\\Software");
  EXPECT_FALSE(k.MoveDown("a\\\\b"));  // refused: the object stays where it was
  EXPECT_EQ(k.KeyName(), "HKEY_CURRENT_USER\\Software");
  EXPECT_TRUE(k.Status());
}

TEST_F(Xbpreg, QueryRegistryAndNetName) {
  XBPREG r("HKEY_LOCAL_MACHINE\\Software\\Q", true);
  r.SetValue("text", Value("abc"));
  r.SetValue("num", Value(3));
  EXPECT_EQ(tav::db::QUERYREGISTRY(reg::HKEY_LOCAL_MACHINE, "Software\\Q", "text"), "abc");
  EXPECT_EQ(tav::db::QUERYREGISTRY(reg::HKEY_LOCAL_MACHINE, "Software\\Q", "num"), "");
  EXPECT_EQ(tav::db::QUERYREGISTRY(reg::HKEY_LOCAL_MACHINE, "Software\\Q", "none"), "");
  EXPECT_EQ(tav::db::QUERYREGISTRY(reg::HKEY_LOCAL_MACHINE, "Software\\None", "text"), "");
  tav::os::setComputerName("KSIEGOWA-3");
  EXPECT_EQ(tav::db::NETNAME(), "KSIEGOWA-3");
}

}  // namespace
