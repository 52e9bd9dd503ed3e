// Fuzz entry for the network agent's incremental reassembler: the input is
// the byte stream the collector would send. It is written into a socket
// pair in pieces whose size the input chooses, and dg_receive_packet runs
// after every piece, as the connection manager would when the socket is
// readable. Complete packets go through the real inbound dispatcher.
//
// Properties checked besides memory safety: a dispatched packet has at
// least its 11-byte sub header and fits the reassembly buffer, the held
// length never exceeds the packet being assembled, and a refused stream is
// refused with one of the documented codes.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "communication.h"
#include "dgcomm.h"
#include "dgcomm_packet.h"
#include "fuzz_targets.h"

namespace {

dg_conn *g_conn = nullptr;
int g_peer = -1;
bool g_broken = false;

int checked_dispatch(const uint8_t *sub, uint32_t length) {
  if (length < NIO_SUB_HEADER_SIZE || length > DATA_BUFFER_SIZE_MAX - NIO_MAIN_HEADER_SIZE) {
    g_broken = true;
    return -1;
  }
  // Touch the whole packet: a payload reaching past what was received or
  // allocated shows up under the sanitizers.
  unsigned sum = 0;
  for (uint32_t i = 0; i < length; i++) sum += sub[i];
  (void)sum;
  return recv_msg_process(sub, length);
}

bool setup() {
  if (g_conn != nullptr) return true;
  dgcomm_init();
  g_conn = make_dg_conn("127.0.0.1", 9010, 10);
  if (g_conn == nullptr) return false;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  g_conn->sock.store(fds[0]);
  g_peer = fds[1];
  g_conn->callbacks.packet_handler = checked_dispatch;
  return true;
}

void drain_socket() {
  char sink[4096];
  while (recv(g_conn->sock.load(), sink, sizeof(sink), MSG_DONTWAIT) > 0) {
  }
}

// Runs the reassembler until it has consumed what is in the socket.
// Returns false when the stream was refused (the connection would drop).
bool run_reassembler() {
  for (int i = 0; i < 100000; i++) {
    int r = dg_receive_packet(g_conn);
    if (r < 0) {
      if (r < -6) g_broken = true;
      return false;
    }
    const data_buffer_t *rb = &g_conn->recv_buffer;
    if (rb->length > rb->size) g_broken = true;
    if (g_conn->is_chk_header) {
      uint32_t body_length;
      memcpy(&body_length, rb->buffer + 8, 4);  // host order once validated
      if (rb->length > body_length + NIO_MAIN_HEADER_SIZE) g_broken = true;
    }
    if (g_conn->last_recv_ret_val <= 0) return true;
  }
  return true;
}

}  // namespace

int fuzz_dg_reassembler(const uint8_t *data, size_t size) {
  if (!setup()) return 0;
  g_broken = false;
  g_conn->recv_buffer.length = 0;
  g_conn->is_chk_header = 0;
  // The first byte chooses the piece size (1 to 256 bytes).
  size_t piece = size > 0 ? static_cast<size_t>(data[0]) + 1 : 1;
  size_t off = size > 0 ? 1 : 0;
  bool alive = true;
  while (off < size && alive) {
    size_t n = size - off < piece ? size - off : piece;
    ssize_t w = send(g_peer, data + off, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w <= 0) break;
    off += static_cast<size_t>(w);
    alive = run_reassembler();
  }
  drain_socket();
  g_conn->recv_buffer.length = 0;
  g_conn->is_chk_header = 0;
  return g_broken ? 1 : 0;
}
