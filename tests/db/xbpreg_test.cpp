#include "db/xbpreg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "os/path.h"
#include "os/system_info.h"
#include "runtime/settings.h"

namespace fs = std::filesystem;
namespace reg = tav::os::reg;
using tav::db::XBPREG;
using tav::rt::Value;

namespace {

class XbpregTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tav-xbpreg-XXXXXX";
    prefix_ = ::mkdtemp(tmpl);
    ::setenv("TAV_PREFIX", prefix_.c_str(), 1);
    tav::os::resetPathCaches();
    reg::resetForTests();
  }
  void TearDown() override {
    reg::resetForTests();
    tav::os::setComputerName(std::nullopt);
    ::unsetenv("TAV_PREFIX");
    tav::os::resetPathCaches();
    fs::remove_all(prefix_);
  }
  // The raw type and bytes of a value, read beside the class.
  static std::pair<uint32_t, std::string> raw(reg::HKEY root, const std::string& key,
                                              const std::string& name) {
    reg::HKEY h = 0;
    if (reg::RegOpenKeyEx(root, key, 0, reg::KEY_READ, &h) != 0) return {0, "<no key>"};
    uint32_t type = 0, size = 0;
    reg::RegQueryValueEx(h, name, &type, nullptr, &size);
    std::string data(size, '\0');
    long rc = reg::RegQueryValueEx(h, name, &type, reinterpret_cast<uint8_t*>(data.data()), &size);
    reg::RegCloseKey(h);
    return rc == 0 ? std::make_pair(type, data) : std::make_pair(0u, std::string("<no value>"));
  }
  fs::path prefix_;
};

TEST_F(XbpregTest, BindsByPathWithOrWithoutLeadingBackslash) {
  XBPREG a("HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025", true);
  XBPREG b("\\HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025");
  for (XBPREG* r : {&a, &b}) {
    EXPECT_EQ(r->nHKey, reg::HKEY_CURRENT_USER);
    EXPECT_EQ(r->cKey, "Software\\Tamborex\\Tav\\2025");
    EXPECT_TRUE(r->Status());
    EXPECT_EQ(r->KeyName(), "HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025");
    EXPECT_EQ(r->nKeyHandle, 0u);  // closed again after binding
    EXPECT_EQ(r->nCallSuccess, 0);
    EXPECT_NE(r->nDllHandle, 0u);
  }
  XBPREG root("HKEY_LOCAL_MACHINE");
  EXPECT_TRUE(root.Status());
  EXPECT_EQ(root.KeyName(), "HKEY_LOCAL_MACHINE");
  XBPREG none;
  EXPECT_EQ(none.nCallSuccess, 1);
  EXPECT_EQ(none.cReadBinaryTypeAs, "A");
  EXPECT_EQ(none.cSaveStringTypeAs, "C");
}

TEST_F(XbpregTest, MissingKeyIsCreatedOnlyWhenAsked) {
  XBPREG r("HKEY_CURRENT_USER\\Software\\Nowy\\Klucz");
  EXPECT_FALSE(r.Status());
  EXPECT_EQ(r.nCallSuccess, reg::ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(r.Create());
  EXPECT_TRUE(r.Status());
  reg::resetForTests();
  EXPECT_TRUE(XBPREG("HKEY_CURRENT_USER\\software\\NOWY\\klucz").Status());
}

TEST_F(XbpregTest, UnknownRootStaysUnbound) {
  XBPREG r("HKEY_NOWHERE\\Software\\X", true);
  EXPECT_EQ(r.nHKey, 0u);
  EXPECT_FALSE(r.Status());
  EXPECT_FALSE(r.Create());
  EXPECT_FALSE(r.MoveDown("Y"));
  EXPECT_TRUE(r.GetValue("x").isNil());
  EXPECT_NE(r.SetValue("x", Value("y")), 0);
}

TEST_F(XbpregTest, ExactComparisonIsRestoredAfterBinding) {
  tav::rt::settings().exact = true;
  XBPREG r("HKEY_CURRENT_USER\\A", true);
  EXPECT_TRUE(tav::rt::settings().exact);
  tav::rt::settings().exact = false;
}

TEST_F(XbpregTest, NumberFiveIsStoredAsFourLittleEndianBytes) {
  XBPREG r("HKEY_CURRENT_USER\\K", true);
  EXPECT_EQ(r.SetValue("NoModify", Value(5)), 0);
  auto [type, data] = raw(reg::HKEY_CURRENT_USER, "K", "NoModify");
  EXPECT_EQ(type, reg::REG_DWORD);
  EXPECT_EQ(data, std::string("\x05\x00\x00\x00", 4));
  Value back = r.GetValue("NoModify");
  ASSERT_TRUE(back.isNumber());
  EXPECT_EQ(back.num(), 5);
  // A double word keeps the integral part; a negative number its 32-bit form.
  r.SetValue("big", Value(4294967295.0));
  EXPECT_EQ(r.GetValue("big").num(), 4294967295.0);
  r.SetValue("neg", Value(-1));
  EXPECT_EQ(raw(reg::HKEY_CURRENT_USER, "K", "neg").second, std::string("\xff\xff\xff\xff", 4));
  r.SetValue("frac", Value(7.9));
  EXPECT_EQ(r.GetValue("frac").num(), 7);
}

TEST_F(XbpregTest, TextIsAStringWithItsZeroOrBinaryOnRequest) {
  XBPREG r("HKEY_CURRENT_USER\\K", true);
  EXPECT_EQ(r.SetValue("Program", Value("C:\\Tamborex\\Tav\\2025\\")), 0);
  auto [type, data] = raw(reg::HKEY_CURRENT_USER, "K", "Program");
  EXPECT_EQ(type, reg::REG_SZ);
  EXPECT_EQ(data, std::string("C:\\Tamborex\\Tav\\2025\\") + '\0');
  EXPECT_EQ(r.GetValue("program").str(), "C:\\Tamborex\\Tav\\2025\\");
  // Bytes pass through unchanged: the caller gives ANSI and converts what it reads.
  r.SetValue("pl", Value("\xa3\xf3\x64\x9f"));
  EXPECT_EQ(r.GetValue("pl").str(), "\xa3\xf3\x64\x9f");

  r.cSaveStringTypeAs = "B";
  r.SetValue("bin", Value("abc"));
  EXPECT_EQ(raw(reg::HKEY_CURRENT_USER, "K", "bin"), std::make_pair(uint32_t{reg::REG_BINARY}, std::string("abc")));
  EXPECT_EQ(r.GetValue("bin").str(), "abc");
}

TEST_F(XbpregTest, ExpandableStringReadsBackExpanded) {
  ::setenv("TEMP", "C:\\Users\\jan\\Temp", 1);
  reg::HKEY h = 0;
  ASSERT_EQ(reg::RegCreateKeyEx(reg::HKEY_CURRENT_USER, "K", 0, "", 0, reg::KEY_ALL_ACCESS, &h,
                                nullptr),
            0);
  std::string data = std::string("%TEMP%\\x") + '\0';
  reg::RegSetValueEx(h, "t", 0, reg::REG_EXPAND_SZ, reinterpret_cast<const uint8_t*>(data.data()),
                     static_cast<uint32_t>(data.size()));
  reg::RegCloseKey(h);
  XBPREG r("HKEY_CURRENT_USER\\K");
  EXPECT_EQ(r.GetValue("t").str(), "C:\\Users\\jan\\Temp\\x");
  ::unsetenv("TEMP");
}

TEST_F(XbpregTest, ArraysAndOtherValuesRoundTrip) {
  XBPREG r("HKEY_CURRENT_USER\\K", true);
  tav::rt::Array inner{Value("b"), Value(tav::rt::Date::fromYmd(2025, 1, 31)), Value(true)};
  Value arr(tav::rt::Array{Value("a"), Value::number(12.5, 8, 2), Value(), Value(inner),
                           Value::memo("memo"), Value(tav::rt::Array{})});
  EXPECT_EQ(r.SetValue("arr", arr), 0);
  EXPECT_EQ(raw(reg::HKEY_CURRENT_USER, "K", "arr").first, reg::REG_BINARY);
  Value back = r.GetValue("arr");
  EXPECT_TRUE(back.identical(arr));
  EXPECT_EQ(back.arr()[1].numInfo().decimals, 2);
  EXPECT_EQ(back.arr()[4].type(), tav::rt::Type::Memo);

  r.SetValue("date", Value(tav::rt::Date::fromYmd(2024, 2, 29)));
  EXPECT_EQ(r.GetValue("date").date(), tav::rt::Date::fromYmd(2024, 2, 29));
  r.SetValue("log", Value(false));
  EXPECT_TRUE(r.GetValue("log").isLogical());

  r.cReadBinaryTypeAs = "C";
  Value rawBack = r.GetValue("arr");
  ASSERT_TRUE(rawBack.isText());
  EXPECT_EQ(rawBack.str(), *tav::db::serializeValue(arr));

  EXPECT_EQ(r.SetValue("nil", Value()), reg::ERROR_INVALID_PARAMETER);
}

TEST(ValueForm, RefusesEveryDamagedForm) {
  Value v(tav::rt::Array{Value("tekst"), Value(3), Value(tav::rt::Array{Value(true)})});
  std::string good = *tav::db::serializeValue(v);
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_FALSE(tav::db::deserializeValue(good.substr(0, n))) << n;
  EXPECT_FALSE(tav::db::deserializeValue(good + "x"));
  std::string hugeCount = good;
  hugeCount[5] = '\xff';  // the outer array's count
  EXPECT_FALSE(tav::db::deserializeValue(hugeCount));
  std::string badLogical = *tav::db::serializeValue(Value(true));
  badLogical.back() = 7;
  EXPECT_FALSE(tav::db::deserializeValue(badLogical));
  // Nesting deeper than any value the tool stores is refused, not followed.
  std::string deep = "TAV\x01";
  for (int i = 0; i < 100000; ++i) deep += std::string("A\x01\x00\x00\x00", 5);
  deep += "U";
  EXPECT_FALSE(tav::db::deserializeValue(deep));
}

TEST_F(XbpregTest, StandardIsTheDefaultValue) {
  XBPREG r("HKEY_CURRENT_USER\\K", true);
  EXPECT_TRUE(r.Standard().isNil());
  EXPECT_EQ(r.Standard(Value("Parametry instalacyjne TAV")), 0);
  EXPECT_EQ(r.Standard().str(), "Parametry instalacyjne TAV");
  EXPECT_EQ(raw(reg::HKEY_CURRENT_USER, "K", "").second,
            std::string("Parametry instalacyjne TAV") + '\0');
}

TEST_F(XbpregTest, AbsentValueIsNilWithItsCode) {
  XBPREG r("HKEY_CURRENT_USER\\K", true);
  EXPECT_TRUE(r.GetValue("none").isNil());
  EXPECT_EQ(r.nCallSuccess, reg::ERROR_FILE_NOT_FOUND);
  r.SetValue("a", Value("12345"));
  r.SetValue("b", Value("1"));
  XBPREG again("HKEY_CURRENT_USER\\K");
  EXPECT_EQ(again.nValues, 2u);
  EXPECT_EQ(again.nMaxValueLen, 6u);
  EXPECT_EQ(again.nMaxValueNameLen, 1u);
  EXPECT_FALSE(again.cLastWriteTime.empty());
}

TEST_F(XbpregTest, MoveDownStaysUnderTheSameRoot) {
  for (const char* root : {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                           "HKEY_USERS", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"}) {
    XBPREG r(std::string(root) + "\\Software\\Tamborex\\Tav\\2025", true);
    ASSERT_TRUE(r.Status()) << root;
    uint32_t handle = r.nHKey;
    EXPECT_TRUE(r.MoveDown("2025")) << root;
    EXPECT_EQ(r.nHKey, handle);
    EXPECT_EQ(r.KeyName(), std::string(root) + "\\Software\\Tamborex\\Tav\\2025\\2025");
    EXPECT_TRUE(r.Status());
    EXPECT_TRUE(XBPREG(r.KeyName()).Status());
  }
  XBPREG top("HKEY_CURRENT_USER");
  EXPECT_TRUE(top.MoveDown("Software"));
  EXPECT_EQ(top.KeyName(), "HKEY_CURRENT_USER\\Software");
  // A name the store refuses leaves the object where it was.
  XBPREG k("HKEY_CURRENT_USER\\Software", true);
  EXPECT_FALSE(k.MoveDown("a\\\\b"));
  EXPECT_EQ(k.KeyName(), "HKEY_CURRENT_USER\\Software");
  EXPECT_TRUE(k.Status());
}

TEST_F(XbpregTest, QueryRegistryAndNetName) {
  XBPREG r("HKEY_LOCAL_MACHINE\\Software\\Q", true);
  r.SetValue("text", Value("abc"));
  r.SetValue("num", Value(3));
  EXPECT_EQ(tav::db::QUERYREGISTRY(reg::HKEY_LOCAL_MACHINE, "Software\\Q", "text"), "abc");
  EXPECT_EQ(tav::db::QUERYREGISTRY(reg::HKEY_LOCAL_MACHINE, "Software\\Q", "num"), "");
  EXPECT_EQ(tav::db::QUERYREGISTRY(reg::HKEY_LOCAL_MACHINE, "Software\\Q", "none"), "");
  EXPECT_EQ(tav::db::QUERYREGISTRY(reg::HKEY_LOCAL_MACHINE, "Software\\None", "text"), "");
  tav::os::setComputerName("KSIEGOWA-3");
  EXPECT_EQ(tav::db::NETNAME(), "KSIEGOWA-3");
  tav::os::setComputerName(std::nullopt);
  EXPECT_EQ(tav::db::NETNAME(), tav::os::computerName());
}

}  // namespace
