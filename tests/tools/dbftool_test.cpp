// dbftool, the table tool that tests and scripts read and write tables with, run as a command
// (under Wine dbftool.exe, without a shell; the comparisons with Python's readers stay Linux's).
// Group: DbftoolTest. What it dumps is what dbfread and python-dbf read, from our tables and other
// writers'; check names each problem and never writes, and finds the same keys whether a table has
// memo fields (keys through a work area) or not (keys from its own reads); bad arguments exit 2
// with one line; dump never passes part of a table for the whole of it, and create writes the
// whole table or leaves the old one, refusing text its code page cannot hold.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine_test_util.h"
#include "runtime/coding.h"
#include "support/programs.h"

namespace {

using tav::test::TempDir;

const std::string kTool = tav::os::utf8(tav::testing::buildProgram("dbftool"));

struct Outcome {
  int code;
  std::string out, err;
};

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

#ifdef _WIN32
// The words of an argument string as the shell splits it: blanks between words, single quotes
// keeping what they enclose (quote() writes a quote inside as '\'').
std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> out;
  std::string word;
  bool inWord = false, quoted = false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (quoted) {
      if (c == '\'')
        quoted = false;
      else
        word += c;
    } else if (c == '\'') {
      quoted = inWord = true;
    } else if (c == '\\' && i + 1 < s.size()) {
      word += s[++i];
      inWord = true;
    } else if (c == ' ') {
      if (inWord) out.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) out.push_back(word);
  return out;
}

// Under Wine the tool runs as a program of the build, without a shell.
Outcome tool(const TempDir&, const std::string& args, const std::string& input = {}) {
  const auto r =
      tav::testing::runProgram(tav::testing::buildProgram("dbftool"), words(args), input);
  return {r.code, r.out, r.err};
}
#else
Outcome run(const TempDir& dir, const std::string& args, const std::string& input = {}) {
  tav::test::writeFile(dir / "stdin.txt", input);
  std::string cmd = args + " < " + quote((dir / "stdin.txt").string()) + " > " +
                    quote((dir / "stdout.txt").string()) + " 2> " +
                    quote((dir / "stderr.txt").string());
  int status = std::system(cmd.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, tav::test::readFile(dir / "stdout.txt"),
          tav::test::readFile(dir / "stderr.txt")};
}

Outcome tool(const TempDir& dir, const std::string& args, const std::string& input = {}) {
  return run(dir, quote(kTool) + " " + args, input);
}
#endif

size_t lines(const std::string& s) {
  return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

// Compares a dump of ours with what an independent reader makes of the same table. Text is
// compared without trailing blanks (the readers strip them), blank numbers and unknown
// logicals as 0 and false (as this engine reads them).
const char* kCompare = R"PY(
import sys, json, datetime
reader, path, dump = sys.argv[1:4]
ours = [json.loads(l) for l in open(dump, encoding='utf-8')]

def norm(v):
    if isinstance(v, bool) or v is None:
        return bool(v)
    if isinstance(v, (int, float)) or type(v).__name__ == 'Decimal':
        return round(float(v), 4)
    if isinstance(v, datetime.datetime):
        return v.strftime('%Y%m%d')
    if isinstance(v, datetime.date):
        return v.strftime('%Y%m%d')
    if isinstance(v, str):
        return v.rstrip(' \0')
    return repr(v)

def theirs_records():
    if reader == 'dbfread':
        import dbfread
        t = dbfread.DBF(path, encoding='cp852', char_decode_errors='strict', load=True)
        live = [(False, dict(r)) for r in t.records]
        dead = [(True, dict(r)) for r in t.deleted]
        # Ours come in record order; pair live with live and deleted with deleted, each in order.
        out, li, di = [], iter(live), iter(dead)
        for o in ours:
            out.append(next(di) if o['_deleted'] else next(li))
        return out, len(live) + len(dead)
    import dbf
    t = dbf.Table(path, codepage='cp852')
    t.open(dbf.READ_ONLY)
    out = []
    for r in t:
        out.append((dbf.is_deleted(r), {n: r[n] for n in t.field_names}))
    t.close()
    return out, len(out)

theirs, count = theirs_records()
bad = []
if count != len(ours):
    bad.append('record count %d, ours %d' % (count, len(ours)))
for o, (deleted, t) in zip(ours, theirs):
    if deleted != o['_deleted']:
        bad.append('record %d deleted flag differs' % o['_recno'])
    for name, value in t.items():
        key = name.upper()
        if key not in o:
            bad.append('record %d: no field %s in ours' % (o['_recno'], key))
        elif value is None:
            # A reader's "no value" (blank date, no memo, blank number) is our blank.
            if o[key] not in ('', 0, False) and not (isinstance(o[key], str) and not o[key].strip()):
                bad.append('record %d field %s: theirs None, ours %r' % (o['_recno'], key, o[key]))
        elif norm(value) != norm(o[key]):
            bad.append('record %d field %s: theirs %r, ours %r' % (o['_recno'], key, value, o[key]))
print('\n'.join(bad[:20]))
sys.exit(1 if bad else 0)
)PY";

class DbftoolTest : public ::testing::Test {
 protected:
  void SetUp() override { tav::test::writeFile(dir / "compare.py", kCompare); }
#ifndef _WIN32
  // Every reader must see in `table` exactly what `dbftool dump --deleted` prints.
  void expectSameAsReaders(const std::string& table, std::initializer_list<const char*> readers) {
    Outcome dump = tool(dir, "dump --deleted " + quote(table));
    ASSERT_EQ(dump.code, 0) << dump.err;
    tav::test::writeFile(dir / "dump.jsonl", dump.out);
    for (const char* reader : readers) {
      Outcome cmp =
          run(dir, "/usr/bin/python3 " + quote((dir / "compare.py").string()) + " " + reader + " " +
                       quote(table) + " " + quote((dir / "dump.jsonl").string()));
      EXPECT_EQ(cmp.code, 0) << reader << ":\n" << cmp.out << cmp.err;
    }
  }
#endif
  TempDir dir;
};

const std::string kFields = "NAZWA:C:30:0,KWOTA:N:12:2,ILOSC:N:5:0,DATA:D,AKTYWNY:L,UWAGI:M";
const std::string kRecords =
    R"({"NAZWA":"Zażółć gęślą jaźń ŻÓŁW","KWOTA":-1234.5,"ILOSC":7,"DATA":"20250131","AKTYWNY":true,"UWAGI":"Notatka: ąćęłńóśźż ĄĆĘŁŃÓŚŹŻ"})"
    "\n"
    R"({"NAZWA":"cudzysłów \" i \\ ukośnik","KWOTA":0,"ILOSC":0,"DATA":"","AKTYWNY":false,"UWAGI":""})"
    "\n"
    R"({"_deleted":true,"NAZWA":"usunięty","KWOTA":99999999.99,"ILOSC":-9999,"DATA":"19991231","AKTYWNY":true})"
    "\n"
    R"({"NAZWA":"długa notatka","UWAGI":"Łódź )" +
    std::string(300, 'x') +
    R"("})"
    "\n";

TEST_F(DbftoolTest, CreateThenDumpGivesTheRecordsBack) {
  std::string t = (dir / "a.dbf").string();
  Outcome c = tool(dir, "create " + quote(t) + " --fields " + quote(kFields), kRecords);
  ASSERT_EQ(c.code, 0) << c.err;
  Outcome s = tool(dir, "struct " + quote(t));
  EXPECT_EQ(s.out,
            "NAZWA C 30 0\nKWOTA N 12 2\nILOSC N 5 0\nDATA D 8 0\nAKTYWNY L 1 0\nUWAGI M 10 0\n");
  Outcome d = tool(dir, "dump " + quote(t));
  ASSERT_EQ(d.code, 0) << d.err;
  EXPECT_EQ(lines(d.out), 3u);  // the deleted record only with --deleted
  EXPECT_EQ(
      d.out.substr(0, d.out.find('\n')),
      R"({"_recno":1,"_deleted":false,"NAZWA":"Zażółć gęślą jaźń ŻÓŁW        ","KWOTA":-1234.50,"ILOSC":7,)"
      R"("DATA":"20250131","AKTYWNY":true,"UWAGI":"Notatka: ąćęłńóśźż ĄĆĘŁŃÓŚŹŻ"})");
  EXPECT_NE(d.out.find(R"("NAZWA":"cudzysłów \" i \\ ukośnik    )"), std::string::npos);
  EXPECT_NE(d.out.find(R"("DATA":"")"), std::string::npos);
  Outcome all = tool(dir, "dump --deleted " + quote(t));
  EXPECT_EQ(lines(all.out), 4u);
  EXPECT_NE(all.out.find(R"({"_recno":3,"_deleted":true,"NAZWA":"usunięty)"), std::string::npos);
  EXPECT_EQ(tool(dir, "check " + quote(t)).code, 0);
}

#ifndef _WIN32  // the independent readers are Python programs (tests/windows.cmake)
TEST_F(DbftoolTest, EngineTablesReadTheSameInBothIndependentReaders) {
  std::string t = (dir / "a.dbf").string();
  ASSERT_EQ(tool(dir, "create " + quote(t) + " --fields " + quote(kFields), kRecords).code, 0);
  expectSameAsReaders(t, {"dbfread", "dbf"});
}

TEST_F(DbftoolTest, TablesTheLibraryWritesDumpTheSame) {
  const char* write = R"PY(
import dbf, datetime, sys
d = sys.argv[1]
t = dbf.Table(d + '/fp.dbf', 'NAZWA C(25); KWOTA N(10,2); DATA D; OK L; UWAGI M', dbf_type='fp', codepage='cp852')
t.open(dbf.READ_WRITE)
t.append(('Świętokrzyska ąę', 12.5, datetime.date(2025, 1, 31), True, 'notatka Żółw ' * 20))
t.append(('drugi', -3, None, False, ''))
t.append(('trzeci', 1e6, datetime.date(2000, 2, 29), None, 'krótka'))
dbf.delete(t[1])
t.close()
t = dbf.Table(d + '/db3.dbf', 'KOD C(4); NR N(4,0)', dbf_type='db3', codepage='cp852')
t.open(dbf.READ_WRITE)
for i in range(1, 40):
    t.append(('Ł%03d' % i, i * 7 % 11))
t.close()
t = dbf.Table(d + '/vfp.dbf', 'NAZWA C(10); ILE I; CENA B; KASA Y; KIEDY T; UWAGI M', dbf_type='vfp', codepage='cp852')
t.open(dbf.READ_WRITE)
t.append(('ąę', 42, 3.5, 12.3456, datetime.datetime(2024, 2, 29, 10, 0, 0), 'memo vfp'))
t.append(('x', -7, -0.25, -1, None, ''))
t.close()
)PY";
  tav::test::writeFile(dir / "write.py", write);
  Outcome w = run(dir, "/usr/bin/python3 " + quote((dir / "write.py").string()) + " " +
                           quote(dir.path().string()));
  ASSERT_EQ(w.code, 0) << w.err;
  for (const char* name : {"fp.dbf", "db3.dbf"})
    expectSameAsReaders((dir / name).string(), {"dbf", "dbfread"});
  // The library leaves out the end-of-file marker after the last record; check says so.
  Outcome c = tool(dir, "check " + quote((dir / "fp.dbf").string()));
  EXPECT_EQ(c.code, 1);
  EXPECT_EQ(c.out, (dir / "fp.dbf").string() + ": end-of-file marker 0x1A missing\n");
  // Visual FoxPro types: dates and times read as dates, the rest as the reader gives them.
  Outcome d = tool(dir, "dump " + quote((dir / "vfp.dbf").string()));
  ASSERT_EQ(d.code, 0) << d.err;
  EXPECT_EQ(d.out,
            "{\"_recno\":1,\"_deleted\":false,\"NAZWA\":\"ąę        "
            "\",\"ILE\":42,\"CENA\":3.5,\"KASA\":12.3455,"
            "\"KIEDY\":\"20240229\",\"UWAGI\":\"memo vfp\"}\n"
            "{\"_recno\":2,\"_deleted\":false,\"NAZWA\":\"x         "
            "\",\"ILE\":-7,\"CENA\":-0.25,\"KASA\":-1.0000,"
            "\"KIEDY\":\"\",\"UWAGI\":\"\"}\n");
}
#endif

TEST_F(DbftoolTest, FixturesOfAnIndependentEngineDump) {
  std::string kontr = tav::test::copyFixture(dir, "kontr.dbf").string();
  tav::test::copyFixture(dir, "kontr.fpt");
  std::string jedn = tav::test::copyFixture(dir, "jedn.dbf").string();
  EXPECT_EQ(lines(tool(dir, "dump " + quote(kontr)).out), 3000u - 176u);
#ifndef _WIN32  // the independent readers are Python programs
  expectSameAsReaders(kontr, {"dbfread", "dbf"});
  expectSameAsReaders(jedn, {"dbfread"});
#endif
  tav::test::copyFixture(dir, "jedn.ntx");
  Outcome tags = tool(dir, "tags " + quote(jedn));
  ASSERT_EQ(lines(tags.out), 1u) << tags.err;
  std::string tag = tags.out.substr(0, tags.out.find(' '));
  Outcome ordered = tool(dir, "dump --tag " + tag + " " + quote(jedn));
  EXPECT_EQ(lines(ordered.out), 2500u);
  EXPECT_EQ(tool(dir, "check " + quote(jedn)).code, 0);
}

// The other engine's kontr.cdx orders NAZ and DSC by plain bytes and its UPPER() left Polish
// letters alone: check finds every tag consistent, and a seek uses the key that engine made.
TEST_F(DbftoolTest, CheckAndSeekInTheIndependentEnginesIndex) {
  std::string kontr = tav::test::copyFixture(dir, "kontr.dbf").string();
  tav::test::copyFixture(dir, "kontr.fpt");
  tav::test::copyFixture(dir, "kontr.cdx");
  Outcome c = tool(dir, "check " + quote(kontr));
  EXPECT_EQ(c.code, 0) << c.out << c.err;
  EXPECT_EQ(c.out, "");
  Outcome s = tool(dir, "seek " + quote(kontr) + " --tag NAZ 'SZYMAńSKA ŻANETA 00001'");
  EXPECT_EQ(s.code, 0) << s.err;
  EXPECT_EQ(s.out.substr(0, 12), "{\"_recno\":1,") << s.out;
  EXPECT_EQ(tool(dir, "seek " + quote(kontr) + " --tag NAZ 'SZYMAŃSKA ŻANETA 00001'").code, 1);
  // The fixture itself, read where it lies.
  EXPECT_EQ(tool(dir, "check " + quote(std::string(TAV_TEST_DATA) + "/xbase/kontr.dbf")).code, 0);
}

TEST_F(DbftoolTest, BadArgumentsAndUnreadableFilesExitTwoWithOneLine) {
  std::string t = (dir / "a.dbf").string();
  struct Case {
    std::string args, input;
  };
  const Case cases[] = {
      {"", ""},
      {"frobnicate " + quote(t), ""},
      {"dump " + quote((dir / "missing.dbf").string()), ""},
      {"dump " + quote(t) + " --bogus", ""},
      {"create " + quote(t), ""},
      {"create " + quote(t) + " --fields 'A:Q:3:0'", ""},
      {"create " + quote(t) + " --fields 'A:C:x:0'", ""},
      {"create " + quote(t) + " --fields 'KWOTA:N:5:2'", "{\"KWOTA\": 1234.5}\n"},  // would not fit
      {"create " + quote(t) + " --fields 'A:C:3'", "{\"B\": \"x\"}\n"},
      {"create " + quote(t) + " --fields 'A:C:3'", "{\"A\": 12}\n"},
      {"create " + quote(t) + " --fields 'A:C:3'", "{\"A\": \"x\"\n"},
      {"create " + quote(t) + " --fields 'D:D'", "{\"D\": \"20250230\"}\n"},
      {"seek " + quote(t) + " --tag X", ""},
      {"seek " + quote(t) + " NAZ", ""},
      {"index " + quote(t) + " NAZ", ""},
      {"index " + quote(t) + " NAZ NAZWA --tag X --key NAZWA", ""},
      {"dump " + quote(t) + " --key NAZWA", ""},
      {"struct " + quote(t) + " extra", ""},
      {"help frobnicate", ""},
  };
  for (const auto& c : cases) {
    Outcome r = tool(dir, c.args, c.input);
    EXPECT_EQ(r.code, 2) << c.args;
    EXPECT_EQ(lines(r.err), 1u) << c.args << "\n" << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(t));
  // The usage, whole or of one command, names every option.
  Outcome h = tool(dir, "--help");
  EXPECT_EQ(h.code, 0);
  for (const char* word : {"struct", "dump", "create", "check", "tags", "index", "seek",
                           "--deleted", "--tag", "--key", "--fields", "--help"})
    EXPECT_NE(h.out.find(word), std::string::npos) << word;
  h = tool(dir, "dump --help");
  EXPECT_EQ(h.code, 0);
  EXPECT_NE(h.out.find("--deleted"), std::string::npos);
  EXPECT_EQ(h.out.find("--fields"), std::string::npos);
  tav::test::writeFile(dir / "junk.dbf", std::string(500, 'j'));
  Outcome r = tool(dir, "dump " + quote((dir / "junk.dbf").string()));
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(lines(r.err), 1u);
}

TEST_F(DbftoolTest, CheckNamesEachProblem) {
  std::string t = (dir / "a.dbf").string();
  ASSERT_EQ(tool(dir, "create " + quote(t) + " --fields " + quote(kFields), kRecords).code, 0);
  std::string bytes = tav::test::readFile(t);
  uint16_t hdr = tav::rt::getLE16(bytes.data() + 8), rl = tav::rt::getLE16(bytes.data() + 10);
  size_t memo = size_t(hdr) + 1 + 30 + 12 + 5 + 8 + 1;
  bytes.replace(memo, 10, "    999999");       // record 1: memo far beyond the file
  bytes.replace(memo + rl, 10, "   12ab   ");  // record 2: not a number
  bytes.replace(size_t(hdr) + rl + 1 + 30, 12,
                "    12X45.67");  // record 2: amount with a stray byte
  bytes.replace(size_t(hdr) + 1 + 30 + 12 + 5, 8, "2025AB31");  // record 1: no date
  tav::rt::putLE32(bytes.data() + 4, 3);                        // the count lags the file
  tav::test::writeFile(t, bytes);
  Outcome c = tool(dir, "check " + quote(t));
  EXPECT_EQ(c.code, 1);
  EXPECT_EQ(lines(c.out), 5u) << c.out;
  EXPECT_NE(c.out.find("record 2 field KWOTA: \"    12X45.67\" is not a number"), std::string::npos)
      << c.out;
  EXPECT_NE(c.out.find("record 1 field DATA: \"2025AB31\" is not a date"), std::string::npos)
      << c.out;
  // Reads stay lenient, as the upgrade needs them: the number as far as it goes, no date.
  Outcome d = tool(dir, "dump " + quote(t));
  EXPECT_NE(d.out.find("\"KWOTA\":12.00,"), std::string::npos) << d.out;
  EXPECT_NE(d.out.find("\"DATA\":\"\","), std::string::npos) << d.out;
  EXPECT_NE(c.out.find("header counts 3 records, the file holds 4"), std::string::npos) << c.out;
  EXPECT_NE(c.out.find("record 1 field UWAGI: memo block 999999 lies outside the memo file"),
            std::string::npos);
  EXPECT_NE(c.out.find("record 2 field UWAGI: memo pointer \"   12ab   \" is not a number"),
            std::string::npos);
  EXPECT_EQ(tav::test::readFile(t), bytes);  // check never writes
  std::filesystem::remove(dir / "a.fpt");
  c = tool(dir, "check " + quote(t));
  EXPECT_EQ(c.code, 1);
  EXPECT_NE(c.out.find("memo"), std::string::npos) << c.out;
}

TEST_F(DbftoolTest, IndexSeekTagsAndCheckOfTheIndex) {
  std::string t = (dir / "a.dbf").string();
  ASSERT_EQ(tool(dir, "create " + quote(t) + " --fields " + quote(kFields), kRecords).code, 0);
  Outcome i = tool(dir, "index " + quote(t) + " --tag NAZ --key 'UPPER(NAZWA)'");
  ASSERT_EQ(i.code, 0) << i.err;
  ASSERT_EQ(tool(dir, "index " + quote(t) + " --tag KWO --key KWOTA").code, 0);
  EXPECT_EQ(tool(dir, "tags " + quote(t)).out, "NAZ UPPER(NAZWA)\nKWO KWOTA\n");
  Outcome s = tool(dir, "seek " + quote(t) + " --tag NAZ 'DŁUGA'");
  EXPECT_EQ(s.code, 0) << s.err;
  EXPECT_NE(s.out.find("\"_recno\":4"), std::string::npos) << s.out;
  EXPECT_EQ(tool(dir, "seek " + quote(t) + " --tag KWO -1234.5").out.substr(0, 12),
            "{\"_recno\":1,");
  Outcome missing = tool(dir, "seek " + quote(t) + " --tag NAZ ZZZ");
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("ZZZ not found in tag NAZ"), std::string::npos) << missing.err;
  EXPECT_EQ(tool(dir, "check " + quote(t)).code, 0);
  Outcome ordered = tool(dir, "dump --deleted --tag KWO " + quote(t));
  EXPECT_EQ(ordered.out.substr(0, 12), "{\"_recno\":1,");
  EXPECT_NE(ordered.out.rfind("{\"_recno\":3,"), std::string::npos);
  EXPECT_GT(ordered.out.rfind("{\"_recno\":3,"), ordered.out.rfind("{\"_recno\":4,"));
  // The structural index written anew: exactly these tags, in this order.
  Outcome rebuilt =
      tool(dir, "index " + quote(t) + " KWO KWOTA naz 'UPPER(NAZWA)' DAT 'DTOS(DATA)'");
  ASSERT_EQ(rebuilt.code, 0) << rebuilt.err;
  EXPECT_NE(rebuilt.out.find("KWO NAZ DAT over 4 records in "), std::string::npos) << rebuilt.out;
  EXPECT_EQ(tool(dir, "tags " + quote(t)).out, "KWO KWOTA\nNAZ UPPER(NAZWA)\nDAT DTOS(DATA)\n");
  EXPECT_EQ(tool(dir, "check " + quote(t)).code, 0);
  // A character key shorter than the tag's is taken as the engine's own seek takes it: the keys
  // that begin with it match ("D" finds "DŁUGA NOTATKA").
  Outcome shorter = tool(dir, "seek " + quote(t) + " --tag NAZ D");
  EXPECT_EQ(shorter.code, 0) << shorter.err;
  EXPECT_EQ(shorter.out.substr(0, 12), "{\"_recno\":4,");
  // A soft seek: where it lands, or eof.
  EXPECT_EQ(tool(dir, "seek " + quote(t) + " NAZ D").out, "4\n");
  EXPECT_EQ(tool(dir, "seek " + quote(t) + " KWO 0").out, "2\n");
  // Deleted records are passed over as dump passes them over (record 3 is deleted), unless
  // --deleted shows them there too.
  EXPECT_EQ(tool(dir, "seek " + quote(t) + " DAT 19990101").out, "1\n");
  EXPECT_EQ(tool(dir, "seek --deleted " + quote(t) + " DAT 19990101").out, "3\n");
  EXPECT_EQ(tool(dir, "seek " + quote(t) + " --tag DAT 19991231").code, 1);
  Outcome deleted = tool(dir, "seek --deleted " + quote(t) + " --tag DAT 19991231");
  EXPECT_EQ(deleted.code, 0) << deleted.err;
  EXPECT_EQ(deleted.out.substr(0, 12), "{\"_recno\":3,");
  Outcome past = tool(dir, "seek " + quote(t) + " NAZ ZZZ");
  EXPECT_EQ(past.code, 0);
  EXPECT_EQ(past.out, "eof\n");
  EXPECT_EQ(tool(dir, "seek " + quote(t) + " KWO 12abc").code, 2);
  // A tag that cannot be built leaves the index as it was.
  std::string cdxBefore = tav::test::readFile(dir / "a.cdx");
  Outcome bad = tool(dir, "index " + quote(t) + " A NAZWA B NOSUCHFIELD");
  EXPECT_EQ(bad.code, 2);
  EXPECT_EQ(lines(bad.err), 1u) << bad.err;
  EXPECT_EQ(tav::test::readFile(dir / "a.cdx"), cdxBefore);
  EXPECT_FALSE(std::filesystem::exists(dir / "~a.cdx"));
  // An index that is no index: tags names it and exits 1, instead of listing nothing.
  const std::string cdx = tav::test::readFile(dir / "a.cdx");
  tav::test::writeFile(dir / "a.cdx", std::string(2048, '\x5a'));
  Outcome garbage = tool(dir, "tags " + quote(t));
  EXPECT_EQ(garbage.code, 1);
  EXPECT_TRUE(garbage.out.empty()) << garbage.out;
  EXPECT_NE(garbage.err.find("a.cdx is damaged"), std::string::npos) << garbage.err;
  tav::test::writeFile(dir / "a.cdx", cdx);
  // A record changed behind the index's back: its key no longer matches.
  std::string bytes = tav::test::readFile(t);
  uint16_t hdr = tav::rt::getLE16(bytes.data() + 8);
  bytes[hdr + 1] = 'Q';
  tav::test::writeFile(t, bytes);
  Outcome c = tool(dir, "check " + quote(t));
  EXPECT_EQ(c.code, 1);
  EXPECT_NE(c.out.find("tag NAZ: key of record 1 differs from its expression UPPER(NAZWA)"),
            std::string::npos)
      << c.out;
}

// Records for keys of every field type, several index pages of them: Polish letters, negative
// and zero amounts, empty dates, both logicals, deleted records; with memo texts or without.
std::string keyedRecords(int n, bool memo) {
  std::string out;
  for (int i = 1; i <= n; ++i) {
    const std::string day = std::to_string(10 + i % 18);
    out += std::string("{") + (i % 17 == 0 ? "\"_deleted\":true," : "") + "\"NAZWA\":\"Łódź " +
           std::to_string((i * 7919) % n) +
           "\",\"KWOTA\":" + std::to_string(i % 5 == 0 ? 0 : (i * 37) % 1000 - 500) +
           ".25,\"ILOSC\":" + std::to_string(i % 9) + ",\"DATA\":\"" +
           (i % 7 ? "202501" + day : "") + "\",\"AKTYWNY\":" + (i % 2 ? "true" : "false") +
           (memo ? ",\"UWAGI\":\"notatka " + std::to_string(i) + "\"" : "") + "}\n";
  }
  return out;
}

// A table without memo fields has its keys computed from the check's own reads of the records,
// one with memo fields through a work area: both must find the same, and nothing in a sound index.
TEST_F(DbftoolTest, CheckFindsTheSameKeysWithAndWithoutMemoFields) {
  const std::string plain = (dir / "bez.dbf").string(), memo = (dir / "zm.dbf").string();
  ASSERT_EQ(tool(dir,
                 "create " + quote(plain) + " --fields " +
                     quote("NAZWA:C:30:0,KWOTA:N:12:2,ILOSC:N:5:0,DATA:D,AKTYWNY:L"),
                 keyedRecords(300, false))
                .code,
            0);
  ASSERT_EQ(
      tool(dir, "create " + quote(memo) + " --fields " + quote(kFields), keyedRecords(300, true))
          .code,
      0);
  const std::string tags = "NAZ " + quote("UPPER(NAZWA)") + " KWO KWOTA MIX " +
                           quote("STR(KWOTA,12,2)+NAZWA") + " DAT " + quote("DTOS(DATA)") +
                           " AKT " + quote("IIF(DELETED(),\"D\",IIF(AKTYWNY,\"T\",\"N\"))+NAZWA") +
                           " ILE " + quote("ILOSC*2-1");
  for (const std::string& t : {plain, memo}) {
    Outcome i = tool(dir, "index " + quote(t) + " " + tags);
    ASSERT_EQ(i.code, 0) << i.err;
    Outcome c = tool(dir, "check " + quote(t));
    EXPECT_EQ(c.code, 0) << t << "\n" << c.out;
  }
  // Record 5's name changed and record 6 deleted behind the index's back: the tags of the name
  // and of the deleted flag name them, the others stay silent. (No key here has RECNO(): the
  // index build does not give it the record's number.)
  std::string outs[2];
  for (int k = 0; k < 2; ++k) {
    const std::string& t = k ? memo : plain;
    std::string bytes = tav::test::readFile(t);
    const uint16_t hdr = tav::rt::getLE16(bytes.data() + 8),
                   rl = tav::rt::getLE16(bytes.data() + 10);
    bytes[size_t(hdr) + 4u * rl + 1] = 'Q';
    bytes[size_t(hdr) + 5u * rl] = '*';
    tav::test::writeFile(t, bytes);
    Outcome c = tool(dir, "check " + quote(t));
    EXPECT_EQ(c.code, 1) << c.out;
    for (const char* line :
         {"tag NAZ: key of record 5 differs from its expression UPPER(NAZWA)",
          "tag MIX: key of record 5 differs from its expression STR(KWOTA,12,2)+NAZWA",
          "tag AKT: key of record 5 differs from its expression",
          "tag AKT: key of record 6 differs from its expression"})
      EXPECT_NE(c.out.find(line), std::string::npos) << line << "\n" << c.out;
    for (const char* tag : {"tag KWO", "tag DAT", "tag ILE"})
      EXPECT_EQ(c.out.find(tag), std::string::npos) << tag << "\n" << c.out;
    outs[k] = c.out;
    for (const std::string& name : {std::string("bez"), std::string("zm")})
      for (size_t at; (at = outs[k].find(name + ".")) != std::string::npos;)
        outs[k].replace(at, name.size(), "T");
  }
  EXPECT_EQ(outs[0], outs[1]);
}

// Many records, so that a tag spans several pages.
std::string manyRecords(int n) {
  std::string out;
  for (int i = 1; i <= n; ++i)
    out += "{\"NAZWA\":\"Kontrahent " + std::to_string((i * 7919) % n) +
           "\",\"KWOTA\":" + std::to_string(i) + "}\n";
  return out;
}

// Whatever is wrong with the table or the tag, dump shows what it can read, names the fault on
// standard error and exits 1: a script never takes part of a table for the whole of it.
TEST_F(DbftoolTest, DumpNeverPassesPartOfATableForAllOfIt) {
  const int n = 1000;
  std::string t = (dir / "a.dbf").string();
  ASSERT_EQ(
      tool(dir, "create " + quote(t) + " --fields 'NAZWA:C:30,KWOTA:N:8:0'", manyRecords(n)).code,
      0);
  ASSERT_EQ(tool(dir, "index " + quote(t) + " NAZ NAZWA").code, 0);
  Outcome whole = tool(dir, "dump " + quote(t));
  ASSERT_EQ(whole.code, 0) << whole.err;
  ASSERT_EQ(lines(whole.out), size_t(n));
  EXPECT_EQ(whole.err, "");
  EXPECT_EQ(tool(dir, "dump --tag NAZ " + quote(t)).code, 0);
  const std::string good = tav::test::readFile(t);
  const uint16_t hdr = tav::rt::getLE16(good.data() + 8), rl = tav::rt::getLE16(good.data() + 10);
  struct Damage {
    const char* what;
    std::string bytes;
    size_t shown;
  };
  std::string cut =
      good.substr(0, size_t(hdr) + size_t(rl) * (n - 1) + rl / 2);  // half a last record
  std::string more = good, fewer = good;
  tav::rt::putLE32(more.data() + 4, n + 10);   // counts records the file does not hold
  tav::rt::putLE32(fewer.data() + 4, n - 10);  // counts fewer than the file holds
  const Damage damages[] = {{"incomplete", cut, size_t(n - 1)},
                            {"missing", more, size_t(n)},
                            {"header counts", fewer, size_t(n)}};
  for (const auto& d : damages) {
    tav::test::writeFile(t, d.bytes);
    Outcome r = tool(dir, "dump " + quote(t));
    EXPECT_EQ(r.code, 1) << d.what;
    EXPECT_EQ(lines(r.out), d.shown) << d.what;
    EXPECT_NE(r.err.find(d.what), std::string::npos) << r.err;
    EXPECT_EQ(tav::test::readFile(t), d.bytes) << "dump wrote to " << d.what;
  }
  tav::test::writeFile(t, good);
  // A leaf of the tag that no longer leads to the next one: the walk in tag order ends early.
  std::string cdx = tav::test::readFile(dir / "a.cdx");
  bool cut2 = false;
  for (size_t page = 2048; page + 512 <= cdx.size() && !cut2; page += 512) {
    if (tav::rt::getLE16(cdx.data() + page) != 2 ||
        tav::rt::getLE32(cdx.data() + page + 8) == 0xFFFFFFFFu)
      continue;
    tav::rt::putLE32(cdx.data() + page + 8, 0xFFFFFFFFu);
    cut2 = true;
  }
  ASSERT_TRUE(cut2) << "the tag has a single leaf";
  tav::test::writeFile(dir / "a.cdx", cdx);
  Outcome r = tool(dir, "dump --tag NAZ " + quote(t));
  EXPECT_EQ(r.code, 1);
  EXPECT_LT(lines(r.out), size_t(n));
  EXPECT_NE(r.err.find("tag NAZ"), std::string::npos) << r.err;
  EXPECT_EQ(tool(dir, "check " + quote(t)).code, 1);
  // An index that will not open at all: nothing can be shown in its order.
  tav::test::writeFile(dir / "a.cdx", std::string(1536, 'x'));
  r = tool(dir, "dump --tag NAZ " + quote(t));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("NAZ"), std::string::npos) << r.err;
}

// create writes the whole table or leaves what was there: a refused line is named with its
// value, and text the table's code page cannot hold is refused, never stored as '?'.
TEST_F(DbftoolTest, CreateWritesTheWholeTableOrNone) {
  std::string t = (dir / "a.dbf").string();
  const std::string fields = " --fields 'NAZWA:C:10,KWOTA:N:6:2,UWAGI:M'";
  ASSERT_EQ(
      tool(dir, "create " + quote(t) + fields, "{\"NAZWA\":\"stary\",\"UWAGI\":\"notatka\"}\n")
          .code,
      0);
  const std::string table = tav::test::readFile(t), memo = tav::test::readFile(dir / "a.fpt");
  const std::pair<std::string, std::vector<std::string>> refused[] = {
      {"{\"NAZWA\":\"a\"}\n{\"NAZWA\":\"b\"}\n{\"KWOTA\":12345.5}\n",
       {"line 3", "KWOTA", "12345.5"}},
      {"\n{\"NAZWA\":\"Łódź 日本\",\"UWAGI\":\"x\"}\n", {"line 2", "NAZWA", "日", "852"}},
      {"{\"NAZWA\":\"a\",\"UWAGI\":\"€ 5\"}\n", {"line 1", "UWAGI", "€"}},
  };
  for (const auto& [input, words] : refused) {
    Outcome c = tool(dir, "create " + quote(t) + fields, input);
    EXPECT_EQ(c.code, 2) << input;
    EXPECT_EQ(lines(c.err), 1u) << c.err;
    for (const auto& w : words) EXPECT_NE(c.err.find(w), std::string::npos) << w << " in " << c.err;
    EXPECT_EQ(tav::test::readFile(t), table);
    EXPECT_EQ(tav::test::readFile(dir / "a.fpt"), memo);
  }
  // A table another process holds open is not replaced under it.
#ifdef _WIN32
  HANDLE held = ::CreateFileW(tav::os::hostPath(t).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Outcome busy = tool(dir, "create " + quote(t) + fields, "{\"NAZWA\":\"b\"}\n");
  ::CloseHandle(held);
#else
  Outcome busy =
      run(dir, "flock -s " + quote(t) + " " + quote(kTool) + " create " + quote(t) + fields,
          "{\"NAZWA\":\"b\"}\n");
#endif
  EXPECT_EQ(busy.code, 2);
  EXPECT_NE(busy.err.find("in use"), std::string::npos) << busy.err;
  EXPECT_EQ(tav::test::readFile(t), table);
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(e.path().filename().string()[0], '~') << e.path();
  ASSERT_EQ(
      tool(dir, "create " + quote(t) + fields, "{\"NAZWA\":\"nowy\",\"UWAGI\":\"Łódź\"}\n").code,
      0);
  Outcome d = tool(dir, "dump " + quote(t));
  EXPECT_EQ(d.out,
            "{\"_recno\":1,\"_deleted\":false,\"NAZWA\":\"nowy      "
            "\",\"KWOTA\":0.00,\"UWAGI\":\"Łódź\"}\n");
}

}  // namespace
