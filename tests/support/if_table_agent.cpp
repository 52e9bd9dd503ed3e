#include "if_table_agent.h"

#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace vktest {

const char *const kIfTableRoot = ".1.3.6.1.4.1.99999";

namespace {

// GET (-g) prints the exact entry; GETNEXT (-n) the first entry after the
// asked name in OID order. The data file is tab-separated: oid, type, value.
constexpr const char *kScript = R"(#!/bin/sh
exec awk -F '\t' -v mode="$1" -v req="$2" '
function cmp(a, b,   x, y, n, m, i) {
  n = split(a, x, "."); m = split(b, y, ".")
  for (i = 2; i <= n && i <= m; i++) {
    if (x[i] + 0 < y[i] + 0) return -1
    if (x[i] + 0 > y[i] + 0) return 1
  }
  return n < m ? -1 : (n > m ? 1 : 0)
}
mode == "-g" && $1 == req { print $1; print $2; print $3; exit }
mode == "-n" && cmp($1, req) > 0 { print $1; print $2; print $3; exit }
' "$(dirname "$0")/if_table.data"
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
  return std::string("pass ") + kIfTableRoot + " /bin/sh " + script_path;
}

bool if_table_agent::set_rows(std::vector<if_row> rows) {
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
      {IF_COL_HC_IN_OCTETS, "counter64",
       [](const if_row &r) { return std::to_string(r.hc_in_octets); }},
      {IF_COL_HC_OUT_OCTETS, "counter64",
       [](const if_row &r) { return std::to_string(r.hc_out_octets); }},
  };
  std::ostringstream out;
  for (const column &c : kColumns) {
    for (const if_row &r : rows) {
      out << column_oid(c.number) << "." << r.index << "\t" << c.type << "\t" << c.value(r) << "\n";
    }
  }
  return write_file(data_path, out.str());
}

}  // namespace vktest
