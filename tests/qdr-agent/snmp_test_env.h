// Shared set-up of the SNMP tests: the Net-SNMP library of the test process
// is initialised once, reading no system configuration and keeping its
// persistent data in a temporary directory, and shut down at the end.
//
// Include from exactly one place per test program: it registers a global
// GoogleTest environment.
#ifndef TESTS_QDR_AGENT_SNMP_TEST_ENV_H
#define TESTS_QDR_AGENT_SNMP_TEST_ENV_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "snmp_manager.h"
#include "test_process.h"

namespace snmptest {

class library_env : public ::testing::Environment {
 public:
  explicit library_env(bool agent_output) : agent_output_(agent_output) {}
  void SetUp() override {
    std::string base = dir_.path;
    for (const char *sub : {"/persist", "/conf", "/mibs"}) mkdir((base + sub).c_str(), 0700);
    setenv("SNMP_PERSISTENT_DIR", (base + "/persist").c_str(), 1);
    setenv("SNMPCONFPATH", (base + "/conf").c_str(), 1);
    setenv("MIBDIRS", (base + "/mibs").c_str(), 1);
    setenv("MIBS", "", 1);
    // Numeric OIDs always, so that walked names compare with the tool's -On.
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OID_OUTPUT_FORMAT,
                       NETSNMP_OID_OUTPUT_NUMERIC);
    if (agent_output_) sm_set_library_output_options();
    init_snmp("qdr-agent-test");
  }
  void TearDown() override { snmp_shutdown("qdr-agent-test"); }

 private:
  bool agent_output_;
  vktest::temp_dir dir_;
};

// Counter deltas around an operation.
inline snmp_perf perf_now() {
  snmp_perf p;
  sm_get_perf(&p);
  return p;
}

inline snmp_perf perf_delta(const snmp_perf &before) {
  snmp_perf now = perf_now();
  snmp_perf d;
  d.session_open = now.session_open - before.session_open;
  d.session_open_error = now.session_open_error - before.session_open_error;
  d.session_close = now.session_close - before.session_close;
  d.request = now.request - before.request;
  d.request_error = now.request_error - before.request_error;
  d.response = now.response - before.response;
  d.response_error = now.response_error - before.response_error;
  d.fail = now.fail - before.fail;
  return d;
}

// One session built from an snmp_info and opened; closed by the destructor.
struct open_session {
  snmp_info info{};
  netsnmp_session session{};
  void *fd = nullptr;
  int setup_ret = 0;
  snmp_session_error err{};

  open_session() { sm_snmp_error_init(&err); }
  ~open_session() { close(); }
  open_session(const open_session &) = delete;
  open_session &operator=(const open_session &) = delete;

  // Sets the session up from `info` and opens it; false when either fails.
  bool open() {
    setup_ret = sm_set_session_by_info(&session, &info);
    if (setup_ret != 0) return false;
    fd = sm_snmp_open_by_session(&session, &err);
    return fd != nullptr;
  }
  void close() {
    if (fd != nullptr) sm_snmp_close(fd);
    fd = nullptr;
    sm_clear_session(&session);
    sm_snmp_error_clean(&err);
  }
};

// A response list cleaned by the destructor.
struct response_list {
  mlist_t list{};
  response_list() { sm_response_list_init(&list); }
  ~response_list() { sm_response_list_clean(&list); }
  response_list(const response_list &) = delete;
  response_list &operator=(const response_list &) = delete;
  snmp_response_data *at(size_t index) {
    mlist_item_t *cur = nullptr;
    snmp_response_data *e = nullptr;
    for (size_t i = 0; i <= index; i++) {
      e = static_cast<snmp_response_data *>(mlist_getting_data(&list, nullptr, &cur));
      if (e == nullptr) return nullptr;
    }
    return e;
  }
};

inline size_t chain_length(const netsnmp_variable_list *v) {
  size_t n = 0;
  for (; v != nullptr; v = v->next_variable) n++;
  return n;
}

// Numeric text of a variable's name: ".1.3.6...".
inline std::string name_text(const netsnmp_variable_list *v) {
  char buf[1024];
  snprint_objid(buf, sizeof(buf), v->name, v->name_length);
  return buf;
}

// The value as the agent formats it.
inline std::string value_text(const netsnmp_variable_list *v) {
  size_t size = 256;
  size_t len = 0;
  auto *buf = static_cast<u_char *>(malloc(size));
  buf[0] = '\0';
  std::string out;
  if (get_variable_realloc_by_type(&buf, &size, &len, 1, v, nullptr, nullptr, nullptr) != 0) {
    out.assign(reinterpret_cast<char *>(buf), len);
  }
  free(buf);
  return out;
}

}  // namespace snmptest

#endif  // TESTS_QDR_AGENT_SNMP_TEST_ENV_H
