#include "engine/index/index_files.h"

// Placeholder until the CDX and NTX files land: no index file can be opened or created yet.
namespace tav::engine {
namespace {
std::string& errorText() { static std::string s; return s; }
}  // namespace

std::unique_ptr<IndexFile> openIndexFile(const std::filesystem::path& host, bool) {
  errorText() = "index files are not supported yet: " + host.string();
  return nullptr;
}

std::unique_ptr<IndexFile> createIndexFile(const std::filesystem::path& host) {
  errorText() = "index files are not supported yet: " + host.string();
  return nullptr;
}

const std::string& lastIndexError() { return errorText(); }

}  // namespace tav::engine
