#include "snmpd_fixture.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

namespace vktest {

const std::vector<std::string> kSnmpdAuthNames = {"MD5",     "SHA",     "SHA-224",
                                                  "SHA-256", "SHA-384", "SHA-512"};
const std::vector<std::string> kSnmpdPrivNames = {"DES", "AES", "AES-192", "AES-256"};
const char *const kSnmpdAuthPass = "auth-pass-phrase";
const char *const kSnmpdPrivPass = "priv-pass-phrase";

namespace {

constexpr const char *kSnmpdPath = "/usr/sbin/snmpd";
constexpr int kStartAttempts = 3;
constexpr int kReadyTimeoutMs = 10000;

void ber_length(std::string &out, size_t len) {
  if (len < 128) {
    out.push_back(static_cast<char>(len));
  } else {
    out.push_back(static_cast<char>(0x82));
    out.push_back(static_cast<char>((len >> 8) & 0xff));
    out.push_back(static_cast<char>(len & 0xff));
  }
}

std::string ber_tlv(unsigned char tag, const std::string &value) {
  std::string out(1, static_cast<char>(tag));
  ber_length(out, value.size());
  return out + value;
}

// A v2c GET of sysUpTime.0, built by hand so that this helper needs no
// SNMP library.
std::string v2c_probe(const std::string &community) {
  static const unsigned char sys_uptime[] = {0x2b, 6, 1, 2, 1, 1, 3, 0};
  std::string name(reinterpret_cast<const char *>(sys_uptime), sizeof(sys_uptime));
  std::string varbind = ber_tlv(0x30, ber_tlv(0x06, name) + std::string("\x05\x00", 2));
  std::string pdu = ber_tlv(0x02, std::string("\x01", 1)) + ber_tlv(0x02, std::string(1, '\0')) +
                    ber_tlv(0x02, std::string(1, '\0')) + ber_tlv(0x30, varbind);
  std::string msg =
      ber_tlv(0x02, std::string("\x01", 1)) + ber_tlv(0x04, community) + ber_tlv(0xa0, pdu);
  return ber_tlv(0x30, msg);
}

// A UDP port on ::1 that was free a moment ago.
int free_port6() {
  int fd = socket(AF_INET6, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof(a);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
    port = ntohs(a.sin6_port);
  }
  close(fd);
  return port;
}

std::string make_conf(const snmpd_options &o) {
  std::ostringstream c;
  if (o.ipv6) {
    c << "rocommunity6 " << o.community << " ::1\n";
  } else {
    c << "rocommunity " << o.community << " 127.0.0.1\n";
  }
  if (!o.sys_descr.empty()) c << "sysDescr " << o.sys_descr << "\n";
  if (!o.sys_contact.empty()) c << "sysContact " << o.sys_contact << "\n";
  if (!o.sys_name.empty()) c << "sysName " << o.sys_name << "\n";
  if (!o.sys_location.empty()) c << "sysLocation " << o.sys_location << "\n";
  if (o.v3_users) {
    c << "createUser " << snmpd_user_name(0, 0) << "\n";
    c << "rouser " << snmpd_user_name(0, 0) << " noauth\n";
    for (size_t a = 1; a <= kSnmpdAuthNames.size(); a++) {
      std::string user = snmpd_user_name(static_cast<int>(a), 0);
      c << "createUser " << user << " " << kSnmpdAuthNames[a - 1] << " " << kSnmpdAuthPass << "\n";
      c << "rouser " << user << " auth\n";
      for (size_t p = 1; p <= kSnmpdPrivNames.size(); p++) {
        user = snmpd_user_name(static_cast<int>(a), static_cast<int>(p));
        c << "createUser " << user << " " << kSnmpdAuthNames[a - 1] << " " << kSnmpdAuthPass << " "
          << kSnmpdPrivNames[p - 1] << " " << kSnmpdPrivPass << "\n";
        c << "rouser " << user << " priv\n";
      }
    }
  }
  for (const std::string &line : o.extra_lines) c << line << "\n";
  return c.str();
}

}  // namespace

std::string snmpd_user_name(int auth_code, int priv_code) {
  if (auth_code <= 0) return "noauth";
  if (priv_code <= 0) return "a_" + std::to_string(auth_code);
  return "p_" + std::to_string(auth_code) + "_" + std::to_string(priv_code);
}

bool snmp_v2c_answers(const std::string &host, int port, const std::string &community,
                      int timeout_ms) {
  bool v6 = host.find(':') != std::string::npos;
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_storage ss{};
  socklen_t len;
  if (v6) {
    auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
    len = sizeof(*a);
  } else {
    auto *a = reinterpret_cast<sockaddr_in *>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &a->sin_addr);
    len = sizeof(*a);
  }
  std::string probe = v2c_probe(community);
  bool answered = false;
  if (sendto(fd, probe.data(), probe.size(), 0, reinterpret_cast<sockaddr *>(&ss), len) ==
      static_cast<ssize_t>(probe.size())) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN)) {
      char buf[2048];
      answered = recv(fd, buf, sizeof(buf), 0) > 0;
    }
  }
  close(fd);
  return answered;
}

snmpd_instance::~snmpd_instance() {
  stop();
}

std::vector<std::string> snmpd_instance::tool_env() const {
  return {"SNMP_PERSISTENT_DIR=" + dir.path + "/tool-persist",
          "SNMPCONFPATH=" + dir.path + "/tool-conf", "MIBS=", "MIBDIRS=" + dir.path + "/no-mibs"};
}

bool snmpd_instance::start(const snmpd_options &options, std::string *error) {
  auto fail = [&](const std::string &why) {
    if (error != nullptr) *error = why;
    return false;
  };
  if (dir.path.empty()) return fail("no temporary directory");
  if (access(kSnmpdPath, X_OK) != 0) return fail(std::string(kSnmpdPath) + " is not installed");
  conf_path = dir.path + "/snmpd.conf";
  persist_dir = dir.path + "/persist";
  log_path = dir.path + "/snmpd.log";
  if (!write_file(conf_path, make_conf(options))) return fail("cannot write " + conf_path);
  for (const char *sub : {"/persist", "/tool-persist", "/tool-conf", "/no-mibs"}) {
    std::string d = dir.path + sub;
    if (mkdir(d.c_str(), 0700) != 0 && errno != EEXIST) return fail("cannot create " + d);
  }
  host = options.ipv6 ? "::1" : "127.0.0.1";

  std::string last_log;
  for (int attempt = 0; attempt < kStartAttempts; attempt++) {
    port = options.ipv6 ? free_port6() : free_port(SOCK_DGRAM);
    if (port <= 0) return fail("no free port");
    std::string listen = options.ipv6 ? "udp6:[::1]:" + std::to_string(port)
                                      : "udp:127.0.0.1:" + std::to_string(port);
    address = options.ipv6 ? listen : host + ":" + std::to_string(port);
    // -C: no system configuration files; -I -smux: no SMUX listener on TCP
    // 199; persistent data (engine id, boots) stays in the temporary dir.
    std::vector<std::string> argv = {
        kSnmpdPath, "-f",    "-Lf", log_path, "-C", "-c", conf_path, "-p", dir.path + "/snmpd.pid",
        "-I",       "-smux", listen};
    std::vector<std::string> env = {"SNMP_PERSISTENT_DIR=" + persist_dir,
                                    "SNMPCONFPATH=" + dir.path,
                                    "MIBS=", "MIBDIRS=" + dir.path + "/no-mibs"};
    proc = start_program(argv, dir.path, env);
    if (proc.pid <= 0) return fail("cannot start snmpd");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      if (wait_program(proc, 0) >= 0) break;  // it ended (port taken, bad configuration)
      if (snmp_v2c_answers(host, port, options.community, 100)) return true;
    }
    last_log = read_file(log_path);
    stop();
  }
  return fail("snmpd did not answer; log:\n" + last_log);
}

void snmpd_instance::stop() {
  stop_program(proc);
}

}  // namespace vktest
