#pragma once

// The deterministic generator and the plausible values the sample records are filled with.

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/date.h"
#include "runtime/value.h"
#include "schema.h"

namespace tav::mkrelease {

// A small deterministic generator: the same seed gives the same trees on every machine and
// library, which the standard distributions do not promise.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi].
  long between(long lo, long hi) {
    return lo + static_cast<long>(next() % static_cast<uint64_t>(hi - lo + 1));
  }
  bool chance(int percent) { return between(1, 100) <= percent; }
  template <class T, size_t N>
  const T& pick(const T (&items)[N]) {
    return items[next() % N];
  }

 private:
  uint64_t state_;
};

// Right-aligned record key as the accounting program writes its lpp fields: "        17".
std::string keyText(long n, int width);
std::string fitText(std::string_view oem, int width);  // cut to the field, never longer

// A plausible value for a field of a record, from its name and type (Polish texts in code
// page 852). `row` counts from 0 and keeps keys unique within a table.
rt::Value fillerValue(const Field& f, size_t row, int year, Rng& rng);

// Polish vocabulary in code page 852, for the record plans.
std::string surname(Rng& rng);
std::string firstName(Rng& rng);
std::string companyName(Rng& rng);
std::string city(Rng& rng);
std::string street(Rng& rng);
std::string nip(Rng& rng);
rt::Date dateIn(int year, Rng& rng);

}  // namespace tav::mkrelease
