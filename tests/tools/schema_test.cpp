// The sample data must look like data the conversions have really met: these tests hold the
// schema of tools/mkrelease against every count, position, width and key the upgrade relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <string>

#include "db/index_catalogue.h"
#include "engine/expr/expression.h"
#include "runtime/error.h"
#include "schema.h"

namespace {

using tav::db::firmCatalogue;
using tav::db::tagsFor;
using tav::mkrelease::Field;
using tav::mkrelease::kShipped;
using tav::mkrelease::Place;
using tav::mkrelease::Schema;
using tav::mkrelease::Table;

// The database release mkrelease writes by default: most firms are at it.
const std::string kOld = "025.01.001";

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

const Schema& schema() { return Schema::builtIn(); }

const Table& table(Place place, const std::string& name) {
  const Table* t = schema().find(place, name);
  if (!t) throw std::runtime_error("schema lacks " + name);
  return *t;
}
const Table& firm(const std::string& name) { return table(Place::Firm, name); }

std::optional<Field> fieldOf(const std::vector<Field>& fields, const std::string& name) {
  for (const Field& f : fields) {
    if (lower(f.name) == lower(name)) return f;
  }
  return std::nullopt;
}
int positionOf(const std::vector<Field>& fields, const std::string& name) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (lower(fields[i].name) == lower(name)) return static_cast<int>(i) + 1;
  }
  return 0;
}

// ---- The text format -------------------------------------------------------------

TEST(SchemaText, RunsAnnotationsAndStructuresAtARelease) {
  Schema s;
  std::string why;
  ASSERT_TRUE(
      Schema::parse("table t firm since 019 optional\n"
                    "  a  C 10   # comment\n"
                    "  w  C 40 widened 023 from 30\n"
                    "  k08..k11 N 10 2\n"
                    "  x  N 5 added 030\n"
                    "  y  D 8 added 045\n",
                    s, why))
      << why;
  const Table& t = s.tables().at(0);
  EXPECT_TRUE(t.optional);
  EXPECT_FALSE(t.existsAt("025.01.018"));
  EXPECT_TRUE(t.existsAt("025.01.019"));
  ASSERT_EQ(t.fields.size(), 8u);
  EXPECT_EQ(t.fields[2].name, "k08");
  EXPECT_EQ(t.fields[5].name, "k11");
  EXPECT_EQ(t.fields[5].decimals, 2);

  auto at022 = t.structureAt("025.01.022");
  EXPECT_EQ(at022.size(), 6u);
  EXPECT_EQ(at022[1].length, 30);
  auto at030 = t.structureAt("025.01.030");
  EXPECT_EQ(at030.size(), 7u);
  EXPECT_EQ(at030[1].length, 40);
  EXPECT_EQ(t.structureAt(kShipped).size(), 8u);
  // The template in str\ is found under its base name.
  EXPECT_EQ(s.find(Place::Str, "T"), &t);
  EXPECT_EQ(s.find(Place::Public, "t"), nullptr);
}

TEST(SchemaText, RefusesWhatTheEngineWouldRefuseOrAnUpgradeCouldNotProduce) {
  struct Case {
    const char* text;
    const char* reason;
  } cases[] = {
      {"table t firm\n  a C 255\n", "length 255"},
      {"table t firm\n  a D 10\n", "length 10"},
      {"table t firm\n  a X 1\n", "unknown type"},
      {"table t firm\n  a C 1\n  A N 2\n", "appears twice"},
      {"table t firm\n  k1..k3 C 1\n  k2 C 1\n", "appears twice"},
      {"table t firm\n  nazwa_kontr C 1\n", "bad field name"},
      {"table t firm\n  a C 1 added 004\n  b C 1\n", "must come before"},
      {"table t firm\n  a C 1 added 030\n  b C 1 added 004\n", "must come before"},
      {"table t firm\n  a C 10 widened 011 from 12\n", "narrower"},
      {"table t firm\n  a N 4 3\n", "decimals"},
      {"table t firm\n  a C 1 added 4\n", "three digits"},
      {"table t attic\n  a C 1\n", "unknown word"},
      {"table t firm\n", "no fields"},
      {"  a C 1\n", "before the first table"},
      {"table t firm\n  a C 1\ntable t firm\n  b C 1\n", "described twice"},
      {"table averylongname firm\n  a C 1\n", "bad table name"},
  };
  for (const Case& c : cases) {
    Schema s;
    std::string why;
    EXPECT_FALSE(Schema::parse(c.text, s, why)) << c.text;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.text << " gave: " << why;
    EXPECT_EQ(why.rfind("line ", 0), 0u) << why;
    EXPECT_TRUE(s.tables().empty());
  }
}

TEST(SchemaText, BuiltInTextParses) {
  Schema s;
  std::string why;
  EXPECT_TRUE(Schema::parse(tav::mkrelease::builtInSchemaText(), s, why)) << why;
  EXPECT_EQ(s.tables().size(), schema().tables().size());
}

// ---- The index catalogue -----------------------------------------------------------

TEST(IndexCatalogue, HasTheTablesAndDeletionsInTheirPlaces) {
  const auto& rows = firmCatalogue();
  std::vector<std::string> order;
  int tables = 0;
  for (const auto& row : rows) {
    if (row.isDeletion()) {
      EXPECT_TRUE(row.table.empty());
      EXPECT_TRUE(row.tags.empty());
      order.push_back("-" + row.deleteFile);
    } else {
      ++tables;
      EXPECT_FALSE(row.tags.empty()) << row.table;
      order.push_back(row.table);
    }
  }
  EXPECT_EQ(tables, 139);
  auto after = [&](const std::string& table) {
    auto it = std::find(order.begin(), order.end(), table);
    EXPECT_NE(it, order.end()) << table;
    std::vector<std::string> next;
    for (++it; it != order.end() && (*it)[0] == '-'; ++it) next.push_back(*it);
    return next;
  };
  EXPECT_EQ(after("st_wn"), (std::vector<std::string>{"-dsto.dbf", "-dsto.lpp", "-st_dd.dbf"}));
  EXPECT_EQ(after("ppk_zap"), (std::vector<std::string>{"-ppk_tree.dbf"}));
  EXPECT_EQ(after("p_de_wyn"), (std::vector<std::string>{"-p_wyp1.dbf", "-wpu.dbf", "-wp.dbf",
                                                         "-wh.dbf", "-whw.dbf"}));
  EXPECT_EQ(order.front(), "workus");
  EXPECT_EQ(order.back(), "wspolnik");
  EXPECT_EQ(order.size(), 148u);
}

TEST(IndexCatalogue, OnlySldBuffAndPAldAreOptionalAndTagsAreUnique) {
  std::set<std::string> optional, names;
  for (const auto* list : {&firmCatalogue(), &tav::db::stepOnlyIndexes()}) {
    for (const auto& row : *list) {
      if (row.isDeletion()) continue;
      EXPECT_TRUE(names.insert(lower(row.table)).second) << "listed twice: " << row.table;
      if (row.optional) optional.insert(row.table);
      std::set<std::string> tags;
      for (const auto& tag : row.tags)
        EXPECT_TRUE(tags.insert(lower(tag.name)).second) << row.table << " " << tag.name;
    }
  }
  EXPECT_EQ(optional, (std::set<std::string>{"sld_buff", "p_ald"}));
}

TEST(IndexCatalogue, LookupKeepsLetterCaseOfKeysAndIgnoresItInNames) {
  const auto* ksa = tagsFor("KSA_ROZ.DBF");
  ASSERT_NE(ksa, nullptr);
  ASSERT_EQ(ksa->size(), 3u);
  EXPECT_EQ((*ksa)[1].key, "Tkli+lpp_kli+dtos(data_ter)");
  EXPECT_EQ((*ksa)[2].name, "Troz");
  const auto* bud = tagsFor("pl_bud");
  ASSERT_NE(bud, nullptr);
  EXPECT_EQ((*bud)[1], (tav::db::IndexTag{"Kraj", "Kraj"}));
  EXPECT_NE(tagsFor("klient\\klient"), nullptr);
  EXPECT_EQ(tagsFor("dsto"), nullptr);
  EXPECT_EQ(tagsFor("ntx"), nullptr);
  EXPECT_EQ(tagsFor(""), nullptr);
}

// ---- Key expressions against the structures ------------------------------------------

// One blank record of a structure, as the expression compiler binds names to it.
class BlankRecord : public tav::engine::ExprContext {
 public:
  explicit BlankRecord(const std::vector<Field>& fields) : fields_(fields) {}
  std::shared_ptr<tav::engine::BoundField> bindField(std::string_view alias,
                                                     std::string_view name) override {
    if (!alias.empty()) return nullptr;
    auto f = fieldOf(fields_, std::string(name));
    return f ? std::make_shared<Blank>(*f) : nullptr;
  }
  std::shared_ptr<tav::engine::BoundArea> bindArea(std::string_view) override { return nullptr; }

 private:
  class Blank : public tav::engine::BoundField {
   public:
    explicit Blank(const Field& f) : f_(f) {}
    tav::rt::Value get() const override {
      switch (f_.type) {
        case 'N':
          return tav::rt::Value::number(0, f_.length, f_.decimals);
        case 'D':
          return tav::rt::Value(tav::rt::Date());
        case 'L':
          return tav::rt::Value(false);
        case 'M':
          return tav::rt::Value::memo("");
        default:
          return tav::rt::Value(std::string(static_cast<size_t>(f_.length), ' '));
      }
    }
    void put(const tav::rt::Value&) override {}
    char type() const override { return f_.type; }
    int length() const override { return f_.length; }
    int decimals() const override { return f_.decimals; }

   private:
    Field f_;
  };
  const std::vector<Field>& fields_;
};

// Every key compiles with the engine's own compiler against the structure, to a character, date
// or numeric key at most 240 bytes wide (what a compound index holds), and a blank record gives a
// character key of exactly that width.
void expectKeysValid(const Table& t, const tav::db::TagList& tags, std::string_view release) {
  auto fields = t.structureAt(release);
  BlankRecord record(fields);
  for (const auto& tag : tags) {
    SCOPED_TRACE(t.name + " tag " + tag.name + " \"" + tag.key + "\" at " + std::string(release));
    std::unique_ptr<tav::engine::Expression> e;
    tav::rt::Error error;
    ASSERT_TRUE(
        tav::rt::guarded([&] { e = tav::engine::Expression::compile(tag.key, record); }, &error))
        << error.description;
    const char type = e->resultType();
    EXPECT_TRUE(type == 'C' || type == 'D' || type == 'N') << type;
    if (type != 'C') continue;
    EXPECT_LE(e->resultWidth(), 240);
    std::string key;
    ASSERT_TRUE(tav::rt::guarded([&] { e->evalKey(key); }, &error)) << error.description;
    EXPECT_EQ(key.size(), static_cast<size_t>(e->resultWidth()));
  }
}

TEST(SchemaAgreement, EveryFirmKeyCompilesAgainstItsTableOldAndShipped) {
  for (const auto* list : {&firmCatalogue(), &tav::db::stepOnlyIndexes()}) {
    for (const auto& row : *list) {
      if (row.isDeletion()) continue;
      const Table* t = schema().find(Place::Firm, row.table);
      ASSERT_NE(t, nullptr) << "no structure for " << row.table;
      EXPECT_EQ(t->optional, row.optional) << row.table;
      if (t->existsAt(kOld)) expectKeysValid(*t, row.tags, kOld);
      expectKeysValid(*t, row.tags, kShipped);
    }
  }
}

TEST(SchemaAgreement, EverySharedKeyCompilesAgainstItsTable) {
  for (const auto& [place, list] : {std::pair{Place::Str, &tav::db::strIndexes()},
                                    std::pair{Place::Public, &tav::db::publicIndexes()}}) {
    for (const auto& idx : *list) {
      const Table* t = schema().find(place, idx.table);
      ASSERT_NE(t, nullptr) << "no structure for " << idx.table;
      EXPECT_EQ(t->optional && place == Place::Public, idx.optional && place == Place::Public)
          << idx.table;
      expectKeysValid(*t, idx.tags, kOld);
      expectKeysValid(*t, idx.tags, kShipped);
    }
  }
}

TEST(SchemaAgreement, DeletedFilesAreObsoleteFirmTables) {
  for (const auto& row : firmCatalogue()) {
    if (!row.isDeletion() || row.deleteFile.ends_with(".lpp")) continue;
    std::string base = row.deleteFile.substr(0, row.deleteFile.size() - 4);
    const Table* t = schema().find(Place::Firm, base);
    ASSERT_NE(t, nullptr) << base;
    EXPECT_TRUE(t->obsolete) << base;
  }
  for (const Table& t : schema().tables()) {
    if (!t.obsolete) continue;
    EXPECT_TRUE(
        std::any_of(firmCatalogue().begin(), firmCatalogue().end(),
                    [&](const auto& row) { return row.deleteFile == t.baseName() + ".dbf"; }))
        << t.name << " is obsolete but nothing deletes it";
  }
}

// ---- Conditions of the conversion steps ---------------------------------------------

// "Add when the table has fewer than N fields": the older structure meets it, the shipped
// template does not, so that one upgrade adds the fields and a second changes nothing.
TEST(SchemaAgreement, FieldCountThresholds) {
  struct Threshold {
    int step;
    Place place;
    const char* table;
    size_t below;
  } thresholds[] = {
      {4, Place::Firm, "st_en", 62},    {4, Place::Firm, "st_gn", 57},
      {4, Place::Firm, "st_dok", 21},   {5, Place::Firm, "st_gn", 58},
      {21, Place::Firm, "p_us", 22},    {24, Place::Firm, "p_us", 24},
      {30, Place::Firm, "firma", 146},  {32, Place::Firm, "ks_dok", 92},
      {38, Place::Firm, "p_pa", 68},    {40, Place::Firm, "p_f", 236},
      {42, Place::Firm, "sam_rej", 80}, {43, Place::Firm, "v_oss", 49},
      {44, Place::Firm, "v_data", 82},  {44, Place::Firm, "rk_dok", 27},
      {45, Place::Firm, "p_uz", 25},    {45, Place::Firm, "ks_auto", 32},
      {46, Place::Firm, "p_dat", 76},   {2, Place::Public, "wpit", 18},
  };
  for (const auto& c : thresholds) {
    const Table& t = table(c.place, c.table);
    SCOPED_TRACE(std::string(c.table) + " step " + std::to_string(c.step));
    EXPECT_LT(t.structureAt(kOld).size(), c.below);
    EXPECT_GE(t.structureAt(kShipped).size(), c.below);
    // The step's own fields are what closes the gap: just after it the table is at or above
    // the threshold, so a second upgrade does not try again.
    EXPECT_GE(t.structureAt(tav::mkrelease::stepRelease(c.step)).size(), c.below);
  }
  // The public table keeps its count below 18 in the database's own copy only; its template
  // in str\ is the shipped one the step appends into.
  EXPECT_EQ(table(Place::Str, "wpit").structureAt(kShipped).size(), 18u);
}

// Every field a step adds, with the type the step gives it: absent in the older structure,
// present in the shipped one, appended (so after every older field).
TEST(SchemaAgreement, FieldsTheStepsAdd) {
  struct Added {
    int step;
    const char* table;
    const char* field;
    char type;
    int length, decimals;
  } added[] = {
      {1, "ks_kor", "MAJATEK", 'C', 1, 0},     {1, "ks_kor", "TYP_P", 'C', 1, 0},
      {1, "ks_kor", "LP", 'N', 10, 0},         {1, "ks_kora", "LP", 'N', 10, 0},
      {4, "st_en", "SN", 'C', 1, 0},           {4, "st_gn", "dok_l", 'C', 40, 0},
      {4, "st_gn", "typ_l", 'C', 1, 0},        {4, "st_gn", "NR_OT", 'C', 40, 0},
      {4, "st_dok", "dok_l", 'C', 40, 0},      {4, "st_dok", "typ_l", 'C', 1, 0},
      {21, "p_us", "Koszty", 'N', 12, 2},      {21, "p_us", "Podatek", 'N', 12, 2},
      {21, "p_us", "wyplata", 'N', 12, 2},     {21, "p_us", "is_k", 'C', 1, 0},
      {21, "p_us", "is_p", 'C', 1, 0},         {21, "p_us", "is_r", 'C', 1, 0},
      {21, "p_us", "zus52", 'N', 12, 2},       {21, "p_us", "is_z52", 'C', 1, 0},
      {30, "firma", "metoda_zd", 'N', 1, 0},   {32, "ks_dok", "Wal", 'C', 3, 0},
      {32, "ks_dok", "Dwal", 'D', 8, 0},       {32, "ks_dok", "Kwal", 'N', 12, 2},
      {32, "ks_dok", "Kurs", 'N', 12, 8},      {38, "p_pa", "REF_OD", 'C', 6, 0},
      {38, "p_pa", "REF_DO", 'C', 6, 0},       {38, "p_pa", "REF_KW", 'N', 10, 2},
      {38, "p_alu", "przelew", 'C', 1, 0},     {40, "p_f", "SWY_DK", 'N', 10, 0},
      {40, "p_f", "SWY_DR", 'N', 10, 0},       {40, "p_f", "SWY_GN", 'N', 10, 2},
      {40, "p_f", "SWY_WYN", 'N', 10, 2},      {42, "sam_rej", "CO2", 'N', 10, 2},
      {43, "v_oss", "NR_KSEF", 'C', 36, 0},    {43, "v_oss", "KSEF_SERW", 'C', 1, 0},
      {44, "v_data", "DATA0_ML", 'D', 8, 0},   {44, "v_data", "DATA1_ML", 'D', 8, 0},
      {44, "v_data", "REPLY_ML", 'D', 8, 0},   {44, "rk_dok", "R_TO_R", 'C', 1, 0},
      {44, "rk_dok", "lpp_rach", 'C', 10, 0},  {44, "rk_dok", "lpp_dokp", 'C', 10, 0},
      {45, "ks_fw", "IL_TER", 'N', 5, 0},      {45, "ks_fw", "DATA_VAT", 'D', 8, 0},
      {45, "ks_fw", "D_KURS_TAV", 'D', 8, 0},  {45, "ks_fw", "D_KURS_VAT", 'D', 8, 0},
      {45, "ks_fw", "F_kURS", 'N', 10, 4},     {45, "p_uz", "komornik", 'N', 10, 2},
      {45, "ks_auto", "NR_KSEFZ", 'C', 36, 0}, {45, "ks_auto", "FIR_S", 'C', 80, 0},
      {45, "ks_auto", "ADR_S", 'C', 80, 0},    {45, "ks_auto", "NIP_S", 'C', 20, 0},
      {45, "ks_auto", "UE_S", 'C', 2, 0},      {45, "ks_auto", "FIR_Z", 'C', 80, 0},
      {45, "ks_auto", "ADR_Z", 'C', 80, 0},    {45, "ks_auto", "NIP_Z", 'C', 20, 0},
      {45, "ks_auto", "UE_Z", 'C', 2, 0},      {45, "ks_auto", "LPP_KLIS", 'C', 2, 0},
      {45, "ks_auto", "LPP_KLIZ", 'C', 2, 0},  {46, "p_dat", "PRPL", 'N', 10, 2},
      {46, "p_dat", "LICZYC", 'C', 12, 0},     {46, "p_dat", "K01", 'N', 10, 0},
      {46, "p_dat", "K12", 'N', 10, 0},        {46, "p_dat", "P01", 'N', 10, 0},
      {46, "p_dat", "P12", 'N', 10, 0},
  };
  for (const auto& a : added) {
    SCOPED_TRACE(std::string(a.table) + "." + a.field);
    const Table& t = firm(a.table);
    auto before = t.structureAt(tav::mkrelease::stepRelease(a.step - 1));
    EXPECT_FALSE(fieldOf(before, a.field).has_value());
    auto after = t.structureAt(tav::mkrelease::stepRelease(a.step));
    auto f = fieldOf(after, a.field);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->type, a.type);
    EXPECT_EQ(f->length, a.length);
    EXPECT_EQ(f->decimals, a.decimals);
    EXPECT_GT(positionOf(after, a.field), static_cast<int>(before.size()));
    EXPECT_EQ(f->presentAt(kOld), a.step <= 1);
  }
  EXPECT_EQ(firm("p_dat").structureAt(kShipped).size() - firm("p_dat").structureAt(kOld).size(),
            26u);
}

// Fields the steps address by number, and the named field whose width decides whether the
// step widens them.
TEST(SchemaAgreement, FieldsAddressedByPosition) {
  struct Positional {
    int step;
    const char* table;
    int position;
    const char* name;   // nullptr when the Part does not name it
    int newLength;      // 0 when the step does not widen it
    const char* guard;  // the field whose width decides, nullptr when the step always widens
    int guardBelow;
  } cases[] = {
      {11, "wspolnik", 15, "adres_nrd", 10, "adres_nrd", 9},
      {23, "ks_kor", 30, nullptr, 40, nullptr, 0},
      {31, "p_skld", 16, "r1", 165, "r1", 160},
      {31, "p_skld", 17, "r2", 165, "r1", 160},
      {31, "p_skld", 18, "r3", 165, "r1", 160},
      {31, "p_skld", 19, "r4", 165, "r1", 160},
      {36, "p_fcfg", 5, "pimp", 200, "pimp", 180},
      {45, "sam_dok", 26, nullptr, 80, "firma", 80},
      {45, "sam_dok", 29, nullptr, 80, "firma", 80},
      {45, "sam_rej", 27, nullptr, 80, "firma", 80},
      {45, "sam_rej", 28, nullptr, 80, "firma", 80},
      {45, "ks_fw", 14, "nazwa_kli", 80, "nazwa_kli", 80},
      {45, "ks_fw", 34, nullptr, 40, "nazwa_kli", 80},
      {45, "ks_auto", 7, nullptr, 40, nullptr, 0},
      {45, "ks_auto", 8, nullptr, 40, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.table) + " field " + std::to_string(c.position));
    const Table& t = firm(c.table);
    auto old = t.structureAt(kOld);
    auto shipped = t.structureAt(kShipped);
    ASSERT_GE(old.size(), static_cast<size_t>(c.position));
    const Field& o = old[c.position - 1];
    const Field& s = shipped[c.position - 1];
    EXPECT_EQ(o.name, s.name);
    if (c.name) {
      EXPECT_EQ(lower(o.name), c.name);
    }
    EXPECT_EQ(o.type, 'C');
    EXPECT_LT(o.length, c.newLength);
    EXPECT_EQ(s.length, c.newLength);
    if (c.guard) {
      EXPECT_LT(fieldOf(old, c.guard)->length, c.guardBelow);
      EXPECT_GE(fieldOf(shipped, c.guard)->length, c.guardBelow);
    }
  }
  // The formula fields that release 017 rewrites: text wide enough for the longer words.
  for (auto [name, from, to] : {std::tuple{"p_skld", 16, 23}, std::tuple{"p_sklm", 7, 14}}) {
    auto fields = firm(name).structureAt(kOld);
    ASSERT_GE(fields.size(), static_cast<size_t>(to));
    for (int i = from; i <= to; ++i) {
      EXPECT_EQ(fields[i - 1].type, 'C') << name << " " << i;
      EXPECT_GE(fields[i - 1].length, 100) << name << " " << i;
    }
  }
}

// Fields the data rules of the firm steps, the public steps and the upgrade read or write,
// with the type the rule needs: present at the older release unless a step adds them.
TEST(SchemaAgreement, FieldsTheRulesUse) {
  struct Use {
    Place place;
    const char* table;
    const char* field;
    char type;
    int minLength;
  } uses[] = {
      {Place::Firm, "firma", "ryczalt", 'C', 1},
      {Place::Firm, "firma", "ident", 'C', 1},
      {Place::Firm, "st_gn", "data_l", 'D', 8},
      {Place::Firm, "st_gn", "powody_l", 'C', 10},
      {Place::Firm, "st_en", "lpp_i", 'C', 1},
      {Place::Firm, "st_en", "nip", 'C', 10},
      {Place::Firm, "p_p", "lpp", 'C', 1},
      {Place::Firm, "p_pa", "p5", 'D', 8},
      {Place::Firm, "p_pa", "p6", 'D', 8},
      {Place::Firm, "p_um", "ift", 'C', 2},
      {Place::Firm, "p_um", "ift2", 'C', 1},
      {Place::Firm, "p_ift", "typ1", 'C', 2},
      {Place::Firm, "p_ift", "t3", 'C', 1},
      {Place::Firm, "p_cals", "dr", 'N', 2},
      {Place::Firm, "p_cals", "dw", 'C', 30},
      {Place::Firm, "p_us", "kwota", 'N', 10},
      {Place::Firm, "p_us", "ror", 'N', 10},
      {Place::Firm, "p_us", "gotowka", 'N', 10},
      {Place::Firm, "p_us", "fp", 'N', 10},
      {Place::Firm, "skl_52r", "lpp_o", 'C', 10},
      {Place::Firm, "wspolnik", "lpp_o", 'C', 10},
      {Place::Firm, "p_n", "rmc", 'C', 6},
      {Place::Firm, "p_n", "tzus", 'C', 3},
      {Place::Firm, "p_n", "dr", 'N', 2},
      {Place::Firm, "p_n", "dk", 'N', 2},
      {Place::Firm, "p_n", "godz", 'N', 5},
      {Place::Firm, "p_n", "kwota", 'N', 10},
      {Place::Firm, "p_f", "mc", 'C', 2},
      {Place::Firm, "sam_rej", "rodzaj", 'C', 1},
      {Place::Firm, "sam_rej", "cpn_t", 'N', 1},
      {Place::Firm, "sam_rej", "rok_prod", 'C', 4},
      {Place::Firm, "sam_rej", "firma", 'C', 1},
      {Place::Firm, "sam_dok", "firma", 'C', 1},
      {Place::Firm, "uwagi", "modul", 'C', 10},
      {Place::Firm, "uwagi", "lpp", 'C', 25},
      {Place::Firm, "uwagi", "tresc", 'M', 10},
      {Place::Firm, "p_up", "lpp_p", 'C', 1},
      {Place::Firm, "ks_dok", "tk", 'C', 1},
      {Place::Firm, "ks_dok", "kwota1", 'N', 10},
      {Place::Firm, "ks_dok", "kwota2", 'N', 10},
      {Place::Firm, "ks_fw", "termin", 'D', 8},
      {Place::Firm, "ks_fw", "d_vat", 'D', 8},
      {Place::Firm, "ks_fw", "d_spr", 'D', 8},
      {Place::Firm, "ks_fw", "kurs_tav", 'N', 6},
      {Place::Firm, "ks_fw", "d_kurs", 'D', 8},
      {Place::Firm, "ntx", "ok", 'L', 1},
      {Place::Firm, "wersja", "baza", 'C', 10},
      {Place::Firm, "wersja", "nr", 'N', 5},
      {Place::Firm, "wersja", "wariant", 'C', 3},
      {Place::Database, "wersja", "baza", 'C', 10},
      {Place::Database, "wersja", "tav", 'C', 9},
      {Place::Database, "wersja", "ok", 'C', 1},
      {Place::Database, "wersja", "rok", 'C', 4},
      {Place::Release, "wb", "tav", 'C', 9},
      {Place::Program, "wersja", "rok", 'C', 4},
      {Place::Program, "wersja", "tav", 'C', 9},
      {Place::Release, "wk", "tav", 'C', 9},
      {Place::Program, "baza", "path", 'C', 60},
      {Place::Program, "setings\\station", "path_word", 'C', 1},
      {Place::Database, "install", "nr", 'N', 4},
      {Place::Database, "install", "vnr", 'N', 1},
      {Place::Public, "firmy", "vnr", 'N', 1},
      {Place::Str, "ue", "kod", 'C', 2},
      {Place::Str, "speed", "wersja", 'C', 9},
      {Place::Str, "speed", "speed", 'N', 1},
      {Place::Str, "nazwy", "nazwa", 'C', 1},
      {Place::Str, "wzorce", "plik", 'C', 12},
      {Place::Public, "wpit", "kw_zap", 'N', 10},
      {Place::Public, "fpit", "kw_zap", 'N', 10},
      {Place::Public, "fpit", "kw_odsetek", 'N', 10},
      {Place::Public, "pit_zap", "kwota_gl", 'N', 10},
      {Place::Public, "pit_zap", "odsetki", 'N', 10},
      {Place::Public, "pit_zap", "lpp_o", 'C', 1},
      {Place::Public, "pub_dat", "nv_d_check", 'D', 8},
      {Place::Public, "pub_dat", "nv_t_check", 'C', 8},
      {Place::Public, "pub_dat", "nv_r_check", 'C', 24},
      {Place::Public, "pub_dat", "nv_d_down0", 'D', 8},
      {Place::Public, "pub_dat", "nv_t_down0", 'C', 8},
      {Place::Public, "pub_dat", "nv_d_down1", 'D', 8},
      {Place::Public, "pub_dat", "nv_t_down1", 'C', 8},
  };
  for (const auto& u : uses) {
    SCOPED_TRACE(std::string(u.table) + "." + u.field);
    auto f = fieldOf(table(u.place, u.table).structureAt(kOld), u.field);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->type, u.type);
    EXPECT_GE(f->length, u.minLength);
  }
  // The exact layouts the version checks and their messages depend on.
  auto layout = [](Place p, const char* name) {
    std::string out;
    for (const Field& f : table(p, name).structureAt(kShipped)) {
      out += lower(f.name) + " " + f.type + " " + std::to_string(f.length) + " " +
             std::to_string(f.decimals) + ";";
    }
    return out;
  };
  EXPECT_EQ(layout(Place::Database, "wersja"), "baza C 10 0;tav C 9 0;ok C 1 0;rok C 4 0;");
  EXPECT_EQ(layout(Place::Release, "wb"), layout(Place::Database, "wersja"));
  EXPECT_EQ(layout(Place::Firm, "wersja"), "baza C 10 0;nr N 5 2;wariant C 3 0;");
  EXPECT_EQ(layout(Place::Release, "wk"), layout(Place::Program, "wersja"));
  EXPECT_EQ(layout(Place::Program, "baza"), "path C 60 0;");
}

// Seeks and copies between tables only work when the two sides agree in width.
TEST(SchemaAgreement, WidthsThatSeeksAndCopiesShare) {
  auto width = [](Place p, const char* t, const char* f) {
    auto field = fieldOf(table(p, t).structureAt(kShipped), f);
    return field ? field->length : -1;
  };
  struct Same {
    Place pa;
    const char *ta, *fa;
    Place pb;
    const char *tb, *fb;
  } same[] = {
      // Step 009 seeks p_p's lpp in p_pa ordered by lpp_p+sort.
      {Place::Firm, "p_p", "lpp", Place::Firm, "p_pa", "lpp_p"},
      // Step 040 seeks p_f's lpp_p + "2025" + mc in p_n ordered by lpp_p+dtos(od).
      {Place::Firm, "p_f", "lpp_p", Place::Firm, "p_n", "lpp_p"},
      // Step 025 compares partners' lpp_o with the contribution table's.
      {Place::Firm, "wspolnik", "lpp_o", Place::Firm, "skl_52r", "lpp_o"},
      // Step 045 finds ks_auto's document links in ks_dok ordered by lpp.
      {Place::Firm, "ks_auto", "lpp_ksz", Place::Firm, "ks_dok", "lpp"},
      {Place::Firm, "ks_auto", "lpp_tav", Place::Firm, "ks_dok", "lpp"},
      // The payment totals find wpit, fpit and wf records by the keys pit_zap holds.
      {Place::Public, "pit_zap", "lpp_w", Place::Public, "wpit", "lpp"},
      {Place::Public, "pit_zap", "lpp_f", Place::Public, "fpit", "lpp"},
      {Place::Public, "pit_zap", "nrfir", Place::Public, "wf", "nrfir"},
      {Place::Public, "pit_zap", "nrfir", Place::Public, "fpit", "nrfir"},
      {Place::Public, "wpit", "lpp_o", Place::Public, "wf", "lpp_o"},
      {Place::Database, "install", "vnr", Place::Public, "firmy", "vnr"},
  };
  for (const auto& s : same) {
    EXPECT_EQ(width(s.pa, s.ta, s.fa), width(s.pb, s.tb, s.fb))
        << s.ta << "." << s.fa << " / " << s.tb << "." << s.fb;
    EXPECT_GT(width(s.pa, s.ta, s.fa), 0) << s.ta << "." << s.fa;
  }
  struct Fits {
    const char *from, *to;
  } copies[] = {{"nr_ksef", "nr_ksefz"},
                {"firma", "fir_z"},
                {"adres", "adr_z"},
                {"nip", "nip_z"},
                {"ue", "ue_z"},
                {"kli", "lpp_kliz"},
                {"firma", "fir_s"},
                {"adres", "adr_s"},
                {"nip", "nip_s"},
                {"ue", "ue_s"},
                {"kli", "lpp_klis"},
                {"nr_ksef", "nr_ksef"},
                {"ksef_serw", "ksef_serw"}};
  for (const auto& c : copies) {
    EXPECT_LE(width(Place::Firm, "ks_dok", c.from), width(Place::Firm, "ks_auto", c.to))
        << c.from << " -> " << c.to;
  }
  // Step 044 moves notes under keys of the module, "F", four digits and an employee key left-padded
  // to 20.
  EXPECT_EQ(width(Place::Firm, "uwagi", "modul") + width(Place::Firm, "uwagi", "lpp"),
            10 + 1 + 4 + 20);
  EXPECT_LE(width(Place::Firm, "p_up", "lpp"), 20);
  EXPECT_LE(width(Place::Firm, "p_up", "lpp_p"), 20);
}

TEST(SchemaAgreement, DurationFieldsFollowTheWorkstationName) {
  // Class k is field 3 + k; the run records class 5 after a full reindex.
  auto fields = table(Place::Str, "nazwy").structureAt(kShipped);
  ASSERT_GE(fields.size(), 8u);
  EXPECT_EQ(lower(fields[0].name), "nazwa");
  for (size_t i = 3; i < fields.size(); ++i) EXPECT_EQ(fields[i].type, 'N') << fields[i].name;
}

// A firm at 025.01.022 (one of the sample firms) already has the contract flags that step 024
// reads.
TEST(SchemaAgreement, StructuresBetweenReleasesFollowTheSteps) {
  auto p_us = firm("p_us").structureAt("025.01.022");
  EXPECT_TRUE(fieldOf(p_us, "is_p").has_value());
  EXPECT_EQ(p_us.size(), 24u);  // so step 024 adds nothing
  EXPECT_FALSE(fieldOf(firm("firma").structureAt("025.01.022"), "metoda_zd").has_value());
  EXPECT_EQ(firm("wspolnik").structureAt("025.01.011")[14].length, 10);
  EXPECT_EQ(firm("wspolnik").structureAt("025.01.010")[14].length, 8);
  EXPECT_FALSE(firm("cpn").existsAt(kOld));
  EXPECT_TRUE(firm("cpn").existsAt("025.01.019"));
  EXPECT_FALSE(firm("ksef_p").existsAt("025.01.042"));
  EXPECT_NE(schema().find(Place::Str, "klient"), nullptr);
  EXPECT_TRUE(firm("klient\\klient").hasMemo());
}

// The templates the release's str\ must hold: everything a template step copies or the
// upgrade refreshes, and every firm table the steps take from str\.
TEST(SchemaAgreement, EveryCopiedTemplateHasAStructure) {
  const char* templates[] = {
      "inf_fir", "rnf_fir", "ks_dok",   "ks_kor",   "ks_kora", "br_cfg", "data",    "firma",
      "lic_ods", "p_fmc",   "p_fpar",   "p_kals",   "p_kalw",  "pr_mc",  "st_data", "st_limit",
      "v_data",  "v_kor",   "v_rok",    "v_wystaw", "wersje",  "wersja", "wpit",    "st_dok",
      "st_gn",   "st_en",   "wspolnik", "p_fron_p", "cpn",     "p_us",   "sme_cfg", "sme_ewi",
      "sme_lim", "sme_zw",  "p_skld",   "p_fcfg",   "p_alu",   "p_pa",   "p_f",     "ue",
      "ksef_p",  "v_oss",   "rk_dok",   "ks_auto",  "ks_fw",   "p_uz",   "sam_dok", "sam_rej",
      "p_dat",   "ods_tab", "euro",     "ebc_euro", "speed",   "pity",   "pl_min",  "min_zus",
      "pl_ulga", "st_ref",  "p_wolne",  "nazwy",    "semafor", "klient", "wzorce",
  };
  for (const char* name : templates) {
    const Table* t = schema().find(Place::Str, name);
    ASSERT_NE(t, nullptr) << name;
    EXPECT_FALSE(t->obsolete) << name;
  }
}

}  // namespace

namespace {

// The full reindex deletes "a*.*" and "rob*.*" from a firm directory, and the structure
// changes work through "z", "x" and "a" + the table's name: a firm table with such a name
// would be lost or overwritten by an upgrade.
TEST(SchemaAgreement, FirmTableNamesSurviveTheConversionsTemporaryFiles) {
  std::set<std::string> firmNames;
  for (const Table& t : schema().tables()) {
    if (t.at(Place::Firm)) firmNames.insert(t.baseName());
  }
  for (const std::string& name : firmNames) {
    EXPECT_NE(name[0], 'a') << name;
    EXPECT_NE(name.rfind("rob", 0), 0u) << name;
    EXPECT_NE(name, "stary");
    for (char prefix : {'z', 'x', 'a'}) {
      EXPECT_EQ(firmNames.count(prefix + name), 0u)
          << prefix + name << " is a temporary name of " << name;
    }
  }
}

}  // namespace
