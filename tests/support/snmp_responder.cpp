#include "snmp_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace vktest {

const std::vector<unsigned long> kResponderRoot = {1, 3, 6, 1, 4, 1, 99999, 1};
const char *const kResponderRootText = ".1.3.6.1.4.1.99999.1";

namespace {

using oid_t = std::vector<unsigned long>;

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagNull = 0x05;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kPduGet = 0xa0;
constexpr uint8_t kPduGetNext = 0xa1;
constexpr uint8_t kPduResponse = 0xa2;
constexpr uint8_t kPduGetBulk = 0xa5;
constexpr uint8_t kEndOfMibView = 0x82;

// ---- decoding ----

struct ber_reader {
  const uint8_t *p;
  size_t n;
  size_t pos = 0;

  // Reads one TLV; false at the end or on a malformed length.
  bool next(uint8_t *tag, const uint8_t **value, size_t *len) {
    if (pos + 2 > n) return false;
    *tag = p[pos++];
    size_t l = p[pos++];
    if (l & 0x80) {
      size_t bytes = l & 0x7f;
      if (bytes == 0 || bytes > 4 || pos + bytes > n) return false;
      l = 0;
      for (size_t i = 0; i < bytes; i++) l = (l << 8) | p[pos++];
    }
    if (pos + l > n) return false;
    *value = p + pos;
    *len = l;
    pos += l;
    return true;
  }
};

long decode_int(const uint8_t *v, size_t len) {
  long x = (len > 0 && (v[0] & 0x80)) ? -1 : 0;
  for (size_t i = 0; i < len; i++)
    x = static_cast<long>((static_cast<unsigned long>(x) << 8) | v[i]);
  return x;
}

oid_t decode_oid(const uint8_t *v, size_t len) {
  oid_t out;
  if (len == 0) return out;
  out.push_back(v[0] / 40);
  out.push_back(v[0] % 40);
  unsigned long sub = 0;
  for (size_t i = 1; i < len; i++) {
    sub = (sub << 7) | (v[i] & 0x7f);
    if (!(v[i] & 0x80)) {
      out.push_back(sub);
      sub = 0;
    }
  }
  return out;
}

// ---- encoding ----

std::string tlv(uint8_t tag, const std::string &value) {
  std::string out(1, static_cast<char>(tag));
  size_t len = value.size();
  if (len < 128) {
    out.push_back(static_cast<char>(len));
  } else if (len < 256) {
    out.push_back(static_cast<char>(0x81));
    out.push_back(static_cast<char>(len));
  } else {
    out.push_back(static_cast<char>(0x82));
    out.push_back(static_cast<char>(len >> 8));
    out.push_back(static_cast<char>(len & 0xff));
  }
  return out + value;
}

std::string encode_int(long x) {
  std::string bytes;
  for (int i = 7; i >= 0; i--)
    bytes.push_back(static_cast<char>((static_cast<unsigned long>(x) >> (8 * i)) & 0xff));
  // Drop redundant leading bytes, keeping the sign bit right.
  size_t start = 0;
  while (start < 7) {
    auto b0 = static_cast<uint8_t>(bytes[start]);
    auto b1 = static_cast<uint8_t>(bytes[start + 1]);
    if ((b0 == 0x00 && !(b1 & 0x80)) || (b0 == 0xff && (b1 & 0x80))) {
      start++;
    } else {
      break;
    }
  }
  return tlv(kTagInteger, bytes.substr(start));
}

std::string encode_oid(const oid_t &o) {
  std::string out;
  out.push_back(static_cast<char>(o[0] * 40 + o[1]));
  for (size_t i = 2; i < o.size(); i++) {
    unsigned long sub = o[i];
    std::string chunk(1, static_cast<char>(sub & 0x7f));
    sub >>= 7;
    while (sub > 0) {
      chunk.insert(chunk.begin(), static_cast<char>(0x80 | (sub & 0x7f)));
      sub >>= 7;
    }
    out += chunk;
  }
  return tlv(kTagOid, out);
}

struct varbind {
  oid_t name;
  std::string value;  // encoded value TLV
};

std::string int_value(long x) {
  return encode_int(x);
}

struct request {
  long version = 0;
  std::string community;
  uint8_t type = 0;
  long reqid = 0;
  long non_repeaters = 0;
  long max_repetitions = 0;
  std::vector<oid_t> names;
};

bool parse_request(const uint8_t *data, size_t size, request *req) {
  ber_reader top{data, size};
  uint8_t tag;
  const uint8_t *v;
  size_t len;
  if (!top.next(&tag, &v, &len) || tag != kTagSequence) return false;
  ber_reader msg{v, len};
  if (!msg.next(&tag, &v, &len) || tag != kTagInteger) return false;
  req->version = decode_int(v, len);
  if (!msg.next(&tag, &v, &len) || tag != kTagOctetString) return false;
  req->community.assign(reinterpret_cast<const char *>(v), len);
  if (!msg.next(&tag, &v, &len)) return false;
  req->type = tag;
  ber_reader pdu{v, len};
  long fields[3];
  for (long &f : fields) {
    if (!pdu.next(&tag, &v, &len) || tag != kTagInteger) return false;
    f = decode_int(v, len);
  }
  req->reqid = fields[0];
  req->non_repeaters = fields[1];
  req->max_repetitions = fields[2];
  if (!pdu.next(&tag, &v, &len) || tag != kTagSequence) return false;
  ber_reader list{v, len};
  while (list.next(&tag, &v, &len)) {
    if (tag != kTagSequence) return false;
    ber_reader vb{v, len};
    if (!vb.next(&tag, &v, &len) || tag != kTagOid) return false;
    req->names.push_back(decode_oid(v, len));
  }
  return true;
}

std::string build_response(const request &req, long errstat, long errindex,
                           const std::vector<varbind> &vbs) {
  std::string list;
  for (const varbind &vb : vbs) list += tlv(kTagSequence, encode_oid(vb.name) + vb.value);
  std::string pdu =
      encode_int(req.reqid) + encode_int(errstat) + encode_int(errindex) + tlv(kTagSequence, list);
  std::string msg =
      encode_int(req.version) + tlv(kTagOctetString, req.community) + tlv(kPduResponse, pdu);
  return tlv(kTagSequence, msg);
}

oid_t row(unsigned long k) {
  oid_t o = kResponderRoot;
  o.push_back(k);
  return o;
}

bool starts_with_root(const oid_t &n) {
  return n.size() > kResponderRoot.size() &&
         std::equal(kResponderRoot.begin(), kResponderRoot.end(), n.begin());
}

// The first row index whose name lies after `n`.
unsigned long first_row_after(const oid_t &n) {
  if (starts_with_root(n)) return n[kResponderRoot.size()] + 1;
  return std::lexicographical_compare(n.begin(), n.end(), kResponderRoot.begin(),
                                      kResponderRoot.end()) ||
                 n == kResponderRoot
             ? 1
             : 0;  // past the subtree
}

std::vector<varbind> walk_answer(responder_mode mode, int rows, const request &req) {
  std::vector<varbind> out;
  const oid_t &asked = req.names.empty() ? kResponderRoot : req.names[0];
  long reps = req.type == kPduGetBulk && mode != responder_mode::one_row
                  ? std::max(1L, req.max_repetitions)
                  : 1;
  switch (mode) {
    case responder_mode::repeat_rows:
      for (unsigned long k = 1; k <= 3; k++)
        out.push_back({row(k), int_value(static_cast<long>(k))});
      break;
    case responder_mode::same_name:
      out.push_back({asked, int_value(0)});
      break;
    case responder_mode::end_of_mib_same:
      if (asked == kResponderRoot) {
        for (unsigned long k = 1; k <= 5; k++)
          out.push_back({row(k), int_value(static_cast<long>(k))});
      } else {
        out.push_back({asked, tlv(kEndOfMibView, "")});
      }
      break;
    case responder_mode::backwards:
      for (unsigned long k = 5; k >= 3; k--)
        out.push_back({row(k), int_value(static_cast<long>(k))});
      break;
    case responder_mode::endless: {
      unsigned long k = std::max(1UL, first_row_after(asked));
      for (long i = 0; i < reps; i++, k++) out.push_back({row(k), int_value(static_cast<long>(k))});
      break;
    }
    default: {  // walk_ok
      unsigned long k = first_row_after(asked);
      unsigned long beyond = 1;
      for (long i = 0; i < reps; i++) {
        if (k >= 1 && k <= static_cast<unsigned long>(rows)) {
          out.push_back({row(k), int_value(static_cast<long>(k))});
          k++;
        } else {
          oid_t next = {1, 3, 6, 1, 4, 1, 99999, 2, beyond++};
          out.push_back({next, int_value(0)});
        }
      }
      break;
    }
  }
  return out;
}

std::vector<varbind> get_answer(responder_mode mode, int rows, const request &req) {
  std::vector<varbind> out;
  for (const oid_t &n : req.names) {
    if (mode == responder_mode::get_long_text) {
      out.push_back({n, tlv(kTagOctetString, std::string(static_cast<size_t>(rows), 'x'))});
    } else {
      out.push_back({n, int_value(static_cast<long>(n.back()))});
    }
  }
  if (mode == responder_mode::get_reordered && out.size() > 1) {
    std::rotate(out.begin(), out.begin() + 1, out.end());
  } else if (mode == responder_mode::get_missing && out.size() > 1) {
    out.erase(out.begin() + 1);
  }
  return out;
}

}  // namespace

snmp_responder::~snmp_responder() {
  stop();
}

bool snmp_responder::start(responder_mode m, int row_count) {
  mode = m;
  rows = row_count;
  fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    close(fd);
    fd = -1;
    return false;
  }
  port = ntohs(a.sin_port);
  stopping = false;
  thread = std::thread([this] { run(); });
  return true;
}

void snmp_responder::stop() {
  stopping = true;
  if (thread.joinable()) thread.join();
  if (fd >= 0) close(fd);
  fd = -1;
}

void snmp_responder::run() {
  uint8_t buf[65536];
  while (!stopping) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) continue;
    sockaddr_in from{};
    socklen_t from_len = sizeof(from);
    ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n <= 0) continue;
    request req;
    if (!parse_request(buf, static_cast<size_t>(n), &req)) continue;
    requests++;
    if (req.type == kPduGetBulk) last_max_repetitions = req.max_repetitions;
    if (mode == responder_mode::silent) continue;
    std::string answer;
    bool too_big =
        mode == responder_mode::too_big_packed && req.type == kPduGetBulk && req.names.size() > 1;
    if (mode == responder_mode::error_status || too_big) {
      std::vector<varbind> echo;
      for (const oid_t &name : req.names) echo.push_back({name, tlv(kTagNull, "")});
      answer = build_response(req, too_big ? 1 : 5, too_big ? 0 : 1, echo);
    } else if (req.type == kPduGet) {
      answer = build_response(req, 0, 0, get_answer(mode, rows, req));
    } else if (req.type == kPduGetNext || req.type == kPduGetBulk) {
      // A slow device: each walk answer comes late (in slices, so that a
      // stop is not held up).
      for (int waited = 0; waited < walk_delay_ms.load() && !stopping; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      answer = build_response(req, 0, 0, walk_answer(mode, rows, req));
    } else {
      continue;
    }
    sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr *>(&from), from_len);
  }
}

}  // namespace vktest
