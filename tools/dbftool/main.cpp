// dbftool: prints, creates and checks tables and their indexes, for scripts and support people.
// `dbftool --help` prints the commands and their options (kUsage below is that text).
// Invariants: nothing is shown as the whole table that is not (a dump that could not read
// every record says so on standard error and exits 1); create leaves the whole table or none;
// check and the other readers never write.
// Exit 0 on success, 1 when check finds problems, an exact seek finds nothing or a dump could
// not show every record, 2 with one line on standard error on bad arguments or an unreadable
// file.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "engine/dbf/table.h"
#include "engine/index/index_files.h"
#include "engine/staging.h"
#include "engine/table_check.h"
#include "engine/workspace.h"
#include "json.h"
#include "os/console.h"
#include "os/file.h"
#include "os/files.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/settings.h"

using namespace tav;
using namespace tav::engine;

namespace {

struct Usage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The commands in the order --help lists them, each with its lines of usage.
struct Command {
  const char* name;
  const char* usage;
  const char* options;  // the options it takes, space separated, each with its leading dashes
};
const Command kCommands[] = {
    {"struct", "  dbftool struct FILE\n      the fields, one a line: NAME TYPE LENGTH DECIMALS\n",
     ""},
    {"dump",
     "  dbftool dump FILE [--deleted] [--tag NAME]\n"
     "      the records as JSON lines (deleted ones only with --deleted), in the tag's order with "
     "--tag;\n"
     "      exit 1, after what could be read, when the table or the tag does not give every "
     "record\n",
     "--deleted --tag"},
    {"create",
     "  dbftool create FILE --fields \"NAME:TYPE[:LENGTH[:DECIMALS]],...\"   < records.jsonl\n"
     "      a new table from JSON lines on standard input (as dump writes them); the whole table\n"
     "      or none: a bad line leaves FILE as it was and is named with the value it refuses\n",
     "--fields"},
    {"check",
     "  dbftool check FILE\n"
     "      every problem of the table, its memo file and its indexes, one a line; exit 1 when "
     "any\n",
     ""},
    {"tags",
     "  dbftool tags FILE\n      the tags of the structural .cdx (and a .ntx of the same name): "
     "NAME EXPRESSION\n",
     ""},
    {"index",
     "  dbftool index FILE TAG EXPRESSION [TAG EXPRESSION ...]\n"
     "      the structural .cdx written anew with these tags, in this order, in one pass over the "
     "table\n"
     "  dbftool index FILE --tag NAME --key EXPRESSION\n"
     "      one tag added to the structural .cdx (or rebuilt, when it has one of that name);\n"
     "      both print the time taken\n",
     "--tag --key"},
    {"seek",
     "  dbftool seek FILE TAG KEY\n"
     "      the record number a soft seek of KEY in the tag lands on, or eof\n"
     "  dbftool seek FILE --tag NAME KEY\n"
     "      the record whose key is KEY, as a JSON line; exit 1 when there is none\n"
     "      deleted records are passed over (as dump does) unless --deleted is given\n",
     "--tag --deleted"},
};

const char kExits[] =
    "  dbftool --help | dbftool COMMAND --help\n"
    "exit: 0 done; 1 check found problems, an exact seek found nothing, a dump could not show\n"
    "every record, or tags found an index it cannot read; 2 bad arguments or an unreadable file\n"
    "(one line on standard error)\n";

const Command* findCommand(const std::string& name) {
  for (const auto& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

int help(const Command* only) {
  std::string text = "usage:\n";
  for (const auto& c : kCommands)
    if (!only || only == &c) text += c.usage;
  text += kExits;
  std::fputs(text.c_str(), stdout);
  return 0;
}

std::vector<std::string> errors;  // the engine's reasons as raised: 852, paths in them too

// The last reason raised, as this tool writes it (UTF-8); empty when none was.
std::string lastError() { return errors.empty() ? std::string() : rt::oemToUtf8(errors.back()); }

int usage(const std::string& why) {
  std::fprintf(stderr, "dbftool: %s\n", why.c_str());
  return 2;
}

struct Args {
  std::string command, file, tag, key, fields;
  bool deleted = false, help = false;
  std::set<std::string> given;  // the options named, for the commands' own checks
  std::vector<std::string> rest;
};

// `argv`: the arguments after the program's name, UTF-8.
Args parse(const std::vector<std::string>& argv) {
  Args a;
  const int argc = static_cast<int>(argv.size()) + 1;
  auto arg = [&](int i) -> const std::string& { return argv[static_cast<size_t>(i) - 1]; };
  if (argc >= 2 && (arg(1) == "--help" || arg(1) == "-h" || arg(1) == "help")) {
    a.help = true;
    if (argc >= 3) a.command = arg(2);
    if (!a.command.empty() && !findCommand(a.command))
      throw Usage("unknown command " + a.command + "; dbftool --help lists them");
    return a;
  }
  if (argc < 2) throw Usage("no command; dbftool --help lists them");
  a.command = arg(1);
  const Command* c = findCommand(a.command);
  if (!c) throw Usage("unknown command " + a.command + "; dbftool --help lists them");
  const std::string takes = std::string(" ") + c->options + " ";
  bool optionsEnd = false;
  for (int i = 2; i < argc; ++i) {
    std::string s = arg(i);
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) throw Usage(s + " needs a value");
      into = arg(++i);
    };
    if (!optionsEnd && (s == "--help" || s == "-h")) {
      a.help = true;
      return a;
    }
    if (!optionsEnd && s == "--") {
      optionsEnd = true;
      continue;
    }
    if (!optionsEnd && s.rfind("--", 0) == 0) {
      if (takes.find(" " + s + " ") == std::string::npos) {
        bool known = s == "--deleted" || s == "--tag" || s == "--key" || s == "--fields";
        throw Usage(known ? a.command + " takes no option " + s + "; dbftool " + a.command +
                                " --help lists its options"
                          : "unknown option " + s + "; dbftool " + a.command +
                                " --help lists its options");
      }
      a.given.insert(s);
      if (s == "--deleted")
        a.deleted = true;
      else if (s == "--tag")
        value(a.tag);
      else if (s == "--key")
        value(a.key);
      else if (s == "--fields")
        value(a.fields);
    } else if (a.file.empty()) {
      a.file = s;
    } else {
      a.rest.push_back(s);
    }
  }
  if (a.file.empty())
    throw Usage("no FILE given; dbftool " + a.command + " --help shows its usage");
  bool takesMore = a.command == "index" || a.command == "seek";
  if (!takesMore && !a.rest.empty())
    throw Usage(a.command + " takes one FILE, not also \"" + a.rest[0] + "\"");
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
  if (s.find_first_not_of("-0.") == std::string::npos)
    s = dec ? "0." + std::string(size_t(dec), '0') : "0";
  return s;
}

std::string recordJson(WorkArea& a) {
  std::string out = "{\"_recno\":" + std::to_string(a.recno()) +
                    ",\"_deleted\":" + (a.deleted() ? "true" : "false");
  for (size_t i = 1; i <= a.fieldCount(); ++i) {
    const FieldDef& f = a.field(i);
    out += ',';
    dbftool::appendString(out, rt::oemToUtf8(f.name));
    out += ':';
    rt::Value v = a.get(i);
    if (v.isText())
      dbftool::appendString(out, rt::oemToUtf8(v.str()));
    else if (v.isNumber())
      out += number(f, v.num());
    else if (v.isDate())
      dbftool::appendString(out, v.date().empty() ? "" : v.date().dtos());
    else if (v.isLogical())
      out += v.log() ? "true" : "false";
    else
      out += "null";
  }
  return out + "}";
}

// FILE as given (UTF-8) on the host: on Windows a narrow string would be widened byte by byte.
std::filesystem::path host(const std::string& file) { return os::hostPath(file); }

bool openArea(Workspace& ws, const std::filesystem::path& file, bool readOnly) {
  const std::string named = os::utf8(file);
  if (!std::filesystem::exists(file)) throw Usage("cannot read " + named + ": no such file");
  UseOptions o;
  o.shared = readOnly;
  o.readOnly = readOnly;
  if (!ws.useHost(file, "T", o)) throw Usage("cannot open " + named + ": " + lastError());
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

// Why an index file beside the table (structural .cdx, .ntx of its name) would not open; empty
// when none is damaged. A read-only open passes over such a file without a word.
std::string damagedIndexBeside(const std::filesystem::path& file) {
  for (const char* ext : {".cdx", ".CDX", ".ntx", ".NTX"}) {
    std::filesystem::path p = file;
    p.replace_extension(ext);
    std::string why;
    if (std::filesystem::exists(p) && !openIndexFile(p, true, {}, &why))
      return "index " + os::utf8(p) + " is damaged: " + rt::oemToUtf8(why);
  }
  return {};
}

void focus(WorkArea& a, const std::string& tag) {
  if (tag.empty()) return;
  bool known = false;
  for (size_t i = 0; i < a.orderCount(); ++i)
    known = known || rt::upper(a.orderAt(i)->name()) == rt::upper(tag);
  if (!known) {
    std::string damaged = damagedIndexBeside(a.table().path());
    throw Usage("no tag " + tag + (damaged.empty() ? "" : " to be read: " + damaged));
  }
  a.setOrder(tag);
}

int cmdStruct(const Args& args) {
  Workspace ws;
  openArea(ws, host(args.file), true);
  for (const auto& f : ws.current()->structure())
    std::printf("%s %c %d %d\n", rt::oemToUtf8(f.name).c_str(), f.type, f.length, f.decimals);
  return 0;
}

int cmdDump(const Args& args) {
  Workspace ws;
  openArea(ws, host(args.file), true);
  WorkArea& a = *ws.current();
  std::vector<std::string> wrong;
  if (!args.tag.empty()) {
    bool known = false;
    for (size_t i = 0; i < a.orderCount(); ++i)
      known = known || rt::upper(a.orderAt(i)->name()) == rt::upper(args.tag);
    // An index that would not open may well have held the tag: that is damage, not a wrong
    // name, and nothing can be shown in its order.
    std::string damaged = known ? std::string() : damagedIndexBeside(host(args.file));
    if (!damaged.empty()) {
      std::fprintf(stderr, "dbftool: %s: tag %s cannot be read: %s\n", args.file.c_str(),
                   args.tag.c_str(), damaged.c_str());
      return 1;
    }
    focus(a, args.tag);
  }
  for (const auto& i : a.table().issues())
    if (i.recordsInDoubt) wrong.push_back(i.text);
  errors.clear();
  std::string line;
  uint32_t shown = 0, visited = 0;
  std::vector<bool> seen;
  if (a.order()) seen.assign(size_t(a.lastRec()) + 1, false);
  for (a.goTop(); !a.eof(); a.skip()) {
    // A damaged tag may lead in a circle: never more steps than the table has records.
    if (++visited > a.lastRec()) break;
    if (a.order()) {
      if (a.recno() < seen.size() && seen[a.recno()]) continue;
      if (a.recno() < seen.size()) seen[a.recno()] = true;
    }
    if (a.deleted() && !args.deleted) continue;
    line = recordJson(a);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    ++shown;
  }
  if (IndexTag* tag = a.order()) {
    // In tag order every record comes once: fewer means the tag lost some, and the dump with it.
    size_t reached = static_cast<size_t>(std::count(seen.begin(), seen.end(), true));
    const IndexFile* file = nullptr;
    for (size_t i = 0; i < a.orderCount(); ++i)
      if (a.orderAt(i) == tag) file = a.orderFile(i);
    if (file && !indexFileError(*file).empty())
      wrong.push_back("tag " + tag->name() + ": " + indexFileError(*file));
    if (reached != a.lastRec())
      wrong.push_back("tag " + tag->name() + " led to " + std::to_string(reached) + " of the " +
                      std::to_string(a.lastRec()) + " records");
  }
  for (const auto& e : errors) wrong.push_back(e);
  std::fflush(stdout);
  for (const auto& w : wrong)
    std::fprintf(stderr, "dbftool: %s: %s\n", args.file.c_str(), rt::oemToUtf8(w).c_str());
  if (!wrong.empty())
    std::fprintf(stderr, "dbftool: %s: the %u records shown may not be the whole table\n",
                 args.file.c_str(), shown);
  return wrong.empty() ? 0 : 1;
}

std::vector<FieldSpec> parseFields(const std::string& text) {
  std::vector<FieldSpec> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string item =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
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

// Text for a table: code page 852, refused when a character has no code there (it would be
// stored as '?' for good).
std::string tableText(const std::string& utf8) {
  std::string oem = rt::utf8ToOem(utf8);
  if (rt::oemToUtf8(oem) == utf8) return oem;
  // Name the first character that does not come back.
  for (size_t i = 0; i < utf8.size();) {
    size_t n = 1;
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0xF0)
      n = 4;
    else if (c >= 0xE0)
      n = 3;
    else if (c >= 0xC0)
      n = 2;
    std::string one = utf8.substr(i, n);
    if (rt::oemToUtf8(rt::utf8ToOem(one)) != one)
      throw Usage("\"" + one + "\" (at character " + std::to_string(i + 1) +
                  ") has no code in the table's code page 852");
    i += n;
  }
  throw Usage("text is not valid UTF-8");
}

std::string shown(const dbftool::JsonValue& v) {
  switch (v.kind) {
    case dbftool::JsonValue::String: {
      std::string out;
      dbftool::appendString(out, v.text);
      return out;
    }
    case dbftool::JsonValue::Number:
      return v.text;
    case dbftool::JsonValue::Bool:
      return v.boolean ? "true" : "false";
    default:
      return "null";
  }
}

rt::Value toValue(const FieldDef& f, const dbftool::JsonValue& v) {
  switch (f.type) {
    case 'C':
    case 'M':
    case 'V':
      if (v.kind != dbftool::JsonValue::String) throw Usage("takes a string");
      return rt::Value(tableText(v.text));
    case 'D': {
      if (v.kind != dbftool::JsonValue::String) throw Usage("takes a date \"YYYYMMDD\"");
      rt::Date d = rt::Date::fromDtos(v.text);
      if (!v.text.empty() && (d.empty() || v.text.size() != 8))
        throw Usage("is not a date YYYYMMDD");
      return rt::Value(d);
    }
    case 'L':
      if (v.kind != dbftool::JsonValue::Bool) throw Usage("takes true or false");
      return rt::Value(v.boolean);
    default:
      if (v.kind != dbftool::JsonValue::Number) throw Usage("takes a number");
      return rt::Value(v.number);
  }
}

// Removes a table under construction and its memo file.
void removeTable(const std::filesystem::path& dbf) {
  std::error_code ec;
  std::filesystem::remove(dbf, ec);
  std::filesystem::remove(Table::memoPathFor(dbf), ec);
}

int cmdCreate(const Args& args) {
  if (args.fields.empty()) throw Usage("create needs --fields");
  auto fields = parseFields(args.fields);
  // The table is made under its staging name and takes FILE's place only when every line went
  // in: a refused line leaves FILE (and a table that was there) untouched.
  const std::filesystem::path target = host(args.file), staged = stagedPath(target);
  removeTable(staged);
  std::string line;
  int n = 0;
  try {
    Workspace ws;
    errors.clear();
    if (!ws.createHost(staged, fields))
      throw Usage("cannot create " + args.file + ": " + lastError());
    openArea(ws, staged, false);
    WorkArea& a = *ws.current();
    while (std::getline(std::cin, line)) {
      ++n;
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      const std::string at = "line " + std::to_string(n) + ": ";
      dbftool::JsonObject obj;
      try {
        obj = dbftool::parseObject(line);
      } catch (const std::runtime_error& e) {
        throw Usage(at + e.what());
      }
      errors.clear();
      if (!a.append())
        throw Usage(at + "cannot append a record" + (errors.empty() ? "" : ": " + lastError()));
      bool del = false;
      for (const auto& [name, v] : obj) {
        if (name == "_recno") continue;
        if (name == "_deleted") {
          del = v.kind == dbftool::JsonValue::Bool && v.boolean;
          continue;
        }
        int pos = a.fieldPos(rt::utf8ToOem(name));
        if (!pos) throw Usage(at + "no field " + name);
        if (v.kind == dbftool::JsonValue::Null) continue;
        const FieldDef& f = a.field(size_t(pos));
        const std::string refuses = at + "field " + name + " refuses " + shown(v) + ": ";
        rt::Value value;
        try {
          value = toValue(f, v);
        } catch (const Usage& u) {
          throw Usage(refuses + u.what());
        }
        errors.clear();
        a.put(size_t(pos), value);
        if (!errors.empty()) throw Usage(refuses + lastError());
      }
      if (del) a.remove();
    }
    errors.clear();
    a.commit();
    if (!errors.empty()) throw Usage("cannot write " + os::utf8(staged) + ": " + lastError());
    ws.closeAll();
    if (!errors.empty()) throw Usage("cannot write " + os::utf8(staged) + ": " + lastError());
  } catch (...) {
    removeTable(staged);
    throw;
  }
  // A table someone has open is not replaced under their feet: the old one is held in
  // exclusive open mode across the renames, as creating over it in place would hold it.
  std::error_code ec;
  os::File old;
  if (std::filesystem::exists(target, ec) && old.open(target, os::File::Mode::Read) &&
      !old.lockOpenMode(true)) {
    removeTable(staged);
    throw Usage("cannot create " + args.file + ": the table is in use");
  }
#ifdef _WIN32
  // Windows refuses to rename over a file that is open, this open included. The exclusive open
  // has shown that no one else holds the table; should anyone open it now, Windows refuses the
  // renames below and the old table stays.
  old.close();
#endif
  // Memo first, table last: a table never names a memo file of another generation.
  const std::filesystem::path stagedMemo = Table::memoPathFor(staged),
                              memo = Table::memoPathFor(target);
  os::Status moved;
  if (std::filesystem::exists(stagedMemo, ec)) moved = os::replaceHostFile(stagedMemo, memo);
  if (moved) moved = os::replaceHostFile(staged, target);
  if (!moved) {
    removeTable(staged);
    throw Usage("cannot put the new table in place of " + args.file + ": " + moved.message());
  }
  return 0;
}

// ---------------------------------------------------------------- check

int cmdCheck(const Args& args) {
  TableCheck c = checkTable(host(args.file));
  if (!c.opened) throw Usage("cannot read " + args.file + ": " + c.unreadable);
  for (const auto& p : c.problems)
    std::printf("%s: %s\n", args.file.c_str(), rt::oemToUtf8(p).c_str());
  return c.problems.empty() ? 0 : 1;
}

// ---------------------------------------------------------------- indexes

int cmdTags(const Args& args) {
  // A read-only open passes over an index it cannot read: listing nothing would read as a table
  // without indexes.
  if (const std::string why = damagedIndexBeside(host(args.file)); !why.empty()) {
    std::fprintf(stderr, "%s: %s\n", args.file.c_str(), why.c_str());
    return 1;
  }
  Workspace ws;
  openArea(ws, host(args.file), true);
  WorkArea& a = *ws.current();
  for (size_t i = 0; i < a.orderCount(); ++i)
    std::printf("%s %s\n", a.orderAt(i)->name().c_str(),
                rt::oemToUtf8(a.orderAt(i)->keyExpression()).c_str());
  return 0;
}

int cmdIndex(const Args& args) {
  const bool oneTag = args.given.count("--tag") || args.given.count("--key");
  std::vector<WorkArea::TagText> tags;
  if (oneTag) {
    if (args.tag.empty() || args.key.empty() || !args.rest.empty())
      throw Usage("index takes --tag NAME --key EXPRESSION, or TAG EXPRESSION pairs, not both");
    tags.push_back({args.tag, rt::utf8ToOem(args.key)});
  } else {
    if (args.rest.empty() || args.rest.size() % 2)
      throw Usage("index needs TAG EXPRESSION pairs after FILE (or --tag NAME --key EXPRESSION)");
    for (size_t i = 0; i < args.rest.size(); i += 2)
      tags.push_back({args.rest[i], rt::utf8ToOem(args.rest[i + 1])});
  }
  auto started = std::chrono::steady_clock::now();
  Workspace ws;
  openArea(ws, host(args.file), false);
  WorkArea& a = *ws.current();
  std::filesystem::path cdx = host(args.file);
  cdx.replace_extension(".cdx");
  errors.clear();
  bool ok = oneTag ? a.orderCreate(cdx, args.tag, tags[0].keyExpression) : a.indexCreate(cdx, tags);
  if (!ok) throw Usage("cannot build " + os::utf8(cdx) + ": " + lastError());
  uint32_t records = a.lastRec();
  ws.closeAll();
  if (!errors.empty()) throw Usage("cannot write " + os::utf8(cdx) + ": " + lastError());
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::string names;
  for (const auto& t : tags) names += (names.empty() ? "" : " ") + rt::upper(t.name);
  std::printf("%s: %s over %u records in %.3f s\n", os::utf8(cdx).c_str(), names.c_str(), records,
              seconds);
  return 0;
}

// The key as the tag's type reads it; text that is no such value is refused.
rt::Value seekKey(KeyType type, const std::string& text) {
  switch (type) {
    case KeyType::Character:
      return rt::Value(tableText(text));
    case KeyType::Numeric: {
      char* end = nullptr;
      double v = std::strtod(text.c_str(), &end);
      if (text.empty() || *end || !std::isfinite(v))
        throw Usage("key \"" + text + "\" is not a number");
      return rt::Value(v);
    }
    case KeyType::Date: {
      rt::Date d = rt::Date::fromDtos(text);
      if (!text.empty() && (d.empty() || text.size() != 8))
        throw Usage("key \"" + text + "\" is not a date YYYYMMDD");
      return rt::Value(d);
    }
    case KeyType::Logical:
      if (text == "T" || text == "true") return rt::Value(true);
      if (text == "F" || text == "false") return rt::Value(false);
      throw Usage("key \"" + text + "\" is not T, F, true or false");
  }
  return rt::Value();
}

int cmdSeek(const Args& args) {
  const bool exact = args.given.count("--tag") > 0;
  if (exact ? args.tag.empty() || args.rest.size() != 1 : args.rest.size() != 2)
    throw Usage("seek takes TAG KEY (or --tag NAME KEY) after FILE");
  // Deleted records are passed over as dump passes them over, unless --deleted shows them.
  rt::settings().deletedHidden = !args.deleted;
  Workspace ws;
  openArea(ws, host(args.file), true);
  WorkArea& a = *ws.current();
  focus(a, exact ? args.tag : args.rest[0]);
  // A character key shorter than the tag's is the engine's own seek's: the keys that begin with
  // it match.
  rt::Value key = seekKey(a.order()->keyType(), args.rest.back());
  if (exact) {
    if (!a.seek(key, false)) {
      std::fprintf(stderr, "%s: %s not found in tag %s\n", args.file.c_str(),
                   args.rest.back().c_str(), args.tag.c_str());
      return 1;
    }
    std::printf("%s\n", recordJson(a).c_str());
    return 0;
  }
  a.seek(key, true);
  if (a.eof())
    std::printf("eof\n");
  else
    std::printf("%u\n", a.recno());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  rt::HandlerGuard handler([](rt::Error& e) {
    errors.push_back(e.description.empty() ? e.summary() : e.description);
    return rt::Answer{};
  });
  try {
    // UTF-8 both ways: the arguments as typed (on Windows from the UTF-16 command line), the
    // output as written (no CR before LF there), as scripts read it on either platform.
    os::prepareConsole();
    Args args = parse(os::commandLineArguments(argc, argv));
    if (args.help) return help(args.command.empty() ? nullptr : findCommand(args.command));
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
    return usage(rt::oemToUtf8(a.error().summary()));
  } catch (const std::exception& e) {
    return usage(e.what());
  }
}
