// A private SNMP agent for tests: the system's /usr/sbin/snmpd started on a
// free loopback UDP port with its own configuration file, persistent-data
// directory and log in a temporary directory. No system file is read or
// written and no system snmpd is used. The agent answers a v1/v2c community
// and one SNMPv3 user for every level and every authentication/privacy pair
// this Net-SNMP build supports; it is stopped by its process id.
#ifndef TESTS_SUPPORT_SNMPD_FIXTURE_H
#define TESTS_SUPPORT_SNMPD_FIXTURE_H

#include <string>
#include <vector>

#include "test_process.h"

namespace vktest {

// Authentication protocols as snmpd.conf names them, in the agent's code
// order (md5 = 1 ... sha512 = 6).
extern const std::vector<std::string> kSnmpdAuthNames;  // "MD5", "SHA", "SHA-224", ...
// Privacy protocols, in the agent's code order (des = 1 ... aes256 = 4).
extern const std::vector<std::string> kSnmpdPrivNames;  // "DES", "AES", "AES-192", "AES-256"

// Pass phrases of the fixture's users.
extern const char *const kSnmpdAuthPass;  // "auth-pass-phrase"
extern const char *const kSnmpdPrivPass;  // "priv-pass-phrase"

// User names: "noauth" (noAuthNoPriv); "a_<i>" (authNoPriv with auth code i,
// 1..6); "p_<i>_<j>" (authPriv with auth code i and privacy code j, 1..4).
std::string snmpd_user_name(int auth_code, int priv_code);

struct snmpd_options {
  std::string community = "public";
  // Written as "sysDescr <text>" etc. when not empty; quotes are kept as
  // given, so a text in quotes reaches the agent with its quotes.
  std::string sys_descr;
  std::string sys_contact;
  std::string sys_name;
  std::string sys_location;
  bool v3_users = true;                  // create the users described above
  bool ipv6 = false;                     // listen on udp6:[::1] instead of 127.0.0.1
  std::vector<std::string> extra_lines;  // appended to snmpd.conf
};

// One running agent. The destructor stops it.
struct snmpd_instance {
  temp_dir dir;
  child proc;
  int port = -1;
  std::string host;     // "127.0.0.1" or "::1"
  std::string address;  // "127.0.0.1:<port>" or "udp6:[::1]:<port>" (for the tools)
  std::string conf_path;
  std::string persist_dir;
  std::string log_path;

  snmpd_instance() = default;
  snmpd_instance(const snmpd_instance &) = delete;
  snmpd_instance &operator=(const snmpd_instance &) = delete;
  ~snmpd_instance();

  // Writes the configuration, starts the agent on a free port (a few
  // attempts if another process takes the port first) and waits up to 10 s
  // for it to answer a v2c GET. Returns false, with a reason in *error, when
  // it does not come up; nothing keeps running then.
  bool start(const snmpd_options &options, std::string *error);

  // Stops the agent (SIGTERM, then SIGKILL) by its pid. Safe to call twice.
  void stop();

  bool running() const { return proc.pid > 0; }

  // Environment for Net-SNMP command-line tools run against this agent, so
  // that they read no system configuration and write no system file.
  std::vector<std::string> tool_env() const;
};

// Sends one v2c GET of sysUpTime.0 to host:port and waits up to `timeout_ms`
// for any answer. True when one came.
bool snmp_v2c_answers(const std::string &host, int port, const std::string &community,
                      int timeout_ms);

}  // namespace vktest

#endif  // TESTS_SUPPORT_SNMPD_FIXTURE_H
