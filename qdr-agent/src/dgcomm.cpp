#include "dgcomm.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "vk_clock.h"
#include "vk_comm.h"
#include "vk_thread.h"
#include "vk_util.h"
#include "vklog.h"

int g_send_timeout_msec = DG_SEND_TIMEOUT_MSEC;

namespace {

// Pauses are cut into slices so that a shutdown is seen quickly.
constexpr uint32_t kPauseSliceMsec = 50;
constexpr int kRemoteHangLimit = 10;
constexpr int kResendLimit = 4;

ssize_t dg_send_system(int sock, const void *buf, size_t len, int flags) {
  return send(sock, buf, len, flags);
}

bool dg_is_connected(const dg_conn *c) {
  return c->connection_state.load() == DG_STATE_CONNECTED && c->reconnect_flag.load() == 0;
}

// Sleeps until `msec` have passed on the connection's monotonic clock, in
// slices, ending early once `active` is cleared or, with until_connected,
// once the connection is up.
void dg_pause_on_clock(dg_conn *c, uint32_t msec, bool until_connected) {
  uint64_t end = c->ops.monotonic_msec() + msec;
  for (;;) {
    if (!c->active.load() || (until_connected && dg_is_connected(c))) return;
    uint64_t now = c->ops.monotonic_msec();
    if (now >= end) return;
    uint64_t left = end - now;
    vk_sleep(static_cast<uint32_t>(left < kPauseSliceMsec ? left : kPauseSliceMsec));
  }
}

void dg_pause(dg_conn *c, uint32_t msec) {
  dg_pause_on_clock(c, msec, false);
}

// The sender's wait for a connection ends as soon as there is one, so the
// agent information request goes out right after the connect.
void dg_pause_until_connected(dg_conn *c, uint32_t msec) {
  dg_pause_on_clock(c, msec, true);
}

void dg_log_reconnect_reason(int flag, int sock) {
  switch (flag) {
    case DG_RECONNECT_REMOTE_HANG:
      VKLOG(g_vklog, VL_ERROR,
            "[dg_communicate] detected remote server hang. sock# %d connection close\n", sock);
      break;
    case DG_RECONNECT_SEND_FAILED:
      VKLOG(g_vklog, VL_ERROR, "[dg_communicate] send has failed.(sock# %d connection close)\n",
            sock);
      break;
    case DG_RECONNECT_RESEND:
      VKLOG(g_vklog, VL_ERROR, "[dg_communicate] resend has failed.(sock# %d connection close)\n",
            sock);
      break;
    case DG_RECONNECT_PEER_CLOSED:
      VKLOG(g_vklog, VL_ERROR,
            "[dg_communicate] socket is graceful shutdown.(sock# %d connection close)\n", sock);
      break;
    case DG_RECONNECT_INIT_FAILED:
      VKLOG(g_vklog, VL_ERROR,
            "[dg_communicate] initialize has filed.(sock# %d connection close)\n", sock);
      break;
    default:
      VKLOG(g_vklog, VL_ERROR,
            "[dg_communicate] reconnect flag value is unknown.(%d)(sock# %d connection close)\n",
            flag, sock);
      break;
  }
}

// True (after the log line) when the frame being assembled has had no byte
// for longer than DG_RECV_STALL_MSEC.
bool dg_frame_stalled(dg_conn *c, int sock) {
  if (c->recv_buffer.length == 0) return false;
  uint64_t now = c->ops.monotonic_msec();
  uint64_t idle = now > c->recv_progress_msec ? now - c->recv_progress_msec : 0;
  if (idle <= DG_RECV_STALL_MSEC) return false;
  VKLOG(g_vklog, VL_ERROR,
        "[dg_communicate] packet stalled mid-way, collector taken as gone.(sock:%d,held:%u,idle "
        "ms:%llu)\n",
        sock, c->recv_buffer.length, static_cast<unsigned long long>(idle));
  return true;
}

// Waits one check step for inbound data and runs the reassembler.
// 0: nothing or something received; -1 the wait failed; -2 the reassembler
// refused the stream, or a frame stalled mid-way.
int dg_select_receive(dg_conn *c) {
  int sock = c->sock.load();
  struct pollfd pfd = {sock, POLLIN, 0};
  int r = poll(&pfd, 1, DG_CHECK_STEP_MSEC);
  if (r < 0) {
    int err = errno;
    VKLOG(g_vklog, VL_ERROR, "[PQH-LKS-00020080] Function 'select' failed. (%d)\n", err);
    switch (err) {
      case EBADF:
        VKLOG(g_vklog_console_debug, VL_TRACE,
              "[select_receive_msg] select failed : EBADF : %d, %s\n", err, strerror(err));
        break;
      case EINTR:
        VKLOG(g_vklog_console_debug, VL_TRACE,
              "[select_receive_msg] select failed : EINTR : %d, %s\n", err, strerror(err));
        break;
      case EINVAL:
        VKLOG(g_vklog_console_debug, VL_TRACE,
              "[select_receive_msg] select failed : EINVAL : %d, %s\n", err, strerror(err));
        break;
      default:
        VKLOG(g_vklog_console_debug, VL_TRACE,
              "[select_receive_msg] select failed : UNKNOWN : %d, %s\n", err, strerror(err));
        break;
    }
    return -1;
  }
  if (r == 0) return dg_frame_stalled(c, sock) ? -2 : 0;
  if ((pfd.revents & POLLNVAL) != 0) return -1;
  int ret = dg_receive_packet(c);
  if (ret < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[PQH-LKS-00020090] 'thread_tcpconn' Connection closed. [%s:%hu(sock:%d,recv err:%d)]\n",
          c->sz_ip, static_cast<unsigned short>(c->port), sock, ret);
    return -2;
  }
  if (c->last_recv_ret_val == 0) dg_reconnect_with_status(c, DG_RECONNECT_PEER_CLOSED);
  return 0;
}

// Gives the pages of a frame that was still being assembled when its
// connection dropped back to the system: a large frame cut short would
// otherwise keep them resident until a later large frame completes. They
// read as zero when touched again.
void dg_release_receive_buffer(dg_conn *c) {
  data_buffer_t *rb = &c->recv_buffer;
  if (rb->buffer == nullptr || rb->length == 0) return;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t start = reinterpret_cast<uintptr_t>(rb->buffer);
  uintptr_t first = (start + page - 1) & ~(page - 1);
  uintptr_t end = (start + rb->length + page - 1) & ~(page - 1);
  uintptr_t limit = (start + rb->size) & ~(page - 1);
  if (end > limit) end = limit;
  if (end > first) madvise(reinterpret_cast<void *>(first), end - first, MADV_DONTNEED);
  rb->length = 0;
}

void dg_reset_connection(dg_conn *c) {
  c->sock.store(-1);
  c->reconnect_flag.store(0);
  c->connection_state.store(DG_STATE_DISCONNECTED);
  c->send_tcp_size.store(0);
  c->send_tcp_count.store(0);
  c->send_tcp_error_count.store(0);
  c->send_tcp_zero_count.store(0);
  c->remote_hang_count.store(0);
  c->resend_count.store(0);
  dg_take_back_events(c);
  dg_release_receive_buffer(c);
  c->is_chk_header = 0;
  c->last_recv_ret_val = -1;
}

}  // namespace

void dgcomm_init(void) {
  packet_set_main_header();
}

dg_conn *make_dg_conn(const char *ip, uint16_t port, uint32_t queue_count_max) {
  if (ip == nullptr || port == 0) {
    VKLOG(g_vklog, VL_ERROR, "data gather ip or port pointer is null.\n");
    return nullptr;
  }
  printf("ip[%s],port[%hu]\n", ip, port);
  size_t ip_len = strlen(ip);
  if (ip_len >= DG_IP_SIZE) {
    VKLOG(g_vklog, VL_ERROR, "data gather ip is too long.(%lu)\n",
          static_cast<unsigned long>(ip_len));
    return nullptr;
  }
  dg_conn *c = static_cast<dg_conn *>(calloc(1, sizeof(dg_conn)));
  if (c == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "memory allocate(DG_CONN_ST) has failed.(size:%lu)\n",
          static_cast<unsigned long>(sizeof(dg_conn)));
    return nullptr;
  }
  memcpy(c->sz_ip, ip, ip_len + 1);
  c->port = port;
  vklock_init(&c->queue_lock);
  vk_cond_init_monotonic(&c->queue_cond);
  vklock_init(&c->send_lock);
  vklock_init(&c->sock_lock);
  mlist_init(&c->send_queue, nullptr, nullptr);
  c->queue_count_max = queue_count_max;
  c->sock.store(-1);
  c->last_recv_ret_val = -1;
  c->ops.send = dg_send_system;
  c->ops.connect = dg_connect;
  c->ops.monotonic_msec = vk_monotonic_msec;
  // Allocated, not cleared: the pages are only touched as packets use them.
  c->recv_buffer.buffer = static_cast<uint8_t *>(malloc(DATA_BUFFER_SIZE_MAX));
  if (c->recv_buffer.buffer == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "memory allocate(DATA_BUFFER_SIZE_MAX) has failed.(size:%lu)\n",
          static_cast<unsigned long>(DATA_BUFFER_SIZE_MAX));
    vklock_destroy(&c->queue_lock);
    pthread_cond_destroy(&c->queue_cond);
    vklock_destroy(&c->send_lock);
    vklock_destroy(&c->sock_lock);
    free(c);
    return nullptr;
  }
  c->recv_buffer.size = DATA_BUFFER_SIZE_MAX;
  c->recv_buffer.length = 0;
  return c;
}

void dg_link_set_callbacks(dg_conn *conn, const dg_link_callbacks_t *cb) {
  if (conn == nullptr) return;
  if (cb != nullptr) {
    conn->callbacks = *cb;
  } else {
    memset(&conn->callbacks, 0, sizeof(conn->callbacks));
  }
}

int dg_link_activate(dg_conn *conn) {
  if (conn == nullptr || conn->callbacks.activate == nullptr) return 0;
  return conn->callbacks.activate();
}

dg_conn *make_dg_conn_by_string(const char *ip, const char *port, uint32_t queue_count_max) {
  if (port == nullptr) return make_dg_conn(ip, 0, queue_count_max);
  char *end = nullptr;
  errno = 0;
  unsigned long value = strtoul(port, &end, 10);
  if (errno != 0 || port[0] < '0' || port[0] > '9' || *end != '\0' || value > 65535) value = 0;
  return make_dg_conn(ip, static_cast<uint16_t>(value), queue_count_max);
}

int create_dg_connection(dg_conn *conn) {
  if (conn == nullptr) return -1;
  conn->active.store(1);
  signal(SIGPIPE, SIG_IGN);
  // The counters are raised before the threads exist so that a shutdown
  // right after this call waits for them.
  conn->thread_running_comm.fetch_add(1);
  if (create_thread_vk(&conn->comm_thread, dg_communicate, conn, DG_THREAD_STACK_SIZE) != 0) {
    conn->thread_running_comm.fetch_sub(1);
    int err = errno;
    VKLOG(g_vklog, VL_ERROR, "Failed to create thread. name:dg_communicate, [(%d)%s]\n", err,
          strerror(err));
    conn->active.store(0);
    return -1;
  }
  VKLOG(g_vklog, VL_INFO, "[create_dg_connection] name:dg_communicate,thread create: 0x%lx\n",
        static_cast<unsigned long>(conn->comm_thread));
  conn->thread_running_sender.fetch_add(1);
  if (create_thread_vk(&conn->sender_thread, dg_sender, conn, DG_THREAD_STACK_SIZE) != 0) {
    conn->thread_running_sender.fetch_sub(1);
    int err = errno;
    VKLOG(g_vklog, VL_ERROR, "Failed to create thread. name:dg_sender, [(%d)%s]\n", err,
          strerror(err));
    conn->active.store(0);
    return -2;
  }
  VKLOG(g_vklog, VL_INFO, "[create_dg_connection] name:dg_sender,thread create: 0x%lx\n",
        static_cast<unsigned long>(conn->sender_thread));
  return 0;
}

int add_packet_to_dgcomm(dg_conn *pdgconn, mlist_item_t *pkt) {
  if (pdgconn == nullptr || pkt == nullptr) return -1;
  // The state is tested under the lock: DG_Comm marks the connection down
  // before it empties the queue, so no packet of an old connection can slip
  // in behind the clear and reach the next one.
  vkLock(&pdgconn->queue_lock);
  if (!dg_is_connected(pdgconn)) {
    vkUnlock(&pdgconn->queue_lock);
    return -2;
  }
  uint32_t count = pdgconn->send_queue.count;
  const pkt_data *pd = static_cast<const pkt_data *>(mlist_get_data_from_item(nullptr, pkt));
  bool answer =
      pd != nullptr && (pd->type == DG_PKT_PACKET_RESULT || pd->type == DG_PKT_DISCOVERY_DEVICE);
  uint32_t limit = pdgconn->queue_count_max + (answer ? DG_ANSWER_RESERVE : 0u);
  if (count >= limit) {
    vkUnlock(&pdgconn->queue_lock);
    return -3;
  }
  // Read before the lock goes: from then on the sender may send and free it.
  unsigned size = static_cast<unsigned>(pkt->size);
  mlist_push_back(&pdgconn->send_queue, pkt);
  if (count == 0) pthread_cond_signal(&pdgconn->queue_cond);
  vkUnlock(&pdgconn->queue_lock);
  VKLOG(g_vklog, VL_TRACE, "send queue count:%d\n", static_cast<int>(count + 1));
  VKLOG(g_vklog, VL_TRACE, "[add_packet_to_dgcomm] push data(size:%u)\n", size);
  return 0;
}

uint32_t dg_queue_count(dg_conn *pdgconn) {
  if (pdgconn == nullptr) return 0;
  vkLock(&pdgconn->queue_lock);
  uint32_t n = pdgconn->send_queue.count;
  vkUnlock(&pdgconn->queue_lock);
  return n;
}

void clear_tcpqueue(dg_conn *pdgconn) {
  if (pdgconn == nullptr) return;
  vkLock(&pdgconn->queue_lock);
  mlist_clean(&pdgconn->send_queue);
  vkUnlock(&pdgconn->queue_lock);
}

int dg_take_back_events(dg_conn *pdgconn) {
  if (pdgconn == nullptr) return 0;
  mlist_t taken;
  mlist_init(&taken, nullptr, nullptr);
  // The send lock first: DG_Sender reads the packet in `sending` while it
  // sends, so it may only change hands between two send calls.
  vkLock(&pdgconn->send_lock);
  vkLock(&pdgconn->queue_lock);
  if (pdgconn->sending != nullptr) {
    mlist_push_back(&taken, pdgconn->sending);
    pdgconn->sending = nullptr;
  }
  mlist_move(&taken, &pdgconn->send_queue);
  vkUnlock(&pdgconn->queue_lock);
  vkUnlock(&pdgconn->send_lock);
  if (taken.count == 0) return 0;
  std::vector<mlist_item_t *> events;
  events.reserve(taken.count);
  uint32_t dropped = 0;
  mlist_item_t *item = nullptr;
  while (mlist_pop_front_data(&taken, nullptr, &item) != nullptr) {
    const auto *pd = static_cast<const pkt_data *>(mlist_get_data_from_item(nullptr, item));
    if (pd->type == DG_PKT_SYSLOG || pd->type == DG_PKT_SNMP_TRAP) {
      events.push_back(item);
    } else {
      mlist_destroy_item(nullptr, item);
      dropped++;
    }
  }
  if (dropped > 0) {
    VKLOG(g_vklog, VL_INFO, "[dg_take_back_events] unsent packets dropped with the link.(%u)\n",
          dropped);
  }
  if (events.empty()) return 0;
  if (pdgconn->callbacks.take_back == nullptr) {
    for (mlist_item_t *e : events) mlist_destroy_item(nullptr, e);
    VKLOG(g_vklog, VL_INFO,
          "[dg_take_back_events] unsent event packets dropped with the link, nothing takes them "
          "back.(%u)\n",
          static_cast<unsigned>(events.size()));
    return 0;
  }
  pdgconn->callbacks.take_back(events.data(), static_cast<uint32_t>(events.size()));
  return static_cast<int>(events.size());
}

void dg_reconnect_with_status(dg_conn *pdgconn, int status) {
  if (pdgconn == nullptr) return;
  pdgconn->reconnect_flag.store(status);
}

void dg_disconnect(dg_conn *pdgconn) {
  if (pdgconn == nullptr) return;
  VKLOG(g_vklog, VL_INFO, "[dg_disconnect] data gather disconnect - %s:%d, sock:%d\n",
        pdgconn->sz_ip, pdgconn->port, pdgconn->sock.load());
  // Taking the socket out first makes a second caller a no-op instead of
  // a double close. Shutting it down ends a send blocked on it; the send
  // lock then guarantees the sender has left it before the descriptor goes.
  // The connection number moves before the shutdown: a send that the
  // shutdown ends then sees its connection gone and is not taken for a
  // failure of the next connection.
  vkLock(&pdgconn->sock_lock);
  int sock = pdgconn->sock.exchange(-1);
  if (sock >= 0) {
    pdgconn->connection_seq.fetch_add(1);
    shutdown(sock, SHUT_RDWR);
  }
  vkUnlock(&pdgconn->sock_lock);
  if (sock < 0) return;
  if (pdgconn->callbacks.deactivate != nullptr) pdgconn->callbacks.deactivate();
  pdgconn->connection_state.store(DG_STATE_DISCONNECTED);
  vkLock(&pdgconn->send_lock);
  int ret = vk_close_socket_debug(sock, nullptr);
  int err = errno;
  vkUnlock(&pdgconn->send_lock);
  if (ret != 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[dg_disconnect] vk_close_socket() has failed.[#%d][ret:%d][err(%d):%s]\n", sock, ret,
          err, strerror(err));
  }
  VKLOG(g_vklog, VL_TRACE, "[dg_disconnect] data gather disconnected.\n");
}

int get_peer_addr(int sock, char *peername, size_t size) {
  if (peername == nullptr || size == 0) return -1;
  struct sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (getpeername(sock, reinterpret_cast<struct sockaddr *>(&ss), &len) != 0) return -1;
  const void *addr = nullptr;
  if (ss.ss_family == AF_INET) {
    addr = &reinterpret_cast<struct sockaddr_in *>(&ss)->sin_addr;
  } else if (ss.ss_family == AF_INET6) {
    addr = &reinterpret_cast<struct sockaddr_in6 *>(&ss)->sin6_addr;
  } else {
    return -1;
  }
  if (inet_ntop(ss.ss_family, addr, peername, static_cast<socklen_t>(size)) == nullptr) return -1;
  return 0;
}

namespace {

// One connect attempt on a fresh socket; the socket is closed on failure.
int try_connect(const struct addrinfo *rp, const struct sockaddr *addr, socklen_t addrlen) {
  int fd = socket(rp->ai_family, rp->ai_socktype, rp->ai_protocol);
  if (fd < 0) {
    int err = errno;
    VKLOG(g_vklog, VL_ERROR, "socket(v4) has failed.[err(%d):%s]\n", err, strerror(err));
    return -1;
  }
  int ret = connect(fd, addr, addrlen);
  if (ret != 0) {
    int err = errno;
    VKLOG(g_vklog, VL_DEBUG, "connect() has failed.[tmp#%d][ret:%d][err(%d):%s]\n", fd, ret, err,
          strerror(err));
    close(fd);
    return -1;
  }
  VKLOG(g_vklog, VL_INFO, "Connect Success[sock:%d]\n", fd);
  return fd;
}

}  // namespace

int connect_using_addrinfo(int *socket_fd, const char *host, uint16_t port) {
  if (socket_fd == nullptr || host == nullptr) return -1;
  char port_text[8];
  snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(port));
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  struct addrinfo *result = nullptr;
  if (getaddrinfo(host, port_text, &hints, &result) != 0) {
    VKLOG(g_vklog, VL_ERROR, "getaddrinfo() has failed.[errno:%d]\n", errno);
    return -2;
  }
  struct if_nameindex *ifs = if_nameindex();
  if (ifs == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "get interface index has failed.[errno:%d]\n", errno);
    freeaddrinfo(result);
    return -3;
  }
  int fd = -1;
  for (struct addrinfo *rp = result; rp != nullptr && fd < 0; rp = rp->ai_next) {
    const char *ipv = rp->ai_family == AF_INET ? "4" : rp->ai_family == AF_INET6 ? "6" : "Unk";
    VKLOG(g_vklog, VL_TRACE, "rp - fa[%d],type[%d],proto[%d],canonname[%s],addrlen[%d],ipv[%s]\n",
          rp->ai_family, rp->ai_socktype, rp->ai_protocol,
          rp->ai_canonname != nullptr ? rp->ai_canonname : "", static_cast<int>(rp->ai_addrlen),
          ipv);
    if (rp->ai_family == AF_INET) {
      fd = try_connect(rp, rp->ai_addr, rp->ai_addrlen);
    } else if (rp->ai_family == AF_INET6) {
      struct sockaddr_in6 sa6;
      memcpy(&sa6, rp->ai_addr, sizeof(sa6));
      // Only a link-local address needs an interface as its scope; any
      // other address (loopback included) is tried once as resolved.
      if (!IN6_IS_ADDR_LINKLOCAL(&sa6.sin6_addr) || sa6.sin6_scope_id != 0) {
        fd = try_connect(rp, reinterpret_cast<struct sockaddr *>(&sa6), sizeof(sa6));
        continue;
      }
      for (struct if_nameindex *i = ifs; i->if_index != 0 && fd < 0; i++) {
        if (strcmp(i->if_name, "lo") == 0) {
          VKLOG(g_vklog, VL_TRACE, "skip loopback device[%d][%s]\n", i->if_index, i->if_name);
          continue;
        }
        sa6.sin6_scope_id = i->if_index;
        fd = try_connect(rp, reinterpret_cast<struct sockaddr *>(&sa6), sizeof(sa6));
      }
    } else {
      VKLOG(g_vklog, VL_ERROR, "not support family type.[%d]\n", rp->ai_family);
    }
  }
  if_freenameindex(ifs);
  freeaddrinfo(result);
  if (fd < 0) return -1;
  *socket_fd = fd;
  return 0;
}

namespace {

// Keepalive probes and a user time-out, so that a collector that vanishes
// without closing (power cut, cable pulled) ends the connection while the
// agent is idle as well as while data waits for an acknowledgement.
void dg_set_keepalive(int fd) {
  struct {
    int level;
    int name;
    int value;
    const char *text;
  } const opts[] = {
      {SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE"},
      {IPPROTO_TCP, TCP_KEEPIDLE, DG_KEEPALIVE_IDLE_SEC, "TCP_KEEPIDLE"},
      {IPPROTO_TCP, TCP_KEEPINTVL, DG_KEEPALIVE_INTERVAL_SEC, "TCP_KEEPINTVL"},
      {IPPROTO_TCP, TCP_KEEPCNT, DG_KEEPALIVE_COUNT, "TCP_KEEPCNT"},
      {IPPROTO_TCP, TCP_USER_TIMEOUT, DG_USER_TIMEOUT_MSEC, "TCP_USER_TIMEOUT"},
  };
  for (const auto &o : opts) {
    if (setsockopt(fd, o.level, o.name, &o.value, sizeof(o.value)) != 0) {
      VKLOG(g_vklog, VL_ERROR, "[dg_connect] Failed to set socket options.(%s) sock:%d, (%d)\n",
            o.text, fd, errno);
    }
  }
}

}  // namespace

int dg_connect(int *socket_fd, const char *ip, uint16_t port) {
  if (socket_fd == nullptr) return -1;
  int fd = -1;
  if (connect_using_addrinfo(&fd, ip, port) != 0) return -1;
  struct timeval tv;
  int sndtimeo = g_send_timeout_msec + DG_SEND_TIMEOUT_MARGIN_MSEC;
  tv.tv_sec = sndtimeo / 1000;
  tv.tv_usec = (sndtimeo % 1000) * 1000;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[dg_connect] Failed to set socket options.(SO_SNDTIMEO) sock:%d, (%d)\n", fd, errno);
  }
  // Closing resets the connection at once instead of lingering.
  struct linger lg;
  lg.l_onoff = 1;
  lg.l_linger = 0;
  if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) != 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[dg_connect] Failed to set socket options.(SO_LINGER) sock:%d, (%d)\n", fd, errno);
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[dg_connect] Failed to set socket options.(SO_REUSEADDR) sock:%d, (%d)\n", fd, errno);
  }
  dg_set_keepalive(fd);
  char peer[INET6_ADDRSTRLEN] = "";
  get_peer_addr(fd, peer, sizeof(peer));
  VKLOG(g_vklog, VL_INFO, "[dg_connect] client connected   ip : %s, sock:#%d\n", peer, fd);
  *socket_fd = fd;
  return 0;
}

void *dg_communicate(void *arg) {
  dg_conn *c = static_cast<dg_conn *>(arg);
  pthread_setname_np(pthread_self(), "DG_Comm");
  while (c->active.load()) {
    if (dg_is_connected(c)) {
      uint64_t start = c->send_start_time.load();
      uint64_t now = c->ops.monotonic_msec();
      if (start != 0 && now > start && now - start > static_cast<uint64_t>(g_send_timeout_msec)) {
        VKLOG(g_vklog, VL_INFO,
              "[dg_communicate] detected send process hang. sock(%d) connection "
              "close.(start:%llu,check:%llu,timeout:%d)\n",
              c->sock.load(), static_cast<unsigned long long>(start),
              static_cast<unsigned long long>(now), g_send_timeout_msec);
        dg_disconnect(c);
        continue;
      }
      int ret = dg_select_receive(c);
      if (ret < 0) {
        VKLOG(g_vklog, VL_INFO,
              "[dg_communicate] receive message has failed. Disconnect 'Data Gather(receiver)' "
              "from the Agent.(%d)(%d)\n",
              ret, c->sock.load());
        dg_disconnect(c);
        if (ret == -2) dg_pause(c, 1000);
      }
      continue;
    }

    int flag = c->reconnect_flag.load();
    if (flag != 0) {
      dg_log_reconnect_reason(flag, c->sock.load());
      dg_disconnect(c);
      dg_pause(c, DG_RECONNECT_PAUSE_MSEC);
    }
    dg_reset_connection(c);
    if (!c->active.load()) break;

    int fd = -1;
    if (c->ops.connect(&fd, c->sz_ip, c->port) != 0) {
      VKLOG(g_vklog, VL_INFO, "Connect to Data Gather is failed.(sock:%d)\n", fd);
      dg_pause(c, DG_RECONNECT_PAUSE_MSEC);
      continue;
    }
    c->connection_state.store(DG_STATE_CONNECTING);
    c->connection_seq.fetch_add(1);
    c->sock.store(fd);
    c->connection_state.store(DG_STATE_CONNECTED);
    VKLOG(g_vklog, VL_INFO, "Connect to Data Gather is success.(sock:%d)\n", fd);
    if (c->callbacks.on_connect != nullptr) c->callbacks.on_connect();
  }
  dg_disconnect(c);
  c->thread_running_comm.fetch_sub(1);
  return nullptr;
}

namespace {

// DG_Sender's own state: the frame being sent (inside its queue item), the
// packet's type, and the connection it was begun on.
struct dg_send_state {
  pakcet_buffer_t pb;
  uint16_t type;
  uint32_t seq;
  mlist_item_t *item;  // the packet being sent (conn->sending while it is unsent)
  bool more;           // more packets were queued behind it when it was taken
};

// Takes the oldest queued packet and frames it in its item. Returns 1 when
// a packet is ready; 0 when the queue was empty (after waiting up to the
// idle poll time for a packet); -1 when it could not be framed (dropped).
int dg_sender_take(dg_conn *c, dg_send_state *st) {
  packet_data_clear(&st->pb);
  st->item = nullptr;
  mlist_item_t *item = nullptr;
  vkLock(&c->queue_lock);
  // A packet cut by a drop stays in `sending` until DG_Comm takes it back;
  // nothing newer may go before it.
  pkt_data *data = nullptr;
  if (c->sending == nullptr) {
    data = static_cast<pkt_data *>(mlist_pop_front_data(&c->send_queue, nullptr, &item));
  }
  if (data == nullptr) {
    vk_cond_wait_msec(&c->queue_cond, &c->queue_lock, DG_SENDER_IDLE_MSEC, nullptr);
    vkUnlock(&c->queue_lock);
    return 0;
  }
  // Framed before it becomes `sending`: from then on a drop may hand the
  // packet to the event buffer (which waits for the send lock first).
  st->seq = c->connection_seq.load();
  st->type = data->type;
  st->more = c->send_queue.count > 0;
  int sr = packet_data_serialize(data, &st->pb);
  if (sr == 0) {
    c->sending = item;
    st->item = item;
  }
  vkUnlock(&c->queue_lock);
  if (sr != 0) {
    mlist_destroy_item(nullptr, item);
    VKLOG(g_vklog, VL_ERROR, "[dg_sender] packet serialize has failed.(type:%hu)\n", st->type);
    packet_data_clear(&st->pb);
    return -1;
  }
  return 1;
}

// One send call for everything that remains, under the send lock, with
// send_start_time set while it runs. Returns the call's result (errno in
// *err), or -2 without sending when the connection the packet was begun on
// is gone (the buffer is then emptied).
ssize_t dg_sender_send(dg_conn *c, dg_send_state *st, int *sock, int *err) {
  vkLock(&c->send_lock);
  *sock = c->sock.load();
  if (*sock < 0 || st->seq != c->connection_seq.load()) {
    vkUnlock(&c->send_lock);
    packet_data_clear(&st->pb);
    return -2;
  }
  VKLOG(g_vklog, VL_DEBUG, "[dg_sender] pre #%d,%s(%hu),remain:%d,total:%d\n", *sock,
        dg_send_packet_type_name(st->type), st->type, static_cast<int>(st->pb.remain),
        static_cast<int>(st->pb.length));
  c->send_start_time.store(c->ops.monotonic_msec());
  errno = 0;
  // With packets waiting behind this one the socket may hold a short tail
  // back for the next send call instead of pushing a segment of its own;
  // the last packet of a burst goes without the hint, which pushes all.
  const int flags = MSG_NOSIGNAL | (st->more ? MSG_MORE : 0);
  ssize_t r = c->ops.send(*sock, st->pb.ptr, st->pb.remain, flags);
  *err = errno;
  c->send_start_time.store(0);
  // A failed packet goes into the hex dump while the send lock still keeps
  // its item from being taken back (the frame lives in the item).
  if (r < 0 && *err != EINTR && st->seq == c->connection_seq.load()) {
    writeHex(DG_SEND_HEX_FILE, "send", st->pb.buffer, st->pb.length);
  }
  // The socket took the rest of the packet: it is sent. Done before the
  // send lock is let go, so a drop cannot take it back and send it twice.
  if (r > 0 && static_cast<uint64_t>(r) >= st->pb.remain && st->item != nullptr) {
    vkLock(&c->queue_lock);
    if (c->sending == st->item) {
      c->sending = nullptr;
      mlist_destroy_item(nullptr, st->item);
    }
    vkUnlock(&c->queue_lock);
    st->item = nullptr;
  }
  vkUnlock(&c->send_lock);
  return r;
}

// A failed send: reason 2 (dg_sender_send has written the hex dump).
void dg_sender_on_failure(dg_conn *c, dg_send_state *st, int sock, int err) {
  c->send_tcp_error_count.fetch_add(1);
  VKLOG(g_vklog, VL_ERROR, "send data to data gather has failed.[sock:%d,(%d)%s,type:%s(%hu)]\n",
        sock, err, strerror(err), dg_send_packet_type_name(st->type), st->type);
  dg_reconnect_with_status(c, DG_RECONNECT_SEND_FAILED);
}

// Some bytes went: count a partial send towards the resend limit (reason 4
// past it), refuse to advance past the packet, move the send position.
void dg_sender_on_sent(dg_conn *c, dg_send_state *st, int sock, ssize_t r, int err) {
  uint64_t sent = static_cast<uint64_t>(r);
  if (sent < st->pb.remain) {
    uint32_t n = c->resend_count.fetch_add(1) + 1;
    if (n > static_cast<uint32_t>(kResendLimit)) {
      dg_reconnect_with_status(c, DG_RECONNECT_RESEND);
      VKLOG(g_vklog, VL_ERROR,
            "resend has failed.(%d times) pkt[type:%hu(%s),total:%d,sent:%d,ret:%d]\n",
            static_cast<int>(n), static_cast<unsigned short>(st->type),
            dg_send_packet_type_name(st->type), static_cast<int>(st->pb.length),
            static_cast<int>(st->pb.length - st->pb.remain), static_cast<int>(r));
    }
  }
  if (sent > st->pb.remain) {
    VKLOG(g_vklog, VL_ERROR,
          "The length of the transferred data is larger than the length of the data to be "
          "transferred.[sock:%d,error:%d]\n",
          sock, err);
    sent = st->pb.remain;
  }
  st->pb.ptr += sent;
  st->pb.remain -= sent;
  c->send_tcp_size.fetch_add(static_cast<uint32_t>(sent));
  c->send_tcp_count.fetch_add(1);
}

// Nothing went: count towards the remote-hang limit (reason 1 past it).
void dg_sender_on_zero(dg_conn *c, int sock, int err) {
  c->send_tcp_zero_count.fetch_add(1);
  uint32_t n = c->remote_hang_count.fetch_add(1) + 1;
  if (n > static_cast<uint32_t>(kRemoteHangLimit)) {
    dg_reconnect_with_status(c, DG_RECONNECT_REMOTE_HANG);
    VKLOG(g_vklog, VL_ERROR, "remote server hang.[sock:%d,(%d)%s]\n", sock, err, strerror(err));
  }
}

}  // namespace

void *dg_sender(void *arg) {
  dg_conn *c = static_cast<dg_conn *>(arg);
  pthread_setname_np(pthread_self(), "DG_Sender");
  dg_send_state st;
  memset(&st, 0, sizeof(st));
  while (c->active.load()) {
    if (!dg_is_connected(c)) {
      VKLOG(g_vklog, VL_TRACE, "[dg_sender] wait for dg connection[s#%d]\n", c->sock.load());
      packet_data_clear(&st.pb);
      dg_pause_until_connected(c, DG_SENDER_PAUSE_MSEC);
      continue;
    }
    // A packet begun on an earlier connection is abandoned: its tail would
    // corrupt the framing of the new stream.
    if (st.pb.remain > 0 && st.seq != c->connection_seq.load()) packet_data_clear(&st.pb);
    if (st.pb.remain == 0 && dg_sender_take(c, &st) <= 0) continue;
    int sock = -1;
    int err = 0;
    ssize_t r = dg_sender_send(c, &st, &sock, &err);
    if (r == -2 || (r < 0 && err == EINTR)) continue;
    // The link closed this connection while the send ran (the hang check,
    // a receive failure): the packet goes with the connection, and the
    // failed send says nothing about the connection that follows.
    if (r < 0 && st.seq != c->connection_seq.load()) {
      packet_data_clear(&st.pb);
      continue;
    }
    if (r < 0) {
      dg_sender_on_failure(c, &st, sock, err);
    } else if (r > 0) {
      dg_sender_on_sent(c, &st, sock, r, err);
    } else {
      dg_sender_on_zero(c, sock, err);
    }
    VKLOG(g_vklog, VL_TRACE, "[dg_sender] post #%d,%s(%hu),%s:%d,remain:%d,total:%d\n", sock,
          dg_send_packet_type_name(st.type), st.type,
          st.pb.remain == st.pb.length || st.pb.remain == 0 ? "sent" : "resend",
          static_cast<int>(r), static_cast<int>(st.pb.remain), static_cast<int>(st.pb.length));
    if (st.pb.remain == 0) packet_data_clear(&st.pb);
    if (c->reconnect_flag.load() != 0) {
      packet_data_clear(&st.pb);
      dg_pause(c, DG_SENDER_PAUSE_MSEC);
    }
  }
  c->thread_running_sender.fetch_sub(1);
  return nullptr;
}

int shutdown_dg_connection(dg_conn *conn) {
  if (conn == nullptr) return 0;
  conn->active.store(0);
  if (conn->thread_running_comm.load() > 0) {
    // DG_Comm owns the descriptor: wake it (and a blocked send) and let it
    // close the socket on its way out.
    vkLock(&conn->sock_lock);
    int sock = conn->sock.load();
    if (sock >= 0) shutdown(sock, SHUT_RDWR);
    vkUnlock(&conn->sock_lock);
  } else {
    dg_disconnect(conn);
  }
  clear_tcpqueue(conn);
  vkLock(&conn->queue_lock);
  pthread_cond_broadcast(&conn->queue_cond);
  vkUnlock(&conn->queue_lock);
  constexpr int kChecks = 5;
  for (int i = 0; i < kChecks; i++) {
    if (conn->thread_running_sender.load() == 0 && conn->thread_running_comm.load() == 0) return 0;
    if (i + 1 < kChecks) vk_sleep(10);
  }
  VKLOG(g_vklog, VL_ERROR, "shutdown DG Connection is timeout.(%d,%d,%d)\n", 0,
        conn->thread_running_sender.load(), conn->thread_running_comm.load());
  return -1;
}

int dg_conn_free(dg_conn *conn) {
  if (conn == nullptr) return 0;
  if (conn->thread_running_comm.load() != 0 || conn->thread_running_sender.load() != 0) return -1;
  int sock = conn->sock.exchange(-1);
  if (sock >= 0) vk_close_socket_debug(sock, nullptr);
  mlist_clean(&conn->send_queue);
  mlist_destroy_item(nullptr, conn->sending);
  conn->sending = nullptr;
  vklock_destroy(&conn->queue_lock);
  pthread_cond_destroy(&conn->queue_cond);
  vklock_destroy(&conn->send_lock);
  vklock_destroy(&conn->sock_lock);
  free(conn->recv_buffer.buffer);
  free(conn);
  return 0;
}

int writeHex(const char *filename, const char *label, const void *data, size_t size) {
  if (filename == nullptr) return -1;
  struct stat st;
  if (stat(filename, &st) == 0 && st.st_size > DG_SEND_HEX_LIMIT) unlink(filename);
  FILE *fp = fopen(filename, "a");
  if (fp == nullptr) {
    fprintf(stderr, "[print Hex]open file has failed.(%s)\n", filename);
    return -1;
  }
  time_t now = time(nullptr);
  struct tm tmv;
  memset(&tmv, 0, sizeof(tmv));
  localtime_r(&now, &tmv);
  fputs("\n======================== start hexlog ========================\n", fp);
  fprintf(fp, "[%02d %02d:%02d:%02d][%d] FUNCTION:[%s] (%u byte)(%p)\n", tmv.tm_mday, tmv.tm_hour,
          tmv.tm_min, tmv.tm_sec, static_cast<int>(getpid()), label != nullptr ? label : "",
          static_cast<unsigned>(size), data);
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  for (size_t row = 0; bytes != nullptr && row < size; row += 8) {
    char hex[8 * 3 + 1];
    char chars[8 * 2 + 1];
    size_t hp = 0;
    size_t cp = 0;
    for (size_t i = row; i < row + 8 && i < size; i++) {
      hp += static_cast<size_t>(snprintf(hex + hp, sizeof(hex) - hp, "%02X ", bytes[i]));
      int ch = bytes[i];
      cp += static_cast<size_t>(
          snprintf(chars + cp, sizeof(chars) - cp, "%c ", (ch >= 0x20 && ch < 0x7f) ? ch : '.'));
    }
    hex[hp] = '\0';
    chars[cp] = '\0';
    fprintf(fp, "%016llx: %-24s %-16s\n",
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(bytes + row)), hex, chars);
  }
  fputs("========================= end hexlog =========================\n\n", fp);
  fclose(fp);
  return 0;
}

const char *dg_send_packet_type_name(uint16_t type) {
  switch (type) {
    case DG_PKT_REQ_AGENT_INFO:
      return "REQ_AGENT_INFO";
    case DG_PKT_PACKET_RESULT:
      return "PACKET_RESULT";
    case DG_PKT_REQ_COMMAND:
      return "REQ_COMMAND";
    case DG_PKT_DISCOVERY_DEVICE:
      return "DESCOVERY_DEVICE";
    case DG_PKT_REQ_COLLECT_EVENT:
      return "REQ_COLLECT_EVENT";
    case DG_PKT_DEVICE_PERF:
      return "DEVICE_PERF";
    case DG_PKT_INTERFACE_PERF:
      return "INTERFACE_PERF";
    case DG_PKT_INTERFACE_STAT:
      return "INTERFACE_STAT";
    case DG_PKT_SYSLOG:
      return "SYSLOG";
    case DG_PKT_SNMP_TRAP:
      return "SNMP_TRAP";
    case DG_PKT_DEVICE_LATENCY:
      return "DEVICE_LATENCY";
    case DG_PKT_INTERFACE_PERF_RAW:
      return "INTERFACE_PERF_RAW";
    default:
      return "UNKNOWN";
  }
}

const char *dg_recv_packet_type_name(uint16_t type) {
  switch (type) {
    case DG_PKT_RES_AGENT_INFO:
      return "RES_AGENT_INFO";
    case DG_PKT_RES_AGENT_CONFIG:
      return "RES_AGENT_CONFIG";
    case DG_PKT_CONNECT_TEST_DEVICE:
      return "CONNECT_TEST_DEVICE";
    case DG_PKT_DEVICE_LIST:
      return "DEVICE_LIST";
    case DG_PKT_ADD_COLLECT_EVENT:
      return "ADD_COLLECT_EVENT";
    case DG_PKT_ADD_OID_PACK_LIST:
      return "ADD_OID_PACK_LIST";
    default:
      return "UNKNOWN";
  }
}
