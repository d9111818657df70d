#pragma once

// The interface every index tag and index file offers, whatever its format. Keys arrive already
// encoded; equal keys are always ordered by record number.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tav::rt {
class Value;
}

namespace tav::engine {

// Key types of a tag: the type of its key expression's value.
enum class KeyType : char { Character = 'C', Numeric = 'N', Date = 'D', Logical = 'L' };

// The key type an expression of result type `resultType` gives; none for a type no tag can hold.
inline std::optional<KeyType> keyTypeOf(char resultType) {
  switch (resultType) {
    case 'C':
    case 'N':
    case 'D':
    case 'L':
      return static_cast<KeyType>(resultType);
    default:
      return std::nullopt;
  }
}

// One ordered list of (key, record number) entries: a tag of a compound .cdx or a whole .ntx.
// Keys are passed already encoded (see key_encoding.h) and exactly keyLength() bytes long.
// Character keys are ordered by the tool's Polish collation (plain bytes in a tag whose
// plainByteOrder() says so), the others byte by byte; equal keys by record number. Navigation calls
// return a record number, 0 when there is none.
class IndexTag {
 public:
  virtual ~IndexTag() = default;
  virtual const std::string& name() const = 0;
  virtual const std::string& keyExpression() const = 0;
  virtual KeyType keyType() const = 0;
  virtual size_t keyLength() const = 0;
  // True for a character tag another engine built without the national collation: its keys
  // are ordered byte by byte, and its key expression's upper()/lower() change only a-z / A-Z.
  // Tags this engine builds are never such.
  virtual bool plainByteOrder() const { return false; }
  // The bytes this tag stores for a key expression's value (key_encoding.h): the binary forms
  // unless the file keeps its keys as text.
  virtual std::string keyFor(const rt::Value& value) const;

  virtual uint32_t first() = 0;
  virtual uint32_t last() = 0;
  virtual uint32_t next() = 0;  // from the current entry; 0 past the end
  virtual uint32_t prev() = 0;  // 0 before the start
  // Positions on the first entry whose key is >= key (compared over key.size() bytes, so a
  // shorter key seeks a prefix). found tells whether that entry's key starts with key.
  virtual uint32_t seek(std::string_view key, bool& found) = 0;
  // Positions on the entry (key, recno); false when it is not in the tag.
  virtual bool locate(std::string_view key, uint32_t recno) = 0;
  virtual std::string currentKey() const = 0;

  virtual void insert(std::string_view key, uint32_t recno) = 0;
  virtual bool remove(std::string_view key, uint32_t recno) = 0;
};

// Index files do not record whether a key is text, a number or a date. The engine, which
// compiles each tag's key expression, can say so (nullopt: the file guesses, a .cdx from the
// expression and the stored keys, a .ntx from its decimals).
using KeyTypeResolver =
    std::function<std::optional<KeyType>(std::string_view keyExpression, size_t keyLength)>;

// Feeds a bulk build: called for every record to be indexed, in record order; returns false at
// the end. The key buffer has keyLength() bytes.
using KeySource = std::function<bool(std::string& key, uint32_t& recno)>;

// One tag of a build of several from one pass over a table.
struct TagDefinition {
  std::string name;
  std::string keyExpression;
  KeyType type = KeyType::Character;
  size_t keyLength = 0;
};

// Feeds a build of several tags at once: called for every record to be indexed, in record
// order, it sets keys[i] (keyLength bytes of definition i) for every tag; false at the end.
using KeysSource = std::function<bool(std::vector<std::string>& keys, uint32_t& recno)>;

// An index file (.cdx with its tags, or .ntx with its one key).
class IndexFile {
 public:
  virtual ~IndexFile() = default;
  virtual const std::string& path() const = 0;       // the host path as UTF-8 (os::hostPath)
  virtual std::vector<IndexTag*> tags() = 0;         // in creation order; owned by the file
  virtual IndexTag* tag(std::string_view name) = 0;  // case-insensitive; nullptr when absent
  // Builds a tag in one pass over the source (replacing a tag of the same name).
  virtual IndexTag* createTag(std::string_view name, std::string_view keyExpression, KeyType type,
                              size_t keyLength, const KeySource& source) = 0;
  // Builds several tags from one pass over the source; the file ends as it would after
  // createTag for each in turn. The tags built, in the order of the definitions: fewer when one
  // fails (those before it stay built). A file that holds one key takes one definition.
  virtual std::vector<IndexTag*> createTags(const std::vector<TagDefinition>& tags,
                                            const KeysSource& source);
  virtual void removeAll() = 0;  // ZAP: every tag empty, definitions kept
  virtual void flush() = 0;
  // Why an operation last failed (a damaged page, a write error, a read-only file); empty while
  // none has. A failed navigation answers 0 and a failed change is dropped.
  virtual const std::string& error() const;
  // Shared opens: hold lock(false) around reads and lock(true) around changes (the index byte
  // other engines lock too); taking it drops cached pages that another process has changed.
  // False, without waiting, while another holder conflicts.
  virtual bool lock(bool exclusive) {
    (void)exclusive;
    return true;
  }
  virtual void unlock() {}
};

}  // namespace tav::engine
