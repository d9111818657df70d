#pragma once

// The update stamp in public\pub_dat.dbf, which tells the program when and to which release the
// database was last brought.

#include <string_view>

namespace tav::convert {

// Stamps the database's public\pub_dat.dbf (its single record) with today's date, the time and
// "Zainstalowano: " + `release`, and clears the two download stamps beside them. A table that
// cannot be opened or whose record cannot be locked is left as it is, and so is one that any
// of the writes fails on: the record gets all seven values or none. Nothing is reported.
void DATA_AKTUALIZACJI(std::string_view databaseDirectory, std::string_view release);

}  // namespace tav::convert
