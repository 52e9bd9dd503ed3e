#include "icmp.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>

#include "vk_clock.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

// Message types and the kernel's receive filter of raw IPv4 ICMP sockets
// (<linux/icmp.h> cannot be included beside the netinet headers).
constexpr uint8_t kIcmpEchoReply = 0;
constexpr uint8_t kIcmpEcho = 8;
constexpr int kSolRaw = 255;
constexpr int kIcmpFilter = 1;
// Room for the largest request's reply with the largest IPv4 header in
// front of it: a 4096-byte buffer would cut those replies short and fail
// their checksum.
constexpr size_t kRecvSize = ICMP_BUFFER_SIZE + 60;

// Identifier base of this process: its pid spread over the 16 bits (by an
// odd factor, so pids that differ modulo 65536 get different bases): two
// agents, or an agent and its ping test, do not use the same identifier for
// the same position.
uint16_t icmp_process_ident_base() {
  static const uint16_t base = static_cast<uint16_t>(static_cast<uint32_t>(getpid()) * 40503u);
  return base;
}

// Sequence base of the next ping object: starts at a random value and moves
// on by one per object, so the requests of one cycle never carry the
// numbers of an earlier cycle (whose late replies are still about).
std::atomic<uint32_t> g_icmp_seq_next{0};
std::atomic<bool> g_icmp_seq_seeded{false};

uint16_t icmp_next_seq_base() {
  if (!g_icmp_seq_seeded.exchange(true)) {
    uint32_t seed = 0;
    if (getrandom(&seed, sizeof(seed), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(seed))) {
      seed = static_cast<uint32_t>(getpid()) * 2654435761u;
    }
    g_icmp_seq_next.fetch_add(seed);
  }
  return static_cast<uint16_t>(g_icmp_seq_next.fetch_add(1));
}

// GNU strerror_r may return a static text instead of filling `buf`.
const char *icmp_strerror(int err, char *buf, size_t size) {
  const char *r = strerror_r(err, buf, size);
  if (r == nullptr) {
    snprintf(buf, size, "Error %d (%#x); Additionally, strerror_r failed.", err, err);
    return buf;
  }
  if (r != buf) snprintf(buf, size, "%s", r);
  return buf;
}

void icmp_set_error(icmp_object_t *obj, const char *function, const char *message) {
  snprintf(obj->errmsg, sizeof(obj->errmsg), "%s: %s", function, message);
}

void icmp_set_errno(icmp_object_t *obj, int err) {
  icmp_strerror(err, obj->errmsg, sizeof(obj->errmsg));
}

uint64_t timeval_nsec(const struct timeval *tv) {
  return static_cast<uint64_t>(tv->tv_sec) * 1000000000ull +
         static_cast<uint64_t>(tv->tv_usec) * 1000ull;
}

struct timeval nsec_timeval(uint64_t nsec) {
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(nsec / 1000000000ull);
  tv.tv_usec = static_cast<suseconds_t>((nsec % 1000000000ull) / 1000ull);
  return tv;
}

bool timer_is_set(const icmp_host_t *host) {
  return host->timer.tv_sec != 0 || host->timer.tv_usec != 0;
}

void timer_clear(icmp_host_t *host) {
  host->timer.tv_sec = 0;
  host->timer.tv_usec = 0;
}

// Internet checksum (RFC 1071); an odd trailing byte is the low byte of a
// last word, as the byte order of the sum does not matter for the result.
uint16_t icmp_icmp4_checksum(const uint8_t *buf, size_t len) {
  uint32_t sum = 0;
  for (; len > 1; len -= 2, buf += 2) {
    uint16_t word;
    memcpy(&word, buf, 2);
    sum += word;
  }
  if (len == 1) sum += *buf;
  sum = (sum >> 16) + (sum & 0xffff);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum);
}

void put_be16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

uint16_t get_be16(const uint8_t *p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

unsigned name_bucket(const char *text) {
  uint32_t h = 5381;
  for (const char *p = text; *p != '\0'; p++) {
    h = h * 33 + static_cast<uint8_t>(tolower(static_cast<unsigned char>(*p)));
  }
  return h % ICMP_TABLE_SIZE;
}

icmp_host_t *icmp_find_name(const icmp_object_t *obj, const char *text) {
  for (icmp_host_t *h = obj->name_table[name_bucket(text)]; h != nullptr; h = h->name_next) {
    if (strcasecmp(h->username, text) == 0) return h;
  }
  return nullptr;
}

// Numeric IPv4 and IPv6 texts (what the collector sends as device
// addresses) are taken as they are: resolving them through getaddrinfo
// costs a netlink query per host for AI_ADDRCONFIG. True when `text` was
// numeric and stored in `host`.
bool icmp_numeric_address(const icmp_object_t *obj, const char *text, icmp_host_t *host) {
  if (obj->addrfamily != AF_INET6) {
    struct sockaddr_in a4;
    memset(&a4, 0, sizeof(a4));
    if (inet_pton(AF_INET, text, &a4.sin_addr) == 1) {
      a4.sin_family = AF_INET;
      memcpy(&host->addr, &a4, sizeof(a4));
      host->addrlen = sizeof(a4);
      host->addrfamily = AF_INET;
      return true;
    }
  }
  if (obj->addrfamily != AF_INET) {
    struct sockaddr_in6 a6;
    memset(&a6, 0, sizeof(a6));
    if (inet_pton(AF_INET6, text, &a6.sin6_addr) == 1) {
      a6.sin6_family = AF_INET6;
      memcpy(&host->addr, &a6, sizeof(a6));
      host->addrlen = sizeof(a6);
      host->addrfamily = AF_INET6;
      return true;
    }
  }
  return false;
}

// Resolves `text` into `host` with getaddrinfo. 0; -1 with the error text
// stored.
int icmp_resolve(icmp_object_t *obj, const char *text, icmp_host_t *h) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_flags = AI_ADDRCONFIG | AI_CANONNAME;
  hints.ai_family = obj->addrfamily;
  hints.ai_socktype = SOCK_RAW;
  struct addrinfo *res = nullptr;
  int gr = getaddrinfo(text, nullptr, &hints, &res);
  if (gr != 0) {
    VKLOG(g_vklog, VL_ERROR, "getaddrinfo failed\n");
    char err[256];
    icmp_set_error(obj, "getaddrinfo",
                   gr == EAI_SYSTEM ? icmp_strerror(errno, err, sizeof(err)) : gai_strerror(gr));
    return -1;
  }
  if (res == nullptr) {
    icmp_set_error(obj, "getaddrinfo", "No hosts returned");
    return -1;
  }
  bool accepted = false;
  for (struct addrinfo *ai = res; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) {
      char msg[64];
      snprintf(msg, sizeof(msg), "Unknown `ai_family': %i", ai->ai_family);
      icmp_set_error(obj, "getaddrinfo", msg);
      VKLOG(g_vklog, VL_ERROR, "%s\n", obj->errmsg);
      continue;
    }
    if (ai->ai_addrlen > sizeof(h->addr)) continue;
    // The last accepted result wins.
    memcpy(&h->addr, ai->ai_addr, ai->ai_addrlen);
    h->addrlen = ai->ai_addrlen;
    h->addrfamily = ai->ai_family;
    accepted = true;
    if (ai->ai_canonname != nullptr && strcmp(ai->ai_canonname, h->hostname) != 0) {
      char *canon = strdup(ai->ai_canonname);
      if (canon != nullptr) {
        free(h->hostname);
        h->hostname = canon;
      }
    }
  }
  freeaddrinfo(res);
  return accepted ? 0 : -1;
}

void icmp_host_free(icmp_host_t *host) {
  if (host == nullptr) return;
  free(host->device_id);
  free(host->username);
  free(host->hostname);
  free(host->data);
  free(host);
}

int icmp_set_ttl(icmp_object_t *obj, int ttl) {
  int ret = 0;
  char err[256];
  if (obj->fd4 != -1 && setsockopt(obj->fd4, IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl)) != 0) {
    int e = errno;
    icmp_set_error(obj, "icmp_set_ttl", icmp_strerror(e, err, sizeof(err)));
    VKLOG(g_vklog, VL_ERROR, "Setting TTLv4 failed: %s\n", err);
    ret = e;
  }
  if (obj->fd6 != -1 &&
      setsockopt(obj->fd6, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof(ttl)) != 0) {
    int e = errno;
    icmp_set_error(obj, "icmp_set_ttl", icmp_strerror(e, err, sizeof(err)));
    VKLOG(g_vklog, VL_ERROR, "Setting TTLv6 failed: %s\n", err);
    ret = e;
  }
  return ret;
}

int icmp_set_qos(icmp_object_t *obj, uint8_t qos) {
  int ret = 0;
  char err[256];
  if (obj->fd4 != -1 && setsockopt(obj->fd4, IPPROTO_IP, IP_TOS, &qos, sizeof(qos)) != 0) {
    int e = errno;
    icmp_set_error(obj, "icmp_set_qos", icmp_strerror(e, err, sizeof(err)));
    VKLOG(g_vklog, VL_ERROR, "Setting TP_TOS failed: %s\n", err);
    ret = e;
  }
  int tclass = qos;
  if (obj->fd6 != -1 &&
      setsockopt(obj->fd6, IPPROTO_IPV6, IPV6_TCLASS, &tclass, sizeof(tclass)) != 0) {
    int e = errno;
    icmp_set_error(obj, "icmp_set_qos", icmp_strerror(e, err, sizeof(err)));
    VKLOG(g_vklog, VL_ERROR, "Setting IPV6_TCLASS failed: %s\n", err);
    ret = e;
  }
  return ret;
}

// Opens the raw socket of `family` into fd4 / fd6. The sockets are waited on
// with poll, so any descriptor number will do: a process with a thousand
// SNMP sessions and log files open still gets working ping sockets.
int icmp_open_socket(icmp_object_t *obj, int family) {
  int fd;
  if (family == AF_INET) {
    fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
  } else if (family == AF_INET6) {
    fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMPV6);
  } else {
    icmp_set_error(obj, "icmp_open_socket", "Unknown address family");
    VKLOG(g_vklog, VL_ERROR, "ip version is wrong: %i\n", family);
    return -1;
  }
  if (fd == -1) {
    icmp_set_errno(obj, errno);
    VKLOG(g_vklog, VL_DEBUG, "socket: %s\n", obj->errmsg);
    return -1;
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on)) != 0) {
    icmp_set_errno(obj, errno);
    close(fd);
    return -1;
  }
  // Reply metadata and a kernel filter that passes echo replies only: a
  // raw socket otherwise gets a copy of every ICMP message of the host,
  // including the requests we send to loopback addresses ourselves.
  if (family == AF_INET) {
    setsockopt(fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof(on));
    setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof(on));
    uint32_t filter = ~(1u << kIcmpEchoReply);
    setsockopt(fd, kSolRaw, kIcmpFilter, &filter, sizeof(filter));
    obj->fd4 = fd;
  } else {
    setsockopt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof(on));
    setsockopt(fd, IPPROTO_IPV6, IPV6_RECVTCLASS, &on, sizeof(on));
    struct icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
    setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof(filter));
    obj->fd6 = fd;
  }
  return 0;
}

// The sequence on the wire of the host's next request.
uint16_t wire_sequence(const icmp_host_t *host) {
  return static_cast<uint16_t>(host->seq_base + static_cast<uint32_t>(host->sequence));
}

// Builds the echo request of `host` into `buf`: the header and the payload
// text, the same few bytes for every host and family. Its length, or
// -EINVAL when it would not fit ICMP_BUFFER_SIZE bytes.
int icmp_build_request(const icmp_host_t *host, uint8_t *buf) {
  size_t text_len = strlen(host->data);
  if (8 + text_len > ICMP_BUFFER_SIZE) return -EINVAL;
  size_t len = 8 + text_len;
  buf[0] = host->addrfamily == AF_INET ? kIcmpEcho : ICMP6_ECHO_REQUEST;
  buf[1] = 0;
  buf[2] = buf[3] = 0;
  put_be16(buf + 4, host->wire_ident);
  put_be16(buf + 6, wire_sequence(host));
  memcpy(buf + 8, host->data, text_len);
  // The kernel fills the ICMPv6 checksum of raw ICMPv6 sockets.
  if (host->addrfamily == AF_INET) {
    uint16_t sum = icmp_icmp4_checksum(buf, len);
    memcpy(buf + 2, &sum, 2);
  }
  return static_cast<int>(len);
}

int icmp_sendto(icmp_object_t *obj, icmp_host_t *host, const uint8_t *buf, size_t len) {
  int fd = host->addrfamily == AF_INET ? obj->fd4 : obj->fd6;
  host->timer = nsec_timeval(vk_get_time_nsec());
  ssize_t n = sendto(fd, buf, len, 0, reinterpret_cast<const struct sockaddr *>(&host->addr),
                     host->addrlen);
  if (n < 0) {
    int e = errno;
    // The request is out of our hands; it will simply time out, and the
    // host's record says why.
    if (e == EHOSTUNREACH || e == ENETUNREACH || e == EHOSTDOWN) {
      char err[256];
      snprintf(host->error, sizeof(host->error), "icmp_sendto: %s",
               icmp_strerror(e, err, sizeof(err)));
      return 0;
    }
    icmp_set_errno(obj, e);
    snprintf(host->error, sizeof(host->error), "icmp_sendto: %.200s", obj->errmsg);
    fprintf(stderr, "icmp_sendto: %s\n", obj->errmsg);
    return -1;
  }
  return 0;
}

int icmp_send_one(icmp_object_t *obj, icmp_host_t *host) {
  int fd = host->addrfamily == AF_INET ? obj->fd4 : obj->fd6;
  if (fd == -1 && (host->addrfamily == AF_INET || host->addrfamily == AF_INET6)) {
    // Its family's socket could not be opened; the cycle stored why.
    if (host->error[0] == '\0') snprintf(host->error, sizeof(host->error), "socket: not open");
    timer_clear(host);
    return -1;
  }
  if (host->addrfamily != AF_INET && host->addrfamily != AF_INET6) {
    VKLOG(g_vklog, VL_ERROR, "Unknown address family: %i\n", host->addrfamily);
    snprintf(host->error, sizeof(host->error), "Unknown address family: %i", host->addrfamily);
    timer_clear(host);
    return -1;
  }
  uint8_t buf[ICMP_BUFFER_SIZE];
  int len = icmp_build_request(host, buf);
  if (len < 0) {
    icmp_set_errno(obj, -len);
    snprintf(host->error, sizeof(host->error), "icmp_send_one: %.200s", obj->errmsg);
    timer_clear(host);
    return -1;
  }
  if (icmp_sendto(obj, host, buf, static_cast<size_t>(len)) != 0) {
    timer_clear(host);
    return -1;
  }
  host->sequence++;
  return 0;
}

// True when `from` (the reply's source) is the host's own address.
bool same_source(const icmp_host_t *h, const struct sockaddr_storage *from) {
  if (from->ss_family != h->addrfamily) return false;
  if (h->addrfamily == AF_INET) {
    const auto *a = reinterpret_cast<const struct sockaddr_in *>(&h->addr);
    const auto *b = reinterpret_cast<const struct sockaddr_in *>(from);
    return a->sin_addr.s_addr == b->sin_addr.s_addr;
  }
  const auto *a = reinterpret_cast<const struct sockaddr_in6 *>(&h->addr);
  const auto *b = reinterpret_cast<const struct sockaddr_in6 *>(from);
  return memcmp(&a->sin6_addr, &b->sin6_addr, sizeof(a->sin6_addr)) == 0;
}

// The host with an outstanding request that a reply of `family` from
// `from` with this identifier and sequence answers, or null. A reply with
// the right numbers from another address (another pinger's target) is not
// an answer.
icmp_host_t *icmp_match(icmp_object_t *obj, int family, const struct sockaddr_storage *from,
                        uint16_t ident, uint16_t seq) {
  for (icmp_host_t *h = obj->table[ident % ICMP_TABLE_SIZE]; h != nullptr; h = h->table_next) {
    if (h->addrfamily == family && timer_is_set(h) && h->wire_ident == ident &&
        static_cast<uint16_t>(wire_sequence(h) - 1) == seq && same_source(h, from)) {
      return h;
    }
  }
  return nullptr;
}

struct reply_meta {
  uint64_t recv_nsec;  // 0: none from the kernel
  int ttl;             // -1: none
  int qos;             // -1: none
};

void icmp_read_cmsgs(struct msghdr *msg, reply_meta *meta) {
  for (struct cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMP) {
      struct timeval tv;
      memcpy(&tv, CMSG_DATA(c), sizeof(tv));
      meta->recv_nsec = timeval_nsec(&tv);
    } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) {
      meta->qos = *CMSG_DATA(c);
    } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) {
      int v;
      memcpy(&v, CMSG_DATA(c), sizeof(v));
      meta->ttl = v;
    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_TCLASS) {
      int v;
      memcpy(&v, CMSG_DATA(c), sizeof(v));
      meta->qos = v & 0xff;
    } else if (c->cmsg_level == IPPROTO_IPV6 &&
               (c->cmsg_type == IPV6_HOPLIMIT || c->cmsg_type == IPV6_UNICAST_HOPS ||
                c->cmsg_type == IPV6_MULTICAST_HOPS)) {
      int v;
      memcpy(&v, CMSG_DATA(c), sizeof(v));
      meta->ttl = v;
    } else {
      VKLOG(g_vklog, VL_DEBUG, "Not handling option %i.\n", c->cmsg_type);
    }
  }
}

// Checks an IPv4 datagram; the matching host or null.
icmp_host_t *icmp_receive_ipv4(icmp_object_t *obj, const uint8_t *buf, size_t len, int *ttl,
                               struct sockaddr_storage *from) {
  if (len < 20) return nullptr;
  size_t hl = static_cast<size_t>(buf[0] & 0x0f) * 4;
  if (hl < 20 || len < hl + 8) return nullptr;
  const uint8_t *icmp = buf + hl;
  size_t icmp_len = len - hl;
  if (icmp[0] != kIcmpEchoReply) {
    VKLOG(g_vklog, VL_DEBUG, "Unexpected ICMP type: %u\n", icmp[0]);
    return nullptr;
  }
  uint8_t copy[kRecvSize];
  if (icmp_len > sizeof(copy)) return nullptr;
  memcpy(copy, icmp, icmp_len);
  uint16_t got;
  memcpy(&got, icmp + 2, 2);
  copy[2] = copy[3] = 0;
  uint16_t calc = icmp_icmp4_checksum(copy, icmp_len);
  if (got != calc) {
    VKLOG(g_vklog, VL_DEBUG, "Checksum missmatch: Got 0x%04hu, calculated 0x%04hu\n", got, calc);
    return nullptr;
  }
  uint16_t ident = get_be16(icmp + 4);
  uint16_t seq = get_be16(icmp + 6);
  if (*ttl < 0) *ttl = buf[8];
  // The datagram's own source address: what the kernel reports for a raw
  // socket, read from the header so that it is there in any case.
  struct sockaddr_in *src4 = reinterpret_cast<struct sockaddr_in *>(from);
  memset(from, 0, sizeof(*from));
  src4->sin_family = AF_INET;
  memcpy(&src4->sin_addr, buf + 12, 4);
  icmp_host_t *h = icmp_match(obj, AF_INET, from, ident, seq);
  if (h == nullptr) {
    char src[INET_ADDRSTRLEN] = "";
    char dst[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, buf + 12, src, sizeof(src));
    inet_ntop(AF_INET, buf + 16, dst, sizeof(dst));
    VKLOG(g_vklog, VL_ERROR, "No match found for ident = 0x%04hu, seq = %hu, src[%s],dst[%s]\n",
          ident, seq, src, dst);
  }
  return h;
}

icmp_host_t *icmp_receive_ipv6(icmp_object_t *obj, const uint8_t *buf, size_t len,
                               const struct sockaddr_storage *from) {
  if (len < 8) return nullptr;
  if (buf[0] != ICMP6_ECHO_REPLY) {
    VKLOG(g_vklog, VL_DEBUG, "Unexpected ICMP type: %02x\n", buf[0]);
    return nullptr;
  }
  if (buf[1] != 0) {
    VKLOG(g_vklog, VL_DEBUG, "Unexpected ICMP code: %02x\n", buf[1]);
    return nullptr;
  }
  uint16_t ident = get_be16(buf + 4);
  uint16_t seq = get_be16(buf + 6);
  icmp_host_t *h = icmp_match(obj, AF_INET6, from, ident, seq);
  if (h == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "No match found for ident = 0x%04hu, seq = %hu\n", ident, seq);
  }
  return h;
}

// Reads one datagram from a readable socket. 0 with the matched host in
// *matched; -1 nothing read or nothing matched.
int icmp_receive_one(icmp_object_t *obj, int fd, int family, icmp_host_t **matched) {
  *matched = nullptr;
  uint8_t buf[kRecvSize];
  alignas(struct cmsghdr) uint8_t control[ICMP_BUFFER_SIZE];
  struct iovec iov = {buf, sizeof(buf)};
  struct sockaddr_storage from;
  memset(&from, 0, sizeof(from));
  struct msghdr msg;
  memset(&msg, 0, sizeof(msg));
  msg.msg_name = &from;
  msg.msg_namelen = sizeof(from);
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
  if (n < 0) return -1;
  reply_meta meta = {0, -1, -1};
  icmp_read_cmsgs(&msg, &meta);
  size_t len = static_cast<size_t>(n) < sizeof(buf) ? static_cast<size_t>(n) : sizeof(buf);
  icmp_host_t *h = icmp_reply_match(obj, family, buf, len, &from, &meta.ttl);
  if (h == nullptr) return -1;
  // The kernel's stamp is on the system's real-time clock: it is comparable
  // with the send time only while the agent reads that clock.
  uint64_t recv_nsec = meta.recv_nsec;
  if (recv_nsec == 0 || vk_clock_get() != &g_vk_clock_system) recv_nsec = vk_get_time_nsec();
  uint64_t sent_nsec = timeval_nsec(&h->timer);
  timer_clear(h);
  if (recv_nsec < sent_nsec) return -1;
  h->latency = static_cast<double>(recv_nsec - sent_nsec) / 1000000.0;
  h->recv_ttl = meta.ttl;
  h->recv_qos = meta.qos < 0 ? 0 : static_cast<uint8_t>(meta.qos);
  *matched = h;
  return 0;
}

// Gives every host of `family` the object's last error (why its socket
// could not be opened) as the reason it gets no request.
void icmp_mark_family(icmp_object_t *obj, int family) {
  for (icmp_host_t *h = obj->head; h != nullptr; h = h->next) {
    if (h->addrfamily == family)
      snprintf(h->error, sizeof(h->error), "socket: %.200s", obj->errmsg);
  }
}

// Resets the hosts for a cycle and opens the sockets their families need.
// 0; -1 no host; -2 / -3 the IPv4 / IPv6 socket could not be opened.
int icmp_cycle_prepare(icmp_object_t *obj) {
  bool v4 = false;
  bool v6 = false;
  for (icmp_host_t *h = obj->head; h != nullptr; h = h->next) {
    h->latency = -1.0;
    h->recv_ttl = -1;
    h->error[0] = '\0';
    timer_clear(h);
    v4 = v4 || h->addrfamily == AF_INET;
    v6 = v6 || h->addrfamily == AF_INET6;
  }
  if (!v4 && !v6) {
    icmp_set_error(obj, "icmp_send", "No hosts to ping");
    return -1;
  }
  bool new4 = v4 && obj->fd4 == -1;
  bool new6 = v6 && obj->fd6 == -1;
  bool v4_failed = new4 && icmp_open_socket(obj, AF_INET) != 0;
  if (v4_failed) icmp_mark_family(obj, AF_INET);
  bool v6_failed = new6 && icmp_open_socket(obj, AF_INET6) != 0;
  if (v6_failed) icmp_mark_family(obj, AF_INET6);
  bool opened = (new4 && !v4_failed) || (new6 && !v6_failed);
  // One family without a socket (IPv6 switched off, descriptors used up)
  // leaves only its own hosts unanswered: the other family's devices keep
  // their records.
  if (v4_failed && (!v6 || v6_failed)) return -2;
  if (v6_failed && !v4) return -3;
  if (opened) {
    icmp_set_ttl(obj, obj->ttl);
    icmp_set_qos(obj, obj->qos);
  }
  return 0;
}

int family_fd(const icmp_object_t *obj, int family) {
  return family == AF_INET ? obj->fd4 : (family == AF_INET6 ? obj->fd6 : -1);
}

uint64_t timeout_msec(const icmp_object_t *obj) {
  return static_cast<uint64_t>(obj->timeout * 1000.0);
}

// Milliseconds for poll until `deadline` (monotonic ms), rounded so that a
// poll that times out has really reached the deadline; -1 when it passed.
int wait_msec(uint64_t deadline) {
  uint64_t now = vk_monotonic_msec();
  if (now >= deadline) return -1;
  uint64_t left = deadline - now;
  return left > 60000 ? 60000 : static_cast<int>(left);
}

}  // namespace

icmp_host_t *icmp_reply_match(icmp_object_t *obj, int family, const uint8_t *buf, size_t len,
                              struct sockaddr_storage *from, int *ttl) {
  if (family == AF_INET6 && from->ss_family != AF_INET6) return nullptr;
  return family == AF_INET ? icmp_receive_ipv4(obj, buf, len, ttl, from)
                           : icmp_receive_ipv6(obj, buf, len, from);
}

icmp_object_t *icmp_object_new(void) {
  icmp_object_t *obj = static_cast<icmp_object_t *>(calloc(1, sizeof(icmp_object_t)));
  if (obj == nullptr) return nullptr;
  obj->timeout = ICMP_DEF_TIMEOUT;
  obj->ttl = ICMP_DEF_TTL;
  obj->addrfamily = AF_UNSPEC;
  obj->qos = 0;
  obj->data = strdup(ICMP_DEF_DATA);
  if (obj->data == nullptr) {
    free(obj);
    return nullptr;
  }
  obj->ident_base = icmp_process_ident_base();
  obj->seq_base = icmp_next_seq_base();
  obj->fd4 = -1;
  obj->fd6 = -1;
  return obj;
}

void icmp_object_destroy(icmp_object_t *obj) {
  if (obj == nullptr) return;
  icmp_host_t *h = obj->head;
  while (h != nullptr) {
    icmp_host_t *next = h->next;
    icmp_host_free(h);
    h = next;
  }
  if (obj->fd4 != -1) close(obj->fd4);
  if (obj->fd6 != -1) close(obj->fd6);
  free(obj->data);
  free(obj);
}

int icmp_setopt(icmp_object_t *obj, int option, const void *value) {
  if (obj == nullptr || value == nullptr) return -1;
  switch (option) {
    case ICMP_OPT_TIMEOUT: {
      double t = *static_cast<const double *>(value);
      if (t < 0.0) {
        obj->timeout = ICMP_DEF_TIMEOUT;
        return -1;
      }
      obj->timeout = t;
      return 0;
    }
    case ICMP_OPT_TTL: {
      int ttl = *static_cast<const int *>(value);
      if (ttl < 1 || ttl > 255) {
        obj->ttl = ICMP_DEF_TTL;
        return -1;
      }
      obj->ttl = ttl;
      return icmp_set_ttl(obj, ttl) == 0 ? 0 : -1;
    }
    case ICMP_OPT_QOS: {
      obj->qos = *static_cast<const uint8_t *>(value);
      return icmp_set_qos(obj, obj->qos) == 0 ? 0 : -1;
    }
    default:
      return -2;
  }
}

icmp_host_t *icmp_host_search(icmp_host_t *first, const char *host) {
  if (host == nullptr) return nullptr;
  for (icmp_host_t *h = first; h != nullptr; h = h->next) {
    if (strcasecmp(h->username, host) == 0) return h;
  }
  return nullptr;
}

int icmp_host_add(icmp_object_t *obj, const char *device_id, const char *host, int ident) {
  if (obj == nullptr || host == nullptr) return -1;
  VKLOG(g_vklog, VL_DEBUG, "host = %s\n", host);
  if (icmp_find_name(obj, host) != nullptr) return 0;

  icmp_host_t *h = static_cast<icmp_host_t *>(calloc(1, sizeof(icmp_host_t)));
  if (h != nullptr) {
    h->ident = ident;
    h->wire_ident = static_cast<uint16_t>(obj->ident_base + static_cast<uint32_t>(ident));
    h->seq_base = obj->seq_base;
    h->latency = -1.0;
    h->recv_ttl = -1;
    h->device_id = device_id != nullptr ? strdup(device_id) : nullptr;
    h->username = strdup(host);
    h->hostname = strdup(host);
    h->data = strdup(obj->data != nullptr ? obj->data : ICMP_DEF_DATA);
  }
  if (h == nullptr || (device_id != nullptr && h->device_id == nullptr) || h->username == nullptr ||
      h->hostname == nullptr || h->data == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "Out of memory!\n");
    icmp_set_errno(obj, ENOMEM);
    icmp_host_free(h);
    return -1;
  }

  if (!icmp_numeric_address(obj, host, h) && icmp_resolve(obj, host, h) != 0) {
    icmp_host_free(h);
    return -1;
  }

  if (obj->tail == nullptr) {
    obj->head = h;
  } else {
    obj->tail->next = h;
  }
  obj->tail = h;
  icmp_host_t **names = &obj->name_table[name_bucket(host)];
  h->name_next = *names;
  *names = h;
  icmp_host_t **bucket = &obj->table[h->wire_ident % ICMP_TABLE_SIZE];
  h->table_next = *bucket;
  *bucket = h;
  return 0;
}

int icmp_send(icmp_object_t *obj) {
  if (obj == nullptr) return -1;
  int ret = icmp_cycle_prepare(obj);
  if (ret != 0) return ret;
  uint64_t deadline = vk_monotonic_msec() + timeout_msec(obj);
  icmp_host_t *next = obj->head;
  int in_flight = 0;
  int replies = 0;
  int errors = 0;
  while (in_flight > 0 || next != nullptr) {
    if (next != nullptr && family_fd(obj, next->addrfamily) == -1) {
      errors++;  // no socket for its family: nothing to wait for
      next = next->next;
      continue;
    }
    int wait = wait_msec(deadline);
    if (wait < 0) break;
    struct pollfd pfd[2];
    pfd[0] = {obj->fd6, POLLIN, 0};
    pfd[1] = {obj->fd4, POLLIN, 0};
    if (next != nullptr) pfd[next->addrfamily == AF_INET6 ? 0 : 1].events |= POLLOUT;
    VKLOG(g_vklog, VL_TRACE, "Waiting on %i sockets for %u.%06u seconds\n",
          (obj->fd4 != -1) + (obj->fd6 != -1), static_cast<unsigned>(wait / 1000),
          static_cast<unsigned>(wait % 1000) * 1000);
    int n = poll(pfd, 2, wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      icmp_set_errno(obj, errno);
      return -7;
    }
    if (n == 0) {
      VKLOG(g_vklog, VL_DEBUG, "select timed out\n");
      break;
    }
    icmp_host_t *matched = nullptr;
    if (pfd[0].revents & POLLIN) {
      if (icmp_receive_one(obj, obj->fd6, AF_INET6, &matched) == 0) {
        in_flight--;
        replies++;
      }
    } else if (pfd[1].revents & POLLIN) {
      if (icmp_receive_one(obj, obj->fd4, AF_INET, &matched) == 0) {
        in_flight--;
        replies++;
      }
    } else if (next != nullptr) {
      if (icmp_send_one(obj, next) == 0) {
        in_flight++;
      } else {
        errors++;
      }
      next = next->next;
    } else {
      // Only error conditions on the sockets: nothing more can arrive.
      break;
    }
  }
  return errors > 0 ? -errors : replies;
}

int icmp_check(icmp_object_t *obj) {
  if (obj == nullptr) return -1;
  int ret = icmp_cycle_prepare(obj);
  if (ret != 0) return ret;
  for (icmp_host_t *h = obj->head; h != nullptr; h = h->next) {
    uint64_t deadline = vk_monotonic_msec() + timeout_msec(obj);
    // A failed send leaves no request outstanding: the wait below ends at
    // once for this host.
    icmp_send_one(obj, h);
    while (timer_is_set(h)) {
      int wait = wait_msec(deadline);
      if (wait < 0) {
        VKLOG(g_vklog, VL_DEBUG, "timeout ?\n");
        break;
      }
      struct pollfd pfd[2];
      pfd[0] = {obj->fd6, POLLIN, 0};
      pfd[1] = {obj->fd4, POLLIN, 0};
      int n = poll(pfd, 2, wait);
      if (n < 0) {
        if (errno == EINTR) continue;
        icmp_set_errno(obj, errno);
        VKLOG(g_vklog, VL_ERROR, "select: %s\n", obj->errmsg);
        return -7;
      }
      if (n == 0) {
        // poll waited the whole remaining time.
        VKLOG(g_vklog, VL_DEBUG, "select timed out.[%s]\n", h->hostname);
        break;
      }
      icmp_host_t *matched = nullptr;
      if (pfd[0].revents & POLLIN) {
        icmp_receive_one(obj, obj->fd6, AF_INET6, &matched);
      } else if (pfd[1].revents & POLLIN) {
        icmp_receive_one(obj, obj->fd4, AF_INET, &matched);
      } else {
        break;
      }
    }
    // A reply after the host's own deadline is not counted for it.
    timer_clear(h);
  }
  return 0;
}

const char *icmp_get_error(icmp_object_t *obj) {
  return obj == nullptr ? nullptr : obj->errmsg;
}

icmp_host_t *icmp_iterator_get(icmp_object_t *obj) {
  return obj == nullptr ? nullptr : obj->head;
}

icmp_host_t *icmp_iterator_next(icmp_host_t *host) {
  return host == nullptr ? nullptr : host->next;
}

void *icmp_iterator_get_context(icmp_host_t *host) {
  return host == nullptr ? nullptr : host->context;
}

void icmp_iterator_set_context(icmp_host_t *host, void *context) {
  if (host != nullptr) host->context = context;
}

int icmp_iterator_get_info(icmp_host_t *host, int info, void *buffer, size_t *size) {
  if (host == nullptr || size == nullptr || (buffer == nullptr && *size != 0)) return -1;
  size_t have = *size;
  switch (info) {
    case ICMP_INFO_HOSTNAME: {
      size_t need = strlen(host->hostname) + 1;
      *size = need;
      if (have < need) return ENOMEM;
      memcpy(buffer, host->hostname, need);
      return 0;
    }
    case ICMP_INFO_ADDRESS: {
      char text[NI_MAXHOST];
      int r = getnameinfo(reinterpret_cast<const struct sockaddr *>(&host->addr), host->addrlen,
                          text, sizeof(text), nullptr, 0, NI_NUMERICHOST);
      if (r != 0) {
        if (r == EAI_MEMORY || r == EAI_OVERFLOW) return ENOMEM;
        if (r == EAI_SYSTEM) return errno;
        return EINVAL;
      }
      size_t need = strlen(text) + 1;
      *size = need;
      if (have < need) return ENOMEM;
      memcpy(buffer, text, need);
      return 0;
    }
    case ICMP_INFO_LATENCY:
      *size = sizeof(double);
      if (have < sizeof(double)) return ENOMEM;
      memcpy(buffer, &host->latency, sizeof(double));
      return 0;
    case ICMP_INFO_SEQUENCE:
      *size = sizeof(int);
      if (have < sizeof(int)) return ENOMEM;
      memcpy(buffer, &host->sequence, sizeof(int));
      return 0;
    case ICMP_INFO_DATA: {
      size_t need = strlen(host->data);
      *size = need;
      if (have < need) return ENOMEM;
      memcpy(buffer, host->data, need);
      return 0;
    }
    case ICMP_INFO_RECV_TTL:
      *size = sizeof(int);
      if (have < sizeof(int)) return ENOMEM;
      memcpy(buffer, &host->recv_ttl, sizeof(int));
      return 0;
    case ICMP_INFO_RECV_QOS: {
      // The byte, and zeros for the rest of a buffer of up to 4 bytes:
      // never the record's bytes that follow it.
      size_t n = have < 1 ? 1 : (have > 4 ? 4 : have);
      *size = n;
      if (have < 1) return ENOMEM;
      memset(buffer, 0, n);
      memcpy(buffer, &host->recv_qos, 1);
      return 0;
    }
    default:
      return EINVAL;
  }
}

char *format_qos(uint8_t qos, char *buffer, size_t size) {
  static constexpr struct {
    uint8_t dscp;
    const char *name;
  } kNames[] = {{0, "be"},    {8, "cs1"},   {10, "af11"}, {12, "af12"}, {14, "af13"}, {16, "cs2"},
                {18, "af21"}, {20, "af22"}, {22, "af23"}, {24, "cs3"},  {26, "af31"}, {28, "af32"},
                {30, "af33"}, {32, "cs4"},  {34, "af41"}, {36, "af42"}, {38, "af43"}, {40, "cs5"},
                {45, "va"},   {46, "ef"},   {48, "cs6"},  {56, "cs7"}};
  static constexpr const char *kEcn[] = {"", ",ecn(1)", ",ecn(0)", ",ce"};
  if (buffer == nullptr || size == 0) return buffer;
  uint8_t dscp = qos >> 2;
  const char *ecn = kEcn[qos & 0x03];
  for (const auto &n : kNames) {
    if (n.dscp == dscp) {
      snprintf(buffer, size, "%s%s", n.name, ecn);
      return buffer;
    }
  }
  snprintf(buffer, size, "0x%02x%s", dscp, ecn);
  return buffer;
}
