#pragma once

// What the two index targets do with every tag of a file that opened: walk it forward and
// backward, seek keys it holds (whole and as prefixes), keys it cannot hold and a key taken from
// the input, and locate entries it holds. Invariant: every walk ends; a tag cannot hold more
// entries than its file has bits, so a walk longer than that is going round in circles.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "engine/index/index.h"
#include "engine/index/index_files.h"
#include "fuzz_support.h"

namespace tav::fuzz {

inline void walkTag(engine::IndexTag& t, uint64_t fileSize, std::string_view extraKey) {
  const uint64_t limit = fileSize * 8 + 4096;
  const size_t keyLength = std::min<size_t>(t.keyLength(), 1024);
  std::vector<std::pair<std::string, uint32_t>> sample;
  uint64_t steps = 0;
  for (uint32_t r = t.first(); r != 0; r = t.next()) {
    if (!boundedStep(steps, limit, "walking a tag forward")) break;
    // The first entries and then ever sparser ones: a fair spread without keeping them all.
    if (steps <= 4 || (steps & (steps - 1)) == 0) sample.emplace_back(t.currentKey(), r);
  }
  steps = 0;
  for (uint32_t r = t.last(); r != 0; r = t.prev()) {
    if (!boundedStep(steps, limit, "walking a tag backward")) break;
    if (steps <= 4) sample.emplace_back(t.currentKey(), r);
  }
  auto seekAndStep = [&](std::string_view key) {
    bool found = false;
    if (t.seek(key, found) != 0) {
      (void)t.next();
      (void)t.prev();
      (void)t.prev();
    }
  };
  for (const auto& [key, rec] : sample) {
    seekAndStep(key);
    seekAndStep(std::string_view(key).substr(0, key.size() / 2));
    if (t.locate(key, rec)) (void)t.next();
  }
  seekAndStep("");
  seekAndStep(std::string(keyLength, '\0'));
  seekAndStep(std::string(keyLength, ' '));
  seekAndStep(std::string(keyLength, '\xff'));
  seekAndStep(extraKey.substr(0, keyLength));
  (void)t.locate(std::string(keyLength, ' '), 1);
}

inline void walkFile(engine::IndexFile& f, uint64_t fileSize, std::string_view extraKey) {
  for (engine::IndexTag* t : f.tags()) {
    if (!t) finding("an index file lists a null tag");
    if (f.tag(t->name()) == nullptr) finding("a listed tag cannot be found by its name");
    walkTag(*t, fileSize, extraKey);
  }
}

// One input of an index target: written as `name` in the scratch directory, opened read-only,
// and every tag walked. The tail of the input doubles as a key to seek.
inline int fuzzIndexFile(const uint8_t* data, size_t size, const char* name) {
  const std::filesystem::path path = scratch() / name;
  const std::string_view bytes = bytesOf(data, size);
  writeBytes(path, bytes);
  auto f = engine::openIndexFile(path, true);
  if (!f) return 0;
  walkFile(*f, size, bytes.substr(size > 64 ? size - 64 : 0));
  (void)engine::indexFileError(*f);
  return 0;
}

}  // namespace tav::fuzz
