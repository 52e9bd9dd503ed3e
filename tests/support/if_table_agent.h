// A small interface table served by a private snmpd through a
// `pass_persist` helper (one process for the agent's life), with counters
// the test sets between samples.
//
// The table lives under a private enterprise subtree (kIfTableRoot) laid out
// like the interface table: column c of row i is <root>.2.2.1.<c>.<i>, with
// the same column numbers (1 index, 2 descr, 3 type, 4 mtu, 5 speed, 6 phys
// address, 7 admin, 8 oper, 10 in octets, 11 in ucast, 13 in discards, 14 in
// errors, 16 out octets, 17 out ucast, 19 out discards, 20 out errors) plus
// 106 and 110 for the 64-bit in/out octet counters, 21 the Gauge32 output
// queue length and 206 the address as raw bytes. Rows with a
// high speed are also served at the standard ifHighSpeed column
// (kIfHighSpeedColumn), which the helper takes over from snmpd. Each
// set_rows() rewrites the data file in one rename; the helper reads it for
// every request, so the next request sees the new values. Rows that are
// left out disappear.
#ifndef TESTS_SUPPORT_IF_TABLE_AGENT_H
#define TESTS_SUPPORT_IF_TABLE_AGENT_H

#include <stdint.h>

#include <string>
#include <vector>

namespace vktest {

extern const char *const kIfTableRoot;        // ".1.3.6.1.4.1.99999"
extern const char *const kIfHighSpeedColumn;  // ".1.3.6.1.2.1.31.1.1.1.15"
extern const char *const kSysUpTimeColumn;    // ".1.3.6.1.2.1.1.3"

// Column numbers of the served table.
enum {
  IF_COL_INDEX = 1,
  IF_COL_DESCR = 2,
  IF_COL_TYPE = 3,
  IF_COL_MTU = 4,
  IF_COL_SPEED = 5,
  IF_COL_PHYS = 6,
  IF_COL_ADMIN = 7,
  IF_COL_OPER = 8,
  IF_COL_IN_OCTETS = 10,
  IF_COL_IN_UCAST = 11,
  IF_COL_IN_DISCARDS = 13,
  IF_COL_IN_ERRORS = 14,
  IF_COL_OUT_OCTETS = 16,
  IF_COL_OUT_UCAST = 17,
  IF_COL_OUT_DISCARDS = 19,
  IF_COL_OUT_ERRORS = 20,
  IF_COL_OUT_QLEN = 21,
  IF_COL_HC_IN_OCTETS = 106,
  IF_COL_HC_OUT_OCTETS = 110,
  IF_COL_PHYS_OCTETS = 206,
};

struct if_row {
  uint32_t index = 1;
  std::string descr;  // served as given (quotes and spaces included)
  uint32_t type = 6;
  uint32_t mtu = 1500;
  uint32_t speed = 0;  // Gauge32, bits/s
  std::string phys;
  uint32_t admin = 1;
  uint32_t oper = 1;
  uint32_t in_octets = 0;  // Counter32
  uint32_t in_ucast = 0;
  uint32_t in_discards = 0;
  uint32_t in_errors = 0;
  uint32_t out_octets = 0;
  uint32_t out_ucast = 0;
  uint32_t out_discards = 0;
  uint32_t out_errors = 0;
  uint64_t hc_in_octets = 0;  // Counter64
  uint64_t hc_out_octets = 0;
  uint32_t out_qlen = 0;    // Gauge32
  std::string phys_octets;  // served as raw bytes (OCTET STRING, any byte)
  uint32_t high_speed = 0;  // Mb/s at the standard ifHighSpeed column; 0: absent
};

// A scalar beside the table, served at "<root>.3.<number>.0" with a type
// word of the helper protocol ("integer", "gauge", "counter64",
// "timeticks", "string", "octet" (hex bytes), ...).
struct if_scalar {
  int number;
  std::string type;
  std::string value;
};

struct if_table_agent {
  std::string data_path;
  std::string script_path;
  // When set before conf_line(), the helper also takes over the device's
  // uptime (sysUpTime, kSysUpTimeColumn) and serves `uptime` at its .0.
  bool own_uptime = false;
  uint32_t uptime = 0;  // ticks (hundredths of a second), read by set_rows()

  // Writes the script and an empty table into `dir`. False (reason in
  // *error) when a file cannot be written.
  bool prepare(const std::string &dir, std::string *error);

  // The snmpd.conf lines (two, one string) that hand the subtree and the
  // ifHighSpeed column to the helper.
  std::string conf_line() const;

  // Replaces the served rows (served in index order). False when the file
  // cannot be written.
  bool set_rows(std::vector<if_row> rows, std::vector<if_scalar> scalars = {});

  // "<root>.2.2.1.<column>": the OID a walk of the column starts from.
  static std::string column_oid(int column);
  // "<root>.3.<number>.0".
  static std::string scalar_oid(int number);
};

}  // namespace vktest

#endif  // TESTS_SUPPORT_IF_TABLE_AGENT_H
