#pragma once
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "engine/index/index.h"
#include "os/file.h"

namespace tav::engine {

// A .cdx does not record whether a tag's keys are text, numbers or dates. The engine, which
// compiles each tag's key expression, can say so here (nullopt: let the file guess from the
// expression and the stored keys). NTX files record it in their keys' form and never ask.
using IndexKeyTypeResolver =
    std::function<std::optional<KeyType>(std::string_view keyExpression, size_t keyLength)>;

// Opens an existing index file, by its extension: ".cdx" compound, ".ntx" single key.
// nullptr when the file is missing, damaged or of another kind (lastIndexError() says why).
std::unique_ptr<IndexFile> openIndexFile(const std::filesystem::path& host, bool readOnly,
                                         const IndexKeyTypeResolver& resolver = {});
// Creates an empty index file (replacing one that exists); tags are then added with createTag.
std::unique_ptr<IndexFile> createIndexFile(const std::filesystem::path& host);
const std::string& lastIndexError();

}  // namespace tav::engine
