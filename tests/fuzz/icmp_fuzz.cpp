// Fuzz entry for the ping engine's check of a received datagram against the
// hosts it pinged (icmp_reply_match): IPv4 datagrams with their IP header
// and ICMPv6 messages.
//
// icmp_echo_reply: one ping object (made once per process) holds IPv4 and
// IPv6 hosts, two of whose wire identifiers share a table bucket; each run
// marks every host as waiting for the answer to its first request. The
// first input byte chooses: bit 0 the family (IPv6 when set); bit 1 stamp
// the identifier and sequence of the host picked by the second byte into
// the datagram; bit 2 correct the IPv4 checksum; bit 3 make the source that
// host's address (the IPv4 header's source, or the IPv6 sender), else an
// IPv6 sender is taken from the next 16 bytes. The rest is the datagram.
//
// Checked besides memory safety: a matched host is of the datagram's
// family, was waiting, and its identifier, sequence and address are those
// of the datagram; an IPv4 match carries an echo reply with a sound
// checksum.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <vector>

#include "fuzz_input.h"
#include "fuzz_targets.h"
#include "icmp.h"

namespace {

icmp_object_t *g_obj = nullptr;
std::vector<icmp_host_t *> g_hosts;

bool setup() {
  if (g_obj != nullptr) return true;
  g_obj = icmp_object_new();
  if (g_obj == nullptr) return false;
  // The last identifier lands in the first one's bucket.
  const struct {
    const char *address;
    int ident;
  } hosts[] = {{"127.0.0.1", 1},
               {"127.0.0.2", 2},
               {"::1", 3},
               {"2001:db8::5", 4},
               {"10.0.0.1", 1 + ICMP_TABLE_SIZE}};
  for (const auto &h : hosts) {
    if (icmp_host_add(g_obj, nullptr, h.address, h.ident) != 0) {
      fprintf(stderr, "icmp_host_add %s: %s\n", h.address, icmp_get_error(g_obj));
      return false;
    }
  }
  for (icmp_host_t *h = icmp_iterator_get(g_obj); h != nullptr; h = icmp_iterator_next(h))
    g_hosts.push_back(h);
  return true;
}

uint16_t be16(const uint8_t *p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void put_be16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

uint16_t checksum(const uint8_t *p, size_t len) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < len; i += 2) sum += static_cast<uint32_t>(p[i] | p[i + 1] << 8);
  if (len % 2 != 0) sum += p[len - 1];
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

uint16_t request_sequence(const icmp_host_t *h) {
  return static_cast<uint16_t>(h->seq_base + static_cast<uint32_t>(h->sequence) - 1);
}

bool same_address(const icmp_host_t *h, const struct sockaddr_storage *from) {
  if (h->addrfamily == AF_INET)
    return memcmp(&reinterpret_cast<const sockaddr_in *>(&h->addr)->sin_addr,
                  &reinterpret_cast<const sockaddr_in *>(from)->sin_addr, 4) == 0;
  return memcmp(&reinterpret_cast<const sockaddr_in6 *>(&h->addr)->sin6_addr,
                &reinterpret_cast<const sockaddr_in6 *>(from)->sin6_addr, 16) == 0;
}

}  // namespace

int fuzz_icmp_echo_reply(const uint8_t *data, size_t size) {
  if (!setup()) return 1;
  for (icmp_host_t *h : g_hosts) {
    h->timer.tv_sec = 1;
    h->timer.tv_usec = 0;
    h->sequence = 1;
  }
  fuzz_input in = fuzz_input_make(data, size);
  uint8_t mode = fuzz_input_u8(&in);
  const icmp_host_t *pick = g_hosts[fuzz_input_u8(&in) % g_hosts.size()];
  int family = (mode & 1) != 0 ? AF_INET6 : AF_INET;
  struct sockaddr_storage from;
  memset(&from, 0, sizeof(from));
  if (family == AF_INET6) {
    auto *six = reinterpret_cast<sockaddr_in6 *>(&from);
    six->sin6_family = AF_INET6;
    if ((mode & 8) != 0 && pick->addrfamily == AF_INET6) {
      six->sin6_addr = reinterpret_cast<const sockaddr_in6 *>(&pick->addr)->sin6_addr;
    } else {
      std::string_view a = fuzz_input_bytes(&in, 16);
      memcpy(&six->sin6_addr, a.data(), a.size());
    }
  }
  std::string_view rest = fuzz_input_bytes(&in, fuzz_input_left(&in));
  std::vector<uint8_t> buf(rest.begin(), rest.end());
  size_t at = 0;  // the ICMP message's offset
  if (family == AF_INET) at = buf.empty() ? 0 : static_cast<size_t>(buf[0] & 0x0f) * 4;
  bool whole = buf.size() >= at + 8 && (family == AF_INET6 || buf.size() >= 20);
  if (whole && (mode & 2) != 0) {
    put_be16(&buf[at + 4], pick->wire_ident);
    put_be16(&buf[at + 6], request_sequence(pick));
  }
  if (whole && family == AF_INET && (mode & 8) != 0 && pick->addrfamily == AF_INET)
    memcpy(&buf[12], &reinterpret_cast<const sockaddr_in *>(&pick->addr)->sin_addr, 4);
  if (whole && family == AF_INET && (mode & 4) != 0) {
    buf[at + 2] = buf[at + 3] = 0;
    uint16_t sum = checksum(&buf[at], buf.size() - at);
    memcpy(&buf[at + 2], &sum, 2);
  }

  int ttl = -1;
  icmp_host_t *h = icmp_reply_match(g_obj, family, buf.data(), buf.size(), &from, &ttl);
  if (h == nullptr) return 0;
  const uint8_t *icmp = buf.data() + at;
  bool sound = whole && h->addrfamily == family && h->timer.tv_sec == 1 &&
               be16(icmp + 4) == h->wire_ident && be16(icmp + 6) == request_sequence(h) &&
               same_address(h, &from);
  if (family == AF_INET) {
    uint16_t got;
    memcpy(&got, icmp + 2, 2);
    std::vector<uint8_t> copy(buf.begin() + static_cast<long>(at), buf.end());
    copy[2] = copy[3] = 0;
    sound = sound && icmp[0] == 0 && got == checksum(copy.data(), copy.size()) && ttl >= 0;
  }
  return sound ? 0 : 1;
}
