// Opening and creating index files by extension; a refusal hands its reason to the caller.

#include "engine/index/index_files.h"

#include "engine/cdx/cdx_file.h"
#include "engine/index/key_encoding.h"
#include "engine/ntx/ntx_file.h"
#include "os/wide.h"

namespace tav::engine {
namespace {

// The formats by the extension that names them.
struct Format {
  const char* extension;
  std::unique_ptr<IndexFile> (*open)(const std::filesystem::path&, bool, std::string&,
                                     const KeyTypeResolver&);
  std::unique_ptr<IndexFile> (*create)(const std::filesystem::path&, std::string&);
};
constexpr Format kFormats[] = {
    {".cdx", cdx::openCdx, cdx::createCdx},
    {".ntx", ntx::openNtx, ntx::createNtx},
};

std::string extensionOf(const std::filesystem::path& host) {
  std::string e = os::utf8(host.extension());
  for (char& c : e)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return e;
}

}  // namespace

std::unique_ptr<IndexFile> openIndexFile(const std::filesystem::path& host, bool readOnly,
                                         const IndexKeyTypeResolver& resolver, std::string* why) {
  std::string reason = "not an index file: " + os::oemText(host);
  std::unique_ptr<IndexFile> f;
  for (const Format& format : kFormats)
    if (extensionOf(host) == format.extension) f = format.open(host, readOnly, reason, resolver);
  if (!f && why) *why = reason;
  return f;
}

std::unique_ptr<IndexFile> createIndexFile(const std::filesystem::path& host, std::string* why) {
  std::string reason = "not an index file: " + os::oemText(host);
  std::unique_ptr<IndexFile> f;
  for (const Format& format : kFormats)
    if (extensionOf(host) == format.extension) f = format.create(host, reason);
  if (!f && why) *why = reason;
  return f;
}

std::string keyFor(const IndexTag& tag, const rt::Value& value) { return tag.keyFor(value); }

std::string IndexTag::keyFor(const rt::Value& value) const {
  return encodeKey(value, keyType(), keyLength());
}

const std::string& indexFileError(const IndexFile& file) { return file.error(); }

const std::string& IndexFile::error() const {
  static const std::string none;
  return none;
}

}  // namespace tav::engine
