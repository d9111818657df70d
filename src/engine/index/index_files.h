#pragma once
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "engine/index/index.h"
#include "runtime/value.h"
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

// The bytes a tag stores for a key expression's value: the binary forms of key_encoding.h for
// a .cdx tag, the text forms (with the tag's decimals) for a .ntx file.
std::string keyFor(const IndexTag& tag, const rt::Value& value);
// Why an operation on an open file last failed (a damaged page, a write error, a read-only
// file); empty while none has. A failed navigation answers 0 and a failed change is dropped.
const std::string& indexFileError(const IndexFile& file);

}  // namespace tav::engine
