// A farm of simulated SNMP v1/v2c devices on loopback for the polling
// benchmark: every device is one UDP socket on 127.0.0.1 (a port of its
// own) serving the system group, the interface table (ifTable columns 1 to
// 21) and its 64-bit extension (ifXTable columns 1 to 19) for a number of
// interfaces, plus two UCD scalars (CPU idle, memory free) for device
// performance packs. Counters move with time: each interface has its own
// byte rate, and every counter is start + rate × seconds since the farm
// started (the 32-bit columns are the low halves of the 64-bit ones).
//
// GET, GETNEXT and GETBULK are answered; anything else, and requests with
// another community, are dropped as a device would. "Dead" devices are
// sockets that are bound but never read: requests to them go unanswered.
//
// Unlike tests/support/snmp_responder (one thread, one socket, answers built
// from std::string pieces to misbehave on purpose), the farm serves many
// sockets from a few epoll threads and encodes answers in place into one
// buffer with precomputed OID encodings, so that it costs little CPU next to
// the pollers it measures.
//
// Counts of requests and varbinds served are kept per client address (by
// the last byte of its IPv4 address, so 127.0.0.1 and 127.0.0.2 are counted
// apart) and written to the stats file on SIGUSR1 and at exit.
//
// Usage: device_farm --devices N [--interfaces M] [--dead K] [--threads T]
//          [--community C] --port-file FILE [--stats-file FILE]
//          [--max-seconds S]
// The port file gets one line per device, "live <port>" or "dead <port>",
// written in one rename once every socket is bound. The farm exits on
// SIGTERM or SIGINT, or after --max-seconds (default 900).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagCounter32 = 0x41;
constexpr uint8_t kTagGauge32 = 0x42;
constexpr uint8_t kTagTimeTicks = 0x43;
constexpr uint8_t kTagCounter64 = 0x46;
constexpr uint8_t kNoSuchObject = 0x80;
constexpr uint8_t kEndOfMibView = 0x82;
constexpr uint8_t kPduGet = 0xa0;
constexpr uint8_t kPduGetNext = 0xa1;
constexpr uint8_t kPduResponse = 0xa2;
constexpr uint8_t kPduGetBulk = 0xa5;

constexpr size_t kMaxSubids = 128;
constexpr size_t kMaxNames = 64;      // names a request may carry
constexpr size_t kMaxAnswer = 60000;  // bytes of varbinds in one answer
constexpr size_t kHeadRoom = 160;     // room before the varbinds for the headers
constexpr long kMaxRepetitions = 1000;

// ---- the served objects ----

enum farm_kind {
  FK_CONST,      // value_tlv as stored
  FK_COUNTER32,  // low half of counter `counter`
  FK_COUNTER64,  // counter `counter`
  FK_UPTIME,     // TimeTicks since the farm started
  FK_SYSNAME,    // "farm-<device>"
};

// Counters of one interface, each a fraction of the interface's byte rate.
enum farm_counter {
  FC_IN_OCTETS,
  FC_IN_UCAST,
  FC_IN_NUCAST,
  FC_IN_DISCARDS,
  FC_IN_ERRORS,
  FC_IN_UNKNOWN,
  FC_OUT_OCTETS,
  FC_OUT_UCAST,
  FC_OUT_NUCAST,
  FC_OUT_DISCARDS,
  FC_OUT_ERRORS,
  FC_IN_MCAST,
  FC_IN_BCAST,
  FC_OUT_MCAST,
  FC_OUT_BCAST,
  FC_COUNT
};

// Divisor of the byte rate for each counter (0: the counter stays put).
constexpr uint64_t kCounterDivisor[FC_COUNT] = {1,       600,   60000,  3000000, 6000000,
                                                0,       1,     500,    50000,   2000000,
                                                4000000, 90000, 120000, 70000,   110000};

struct farm_entry {
  std::vector<uint32_t> name;
  std::string name_tlv;  // the encoded OID, tag and length included
  farm_kind kind = FK_CONST;
  int counter = 0;
  uint32_t if_index = 0;
  std::string value_tlv;  // FK_CONST
};

struct farm_mib {
  std::vector<farm_entry> entries;  // sorted by name
};

void put_length(std::string *out, size_t len) {
  if (len < 128) {
    out->push_back(static_cast<char>(len));
  } else if (len < 256) {
    out->push_back(static_cast<char>(0x81));
    out->push_back(static_cast<char>(len));
  } else {
    out->push_back(static_cast<char>(0x82));
    out->push_back(static_cast<char>(len >> 8));
    out->push_back(static_cast<char>(len & 0xff));
  }
}

std::string tlv(uint8_t tag, const std::string &value) {
  std::string out(1, static_cast<char>(tag));
  put_length(&out, value.size());
  return out + value;
}

// Encodes the subidentifiers of `name` (at least two) into `out`, returning
// the number of bytes (at most 5 a subidentifier).
size_t encode_oid_body(const uint32_t *name, size_t len, uint8_t *out) {
  size_t n = 0;
  out[n++] = static_cast<uint8_t>(name[0] * 40 + (len > 1 ? name[1] : 0));
  for (size_t i = 2; i < len; i++) {
    uint32_t sub = name[i];
    uint8_t tmp[5];
    int k = 0;
    do {
      tmp[k++] = static_cast<uint8_t>(sub & 0x7f);
      sub >>= 7;
    } while (sub != 0);
    while (k > 0) {
      k--;
      out[n++] = static_cast<uint8_t>(tmp[k] | (k > 0 ? 0x80 : 0));
    }
  }
  return n;
}

std::string oid_tlv(const std::vector<uint32_t> &name) {
  uint8_t body[kMaxSubids * 5];
  size_t n = encode_oid_body(name.data(), name.size(), body);
  return tlv(kTagOid, std::string(reinterpret_cast<char *>(body), n));
}

std::string int_tlv(uint8_t tag, long long v) {
  uint8_t bytes[9];
  int n = 0;
  unsigned long long u = static_cast<unsigned long long>(v);
  for (int i = 7; i >= 0; i--) bytes[n++] = static_cast<uint8_t>(u >> (8 * i));
  int start = 0;
  while (start < 7 && ((bytes[start] == 0 && !(bytes[start + 1] & 0x80)) ||
                       (bytes[start] == 0xff && (bytes[start + 1] & 0x80))))
    start++;
  return tlv(tag, std::string(reinterpret_cast<char *>(bytes) + start, 8 - start));
}

std::string unsigned_tlv(uint8_t tag, uint64_t v) {
  uint8_t bytes[9];
  int n = 0;
  bytes[n++] = 0;
  for (int i = 7; i >= 0; i--) bytes[n++] = static_cast<uint8_t>(v >> (8 * i));
  int start = 0;
  while (start < 8 && bytes[start] == 0 && !(bytes[start + 1] & 0x80)) start++;
  return tlv(tag, std::string(reinterpret_cast<char *>(bytes) + start, 9 - start));
}

void add_entry(farm_mib *mib, std::vector<uint32_t> name, farm_kind kind, std::string value = {},
               int counter = 0, uint32_t if_index = 0) {
  farm_entry e;
  e.name_tlv = oid_tlv(name);
  e.name = std::move(name);
  e.kind = kind;
  e.value_tlv = std::move(value);
  e.counter = counter;
  e.if_index = if_index;
  mib->entries.push_back(std::move(e));
}

bool name_less(const std::vector<uint32_t> &a, const uint32_t *b, size_t blen) {
  return std::lexicographical_compare(a.begin(), a.end(), b, b + blen);
}

void farm_mib_build(farm_mib *mib, uint32_t interfaces) {
  const std::vector<uint32_t> sys = {1, 3, 6, 1, 2, 1, 1};
  auto with = [](std::vector<uint32_t> base, std::initializer_list<uint32_t> tail) {
    base.insert(base.end(), tail);
    return base;
  };
  add_entry(mib, with(sys, {1, 0}), FK_CONST,
            tlv(kTagOctetString, "benchmark device farm, simulated interfaces"));
  add_entry(mib, with(sys, {2, 0}), FK_CONST, oid_tlv({1, 3, 6, 1, 4, 1, 99999, 2}));
  add_entry(mib, with(sys, {3, 0}), FK_UPTIME);
  add_entry(mib, with(sys, {5, 0}), FK_SYSNAME);
  add_entry(mib, {1, 3, 6, 1, 2, 1, 2, 1, 0}, FK_CONST, int_tlv(kTagInteger, interfaces));

  const std::vector<uint32_t> if_entry = {1, 3, 6, 1, 2, 1, 2, 2, 1};
  const std::vector<uint32_t> ifx_entry = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1};
  for (uint32_t i = 1; i <= interfaces; i++) {
    auto col = [&](const std::vector<uint32_t> &table, uint32_t c) { return with(table, {c, i}); };
    std::string descr = "eth" + std::to_string(i - 1);
    std::string mac = {0x02, 0x00, 0x00, 0x00, static_cast<char>(i >> 8), static_cast<char>(i)};
    add_entry(mib, col(if_entry, 1), FK_CONST, int_tlv(kTagInteger, i));
    add_entry(mib, col(if_entry, 2), FK_CONST, tlv(kTagOctetString, descr));
    add_entry(mib, col(if_entry, 3), FK_CONST, int_tlv(kTagInteger, 6));
    add_entry(mib, col(if_entry, 4), FK_CONST, int_tlv(kTagInteger, 1500));
    add_entry(mib, col(if_entry, 5), FK_CONST, unsigned_tlv(kTagGauge32, 1000000000u));
    add_entry(mib, col(if_entry, 6), FK_CONST, tlv(kTagOctetString, mac));
    add_entry(mib, col(if_entry, 7), FK_CONST, int_tlv(kTagInteger, 1));
    add_entry(mib, col(if_entry, 8), FK_CONST, int_tlv(kTagInteger, 1));
    add_entry(mib, col(if_entry, 9), FK_CONST, unsigned_tlv(kTagTimeTicks, 0));
    const int in_cols[] = {FC_IN_OCTETS,   FC_IN_UCAST,  FC_IN_NUCAST,
                           FC_IN_DISCARDS, FC_IN_ERRORS, FC_IN_UNKNOWN};
    for (int k = 0; k < 6; k++)
      add_entry(mib, col(if_entry, 10 + k), FK_COUNTER32, {}, in_cols[k], i);
    const int out_cols[] = {FC_OUT_OCTETS, FC_OUT_UCAST, FC_OUT_NUCAST, FC_OUT_DISCARDS,
                            FC_OUT_ERRORS};
    for (int k = 0; k < 5; k++)
      add_entry(mib, col(if_entry, 16 + k), FK_COUNTER32, {}, out_cols[k], i);
    add_entry(mib, col(if_entry, 21), FK_CONST, unsigned_tlv(kTagGauge32, 0));

    add_entry(mib, col(ifx_entry, 1), FK_CONST, tlv(kTagOctetString, descr));
    const int x32[] = {FC_IN_MCAST, FC_IN_BCAST, FC_OUT_MCAST, FC_OUT_BCAST};
    for (int k = 0; k < 4; k++) add_entry(mib, col(ifx_entry, 2 + k), FK_COUNTER32, {}, x32[k], i);
    const int x64[] = {FC_IN_OCTETS,  FC_IN_UCAST,  FC_IN_MCAST,  FC_IN_BCAST,
                       FC_OUT_OCTETS, FC_OUT_UCAST, FC_OUT_MCAST, FC_OUT_BCAST};
    for (int k = 0; k < 8; k++) add_entry(mib, col(ifx_entry, 6 + k), FK_COUNTER64, {}, x64[k], i);
    add_entry(mib, col(ifx_entry, 14), FK_CONST, int_tlv(kTagInteger, 1));
    add_entry(mib, col(ifx_entry, 15), FK_CONST, unsigned_tlv(kTagGauge32, 1000));
    add_entry(mib, col(ifx_entry, 16), FK_CONST, int_tlv(kTagInteger, 2));
    add_entry(mib, col(ifx_entry, 17), FK_CONST, int_tlv(kTagInteger, 1));
    add_entry(mib, col(ifx_entry, 18), FK_CONST, tlv(kTagOctetString, "uplink " + descr));
    add_entry(mib, col(ifx_entry, 19), FK_CONST, unsigned_tlv(kTagTimeTicks, 0));
  }
  // UCD-SNMP-MIB ssCpuIdle.0 and memAvailReal.0, for device performance packs.
  add_entry(mib, {1, 3, 6, 1, 4, 1, 2021, 4, 6, 0}, FK_CONST, int_tlv(kTagInteger, 1048576));
  add_entry(mib, {1, 3, 6, 1, 4, 1, 2021, 11, 9, 0}, FK_CONST, int_tlv(kTagInteger, 7));
  std::sort(mib->entries.begin(), mib->entries.end(),
            [](const farm_entry &a, const farm_entry &b) { return a.name < b.name; });
}

// ---- counters ----

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Value of counter `c` of interface `ifx` of device `dev` after `ms`
// milliseconds: a start value plus the counter's share of the interface's
// byte rate (10 kB/s to 2 MB/s, different for every interface).
uint64_t counter_value(uint32_t dev, uint32_t ifx, int c, uint64_t ms) {
  uint64_t seed = mix((static_cast<uint64_t>(dev) << 32) ^ (ifx << 8) ^ static_cast<uint64_t>(c));
  uint64_t start = seed & ((1ULL << 40) - 1);
  if (kCounterDivisor[c] == 0) return start & 0xffff;
  uint64_t byte_rate = 10000 * (1 + mix(dev * 1000003ULL + ifx) % 200);
  return start + byte_rate * ms / 1000 / kCounterDivisor[c];
}

// ---- requests ----

struct ber_in {
  const uint8_t *p;
  size_t n;
  size_t pos;
};

bool ber_next(ber_in *r, uint8_t *tag, const uint8_t **value, size_t *len) {
  if (r->pos + 2 > r->n) return false;
  *tag = r->p[r->pos++];
  size_t l = r->p[r->pos++];
  if (l & 0x80) {
    size_t bytes = l & 0x7f;
    if (bytes == 0 || bytes > 4 || r->pos + bytes > r->n) return false;
    l = 0;
    for (size_t i = 0; i < bytes; i++) l = (l << 8) | r->p[r->pos++];
  }
  if (l > r->n - r->pos) return false;
  *value = r->p + r->pos;
  *len = l;
  r->pos += l;
  return true;
}

bool ber_int(ber_in *r, long *out, const uint8_t **raw = nullptr, size_t *raw_len = nullptr) {
  uint8_t tag;
  const uint8_t *v;
  size_t len;
  if (!ber_next(r, &tag, &v, &len) || tag != kTagInteger || len == 0 || len > 8) return false;
  long x = (v[0] & 0x80) ? -1 : 0;
  for (size_t i = 0; i < len; i++)
    x = static_cast<long>((static_cast<unsigned long>(x) << 8) | v[i]);
  *out = x;
  if (raw != nullptr) {
    *raw = v;
    *raw_len = len;
  }
  return true;
}

struct farm_name {
  uint32_t sub[kMaxSubids];
  size_t len;
};

struct farm_request {
  long version;
  const uint8_t *community;
  size_t community_len;
  uint8_t type;
  const uint8_t *reqid;
  size_t reqid_len;
  long non_repeaters;
  long max_repetitions;
  size_t name_count;
  farm_name names[kMaxNames];
};

bool decode_name(const uint8_t *v, size_t len, farm_name *out) {
  if (len == 0) return false;
  out->sub[0] = v[0] / 40;
  out->sub[1] = v[0] % 40;
  out->len = 2;
  uint32_t sub = 0;
  for (size_t i = 1; i < len; i++) {
    sub = (sub << 7) | (v[i] & 0x7f);
    if (!(v[i] & 0x80)) {
      if (out->len == kMaxSubids) return false;
      out->sub[out->len++] = sub;
      sub = 0;
    }
  }
  return true;
}

bool parse_request(const uint8_t *data, size_t size, farm_request *req) {
  ber_in top{data, size, 0};
  uint8_t tag;
  const uint8_t *v;
  size_t len;
  if (!ber_next(&top, &tag, &v, &len) || tag != kTagSequence) return false;
  ber_in msg{v, len, 0};
  if (!ber_int(&msg, &req->version)) return false;
  if (!ber_next(&msg, &tag, &v, &len) || tag != kTagOctetString) return false;
  req->community = v;
  req->community_len = len;
  if (!ber_next(&msg, &tag, &v, &len)) return false;
  req->type = tag;
  ber_in pdu{v, len, 0};
  long reqid;
  if (!ber_int(&pdu, &reqid, &req->reqid, &req->reqid_len)) return false;
  if (!ber_int(&pdu, &req->non_repeaters) || !ber_int(&pdu, &req->max_repetitions)) return false;
  if (!ber_next(&pdu, &tag, &v, &len) || tag != kTagSequence) return false;
  ber_in list{v, len, 0};
  req->name_count = 0;
  while (ber_next(&list, &tag, &v, &len)) {
    if (tag != kTagSequence || req->name_count == kMaxNames) return false;
    ber_in vb{v, len, 0};
    if (!ber_next(&vb, &tag, &v, &len) || tag != kTagOid) return false;
    if (!decode_name(v, len, &req->names[req->name_count])) return false;
    req->name_count++;
  }
  return true;
}

// ---- answers ----

// Writes the answer from the end of the head room onward; headers are put
// in front of the varbinds once their length is known.
struct farm_answer {
  uint8_t buf[kHeadRoom + kMaxAnswer + 512];
  size_t end = kHeadRoom;  // one past the last varbind byte
  uint32_t varbinds = 0;
};

size_t length_size(size_t len) {
  return len < 128 ? 1 : len < 256 ? 2 : 3;
}

uint8_t *write_length(uint8_t *p, size_t len) {
  if (len < 128) {
    *p++ = static_cast<uint8_t>(len);
  } else if (len < 256) {
    *p++ = 0x81;
    *p++ = static_cast<uint8_t>(len);
  } else {
    *p++ = 0x82;
    *p++ = static_cast<uint8_t>(len >> 8);
    *p++ = static_cast<uint8_t>(len);
  }
  return p;
}

// Encodes an unsigned number as an application-tagged value into `out`.
size_t encode_unsigned(uint8_t tag, uint64_t v, uint8_t *out) {
  uint8_t bytes[9];
  bytes[0] = 0;
  for (int i = 0; i < 8; i++) bytes[1 + i] = static_cast<uint8_t>(v >> (8 * (7 - i)));
  int start = 0;
  while (start < 8 && bytes[start] == 0 && !(bytes[start + 1] & 0x80)) start++;
  size_t n = static_cast<size_t>(9 - start);
  out[0] = tag;
  out[1] = static_cast<uint8_t>(n);
  memcpy(out + 2, bytes + start, n);
  return n + 2;
}

struct farm_context {
  uint32_t device;
  uint64_t ms;  // since the farm started
};

// Appends one varbind; false when it does not fit.
bool add_varbind(farm_answer *a, const uint8_t *name_tlv, size_t name_len, const uint8_t *value,
                 size_t value_len) {
  size_t inner = name_len + value_len;
  size_t total = 1 + length_size(inner) + inner;
  if (a->end + total > kHeadRoom + kMaxAnswer) return false;
  uint8_t *p = a->buf + a->end;
  *p++ = kTagSequence;
  p = write_length(p, inner);
  memcpy(p, name_tlv, name_len);
  memcpy(p + name_len, value, value_len);
  a->end += total;
  a->varbinds++;
  return true;
}

bool add_entry_varbind(farm_answer *a, const farm_entry &e, const farm_context &ctx) {
  uint8_t value[64];
  const uint8_t *vp = value;
  size_t vlen = 0;
  switch (e.kind) {
    case FK_CONST:
      vp = reinterpret_cast<const uint8_t *>(e.value_tlv.data());
      vlen = e.value_tlv.size();
      break;
    case FK_COUNTER32:
      vlen = encode_unsigned(kTagCounter32,
                             counter_value(ctx.device, e.if_index, e.counter, ctx.ms) & 0xffffffffu,
                             value);
      break;
    case FK_COUNTER64:
      vlen = encode_unsigned(kTagCounter64,
                             counter_value(ctx.device, e.if_index, e.counter, ctx.ms), value);
      break;
    case FK_UPTIME:
      vlen = encode_unsigned(kTagTimeTicks, (ctx.ms / 10) & 0xffffffffu, value);
      break;
    case FK_SYSNAME: {
      int n =
          snprintf(reinterpret_cast<char *>(value) + 2, sizeof(value) - 2, "farm-%u", ctx.device);
      value[0] = kTagOctetString;
      value[1] = static_cast<uint8_t>(n);
      vlen = static_cast<size_t>(n) + 2;
      break;
    }
  }
  return add_varbind(a, reinterpret_cast<const uint8_t *>(e.name_tlv.data()), e.name_tlv.size(), vp,
                     vlen);
}

bool add_exception(farm_answer *a, const farm_name &n, uint8_t tag) {
  uint8_t name[kMaxSubids * 5 + 4];
  uint8_t body[kMaxSubids * 5];
  size_t blen = encode_oid_body(n.sub, n.len, body);
  name[0] = kTagOid;
  uint8_t *p = write_length(name + 1, blen);
  memcpy(p, body, blen);
  size_t name_len = static_cast<size_t>(p - name) + blen;
  const uint8_t value[2] = {tag, 0};
  return add_varbind(a, name, name_len, value, 2);
}

// Index of the first entry after `n` (entries.size() past the end).
size_t next_index(const farm_mib &mib, const farm_name &n) {
  auto it = std::upper_bound(mib.entries.begin(), mib.entries.end(), n,
                             [](const farm_name &key, const farm_entry &e) {
                               return std::lexicographical_compare(key.sub, key.sub + key.len,
                                                                   e.name.begin(), e.name.end());
                             });
  return static_cast<size_t>(it - mib.entries.begin());
}

// Builds the answer; false when the request is not one the farm answers.
// *errstat/*errindex carry an SNMPv1 error.
bool build_varbinds(const farm_mib &mib, const farm_request &req, const farm_context &ctx,
                    farm_answer *a, long *errstat, long *errindex) {
  const bool v1 = req.version == 0;
  *errstat = 0;
  *errindex = 0;
  const size_t count = mib.entries.size();
  switch (req.type) {
    case kPduGet:
      for (size_t i = 0; i < req.name_count; i++) {
        const farm_name &n = req.names[i];
        auto it = std::lower_bound(mib.entries.begin(), mib.entries.end(), n,
                                   [](const farm_entry &e, const farm_name &key) {
                                     return name_less(e.name, key.sub, key.len);
                                   });
        if (it != mib.entries.end() && it->name.size() == n.len &&
            std::equal(it->name.begin(), it->name.end(), n.sub)) {
          if (!add_entry_varbind(a, *it, ctx)) return false;
        } else if (v1) {
          *errstat = 2;  // noSuchName
          *errindex = static_cast<long>(i) + 1;
          return true;
        } else if (!add_exception(a, n, kNoSuchObject)) {
          return false;
        }
      }
      return true;
    case kPduGetNext:
      for (size_t i = 0; i < req.name_count; i++) {
        size_t k = next_index(mib, req.names[i]);
        if (k < count) {
          if (!add_entry_varbind(a, mib.entries[k], ctx)) return false;
        } else if (v1) {
          *errstat = 2;
          *errindex = static_cast<long>(i) + 1;
          return true;
        } else if (!add_exception(a, req.names[i], kEndOfMibView)) {
          return false;
        }
      }
      return true;
    case kPduGetBulk: {
      if (v1) return false;
      size_t non_rep =
          static_cast<size_t>(std::clamp(req.non_repeaters, 0L, static_cast<long>(req.name_count)));
      long reps = std::clamp(req.max_repetitions, 0L, kMaxRepetitions);
      for (size_t i = 0; i < non_rep; i++) {
        size_t k = next_index(mib, req.names[i]);
        bool ok = k < count ? add_entry_varbind(a, mib.entries[k], ctx)
                            : add_exception(a, req.names[i], kEndOfMibView);
        if (!ok) return false;
      }
      size_t cursor[kMaxNames];
      for (size_t i = non_rep; i < req.name_count; i++) cursor[i] = next_index(mib, req.names[i]);
      for (long r = 0; r < reps; r++) {
        bool all_ended = true;
        for (size_t i = non_rep; i < req.name_count; i++) {
          size_t before = a->end;
          uint32_t vbs = a->varbinds;
          bool ok;
          if (cursor[i] < count) {
            ok = add_entry_varbind(a, mib.entries[cursor[i]++], ctx);
            all_ended = false;
          } else {
            ok = add_exception(a, req.names[i], kEndOfMibView);
          }
          if (!ok) {
            // Too big: answer with what fits so far.
            a->end = before;
            a->varbinds = vbs;
            return true;
          }
        }
        if (all_ended) break;
      }
      return true;
    }
    default:
      return false;
  }
}

// Puts the message headers in front of the varbinds; returns the first byte.
uint8_t *finish_answer(farm_answer *a, const farm_request &req, long errstat, long errindex,
                       size_t *size) {
  auto prepend_tl = [](uint8_t *p, uint8_t tag, size_t len) {
    uint8_t tmp[4];
    tmp[0] = tag;
    size_t n = static_cast<size_t>(write_length(tmp + 1, len) - tmp);
    p -= n;
    memcpy(p, tmp, n);
    return p;
  };
  auto prepend_small_int = [&](uint8_t *p, long v) {
    // errstat and errindex: 0..127 in practice.
    *--p = static_cast<uint8_t>(v & 0x7f);
    return prepend_tl(p, kTagInteger, 1);
  };
  uint8_t *const end = a->buf + a->end;
  uint8_t *p = a->buf + kHeadRoom;
  p = prepend_tl(p, kTagSequence, a->end - kHeadRoom);
  p = prepend_small_int(p, errindex);
  p = prepend_small_int(p, errstat);
  p -= req.reqid_len;
  memcpy(p, req.reqid, req.reqid_len);
  p = prepend_tl(p, kTagInteger, req.reqid_len);
  p = prepend_tl(p, kPduResponse, static_cast<size_t>(end - p));
  p -= req.community_len;
  memcpy(p, req.community, req.community_len);
  p = prepend_tl(p, kTagOctetString, req.community_len);
  p = prepend_small_int(p, req.version);
  p = prepend_tl(p, kTagSequence, static_cast<size_t>(end - p));
  *size = static_cast<size_t>(end - p);
  return p;
}

// ---- the farm ----

struct farm_stats {
  std::atomic<uint64_t> requests[256];
  std::atomic<uint64_t> varbinds[256];
  std::atomic<uint64_t> dropped{0};
};

struct farm_socket {
  int fd;
  uint32_t device;  // 1-based
};

struct farm {
  farm_mib mib;
  std::string community = "public";
  std::vector<farm_socket> live;
  std::vector<int> dead;
  farm_stats stats;
  std::atomic<bool> stopping{false};
  timespec start{};
};

uint64_t farm_elapsed_ms(const farm &f) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t ms = static_cast<int64_t>(now.tv_sec - f.start.tv_sec) * 1000 +
               (now.tv_nsec - f.start.tv_nsec) / 1000000;
  return ms > 0 ? static_cast<uint64_t>(ms) : 0;
}

void serve_one(farm *f, const farm_socket &s, farm_answer *a, uint8_t *in, size_t in_size) {
  for (int burst = 0; burst < 64; burst++) {
    sockaddr_in from{};
    socklen_t from_len = sizeof(from);
    ssize_t n =
        recvfrom(s.fd, in, in_size, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n <= 0) return;
    static thread_local farm_request req;
    if (!parse_request(in, static_cast<size_t>(n), &req) || req.version < 0 || req.version > 1 ||
        req.community_len != f->community.size() ||
        memcmp(req.community, f->community.data(), req.community_len) != 0) {
      f->stats.dropped.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    a->end = kHeadRoom;
    a->varbinds = 0;
    farm_context ctx{s.device, farm_elapsed_ms(*f)};
    long errstat = 0;
    long errindex = 0;
    if (!build_varbinds(f->mib, req, ctx, a, &errstat, &errindex)) {
      f->stats.dropped.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    size_t size = 0;
    uint8_t *msg = finish_answer(a, req, errstat, errindex, &size);
    unsigned client = ntohl(from.sin_addr.s_addr) & 0xff;
    f->stats.requests[client].fetch_add(1, std::memory_order_relaxed);
    f->stats.varbinds[client].fetch_add(a->varbinds, std::memory_order_relaxed);
    sendto(s.fd, msg, size, 0, reinterpret_cast<sockaddr *>(&from), from_len);
  }
}

void worker(farm *f, size_t first, size_t step) {
  int ep = epoll_create1(0);
  if (ep < 0) return;
  for (size_t i = first; i < f->live.size(); i += step) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    epoll_ctl(ep, EPOLL_CTL_ADD, f->live[i].fd, &ev);
  }
  auto a = std::make_unique<farm_answer>();
  std::vector<uint8_t> in(65536);
  epoll_event events[64];
  while (!f->stopping.load(std::memory_order_relaxed)) {
    int n = epoll_wait(ep, events, 64, 200);
    for (int k = 0; k < n; k++)
      serve_one(f, f->live[events[k].data.u64], a.get(), in.data(), in.size());
  }
  close(ep);
}

int bind_loopback(int *port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  int size = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

bool write_file(const std::string &path, const std::string &text) {
  std::string tmp = path + ".tmp";
  FILE *fp = fopen(tmp.c_str(), "w");
  if (fp == nullptr) return false;
  bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
  ok = fclose(fp) == 0 && ok;
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

void write_stats(farm *f, const std::string &path, uint64_t serial) {
  std::string text;
  char line[160];
  uint64_t total_req = 0;
  uint64_t total_vb = 0;
  for (int c = 0; c < 256; c++) {
    uint64_t r = f->stats.requests[c].load(std::memory_order_relaxed);
    uint64_t v = f->stats.varbinds[c].load(std::memory_order_relaxed);
    total_req += r;
    total_vb += v;
    if (r == 0) continue;
    snprintf(line, sizeof(line), "client 127.0.0.%d requests %llu varbinds %llu\n", c,
             static_cast<unsigned long long>(r), static_cast<unsigned long long>(v));
    text += line;
  }
  snprintf(line, sizeof(line), "total requests %llu varbinds %llu dropped %llu\nserial %llu\n",
           static_cast<unsigned long long>(total_req), static_cast<unsigned long long>(total_vb),
           static_cast<unsigned long long>(f->stats.dropped.load()),
           static_cast<unsigned long long>(serial));
  text += line;
  if (!path.empty() && !write_file(path, text))
    fprintf(stderr, "device_farm: cannot write %s\n", path.c_str());
}

int usage() {
  fprintf(stderr,
          "usage: device_farm --devices N [--interfaces M] [--dead K] [--threads T]\n"
          "         [--community C] --port-file FILE [--stats-file FILE] [--max-seconds S]\n");
  return 2;
}

bool parse_number(const char *text, long lo, long hi, long *out) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  long devices = 0;
  long interfaces = 50;
  long dead = 0;
  long threads = 2;
  long max_seconds = 900;
  std::string port_file;
  std::string stats_file;
  auto f = std::make_unique<farm>();
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    const char *val = argv[++i];
    bool ok = true;
    if (arg == "--devices") {
      ok = parse_number(val, 1, 250 * 250, &devices);
    } else if (arg == "--interfaces") {
      ok = parse_number(val, 1, 10000, &interfaces);
    } else if (arg == "--dead") {
      ok = parse_number(val, 0, 1000, &dead);
    } else if (arg == "--threads") {
      ok = parse_number(val, 1, 64, &threads);
    } else if (arg == "--max-seconds") {
      ok = parse_number(val, 1, 86400, &max_seconds);
    } else if (arg == "--community") {
      f->community = val;
      ok = !f->community.empty() && f->community.size() <= 64;
    } else if (arg == "--port-file") {
      port_file = val;
    } else if (arg == "--stats-file") {
      stats_file = val;
    } else {
      ok = false;
    }
    if (!ok) return usage();
  }
  if (devices == 0 || port_file.empty()) return usage();

  // Signals are taken by the main thread only (sigtimedwait below).
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  farm_mib_build(&f->mib, static_cast<uint32_t>(interfaces));
  clock_gettime(CLOCK_MONOTONIC, &f->start);
  std::string ports;
  for (long d = 0; d < devices + dead; d++) {
    int port = 0;
    int fd = bind_loopback(&port);
    if (fd < 0) {
      fprintf(stderr, "device_farm: cannot bind a loopback port: %s\n", strerror(errno));
      return 1;
    }
    if (d < devices) {
      f->live.push_back({fd, static_cast<uint32_t>(d + 1)});
      ports += "live " + std::to_string(port) + "\n";
    } else {
      f->dead.push_back(fd);
      ports += "dead " + std::to_string(port) + "\n";
    }
  }
  std::vector<std::thread> pool;
  for (long t = 0; t < threads; t++)
    pool.emplace_back(worker, f.get(), static_cast<size_t>(t), static_cast<size_t>(threads));
  if (!write_file(port_file, ports)) {
    fprintf(stderr, "device_farm: cannot write %s\n", port_file.c_str());
    f->stopping = true;
  }
  fprintf(stderr,
          "device_farm: %ld devices x %ld interfaces (%zu objects each), %ld dead, %ld threads\n",
          devices, interfaces, f->mib.entries.size(), dead, threads);

  uint64_t serial = 0;
  timespec slice{1, 0};
  for (long waited = 0; !f->stopping && waited < max_seconds;) {
    int sig = sigtimedwait(&set, nullptr, &slice);
    if (sig == SIGUSR1) {
      write_stats(f.get(), stats_file, ++serial);
    } else if (sig == SIGTERM || sig == SIGINT) {
      break;
    } else if (sig < 0 && errno == EAGAIN) {
      waited++;
    }
  }
  f->stopping = true;
  for (std::thread &t : pool) t.join();
  write_stats(f.get(), stats_file, ++serial);
  for (const farm_socket &s : f->live) close(s.fd);
  for (int fd : f->dead) close(fd);
  return 0;
}
