// Fuzz target: a table file's header and records. The bytes are opened as a table (beside a
// small sound memo file, so that memo pointers have something to point into), every record and
// field is read at the file level and again through a work area from top to bottom and back.
// Invariants checked: a damaged table is an error, never a crash; a field that bytesRoundTrip()
// accepts encodes back to exactly its bytes.

#include <cstring>
#include <string>

#include "engine/dbf/table.h"
#include "engine/fpt/memo_file.h"
#include "engine/workspace.h"
#include "fuzz_support.h"

using namespace tav;
using namespace tav::engine;

namespace {

const std::filesystem::path& tablePath() {
  static const std::filesystem::path p = [] {
    auto dbf = fuzz::scratch() / "t.dbf";
    auto fpt = fuzz::scratch() / "t.fpt";
    if (!MemoFile::create(fpt)) fuzz::finding("cannot create the memo file");
    std::string why;
    auto m = MemoFile::open(fpt, false, false, why);
    if (!m) fuzz::finding("cannot open the memo file: " + why);
    m->write("pierwsza notatka");
    m->write(std::string(300, 'x'));
    m->write(std::string("\0\1\2binary", 9), MemoFile::kTypeBinary);
    return dbf;
  }();
  return p;
}

void readFileLevel() {
  rt::Error err;
  TableOptions o;
  o.readOnly = true;
  auto t = Table::open(tablePath(), o, err);
  if (!t) return;
  const DbfHeader& h = t->header();
  std::string rec(h.recordLength, '\0'), copy;
  for (uint32_t r = 1; r <= t->recordCount(); ++r) {
    if (!t->readRecord(r, rec.data())) continue;
    for (const FieldDef& f : h.fields) {
      rt::Value v;
      uint32_t block = 0;
      const char* raw = rec.data() + f.offset;
      Decoded d = decodeField(f, raw, h, v, block);
      if (d == Decoded::Memo && block && t->memo()) {
        std::string why;
        uint32_t type = 0;
        (void)t->memo()->read(block, why, &type);
      }
      if (d == Decoded::Ok && bytesRoundTrip(f, raw)) {
        // Into a blank record, as an append writes: a logical field wider than one byte gets
        // only its first byte from encodeField and keeps the blanks after it.
        int code = 0;
        copy = blankRecord(h);
        if (!encodeField(f, v, copy.data() + f.offset, code) ||
            std::memcmp(copy.data() + f.offset, raw, f.length) != 0)
          fuzz::finding("field " + f.name + " of type " + f.type +
                        " said to round-trip does not encode back to its bytes");
      }
    }
  }
}

void readThroughWorkArea() {
  Workspace& ws = workspace();
  fuzz::underHandler([&] {
    UseOptions o;
    o.readOnly = true;
    if (!ws.useHost(tablePath(), "T", o)) return;
    WorkArea* a = ws.current();
    uint64_t steps = 0;
    const uint64_t limit = uint64_t(a->lastRec()) + 2;
    for (a->goTop(); !a->eof(); a->skip()) {
      fuzz::boundedStep(steps, limit, "skipping through the table");
      for (size_t i = 1; i <= a->fieldCount(); ++i) (void)a->get(i);
      (void)a->deleted();
    }
    steps = 0;
    for (a->goBottom(); !a->bof() && a->recno() != 0; a->skip(-1)) {
      fuzz::boundedStep(steps, limit, "skipping back through the table");
      if (a->eof()) break;
    }
    (void)a->structure();
  });
  fuzz::underHandler([&] { ws.closeAll(); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::writeBytes(tablePath(), fuzz::bytesOf(data, size));
  readFileLevel();
  readThroughWorkArea();
  return 0;
}
