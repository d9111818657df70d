// Appending and reading 1,000,000 records through the work areas, beside the floor set by the
// hardware: a raw buffered write and read of the same bytes (a record image per record).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/dbf/dbf_format.h"
#include "engine/workspace.h"
#include "runtime/error.h"

using namespace tav;
using namespace tav::engine;

namespace {

constexpr int64_t kRecords = 1000000;

const std::vector<FieldSpec> kFields = {{"NAZWA", 'C', 30, 0},
                                        {"KWOTA", 'N', 12, 2},
                                        {"ILOSC", 'N', 6, 0},
                                        {"DATA", 'D', 8, 0},
                                        {"OK", 'L', 1, 0}};

std::filesystem::path scratch() {
  static std::filesystem::path dir = [] {
    std::string t = (std::filesystem::temp_directory_path() / "tav-bench-XXXXXX").string();
    return std::filesystem::path(mkdtemp(t.data()));
  }();
  return dir;
}

std::string table() { return (scratch() / "bench.dbf").string(); }
std::string raw() { return (scratch() / "bench.raw").string(); }

// The bytes one record occupies, built once: what the baseline writes per record.
std::string sampleRecord() {
  DbfHeader h;
  std::string header, why;
  buildHeader(kFields, h, header, why);
  std::string r = blankRecord(h);
  std::string name = "Kowalski Jan";
  std::copy(name.begin(), name.end(), r.begin() + 1);
  return r;
}

void appendEngine(benchmark::State& state) {
  rt::AbandonGuard guard;
  for (auto _ : state) {
    Workspace ws;
    ws.create(table(), kFields);
    ws.use(table(), "B", UseOptions{});
    WorkArea& a = *ws.current();
    rt::Date day = rt::Date::fromYmd(2025, 1, 1);
    for (int64_t i = 0; i < kRecords; ++i) {
      a.append();
      a.put(1, rt::Value("Kowalski Jan"));
      a.put(2, rt::Value(static_cast<double>(i % 100000) / 100.0));
      a.put(3, rt::Value(static_cast<int>(i % 1000)));
      a.put(4, rt::Value(day + static_cast<int>(i % 365)));
      a.put(5, rt::Value(i % 2 == 0));
    }
    a.commit();
    ws.closeAll();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(table()));
}

void readEngine(benchmark::State& state) {
  rt::AbandonGuard guard;
  for (auto _ : state) {
    Workspace ws;
    ws.use(table(), "B", UseOptions{true, true, ""});
    WorkArea& a = *ws.current();
    double sum = 0;
    int64_t n = 0;
    for (a.goTop(); !a.eof(); a.skip(), ++n) {
      for (size_t f = 1; f <= a.fieldCount(); ++f) benchmark::DoNotOptimize(a.get(f));
      sum += a.get(2).num();
    }
    benchmark::DoNotOptimize(sum);
    if (n != kRecords) state.SkipWithError("record count differs");
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void appendRawBaseline(benchmark::State& state) {
  std::string record = sampleRecord();
  for (auto _ : state) {
    FILE* f = std::fopen(raw().c_str(), "wb");
    for (int64_t i = 0; i < kRecords; ++i) std::fwrite(record.data(), 1, record.size(), f);
    std::fflush(f);
    std::fclose(f);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void readRawBaseline(benchmark::State& state) {
  std::string record = sampleRecord();
  for (auto _ : state) {
    FILE* f = std::fopen(raw().c_str(), "rb");
    int64_t n = 0;
    long checksum = 0;
    while (std::fread(record.data(), 1, record.size(), f) == record.size()) {
      checksum += record[1];
      ++n;
    }
    std::fclose(f);
    benchmark::DoNotOptimize(checksum);
    if (n != kRecords) state.SkipWithError("record count differs");
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

}  // namespace

BENCHMARK(appendRawBaseline)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(appendEngine)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(readRawBaseline)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(readEngine)->Iterations(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(scratch(), ec);
  return 0;
}
