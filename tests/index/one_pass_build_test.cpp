// Several tags built from one pass, their keys sorted and their pages packed on all cores, give
// the very bytes of the same tags built one after another: in a new file, past the memory limit
// (runs on disk), over tags that already exist (pages from the free list), and over nothing. The
// tags share the one memory limit: the build's resident memory grows by no more than it.
#include <gtest/gtest.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <fstream>
#include <random>

#include "engine/index/index_files.h"
#include "engine/index/key_encoding.h"
#include "engine/index/key_sorter.h"
#include "runtime/codepage.h"
#include "runtime/date.h"
#include "test_support.h"

namespace tav::engine {
namespace {

using test::ScratchDir;

struct Column {
  TagDefinition def;
  std::vector<std::string> keys;  // by record, from 1
};

std::vector<Column> columns(size_t records) {
  std::mt19937 rng(777);
  static const std::vector<std::string> stems = {rt::utf8ToOem("Łukasiewicz"),
                                                 rt::utf8ToOem("Żak"),
                                                 rt::utf8ToOem("Zając"),
                                                 rt::utf8ToOem("Ślusarczyk"),
                                                 rt::utf8ToOem("Sowa"),
                                                 rt::utf8ToOem("Ćwik"),
                                                 "Nowak"};
  std::vector<Column> c(3);
  c[0].def = {"NAZ", "NAZWA", KeyType::Character, 24};
  c[1].def = {"KWO", "KWOTA", KeyType::Numeric, 8};
  c[2].def = {"DAT_NAZ", "DTOS(DATA)+NAZWA", KeyType::Character, 14};
  for (size_t r = 0; r < records; ++r) {
    std::string n = stems[rng() % stems.size()] + " " + std::to_string(rng() % 3000);
    n.resize(24, ' ');
    c[0].keys.push_back(n);
    c[1].keys.push_back(
        encodeKey(rt::Value(double(rng() % 100000) / 100.0 - 300.0), KeyType::Numeric, 8));
    rt::Date d = rt::Date::fromYmd(2024, 1, 1) + static_cast<int>(rng() % 700);
    c[2].keys.push_back(d.dtos() + n.substr(0, 6));
  }
  return c;
}

std::vector<TagDefinition> definitions(const std::vector<Column>& c) {
  std::vector<TagDefinition> d;
  for (const Column& col : c) d.push_back(col.def);
  return d;
}

void oneByOne(IndexFile& f, const std::vector<Column>& c) {
  for (const Column& col : c) {
    size_t r = 0;
    KeySource src = [&](std::string& key, uint32_t& recno) {
      if (r == col.keys.size()) return false;
      key = col.keys[r];
      recno = static_cast<uint32_t>(++r);
      return true;
    };
    ASSERT_TRUE(
        f.createTag(col.def.name, col.def.keyExpression, col.def.type, col.def.keyLength, src));
  }
}

void onePass(IndexFile& f, const std::vector<Column>& c) {
  size_t r = 0;
  KeysSource src = [&](std::vector<std::string>& keys, uint32_t& recno) {
    if (r == c[0].keys.size()) return false;
    for (size_t i = 0; i < c.size(); ++i) keys[i] = c[i].keys[r];
    recno = static_cast<uint32_t>(++r);
    return true;
  };
  ASSERT_EQ(f.createTags(definitions(c), src).size(), c.size()) << indexFileError(f);
}

class OnePassBuild : public ::testing::Test {
 protected:
  ScratchDir dir;
  // Each file is made by `prepare`, then gets the tags both ways.
  void expectSameBytes(size_t records, const std::function<void(IndexFile&)>& prepare = {}) {
    auto c = columns(records);
    auto a = createIndexFile(dir / "seq.cdx"), b = createIndexFile(dir / "par.cdx");
    ASSERT_TRUE(a && b);
    if (prepare) {
      prepare(*a);
      prepare(*b);
    }
    oneByOne(*a, c);
    onePass(*b, c);
    a.reset();
    b.reset();
    std::string seq = test::readWhole(dir / "seq.cdx"), par = test::readWhole(dir / "par.cdx");
    EXPECT_GT(seq.size(), 2048u);
    EXPECT_TRUE(seq == par) << "sizes " << seq.size() << " and " << par.size();
  }
};

TEST_F(OnePassBuild, NewFileIsByteForByteTheSequentialBuild) { expectSameBytes(30000); }

TEST_F(OnePassBuild, EmptyTableToo) { expectSameBytes(0); }

TEST_F(OnePassBuild, RunsOnDiskGiveTheSameBytes) {
  size_t saved = indexBuildMemoryLimit();
  setIndexBuildMemoryLimit(64 * 1024);
  expectSameBytes(20000);
  setIndexBuildMemoryLimit(saved);
  // No run file is left behind.
  size_t files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) files += e.is_regular_file();
  EXPECT_EQ(files, 2u);
}

// This process's resident memory now and its high-water mark since the last reset, in MB; the
// reset is false where the system keeps no such mark.
double statusMb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::string(field).size())) / 1024;
  return -1;
}
bool resetPeakResident() {
#ifdef __GLIBC__
  ::malloc_trim(0);  // memory freed earlier is given back, so that the build's own is counted
#endif
  std::ofstream("/proc/self/clear_refs") << "5";
  return statusMb("VmHWM:") >= 0 && statusMb("VmHWM:") <= statusMb("VmRSS:") + 1;
}

TEST_F(OnePassBuild, TheTagsShareOneMemoryLimit) {
  auto c = columns(250000);
  size_t saved = indexBuildMemoryLimit();
  setIndexBuildMemoryLimit(16u << 20);
  auto f = createIndexFile(dir / "t.cdx");
  ASSERT_TRUE(f);
  if (!resetPeakResident()) GTEST_SKIP() << "no resident high-water mark to reset here";
  const double before = statusMb("VmRSS:");
  onePass(*f, c);
  const double grown = statusMb("VmHWM:") - before;
  setIndexBuildMemoryLimit(saved);
  // The keys of the three tags take about 31 MB to sort in memory, and their packed pages 15 MB
  // more: all of it within 16 MB, and a little for reading the runs back and writing pages.
  EXPECT_LT(grown, 16 + 6) << "MB";
  f.reset();
  auto g = createIndexFile(dir / "seq.cdx");
  oneByOne(*g, c);
  g.reset();
  EXPECT_TRUE(test::readWhole(dir / "t.cdx") == test::readWhole(dir / "seq.cdx"));
}

// Tags replaced in a file that holds them already take freed pages, in the same order.
TEST_F(OnePassBuild, ReplacedTagsReuseFreedPagesTheSameWay) {
  expectSameBytes(15000, [](IndexFile& f) { oneByOne(f, columns(4000)); });
}

TEST_F(OnePassBuild, TheTagsAreThereAndOrdered) {
  auto c = columns(5000);
  auto f = createIndexFile(dir / "t.cdx");
  onePass(*f, c);
  ASSERT_EQ(f->tags().size(), 3u);
  for (const Column& col : c) {
    IndexTag* t = f->tag(col.def.name);
    ASSERT_TRUE(t);
    size_t n = 0;
    std::string last;
    for (uint32_t r = t->first(); r; r = t->next(), ++n) {
      EXPECT_EQ(t->currentKey(), col.keys[r - 1]);
      if (n) {
        EXPECT_LE(compareKeys(*t, last.data(), t->currentKey().data(), last.size()), 0);
      }
      last = t->currentKey();
    }
    EXPECT_EQ(n, col.keys.size());
  }
}

TEST_F(OnePassBuild, ANameTwiceIsRefused) {
  auto c = columns(10);
  c[1].def.name = "naz";
  auto f = createIndexFile(dir / "t.cdx");
  KeysSource src = [](std::vector<std::string>&, uint32_t&) { return false; };
  EXPECT_TRUE(f->createTags(definitions(c), src).empty());
  EXPECT_FALSE(indexFileError(*f).empty());
}

}  // namespace
}  // namespace tav::engine
