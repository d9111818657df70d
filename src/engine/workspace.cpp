// The work areas of the process: opening tables with their structural index, aliases, and binding
// fields for expressions. A field bound by an expression holds its area weakly, so a closed area
// raises "alias does not exist" rather than reading freed memory.

#include "engine/workspace.h"

#include <algorithm>
#include <exception>

#include "engine/expr/expression.h"
#include "engine/index/index_files.h"
#include "engine/staging.h"
#include "os/path.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"

namespace tav::engine {
namespace {

rt::Error engineError(int code, std::string description, std::string operation,
                      std::string file = {}) {
  rt::Error e;
  e.genCode = code;
  e.subSystem = "DBFNTX";
  e.description = std::move(description);
  e.operation = std::move(operation);
  e.filename = std::move(file);
  e.canDefault = true;
  return e;
}

std::filesystem::path hostPath(std::string_view path) { return os::toHost(path); }

// A field bound by an expression. It holds the area weakly: an expression that outlives the
// area it was compiled against raises "alias does not exist" instead of reading freed memory.
class AreaField : public BoundField {
 public:
  AreaField(std::weak_ptr<WorkArea> a, size_t pos, const FieldDef& f)
      : area_(std::move(a)), pos_(pos), def_(f) {}
  rt::Value get() const override {
    auto a = area();
    return a ? a->get(pos_) : rt::Value();
  }
  void put(const rt::Value& v) override {
    if (auto a = area()) a->put(pos_, v);
  }
  char type() const override { return def_.type; }
  int length() const override { return def_.length; }
  int decimals() const override { return def_.decimals; }
  void appendText(std::string& out) const override {
    if (auto a = area()) a->appendRaw(pos_, out);
  }

 private:
  std::shared_ptr<WorkArea> area() const {
    auto a = area_.lock();
    if (!a)
      rt::raise(
          engineError(rt::kErrNoAlias, "work area of field " + def_.name + " is closed", "FIELD"));
    return a;
  }
  std::weak_ptr<WorkArea> area_;
  size_t pos_;
  FieldDef def_;
};

class AreaRef : public BoundArea {
 public:
  explicit AreaRef(std::weak_ptr<WorkArea> a) : area_(std::move(a)) {}
  uint32_t recno() const override {
    auto a = area_.lock();
    return a ? a->recno() : 0;
  }
  bool deleted() const override {
    auto a = area_.lock();
    return a && a->deleted();
  }

 private:
  std::weak_ptr<WorkArea> area_;
};

std::string normalAlias(std::string_view alias) { return rt::upper(rt::allTrim(alias)); }

}  // namespace

UseOptions UseOptions::byDefault() {
  UseOptions o;
  o.shared = !rt::settings().exclusiveDefault;
  return o;
}

Workspace::Workspace() = default;

Workspace::~Workspace() {
  try {
    closeAll();
  } catch (...) {
    // Closing raised through the handler already; a destructor has no one to tell.
  }
}

Workspace& workspace() {
  static Workspace ws;
  return ws;
}

bool Workspace::use(std::string_view path, std::string_view alias, const UseOptions& o) {
  std::filesystem::path host = hostPath(path);
  if (host.extension().empty() && !std::filesystem::exists(host)) host += ".dbf";
  return useHost(host, alias, o);
}

bool Workspace::useHost(const std::filesystem::path& host, std::string_view aliasIn,
                        const UseOptions& o) {
  const Driver* driver = o.driver.empty() ? &defaultDriver() : findDriver(o.driver);
  if (!driver) {
    rt::raise(engineError(rt::kErrArg, "table driver " + o.driver + " is not set up", "DBUSEAREA"));
    return false;
  }
  std::string alias = normalAlias(aliasIn);
  if (alias.empty()) alias = rt::upper(os::oemText(host.stem()));
  if (find(alias)) {
    rt::raise(engineError(rt::kErrArg, "alias " + alias + " is already in use", "DBUSEAREA",
                          os::oemText(host)));
    return false;
  }
  TableOptions to;
  to.shared = o.shared;
  to.readOnly = o.readOnly;
  to.scheme = driver->scheme;
  to.chooseSchemeByHeader = driver->scheme != LockScheme::Clipper;
  // A rebuild that a crash stopped after its commit is completed before anything is read.
  finishInterruptedSwap(host);
  std::unique_ptr<Table> table;
  for (;;) {
    rt::Error err;
    table = Table::open(host, to, err);
    if (table) break;
    rt::Answer a = rt::raise(err);
    if (a.kind != rt::Answer::Retry) return false;
  }
  size_t slot = 0;
  while (slot < areas_.size() && areas_[slot]) ++slot;
  if (slot == areas_.size()) areas_.emplace_back();
  auto area = std::make_shared<WorkArea>(*this, static_cast<int>(slot + 1), alias, std::move(table),
                                         *driver);
  areas_[slot] = area;
  current_ = static_cast<int>(slot + 1);
  // The structural .cdx opens with its table: every write must reach it, or the accounting
  // program would meet a stale index. One that cannot be opened does not keep the table shut
  // (the rebuild that repairs it has to open the table first): the area opens without it and
  // settles it before the first write. A missing file is taken as no index (the flag outlives a
  // deleted .cdx).
  if (driver->structuralIndex && (area->table().header().tableFlags & dbf::kFlagStructuralCdx)) {
    std::filesystem::path cdx = host;
    cdx.replace_extension(".cdx");
    if (!std::filesystem::exists(cdx)) cdx.replace_extension(".CDX");
    if (std::filesystem::exists(cdx)) {
      std::string why;
      auto structural = openIndexFile(cdx, o.readOnly, area->keyTypeResolver(), &why);
      if (structural) {
        area->attachIndex(std::move(structural));
      } else if (!o.readOnly) {
        area->detachDamagedStructuralIndex(cdx, why);
      }
    }
  }
  area->goTop();
  return true;
}

bool Workspace::select(std::string_view alias) {
  WorkArea* a = find(alias);
  if (!a) return false;
  current_ = a->number();
  return true;
}

bool Workspace::used(std::string_view alias) const { return find(alias) != nullptr; }

WorkArea* Workspace::current() const {
  if (current_ < 1 || size_t(current_) > areas_.size()) return nullptr;
  return areas_[size_t(current_ - 1)].get();
}

std::shared_ptr<WorkArea> Workspace::share(std::string_view alias) const {
  std::string a = normalAlias(alias);
  if (a.empty()) {
    if (current_ < 1 || size_t(current_) > areas_.size()) return nullptr;
    return areas_[size_t(current_ - 1)];
  }
  for (const auto& area : areas_)
    if (area && area->alias() == a) return area;
  return nullptr;
}

WorkArea* Workspace::find(std::string_view alias) const {
  std::string a = normalAlias(alias);
  if (a.empty()) return nullptr;
  for (const auto& area : areas_)
    if (area && area->alias() == a) return area.get();
  return nullptr;
}

std::vector<std::string> Workspace::aliases() const {
  std::vector<std::string> out;
  for (const auto& area : areas_)
    if (area) out.push_back(area->alias());
  return out;
}

std::string Workspace::alias() const {
  WorkArea* a = current();
  return a ? a->alias() : std::string();
}

bool Workspace::close(std::string_view alias) {
  WorkArea* a = find(alias);
  if (!a) return false;
  size_t slot = size_t(a->number() - 1);
  auto keep = areas_[slot];
  areas_[slot].reset();
  keep->close();
  return true;
}

void Workspace::close() {
  if (WorkArea* a = current()) close(a->alias());
}

void Workspace::closeAll() {
  // Every area is closed even when one of them reports a failed write; the first report goes on
  // to the caller afterwards.
  std::exception_ptr first;
  for (auto& area : areas_) {
    if (!area) continue;
    auto keep = std::move(area);
    area.reset();
    try {
      keep->close();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  areas_.clear();
  current_ = 1;
  if (first) std::rethrow_exception(first);
}

bool Workspace::create(std::string_view path, const std::vector<FieldSpec>& fields) {
  std::filesystem::path host = hostPath(path);
  if (host.extension().empty()) host += ".dbf";
  return createHost(host, fields);
}

bool Workspace::createHost(const std::filesystem::path& host,
                           const std::vector<FieldSpec>& fields) {
  std::string why;
  if (!Table::create(host, fields, why)) {
    rt::raise(engineError(rt::kErrCreate, why, "DBCREATE", os::oemText(host)));
    return false;
  }
  return true;
}

ValueFn Workspace::compile(std::string_view text) {
  if (compiler_) return compiler_(*this, text);
  std::shared_ptr<Expression> e(Expression::compile(text, *this).release());
  if (!e) return {};
  return [e] { return e->eval(); };
}

ValueFn Workspace::compile(std::string_view text, const CompileOptions& options) {
  if (!options.asciiCase) return compile(text);
  std::shared_ptr<Expression> e(Expression::compile(text, *this, options).release());
  if (!e) return {};
  return [e] { return e->eval(); };
}

rt::BlockRef Workspace::compileBlock(std::string_view text) {
  return engine::compileBlock(text, *this);
}

std::shared_ptr<BoundField> Workspace::bindField(std::string_view alias, std::string_view name) {
  std::string a = normalAlias(alias);
  if (a == "FIELD") a.clear();
  auto area = share(a);
  if (!area) return nullptr;
  int pos = area->fieldPos(name);
  if (!pos) return nullptr;
  return std::make_shared<AreaField>(area, size_t(pos), area->field(size_t(pos)));
}

std::shared_ptr<BoundArea> Workspace::bindArea(std::string_view alias) {
  auto area = share(alias);
  if (!area) return nullptr;
  return std::make_shared<AreaRef>(area);
}

ValueFn compileFieldReference(Workspace& ws, std::string_view text) {
  std::string t = rt::upper(rt::allTrim(text));
  std::string alias;
  auto arrow = [&]() -> bool {
    size_t p = t.find("->");
    if (p == std::string::npos) return false;
    alias = rt::allTrim(t.substr(0, p));
    t = rt::allTrim(t.substr(p + 2));
    return true;
  };
  if (arrow() && alias == "FIELD") {
    alias.clear();
    arrow();
  }
  auto f = ws.bindField(alias, t);
  if (!f) {
    rt::raise(
        engineError(rt::kErrNoVar, "unknown field in expression " + std::string(text), "COMPILE"));
    return {};
  }
  return [f] { return f->get(); };
}

}  // namespace tav::engine
