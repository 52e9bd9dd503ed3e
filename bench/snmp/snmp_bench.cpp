// SNMP benchmarks against a private snmpd on loopback:
//  - the walk of the agent's whole MIB-2 subtree through sm_bulk_request
//    (session open, walk with 80 repetitions a request, close), against
//    the command-line tool "snmpbulkwalk -Cr80" of the same subtree (a
//    process per walk, output to a file);
//  - opening SNMPv3 authPriv sessions (engine probe, user check; the keys
//    come from the session manager's cache after the first open) against
//    opening a v2c session, and the cost of making one key from a pass
//    phrase, which an open pays when its keys are not cached.
// Times are wall-clock per walk or per open; the ratios (ours / baseline,
// lower is better) are printed after the runs.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <string>

#include "snmp_manager.h"
#include "snmpd_fixture.h"

namespace {

vktest::snmpd_instance *g_agent = nullptr;
std::map<std::string, double> g_seconds;  // per iteration, by run name

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

size_t walk_once() {
  snmp_info info{};
  sm_set_snmp_info(&info, "127.0.0.1", static_cast<uint16_t>(g_agent->port), SNMP_VERSION_2c,
                   2000000, 1, "public");
  netsnmp_session session;
  sm_set_session_by_info(&session, &info);
  snmp_session_error err;
  sm_snmp_error_init(&err);
  void *fd = sm_snmp_open_by_session(&session, &err);
  mlist_t list;
  sm_response_list_init(&list);
  sm_response_list_add(&list, "mib-2", 0, ".1.3.6.1.2.1");
  mlist_item_t *cur = nullptr;
  auto *entry = static_cast<snmp_response_data *>(mlist_getting_data(&list, nullptr, &cur));
  size_t count = 0;
  if (sm_bulk_request(fd, 80, entry, &err) == 0) {
    for (netsnmp_variable_list *v = entry->variables; v != nullptr; v = v->next_variable) count++;
  }
  sm_response_list_clean(&list);
  sm_snmp_close(fd);
  sm_clear_session(&session);
  sm_snmp_error_clean(&err);
  return count;
}

void BM_walk_mib2_sm_bulk_request(benchmark::State &state) {
  size_t objects = 0;
  auto start = clock_type::now();
  for (auto _ : state) {
    objects = walk_once();
    if (objects == 0) state.SkipWithError("walk failed");
  }
  g_seconds["walk/ours"] = seconds_since(start) / static_cast<double>(state.iterations());
  state.counters["objects"] = static_cast<double>(objects);
}
BENCHMARK(BM_walk_mib2_sm_bulk_request)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);

void BM_walk_mib2_snmpbulkwalk_tool(benchmark::State &state) {
  std::vector<std::string> argv = {
      "/usr/bin/snmpbulkwalk", "-v2c",        "-c", "public", "-Cr80", "-On", "-t", "2", "-r", "1",
      g_agent->address,        ".1.3.6.1.2.1"};
  std::vector<std::string> env = g_agent->tool_env();
  size_t lines = 0;
  auto start = clock_type::now();
  for (auto _ : state) {
    vktest::run_result r = vktest::run_program(argv, env, "", 60000);
    if (r.status != 0) state.SkipWithError("snmpbulkwalk failed");
    lines = 0;
    for (char c : r.out) lines += c == '\n';
  }
  g_seconds["walk/tool"] = seconds_since(start) / static_cast<double>(state.iterations());
  state.counters["lines"] = static_cast<double>(lines);
}
BENCHMARK(BM_walk_mib2_snmpbulkwalk_tool)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);

// Opens and closes one session a iteration; auth/priv codes 0 mean v2c.
void open_close(benchmark::State &state, const std::string &key, int auth, int priv) {
  auto start = clock_type::now();
  for (auto _ : state) {
    snmp_info info{};
    netsnmp_session session;
    snmp_session_error err;
    sm_snmp_error_init(&err);
    if (auth == 0) {
      sm_set_snmp_info(&info, "127.0.0.1", static_cast<uint16_t>(g_agent->port), SNMP_VERSION_2c,
                       2000000, 1, "public");
    } else {
      sm_set_snmp_info(&info, "127.0.0.1", static_cast<uint16_t>(g_agent->port), SNMP_VERSION_3,
                       2000000, 1, nullptr);
      sm_set_snmp_sec_info(&info.security, 3, vktest::snmpd_user_name(auth, priv).c_str(), auth,
                           vktest::kSnmpdAuthPass, priv, vktest::kSnmpdPrivPass);
    }
    sm_set_session_by_info(&session, &info);
    void *fd = sm_snmp_open_by_session(&session, &err);
    if (fd == nullptr) state.SkipWithError("open failed");
    sm_snmp_close(fd);
    sm_clear_session(&session);
    sm_snmp_error_clean(&err);
  }
  g_seconds[key] = seconds_since(start) / static_cast<double>(state.iterations());
}

void BM_open_v3_authpriv_sha512_aes256(benchmark::State &state) {
  open_close(state, "open/v3-sha512-aes256", SM_AUTH_SHA512, SM_PRIV_AES256);
}
BENCHMARK(BM_open_v3_authpriv_sha512_aes256)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_open_v3_authpriv_md5_des(benchmark::State &state) {
  open_close(state, "open/v3-md5-des", SM_AUTH_MD5, SM_PRIV_DES);
}
BENCHMARK(BM_open_v3_authpriv_md5_des)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_open_v2c(benchmark::State &state) {
  open_close(state, "open/v2c", 0, 0);
}
BENCHMARK(BM_open_v2c)->UseRealTime()->Unit(benchmark::kMicrosecond);

// What an SNMPv3 open costs when its keys are not cached yet: one key (Ku)
// a pass phrase, made by hashing a megabyte of it.
void BM_key_from_pass_phrase_sha512(benchmark::State &state) {
  for (auto _ : state) {
    u_char ku[USM_AUTH_KU_LEN];
    size_t ku_len = sizeof(ku);
    generate_Ku(usmHMAC384SHA512AuthProtocol, OID_LENGTH(usmHMAC384SHA512AuthProtocol),
                reinterpret_cast<const u_char *>(vktest::kSnmpdAuthPass),
                strlen(vktest::kSnmpdAuthPass), ku, &ku_len);
    benchmark::DoNotOptimize(ku);
  }
}
BENCHMARK(BM_key_from_pass_phrase_sha512)->Unit(benchmark::kMillisecond);

void BM_key_from_pass_phrase_md5(benchmark::State &state) {
  for (auto _ : state) {
    u_char ku[USM_AUTH_KU_LEN];
    size_t ku_len = sizeof(ku);
    generate_Ku(usmHMACMD5AuthProtocol, OID_LENGTH(usmHMACMD5AuthProtocol),
                reinterpret_cast<const u_char *>(vktest::kSnmpdAuthPass),
                strlen(vktest::kSnmpdAuthPass), ku, &ku_len);
    benchmark::DoNotOptimize(ku);
  }
}
BENCHMARK(BM_key_from_pass_phrase_md5)->Unit(benchmark::kMillisecond);

void print_ratio(const char *ours, const char *base) {
  auto a = g_seconds.find(ours);
  auto b = g_seconds.find(base);
  if (a == g_seconds.end() || b == g_seconds.end() || b->second <= 0) return;
  printf("%s: %.3f ms, %s: %.3f ms, ratio %s / %s = %.2f\n", ours, a->second * 1e3, base,
         b->second * 1e3, ours, base, a->second / b->second);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  // The library reads no system configuration and keeps its data here.
  vktest::temp_dir lib_dir;
  for (const char *sub : {"/persist", "/conf", "/mibs"}) mkdir((lib_dir.path + sub).c_str(), 0700);
  setenv("SNMP_PERSISTENT_DIR", (lib_dir.path + "/persist").c_str(), 1);
  setenv("SNMPCONFPATH", (lib_dir.path + "/conf").c_str(), 1);
  setenv("MIBDIRS", (lib_dir.path + "/mibs").c_str(), 1);
  setenv("MIBS", "", 1);
  init_snmp("bench-snmp");

  vktest::snmpd_instance agent;
  std::string error;
  if (!agent.start(vktest::snmpd_options{}, &error)) {
    fprintf(stderr, "private snmpd did not start: %s\n", error.c_str());
    return 1;
  }
  g_agent = &agent;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_ratio("walk/ours", "walk/tool");
  print_ratio("open/v3-sha512-aes256", "open/v2c");
  print_ratio("open/v3-md5-des", "open/v2c");
  g_agent = nullptr;
  agent.stop();
  snmp_shutdown("bench-snmp");
  return 0;
}
