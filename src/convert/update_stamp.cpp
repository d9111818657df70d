// DATA_AKTUALIZACJI. The stamp's values are written all or none: half a stamp would tell the
// program of an update the rest contradicts.

#include "convert/update_stamp.h"

#include <string>

#include "db/table_access.h"
#include "engine/workspace.h"
#include "runtime/clock.h"
#include "runtime/date.h"
#include "runtime/error.h"

namespace tav::convert {

void DATA_AKTUALIZACJI(std::string_view databaseDirectory, std::string_view release) {
  if (!db::S_OTWORZ(std::string(databaseDirectory) + "public\\", "pub_dat", "pdat")) return;
  engine::WorkArea* area = engine::workspace().current();
  // The table holds one record; an alias left open elsewhere may stand anywhere. Without a
  // record there is nothing to stamp, and no point in waiting for a lock on none.
  bool locked = rt::guarded([&] { area->goTop(); }) && !area->eof() && db::REK_LOCK();
  if (locked) {
    const std::pair<const char*, rt::Value> stamp[] = {
        {"nv_d_check", rt::Value(rt::Date::today())},
        {"nv_t_check", rt::Value(rt::timeOfDay())},
        {"nv_r_check", rt::Value("Zainstalowano: " + std::string(release))},
        {"nv_d_down0", rt::Value(rt::Date())},
        {"nv_t_down0", rt::Value("")},
        {"nv_d_down1", rt::Value(rt::Date())},
        {"nv_t_down1", rt::Value("")},
    };
    bool written = rt::guarded([&] {
      for (const auto& [field, value] : stamp) area->put(field, value);
    });
    // Half a stamp would tell the program an update happened that the rest contradicts.
    if (!written) rt::guarded([&] { area->rollback(); });
    rt::guarded([&] { area->unlock(); });
  }
  rt::guarded([] { db::ZAMKNIJ("pdat"); });
}

}  // namespace tav::convert
