#pragma once

// The steps on the tables every firm shares: public\ (tax forms, payments, registers) and the
// reference tables of str\. The upgrade calls them once, after the firms; the catalogue's rule
// chooses them by the database release. Each is safe to repeat: a step tests what the table
// already has before it changes anything.

#include <string_view>

#include "frontend/progress.h"
#include "runtime/value.h"

namespace tav::convert {

// public\wpit.dbf is rebuilt on the database's str\wpit.dbf template while it has fewer than 18
// fields; its records are carried over by field name. A table that cannot be read, a template
// that cannot be opened or records that cannot be carried over leave the old wpit.dbf as it was.
void PUB_25_01_002(std::string_view databaseDirectory);

// public\firmy.dbf gets each firm's `vnr` from the firm list install.dbf; firm k is record k of
// firmy.dbf. A firm without its record there is passed over.
void PUB_25_01_013(std::string_view databaseDirectory);

// Rebuilds every compound index of the database's str\ and public\ (and removes those of pit\)
// from the catalogue's lists, then recomputes the payment totals of the tax forms unless `mode`
// is given: any value but nil counts, false too (the upgrade gives 1 from 025.01.045 on). When one
// index does not build, every index of the three directories is deleted, so that none is left
// half-built, and the totals are left alone. The bar counts the indexes, then the payments.
void NTX_PUB(std::string_view databaseDirectory, const rt::Value& mode,
             frontend::Progress& progress);

}  // namespace tav::convert
