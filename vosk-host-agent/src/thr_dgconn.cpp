#include "thr_dgconn.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "collect_hooks.h"
#include "configure.h"
#include "hostinfo.h"
#include "on_demand.h"
#include "pub_conf.h"
#include "pub_func.h"
#include "vk_clock.h"
#include "vk_comm.h"
#include "vk_util.h"
#include "vklog.h"

dg_link_t g_dg_link;

namespace {

int clear_item(void *data) {
  dg_send_item_t *item = static_cast<dg_send_item_t *>(data);
  free(item->packet);
  item->packet = nullptr;
  return 0;
}

// Failed connects in a row (THR_DGCONN).
int s_connect_failures;

// The installed packet handler, or a read-and-drop when none is.
int handle_packet(uint8_t *buffer, void *context) {
  if (g_dg_link.hooks.handle_packet == nullptr) return 0;
  return g_dg_link.hooks.handle_packet(buffer, context);
}

// One connected session: receive and dispatch until a failure or the stop.
void receive_loop(int sock) {
  dg_recv_ctx_t ctx = {sock, 0};
  while (g_stop_the_world.load() == 0) {
    host_mark(HOST_SLOT_DGCONN, __FILE__, __LINE__);
    int ret = dg_process_frame(sock, DG_RECV_WAIT_SEC * 1000, handle_packet, &ctx);
    if (ret == DG_RECV_TIMEOUT || ret == DG_RECV_STOPPED || ret >= 0) continue;
    DisconnectDGServer(sock);
    host_sleep_msec(g_dg_link.reconnect_msec);
    VKLOG(g_vklog, VL_INFO, "[thr_DGConn] retry connection ... [ret: %d]\n", ret);
    return;
  }
}

// Waits for `sock` to become readable until `deadline` (monotonic ms), one
// slice at a time. 1 readable; 0 deadline passed; DG_RECV_STOPPED;
// DG_RECV_FAILED (errno set).
int wait_slice(int sock, uint64_t deadline) {
  for (int slices = 0;; slices++) {
    if (g_stop_the_world.load() != 0) return DG_RECV_STOPPED;
    uint64_t now = vk_monotonic_msec();
    if (now >= deadline) return 0;
    uint64_t left = deadline - now;
    struct pollfd pfd = {sock, POLLIN, 0};
    int r = poll(&pfd, 1, static_cast<int>(left < DG_RECV_SLICE_MSEC ? left : DG_RECV_SLICE_MSEC));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return DG_RECV_FAILED;
    if (r > 0) return 1;
  }
}

// Reads exactly `len` bytes of a frame whose first byte has arrived; each
// byte must come within DG_RECV_STALL_MSEC of the one before it.
int recv_rest(int sock, uint8_t *buf, size_t len, size_t *got) {
  uint64_t deadline = vk_monotonic_msec() + DG_RECV_STALL_MSEC;
  while (*got < len) {
    int w = wait_slice(sock, deadline);
    if (w == 0) return DG_RECV_STALLED;
    if (w < 0) return w;
    ssize_t r = recv(sock, buf + *got, len - *got, MSG_DONTWAIT);
    if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (r < 0) return DG_RECV_FAILED;
    if (r == 0) return DG_RECV_CUT;
    *got += static_cast<size_t>(r);
    deadline = vk_monotonic_msec() + DG_RECV_STALL_MSEC;
  }
  return 0;
}

}  // namespace

int dg_recv_frame(int sock, uint8_t *buffer, size_t size, uint32_t wait_msec) {
  if (buffer == nullptr || size < NIO_HEADER_SIZE) return DG_RECV_FAILED;
  int w = wait_slice(sock, vk_monotonic_msec() + wait_msec);
  if (w == 0) return DG_RECV_TIMEOUT;
  if (w == DG_RECV_STOPPED) return w;
  size_t got = 0;
  int ret = 0;
  if (w < 0) {
    ret = DG_RECV_FAILED;
  } else {
    ssize_t r = recv(sock, buffer, NIO_MAIN_HEADER_SIZE, MSG_DONTWAIT);
    if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
      return DG_RECV_TIMEOUT;
    if (r < 0) ret = DG_RECV_FAILED;
    if (r == 0) ret = DG_RECV_CLOSED;
    if (r > 0) got = static_cast<size_t>(r);
  }
  if (ret == 0) ret = recv_rest(sock, buffer, NIO_MAIN_HEADER_SIZE, &got);
  uint32_t body_length = 0;
  if (ret == 0) {
    body_length = vk_get_be32(buffer + 8);
    if (!is_nio_header(buffer)) {
      ret = DG_RECV_BAD_MAGIC;
    } else if (buffer[3] != 0 && buffer[3] != 2) {
      ret = DG_RECV_BAD_VERSION;
    } else if (body_length == 0 || body_length > size - NIO_MAIN_HEADER_SIZE) {
      ret = DG_RECV_BAD_LENGTH;
    } else if (buffer[4] != NIO_FLAG_NONE && buffer[4] != NIO_FLAG_COMPRESS &&
               buffer[4] != NIO_FLAG_ENCRYPT && buffer[4] != NIO_FLAG_PROTOBUF) {
      ret = DG_RECV_BAD_FLAG;
    }
  }
  if (ret == 0) {
    size_t body_got = 0;
    ret = recv_rest(sock, buffer + NIO_MAIN_HEADER_SIZE, body_length, &body_got);
    got += body_got;
  }
  if (ret == 0) return static_cast<int>(body_length);
  if (ret == DG_RECV_STOPPED) return ret;
  int e = errno;
  switch (ret) {
    case DG_RECV_CLOSED:
      VKLOG(g_vklog, VL_ERROR, "[dg_recv_frame] collector closed the connection.(sock:%d)\n", sock);
      break;
    case DG_RECV_FAILED:
      VKLOG(g_vklog, VL_ERROR, "[dg_recv_frame] receive failed: %s(%d) (sock:%d, got:%zu)\n",
            strerror(e), e, sock, got);
      break;
    case DG_RECV_BAD_MAGIC:
      VKLOG(g_vklog, VL_ERROR, "[dg_recv_frame] not a framed header (%02x %02x %02x).(sock:%d)\n",
            buffer[0], buffer[1], buffer[2], sock);
      break;
    case DG_RECV_BAD_VERSION:
      VKLOG(g_vklog, VL_ERROR, "[dg_recv_frame] header version %u refused.(sock:%d)\n", buffer[3],
            sock);
      break;
    case DG_RECV_BAD_LENGTH:
      VKLOG(g_vklog, VL_ERROR,
            "[dg_recv_frame] frame announces %u bytes, limit %zu: refused.(sock:%d)\n", body_length,
            size - NIO_MAIN_HEADER_SIZE, sock);
      break;
    case DG_RECV_BAD_FLAG:
      VKLOG(g_vklog, VL_ERROR, "[dg_recv_frame] header flag %u refused.(sock:%d)\n", buffer[4],
            sock);
      break;
    case DG_RECV_STALLED:
      VKLOG(g_vklog, VL_ERROR,
            "[dg_recv_frame] frame stalled after %zu bytes for %d ms, collector taken as "
            "gone.(sock:%d)\n",
            got, DG_RECV_STALL_MSEC, sock);
      break;
    case DG_RECV_CUT:
      VKLOG(g_vklog, VL_ERROR,
            "[dg_recv_frame] connection closed inside a frame after %zu "
            "bytes.(sock:%d)\n",
            got, sock);
      break;
    default:
      break;
  }
  return ret;
}

int dg_process_frame(int sock, uint32_t wait_msec, int (*handler)(uint8_t *, void *), void *param) {
  // Zeroed so that a handler never sees stale bytes.
  uint8_t *buffer = static_cast<uint8_t *>(calloc(1, VK_COMM_RECV_BUFFER_SIZE));
  if (buffer == nullptr) return -99;
  int ret = dg_recv_frame(sock, buffer, VK_COMM_RECV_BUFFER_SIZE, wait_msec);
  if (ret > 0) ret = handler != nullptr ? handler(buffer, param) : 0;
  free(buffer);
  return ret;
}

ssize_t dg_sys_send(int sock, const void *buf, size_t len, int flags) {
  return send(sock, buf, len, flags);
}

int ConnectDGServer(uint32_t addr, uint16_t port) {
  int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = htons(port);
  if (connect(sock, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) != 0) {
    int e = errno;
    close(sock);
    errno = e;
    return -1;
  }
  struct linger lg = {1, 3};
  setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  struct timeval tv = {DG_SEND_TIMEOUT_SEC, 0};
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  return sock;
}

int dg_link_init(const dg_link_hooks_t *hooks) {
  g_dg_link.hooks = hooks != nullptr ? *hooks : dg_link_hooks_t{nullptr, nullptr, nullptr};
  g_dg_link.ops.send = dg_sys_send;
  g_dg_link.ops.connect = ConnectDGServer;
  if (vklock_init(&g_dg_link.send_queue_lock) != 0 || vklock_init(&g_dg_link.send_lock) != 0)
    return -1;
  mlist_init(&g_dg_link.send_queue, clear_item, nullptr);
  g_dg_link.sock.store(0);
  g_dg_link.is_connection.store(0);
  g_dg_link.info_log.store(0);
  g_dg_link.info_log_reported = 0;
  g_dg_link.prev_send_errno = 0;
  g_dg_link.reconnect_msec = DG_RECONNECT_MSEC;
  g_dg_link.handshake_answer_sec = DG_HANDSHAKE_ANSWER_SEC;
  s_connect_failures = 0;
  return 0;
}

void add_to_send_buffer(uint32_t code, uint8_t *packet, uint64_t length) {
  if (packet == nullptr) return;
  if (g_dg_link.is_connection.load() == 0) {
    free(packet);
    return;
  }
  mlist_item_t *item = nullptr;
  vkLock(&g_dg_link.send_queue_lock);
  if (g_dg_link.send_queue.count >= DG_SEND_QUEUE_MAX) {
    g_dg_link.info_log.fetch_add(1);
    vkUnlock(&g_dg_link.send_queue_lock);
    free(packet);
    return;
  }
  dg_send_item_t *data =
      static_cast<dg_send_item_t *>(mlist_new_item(sizeof(dg_send_item_t), &item));
  if (data == nullptr) {
    vkUnlock(&g_dg_link.send_queue_lock);
    free(packet);
    return;
  }
  data->code = code;
  data->length = length;
  data->packet = packet;
  mlist_push_back(&g_dg_link.send_queue, item);
  vkUnlock(&g_dg_link.send_queue_lock);
}

ssize_t dg_send_packet(int sock, const uint8_t *buf, size_t len) {
  size_t done = 0;
  // Each round writes at least one byte or ends the loop, so it runs at
  // most `len` times; a peer that stops reading fails the send after
  // SO_SNDTIMEO.
  while (done < len) {
    ssize_t n = g_dg_link.ops.send(sock, buf + done, len - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (done == 0) return 0;
      // Part of the packet is on the stream: anything sent after it would
      // be read as the rest of this one. End the connection instead.
      int e = errno;
      shutdown(sock, SHUT_RDWR);
      errno = e;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(len);
}

ssize_t dg_send_direct(int sock, const uint8_t *packet, size_t len) {
  if (sock <= 0) return -1;
  vkLock(&g_dg_link.send_lock);
  ssize_t n = dg_send_packet(sock, packet, len);
  vkUnlock(&g_dg_link.send_lock);
  return n;
}

int send_buffer(int sock) {
  mlist_t batch;
  mlist_init(&batch, clear_item, nullptr);
  vkLock(&g_dg_link.send_queue_lock);
  mlist_move(&batch, &g_dg_link.send_queue);
  vkUnlock(&g_dg_link.send_queue_lock);
  int written = 0;
  mlist_item_t *item = nullptr;
  dg_send_item_t *data;
  while ((data = static_cast<dg_send_item_t *>(mlist_pop_front_data(&batch, nullptr, &item))) !=
         nullptr) {
    if (data->code == 0) {
      mlist_destroy_item(&batch, item);
      continue;
    }
    VKLOG(g_vklog, VL_TRACE, "[send_buffer] send packet number: %u\n", data->code);
    uint64_t length = data->length;
    ssize_t n = static_cast<ssize_t>(length);
    if (sock >= 0) {
      vkLock(&g_dg_link.send_lock);
      // The socket may have been closed (and its number reused) since the
      // caller read it: write only to the link's current socket.
      if (g_dg_link.sock.load() == sock) {
        n = dg_send_packet(sock, data->packet, length);
      } else {
        n = 0;
        errno = ENOTCONN;
      }
      vkUnlock(&g_dg_link.send_lock);
    }
    mlist_destroy_item(&batch, item);
    if (n < 1 || static_cast<uint64_t>(n) != length) {
      int e = errno;
      VKLOG(g_vklog_console_debug, VL_TRACE, "[send_buffer] send error: %s(%d) (%d)\n", strerror(e),
            e, static_cast<int>(n));
      if (e != g_dg_link.prev_send_errno)
        VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00080050] Packet send failed. (%d)\n", e);
      g_dg_link.prev_send_errno = e;
      mlist_clean(&batch);
      return -1;
    }
    g_dg_link.prev_send_errno = 0;
    written++;
  }
  return written;
}

void clear_send_queue(void) {
  vkLock(&g_dg_link.send_queue_lock);
  VKLOG(g_vklog, VL_TRACE, "[clear_send_queue] send queue count[%u]\n", g_dg_link.send_queue.count);
  mlist_clean(&g_dg_link.send_queue);
  vkUnlock(&g_dg_link.send_queue_lock);
}

uint32_t dg_queue_count(void) {
  vkLock(&g_dg_link.send_queue_lock);
  uint32_t n = g_dg_link.send_queue.count;
  vkUnlock(&g_dg_link.send_queue_lock);
  return n;
}

uint32_t info_log(void) {
  uint32_t now = g_dg_link.info_log.load();
  uint32_t skipped = now - g_dg_link.info_log_reported;  // unsigned: wraps correctly
  g_dg_link.info_log_reported = now;
  VKLOG(g_vklog, VL_INFO, "[info_log] current tcp_queue[%u] skip[%d]\n", dg_queue_count(),
        static_cast<int>(skipped));
  return skipped;
}

void DisconnectDGServer(int sock) {
  if (sock <= 0) return;
  g_dg_link.is_connection.store(0);
  g_dg_link.sock.store(0);
  // The sender may be writing to this socket: take the write lock so the
  // descriptor is not closed (and reused) under it.
  vkLock(&g_dg_link.send_lock);
  vk_close_socket_debug(sock, nullptr);
  vkUnlock(&g_dg_link.send_lock);
  VKLOG(g_vklog, VL_INFO, "[DisconnectDGServer] sock:%d\n", sock);
}

void dg_link_wake(void) {
  // Under send_lock: DisconnectDGServer clears `sock` before it takes the
  // lock to close, so a socket read here cannot be closed (and its number
  // reused) while it is shut down.
  vkLock(&g_dg_link.send_lock);
  int sock = g_dg_link.sock.load();
  if (sock > 0) shutdown(sock, SHUT_RDWR);
  vkUnlock(&g_dg_link.send_lock);
}

int dg_communicate(int sock) {
  uint8_t *packet = nullptr;
  size_t length = 0;
  int ret = g_dg_link.hooks.build_handshake != nullptr
                ? g_dg_link.hooks.build_handshake(&packet, &length)
                : -1;
  if (ret == 0) {
    ssize_t n = dg_send_direct(sock, packet, length);
    ret = n < 1 ? -3 : (static_cast<size_t>(n) != length ? -4 : 0);
  }
  free(packet);
  if (ret != 0) {
    VKLOG(g_vklog, VL_INFO,
          "[dg_communicate] send_host_agent_info() has failed.[sock:%d, ret:%d]\n", sock, ret);
    return -1;
  }
  // Dispatch what arrives until the agent-information answer, for at most
  // handshake_answer_sec: a collector that accepts and stays silent must
  // not hold the link.
  dg_recv_ctx_t ctx = {sock, 0};
  uint64_t deadline =
      vk_monotonic_msec() + static_cast<uint64_t>(g_dg_link.handshake_answer_sec) * 1000;
  ret = -100;
  while (ctx.got_agent_info == 0 && g_stop_the_world.load() == 0) {
    uint64_t now = vk_monotonic_msec();
    if (now >= deadline) break;
    uint64_t wait = deadline - now;
    if (wait > DG_RECV_WAIT_SEC * 1000) wait = DG_RECV_WAIT_SEC * 1000;
    ret = dg_process_frame(sock, static_cast<uint32_t>(wait), handle_packet, &ctx);
    if (ret < 0 && ret != DG_RECV_TIMEOUT) break;
  }
  if (ctx.got_agent_info == 0 || ret < 0) {
    VKLOG(g_vklog, VL_INFO,
          "[dg_communicate] recv_res_host_agent_info() has failed.[sock:%d, ret:%d]\n", sock, ret);
    return -2;
  }
  return 0;
}

void *thr_DGConn(void *) {
  g_dg_link.comm_running.store(1);
  set_nio_header_version(2);
  initialize_agent_info();
  if (g_dgconn_slave_info.addr != 0) {
    struct in_addr a;
    a.s_addr = g_dgconn_slave_info.addr;
    VKLOG(g_vklog, VL_INFO, "[thr_DGConn] receiver=%x:%u\n", ntohl(a.s_addr),
          g_dgconn_slave_info.port);
    if (run_thread(nullptr, nullptr, thr_DGConn_sender, nullptr, "THR_DGCONN_SENDER") != 0)
      g_stop_the_world.store(1);
  } else {
    VKLOG(g_vklog, VL_ERROR, "[thr_DGConn] Check Option Value. [RECEIVER_ADDR]\n");
    g_stop_the_world.store(1);
  }
  while (g_stop_the_world.load() == 0) {
    host_mark(HOST_SLOT_DGCONN, __FILE__, __LINE__);
    g_dg_link.is_connection.store(0);
    g_dg_link.sock.store(0);
    clear_send_queue();
    if (set_dg_address() != 0) {
      VKLOG(g_vklog, VL_ERROR,
            "[thr_DGConn][reconnect case] Check Option Value. [RECEIVER_ADDR]\n");
      host_sleep_msec(g_dg_link.reconnect_msec);
      continue;
    }
    int sock = g_dg_link.ops.connect(g_dgconn_slave_info.addr,
                                     static_cast<uint16_t>(g_dgconn_slave_info.port));
    if (sock <= 0) {
      if (s_connect_failures < DG_CONNECT_FAIL_LOG_MAX) {
        VKLOG(g_vklog, VL_ERROR,
              "[thr_DGConn] Connection failed for DataGather Server. Socket:%d Interval:%d(ms) "
              "(%d)\n",
              sock, static_cast<int>(g_dg_link.reconnect_msec), errno);
        s_connect_failures++;
      }
      host_sleep_msec(g_dg_link.reconnect_msec);
      continue;
    }
    VKLOG(g_vklog, VL_INFO, "[thr_DGConn] connection success.\n");
    timesync_reset();
    int ret = dg_communicate(sock);
    if (ret != 0) {
      VKLOG(g_vklog, VL_INFO, "[thr_DGConn] dg_communicate() has failed.[sock:%d,ret:%d]\n", sock,
            ret);
      vk_close_socket_debug(sock, nullptr);
      host_sleep_msec(g_dg_link.reconnect_msec);
      continue;
    }
    VKLOG(g_vklog, VL_DEBUG, "[thr_DGConn] send identity success.\n");
    g_dg_link.sock.store(sock);
    g_dg_link.is_connection.store(1);
    VKLOG(g_vklog, VL_INFO, "[thr_DGConn] sock(%d),data gather connect(%d)\n", sock, 1);
    if (g_dg_link.hooks.on_connect != nullptr) g_dg_link.hooks.on_connect();
    s_connect_failures = 0;
    receive_loop(sock);
  }
  DisconnectDGServer(g_dg_link.sock.load());
  clear_send_queue();
  VKLOG(g_vklog, VL_INFO, "[thr_DGConn] finish normally.\n");
  g_dg_link.comm_running.store(0);
  return nullptr;
}

void *thr_DGConn_sender(void *) {
  g_dg_link.sender_running.store(1);
  while (g_stop_the_world.load() == 0) {
    host_mark(HOST_SLOT_DGCONN_SENDER, __FILE__, __LINE__);
    if (g_dg_link.is_connection.load() != 0) send_buffer(g_dg_link.sock.load());
    vk_sleep(DG_SENDER_PERIOD_MSEC);
  }
  VKLOG(g_vklog, VL_INFO, "[thr_DGConn_sender] finish normally.\n");
  g_dg_link.sender_running.store(0);
  return nullptr;
}
