#pragma once

// The work areas of the process, addressed by alias, and the context through which expressions bind
// to their fields. Errors of opening go through the handler first, which may retry them.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/drivers.h"
#include "engine/expr/context.h"
#include "engine/workarea.h"

namespace tav::engine {

struct UseOptions {
  bool shared = false;
  bool readOnly = false;
  std::string driver;  // empty: the default driver
  // An open that names no mode: exclusive under SET EXCLUSIVE ON (rt::settings()), else shared.
  static UseOptions byDefault();
};

// The work areas of the process, addressed by alias (case-insensitive), one of them current.
// Also the ExprContext through which expressions bind to fields. Expected failures are results;
// errors of opening (sharing violation, damaged header) are raised through the handler first,
// which may retry them.
class Workspace : public ExprContext {
 public:
  Workspace();
  ~Workspace() override;
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  // DBUSEAREA in a new area, which becomes current. `path` is a Windows path or a host path
  // ("/..."). Alias empty: the file's name. False when the open failed and the handler defaulted.
  bool use(std::string_view path, std::string_view alias, const UseOptions& o);
  // The same for a host path as the host names it (tools take file names from the command line).
  bool useHost(const std::filesystem::path& host, std::string_view alias, const UseOptions& o);
  bool select(std::string_view alias);  // false when no area has the alias
  bool used(std::string_view alias) const;
  WorkArea* current() const;
  WorkArea* find(std::string_view alias) const;
  std::shared_ptr<WorkArea> share(std::string_view alias) const;
  std::vector<std::string> aliases() const;  // in area order
  std::string alias() const;                 // of the current area, "" when none
  void close();                              // the current area
  bool close(std::string_view alias);
  void closeAll();
  bool netErr() const { return netErr_; }
  void setNetErr(bool v) { netErr_ = v; }

  // DBCREATE: false (after raising kErrCreate through the handler) when the structure is bad.
  bool create(std::string_view path, const std::vector<FieldSpec>& fields);
  bool createHost(const std::filesystem::path& host, const std::vector<FieldSpec>& fields);

  // Key expressions, relations and conditions given as text are compiled through this hook.
  using Compiler = std::function<ValueFn(Workspace&, std::string_view text)>;
  void setCompiler(Compiler c) { compiler_ = std::move(c); }
  // Compiles against the current area. Raises (and returns an empty function) on a fault.
  ValueFn compile(std::string_view text);
  // The same with compile options (a key of another engine's tag: asciiCase); the hook above
  // is not asked for those.
  ValueFn compile(std::string_view text, const CompileOptions& options);
  // A code block text ("{|| FIELD->ok := .t. }") compiled against the current area.
  rt::BlockRef compileBlock(std::string_view text);

  std::shared_ptr<BoundField> bindField(std::string_view alias, std::string_view name) override;
  std::shared_ptr<BoundArea> bindArea(std::string_view alias) override;

 private:
  std::vector<std::shared_ptr<WorkArea>> areas_;  // index = area number - 1; null when free
  int current_ = 0;                               // area number, 0 none
  bool netErr_ = false;
  Compiler compiler_;
};

// The process's work areas (the runtime's single set).
Workspace& workspace();

// Compiles a key expression that is a field name or alias->field (what keys are made of before
// the expression compiler is at hand).
ValueFn compileFieldReference(Workspace& ws, std::string_view text);

}  // namespace tav::engine
