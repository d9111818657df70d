// Bulk build of a compound index with three tags ("LPP", "LPP_O+MC", "DTOS(DATA)+LPP") over a
// million records, beside the baseline of the same run: one pass over the same records and
// an in-memory std::sort of the same keys under the Polish collation. The build includes
// collecting, sorting and writing the file; counters report both times and their ratio.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/index/index_files.h"
#include "runtime/codepage.h"
#include "runtime/collation.h"
#include "runtime/date.h"

namespace {

using namespace tav;

constexpr size_t kRecords = 1000000;
// A record as the table holds it: deleted flag, LPP C10, LPP_O C10, MC C2, DATA D8.
constexpr size_t kLpp = 1, kLppO = 11, kMc = 21, kData = 23, kRecordLength = 31;

const std::string& table() {
  static const std::string data = [] {
    std::mt19937 rng(2024);
    const std::string letters = rt::utf8ToOem("ABCĆDEĘFGHIJKLŁMNŃOÓPRSŚTUWZŹŻ");
    std::string t(kRecords * kRecordLength, ' ');
    rt::Date start = rt::Date::fromYmd(2020, 1, 1);
    for (size_t r = 0; r < kRecords; ++r) {
      char* rec = t.data() + r * kRecordLength;
      char buf[32];
      std::snprintf(buf, sizeof buf, "%10u", static_cast<unsigned>(rng() % 999999 + 1));
      std::memcpy(rec + kLpp, buf, 10);
      for (size_t i = 0; i < 10; ++i)
        rec[kLppO + i] = i < 3 + rng() % 7 ? letters[rng() % letters.size()] : ' ';
      std::snprintf(buf, sizeof buf, "%02u", static_cast<unsigned>(rng() % 12 + 1));
      std::memcpy(rec + kMc, buf, 2);
      std::string d = (start + static_cast<int>(rng() % 2000)).dtos();
      std::memcpy(rec + kData, d.data(), 8);
    }
    return t;
  }();
  return data;
}

struct TagDef {
  const char* name;
  const char* expr;
  size_t length;
  void (*key)(const char* rec, char* out);
};

const TagDef kTags[] = {
    {"LPP", "LPP", 10, [](const char* r, char* o) { std::memcpy(o, r + kLpp, 10); }},
    {"LPP_O_MC", "LPP_O+MC", 12,
     [](const char* r, char* o) {
       std::memcpy(o, r + kLppO, 10);
       std::memcpy(o + 10, r + kMc, 2);
     }},
    {"DATA_LPP", "DTOS(DATA)+LPP", 18,
     [](const char* r, char* o) {
       std::memcpy(o, r + kData, 8);
       std::memcpy(o + 8, r + kLpp, 10);
     }},
};

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Reads the table once, forming all three keys per record, then sorts each key set with
// std::sort under the collation, ties by record number.
double baseline() {
  const std::string& t = table();
  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> keys(3);
  for (size_t k = 0; k < 3; ++k) keys[k].resize(kRecords * kTags[k].length);
  for (size_t r = 0; r < kRecords; ++r) {
    const char* rec = t.data() + r * kRecordLength;
    for (size_t k = 0; k < 3; ++k) kTags[k].key(rec, keys[k].data() + r * kTags[k].length);
  }
  for (size_t k = 0; k < 3; ++k) {
    std::vector<uint32_t> order(kRecords);
    std::iota(order.begin(), order.end(), 0u);
    const char* base = keys[k].data();
    size_t len = kTags[k].length;
    std::sort(order.begin(), order.end(), [base, len](uint32_t a, uint32_t b) {
      int c = rt::collateKeys(base + a * len, base + b * len, len);
      return c != 0 ? c < 0 : a < b;
    });
    benchmark::DoNotOptimize(order.data());
  }
  return seconds(start, std::chrono::steady_clock::now());
}

std::filesystem::path benchFile() {
  return std::filesystem::temp_directory_path() /
         ("tav-bench-" + std::to_string(::getpid()) + ".cdx");
}

// The index engine's own build: every tag pulls its keys record by record through the source.
double build() {
  const std::string& t = table();
  auto path = benchFile();
  auto start = std::chrono::steady_clock::now();
  std::string why;
  auto f = engine::createIndexFile(path, &why);
  if (!f) throw std::runtime_error(why);
  for (const TagDef& def : kTags) {
    size_t r = 0;
    engine::KeySource source = [&](std::string& key, uint32_t& recno) {
      if (r == kRecords) return false;
      key.resize(def.length);
      def.key(t.data() + r * kRecordLength, key.data());
      recno = static_cast<uint32_t>(++r);
      return true;
    };
    if (!f->createTag(def.name, def.expr, engine::KeyType::Character, def.length, source))
      throw std::runtime_error("build failed");
  }
  f->flush();
  f.reset();
  double s = seconds(start, std::chrono::steady_clock::now());
  std::filesystem::remove(path);
  return s;
}

void BM_Baseline_ReadAndSort(benchmark::State& state) {
  table();
  for (auto _ : state) state.SetIterationTime(baseline());
}
BENCHMARK(BM_Baseline_ReadAndSort)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_CdxBuild_ThreeTags(benchmark::State& state) {
  table();
  for (auto _ : state) state.SetIterationTime(build());
}
BENCHMARK(BM_CdxBuild_ThreeTags)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Both in one iteration, alternating, so that the ratio compares like with like.
void BM_BuildOverBaseline(benchmark::State& state) {
  table();
  double base = 0, built = 0;
  for (auto _ : state) {
    base += baseline();
    built += build();
  }
  state.counters["baseline_s"] = base / static_cast<double>(state.iterations());
  state.counters["build_s"] = built / static_cast<double>(state.iterations());
  state.counters["ratio"] = built / base;
}
BENCHMARK(BM_BuildOverBaseline)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
