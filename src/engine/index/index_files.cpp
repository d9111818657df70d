// Opening and creating index files by extension; the reason of the last refusal is kept per thread.

#include "engine/index/index_files.h"

#include "engine/cdx/cdx_file.h"
#include "engine/index/key_encoding.h"
#include "engine/ntx/ntx_file.h"

namespace tav::engine {
namespace {

std::string& errorText() {
  static thread_local std::string s;
  return s;
}

std::string extensionOf(const std::filesystem::path& host) {
  std::string e = host.extension().string();
  for (char& c : e)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return e;
}

}  // namespace

std::unique_ptr<IndexFile> openIndexFile(const std::filesystem::path& host, bool readOnly,
                                         const IndexKeyTypeResolver& resolver) {
  std::string why;
  std::unique_ptr<IndexFile> f;
  std::string ext = extensionOf(host);
  if (ext == ".cdx")
    f = cdx::CdxFile::open(host, readOnly, why, resolver);
  else if (ext == ".ntx")
    f = ntx::NtxFile::open(host, readOnly, why, resolver);
  else
    why = "not an index file: " + host.string();
  if (!f) errorText() = why;
  return f;
}

std::unique_ptr<IndexFile> createIndexFile(const std::filesystem::path& host) {
  std::string why;
  std::unique_ptr<IndexFile> f;
  std::string ext = extensionOf(host);
  if (ext == ".cdx")
    f = cdx::CdxFile::create(host, why);
  else if (ext == ".ntx")
    f = ntx::NtxFile::create(host, why);
  else
    why = "not an index file: " + host.string();
  if (!f) errorText() = why;
  return f;
}

const std::string& lastIndexError() { return errorText(); }

std::string keyFor(const IndexTag& tag, const rt::Value& value) {
  if (auto* n = dynamic_cast<const ntx::NtxTag*>(&tag))
    return encodeNtxKey(value, keyTypeOf(value), n->keyLength(), n->decimals());
  return encodeKey(value, tag.keyType(), tag.keyLength());
}

const std::string& indexFileError(const IndexFile& file) {
  static const std::string none;
  if (auto* c = dynamic_cast<const cdx::CdxFile*>(&file)) return c->error();
  if (auto* n = dynamic_cast<const ntx::NtxFile*>(&file)) return n->error();
  return none;
}

}  // namespace tav::engine
