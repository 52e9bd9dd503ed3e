// The logging library against plain baselines run in this process:
// - a call filtered out by level (nanoseconds per call) against formatting
//   the same message with snprintf;
// - lines per second written to a file by one and by four threads against a
//   loop that does the same open/append/close of the same bytes. The ratio
//   (ours / baseline, higher is better, goal at least 0.8) is printed at the
//   end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "vklog.h"
#include "vklog_internal.h"

namespace {

std::string g_dir;
vklog_t *g_file_log = nullptr;   // file output, level <info
vklog_t *g_quiet_log = nullptr;  // level <error: debug lines are filtered out
std::string g_line;              // the bytes one file line takes
const char kMessage[] = "[bench_fn] collected device[%s] oid count[%d] elapsed[%ld ms] status ok\n";

void setup_logging() {
  char tmpl[] = "/tmp/vklog_bench.XXXXXX";
  g_dir = mkdtemp(tmpl);
  std::string conf = g_dir + "/log.conf";
  FILE *f = fopen(conf.c_str(), "w");
  // A limit far above what a run writes: the benchmark measures appending,
  // not rotation. The header is the agents' default: time with
  // microseconds, pid, level.
  fprintf(f,
          "[bench]\noutput_type=file\nlevel=info\ndirectory=%s\nfilename=vklog.log\n"
          "limit_file_size=100000\n"
          "[quiet]\noutput_type=file\nlevel=error\ndirectory=%s\n",
          g_dir.c_str(), g_dir.c_str());
  fclose(f);
  int e = 0;
  if (vklog_initialize_with_config_file(conf.c_str(), &e) != 0) abort();
  g_file_log = vklog_get_category("bench");
  g_quiet_log = vklog_get_category("quiet");
  // One line exactly as the library writes it, for the baseline.
  char head[256];
  int hl = vl_set_header(VL_INFO, VKLOG_HEADER_TIME | VKLOG_HEADER_PID | VKLOG_HEADER_LEVEL, 1,
                         __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__,
                         head, sizeof(head));
  char msg[256];
  snprintf(msg, sizeof(msg), kMessage, "10.1.2.3", 42, 17L);
  g_line = std::string(head, static_cast<size_t>(hl)) + msg;
}

void BM_baseline_snprintf_message(benchmark::State &state) {
  char buf[256];
  int i = 0;
  for (auto _ : state) {
    snprintf(buf, sizeof(buf), kMessage, "10.1.2.3", i++, 17L);
    benchmark::DoNotOptimize(buf);
  }
}
BENCHMARK(BM_baseline_snprintf_message);

void BM_vklog_filtered_out(benchmark::State &state) {
  int i = 0;
  for (auto _ : state) {
    VKLOG(g_quiet_log, VL_DEBUG, kMessage, "10.1.2.3", i++, 17L);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_vklog_filtered_out);

// Baseline: what the library does per line at its cheapest — open for
// appending, one write, close — with the same bytes.
void BM_baseline_open_append_close(benchmark::State &state) {
  std::string path = g_dir + "/plain.log";
  if (state.thread_index() == 0) unlink(path.c_str());
  for (auto _ : state) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd >= 0) {
      benchmark::DoNotOptimize(write(fd, g_line.data(), g_line.size()));
      close(fd);
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_baseline_open_append_close)->Threads(1)->UseRealTime();
BENCHMARK(BM_baseline_open_append_close)->Threads(4)->UseRealTime();

void BM_vklog_file(benchmark::State &state) {
  if (state.thread_index() == 0) unlink((g_dir + "/vklog.log").c_str());
  int i = 0;
  for (auto _ : state) VKLOG(g_file_log, VL_INFO, kMessage, "10.1.2.3", i++ % 100, 17L);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_vklog_file)->Threads(1)->UseRealTime();
BENCHMARK(BM_vklog_file)->Threads(4)->UseRealTime();

// Console output as usual, plus each benchmark's time per iteration and
// rate: the median of the repetitions when there are several, else the run.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> ns_per_iter;
  std::map<std::string, double> per_second;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.run_type == Run::RT_Aggregate && !median) continue;
      std::string name = r.run_name.str();
      if (!median && ns_per_iter.count(name + "#median") != 0) continue;
      if (median) ns_per_iter[name + "#median"] = 1;
      ns_per_iter[name] = r.GetAdjustedRealTime();
      auto it = r.counters.find("items_per_second");
      if (it != r.counters.end()) per_second[name] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  setup_logging();
  // The machine may be shared: by default each benchmark is repeated, the
  // repetitions of all benchmarks are interleaved, and medians are compared.
  // Flags given on the command line come later and win.
  std::vector<char *> args;
  args.push_back(argv[0]);
  char rep_flag[] = "--benchmark_repetitions=5";
  char interleave_flag[] = "--benchmark_enable_random_interleaving=true";
  char min_time_flag[] = "--benchmark_min_time=0.2";
  char aggregates_flag[] = "--benchmark_report_aggregates_only=true";
  args.push_back(rep_flag);
  args.push_back(interleave_flag);
  args.push_back(min_time_flag);
  args.push_back(aggregates_flag);
  for (int i = 1; i < argc; i++) args.push_back(argv[i]);
  int args_count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&args_count, args.data());
  ratio_reporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  auto ns = [&](const char *n) {
    auto it = rep.ns_per_iter.find(n);
    return it == rep.ns_per_iter.end() ? 0.0 : it->second;
  };
  auto rate = [&](const char *n) {
    auto it = rep.per_second.find(n);
    return it == rep.per_second.end() ? 0.0 : it->second;
  };
  printf("line bytes: %zu\n", g_line.size());
  printf("filtered-out call: %.2f ns; snprintf of the message: %.2f ns; ratio %.3f\n",
         ns("BM_vklog_filtered_out"), ns("BM_baseline_snprintf_message"),
         ns("BM_baseline_snprintf_message") > 0
             ? ns("BM_vklog_filtered_out") / ns("BM_baseline_snprintf_message")
             : 0.0);
  const char *pairs[][2] = {
      {"BM_vklog_file/real_time/threads:1", "BM_baseline_open_append_close/real_time/threads:1"},
      {"BM_vklog_file/real_time/threads:4", "BM_baseline_open_append_close/real_time/threads:4"}};
  for (const auto &p : pairs) {
    double ours = rate(p[0]);
    double base = rate(p[1]);
    printf("%s: %.0f lines/s; baseline %.0f lines/s; ratio %.3f (goal >= 0.8)\n", p[0], ours, base,
           base > 0 ? ours / base : 0.0);
  }
  benchmark::Shutdown();
  vklog_test_reset();
  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
  return 0;
}
