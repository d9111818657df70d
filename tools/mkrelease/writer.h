#pragma once

// Writing sample tables through the table engine itself, so every reader meets files exactly as
// the engine would write them.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "db/index_catalogue.h"
#include "engine/workspace.h"
#include "schema.h"
#include "values.h"

namespace tav::mkrelease {

// One record being written. Fields the structure of this release lacks are skipped, so one
// record plan serves every release; a name the table never has is a fault in the plan.
class Record {
 public:
  Record(engine::WorkArea& area, const Table& table) : area_(area), table_(table) {}
  void set(std::string_view field, const rt::Value& v);
  void setText(std::string_view field, std::string_view oem) {
    set(field, rt::Value(std::string(oem)));
  }
  void setNumber(std::string_view field, double v);
  void remove() { deleted_ = true; }
  bool deleted() const { return deleted_; }

 private:
  engine::WorkArea& area_;
  const Table& table_;
  bool deleted_ = false;
};

using Fill = std::function<void(size_t row, Record& r)>;

// Writes tables through the table engine: structure, records, memo file and the structural
// compound index, so that whatever reads them meets files the engine itself would write.
class TableWriter {
 public:
  TableWriter(int year, Rng& rng);
  TableWriter(const TableWriter&) = delete;
  TableWriter& operator=(const TableWriter&) = delete;

  // `count` records, each first filled with plausible values, then given to `fill`.
  void write(const std::filesystem::path& dbf, const Table& table, std::string_view release,
             size_t count, const Fill& fill = {}, const db::TagList* tags = nullptr);

 private:
  engine::Workspace ws_;
  int year_;
  Rng& rng_;
};

// A file of the given text (placeholders, configuration files, markers).
void writeFile(const std::filesystem::path& path, std::string_view content);

}  // namespace tav::mkrelease
