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

int udp_server_open(udp_server_t *server) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    VKLOG(g_vklog, VL_ERROR, "socket open error[%s]\n", strerror(errno));
    return -1;
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
    VKLOG(g_vklog, VL_ERROR, "set socket(#%d) option(SO_REUSEADDR) error[%s]\n", fd,
          strerror(errno));
    close(fd);
    return -1;
  }
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) != 0) {
    VKLOG(g_vklog, VL_ERROR, "set socket(#%d) option(SO_REUSEPORT) error[%s]\n", fd,
          strerror(errno));
    close(fd);
    return -1;
  }
  // Bursts from many devices at once outlast a receiver's time slice; a
  // larger receive buffer keeps them instead of dropping them. Best effort:
  // the kernel caps it at its own limit.
  int rcvbuf = UDP_SERVER_RCVBUF_SIZE;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(server->port));
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
    VKLOG(g_vklog, VL_ERROR, "socket(#%d) bind error[%s]\n", fd, strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// Receives one datagram without waiting and hands it to the callback.
// Returns false when the socket has nothing more (or failed).
bool udp_server_receive_one(udp_server_t *server, int fd, char *buffer) {
  struct sockaddr_in from;
  socklen_t from_len = sizeof(from);
  ssize_t n = recvfrom(fd, buffer, UDP_SERVER_DATAGRAM_MAX, MSG_DONTWAIT,
                       reinterpret_cast<struct sockaddr *>(&from), &from_len);
  if (n < 0) return false;
  if (n == 0) return true;  // empty datagram: skipped
  buffer[n] = '\0';
  server->perf.count.fetch_add(1, std::memory_order_relaxed);
  server->perf.size.fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed);
  char ip[UDP_SERVER_IP_SIZE] = "";
  if (from.sin_family == AF_INET) inet_ntop(AF_INET, &from.sin_addr, ip, sizeof(ip));
  if (server->log_dump != nullptr) {
    VKLOG(server->log_dump, VL_INFO, "[#%d,from:%s]%.*s\n", fd, ip, static_cast<int>(n), buffer);
  }
  server->func(fd, ip, buffer, static_cast<size_t>(n));
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
  server->status.store(UDP_SERVER_STATUS_STARTING);
  // The run count was raised by udp_server_start before this thread was
  // created, so a stop that follows the start at once still waits for it.
  int fd = udp_server_open(server);
  if (fd < 0) {
    udp_server_fail(server, -1);
    return -1;
  }
  server->sock.store(fd);
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
  manager->servers.store(servers);
  manager->activate.store(1);
  int cpus = online_processors();
  for (int i = 0; i < manager->work_thread_count; i++) {
    char name[UDP_SERVER_NAME_SIZE + 16];
    snprintf(name, sizeof(name), "%s_%d", manager->name, i);
    manager->thread_run_count.fetch_add(1);
    if (thread_startup(i % cpus, name, udp_server_up, &servers[i], UDP_SERVER_STACK_SIZE) != 0) {
      manager->thread_run_count.fetch_sub(1);
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
