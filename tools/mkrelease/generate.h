#pragma once

// The sample trees mkrelease writes (a shipped release, an older database, an installed program),
// and the role each firm of a sample database plays.

#include <cstdint>
#include <filesystem>
#include <string>

namespace tav::mkrelease {

struct ReleaseOptions {
  std::filesystem::path dir;
  std::string program = "25.01.046";
  std::string database = "025.01.046";
  int year = 2025;
  uint64_t seed = 1;
};

struct DatabaseOptions {
  std::filesystem::path dir;
  std::string release = "025.01.001";
  int firms = 20;
  int records = 2000;
  uint64_t seed = 1;
  int year = 2025;
};

struct ProgramOptions {
  std::filesystem::path dir;
  std::string release = "25.01.001";
  std::filesystem::path database;
  int year = 2025;
};

// Each writes its tree below `dir` (created when missing) and throws on a failure.
void writeRelease(const ReleaseOptions& o);
void writeDatabase(const DatabaseOptions& o);
void writeProgram(const ProgramOptions& o);

// What becomes of firm number `n` (1-based) in a sample database: most sit at the
// database release, a few are older or lack something, so that every path of the per-firm run
// has a firm to take it.
struct FirmRole {
  std::string release;           // as its wersja.dbf says
  bool withoutFirma = false;     // no firma.dbf: the run shows "Firma<n>\"
  bool withoutOptional = false;  // no p_ift, skl_52r, sld_buff, p_ald, zest\p_swp.rtf
  bool keepsBackup = false;      // bak\w51.txt
  bool obsoleteFiles = false;    // still holds the files the full reindex deletes
};
// Firm 2: 013.05.001 with the obsolete files; 3: 022.01.010; 4: 025.01.022; 5: no firma.dbf;
// 6: no optional tables; 7: keeps its backups; 8: already at the newest release; others at
// the database's release.
FirmRole firmRole(int n, const std::string& databaseRelease);

}  // namespace tav::mkrelease
