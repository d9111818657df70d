// dbftool: prints, creates and checks tables and their indexes.
//   dbftool struct FILE
//   dbftool dump FILE [--deleted] [--tag NAME]
//   dbftool create FILE --fields "NAME:C:10:0,KWOTA:N:12:2,..."   (JSON lines on stdin)
//   dbftool check FILE
//   dbftool tags FILE
//   dbftool index FILE --tag NAME --key EXPRESSION
//   dbftool seek FILE --tag NAME KEY
// Exit 0 on success, 1 when check finds problems (or a seek finds nothing, or a record could
// not be read whole), 2 with one line on bad arguments or an unreadable file.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "engine/dbf/table.h"
#include "engine/index/key_encoding.h"
#include "engine/workspace.h"
#include "json.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"

using namespace tav;
using namespace tav::engine;

namespace {

struct Usage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<std::string> errors;

int usage(const std::string& why) {
  std::fprintf(stderr, "dbftool: %s\n", why.c_str());
  return 2;
}

struct Args {
  std::string command, file, tag, key, fields;
  bool deleted = false;
  std::vector<std::string> rest;
};

Args parse(int argc, char** argv) {
  Args a;
  if (argc < 3) throw Usage("usage: dbftool struct|dump|create|check|tags|index|seek FILE [options]");
  a.command = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string s = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) throw Usage(s + " needs a value");
      into = argv[++i];
    };
    if (s == "--deleted") a.deleted = true;
    else if (s == "--tag") value(a.tag);
    else if (s == "--key") value(a.key);
    else if (s == "--fields") value(a.fields);
    else if (s.rfind("--", 0) == 0) throw Usage("unknown option " + s);
    else if (a.file.empty()) a.file = s;
    else a.rest.push_back(s);
  }
  if (a.file.empty()) throw Usage("no FILE given");
  return a;
}

std::string number(const FieldDef& f, double v) {
  if (!std::isfinite(v)) return "null";
  int dec = f.type == 'Y' ? 4 : f.type == 'I' ? 0 : f.decimals;
  char buf[64];
  if (f.type == 'B')
    std::snprintf(buf, sizeof buf, "%.17g", v);
  else
    std::snprintf(buf, sizeof buf, "%.*f", dec, v);
  std::string s = buf;
  if (s.find_first_not_of("-0.") == std::string::npos) s = dec ? "0." + std::string(size_t(dec), '0') : "0";
  return s;
}

std::string recordJson(WorkArea& a) {
  std::string out = "{\"_recno\":" + std::to_string(a.recno()) + ",\"_deleted\":" + (a.deleted() ? "true" : "false");
  for (size_t i = 1; i <= a.fieldCount(); ++i) {
    const FieldDef& f = a.field(i);
    out += ',';
    dbftool::appendString(out, rt::oemToUtf8(f.name));
    out += ':';
    rt::Value v = a.get(i);
    if (v.isText()) dbftool::appendString(out, rt::oemToUtf8(v.str()));
    else if (v.isNumber()) out += number(f, v.num());
    else if (v.isDate()) dbftool::appendString(out, v.date().empty() ? "" : v.date().dtos());
    else if (v.isLogical()) out += v.log() ? "true" : "false";
    else out += "null";
  }
  return out + "}";
}

bool openArea(Workspace& ws, const std::string& file, bool readOnly) {
  if (!std::filesystem::exists(file)) throw Usage("cannot read " + file + ": no such file");
  UseOptions o;
  o.shared = readOnly;
  o.readOnly = readOnly;
  if (!ws.useHost(file, "T", o)) throw Usage("cannot open " + file + ": " + (errors.empty() ? "" : errors.back()));
  // A single-key index of the same name joins the structural one, so that its key can be
  // listed, sought and dumped in order too.
  for (const char* ext : {".ntx", ".NTX"}) {
    std::filesystem::path ntx = file;
    ntx.replace_extension(ext);
    if (std::filesystem::exists(ntx)) {
      ws.current()->orderListAdd(ntx);
      break;
    }
  }
  errors.clear();
  return true;
}

void focus(WorkArea& a, const std::string& tag) {
  if (tag.empty()) return;
  if (!a.setOrder(tag)) throw Usage("no tag " + tag);
}

int cmdStruct(const Args& args) {
  Workspace ws;
  openArea(ws, args.file, true);
  for (const auto& f : ws.current()->structure())
    std::printf("%s %c %d %d\n", rt::oemToUtf8(f.name).c_str(), f.type, f.length, f.decimals);
  return 0;
}

int cmdDump(const Args& args) {
  Workspace ws;
  openArea(ws, args.file, true);
  WorkArea& a = *ws.current();
  focus(a, args.tag);
  std::string line;
  for (a.goTop(); !a.eof(); a.skip()) {
    if (a.deleted() && !args.deleted) continue;
    line = recordJson(a);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  for (const auto& e : errors) std::fprintf(stderr, "dbftool: %s\n", e.c_str());
  return errors.empty() ? 0 : 1;
}

std::vector<FieldSpec> parseFields(const std::string& text) {
  std::vector<FieldSpec> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    pos = comma == std::string::npos ? text.size() + 1 : comma + 1;
    std::vector<std::string> parts;
    size_t p = 0;
    for (;;) {
      size_t c = item.find(':', p);
      parts.push_back(item.substr(p, c == std::string::npos ? std::string::npos : c - p));
      if (c == std::string::npos) break;
      p = c + 1;
    }
    if (parts.size() < 2 || parts.size() > 4 || parts[1].size() != 1)
      throw Usage("bad field \"" + item + "\": NAME:TYPE:LEN:DEC expected");
    FieldSpec f;
    f.name = rt::utf8ToOem(parts[0]);
    f.type = parts[1][0];
    char t = rt::upperChar(f.type);
    f.length = t == 'D' ? 8 : t == 'L' ? 1 : t == 'M' ? 10 : 0;
    try {
      if (parts.size() > 2) f.length = std::stoi(parts[2]);
      if (parts.size() > 3) f.decimals = std::stoi(parts[3]);
    } catch (const std::exception&) {
      throw Usage("bad length in field \"" + item + "\"");
    }
    out.push_back(f);
  }
  return out;
}

rt::Value toValue(const FieldDef& f, const dbftool::JsonValue& v) {
  switch (f.type) {
    case 'C':
    case 'M':
    case 'V':
      if (v.kind != dbftool::JsonValue::String) throw Usage("field " + f.name + " takes a string");
      return rt::Value(rt::utf8ToOem(v.text));
    case 'D': {
      if (v.kind != dbftool::JsonValue::String) throw Usage("field " + f.name + " takes a date \"YYYYMMDD\"");
      rt::Date d = rt::Date::fromDtos(v.text);
      if (!v.text.empty() && d.empty()) throw Usage("field " + f.name + ": \"" + v.text + "\" is not a date");
      return rt::Value(d);
    }
    case 'L':
      if (v.kind != dbftool::JsonValue::Bool) throw Usage("field " + f.name + " takes true or false");
      return rt::Value(v.boolean);
    default:
      if (v.kind != dbftool::JsonValue::Number) throw Usage("field " + f.name + " takes a number");
      return rt::Value(v.number);
  }
}

int cmdCreate(const Args& args) {
  if (args.fields.empty()) throw Usage("create needs --fields");
  auto fields = parseFields(args.fields);
  Workspace ws;
  if (!ws.createHost(args.file, fields)) throw Usage("cannot create " + args.file + ": " + errors.back());
  openArea(ws, args.file, false);
  WorkArea& a = *ws.current();
  std::string line;
  int n = 0;
  while (std::getline(std::cin, line)) {
    ++n;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    try {
      auto obj = dbftool::parseObject(line);
      if (!a.append()) throw Usage("cannot append");
      bool del = false;
      for (const auto& [name, v] : obj) {
        if (name == "_recno") continue;
        if (name == "_deleted") {
          del = v.kind == dbftool::JsonValue::Bool && v.boolean;
          continue;
        }
        int pos = a.fieldPos(rt::utf8ToOem(name));
        if (!pos) throw Usage("no field " + name);
        if (v.kind == dbftool::JsonValue::Null) continue;
        a.put(size_t(pos), toValue(a.field(size_t(pos)), v));
        if (!errors.empty()) throw Usage(errors.back());
      }
      if (del) a.remove();
    } catch (const std::runtime_error& e) {
      throw Usage("line " + std::to_string(n) + ": " + e.what());
    }
  }
  a.commit();
  return errors.empty() ? 0 : 2;
}

// ---------------------------------------------------------------- check

int cmdCheck(const Args& args) {
  if (!std::filesystem::exists(args.file)) throw Usage("cannot read " + args.file + ": no such file");
  std::vector<std::string> problems;
  rt::Error err;
  TableOptions o;
  o.shared = true;
  o.readOnly = true;
  auto t = Table::open(args.file, o, err);
  if (!t) {
    // The table file itself unreadable is a usage matter; a damaged header or a memo file
    // that is missing or damaged is a finding.
    bool tableItself = err.genCode != rt::kErrCorruption && err.filename == std::filesystem::path(args.file).string();
    if (tableItself) throw Usage("cannot open " + args.file + ": " + err.description);
    std::printf("%s: %s\n", args.file.c_str(), err.description.c_str());
    return 1;
  }
  const DbfHeader& h = t->header();
  for (const auto& i : t->issues()) problems.push_back(i.text);
  if (h.month < 1 || h.month > 12 || h.day < 1 || h.day > 31) problems.push_back("date of last update is not a date");
  bool memoVersion = h.version == dbf::kVersionFoxMemo || h.version == 0x30 || h.version == 0x31 ||
                     h.version == 0x32 || h.version == 0x83 || h.version == 0x8B;
  if (h.hasMemo() && !memoVersion) problems.push_back("table has memo fields but its version byte says none");
  if (!h.hasMemo() && h.version == dbf::kVersionFoxMemo) problems.push_back("version byte says memo, no memo field");
  // Memo pointers: every one must lead to a whole entry inside the memo file.
  std::string rec(h.recordLength, ' ');
  for (uint32_t r = 1; r <= t->recordCount(); ++r) {
    if (!t->readRecord(r, rec.data())) {
      problems.push_back("record " + std::to_string(r) + " cannot be read");
      break;
    }
    if (rec[0] != ' ' && rec[0] != '*')
      problems.push_back("record " + std::to_string(r) + " has deleted flag byte " + std::to_string(uint8_t(rec[0])));
    for (const auto& f : h.fields) {
      if (f.type != 'M' && f.type != 'G' && f.type != 'P') continue;
      const char* raw = rec.data() + f.offset;
      uint32_t block = memoPointer(f, h.memoPointersBinary(), raw);
      if (!block) {
        if (!h.memoPointersBinary() && f.length != 4 &&
            std::string(raw, f.length).find_first_not_of(" 0") != std::string::npos)
          problems.push_back("record " + std::to_string(r) + " field " + f.name + ": memo pointer \"" +
                             std::string(raw, f.length) + "\" is not a number");
        continue;
      }
      if (!t->memo()) {
        problems.push_back("record " + std::to_string(r) + " field " + f.name + " points to a memo but there is no memo file");
        continue;
      }
      std::string why;
      if (!t->memo()->read(block, why))
        problems.push_back("record " + std::to_string(r) + " field " + f.name + ": " + why);
    }
  }
  t.reset();
  // Indexes: the structural .cdx (and a .ntx of the same name): every record once, keys equal
  // to the key expression's value, in order.
  std::vector<std::filesystem::path> indexes;
  for (const char* ext : {".cdx", ".CDX", ".ntx", ".NTX"}) {
    std::filesystem::path p = args.file;
    p.replace_extension(ext);
    if (std::filesystem::exists(p) && std::find(indexes.begin(), indexes.end(), p) == indexes.end()) indexes.push_back(p);
  }
  Workspace ws;
  UseOptions uo;
  uo.shared = true;
  uo.readOnly = true;
  if (!ws.useHost(args.file, "T", uo)) {
    problems.push_back("table cannot be opened: " + (errors.empty() ? std::string() : errors.back()));
  } else {
    WorkArea& a = *ws.current();
    a.orderListClear();
    for (const auto& p : indexes) {
      errors.clear();
      if (!a.orderListAdd(p)) {
        problems.push_back("index " + p.filename().string() + " cannot be opened: " + (errors.empty() ? "" : errors.back()));
        continue;
      }
    }
    errors.clear();
    uint32_t count = a.lastRec();
    for (size_t i = 0; i < a.orderCount(); ++i) {
      IndexTag* tag = a.orderAt(i);
      std::string where = "tag " + tag->name() + ": ";
      // One pass over the tag, keeping only the previous entry and a bit per record.
      std::vector<bool> seen(size_t(count) + 1, false);
      std::string previousKey;
      uint32_t previousRec = 0, entries = 0;
      size_t reported = 0;
      auto report = [&](std::string text) {
        if (reported++ < 20) problems.push_back(where + text);
      };
      for (uint32_t r = tag->first(); r; r = tag->next()) {
        if (++entries > count + 1) break;
        std::string key = tag->currentKey();
        if (r > count) {
          report("entry points to record " + std::to_string(r) + " beyond the table");
          continue;
        }
        if (seen[r]) report("record " + std::to_string(r) + " is indexed twice");
        seen[r] = true;
        if (previousRec) {
          int c = compareKeys(*tag, previousKey.data(), key.data(), tag->keyLength());
          if (c > 0 || (c == 0 && previousRec > r)) report("keys out of order at record " + std::to_string(r));
        }
        previousKey = key;
        previousRec = r;
        a.goTo(r);
        if (a.currentKey(i) != key)
          report("key of record " + std::to_string(r) + " differs from its expression " + tag->keyExpression());
      }
      if (entries != count)
        problems.push_back(where + std::to_string(entries) + " entries for " + std::to_string(count) + " records");
    }
    for (const auto& e : errors) problems.push_back(e);
  }
  for (const auto& p : problems) std::printf("%s: %s\n", args.file.c_str(), rt::oemToUtf8(p).c_str());
  return problems.empty() ? 0 : 1;
}

// ---------------------------------------------------------------- indexes

int cmdTags(const Args& args) {
  Workspace ws;
  openArea(ws, args.file, true);
  WorkArea& a = *ws.current();
  for (size_t i = 0; i < a.orderCount(); ++i)
    std::printf("%s %s\n", a.orderAt(i)->name().c_str(), rt::oemToUtf8(a.orderAt(i)->keyExpression()).c_str());
  return 0;
}

int cmdIndex(const Args& args) {
  if (args.tag.empty() || args.key.empty()) throw Usage("index needs --tag and --key");
  Workspace ws;
  openArea(ws, args.file, false);
  std::filesystem::path cdx = args.file;
  cdx.replace_extension(".cdx");
  if (!ws.current()->orderCreate(cdx, args.tag, rt::utf8ToOem(args.key)))
    throw Usage("cannot create tag " + args.tag + ": " + (errors.empty() ? "" : errors.back()));
  return 0;
}

int cmdSeek(const Args& args) {
  if (args.tag.empty() || args.rest.size() != 1) throw Usage("seek needs --tag NAME and one KEY");
  Workspace ws;
  openArea(ws, args.file, true);
  WorkArea& a = *ws.current();
  focus(a, args.tag);
  const std::string& text = args.rest[0];
  rt::Value key;
  switch (a.order()->keyType()) {
    case KeyType::Character: key = rt::Value(rt::utf8ToOem(text)); break;
    case KeyType::Numeric: key = rt::Value(rt::Val(text).value); break;
    case KeyType::Date: key = rt::Value(rt::Date::fromDtos(text)); break;
    case KeyType::Logical: key = rt::Value(text == "T" || text == "true"); break;
  }
  if (!a.seek(key, false)) return 1;
  std::printf("%s\n", recordJson(a).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  rt::HandlerGuard handler([](rt::Error& e) {
    errors.push_back(e.description.empty() ? e.summary() : e.description);
    return rt::Answer{};
  });
  try {
    Args args = parse(argc, argv);
    if (args.command == "struct") return cmdStruct(args);
    if (args.command == "dump") return cmdDump(args);
    if (args.command == "create") return cmdCreate(args);
    if (args.command == "check") return cmdCheck(args);
    if (args.command == "tags") return cmdTags(args);
    if (args.command == "index") return cmdIndex(args);
    if (args.command == "seek") return cmdSeek(args);
    return usage("unknown command " + args.command);
  } catch (const Usage& u) {
    return usage(u.what());
  } catch (const rt::Abandon& a) {
    return usage(a.error().summary());
  } catch (const std::exception& e) {
    return usage(e.what());
  }
}
