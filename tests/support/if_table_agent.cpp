#include "if_table_agent.h"

#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace vktest {

const char *const kIfTableRoot = ".1.3.6.1.4.1.99999";
const char *const kIfHighSpeedColumn = ".1.3.6.1.2.1.31.1.1.1.15";
const char *const kSysUpTimeColumn = ".1.3.6.1.2.1.1.3";

namespace {

// A pass_persist helper: one awk process for the agent's life (no process
// per request, which a busy machine delays past any time-out). Each request
// re-reads the data file, so the next request sees what set_rows() wrote.
// The data file is tab-separated (oid, type, value) and sorted in OID order;
// `root` is the subtree this process was registered for: GETNEXT answers
// nothing outside it. "-W interactive" makes mawk read its input line by
// line instead of waiting for a full block.
constexpr const char *kScript = R"(#!/bin/sh
exec awk -W interactive -F '\t' -v root="$1" -v data="$(dirname "$0")/if_table.data" '
function cmp(a, b,   x, y, n, m, i) {
  n = split(a, x, "."); m = split(b, y, ".")
  for (i = 2; i <= n && i <= m; i++) {
    if (x[i] + 0 < y[i] + 0) return -1
    if (x[i] + 0 > y[i] + 0) return 1
  }
  return n < m ? -1 : (n > m ? 1 : 0)
}
function answer(mode, req,   line, f, found) {
  found = 0
  while ((getline line < data) > 0) {
    split(line, f, "\t")
    if (index(f[1], root ".") != 1) continue
    if ((mode == "get" && f[1] == req) || (mode == "getnext" && cmp(f[1], req) > 0)) {
      printf "%s\n%s\n%s\n", f[1], f[2], f[3]; found = 1; break
    }
  }
  close(data)
  if (!found) print "NONE"
  fflush()
}
$0 == "PING" { print "PONG"; fflush(); next }
$0 == "get" || $0 == "getnext" { mode = $0; getline req; answer(mode, req); next }
$0 == "set" { getline req; getline value; print "not-writable"; fflush(); next }
$0 == "" { exit }
'
)";

bool write_file(const std::string &path, const std::string &text) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::trunc);
    if (!f) return false;
    f << text;
    if (!f.flush()) return false;
  }
  return rename(tmp.c_str(), path.c_str()) == 0;
}

// "41 42 ..": the bytes as the helper protocol's octet type wants them.
std::string hex_of(const std::string &bytes) {
  std::string out;
  char b[4];
  for (unsigned char ch : bytes) {
    snprintf(b, sizeof(b), "%02X ", ch);
    out += b;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

}  // namespace

std::string if_table_agent::column_oid(int column) {
  return std::string(kIfTableRoot) + ".2.2.1." + std::to_string(column);
}

bool if_table_agent::prepare(const std::string &dir, std::string *error) {
  script_path = dir + "/if_table.sh";
  data_path = dir + "/if_table.data";
  if (!write_file(script_path, kScript) || chmod(script_path.c_str(), 0755) != 0 ||
      !write_file(data_path, "")) {
    if (error != nullptr) *error = "cannot write the interface table files in " + dir;
    return false;
  }
  return true;
}

std::string if_table_agent::conf_line() const {
  std::string lines;
  std::vector<const char *> roots = {kIfTableRoot, kIfHighSpeedColumn};
  if (own_uptime) roots.push_back(kSysUpTimeColumn);
  for (const char *root : roots) {
    if (!lines.empty()) lines += "\n";
    // sysUpTime is snmpd's own scalar: the helper takes it over with a
    // better (lower) registration priority than the agent's default.
    lines += std::string("pass_persist ") + (root == kSysUpTimeColumn ? "-p 1 " : "") + root +
             " /bin/sh " + script_path + " " + root;
  }
  return lines;
}

std::string if_table_agent::scalar_oid(int number) {
  return std::string(kIfTableRoot) + ".3." + std::to_string(number) + ".0";
}

bool if_table_agent::set_rows(std::vector<if_row> rows, std::vector<if_scalar> scalars) {
  std::sort(rows.begin(), rows.end(),
            [](const if_row &a, const if_row &b) { return a.index < b.index; });
  struct column {
    int number;
    const char *type;
    std::string (*value)(const if_row &);
  };
  static const column kColumns[] = {
      {IF_COL_INDEX, "integer", [](const if_row &r) { return std::to_string(r.index); }},
      {IF_COL_DESCR, "string", [](const if_row &r) { return r.descr; }},
      {IF_COL_TYPE, "integer", [](const if_row &r) { return std::to_string(r.type); }},
      {IF_COL_MTU, "integer", [](const if_row &r) { return std::to_string(r.mtu); }},
      {IF_COL_SPEED, "gauge", [](const if_row &r) { return std::to_string(r.speed); }},
      {IF_COL_PHYS, "string", [](const if_row &r) { return r.phys; }},
      {IF_COL_ADMIN, "integer", [](const if_row &r) { return std::to_string(r.admin); }},
      {IF_COL_OPER, "integer", [](const if_row &r) { return std::to_string(r.oper); }},
      {IF_COL_IN_OCTETS, "counter", [](const if_row &r) { return std::to_string(r.in_octets); }},
      {IF_COL_IN_UCAST, "counter", [](const if_row &r) { return std::to_string(r.in_ucast); }},
      {IF_COL_IN_DISCARDS, "counter",
       [](const if_row &r) { return std::to_string(r.in_discards); }},
      {IF_COL_IN_ERRORS, "counter", [](const if_row &r) { return std::to_string(r.in_errors); }},
      {IF_COL_OUT_OCTETS, "counter", [](const if_row &r) { return std::to_string(r.out_octets); }},
      {IF_COL_OUT_UCAST, "counter", [](const if_row &r) { return std::to_string(r.out_ucast); }},
      {IF_COL_OUT_DISCARDS, "counter",
       [](const if_row &r) { return std::to_string(r.out_discards); }},
      {IF_COL_OUT_ERRORS, "counter", [](const if_row &r) { return std::to_string(r.out_errors); }},
      {IF_COL_OUT_QLEN, "gauge", [](const if_row &r) { return std::to_string(r.out_qlen); }},
      {IF_COL_HC_IN_OCTETS, "counter64",
       [](const if_row &r) { return std::to_string(r.hc_in_octets); }},
      {IF_COL_HC_OUT_OCTETS, "counter64",
       [](const if_row &r) { return std::to_string(r.hc_out_octets); }},
      // Columns sort in OID order: the helper's GETNEXT takes the first
      // greater name in the file.
      {IF_COL_PHYS_OCTETS, "octet", [](const if_row &r) { return hex_of(r.phys_octets); }},
  };
  std::ostringstream out;
  // sysUpTime and the standard ifHighSpeed column sort before the private
  // subtree.
  if (own_uptime) out << kSysUpTimeColumn << ".0\ttimeticks\t" << uptime << "\n";
  for (const if_row &r : rows) {
    if (r.high_speed != 0) {
      out << kIfHighSpeedColumn << "." << r.index << "\tgauge\t" << r.high_speed << "\n";
    }
  }
  for (const column &c : kColumns) {
    for (const if_row &r : rows) {
      out << column_oid(c.number) << "." << r.index << "\t" << c.type << "\t" << c.value(r) << "\n";
    }
  }
  std::sort(scalars.begin(), scalars.end(),
            [](const if_scalar &a, const if_scalar &b) { return a.number < b.number; });
  for (const if_scalar &s : scalars) {
    out << scalar_oid(s.number) << "\t" << s.type << "\t" << s.value << "\n";
  }
  return write_file(data_path, out.str());
}

}  // namespace vktest
