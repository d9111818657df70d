#pragma once

// Opening and creating index files of either format. A damaged or unknown file is refused with a
// reason, never opened half-way.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "engine/index/index.h"
#include "os/file.h"
#include "runtime/value.h"

namespace tav::engine {

using IndexKeyTypeResolver = KeyTypeResolver;  // see index.h

// Opens an existing index file, by its extension: ".cdx" compound, ".ntx" single key.
// nullptr when the file is missing, damaged or of another kind, with the reason in `why`.
std::unique_ptr<IndexFile> openIndexFile(const std::filesystem::path& host, bool readOnly,
                                         const IndexKeyTypeResolver& resolver = {},
                                         std::string* why = nullptr);
// Creates an empty index file (replacing one that exists); tags are then added with createTag.
// nullptr when it cannot be made, with the reason in `why`.
std::unique_ptr<IndexFile> createIndexFile(const std::filesystem::path& host,
                                           std::string* why = nullptr);

// The bytes a tag stores for a key expression's value: the binary forms of key_encoding.h for
// a .cdx tag; for a .ntx file the text form of the value's own type (all its keys are text),
// with the file's decimals.
std::string keyFor(const IndexTag& tag, const rt::Value& value);
// Why an operation on an open file last failed (a damaged page, a write error, a read-only
// file); empty while none has. A failed navigation answers 0 and a failed change is dropped.
const std::string& indexFileError(const IndexFile& file);

}  // namespace tav::engine
