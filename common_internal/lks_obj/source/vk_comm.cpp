#include "vk_comm.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "vk_clock.h"

const uint8_t g_nio_magic_number[3] = {NIO_MAGIC_0, NIO_MAGIC_1, NIO_MAGIC_2};

namespace {

std::atomic<uint8_t> g_nio_header_version{0};

// Receives exactly `len` bytes. The first receive blocks like a plain
// recv(); once something has arrived the rest must come within
// VK_COMM_RECV_STALL_MSEC. Returns len, 0 when the peer closed before the
// first byte, or -1 (error, close or stall after a partial receive).
ssize_t recv_full(int sock, uint8_t *buf, size_t len) {
  size_t got = 0;
  uint64_t deadline = 0;
  while (got < len) {
    if (got > 0) {
      uint64_t now = vk_monotonic_msec();
      if (deadline == 0) deadline = now + VK_COMM_RECV_STALL_MSEC;
      if (now >= deadline) return -1;
      struct pollfd pfd = {sock, POLLIN, 0};
      int pr = poll(&pfd, 1, static_cast<int>(deadline - now));
      if (pr < 0 && errno == EINTR) continue;
      if (pr <= 0) return -1;
    }
    ssize_t r = recv(sock, buf + got, len - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) return got == 0 ? 0 : -1;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

int wait_readable(int sock, int timeout_sec) {
  struct pollfd pfd = {sock, POLLIN, 0};
  int timeout_ms = timeout_sec < 0 ? -1 : timeout_sec * 1000;
  for (;;) {
    int r = poll(&pfd, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

}  // namespace

void set_nio_header_version(uint8_t version) {
  g_nio_header_version.store(version, std::memory_order_relaxed);
}

uint8_t get_nio_header_version(void) {
  return g_nio_header_version.load(std::memory_order_relaxed);
}

pkt_nio_main_header *set_nio_main_header(pkt_nio_main_header *header, uint8_t flag,
                                         uint32_t body_size) {
  if (header == nullptr) return nullptr;
  uint8_t *p = reinterpret_cast<uint8_t *>(header);
  memcpy(p, g_nio_magic_number, 3);
  p[3] = get_nio_header_version();
  p[4] = flag;
  p[5] = p[6] = p[7] = 0;
  vk_put_be32(p + 8, body_size);
  return header;
}

void set_nio_sub_header(pkt_nio_sub_header *header, uint16_t pkt_type, uint32_t pkt_id,
                        uint8_t status, uint32_t body_version) {
  if (header == nullptr) return;
  uint8_t *p = reinterpret_cast<uint8_t *>(header);
  vk_put_be16(p, pkt_type);
  vk_put_be32(p + 2, pkt_id);
  p[6] = status;
  vk_put_be32(p + 7, body_version);
}

void set_oio_header(pkt_oio_header *header, uint16_t pkt_extend) {
  if (header == nullptr) return;
  uint8_t *p = reinterpret_cast<uint8_t *>(header);
  p[0] = OIO_PKT_TYPE;
  vk_put_be16(p + 1, pkt_extend);
}

size_t wrap_packet_nio_header(uint8_t **send_buf, const void *body, size_t body_len, uint8_t flag,
                              uint16_t pkt_type, uint32_t pkt_id, uint8_t status,
                              uint32_t body_version) {
  if (send_buf == nullptr) return 0;
  *send_buf = nullptr;
  if (body_len > UINT32_MAX - NIO_SUB_HEADER_SIZE) return 0;
  size_t total = body_len + NIO_HEADER_SIZE;
  uint8_t *buf = static_cast<uint8_t *>(malloc(total));
  if (buf == nullptr) return 0;
  pkt_nio_header *h = reinterpret_cast<pkt_nio_header *>(buf);
  set_nio_main_header(&h->main_header, flag, static_cast<uint32_t>(body_len + NIO_SUB_HEADER_SIZE));
  set_nio_sub_header(&h->sub_header, pkt_type, pkt_id, status, body_version);
  if (body != nullptr && body_len != 0) memcpy(buf + NIO_HEADER_SIZE, body, body_len);
  *send_buf = buf;
  return total;
}

size_t wrap_packet_oio_header(uint8_t **send_buf, const void *body, size_t body_len,
                              uint16_t pkt_type) {
  if (send_buf == nullptr) return 0;
  *send_buf = nullptr;
  if (body_len > SIZE_MAX - OIO_HEADER_SIZE) return 0;
  size_t total = body_len + OIO_HEADER_SIZE;
  uint8_t *buf = static_cast<uint8_t *>(malloc(total));
  if (buf == nullptr) return 0;
  set_oio_header(reinterpret_cast<pkt_oio_header *>(buf), pkt_type);
  if (body != nullptr && body_len != 0) memcpy(buf + OIO_HEADER_SIZE, body, body_len);
  *send_buf = buf;
  return total;
}

int is_nio_header(const void *data) {
  if (data == nullptr) return 0;
  return memcmp(data, g_nio_magic_number, 3) == 0 ? 1 : 0;
}

int get_nio_packet(int sock, uint8_t *buffer, int buffer_size) {
  if (buffer == nullptr || buffer_size < NIO_MAIN_HEADER_SIZE) return -1;
  if (recv_full(sock, buffer, NIO_MAIN_HEADER_SIZE) <= 0) return -1;
  if (!is_nio_header(buffer)) return -2;
  uint8_t version = buffer[3];
  if (version != 0 && version != 2) return -3;
  uint32_t body_length = vk_get_be32(buffer + 8);
  if (body_length == 0 || body_length > static_cast<uint32_t>(INT32_MAX) ||
      body_length > static_cast<uint32_t>(buffer_size - NIO_MAIN_HEADER_SIZE)) {
    return -4;
  }
  if (recv_full(sock, buffer + NIO_MAIN_HEADER_SIZE, body_length) <= 0) return -5;
  uint8_t flag = buffer[4];
  if (flag != NIO_FLAG_NONE && flag != NIO_FLAG_COMPRESS && flag != NIO_FLAG_ENCRYPT &&
      flag != NIO_FLAG_PROTOBUF) {
    return -6;
  }
  return static_cast<int>(body_length);
}

int get_oio_packet(int sock, uint8_t *buffer, int buffer_size) {
  if (buffer == nullptr || buffer_size < OIO_HEADER_SIZE) return -1;
  ssize_t r = recv_full(sock, buffer, OIO_HEADER_SIZE);
  if (r <= 0) return -1;
  if (is_nio_header(buffer)) return -2;
  return static_cast<int>(r);
}

namespace {

// The receive buffer is zeroed so that a handler never sees stale bytes.
struct recv_buffer {
  uint8_t *data;
  recv_buffer() : data(static_cast<uint8_t *>(calloc(1, VK_COMM_RECV_BUFFER_SIZE))) {}
  ~recv_buffer() { free(data); }
  recv_buffer(const recv_buffer &) = delete;
  recv_buffer &operator=(const recv_buffer &) = delete;
};

}  // namespace

int processing_socket(int sock, int use_nio, int timeout_sec, vk_packet_handler_t handler,
                      void *handler_param) {
  int w = wait_readable(sock, timeout_sec);
  if (w < 0) return -98;
  if (w == 0) return -100;
  recv_buffer buf;
  if (buf.data == nullptr) return -99;
  int r = use_nio ? get_nio_packet(sock, buf.data, VK_COMM_RECV_BUFFER_SIZE)
                  : get_oio_packet(sock, buf.data, VK_COMM_RECV_BUFFER_SIZE);
  if (r <= 0) return -99;
  if (handler == nullptr) return 0;
  return handler(buf.data, handler_param);
}

int receive_nio_packet(int sock, vk_packet_handler_t handler, void *handler_param) {
  recv_buffer buf;
  if (buf.data == nullptr) return -99;
  if (get_nio_packet(sock, buf.data, VK_COMM_RECV_BUFFER_SIZE) <= 0) return -99;
  if (handler == nullptr) return 0;
  return handler(buf.data, handler_param);
}

int receive_expected_nio_packet(int sock, vk_packet_expected_handler_t handler, void *handler_param,
                                int expected) {
  recv_buffer buf;
  if (buf.data == nullptr) return -99;
  if (get_nio_packet(sock, buf.data, VK_COMM_RECV_BUFFER_SIZE) <= 0) return -99;
  if (handler == nullptr) return 0;
  return handler(buf.data, handler_param, expected);
}

int vk_close_socket_debug(long sock_fd, const char *pFuncName) {
  if (pFuncName != nullptr) printf("[close_socket] sock[%ld],function[%s]\n", sock_fd, pFuncName);
  shutdown(static_cast<int>(sock_fd), SHUT_RDWR);
  return close(static_cast<int>(sock_fd));
}

int getIPFromDomain(const char *domain, char *ip, size_t ip_size) {
  if (domain == nullptr || ip == nullptr || ip_size == 0) return -2;
  unsigned char probe[sizeof(struct in6_addr)];
  if (inet_pton(AF_INET, domain, probe) == 1 || inet_pton(AF_INET6, domain, probe) == 1) {
    size_t len = strlen(domain);
    if (len >= ip_size) {
      printf("ip is wrong.[%s]\n", domain);
      return -2;
    }
    memcpy(ip, domain, len + 1);
    return 0;
  }
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *res = nullptr;
  if (getaddrinfo(domain, nullptr, &hints, &res) != 0 || res == nullptr) {
    printf("Unknown host [%s]\n", domain);
    return -1;
  }
  char text[INET6_ADDRSTRLEN];
  const char *ok = nullptr;
  if (res->ai_family == AF_INET) {
    ok = inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in *>(res->ai_addr)->sin_addr, text,
                   sizeof(text));
  } else if (res->ai_family == AF_INET6) {
    ok = inet_ntop(AF_INET6, &reinterpret_cast<struct sockaddr_in6 *>(res->ai_addr)->sin6_addr,
                   text, sizeof(text));
  }
  freeaddrinfo(res);
  if (ok == nullptr || strlen(text) >= ip_size) {
    printf("ip is wrong.[%s]\n", domain);
    return -2;
  }
  memcpy(ip, text, strlen(text) + 1);
  return 0;
}

int convert_ip_port_to_addr(const char *str_ip, const char *str_port, uint8_t *addr,
                            size_t addr_size) {
  if (str_ip == nullptr || str_port == nullptr || addr == nullptr || addr_size <= 17) return -1;
  if (strnlen(str_ip, 64) >= 64) return -2;
  int len;
  if (strchr(str_ip, '.') != nullptr) {
    if (inet_pton(AF_INET, str_ip, addr) != 1) return -3;
    len = 4;
  } else {
    if (inet_pton(AF_INET6, str_ip, addr) != 1) return -3;
    len = 16;
  }
  // The port must be a plain decimal number that fits in 16 bits.
  if (*str_port == '\0') return -4;
  unsigned long port = 0;
  for (const char *p = str_port; *p != '\0'; p++) {
    if (*p < '0' || *p > '9') return -4;
    port = port * 10 + static_cast<unsigned long>(*p - '0');
    if (port > 65535) return -4;
  }
  vk_put_be16(addr + len, static_cast<uint16_t>(port));
  return len + 2;
}

int convert_ip_str_to_addr(const char *ipaddr, size_t ipaddr_len, uint8_t *addr, size_t addr_size) {
  if (ipaddr == nullptr) return -1;
  size_t len = strnlen(ipaddr, ipaddr_len);
  if (len >= 64) return -1;
  char text[64];
  memcpy(text, ipaddr, len);
  text[len] = '\0';
  char *colon = strrchr(text, ':');
  if (colon == nullptr) return -2;
  *colon = '\0';
  char *host = text;
  const char *port = colon + 1;
  if (strchr(host, ':') != nullptr) {
    size_t hlen = strlen(host);
    size_t removed = 0;
    while (hlen > 0 && (host[hlen - 1] == '[' || host[hlen - 1] == ']')) {
      host[--hlen] = '\0';
      removed++;
    }
    while (*host == '[' || *host == ']') {
      host++;
      removed++;
    }
    if (removed != 2) return -3;
  }
  int r = convert_ip_port_to_addr(host, port, addr, addr_size);
  return r < 0 ? -4 : r;
}

int CheckIPAddr(const struct ifreq *ifr) {
  if (ifr == nullptr) return 0;
  if (strncmp(ifr->ifr_name, "lo", IFNAMSIZ) == 0) return -1;
  const struct sockaddr_in *sin = reinterpret_cast<const struct sockaddr_in *>(&ifr->ifr_addr);
  char text[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof(text)) == nullptr) return 0;
  if (strcmp(text, "0.0.0.0") == 0) return -2;
  if (strcmp(text, "127.0.0.1") == 0) return -3;
  return 0;
}

int get_ip_info(vk_ip_info_t *ipInfo) {
  if (ipInfo == nullptr) return -1;
  ipInfo->array = nullptr;
  ipInfo->count = 0;
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return 0;
  // Grow the request by 20 entries while the answer fills all the room:
  // only an answer with room to spare is known to be complete.
  int room = 20;
  struct ifreq *reqs = nullptr;
  int used = 0;
  for (int round = 0; round < 64; round++) {
    struct ifreq *grown = static_cast<struct ifreq *>(
        realloc(reqs, sizeof(struct ifreq) * static_cast<size_t>(room)));
    if (grown == nullptr) break;
    reqs = grown;
    struct ifconf ifc;
    ifc.ifc_len = static_cast<int>(sizeof(struct ifreq)) * room;
    ifc.ifc_req = reqs;
    if (ioctl(sock, SIOCGIFCONF, &ifc) < 0) {
      used = 0;
      break;
    }
    used = ifc.ifc_len / static_cast<int>(sizeof(struct ifreq));
    if (used < room) break;
    room += 20;
  }
  close(sock);
  if (used > 0) {
    ipInfo->array =
        static_cast<vk_ip_item_t *>(calloc(static_cast<size_t>(used), sizeof(vk_ip_item_t)));
  }
  if (ipInfo->array != nullptr) {
    for (int i = 0; i < used; i++) {
      vk_ip_item_t *item = &ipInfo->array[i];
      snprintf(item->if_name, sizeof(item->if_name), "%.*s", IFNAMSIZ, reqs[i].ifr_name);
      const struct sockaddr_in *sin =
          reinterpret_cast<const struct sockaddr_in *>(&reqs[i].ifr_addr);
      if (inet_ntop(AF_INET, &sin->sin_addr, item->ip_str, sizeof(item->ip_str)) == nullptr) {
        item->ip_str[0] = '\0';
      }
      printf("[%d]name: %s, ip: %s\n", i, item->if_name, item->ip_str);
    }
    ipInfo->count = used;
  }
  free(reqs);
  return 0;
}
