// Groups: WorkAreaTest (fields by name, values, navigation, memos and their neighbours, pack and
// zap, locks between areas, export and import, relations, filters, expression context, paths in the
// engine's reasons) and IndexPlumbingTest (every write reaching every tag, navigation by the
// controlling tag).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "engine/fpt/memo_file.h"

#include "engine/workspace.h"
#include "engine_test_util.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/coding.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"

using namespace tav;
using namespace tav::engine;
using namespace tav::rt::literals;
using tav::test::TempDir;

namespace {

const UseOptions kShared{true, false, ""};
const UseOptions kSharedReadOnly{true, true, ""};

class WorkAreaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetSettings();
    handler_ = std::make_unique<rt::HandlerGuard>([this](rt::Error& e) {
      errors.push_back(e);
      return rt::Answer{rt::Answer::Default, {}};
    });
  }
  void TearDown() override { ws.closeAll(); }

  std::string makeTable(const std::string& name, int records = 0) {
    std::string p = (dir / name).string();
    EXPECT_TRUE(ws.create(p, {{"NAZWA", 'C', 20, 0},
                              {"KWOTA", 'N', 10, 2},
                              {"DATA", 'D', 8, 0},
                              {"OK", 'L', 1, 0},
                              {"UWAGI", 'M', 10, 0}}));
    EXPECT_TRUE(ws.use(p, "T", {}));
    for (int i = 1; i <= records; ++i) {
      EXPECT_TRUE(ws.current()->append());
      ws.current()->put("NAZWA", rt::Value("Rekord " + std::to_string(i)));
      ws.current()->put("KWOTA", rt::Value(i * 1.5));
    }
    ws.current()->commit();
    return p;
  }
  std::vector<uint32_t> visit(WorkArea& a) {
    std::vector<uint32_t> seen;
    for (a.goTop(); !a.eof(); a.skip()) seen.push_back(a.recno());
    return seen;
  }

  TempDir dir;
  Workspace ws;
  std::vector<rt::Error> errors;
  std::unique_ptr<rt::HandlerGuard> handler_;
};

TEST_F(WorkAreaTest, ValuesSurviveCloseAndReopenAndFileStaysConsistent) {
  std::string p = makeTable("a.dbf");
  WorkArea& a = *ws.current();
  ASSERT_TRUE(a.append());
  a.put("NAZWA", rt::Value("Zażółć gęślą"_oem));
  a.put("KWOTA", rt::Value(-1234.5));
  a.put("DATA", rt::Value(rt::Date::fromYmd(2025, 1, 31)));
  a.put("OK", rt::Value(true));
  a.put("UWAGI", rt::Value("Notatka ąę"_oem));
  ASSERT_TRUE(a.append());
  a.put(1, rt::Value("drugi"));
  ws.closeAll();

  std::string bytes = test::readFile(p);
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0xF5);
  EXPECT_EQ(static_cast<uint8_t>(bytes[29]), 0x64);
  uint32_t count = rt::getLE32(bytes.data() + 4);
  uint16_t hdr = rt::getLE16(bytes.data() + 8), rl = rt::getLE16(bytes.data() + 10);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(bytes.size(), size_t(hdr) + 2u * rl + 1);
  EXPECT_EQ(static_cast<uint8_t>(bytes.back()), 0x1A);

  ASSERT_TRUE(ws.use(p, "t", {}));
  WorkArea& b = *ws.current();
  EXPECT_EQ(b.lastRec(), 2u);
  EXPECT_EQ(b.get("nazwa").str(), rt::padRight("Zażółć gęślą"_oem, 20));
  EXPECT_DOUBLE_EQ(b.get(2).num(), -1234.5);
  EXPECT_EQ(b.get("DATA").date(), rt::Date::fromYmd(2025, 1, 31));
  EXPECT_TRUE(b.get("OK").log());
  EXPECT_EQ(b.get("UWAGI").str(), "Notatka ąę"_oem);
  b.skip();
  EXPECT_EQ(b.get(1).str(), rt::padRight("drugi", 20));
  EXPECT_TRUE(b.get("UWAGI").str().empty());
  EXPECT_TRUE(b.get("DATA").date().empty());
  EXPECT_TRUE(errors.empty());
}

TEST_F(WorkAreaTest, AFieldIsFoundByItsNameWhateverTheTextThatNamedItBefore) {
  makeTable("nazwy.dbf");
  WorkArea& t = *ws.current();
  // One buffer naming field after field, as a rule's loop may: each name is its own field.
  std::string name = "kwota";
  EXPECT_EQ(t.fieldPos(name), 2);
  name = "data ";
  EXPECT_EQ(t.fieldPos(name), 3);
  name = " Ok";
  EXPECT_EQ(t.fieldPos(name), 4);
  name = "uwagx";
  EXPECT_EQ(t.fieldPos(name), 0);
  name = "NAZWA";
  EXPECT_EQ(t.fieldPos(name), 1);
  EXPECT_EQ(t.fieldPos("kwota"), 2);
  EXPECT_EQ(t.fieldPos("kwota"), 2);
  EXPECT_EQ(t.fieldPos(""), 0);
}

TEST_F(WorkAreaTest, NumberTooWideForItsFieldIsRefusedNotStarred) {
  makeTable("a.dbf", 1);
  WorkArea& a = *ws.current();
  a.goTop();
  a.put("KWOTA", rt::Value(12345678.9));  // N(10,2) holds at most 9999999.99
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].genCode, rt::kErrDataWidth);
  EXPECT_DOUBLE_EQ(a.get("KWOTA").num(), 1.5);  // the old amount stays
  a.put("KWOTA", rt::Value(-999999.99));        // the widest negative that fits
  EXPECT_EQ(errors.size(), 1u);
  a.put("KWOTA", rt::Value("12"));
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[1].genCode, rt::kErrDataType);
  a.commit();
  a.goTop();
  EXPECT_DOUBLE_EQ(a.get("KWOTA").num(), -999999.99);
}

TEST_F(WorkAreaTest, HandlerMaySubstituteAValueThatFits) {
  makeTable("a.dbf", 1);
  rt::HandlerGuard g([](rt::Error&) {
    return rt::Answer{rt::Answer::Substitute, rt::Value(7.25)};
  });
  WorkArea& a = *ws.current();
  a.put("KWOTA", rt::Value(1e12));
  EXPECT_DOUBLE_EQ(a.get("KWOTA").num(), 7.25);
}

TEST_F(WorkAreaTest, NavigationSkipsDeletedRecordsOnlyWhenHidden) {
  makeTable("a.dbf", 5);
  WorkArea& a = *ws.current();
  a.goTo(2);
  a.remove();
  a.goTo(4);
  a.remove();
  EXPECT_EQ(visit(a), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  rt::settings().deletedHidden = true;
  EXPECT_EQ(visit(a), (std::vector<uint32_t>{1, 3, 5}));
  EXPECT_TRUE(a.eof());
  EXPECT_EQ(a.recno(), 6u);
  a.skip(-1);
  EXPECT_EQ(a.recno(), 5u);
  a.skip(-1);
  EXPECT_EQ(a.recno(), 3u);
  a.skip(-5);
  EXPECT_TRUE(a.bof());
  EXPECT_EQ(a.recno(), 1u);
  a.goTo(4);  // GOTO is not a skip: it reaches a deleted record
  EXPECT_TRUE(a.deleted());
  a.goBottom();
  EXPECT_EQ(a.recno(), 5u);
  a.goTo(5);
  a.remove();
  a.goTo(3);
  a.remove();
  a.goTo(1);
  a.remove();
  a.goTop();
  EXPECT_TRUE(a.eof());
  EXPECT_TRUE(a.bof());
}

TEST_F(WorkAreaTest, EmptyTableSitsOnThePhantomRecordWithBlankValues) {
  makeTable("a.dbf");
  WorkArea& a = *ws.current();
  a.goTop();
  EXPECT_TRUE(a.eof());
  EXPECT_TRUE(a.bof());
  EXPECT_EQ(a.recno(), 1u);
  EXPECT_EQ(a.get(1).str(), std::string(20, ' '));
  EXPECT_EQ(a.get(2).num(), 0);
  EXPECT_TRUE(a.get(3).date().empty());
  EXPECT_FALSE(a.get(4).log());
  EXPECT_TRUE(a.get(5).str().empty());
  a.put(1, rt::Value("x"));  // nothing to write to: refused, not silently dropped
  ASSERT_EQ(errors.size(), 1u);
}

TEST_F(WorkAreaTest, RollbackDiscardsUnwrittenChangesAndCommitKeepsThem) {
  std::string p = makeTable("a.dbf", 2);
  WorkArea& a = *ws.current();
  a.goTo(1);
  a.put("NAZWA", rt::Value("zmiana"));
  a.put("UWAGI", rt::Value("memo do odrzucenia"));
  a.rollback();
  EXPECT_EQ(rt::allTrim(a.get("NAZWA").str()), "Rekord 1");
  EXPECT_TRUE(a.get("UWAGI").str().empty());
  a.put("NAZWA", rt::Value("zapisane"));
  a.skip();
  a.rollback();  // nothing pending any more
  ws.closeAll();
  ASSERT_TRUE(ws.use(p, "T", {}));
  EXPECT_EQ(rt::allTrim(ws.current()->get("NAZWA").str()), "zapisane");
}

TEST_F(WorkAreaTest, MemoReplacedInPlaceWhenItFitsAndMovedWhenItGrows) {
  std::string p = makeTable("a.dbf", 1);
  WorkArea& a = *ws.current();
  auto pointer = [&] {
    a.commit();
    std::string bytes = test::readFile(p);
    uint16_t hdr = rt::getLE16(bytes.data() + 8);
    return std::stoi(bytes.substr(hdr + 1 + 20 + 10 + 8 + 1, 10));
  };
  a.goTop();
  a.put("UWAGI", rt::Value(std::string(30, 'a')));
  int first = pointer();
  EXPECT_EQ(first, 8);                              // 512-byte header = blocks 0..7 of 64
  a.put("UWAGI", rt::Value(std::string(56, 'b')));  // 8 + 56 still fits one block
  EXPECT_EQ(pointer(), first);
  a.put("UWAGI", rt::Value(std::string(200, 'c')));
  int moved = pointer();
  EXPECT_GT(moved, first);
  EXPECT_EQ(a.get("UWAGI").str(), std::string(200, 'c'));
  a.put("UWAGI", rt::Value(std::string()));
  a.commit();
  std::string bytes = test::readFile(p);
  uint16_t hdr = rt::getLE16(bytes.data() + 8);
  EXPECT_EQ(bytes.substr(hdr + 40, 10), std::string(10, ' '));
}

// A memo rewritten in place must fit the blocks its entry holds with the entry's 8-byte header
// counted: one byte more and it goes to the next free block, or it would run over the memo of the
// next record. Block sizes of 32 (other writers) and 64 (ours), entries of one and of two blocks,
// each replaced by a text that fits exactly and by one a byte longer; the memos behind it read
// back unchanged, here and to an independent reader.
TEST_F(WorkAreaTest, AMemoOutgrowingItsBlocksMovesAndTheNextMemoReadsBackUnchanged) {
  struct Case {
    size_t before, after;
    bool inPlace;
  };
  auto text = [](size_t n, char c) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>(c + i % 7);
    return s;
  };
  int table = 0;
  std::string tables, independent;  // for the independent reader
  for (uint16_t bs : {uint16_t(32), uint16_t(64)}) {
    const std::vector<Case> cases = {{8, bs - 8u, true},             // header + text = one block
                                     {8, bs - 7u, false},            // a byte over
                                     {8, bs - 2u, false},            // 30 over 8 in 32-byte blocks
                                     {bs + 1u, 2u * bs - 8u, true},  // two blocks, exactly
                                     {bs + 1u, 2u * bs - 7u, false},
                                     {2u * bs - 8u, 1, true}};  // shorter: stays
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(bs) + "-byte blocks, " + std::to_string(c.before) + " -> " +
                   std::to_string(c.after));
      const std::string p = (dir / ("m" + std::to_string(++table) + ".dbf")).string();
      ASSERT_TRUE(ws.create(p, {{"NR", 'N', 4, 0}, {"UWAGI", 'M', 10, 0}}));
      auto fpt = std::filesystem::path(p).replace_extension(".fpt");
      ASSERT_TRUE(MemoFile::create(fpt, bs));  // the block size another writer chose
      const std::vector<std::string> texts = {text(c.before, 'a'), text(2 * bs - 8, 'k'),
                                              text(bs / 2, 'u')};
      ASSERT_TRUE(ws.use(p, "M", {}));
      WorkArea& a = *ws.current();
      for (size_t r = 0; r < texts.size(); ++r) {
        ASSERT_TRUE(a.append());
        a.put("NR", rt::Value(static_cast<long long>(r + 1)));
        a.put("UWAGI", rt::Value(texts[r]));
      }
      a.commit();
      auto pointer = [&](int recno) {
        const std::string bytes = test::readFile(p);
        return std::stoi(bytes.substr(rt::getLE16(bytes.data() + 8) + (recno - 1) * 15 + 5, 10));
      };
      const int first = pointer(1), next = pointer(2);
      ASSERT_EQ(next - first, static_cast<int>((8 + c.before + bs - 1) / bs));  // side by side
      a.goTo(1);
      const std::string replaced = text(c.after, 'A');
      a.put("UWAGI", rt::Value(replaced));
      a.commit();
      ws.closeAll();
      if (c.inPlace)
        EXPECT_EQ(pointer(1), first);
      else
        EXPECT_GT(pointer(1), pointer(3));  // after everything the file held
      EXPECT_EQ(pointer(2), next);

      ASSERT_TRUE(ws.use(p, "M", {}));
      WorkArea& b = *ws.current();
      std::vector<std::string> expected = {replaced, texts[1], texts[2]};
      for (uint32_t r = 1; r <= 3; ++r) {
        b.goTo(r);
        EXPECT_EQ(b.get("UWAGI").str(), expected[r - 1]) << "record " << r;
      }
      ws.closeAll();
      tables += " " + p;
      for (const std::string& t : expected) independent += t + "\n";
    }
  }
  const std::string cmd =
      "/usr/bin/python3 -c \"import dbfread,sys\nfor t in sys.argv[1:]:\n"
      " for r in dbfread.DBF(t): print(r['UWAGI'])\"" +
      tables;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
  ASSERT_TRUE(pipe);
  std::string seen;
  char line[512];
  while (fgets(line, sizeof line, pipe.get())) seen += line;
  EXPECT_EQ(seen, independent);
  EXPECT_TRUE(errors.empty());
}

TEST_F(WorkAreaTest, PackAndZap) {
  std::string p = makeTable("a.dbf", 6);
  WorkArea& a = *ws.current();
  a.goTo(6);
  a.put("UWAGI", rt::Value("ostatni"));
  for (uint32_t r : {1u, 3u, 4u}) {
    a.goTo(r);
    a.remove();
  }
  a.pack();
  EXPECT_EQ(a.lastRec(), 3u);
  EXPECT_EQ(visit(a), (std::vector<uint32_t>{1, 2, 3}));
  a.goTo(3);
  EXPECT_EQ(rt::allTrim(a.get("NAZWA").str()), "Rekord 6");
  EXPECT_EQ(a.get("UWAGI").str(), "ostatni");
  a.zap();
  EXPECT_EQ(a.lastRec(), 0u);
  EXPECT_TRUE(a.eof());
  ws.closeAll();
  std::string bytes = test::readFile(p);
  EXPECT_EQ(bytes.size(), size_t(rt::getLE16(bytes.data() + 8)) + 1);
  EXPECT_EQ(rt::getLE32(bytes.data() + 4), 0u);
}

TEST_F(WorkAreaTest, PackOnASharedTableIsRefused) {
  std::string p = makeTable("a.dbf", 2);
  ws.closeAll();
  ASSERT_TRUE(ws.use(p, "T", kShared));
  ws.current()->pack();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(ws.current()->lastRec(), 2u);
}

TEST_F(WorkAreaTest, ADamagedStructuralIndexNeverStaysBehindAWrite) {
  std::string p = makeTable("a.dbf", 2);
  ASSERT_TRUE(ws.current()->orderCreate(dir / "a.cdx", "NAZ", "NAZWA"));
  ws.closeAll();
  test::writeFile(dir / "a.cdx", std::string(1024, '\xff'));
  ASSERT_TRUE(ws.use(p, "S", kShared));  // opens, without the index
  EXPECT_EQ(ws.current()->damagedIndex(), dir / "a.cdx");
  EXPECT_FALSE(ws.current()->table().issues().empty());
  errors.clear();
  EXPECT_FALSE(ws.current()->append());  // others may hold that index: no write at all
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].genCode, rt::kErrCorruption);
  EXPECT_EQ(ws.current()->lastRec(), 2u);
  ws.closeAll();

  ASSERT_TRUE(ws.use(p, "X", {}));  // held exclusively: the first write removes it
  ws.current()->goTo(1);
  ws.current()->put("NAZWA", rt::Value("Zmieniony"));
  ws.current()->commit();
  EXPECT_FALSE(std::filesystem::exists(dir / "a.cdx"));
  EXPECT_EQ(test::readFile(p)[28] & 0x01, 0);  // and the table no longer asks for it
  ws.closeAll();
  ASSERT_TRUE(ws.use(p, "X", {}));
  EXPECT_EQ(ws.current()->get("NAZWA").str().substr(0, 9), "Zmieniony");
}

// The engine's reasons are the tool's 852 texts: a path in them keeps its Polish letters (ż and ł
// are beyond Latin-1), whatever the host's own form of the path is.
TEST_F(WorkAreaTest, AReasonNamesItsFileWithItsPolishLetters) {
  const std::filesystem::path office = dir.path() / os::hostPath("Biuro żółw");
  std::filesystem::create_directories(office);
  const std::filesystem::path table = office / "a.dbf", index = office / "a.cdx";
  ASSERT_TRUE(ws.createHost(table, {{"NAZWA", 'C', 20, 0}}));
  ASSERT_TRUE(ws.useHost(table, "A", {}));
  ASSERT_TRUE(ws.current()->orderCreate(index, "NAZ", "NAZWA"));
  ws.closeAll();
  test::writeFile(index, test::readFile(index).substr(0, 100));  // shorter than its header
  const std::string tableText = os::utf8(table), indexText = os::utf8(index);

  ASSERT_TRUE(ws.useHost(table, "S", kShared));  // opens, without the index
  ASSERT_EQ(ws.current()->table().issues().size(), 1u);
  EXPECT_EQ(rt::oemToUtf8(ws.current()->table().issues()[0].text),
            "structural index " + indexText + " is damaged (" + indexText +
                " is too short for a compound index): opened without it");
  errors.clear();
  EXPECT_FALSE(ws.current()->orderListAdd(index));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(rt::oemToUtf8(errors[0].filename), tableText);
  EXPECT_EQ(
      rt::oemToUtf8(errors[0].description),
      "cannot open index " + indexText + ": " + indexText + " is too short for a compound index");
}

TEST_F(WorkAreaTest, LocateContinueAndEval) {
  makeTable("a.dbf", 10);
  WorkArea& a = *ws.current();
  auto kw = [&] { return a.get("KWOTA").num(); };
  EXPECT_TRUE(a.locate([&] { return kw() > 7; }));
  EXPECT_EQ(a.recno(), 5u);
  EXPECT_TRUE(a.continueLocate());
  EXPECT_EQ(a.recno(), 6u);
  EXPECT_FALSE(a.locate([&] { return kw() > 100; }));
  EXPECT_TRUE(a.eof());
  EXPECT_FALSE(a.locate([&] { return kw() > 7; }, [&] { return kw() < 3; }));
  double sum = 0;
  a.eval([&] { sum += kw(); }, [&] { return a.recno() % 2 == 0; });
  EXPECT_DOUBLE_EQ(sum, 1.5 * (2 + 4 + 6 + 8 + 10));
  a.eval([&] { a.put("OK", rt::Value(true)); });
  int marked = 0;
  a.eval([&] { marked += a.get("OK").log(); });
  EXPECT_EQ(marked, 10);
}

TEST_F(WorkAreaTest, AliasesAreCaseInsensitiveAndClosingFreesThem) {
  makeTable("t.dbf", 1);
  std::string p = (dir / "a.dbf").string();
  ASSERT_TRUE(ws.create(p, {{"X", 'C', 1, 0}}));
  ASSERT_TRUE(ws.use(p.substr(0, p.size() - 4), "", kSharedReadOnly));  // extension added
  EXPECT_EQ(ws.alias(), "A");
  EXPECT_TRUE(ws.used("t"));
  EXPECT_TRUE(ws.select("t"));
  EXPECT_EQ(ws.alias(), "T");
  EXPECT_EQ(ws.aliases(), (std::vector<std::string>{"T", "A"}));
  EXPECT_FALSE(ws.use(p, "a", kShared));  // alias taken
  EXPECT_FALSE(ws.select("nie"));
  EXPECT_TRUE(ws.close("a"));
  EXPECT_FALSE(ws.used("A"));
  ws.close();
  EXPECT_EQ(ws.current(), nullptr);
  EXPECT_TRUE(ws.aliases().empty());
}

TEST_F(WorkAreaTest, ExclusiveOpenConflictsWithAnotherAreaOfThisProcess) {
  std::string p = makeTable("a.dbf", 1);
  EXPECT_FALSE(ws.use(p, "B", kShared));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].genCode, rt::kErrShared);
  ws.closeAll();
  ASSERT_TRUE(ws.use(p, "A", kShared));
  EXPECT_TRUE(ws.use(p, "B", kShared));
  EXPECT_FALSE(ws.use(p, "C", {}));
}

TEST_F(WorkAreaTest, SharedWritesNeedTheRecordLockAndLocksConflictBetweenAreas) {
  std::string p = makeTable("a.dbf", 2);
  ws.closeAll();
  ASSERT_TRUE(ws.use(p, "A", kShared));
  ASSERT_TRUE(ws.use(p, "B", kShared));
  WorkArea& a = *ws.find("A");
  WorkArea& b = *ws.find("B");
  a.goTo(1);
  a.put("NAZWA", rt::Value("bez blokady"));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].genCode, rt::kErrUnlocked);
  ASSERT_TRUE(a.rlock());
  b.goTo(1);
  EXPECT_FALSE(b.rlock());
  b.goTo(2);
  EXPECT_TRUE(b.rlock());
  a.put("NAZWA", rt::Value("z blokada"));
  a.unlock();  // writes the buffer before the lock goes
  b.goTo(1);
  EXPECT_EQ(rt::allTrim(b.get("NAZWA").str()), "z blokada");
  EXPECT_TRUE(b.rlock());  // RLOCK releases record 2 and takes 1
  a.goTo(2);
  EXPECT_TRUE(a.rlock());
}

TEST_F(WorkAreaTest, AppendSetsNetErrWhileAnotherAreaHoldsTheHeaderLock) {
  std::string p = makeTable("a.dbf", 1);
  ws.closeAll();
  ASSERT_TRUE(ws.use(p, "A", kShared));
  ASSERT_TRUE(ws.use(p, "B", kShared));
  ASSERT_TRUE(ws.find("A")->table().lockHeader());
  EXPECT_FALSE(ws.find("B")->append());
  EXPECT_TRUE(ws.find("B")->netErr());
  EXPECT_TRUE(ws.netErr());
  ws.find("A")->table().unlockHeader();
  EXPECT_TRUE(ws.find("B")->append());
  EXPECT_FALSE(ws.netErr());
  EXPECT_EQ(ws.find("B")->recno(), 2u);
  ws.find("B")->put("NAZWA", rt::Value("nowy"));  // the appended record is locked for us
  ws.find("B")->commit();
  EXPECT_EQ(ws.find("A")->lastRec(), 2u);
  ws.find("A")->goBottom();
  EXPECT_EQ(rt::allTrim(ws.find("A")->get("NAZWA").str()), "nowy");
  EXPECT_TRUE(errors.empty());
}

TEST_F(WorkAreaTest, ExportRespectsHiddenDeletedAndCopiesMemos) {
  std::string p = makeTable("a.dbf", 4);
  WorkArea& a = *ws.current();
  a.goTo(2);
  a.remove();
  a.goTo(3);
  a.put("UWAGI", rt::Value("kopiowana notatka"));
  rt::settings().deletedHidden = true;
  auto out = dir / "b.dbf";
  ASSERT_TRUE(a.exportTo(out));
  EXPECT_EQ(a.recno(), 3u);  // the pointer is kept
  ASSERT_TRUE(ws.use(out.string(), "B", {}));
  WorkArea& b = *ws.current();
  EXPECT_EQ(b.lastRec(), 3u);
  b.goTo(2);
  EXPECT_EQ(rt::allTrim(b.get("NAZWA").str()), "Rekord 3");
  EXPECT_EQ(b.get("UWAGI").str(), "kopiowana notatka");
  EXPECT_TRUE(std::filesystem::exists(dir / "b.fpt"));
  rt::settings().deletedHidden = false;
  ASSERT_TRUE(ws.select("T"));
  ASSERT_TRUE(a.exportTo(dir / "c.dbf", {"kwota", "nazwa"}));
  ASSERT_TRUE(ws.use((dir / "c.dbf").string(), "C", {}));
  EXPECT_EQ(ws.current()->lastRec(), 4u);
  EXPECT_EQ(ws.current()->fieldName(1), "KWOTA");
  ws.current()->goTo(2);
  EXPECT_TRUE(ws.current()->deleted());
  EXPECT_FALSE(std::filesystem::exists(dir / "c.fpt"));
}

TEST_F(WorkAreaTest, ImportMatchesFieldsByNameAndRefusesLossyNumbers) {
  std::string src = (dir / "src.dbf").string();
  ASSERT_TRUE(ws.create(
      src,
      {{"KWOTA", 'N', 12, 2}, {"INNE", 'C', 5, 0}, {"NAZWA", 'C', 30, 0}, {"UWAGI", 'M', 10, 0}}));
  ASSERT_TRUE(ws.use(src, "S", {}));
  WorkArea& s = *ws.current();
  s.append();
  s.put("KWOTA", rt::Value(12.5));
  s.put("NAZWA", rt::Value(std::string(25, 'x')));
  s.put("UWAGI", rt::Value("z importu"));
  s.append();
  s.put("KWOTA", rt::Value(123456789.0));  // fits N(12,2), not N(10,2)
  ws.closeAll();
  makeTable("a.dbf", 1);
  WorkArea& a = *ws.current();
  ASSERT_TRUE(a.importFrom(src));
  EXPECT_EQ(a.lastRec(), 3u);
  a.goTo(2);
  EXPECT_DOUBLE_EQ(a.get("KWOTA").num(), 12.5);
  EXPECT_EQ(a.get("NAZWA").str(), std::string(20, 'x'));
  EXPECT_EQ(a.get("UWAGI").str(), "z importu");
  ASSERT_EQ(errors.size(), 1u);  // the amount that does not fit is reported, not starred
  EXPECT_EQ(errors[0].genCode, rt::kErrDataWidth);
}

TEST_F(WorkAreaTest, ChildFollowsParentThroughARelation) {
  std::string parent = (dir / "p.dbf").string();
  ASSERT_TRUE(ws.create(parent, {{"NR", 'N', 5, 0}}));
  ASSERT_TRUE(ws.use(parent, "P", {}));
  for (int n : {3, 1, 2}) {
    ws.current()->append();
    ws.current()->put(1, rt::Value(n));
  }
  makeTable("c.dbf", 3);
  ASSERT_TRUE(ws.select("P"));
  WorkArea& p = *ws.current();
  p.setRelation("t", ws.compile("NR"));
  WorkArea& c = *ws.find("T");
  std::vector<uint32_t> childRecords;
  for (p.goTop(); !p.eof(); p.skip()) childRecords.push_back(c.recno());
  EXPECT_EQ(childRecords, (std::vector<uint32_t>{3, 1, 2}));
  EXPECT_TRUE(c.eof());  // the parent at its end takes the child there too
  p.goTo(2);
  EXPECT_EQ(c.recno(), 1u);
  p.clearRelations();
  p.goTo(1);
  EXPECT_EQ(c.recno(), 1u);
}

TEST_F(WorkAreaTest, KeysThroughARelationReadTheChildRecordOfEachParent) {
  // The parent's NR picks the child record; the key is the child's NAZWA, which runs the other
  // way, so the parent order must come out reversed, on the build and on a rebuild.
  std::string parent = (dir / "p.dbf").string();
  ASSERT_TRUE(ws.create(parent, {{"NR", 'N', 5, 0}}));
  ASSERT_TRUE(ws.use(parent, "P", {}));
  for (int n : {1, 2, 3, 4}) {
    ws.current()->append();
    ws.current()->put(1, rt::Value(n));
  }
  makeTable("c.dbf", 0);
  for (const char* name : {"Delta", "Charlie", "Bravo", "Alfa"}) {
    ws.current()->append();
    ws.current()->put("NAZWA", rt::Value(name));
  }
  ws.current()->commit();
  ASSERT_TRUE(ws.select("P"));
  WorkArea& p = *ws.current();
  p.setRelation("t", ws.compile("NR"));
  ASSERT_TRUE(p.orderCreate(dir / "p.cdx", "NAZ", "t->nazwa"));
  EXPECT_EQ(visit(p), (std::vector<uint32_t>{4, 3, 2, 1}));
  ASSERT_TRUE(p.orderListRebuild());
  EXPECT_EQ(visit(p), (std::vector<uint32_t>{4, 3, 2, 1}));
  p.goTo(2);
  EXPECT_EQ(ws.find("T")->recno(), 2u);  // the child follows the restored parent record
}

TEST_F(WorkAreaTest, OpensThatNameNoModeFollowTheExclusiveSetting) {
  std::string p = makeTable("a.dbf");
  ws.closeAll();
  ASSERT_TRUE(ws.use(p, "A", UseOptions::byDefault()));
  EXPECT_TRUE(ws.current()->shared());
  ws.closeAll();
  rt::settings().exclusiveDefault = true;
  ASSERT_TRUE(ws.use(p, "A", UseOptions::byDefault()));
  EXPECT_FALSE(ws.current()->shared());
}

TEST_F(WorkAreaTest, CreateDoesNotTruncateATableInUse) {
  std::string p = makeTable("a.dbf", 2);
  EXPECT_FALSE(ws.create(p, {{"X", 'C', 1, 0}}));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].genCode, rt::kErrCreate);
  EXPECT_EQ(ws.current()->lastRec(), 2u);
  ws.closeAll();
  EXPECT_TRUE(ws.create(p, {{"X", 'C', 1, 0}}));
  ASSERT_TRUE(ws.use(p, "T", {}));
  EXPECT_EQ(ws.current()->lastRec(), 0u);
  EXPECT_EQ(ws.current()->fieldCount(), 1u);
}

TEST_F(WorkAreaTest, FilterHidesRecordsUntilCleared) {
  makeTable("a.dbf", 4);
  WorkArea& a = *ws.current();
  a.setFilter([&] { return a.recno() % 2 == 1; }, "recno() % 2 = 1");
  EXPECT_EQ(visit(a), (std::vector<uint32_t>{1, 3}));
  a.clearFilter();
  EXPECT_EQ(visit(a).size(), 4u);
  EXPECT_TRUE(a.filterText().empty());
}

TEST_F(WorkAreaTest, ExpressionContextBindsFieldsByAliasAndWritesThroughTheBuffer) {
  makeTable("a.dbf", 2);
  auto f = ws.bindField("t", "kwota");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->type(), 'N');
  EXPECT_EQ(f->length(), 10);
  EXPECT_EQ(f->decimals(), 2);
  ws.current()->goTo(2);
  EXPECT_DOUBLE_EQ(f->get().num(), 3.0);
  f->put(rt::Value(9.75));
  EXPECT_DOUBLE_EQ(ws.current()->get(2).num(), 9.75);
  std::string text;
  ws.bindField("FIELD", "NAZWA")->appendText(text);
  EXPECT_EQ(text, rt::padRight("Rekord 2", 20));
  EXPECT_EQ(ws.bindField("t", "NIEMA"), nullptr);
  EXPECT_EQ(ws.bindField("zadna", "KWOTA"), nullptr);
  auto area = ws.bindArea("");
  ASSERT_TRUE(area);
  EXPECT_EQ(area->recno(), 2u);
  ws.closeAll();
  f->get();  // the area is gone: an error, not a read of freed memory
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].genCode, rt::kErrNoAlias);
}

// ---------------------------------------------------------------- index plumbing

class IndexPlumbingTest : public WorkAreaTest {
 protected:
  test::FakeIndex* attach() {
    auto idx = std::make_unique<test::FakeIndex>((dir / "t.cdx").string());
    WorkArea& a = *ws.current();
    uint32_t r = 0, count = a.lastRec();
    std::vector<std::string> names, amounts;
    for (uint32_t i = 1; i <= count; ++i) {
      a.goTo(i);
      names.push_back(a.get("NAZWA").str());
      amounts.push_back(encodeKey(a.get("KWOTA"), KeyType::Numeric, 8));
    }
    idx->createTag("NAZ", "NAZWA", KeyType::Character, 20, [&](std::string& k, uint32_t& rec) {
      if (r >= count) return false;
      k = names[r];
      rec = ++r;
      return true;
    });
    r = 0;
    idx->createTag("KWO", "T->KWOTA", KeyType::Numeric, 8, [&](std::string& k, uint32_t& rec) {
      if (r >= count) return false;
      k = amounts[r];
      rec = ++r;
      return true;
    });
    auto* raw = idx.get();
    a.attachIndex(std::move(idx));
    return raw;
  }
};

TEST_F(IndexPlumbingTest, EveryWriteReachesEveryTag) {
  makeTable("a.dbf", 3);
  test::FakeIndex* idx = attach();
  WorkArea& a = *ws.current();
  ASSERT_TRUE(a.append());
  a.put("NAZWA", rt::Value("Ala"));
  a.put("KWOTA", rt::Value(-5.0));
  a.commit();
  EXPECT_EQ(idx->fake(0)->inserts, 1);
  EXPECT_EQ(idx->fake(1)->inserts, 1);
  EXPECT_EQ(idx->fake(0)->order(), (std::vector<uint32_t>{4, 1, 2, 3}));
  EXPECT_EQ(idx->fake(1)->order(), (std::vector<uint32_t>{4, 1, 2, 3}));
  a.goTo(1);
  a.put("KWOTA", rt::Value(100.0));  // only the amount's tag changes
  a.put("UWAGI", rt::Value("bez wpływu na klucze"));
  a.skip();
  EXPECT_EQ(idx->fake(0)->removes, 0);
  EXPECT_EQ(idx->fake(1)->removes, 1);
  EXPECT_EQ(idx->fake(1)->order(), (std::vector<uint32_t>{4, 2, 3, 1}));
  a.goTo(2);
  a.remove();  // deleted records keep their keys
  a.commit();
  EXPECT_EQ(idx->fake(1)->size(), 4u);
  a.pack();
  EXPECT_EQ(idx->fake(1)->order(), (std::vector<uint32_t>{3, 2, 1}));
  a.zap();
  EXPECT_EQ(idx->fake(0)->size(), 0u);
}

TEST_F(IndexPlumbingTest, NavigationAndSeekFollowTheControllingTag) {
  makeTable("a.dbf", 4);
  WorkArea& a = *ws.current();
  for (auto [r, name] : std::vector<std::pair<uint32_t, const char*>>{
           {1, "Dorota"}, {2, "Adam"}, {3, "Cezary"}, {4, "Bogdan"}}) {
    a.goTo(r);
    a.put("NAZWA", rt::Value(name));
  }
  a.commit();
  attach();
  ASSERT_TRUE(a.setOrder("naz"));
  EXPECT_EQ(visit(a), (std::vector<uint32_t>{2, 4, 3, 1}));
  a.goBottom();
  EXPECT_EQ(a.recno(), 1u);
  a.skip(-2);
  EXPECT_EQ(a.recno(), 4u);
  EXPECT_TRUE(a.seek(rt::Value("Ce")));
  EXPECT_EQ(a.recno(), 3u);
  a.skip();
  EXPECT_EQ(a.recno(), 1u);
  EXPECT_FALSE(a.seek(rt::Value("Bz"), true));  // soft: the next greater key
  EXPECT_FALSE(a.found());
  EXPECT_EQ(a.recno(), 3u);
  EXPECT_FALSE(a.seek(rt::Value("Bz"), false));
  EXPECT_TRUE(a.eof());
  rt::settings().softSeek = true;
  EXPECT_FALSE(a.seek(rt::Value("Zz")));
  EXPECT_TRUE(a.eof());
  // A record whose key changes moves within the order at once.
  a.goTo(2);
  a.put("NAZWA", rt::Value("Ewa"));
  a.skip();
  EXPECT_TRUE(a.eof());
  EXPECT_EQ(visit(a), (std::vector<uint32_t>{4, 3, 1, 2}));
  rt::settings().deletedHidden = true;
  a.goTo(3);
  a.remove();
  EXPECT_EQ(visit(a), (std::vector<uint32_t>{4, 1, 2}));
  EXPECT_FALSE(a.seek(rt::Value("Cezary"), false));
  ASSERT_TRUE(a.setOrder("KWO"));
  EXPECT_TRUE(a.seek(rt::Value(3.0)));
  EXPECT_EQ(a.recno(), 2u);
  a.seek(rt::Value("tekst"));
  EXPECT_EQ(errors.back().genCode, rt::kErrDataType);
  EXPECT_FALSE(a.setOrder("BRAK"));
  EXPECT_EQ(errors.back().genCode, rt::kErrNoOrder);
  EXPECT_TRUE(a.setOrder(""));
  EXPECT_EQ(a.order(), nullptr);
}

}  // namespace
