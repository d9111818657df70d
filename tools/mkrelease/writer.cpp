// Writing sample records and files. A field this release's structure lacks is skipped; one the
// table never has is a fault in the record plan and stops the generator.

#include "writer.h"

#include <fstream>
#include <stdexcept>

#include "os/wide.h"
#include "runtime/codepage.h"

namespace tav::mkrelease {

void Record::set(std::string_view field, const rt::Value& v) {
  int pos = area_.fieldPos(field);
  if (pos == 0) {
    bool known = false;
    for (const Field& f : table_.fields) known = known || rt::upper(f.name) == rt::upper(field);
    if (!known) throw std::logic_error(table_.name + " has no field " + std::string(field));
    return;
  }
  area_.put(static_cast<size_t>(pos), v);
}

void Record::setNumber(std::string_view field, double v) {
  int pos = area_.fieldPos(field);
  if (pos == 0) return set(field, rt::Value(v));
  const engine::FieldDef& f = area_.field(static_cast<size_t>(pos));
  area_.put(static_cast<size_t>(pos), rt::Value::number(v, f.length, f.decimals));
}

TableWriter::TableWriter(int year, Rng& rng) : year_(year), rng_(rng) {}

void TableWriter::write(const std::filesystem::path& dbf, const Table& table,
                        std::string_view release, size_t count, const Fill& fill,
                        const db::TagList* tags) {
  std::filesystem::create_directories(dbf.parent_path());
  std::vector<Field> fields = table.structureAt(release);
  std::vector<engine::FieldSpec> specs;
  for (const Field& f : fields) specs.push_back({rt::upper(f.name), f.type, f.length, f.decimals});
  std::filesystem::remove(std::filesystem::path(dbf).replace_extension(".cdx"));
  // The engine takes the tool's 852 text; the host path gets there through the one door.
  const std::string text = rt::utf8ToOem(os::utf8(dbf)), name = os::utf8(dbf);
  if (!ws_.create(text, specs)) throw std::runtime_error("cannot create " + name);
  if (!ws_.use(text, "MKRELEASE", engine::UseOptions{}))
    throw std::runtime_error("cannot open " + name);
  engine::WorkArea& area = *ws_.current();
  for (size_t row = 0; row < count; ++row) {
    if (!area.append()) throw std::runtime_error("cannot append to " + name);
    for (size_t pos = 1; pos <= fields.size(); ++pos)
      area.put(pos, fillerValue(fields[pos - 1], row, year_, rng_));
    Record r(area, table);
    if (fill) fill(row, r);
    if (r.deleted()) area.remove();
  }
  if (tags) {
    std::filesystem::path cdx = std::filesystem::path(dbf).replace_extension(".cdx");
    for (const db::IndexTag& tag : *tags) {
      if (!area.orderCreate(cdx, tag.name, tag.key)) {
        throw std::runtime_error("cannot build tag " + tag.name + " of " + name);
      }
    }
  }
  ws_.closeAll();
}

void writeFile(const std::filesystem::path& path, std::string_view content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + os::utf8(path));
}

}  // namespace tav::mkrelease
