#pragma once
#include <filesystem>
#include <memory>

#include "engine/index/index.h"
#include "os/file.h"

namespace tav::engine {

// Opens an existing index file, by its extension: ".cdx" compound, ".ntx" single key.
// nullptr when the file is missing, damaged or of another kind (lastIndexError() says why).
std::unique_ptr<IndexFile> openIndexFile(const std::filesystem::path& host, bool readOnly);
// Creates an empty index file (replacing one that exists); tags are then added with createTag.
std::unique_ptr<IndexFile> createIndexFile(const std::filesystem::path& host);
const std::string& lastIndexError();

}  // namespace tav::engine
