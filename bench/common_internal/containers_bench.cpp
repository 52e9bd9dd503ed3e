// The inline-payload queue and the fixed hash map against the standard
// containers a caller would otherwise use. Each pair runs in this process and
// the ratio (ours / baseline, lower is better) is printed at the end.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <list>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "hash2.h"
#include "mlist.h"

namespace {

constexpr int kQueueItems = 1000;
constexpr size_t kPayload = 256;       // about one queued packet header and payload
constexpr uint16_t kMapBuckets = 128;  // the bucket count the host agent uses

// A send queue in steady state: a backlog of kQueueItems packets, one
// queued and one taken per step.
void BM_mlist_queue(benchmark::State &state) {
  mlist_t list;
  mlist_init(&list, nullptr, nullptr);
  for (int i = 0; i < kQueueItems; i++) {
    _MLIST_ITEM *item = nullptr;
    mlist_new_item(kPayload, &item);
    mlist_push_back(&list, item);
  }
  int n = 0;
  for (auto _ : state) {
    _MLIST_ITEM *item = nullptr;
    char *p = static_cast<char *>(mlist_new_item(kPayload, &item));
    p[0] = static_cast<char>(n++);
    mlist_push_back(&list, item);
    benchmark::DoNotOptimize(mlist_pop_front_data(&list, nullptr, &item));
    mlist_destroy_item(&list, item);
  }
  mlist_clean(&list);
}
BENCHMARK(BM_mlist_queue);

// Baseline: a node per entry plus a separately allocated payload.
void BM_baseline_list_of_vectors(benchmark::State &state) {
  std::list<std::vector<char>> list;
  for (int i = 0; i < kQueueItems; i++) list.emplace_back(kPayload, '\0');
  int n = 0;
  for (auto _ : state) {
    list.emplace_back(kPayload, '\0');
    list.back()[0] = static_cast<char>(n++);
    benchmark::DoNotOptimize(list.front().data());
    list.pop_front();
  }
}
BENCHMARK(BM_baseline_list_of_vectors);

struct record {
  char key[36];  // a device id, as the interface sample table keys it
  uint64_t value;
};

std::vector<std::string> make_keys(int count) {
  std::vector<std::string> keys;
  for (int i = 0; i < count; i++) {
    char k[37];
    snprintf(k, sizeof(k), "%08x-0000-4000-8000-%012d", i * 2654435761u, i);
    keys.emplace_back(k);
  }
  return keys;
}

void BM_hash2_lookup(benchmark::State &state) {
  std::vector<std::string> keys = make_keys(static_cast<int>(state.range(0)));
  hash_struct map;
  map_init(&map, kMapBuckets, sizeof(record));
  std::vector<record> probes(keys.size());
  for (size_t i = 0; i < keys.size(); i++) {
    record *r = static_cast<record *>(calloc(1, sizeof(record)));
    memcpy(r->key, keys[i].data(), sizeof(r->key));
    r->value = i;
    map_setat(&map, r->key, sizeof(r->key), r);
    memcpy(probes[i].key, keys[i].data(), sizeof(probes[i].key));
  }
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const record &p : probes) {
      void *item = nullptr;
      map_lookup(&map, p.key, sizeof(p.key), &item);
      sum += static_cast<record *>(item)->value;
    }
    benchmark::DoNotOptimize(sum);
  }
  map_destroy(&map);
}
// 100 items: a host's disks and interfaces; 2000: a busy process table.
BENCHMARK(BM_hash2_lookup)->Arg(100)->Arg(2000);

void BM_baseline_unordered_map_lookup(benchmark::State &state) {
  std::vector<std::string> keys = make_keys(static_cast<int>(state.range(0)));
  std::unordered_map<std::string, uint64_t> map;
  for (size_t i = 0; i < keys.size(); i++) map.emplace(keys[i].substr(0, 36), i);
  std::vector<std::string> probes;
  for (const std::string &k : keys) probes.push_back(k.substr(0, 36));
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const std::string &p : probes) sum += map.find(p)->second;
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_baseline_unordered_map_lookup)->Arg(100)->Arg(2000);

// Console output as usual, plus the CPU time per iteration of each run.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> cpu;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) cpu[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

void print_ratio(const ratio_reporter &rep, const char *ours, const char *base) {
  auto a = rep.cpu.find(ours);
  auto b = rep.cpu.find(base);
  if (a == rep.cpu.end() || b == rep.cpu.end() || b->second <= 0) return;
  printf("ratio %s / %s = %.2f\n", ours, base, a->second / b->second);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  print_ratio(rep, "BM_mlist_queue", "BM_baseline_list_of_vectors");
  print_ratio(rep, "BM_hash2_lookup/100", "BM_baseline_unordered_map_lookup/100");
  print_ratio(rep, "BM_hash2_lookup/2000", "BM_baseline_unordered_map_lookup/2000");
  benchmark::Shutdown();
  return 0;
}
