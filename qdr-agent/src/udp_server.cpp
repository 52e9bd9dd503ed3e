#include "udp_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "thread_manager.h"
#include "vk_clock.h"
#include "vk_util.h"

namespace {

// Datagrams taken per readiness before the receiver checks the stop flag and
// waits again: draining a busy socket costs one receive call per datagram
// instead of a wait and a receive, and the bound keeps the stop prompt.
constexpr int UDP_SERVER_DRAIN_MAX = 64;
constexpr int UDP_SERVER_EPOLL_EVENTS = 10;

int online_processors() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 1 ? 1 : static_cast<int>(n);
}

// Closes `fd` when set and ends the receiver with a socket error.
void udp_server_fail(udp_server_t *server, int fd) {
  if (fd >= 0) close(fd);
  server->sock.store(-1);
  server->status.store(UDP_SERVER_STATUS_SOCKET_ERROR);
  server->thread_run_count->fetch_sub(1);
}

// Text of the address the receivers bind to.
const char *udp_server_any_text(int family) {
  return family == AF_INET6 ? "[::]" : "0.0.0.0";
}

// Opens and binds one receiver socket: IPv6 taking IPv4 too, or IPv4 when
// the host has no IPv6. Returns the descriptor, or -1 with the failing
// step's errno in *err (logged at `level`).
int udp_server_open(udp_server_t *server, int level, int *err) {
  int family = AF_INET6;
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) {
    family = AF_INET;
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  if (server->manager != nullptr) server->manager->family.store(family);
  if (fd < 0) {
    *err = errno;
    VKLOG(g_vklog, level, "socket open error[%s]\n", strerror(errno));
    return -1;
  }
  int on = 1;
  int off = 0;
  if (family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) != 0) {
    VKLOG(g_vklog, VL_WARN, "set socket(#%d) option(IPV6_V6ONLY) error[%s]\n", fd, strerror(errno));
  }
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) != 0) {
    *err = errno;
    VKLOG(g_vklog, level, "set socket(#%d) option(SO_REUSEADDR/SO_REUSEPORT) error[%s]\n", fd,
          strerror(errno));
    close(fd);
    return -1;
  }
  // Bursts from many devices at once outlast a receiver's time slice; a
  // larger receive buffer keeps them instead of dropping them. Best effort:
  // the kernel caps it at its own limit.
  int rcvbuf = UDP_SERVER_RCVBUF_SIZE;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  struct sockaddr_storage addr;
  memset(&addr, 0, sizeof(addr));
  socklen_t addr_len = 0;
  if (family == AF_INET6) {
    auto *a6 = reinterpret_cast<struct sockaddr_in6 *>(&addr);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_any;
    a6->sin6_port = htons(static_cast<uint16_t>(server->port));
    addr_len = sizeof(*a6);
  } else {
    auto *a4 = reinterpret_cast<struct sockaddr_in *>(&addr);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_ANY);
    a4->sin_port = htons(static_cast<uint16_t>(server->port));
    addr_len = sizeof(*a4);
  }
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), addr_len) != 0) {
    *err = errno;
    VKLOG(g_vklog, level, "socket(#%d) bind error[%s]\n", fd, strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// First bind of a receiver, in udp_server_start: a failure is said in the
// log and on standard error with the service, address and port.
void udp_server_first_bind(udp_server_manager_t *manager, udp_server_t *server) {
  int err = 0;
  int fd = udp_server_open(server, VL_DEBUG, &err);
  if (fd >= 0) {
    server->sock.store(fd);
    server->bind_errno.store(0);
    return;
  }
  server->bind_errno.store(err);
  const char *then = manager->bind_retry ? ", retrying" : "";
  VKLOG(g_vklog, VL_ERROR, "[%s] cannot bind udp %s port %u: %s%s\n", manager->name,
        udp_server_any_text(manager->family.load()), static_cast<unsigned>(manager->port),
        strerror(err), then);
  fprintf(stderr, "[%s] cannot bind udp %s port %u: %s%s\n", manager->name,
          udp_server_any_text(manager->family.load()), static_cast<unsigned>(manager->port),
          strerror(err), then);
  fflush(stderr);
}

// Sleeps `msec` in slices while the service is active.
void udp_server_sleep_active(udp_server_t *server, uint32_t msec) {
  for (uint32_t slept = 0; slept < msec && server->activate->load(std::memory_order_relaxed) == 1;
       slept += UDP_SERVER_WAIT_MSEC) {
    vk_sleep(UDP_SERVER_WAIT_MSEC);
  }
}

// Binds again on a back-off until it works or the service stops. Returns
// the descriptor, or -1 when the service stopped first. Only the start and
// the end of the failure are logged.
int udp_server_bind_retry(udp_server_t *server) {
  uint32_t wait = UDP_SERVER_BIND_RETRY_MIN_MSEC;
  for (int tries = 1; server->activate->load() == 1; tries++) {
    udp_server_sleep_active(server, wait);
    if (server->activate->load() != 1) break;
    int err = 0;
    int fd = udp_server_open(server, VL_DEBUG, &err);
    if (fd >= 0) {
      VKLOG(g_vklog, VL_NOTICE, "[%s] udp port %u bound after %d retries.(sock:#%d)\n",
            server->manager != nullptr ? server->manager->name : "",
            static_cast<unsigned>(server->port), tries, fd);
      server->bind_errno.store(0);
      return fd;
    }
    server->bind_errno.store(err);
    wait = wait * 2 > UDP_SERVER_BIND_RETRY_MAX_MSEC ? UDP_SERVER_BIND_RETRY_MAX_MSEC : wait * 2;
  }
  return -1;
}

// Dotted-quad text of the 4 address bytes at `a`, as inet_ntop writes it
// (nothing when it does not fit). Written by hand: inet_ntop formats it
// with sprintf, which took a tenth of a receiver's time per datagram.
void udp_server_ipv4_text(const uint8_t *a, char *ip, size_t size) {
  char text[16];
  size_t n = 0;
  for (int i = 0; i < 4; i++) {
    unsigned v = a[i];
    if (v >= 100) text[n++] = static_cast<char>('0' + v / 100);
    if (v >= 10) text[n++] = static_cast<char>('0' + v / 10 % 10);
    text[n++] = static_cast<char>('0' + v % 10);
    text[n++] = i < 3 ? '.' : '\0';
  }
  if (n <= size) memcpy(ip, text, n);
}

// Sender address as text: IPv4 senders (also when they reach an IPv6
// socket as mapped addresses) in dotted form.
void udp_server_peer_text(const udp_peer_t *peer, char *ip, size_t size) {
  ip[0] = '\0';
  if (peer->addr.ss_family == AF_INET) {
    const auto *a4 = reinterpret_cast<const struct sockaddr_in *>(&peer->addr);
    udp_server_ipv4_text(reinterpret_cast<const uint8_t *>(&a4->sin_addr.s_addr), ip, size);
  } else if (peer->addr.ss_family == AF_INET6) {
    const auto *a6 = reinterpret_cast<const struct sockaddr_in6 *>(&peer->addr);
    if (IN6_IS_ADDR_V4MAPPED(&a6->sin6_addr)) {
      udp_server_ipv4_text(&a6->sin6_addr.s6_addr[12], ip, size);
    } else {
      inet_ntop(AF_INET6, &a6->sin6_addr, ip, static_cast<socklen_t>(size));
    }
  }
}

// Receives one datagram without waiting and hands it to the callback.
// Returns false when the socket has nothing more (or failed).
bool udp_server_receive_one(udp_server_t *server, int fd, char *buffer) {
  udp_peer_t peer;
  memset(&peer, 0, sizeof(peer));
  peer.len = sizeof(peer.addr);
  ssize_t n = recvfrom(fd, buffer, UDP_SERVER_DATAGRAM_MAX, MSG_DONTWAIT,
                       reinterpret_cast<struct sockaddr *>(&peer.addr), &peer.len);
  if (n < 0) return false;
  char ip[UDP_SERVER_IP_SIZE] = "";
  udp_server_peer_text(&peer, ip, sizeof(ip));
  if (n == 0) {
    VKLOG(g_vklog, VL_DEBUG, "[udp_receiver] empty datagram dropped.[sock:#%d,from:%s]\n", fd, ip);
    return true;
  }
  buffer[n] = '\0';
  server->perf.count.fetch_add(1, std::memory_order_relaxed);
  server->perf.size.fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed);
  if (server->log_dump != nullptr) {
    VKLOG(server->log_dump, VL_INFO, "[#%d,from:%s]%.*s\n", fd, ip, static_cast<int>(n), buffer);
  }
  server->func(fd, ip, buffer, static_cast<size_t>(n), &peer);
  return true;
}

void udp_receiver(udp_server_t *server, int fd) {
  // The datagram buffer lives on the receiver's 10 MiB stack.
  char buffer[UDP_SERVER_DATAGRAM_MAX + 1];
  server->status.store(UDP_SERVER_STATUS_RECEIVING);
  int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) {
    printf("epoll_create() error\n");
    return;
  }
  struct epoll_event ev;
  memset(&ev, 0, sizeof(ev));
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) {
    printf("epoll_ctl() error\n");
    close(ep);
    return;
  }
  struct epoll_event events[UDP_SERVER_EPOLL_EVENTS];
  while (server->activate->load(std::memory_order_relaxed) == 1) {
    int n = epoll_wait(ep, events, UDP_SERVER_EPOLL_EVENTS, UDP_SERVER_WAIT_MSEC);
    if (n < 0) {
      if (errno == EINTR) continue;
      printf("epoll_wait() error [%d]\n", errno);
      break;
    }
    if (n == 0) continue;
    for (int i = 0; i < UDP_SERVER_DRAIN_MAX; i++) {
      if (!udp_server_receive_one(server, fd, buffer)) break;
    }
  }
  close(ep);
  VKLOG(g_vklog, VL_INFO, "[udp_receiver] udp receiver thread end.[sock:#%d]\n", fd);
}

int udp_server_up(void *args) {
  auto *server = static_cast<udp_server_t *>(args);
  VKLOG(g_vklog, VL_TRACE, "[udp_server_up] thread started(port:%hu)\n",
        static_cast<unsigned short>(server->port));
  // The run count was raised by udp_server_start before this thread was
  // created, so a stop that follows the start at once still waits for it.
  // The socket was bound there too, when the port could be had.
  int fd = server->sock.load();
  if (fd < 0) {
    bool retry = server->manager != nullptr && server->manager->bind_retry;
    if (retry) {
      server->status.store(UDP_SERVER_STATUS_BIND_RETRY);
      fd = udp_server_bind_retry(server);
    }
    if (fd < 0 && retry) {  // stopped while waiting for the port
      server->status.store(UDP_SERVER_STATUS_ENDED);
      server->thread_run_count->fetch_sub(1);
      return 0;
    }
    if (fd < 0) {
      udp_server_fail(server, -1);
      return -1;
    }
    server->sock.store(fd);
  } else {
    server->status.store(UDP_SERVER_STATUS_STARTING);
  }
  VKLOG(g_vklog, VL_INFO, "[udp_server_up] socket opened(sock:#%d)\n", fd);
  udp_receiver(server, fd);
  close(fd);
  VKLOG(g_vklog, VL_INFO, "[udp_server_up] end(sock:#%d)\n", fd);
  server->sock.store(-1);
  // Status before the count: once the count reaches 0 the stopper may free
  // this record.
  server->status.store(UDP_SERVER_STATUS_ENDED);
  server->thread_run_count->fetch_sub(1);
  return 0;
}

}  // namespace

udp_server_manager_t *udp_server_manager_new(const char *name, uint16_t port, int thread_count,
                                             collback_func_receive_work func) {
  void *mem = func != nullptr ? calloc(1, sizeof(udp_server_manager_t)) : nullptr;
  if (mem == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[syslog_config_new] memory allocate has failed.\n");
    return nullptr;
  }
  auto *manager = new (mem) udp_server_manager_t;
  snprintf(manager->name, sizeof(manager->name), "%s", name != nullptr ? name : "");
  manager->port = port;
  int cpus = online_processors();
  manager->work_thread_count = (thread_count <= 0 || thread_count > cpus) ? cpus : thread_count;
  manager->thread_run_count.store(0);
  manager->activate.store(0);
  manager->servers.store(nullptr);
  manager->func = func;
  manager->log_dump = nullptr;
  manager->is_maintain = 0;
  manager->bind_retry = 0;
  manager->family.store(AF_INET6);
  return manager;
}

int udp_server_manager_free(udp_server_manager_t *manager) {
  if (manager == nullptr) return 0;
  if (manager->thread_run_count.load() != 0) return -1;
  udp_server_destroy(manager->servers.exchange(nullptr), manager->work_thread_count);
  free(manager);
  return 0;
}

udp_server_t *udp_server_new(int count, int port, std::atomic<int> *activate,
                             std::atomic<int> *thread_run_count, vklog_t *log_dump,
                             collback_func_receive_work func) {
  if (count <= 0) return nullptr;
  void *mem = calloc(static_cast<size_t>(count), sizeof(udp_server_t));
  if (mem == nullptr) return nullptr;
  auto *servers = static_cast<udp_server_t *>(mem);
  for (int i = 0; i < count; i++) {
    udp_server_t *s = new (&servers[i]) udp_server_t;
    s->name[0] = '\0';
    s->sock.store(-1);
    s->port = port;
    s->status.store(0);
    s->activate = activate;
    s->thread_run_count = thread_run_count;
    s->func = func;
    s->perf.sock = -1;
    s->perf.count.store(0);
    s->perf.size.store(0);
    s->log_dump = log_dump;
    s->bind_errno.store(0);
    s->manager = nullptr;
  }
  return servers;
}

void udp_server_destroy(udp_server_t *servers, int count) {
  if (servers == nullptr) return;
  for (int i = 0; i < count; i++) {
    if (servers[i].status.load() != UDP_SERVER_STATUS_ENDED) {
      VKLOG(g_vklog, VL_ERROR, "udp server thread(idx:%d,sock:#%d) is not stoped.\n", i,
            servers[i].sock.load());
    }
  }
  free(servers);
}

int udp_server_start(udp_server_manager_t *manager) {
  if (manager == nullptr) return -1;
  if (manager->activate.load() == 1 || manager->thread_run_count.load() != 0) return -2;
  VKLOG(g_vklog, VL_INFO, "[%s] udp server start - port:%hu, thread count:%d\n", manager->name,
        manager->port, manager->work_thread_count);
  udp_server_destroy(manager->servers.exchange(nullptr), manager->work_thread_count);
  udp_server_t *servers =
      udp_server_new(manager->work_thread_count, manager->port, &manager->activate,
                     &manager->thread_run_count, manager->log_dump, manager->func);
  if (servers == nullptr) return -3;
  for (int i = 0; i < manager->work_thread_count; i++) {
    servers[i].manager = manager;
    udp_server_first_bind(manager, &servers[i]);
  }
  manager->servers.store(servers);
  manager->activate.store(1);
  int cpus = online_processors();
  for (int i = 0; i < manager->work_thread_count; i++) {
    char name[UDP_SERVER_NAME_SIZE + 16];
    snprintf(name, sizeof(name), "%s_%d", manager->name, i);
    manager->thread_run_count.fetch_add(1);
    if (thread_startup(i % cpus, name, udp_server_up, &servers[i], UDP_SERVER_STACK_SIZE) != 0) {
      manager->thread_run_count.fetch_sub(1);
      int fd = servers[i].sock.exchange(-1);
      if (fd >= 0) close(fd);
      servers[i].status.store(UDP_SERVER_STATUS_ENDED);
      VKLOG(g_vklog, VL_ERROR,
            "[run_udp_server] Create thread(udp_server_thread) failed. (idx:%d,errno:%d)\n", i,
            errno);
    }
    VKLOG(g_vklog, VL_INFO, "[%s]udp_server_thread(idx:%d) created.\n", manager->name, i);
  }
  if (manager->is_maintain) {
    uint32_t last_count[64] = {0};
    uint32_t last_size[64] = {0};
    for (uint64_t pass = 0; manager->activate.load() == 1; pass++) {
      vk_sleep(1000);
      if (pass % 5 == 0) {
        VKLOG(g_vklog, VL_INFO, "--------------------\n");
        udp_server_log_stats(manager, g_vklog, last_count, last_size, 64);
      }
    }
  }
  return 0;
}

int udp_server_shutdown(udp_server_manager_t *manager, int timeout_sec) {
  if (manager == nullptr) return 0;
  if (manager->activate.load() == 0) {
    VKLOG(g_vklog, VL_INFO, "udp_server('%s') is already down.\n", manager->name);
    return 0;
  }
  manager->activate.store(0);
  int64_t limit = static_cast<int64_t>(timeout_sec > 0 ? timeout_sec : 3) * 1000;
  uint64_t start = vk_monotonic_msec();
  // Bounded by the clock, and by count as well (a manual test clock does
  // not move, and each of its sleeps takes a real millisecond).
  for (int64_t polls = 0; manager->thread_run_count.load() > 0 && polls < limit; polls++) {
    if (static_cast<int64_t>(vk_monotonic_msec() - start) >= limit) break;
    vk_sleep(UDP_SERVER_SHUTDOWN_POLL_MSEC);
  }
  int64_t remain = limit - static_cast<int64_t>(vk_monotonic_msec() - start);
  int running = manager->thread_run_count.load();
  int result = 0;
  if (running == 0) {
    udp_server_destroy(manager->servers.exchange(nullptr), manager->work_thread_count);
  } else {
    VKLOG(g_vklog, VL_ERROR, "udp server shutdown has failed.(timeout)\n");
    result = -1;
  }
  VKLOG(g_vklog, VL_INFO, "udp server('%s') shutdown.[timeout:%lld, thread count:%d]\n",
        manager->name, static_cast<long long>(remain), running);
  return result;
}

uint64_t udp_server_total_count(const udp_server_manager_t *manager) {
  udp_server_t *servers = manager != nullptr ? manager->servers.load() : nullptr;
  if (servers == nullptr) return 0;
  uint64_t total = 0;
  for (int i = 0; i < manager->work_thread_count; i++) {
    total += servers[i].perf.count.load(std::memory_order_relaxed);
  }
  return total;
}

double udp_server_human_size(double bytes, const char **unit) {
  static const char *const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
  size_t i = 0;
  while (bytes >= 1024.0 && i + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
    bytes /= 1024.0;
    i++;
  }
  if (unit != nullptr) *unit = kUnits[i];
  return bytes;
}

void udp_server_log_stats(udp_server_manager_t *manager, vklog_t *log, uint32_t *last_count,
                          uint32_t *last_size, int last_len) {
  udp_server_t *servers = manager != nullptr ? manager->servers.load() : nullptr;
  if (servers == nullptr) return;
  for (int i = 0; i < manager->work_thread_count && i < last_len; i++) {
    udp_server_t *s = &servers[i];
    uint32_t count = s->perf.count.load(std::memory_order_relaxed);
    uint32_t size = s->perf.size.load(std::memory_order_relaxed);
    const char *unit = "B";
    double human = udp_server_human_size(static_cast<double>(size - last_size[i]), &unit);
    VKLOG(log, VL_INFO, "[#%d] c:%u/s(%u),s:%.2f %s/s(%u)\n", s->sock.load(), count - last_count[i],
          count, human, unit, size);
    last_count[i] = count;
    last_size[i] = size;
  }
}

int udp_server_bound_count(const udp_server_manager_t *manager) {
  udp_server_t *servers = manager != nullptr ? manager->servers.load() : nullptr;
  if (servers == nullptr) return 0;
  int bound = 0;
  for (int i = 0; i < manager->work_thread_count; i++) {
    if (servers[i].sock.load() >= 0) bound++;
  }
  return bound;
}

const char *udp_server_state_text(const udp_server_manager_t *manager, char *buf, size_t size) {
  if (buf == nullptr || size == 0) return "";
  if (manager == nullptr) {
    snprintf(buf, size, "-");
    return buf;
  }
  udp_server_t *servers = manager->servers.load();
  if (servers == nullptr || manager->activate.load() != 1) {
    snprintf(buf, size, "%s udp %s:%u stopped", manager->name,
             udp_server_any_text(manager->family.load()), static_cast<unsigned>(manager->port));
    return buf;
  }
  int err = 0;
  for (int i = 0; i < manager->work_thread_count; i++) {
    if (servers[i].sock.load() < 0 && servers[i].bind_errno.load() != 0) {
      err = servers[i].bind_errno.load();
    }
  }
  int n =
      snprintf(buf, size, "%s udp %s:%u receiving %d/%d", manager->name,
               udp_server_any_text(manager->family.load()), static_cast<unsigned>(manager->port),
               udp_server_bound_count(manager), manager->work_thread_count);
  if (err != 0 && n > 0 && static_cast<size_t>(n) < size) {
    snprintf(buf + n, size - static_cast<size_t>(n), ", bind failed[%s]%s", strerror(err),
             manager->bind_retry ? ", retrying" : "");
  }
  return buf;
}

int udp_server_reply(int sock, const udp_peer_t *peer, const void *data, size_t len) {
  if (sock < 0 || peer == nullptr || data == nullptr || peer->len == 0) return -1;
  if (sendto(sock, data, len, MSG_DONTWAIT, reinterpret_cast<const struct sockaddr *>(&peer->addr),
             peer->len) != static_cast<ssize_t>(len)) {
    char ip[UDP_SERVER_IP_SIZE] = "";
    udp_server_peer_text(peer, ip, sizeof(ip));
    uint16_t port = peer->addr.ss_family == AF_INET6
                        ? reinterpret_cast<const struct sockaddr_in6 *>(&peer->addr)->sin6_port
                        : reinterpret_cast<const struct sockaddr_in *>(&peer->addr)->sin_port;
    VKLOG(g_vklog, VL_ERROR, "[udp_server_reply] send to %s port %u has failed.[%s]\n", ip,
          static_cast<unsigned>(ntohs(port)), strerror(errno));
    return -2;
  }
  return 0;
}
