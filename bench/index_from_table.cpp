// The three tags the conversions build most ("LPP", "LPP_O+MC", "DTOS(DATA)+LPP") over a table of
// 1,000,000 records, built as the engine builds several tags of one table (open the table,
// create the tags from their key texts through the expression compiler in one pass over it),
// beside the floor for the same work on one core: reading the table's bytes once and sorting the
// same keys in memory in collation order. Also the build's peak memory (the process's resident
// high-water mark, reset before it) and the process's own peak: the sorters of the tags share one
// budget, so neither grows with the number of tags.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "engine/workspace.h"
#include "runtime/coding.h"
#include "runtime/collation.h"
#include "runtime/error.h"

using namespace tav;
using namespace tav::engine;
namespace fs = std::filesystem;

namespace {

constexpr int kRecords = 1000000;

fs::path scratch() {
  static fs::path dir = [] {
    std::string t = (fs::temp_directory_path() / "tav-bench-idx-XXXXXX").string();
    return fs::path(mkdtemp(t.data()));
  }();
  return dir;
}

fs::path table() { return scratch() / "ksiega.dbf"; }

// LPP C 10, LPP_O C 10, MC C 2, DATA D: the shape of the firm tables the catalogue indexes most.
void writeTableOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  rt::AbandonGuard guard;
  Workspace ws;
  ws.createHost(
      table(),
      {{"LPP", 'C', 10, 0}, {"LPP_O", 'C', 10, 0}, {"MC", 'C', 2, 0}, {"DATA", 'D', 8, 0}});
  ws.useHost(table(), "K", UseOptions{});
  WorkArea& a = *ws.current();
  uint32_t x = 12345;
  rt::Date first = rt::Date::fromYmd(2025, 1, 1);
  char buf[16];
  for (int i = 0; i < kRecords; ++i) {
    x = x * 1103515245u + 12345u;
    a.append();
    std::snprintf(buf, sizeof buf, "%10u", (x >> 8) % 999999u);
    a.put(1, rt::Value(std::string(buf)));
    std::snprintf(buf, sizeof buf, "%10u", (x >> 4) % 5000u);
    a.put(2, rt::Value(std::string(buf)));
    std::snprintf(buf, sizeof buf, "%02u", 1 + (x >> 12) % 12u);
    a.put(3, rt::Value(std::string(buf)));
    a.put(4, rt::Value(first + static_cast<int>((x >> 16) % 365u)));
  }
  ws.closeAll();
}

// Sorts keys of one length held side by side, ties by record number, as an index orders them.
void sortKeys(const std::vector<char>& keys, size_t len, std::vector<uint32_t>& order) {
  order.resize(keys.size() / len);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    int c = std::memcmp(&keys[a * len], &keys[b * len], len);
    return c < 0 || (c == 0 && a < b);
  });
}

double baselineSeconds() {
  auto start = std::chrono::steady_clock::now();
  std::ifstream in(table(), std::ios::binary);
  std::vector<char> header(32);
  in.read(header.data(), 32);
  uint16_t headerLength = rt::getLE16(&header[8]);
  uint16_t recordLength = rt::getLE16(&header[10]);
  in.seekg(headerLength);
  // Field offsets within the record: flag, LPP 1..10, LPP_O 11..20, MC 21..22, DATA 23..30.
  std::vector<char> k1, k2, k3;
  k1.reserve(size_t(kRecords) * 10);
  k2.reserve(size_t(kRecords) * 12);
  k3.reserve(size_t(kRecords) * 18);
  std::vector<char> chunk(size_t(recordLength) * 4096);
  for (int done = 0; done < kRecords;) {
    int n = std::min(4096, kRecords - done);
    in.read(chunk.data(), std::streamsize(size_t(n) * recordLength));
    for (int i = 0; i < n; ++i) {
      const char* r = &chunk[size_t(i) * recordLength];
      k1.insert(k1.end(), r + 1, r + 11);
      k2.insert(k2.end(), r + 11, r + 23);
      k3.insert(k3.end(), r + 23, r + 31);
      k3.insert(k3.end(), r + 1, r + 11);
    }
    done += n;
  }
  std::vector<uint32_t> order;
  for (auto* k : {&k1, &k2, &k3}) {
    size_t len = k == &k1 ? 10 : k == &k2 ? 12 : 18;
    rt::collationKeyInPlace(k->data(), k->size());
    sortKeys(*k, len, order);
    benchmark::DoNotOptimize(order.data());
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The resident high-water mark of this process in MB, and its reset (Linux: clear_refs 5).
double peakResidentMb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}
void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

double buildSeconds() {
  rt::AbandonGuard guard;
  fs::remove(scratch() / "ksiega.cdx");
  auto start = std::chrono::steady_clock::now();
  Workspace ws;
  if (!ws.useHost(table(), "K", UseOptions{})) return -1;
  WorkArea& a = *ws.current();
  bool ok = a.orderCreate(scratch() / "ksiega.cdx",
                          {{"LPP", "LPP"}, {"LPO", "LPP_O+MC"}, {"DAT", "DTOS(DATA)+LPP"}});
  ws.closeAll();
  if (!ok) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_ThreeTagsOverTableBesideReadAndSort(benchmark::State& state) {
  writeTableOnce();
  double base = 0, build = 0, buildPeak = 0;
  for (auto _ : state) {
    base += baselineSeconds();
    resetPeakResident();
    double b = buildSeconds();
    buildPeak = std::max(buildPeak, peakResidentMb());
    if (b < 0) {
      state.SkipWithError("the tags could not be built");
      return;
    }
    build += b;
  }
  state.counters["baseline_s"] = base / double(state.iterations());
  state.counters["build_s"] = build / double(state.iterations());
  state.counters["ratio"] = build / base;
  state.counters["build_peak_MB"] = buildPeak;
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  state.counters["process_peak_MB"] = usage.ru_maxrss / 1024.0;
}
BENCHMARK(BM_ThreeTagsOverTableBesideReadAndSort)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  fs::remove_all(scratch());
  return 0;
}
